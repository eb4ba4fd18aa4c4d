#include "core/fs/fat/fat_family.h"

#include <array>
#include <cstring>
#include <new>

#include "core/common/byte_reader.h"

namespace dravonel {

namespace {
// The FAT is held in memory up to this many entries (64 MiB); beyond, lookups read the disk.
constexpr std::uint64_t kMaxFatEntriesInMemory = 16u << 20;
}  // namespace

FatFamilyVolume::FatFamilyVolume(const ScanContext& c)
    : volume_(c.volume), tree_(c.tree), reader_(c.reader), sink_(c.sink), control_(c.control), options_(c.options) {}

bool FatFamilyVolume::stopRequested() const {
    if (control_) control_->checkPoint();
    return stopFlag.load() != 0;
}

void FatFamilyVolume::status(std::u16string_view text) const {
    if (sink_) sink_->status(text);
}

bool FatFamilyVolume::readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count) const {
    std::memset(dest, 0, count);
    return reader_ && reader_->readAtUnsigned(offset, dest, count);
}

bool FatFamilyVolume::readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count,
                             std::vector<SectorRange>* unreadable) const {
    std::memset(dest, 0, count);
    return reader_ && reader_->readAtUnsigned(offset, dest, count, unreadable);
}

bool FatFamilyVolume::readInto(EntryWriter& out, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
                               bool& complete) const {
    std::vector<SectorRange> unreadable;
    complete = readAt(offset, buffer, count, &unreadable);
    if (complete) return out.write(buffer, count);
    if (!reader_ || unreadable.empty()) return out.writeUnreadable(count);  // refused outright
    return writeAsRead(out, buffer, count, reader_->baseOffset + std::int64_t(offset), unreadable);
}

bool FatFamilyVolume::attachReader() {
    if (tree_) rootItem = tree_->insertItem(u"ROOT", ItemImage::Folder, kNoItem, 0);  // names no entry
    return true;
}

namespace {
// Bytes that hold the first count entries of entryBits each.
std::uint64_t fatBytesFor(std::uint64_t count, unsigned entryBits) { return (count * entryBits + 7) / 8; }

// Entry n of a FAT held in raw (which holds at least the entry's bytes).
std::uint32_t decodeEntry(const std::uint8_t* raw, std::uint64_t n, unsigned entryBits) {
    switch (entryBits) {
        case 12: {
            // Two entries share three bytes: the even one takes the low 12 bits.
            const std::uint16_t pair = le16(raw, std::size_t(n * 3 / 2));
            return (n & 1) ? pair >> 4 : pair & 0x0FFF;
        }
        case 16: return le16(raw, std::size_t(n * 2));
        default: return le32(raw, std::size_t(n * 4));
    }
}
}  // namespace

void FatFamilyVolume::loadFatTable(unsigned entryBits) {
    fat_.clear();
    if (clusterLimit_ < 2 || clusterLimit_ > kMaxFatEntriesInMemory) return;
    std::vector<std::uint8_t> raw;
    try {
        raw.resize(std::size_t(fatBytesFor(clusterLimit_, entryBits)) + 1);
        fat_.resize(clusterLimit_);
    } catch (const std::bad_alloc&) {
        fat_.clear();
        return;
    }
    readAt(fatStart_, raw.data(), raw.size() - 1);  // unreadable parts read as free clusters
    for (std::size_t i = 0; i < fat_.size(); ++i) fat_[i] = decodeEntry(raw.data(), i, entryBits);
}

std::uint32_t FatFamilyVolume::fatEntry(std::uint32_t n, unsigned entryBits) const {
    if (!fat_.empty()) return fat_[n];
    std::array<std::uint8_t, 4> e{};
    const std::uint64_t at = std::uint64_t(n) * entryBits / 8;
    readAt(fatStart_ + at, e.data(), entryBits == 12 ? 2 : entryBits / 8);
    if (entryBits == 12) return (n & 1) ? le16(e.data(), 0) >> 4 : le16(e.data(), 0) & 0x0FFF;
    return decodeEntry(e.data(), 0, entryBits);
}

bool FatFamilyVolume::mayReadFolderAgain(std::uint32_t firstCluster) {
    constexpr std::uint32_t kMaxReadsPerFolder = 8;
    return ++folderReads_[firstCluster] <= kMaxReadsPerFolder;
}

}  // namespace dravonel
