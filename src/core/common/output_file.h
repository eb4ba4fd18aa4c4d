#pragma once
// The one way recovered data reaches the disk: a target created anew (never replacing a
// file that is there, never through a symbolic link planted at its name), whole buffers
// written, zeros counted apart as holes or as unreadable data, times stamped on the open
// file. Saving of every file system and of carved items goes through here.
//
// Every source a reader opens is recorded in SourceGuard, and every target is checked
// against those sources before it is created: nothing this process writes can land on
// the image or disk it is recovering from, whichever front end drives it.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "core/common/entry_writer.h"

namespace dravonel {

// What identifies a source on this machine: the file (device and inode of the image,
// or of the device node) and, for a block device, the device it stands for.
struct SourceIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    dev_t blockDevice = 0;  // st_rdev of a block device; 0 for an image file
    std::string path;
};

// The process-wide list of sources and the check every output target passes. Thread-safe.
class SourceGuard {
public:
    // Records the source open on fd (called by the sector reader when it opens one).
    static void protect(int fd, const std::string& path);
    // Forgets every source and the same-device permission (tests; a new run of a front end
    // that opens a new source keeps the old ones: they stay protected).
    static void reset();
    // The user chose to write onto the source's own disk (or beside the image): new files
    // there are allowed. The source itself is never opened for writing all the same.
    static void allowSameDevice(bool allow);
    // Empty when folder may receive recovered files; otherwise why not, naming the folder
    // and the source: folder lies on a source block device or one of its partitions, or
    // (unless same-device writing was allowed) folder holds a source image somewhere below
    // it. A folder that does not exist yet is judged by its nearest existing ancestor.
    static std::string folderConflict(const std::filesystem::path& folder);
    // The per-file rule: empty when a file may be created in folder; the device rule of
    // folderConflict unless same-device writing was allowed.
    static std::string targetConflict(const std::filesystem::path& folder);
    // True when st is a recorded source itself (same device and inode, or the same block
    // device node).
    static bool isSource(const struct stat& st);
};

class OutputFile final : public EntryWriter {
public:
    OutputFile() = default;
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates target for writing. It must not exist yet: a file, folder or link of that
    // name is never opened, truncated or followed (EEXIST; refusal() says so when it is a
    // source). A folder the source guard refuses gets nothing (EPERM, refusal() set).
    // False with error() set when it cannot be made.
    bool create(const std::filesystem::path& target);
    // As create, but when target exists the first free "stem (1).ext", "stem (2).ext", ...
    // is created instead; path() tells which.
    bool createNew(const std::filesystem::path& target);
    bool isOpen() const { return fd_ >= 0; }
    // The path of the file created last.
    const std::filesystem::path& path() const { return path_; }

    bool write(const std::uint8_t* data, std::size_t count) override;
    bool writeHole(std::uint64_t count) override;
    bool writeUnreadable(std::uint64_t count) override;
    std::uint64_t written() const override { return written_; }
    void noteDamage(const std::string& reason) override;
    // The parser's damage notes, joined by "; "; empty when it gave none.
    const std::string& damage() const { return damage_; }

    // 512-byte sectors written as zeros because they could not be read.
    std::uint64_t unreadableSectors() const { return unreadableSectors_; }
    // Sets last access and last write on the open file (an absent time is left as is).
    void stampTimes(const std::optional<timespec>& accessed, const std::optional<timespec>& modified);
    // Closes the file; false when the last writes could not be completed.
    bool close();
    // Closes the file and removes it; only a file this object created is ever removed.
    void discard();
    // errno of the first failure, 0 when none.
    int error() const { return error_; }
    int errorNumber() const override { return error_; }
    // Why the source guard refused the target; empty otherwise.
    const std::string& refusal() const { return refusal_; }
    // The reason of the first failure as text: the refusal, or the system's text for error().
    std::string errorText() const;

private:
    bool writeZeros(std::uint64_t count);
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t unreadableSectors_ = 0;
    std::filesystem::path path_;
    std::string refusal_;
    std::string damage_;
    bool created_ = false;
};

// "stem (n).ext" for name ("a.txt", 1 -> "a (1).txt"; ".hidden" keeps its leading dot
// as part of the stem). The result stays within kMaxNameBytes.
std::string numberedName(const std::string& name, unsigned n);

// A name every file system a recovered file may be saved to accepts (FAT32 and exFAT
// sticks refuse what Windows refuses): each of <>:"/\|?* and every control character
// becomes "_", trailing dots and spaces go (the extension before them stays), and a name
// left empty becomes "_".
std::string portableName(const std::string& name);

// True when a failed creation of target says that the output's file system refuses the
// name itself (EINVAL, EILSEQ, ENAMETOOLONG, or ENOENT while target's folder is there),
// so the same file may be created under portableName.
bool nameRefused(int error, const std::filesystem::path& target);

// True for the errors after which no further file can be written to the output: it is
// full (ENOSPC, EDQUOT), turned read-only (EROFS) or went away (EIO, ENODEV).
bool outputLost(int error);

// The longest file name, in bytes, most Linux file systems accept.
constexpr std::size_t kMaxNameBytes = 255;

// Cuts s to at most limit bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& s, std::size_t limit);

}  // namespace dravonel
