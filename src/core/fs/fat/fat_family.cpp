#include "core/fs/fat/fat_family.h"

#include <array>
#include <cstring>
#include <new>

#include "core/common/byte_reader.h"
#include "core/common/text.h"

namespace dravonel {

namespace {
// The FAT is held in memory up to this many entries (64 MiB); beyond, lookups read the disk.
constexpr std::uint64_t kMaxFatEntriesInMemory = 16u << 20;
}  // namespace

FatFamilyVolume::FatFamilyVolume(const ScanContext& c)
    : volume_(c.volume), tree_(c.tree), reader_(c.reader), sink_(c.sink), control_(c.control), options_(c.options) {}

void FatFamilyVolume::rebind(const ScanContext& c) {
    tree_ = c.tree;
    reader_ = c.reader;
    sink_ = c.sink;
    control_ = c.control;
    options_ = c.options;
}

bool FatFamilyVolume::stopRequested() const {
    if (control_) control_->checkPoint();
    return stopFlag.load() != 0;
}

void FatFamilyVolume::status(std::u16string_view text) const {
    if (sink_) sink_->status(text);
}

bool FatFamilyVolume::readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count) const {
    // Cleared only when the read fails: the whole-volume searches read every byte once,
    // and clearing their 10 MiB pieces first cost as much as a read from the cache.
    if (reader_ && reader_->readAtUnsigned(offset, dest, count)) return true;
    std::memset(dest, 0, count);
    return false;
}

bool FatFamilyVolume::readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count,
                             std::vector<SectorRange>* unreadable) const {
    std::vector<SectorRange> lost;
    if (reader_ && reader_->readAtUnsigned(offset, dest, count, &lost)) return true;
    // A split read zero-filled only its unreadable sectors; a read refused whole (no
    // reader, a position beyond any source) delivered nothing.
    if (lost.empty()) std::memset(dest, 0, count);
    if (unreadable) unreadable->insert(unreadable->end(), lost.begin(), lost.end());
    return false;
}

bool FatFamilyVolume::readInto(EntryWriter& out, std::uint64_t offset, std::uint8_t* buffer, std::size_t count,
                               bool& complete) const {
    return copyAsRead(reader_, offset, buffer, count, out, complete);
}

FatFamilyVolume::LostSpans FatFamilyVolume::readFolderBytes(std::uint64_t offset, std::uint8_t* dest,
                                                             std::size_t count) {
    std::vector<SectorRange> unreadable;
    if (readAt(offset, dest, count, &unreadable) || !reader_) return {};
    if (unreadable.empty()) return {{0, std::int64_t(count)}};  // refused outright
    const std::int64_t from = reader_->baseOffset + std::int64_t(offset);
    LostSpans lost = unreadableSpans(unreadable, from, from + std::int64_t(count));
    for (const auto& [b, e] : lost) folderSectorsUnreadable += std::uint64_t(e - b + 511) / 512;
    return lost;
}

std::vector<std::u16string> FatFamilyVolume::readLosses() const {
    std::vector<std::u16string> out;
    auto number = [](std::uint64_t n) { return fromUtf8(std::to_string(n)); };
    if (fatSectorsFromCopy > 0) out.push_back(number(fatSectorsFromCopy) + u" sectors of the first FAT read from its copy");
    if (fatSectorsUnreadable > 0) out.push_back(number(fatSectorsUnreadable) + u" FAT sectors could not be read");
    if (folderSectorsUnreadable > 0)
        out.push_back(number(folderSectorsUnreadable) + u" folder sectors could not be read");
    return out;
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
    fatSectorsFromCopy = fatSectorsUnreadable = 0;
    std::vector<SectorRange> unreadable;
    const std::size_t bytes = raw.size() - 1;
    if (!readAt(fatStart_, raw.data(), bytes, &unreadable) && reader_) {
        // Sectors of the first FAT that cannot be read come from the next copy that has
        // them; what no copy gives reads as free clusters.
        const std::int64_t from = reader_->baseOffset + std::int64_t(fatStart_);
        for (const auto& [b, e] : unreadableSpans(unreadable, from, from + std::int64_t(bytes))) {
            LostSpans left{{b, e}};
            for (unsigned copy = 1; copy < fatCopies_ && !left.empty() && fatCopyBytes_ > 0; ++copy) {
                LostSpans still;
                for (const auto& [lb, le] : left) {
                    std::vector<SectorRange> again;
                    const std::uint64_t at = fatStart_ + copy * fatCopyBytes_ + std::uint64_t(lb);
                    if (readAt(at, raw.data() + lb, std::size_t(le - lb), &again)) continue;
                    const std::int64_t copyFrom = reader_->baseOffset + std::int64_t(at);
                    for (const auto& [sb, se] : unreadableSpans(again, copyFrom, copyFrom + (le - lb)))
                        still.emplace_back(lb + sb, lb + se);
                    if (again.empty()) still.emplace_back(lb, le);
                }
                left = std::move(still);
            }
            std::int64_t lostBytes = 0;
            for (const auto& [lb, le] : left) lostBytes += le - lb;
            fatSectorsUnreadable += std::uint64_t(lostBytes + 511) / 512;
            fatSectorsFromCopy += std::uint64_t(e - b - lostBytes + 511) / 512;
        }
    }
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
