#pragma once
// Where a parser delivers one file's bytes while it is saved. The core opens the target
// (never following a link planted at the name), writes whole buffers, counts what could
// not be read and stamps the times afterwards; a file system only produces bytes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace dravonel {

class EntryWriter {
public:
    virtual ~EntryWriter() = default;
    // Appends count bytes. False when the output could not take them; the parser then
    // ends the file and answers SaveStatus::Failed.
    virtual bool write(const std::uint8_t* data, std::size_t count) = 0;
    // Appends count zero bytes that the file system itself records as empty (sparse
    // runs, uninitialised extents, holes). Not damage.
    virtual bool writeHole(std::uint64_t count) = 0;
    // Appends count zero bytes in place of data that could not be had (a read error, a
    // cluster beyond the source's end, a unit that does not decode). The file is then
    // reported as damaged and the bytes are counted as unreadable sectors.
    virtual bool writeUnreadable(std::uint64_t count) = 0;
    // Says why the file is not whole although every byte written could be read (data that
    // other files have overwritten since, a chain or run that ends before the size). The
    // file is then reported damaged with this reason; several notes are joined.
    virtual void noteDamage(const std::string& reason) { (void)reason; }
    // Bytes appended so far.
    virtual std::uint64_t written() const = 0;
    // errno of the first failed write, 0 when none (for the message of a failed save).
    virtual int errorNumber() const { return 0; }
};

// How saving one entry ended.
enum class SaveStatus {
    Saved,    // every byte written as the file system holds it
    Damaged,  // written, but with zeros where data could not be read
    Failed,   // not written (not a file, unreadable record, write error)
    Stopped,  // the stop flag ended the file early
};

}  // namespace dravonel
