#include "core/device/sector_reader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/common/output_file.h"
#include "core/common/text.h"
#include "core/device/image_container.h"

namespace dravonel {

FileReadSeek::~FileReadSeek() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileReadSeek::open(const std::string& path) {
    openError_.clear();
    // Read-only, always: the source is never written.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (prompt) prompt->message(u"invalid handle ...");
        return false;
    }
    struct stat st {};
    // A folder opens read-only too, but it is no source: its size would read as 2^63
    // and every read would fail.
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        if (prompt) prompt->message(u"invalid handle ...");
        return false;
    }
    // A container is read through its library (which opens its files read-only too);
    // one that cannot be read is no source.
    std::string why;
    std::unique_ptr<ImageContainer> container = S_ISREG(st.st_mode) ? openImageContainer(path, why) : nullptr;
    if (!why.empty()) {
        ::close(fd);
        openError_ = why;
        errno = EINVAL;
        if (prompt) prompt->message(u"invalid handle ...\n" + fromUtf8(why));
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    position_ = 0;
    container_ = std::move(container);
    // From here on nothing this process writes may land on this source.
    SourceGuard::protect(fd_, path);
    length = 0;
    std::int64_t bytes = 0;
    if (container_) {
        bytes = container_->mediaBytes();
        length = bytes;
    } else if (::fstat(fd_, &st) == 0 && S_ISBLK(st.st_mode)) {
        std::uint64_t size = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &size) == 0) bytes = static_cast<std::int64_t>(size);
    } else {
        const off_t end = ::lseek(fd_, 0, SEEK_END);
        if (end > 0) bytes = end;
        length = bytes;
    }
    deviceSectorCount = bytes / kSectorBytes;
    return true;
}

bool FileReadSeek::readRaw(std::int64_t at, std::uint8_t* dest, std::uint32_t count) const {
    if (container_) return container_->readAt(at, dest, count);
    std::uint32_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd_, dest + got, count - got, at + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::uint32_t>(n);
    }
    if (got != 0 && got < count) std::memset(dest + got, 0, count - got);
    return got >= count;
}

bool FileReadSeek::read(std::uint8_t* dest, std::uint32_t count) {
    if (fd_ < 0) return false;
    if (container_) {
        const bool whole = container_->readAt(position_, dest, count);
        // Up to the media's end, as a short read of a file stops at its end.
        position_ += std::max<std::int64_t>(0, std::min<std::int64_t>(count, length - position_));
        return whole;
    }
    // Read straight into dest: pread writes only the bytes that arrived, so when nothing
    // arrives dest stays untouched, and a short read is padded with zeros afterwards.
    std::uint32_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd_, dest + got, count - got, position_ + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::uint32_t>(n);
    }
    position_ += got;
    if (got != 0 && got < count) std::memset(dest + got, 0, count - got);
    return got >= count;
}

namespace {
// offset + base as a file position; nothing when negative or past the 64-bit range.
bool absolutePosition(std::int64_t offset, std::int64_t base, std::int64_t& out) {
    if (__builtin_add_overflow(offset, base, &out)) return false;
    return out >= 0;
}
}  // namespace

bool FileReadSeek::readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const {
    std::int64_t at = 0;
    if (fd_ < 0 || !absolutePosition(offset, baseOffset, at)) return false;
    return readRaw(at, dest, count);
}

bool FileReadSeek::seek(std::int64_t offset, std::uint32_t moveMethod) {
    if (fd_ < 0) return false;
    std::int64_t target = offset + baseOffset;
    if (moveMethod == 1) target = position_ + offset;
    if (target < 0) return false;
    position_ = target;
    return true;
}

MemoryReadSeek::MemoryReadSeek(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
    length = static_cast<std::int64_t>(bytes_.size());
    deviceSectorCount = length / kSectorBytes;
}

bool MemoryReadSeek::open(const std::string&) {
    length = static_cast<std::int64_t>(bytes_.size());
    deviceSectorCount = length / kSectorBytes;
    position_ = 0;
    return true;
}

bool MemoryReadSeek::read(std::uint8_t* dest, std::uint32_t count) {
    ++readCalls;
    const std::int64_t size = static_cast<std::int64_t>(bytes_.size());
    const std::int64_t avail = position_ >= size ? 0 : std::min<std::int64_t>(count, size - position_);
    if (avail > 0) {
        std::memcpy(dest, bytes_.data() + position_, static_cast<std::size_t>(avail));
        std::memset(dest + avail, 0, count - static_cast<std::size_t>(avail));
    }
    position_ += avail;
    return avail >= count;
}

bool MemoryReadSeek::readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const {
    ++readCalls;
    std::int64_t at = 0;
    if (!absolutePosition(offset, baseOffset, at)) return false;
    const std::int64_t size = static_cast<std::int64_t>(bytes_.size());
    const std::int64_t avail = at >= size ? 0 : std::min<std::int64_t>(count, size - at);
    if (avail > 0) {
        std::memcpy(dest, bytes_.data() + at, static_cast<std::size_t>(avail));
        std::memset(dest + avail, 0, count - static_cast<std::size_t>(avail));
    }
    return avail >= count;
}

bool MemoryReadSeek::seek(std::int64_t offset, std::uint32_t moveMethod) {
    std::int64_t target = offset + baseOffset;
    if (moveMethod == 1) target = position_ + offset;
    if (target < 0) return false;
    position_ = target;
    return true;
}

}  // namespace dravonel
