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

bool FatFamilyVolume::attachReader() {
    if (tree_) rootItem = tree_->insertItem(u"ROOT", ItemImage::Folder, kNoItem, 0);  // names no entry
    return true;
}

void FatFamilyVolume::loadFatTable(unsigned entryBytes) {
    fat_.clear();
    if (clusterLimit_ < 2 || clusterLimit_ > kMaxFatEntriesInMemory) return;
    std::vector<std::uint8_t> raw;
    try {
        raw.resize(std::size_t(clusterLimit_) * entryBytes);
        fat_.resize(clusterLimit_);
    } catch (const std::bad_alloc&) {
        fat_.clear();
        return;
    }
    readAt(fatStart_, raw.data(), raw.size());  // unreadable parts read as free clusters
    for (std::size_t i = 0; i < fat_.size(); ++i)
        fat_[i] = entryBytes == 2 ? le16(raw.data(), i * 2) : le32(raw.data(), i * 4);
}

std::uint32_t FatFamilyVolume::fatEntry(std::uint32_t n, unsigned entryBytes) const {
    if (!fat_.empty()) return fat_[n];
    std::array<std::uint8_t, 4> e{};
    readAt(fatStart_ + std::uint64_t(n) * entryBytes, e.data(), entryBytes);
    return entryBytes == 2 ? le16(e.data(), 0) : le32(e.data(), 0);
}

}  // namespace dravonel
