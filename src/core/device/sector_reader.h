#pragma once
// The one object every byte is read through. Sources are opened read-only, always:
// nothing in the core holds a writable descriptor on a source.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/platform.h"
#include "core/device/image_container.h"

namespace dravonel {

constexpr std::int64_t kSectorBytes = 512;

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

    std::int64_t baseOffset = 0;  // bytes
    std::int64_t length = 0;      // bytes; the length of an opened regular file
    // Total 512-byte sectors of the source most recently opened through this reader.
    std::int64_t deviceSectorCount = 0;
    // Where the open-failure message goes; may be null (then nothing is shown).
    Prompt* prompt = nullptr;
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
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    std::int64_t position() const { return position_; }
    // Number of read and readAt calls so far (lets a test see how a scan reads).
    mutable std::atomic<std::int64_t> readCalls{0};

private:
    std::vector<std::uint8_t> bytes_;
    std::int64_t position_ = 0;
};

}  // namespace dravonel
