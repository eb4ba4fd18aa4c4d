#pragma once
// The one object every byte is read through. Sources are opened read-only, always:
// nothing in the core holds a writable descriptor on a source.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/common/entry_writer.h"
#include "core/common/platform.h"
#include "core/device/image_container.h"

namespace dravonel {

constexpr std::int64_t kSectorBytes = 512;
// How a read that fails is split: into this many pieces, and into single sectors once it
// spans kSingleSectorSplit sectors or fewer.
constexpr std::int64_t kSplitPieces = 16;
constexpr std::int64_t kSingleSectorSplit = 128;

// A run of 512-byte sectors that could not be read, counted from the start of the source
// (baseOffset included), so ranges from reads of different volumes compare.
struct SectorRange {
    std::int64_t first = 0;
    std::int64_t count = 0;
    std::int64_t end() const { return first + count; }
    bool operator==(const SectorRange&) const = default;
};

// Sectors in ranges.
std::int64_t sectorCount(const std::vector<SectorRange>& ranges);
// Adds r to ranges, keeping them ascending and merged.
void addSectorRange(std::vector<SectorRange>& ranges, SectorRange r);
// The bytes of [begin, end) (absolute byte positions) that lie in ranges, as pairs of
// offsets from begin, ascending.
std::vector<std::pair<std::int64_t, std::int64_t>> unreadableSpans(const std::vector<SectorRange>& ranges,
                                                                   std::int64_t begin, std::int64_t end);
// Appends data[0, count), read from absolute byte position `at`, to out: the bytes in
// unreadable go as unreadable zeros (so the writer counts those sectors and only those),
// the rest as data. False when out could not take them.
bool writeAsRead(EntryWriter& out, const std::uint8_t* data, std::size_t count, std::int64_t at,
                 const std::vector<SectorRange>& unreadable);

class readWriteInterface;
// Reads count bytes at reader-relative position into buffer and appends them to out,
// losing only the unreadable sectors (a read the reader refuses outright goes as
// unreadable zeros whole). `complete` tells whether every byte was read; false when out
// refused the bytes. A null reader reads nothing.
bool copyAsRead(const readWriteInterface* reader, std::uint64_t position, std::uint8_t* buffer, std::size_t count,
                EntryWriter& out, bool& complete);

// Abstract reader. `seek` adds `baseOffset` to every offset, so a parser sets it to its
// volume's startSector * 512 and then works with volume-relative offsets.
class readWriteInterface {
public:
    virtual ~readWriteInterface() = default;
    // Opens a path for reading; false (with "invalid handle ..." through the prompt when one
    // is attached) when it cannot be opened.
    virtual bool open(const std::string& path) = 0;
    // Reads count bytes from the current position into dest and advances. A short read
    // delivers what arrived followed by zeros and answers false; when nothing arrived dest
    // is left untouched.
    virtual bool read(std::uint8_t* dest, std::uint32_t count) { return true; }
    // Positions at offset + baseOffset (moveMethod 0, from the beginning, is the only one
    // callers use). False for a negative position.
    virtual bool seek(std::int64_t offset, std::uint32_t moveMethod = 0) { return true; }
    // Reads count bytes at offset + baseOffset without touching the shared position, so
    // walks on other threads (file-list texts, saving, search) may read while a scan
    // reads. The same short-read rules as read; false for a negative or overflowing
    // position. Safe to call from several threads at once.
    virtual bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const = 0;
    // readAt for a position and length as parsers compute them (unsigned, from disk
    // fields): false without reading when the position is past the 64-bit file range or
    // the count past what one read takes.
    bool readAtUnsigned(std::uint64_t position, std::uint8_t* dest, std::size_t count) const {
        if (position > std::uint64_t(INT64_MAX) || count > 0xFFFFFFFFu) return false;
        return readAt(static_cast<std::int64_t>(position), dest, static_cast<std::uint32_t>(count));
    }

    // readAt that delivers every sector that can be read. A read that succeeds costs one
    // readAt call, as above. One that fails is split (kSplitPieces pieces, then single
    // sectors once a piece spans kSingleSectorSplit sectors or fewer):
    // readable sectors arrive, unreadable ones are filled with zeros, remembered by this
    // reader (never read again: a failing drive may spend seconds on each) and appended
    // to *unreadable when given, ascending and merged. Bytes past the source's end count
    // as unreadable. False when any byte could not be read, or for a position readAt
    // refuses. Safe to call from several threads at once.
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count,
                std::vector<SectorRange>* unreadable) const;
    bool readAtUnsigned(std::uint64_t position, std::uint8_t* dest, std::size_t count,
                        std::vector<SectorRange>* unreadable) const {
        if (position > std::uint64_t(INT64_MAX) || count > 0xFFFFFFFFu) return false;
        return readAt(static_cast<std::int64_t>(position), dest, static_cast<std::uint32_t>(count), unreadable);
    }
    // One readAt call, never split, for passes over the whole surface, which go on past a
    // failed block and come back to it at the end. A block that touches a sector already
    // known unreadable is not read at all. On failure dest is zero-filled and the whole
    // block's sectors are appended to *failed when given (they are not known unreadable
    // yet: a later readAt with a range list splits them).
    bool readAtOnce(std::int64_t offset, std::uint8_t* dest, std::uint32_t count,
                    std::vector<SectorRange>* failed) const;
    // A run's Stop, while the run reads through this reader (set by the run, cleared
    // before its flag goes away): a read being split sees it before each of its pieces and
    // ends there, the pieces it did not read coming back as zeros in *unreadable without
    // being remembered as unreadable (they were not tried). A failing drive may spend
    // seconds on each bad sector; a Stop then ends within one read.
    std::atomic<const StopFlag*> splitStop{nullptr};
    // Every sector found unreadable through this reader since it was opened.
    std::vector<SectorRange> knownUnreadable() const;
    std::int64_t knownUnreadableCount() const;

    std::int64_t baseOffset = 0;  // bytes
    std::int64_t length = 0;      // bytes; the length of an opened regular file
    // Total 512-byte sectors of the source most recently opened through this reader.
    std::int64_t deviceSectorCount = 0;
    // Where the open-failure message goes; may be null (then nothing is shown).
    Prompt* prompt = nullptr;

protected:
    // A new source: what was unreadable on the old one says nothing about it.
    void forgetUnreadable();

private:
    // Reads absolute bytes [begin, end) into dest, splitting where a read fails.
    bool readSplit(std::int64_t base, std::int64_t begin, std::int64_t end, std::uint8_t* dest,
                   std::vector<SectorRange>* unreadable) const;
    // The known-unreadable sectors that [first, end) touches.
    std::vector<SectorRange> knownIn(std::int64_t first, std::int64_t end) const;
    void remember(SectorRange r) const;

    mutable std::mutex unreadableMutex_;
    mutable std::map<std::int64_t, std::int64_t> unreadable_;  // first sector -> end sector
};

// Points reader's splitStop at a run's stop flag for as long as it lives, then puts back
// what was there.
class SplitStopScope {
public:
    SplitStopScope(readWriteInterface* reader, const StopFlag* stop)
        : reader_(reader), previous_(reader ? reader->splitStop.exchange(stop) : nullptr) {}
    ~SplitStopScope() {
        if (reader_) reader_->splitStop = previous_;
    }
    SplitStopScope(const SplitStopScope&) = delete;
    SplitStopScope& operator=(const SplitStopScope&) = delete;

private:
    readWriteInterface* reader_;
    const StopFlag* previous_;
};

// Reads a device or an image file with pread on an O_RDONLY descriptor. An image in a
// container format (E01, VHD, VHDX, VMDK, QCOW2) or a split raw set is read as the disk it
// holds, through its library (image_container.h): sizes and offsets are the media's.
class FileReadSeek : public readWriteInterface {
public:
    FileReadSeek() = default;
    ~FileReadSeek() override;
    FileReadSeek(const FileReadSeek&) = delete;
    FileReadSeek& operator=(const FileReadSeek&) = delete;

    bool open(const std::string& path) override;
    bool read(std::uint8_t* dest, std::uint32_t count) override;
    bool seek(std::int64_t offset, std::uint32_t moveMethod = 0) override;
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override;
    using readWriteInterface::readAt;
    bool isOpen() const { return fd_ >= 0; }
    // Byte position of the next read on the source.
    std::int64_t position() const { return position_; }
    // Why the last open failed when the file is a container that cannot be read ("PATH:
    // reason"); empty otherwise (errno tells then).
    const std::string& openError() const { return openError_; }
    // The container the source is read through; null for a plain file or device.
    const ImageContainer* container() const { return container_.get(); }

private:
    // count bytes at absolute position at: from the container when there is one.
    bool readRaw(std::int64_t at, std::uint8_t* dest, std::uint32_t count) const;

    int fd_ = -1;
    std::int64_t position_ = 0;
    std::string openError_;
    std::unique_ptr<ImageContainer> container_;
};

// A source held in memory: the tests' and fuzzers' stand-in for a disk.
class MemoryReadSeek : public readWriteInterface {
public:
    explicit MemoryReadSeek(std::vector<std::uint8_t> bytes);
    // Opening names nothing: the bytes are the source. Sets deviceSectorCount.
    bool open(const std::string& path) override;
    bool read(std::uint8_t* dest, std::uint32_t count) override;
    bool seek(std::int64_t offset, std::uint32_t moveMethod = 0) override;
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override;
    using readWriteInterface::readAt;
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    std::int64_t position() const { return position_; }
    // Number of read and readAt calls so far (lets a test see how a scan reads).
    mutable std::atomic<std::int64_t> readCalls{0};

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
};

// A memory source with sectors that cannot be read, the way a failing drive answers: any
// read or readAt that touches one fails (EIO) and delivers nothing. Each unreadable
// sector a read touches may cost a delay. Bad sectors are absolute (baseOffset included).
class FaultyMemoryReadSeek : public MemoryReadSeek {
public:
    FaultyMemoryReadSeek(std::vector<std::uint8_t> bytes, std::vector<SectorRange> bad,
                         std::int64_t delayMicrosecondsPerBadSector = 0);
    bool read(std::uint8_t* dest, std::uint32_t count) override;
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override;
    using readWriteInterface::readAt;
    // Whether absolute bytes [begin, end) touch a bad sector (waiting the delay for each).
    bool touchesBad(std::int64_t begin, std::int64_t end) const;
    const std::vector<SectorRange>& bad() const { return bad_; }
    // Reads that failed so far.
    mutable std::atomic<std::int64_t> failedReads{0};

private:
    std::vector<SectorRange> bad_;
    std::int64_t delayMicroseconds_ = 0;
};

}  // namespace dravonel
