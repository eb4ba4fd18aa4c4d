#include "core/device/sector_reader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
    forgetUnreadable();
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
std::int64_t sectorsUpTo(std::int64_t byteEnd) { return byteEnd / kSectorBytes + (byteEnd % kSectorBytes != 0); }

// The absolute byte span of a read; false when readAt would refuse the position.
bool absoluteSpan(std::int64_t offset, std::int64_t base, std::uint32_t count, std::int64_t& begin,
                  std::int64_t& end) {
    if (!absolutePosition(offset, base, begin)) return false;
    return !__builtin_add_overflow(begin, std::int64_t(count), &end);
}
}  // namespace

std::int64_t sectorCount(const std::vector<SectorRange>& ranges) {
    std::int64_t n = 0;
    for (const SectorRange& r : ranges) n += r.count;
    return n;
}

void addSectorRange(std::vector<SectorRange>& ranges, SectorRange r) {
    if (r.count <= 0) return;
    // Mostly appended in order: look from the back for where r belongs.
    auto at = ranges.end();
    while (at != ranges.begin() && std::prev(at)->first > r.first) --at;
    at = ranges.insert(at, r);
    // Merge with the one before, then swallow those after that it reaches.
    if (at != ranges.begin() && std::prev(at)->end() >= at->first) {
        auto before = std::prev(at);
        before->count = std::max(before->end(), at->end()) - before->first;
        at = std::prev(ranges.erase(at));
    }
    auto next = std::next(at);
    while (next != ranges.end() && next->first <= at->end()) {
        at->count = std::max(at->end(), next->end()) - at->first;
        next = ranges.erase(next);
    }
}

std::vector<std::pair<std::int64_t, std::int64_t>> unreadableSpans(const std::vector<SectorRange>& ranges,
                                                                   std::int64_t begin, std::int64_t end) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const SectorRange& r : ranges) {
        const std::int64_t b = std::max(begin, r.first * kSectorBytes);
        const std::int64_t e = std::min(end, r.end() * kSectorBytes);
        if (b < e) spans.emplace_back(b - begin, e - begin);
    }
    return spans;
}

bool copyAsRead(const readWriteInterface* reader, std::uint64_t position, std::uint8_t* buffer, std::size_t count,
                EntryWriter& out, bool& complete) {
    std::vector<SectorRange> unreadable;
    complete = reader && reader->readAtUnsigned(position, buffer, count, &unreadable);
    if (complete) return out.write(buffer, count);
    if (!reader || unreadable.empty()) return out.writeUnreadable(count);  // refused outright
    return writeAsRead(out, buffer, count, reader->baseOffset + std::int64_t(position), unreadable);
}

bool writeAsRead(EntryWriter& out, const std::uint8_t* data, std::size_t count, std::int64_t at,
                 const std::vector<SectorRange>& unreadable) {
    std::size_t done = 0;
    for (const auto& [b, e] : unreadableSpans(unreadable, at, at + std::int64_t(count))) {
        if (std::size_t(b) > done && !out.write(data + done, std::size_t(b) - done)) return false;
        if (!out.writeUnreadable(std::uint64_t(e - b))) return false;
        done = std::size_t(e);
    }
    return done >= count || out.write(data + done, count - done);
}

bool readWriteInterface::readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count,
                                std::vector<SectorRange>* unreadable) const {
    const std::int64_t base = baseOffset;
    std::int64_t begin = 0, end = 0;
    if (count == 0 || !absoluteSpan(offset, base, count, begin, end)) return readAt(offset, dest, count);
    return readSplit(base, begin, end, dest, unreadable);
}

bool readWriteInterface::readSplit(std::int64_t base, std::int64_t begin, std::int64_t end, std::uint8_t* dest,
                                   std::vector<SectorRange>* unreadable) const {
    const std::int64_t first = begin / kSectorBytes, last = sectorsUpTo(end);
    const std::vector<SectorRange> known = knownIn(first, last);
    if (known.empty()) {
        if (readAt(begin - base, dest, static_cast<std::uint32_t>(end - begin))) return true;
        if (last - first == 1) {
            std::memset(dest, 0, static_cast<std::size_t>(end - begin));
            remember({first, 1});
            if (unreadable) addSectorRange(*unreadable, {first, 1});
            return false;
        }
        // A failing drive spends its retries on every read that meets a bad sector, so
        // the pieces get small fast: sixteen of them, and single sectors once a piece is
        // kSingleSectorSplit sectors or fewer. An isolated bad sector then costs three
        // failed reads, a run of them little more than one each; the readable sectors
        // around it cost reads that are cheap.
        const std::int64_t sectors = last - first;
        const std::int64_t per = sectors <= kSingleSectorSplit ? 1 : (sectors + kSplitPieces - 1) / kSplitPieces;
        bool whole = true;
        for (std::int64_t s = first; s < last; s += per) {
            const std::int64_t b = std::max(begin, s * kSectorBytes);
            const std::int64_t e = std::min(end, (s + per) * kSectorBytes);
            if (const StopFlag* stop = splitStop.load(); stop && stop->load() != 0) {
                // Stopped: the rest is not read (nor taken for unreadable).
                std::memset(dest + (b - begin), 0, static_cast<std::size_t>(end - b));
                if (unreadable) addSectorRange(*unreadable, {b / kSectorBytes, last - b / kSectorBytes});
                return false;
            }
            whole = readSplit(base, b, e, dest + (b - begin), unreadable) && whole;
        }
        return whole;
    }
    // Read around what is known unreadable; those sectors are not asked for again.
    std::int64_t at = begin;
    for (const SectorRange& k : known) {
        const std::int64_t b = std::max(begin, k.first * kSectorBytes);
        const std::int64_t e = std::min(end, k.end() * kSectorBytes);
        if (at < b) readSplit(base, at, b, dest + (at - begin), unreadable);
        std::memset(dest + (b - begin), 0, static_cast<std::size_t>(e - b));
        if (unreadable) addSectorRange(*unreadable, k);
        at = e;
    }
    if (at < end) readSplit(base, at, end, dest + (at - begin), unreadable);
    return false;
}

bool readWriteInterface::readAtOnce(std::int64_t offset, std::uint8_t* dest, std::uint32_t count,
                                    std::vector<SectorRange>* failed) const {
    std::int64_t begin = 0, end = 0;
    if (count == 0 || !absoluteSpan(offset, baseOffset, count, begin, end)) return readAt(offset, dest, count);
    const std::int64_t first = begin / kSectorBytes, last = sectorsUpTo(end);
    if (knownIn(first, last).empty() && readAt(offset, dest, count)) return true;
    std::memset(dest, 0, count);
    if (failed) addSectorRange(*failed, {first, last - first});
    return false;
}

std::vector<SectorRange> readWriteInterface::knownIn(std::int64_t first, std::int64_t end) const {
    std::vector<SectorRange> out;
    const std::lock_guard<std::mutex> lock(unreadableMutex_);
    if (unreadable_.empty()) return out;
    auto it = unreadable_.upper_bound(first);
    if (it != unreadable_.begin()) --it;
    for (; it != unreadable_.end() && it->first < end; ++it) {
        const std::int64_t b = std::max(first, it->first), e = std::min(end, it->second);
        if (b < e) out.push_back({b, e - b});
    }
    return out;
}

void readWriteInterface::remember(SectorRange r) const {
    const std::lock_guard<std::mutex> lock(unreadableMutex_);
    std::int64_t first = r.first, end = r.end();
    auto it = unreadable_.upper_bound(first);
    if (it != unreadable_.begin() && std::prev(it)->second >= first) {
        --it;
        first = it->first;
        end = std::max(end, it->second);
        it = unreadable_.erase(it);
    }
    while (it != unreadable_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = unreadable_.erase(it);
    }
    unreadable_.emplace(first, end);
}

std::vector<SectorRange> readWriteInterface::knownUnreadable() const {
    std::vector<SectorRange> out;
    const std::lock_guard<std::mutex> lock(unreadableMutex_);
    for (const auto& [first, end] : unreadable_) out.push_back({first, end - first});
    return out;
}

std::int64_t readWriteInterface::knownUnreadableCount() const {
    std::int64_t n = 0;
    const std::lock_guard<std::mutex> lock(unreadableMutex_);
    for (const auto& [first, end] : unreadable_) n += end - first;
    return n;
}

void readWriteInterface::forgetUnreadable() {
    const std::lock_guard<std::mutex> lock(unreadableMutex_);
    unreadable_.clear();
}

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
    forgetUnreadable();
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

FaultyMemoryReadSeek::FaultyMemoryReadSeek(std::vector<std::uint8_t> bytes, std::vector<SectorRange> bad,
                                           std::int64_t delayMicrosecondsPerBadSector)
    : MemoryReadSeek(std::move(bytes)), delayMicroseconds_(delayMicrosecondsPerBadSector) {
    for (const SectorRange& r : bad) addSectorRange(bad_, r);
}

bool FaultyMemoryReadSeek::touchesBad(std::int64_t begin, std::int64_t end) const {
    std::int64_t touched = 0;
    for (const SectorRange& r : bad_) {
        const std::int64_t b = std::max(begin, r.first * kSectorBytes);
        const std::int64_t e = std::min(end, r.end() * kSectorBytes);
        if (b < e) touched += sectorsUpTo(e) - b / kSectorBytes;
    }
    if (touched > 0 && delayMicroseconds_ > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(touched * delayMicroseconds_));
    return touched > 0;
}

bool FaultyMemoryReadSeek::read(std::uint8_t* dest, std::uint32_t count) {
    const std::int64_t at = position();
    if (count > 0 && at >= 0 && touchesBad(at, at + count)) {
        ++readCalls;
        ++failedReads;
        errno = EIO;
        return false;
    }
    return MemoryReadSeek::read(dest, count);
}

bool FaultyMemoryReadSeek::readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const {
    std::int64_t begin = 0, end = 0;
    if (count > 0 && absoluteSpan(offset, baseOffset, count, begin, end) && touchesBad(begin, end)) {
        ++readCalls;
        ++failedReads;
        errno = EIO;
        return false;
    }
    return MemoryReadSeek::readAt(offset, dest, count);
}

}  // namespace dravonel
