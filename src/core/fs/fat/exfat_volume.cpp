#include "core/fs/fat/exfat_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <unordered_set>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"
#include "core/fs/fat/fat_format.h"
#include "core/fs/fat/fat_volume.h"

namespace dravonel {

namespace eb = fat_format::exfat_boot;
namespace ee = fat_format::exfat_entry;

namespace {

// exFAT folders are at most 256 MiB; a run or chain claimed longer is cut there.
constexpr std::uint64_t kMaxFolderBytes = 256u << 20;
// Clusters are at most 32 MiB.
constexpr unsigned kMaxClusterShift = 25;

bool isFileEntry(std::uint8_t t) { return t == ee::kFile || t == ee::kFileDeleted; }
bool isStreamEntry(std::uint8_t t) { return t == ee::kStream || t == ee::kStreamDeleted; }
bool isNameEntry(std::uint8_t t) { return t == ee::kName || t == ee::kNameDeleted; }

std::uint16_t datePart(std::uint32_t ts) { return static_cast<std::uint16_t>(ts >> 16); }
std::uint16_t timePart(std::uint32_t ts) { return static_cast<std::uint16_t>(ts & 0xFFFF); }

}  // namespace

Fat64Class::Fat64Class(const ScanContext& c) : FatFamilyVolume(c) {}

bool Fat64Class::readBootSector() {
    std::array<std::uint8_t, fat_format::kBootSectorBytes> b{};
    readAt(0, b.data(), b.size());
    if (useBootSector(b)) return true;
    // The backup boot region starts 12 sectors on, in the volume's own sector size; a copy
    // is taken only when it gives that size itself.
    for (unsigned shift = 9; shift <= 12; ++shift) {
        b.fill(0);
        readAt(std::uint64_t(12) << shift, b.data(), b.size());
        if (b[eb::kBytesPerSectorShift] != shift || !useBootSector(b)) continue;
        status(u"boot sector damaged; using its backup copy");
        return true;
    }
    return false;
}

bool Fat64Class::useBootSector(const std::array<std::uint8_t, fat_format::kBootSectorBytes>& b) {
    if (std::memcmp(b.data() + eb::kFileSystemName, "EXFAT", 5) != 0) return false;
    const unsigned bpsShift = b[eb::kBytesPerSectorShift];
    const unsigned spcShift = b[eb::kSectorsPerClusterShift];
    // 512-byte to 4 KiB sectors, clusters up to 32 MiB.
    if (bpsShift < 9 || bpsShift > 12 || bpsShift + spcShift > kMaxClusterShift) return false;
    const std::uint64_t bps = 1ull << bpsShift;
    clusterSize_ = 1ull << (bpsShift + spcShift);
    fatStart_ = std::uint64_t(le32(b.data(), eb::kFatOffset)) * bps;
    fatCopyBytes_ = std::uint64_t(le32(b.data(), eb::kFatLength)) * bps;
    fatCopies_ = b[eb::kNumberOfFats];
    heapStart_ = std::uint64_t(le32(b.data(), eb::kHeapOffset)) * bps;
    rootCluster_ = le32(b.data(), eb::kRootCluster);
    // Cluster numbers run from 2 to the boot sector's count + 1, and no further than the
    // volume (its own length, or the volume record's when it gives none) and the FAT.
    std::uint64_t volumeBytes = le64(b.data(), eb::kVolumeLength);
    volumeBytes = volumeBytes > (~std::uint64_t(0) >> 12) ? 0 : volumeBytes * bps;
    if (volumeBytes == 0) volumeBytes = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume_.sizeMbText))) << 20;
    const std::uint64_t heapClusters = volumeBytes > heapStart_ ? (volumeBytes - heapStart_) / clusterSize_ : 0;
    const std::uint64_t fatEntries = std::uint64_t(le32(b.data(), eb::kFatLength)) * bps / 4;
    const std::uint64_t counted = std::uint64_t(le32(b.data(), eb::kClusterCount)) + 2;
    clusterLimit_ = static_cast<std::uint32_t>(std::min({counted, heapClusters + 2, fatEntries, std::uint64_t(0xFFFFFFF7)}));
    return true;
}

void Fat64Class::loadFat() { loadFatTable(32); }

std::optional<std::uint32_t> Fat64Class::nextCluster(std::uint32_t n) const {
    if (options_.formattedDriveFlag || n < 2 || n >= clusterLimit_) return std::nullopt;
    const std::uint32_t v = fatEntry(n, 32);
    // 0xFFFFFFFF ends a chain, 0xFFFFFFF7 marks a bad cluster; both lie beyond the limit.
    if (v < 2 || v >= clusterLimit_) return std::nullopt;
    return v;
}

std::vector<std::uint32_t> Fat64Class::folderClusters(std::uint32_t first, bool contiguous, std::uint64_t length) {
    std::vector<std::uint32_t> clusters;
    std::uint64_t wanted = length == 0 ? kMaxFolderBytes / clusterSize_ : (length + clusterSize_ - 1) / clusterSize_;
    wanted = std::max<std::uint64_t>(1, std::min(wanted, std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_)));
    std::unordered_set<std::uint32_t> seen;
    std::optional<std::uint32_t> c = first;
    while (c && *c >= 2 && *c < clusterLimit_ && clusters.size() < wanted) {
        if (!seen.insert(*c).second) break;  // the chain loops
        clusters.push_back(*c);
        if (contiguous) {
            c = *c + 1 < clusterLimit_ ? std::optional<std::uint32_t>(*c + 1) : std::nullopt;
        } else {
            c = nextCluster(*c);
        }
    }
    return clusters;
}

std::size_t Fat64Class::decodeEntrySet(const std::uint8_t* data, std::size_t slots, std::size_t i,
                                       ExFatEntryRecord& r) const {
    constexpr std::size_t kSlot = fat_format::kSlotBytes;
    r = ExFatEntryRecord{};
    if (i >= slots || !isFileEntry(data[i * kSlot])) return i + 1;
    // A File entry is followed by its Stream Extension entry; a set without one says
    // nothing about where its data lies and makes no record.
    if (i + 1 >= slots || !isStreamEntry(data[(i + 1) * kSlot])) return i + 1;
    const std::uint8_t* f = data + i * kSlot;
    const std::uint8_t* s = data + (i + 1) * kSlot;
    r.entryType = f[0];
    r.attributes = le16(f, ee::kAttributes);
    r.createTimestamp = le32(f, ee::kCreateTimestamp);
    r.modifyTimestamp = le32(f, ee::kModifyTimestamp);
    r.accessTimestamp = le32(f, ee::kAccessTimestamp);
    r.create10ms = f[ee::kCreate10ms];
    r.modify10ms = f[ee::kModify10ms];
    r.createUtcOffset = f[ee::kCreateUtcOffset];
    r.modifyUtcOffset = f[ee::kModifyUtcOffset];
    r.accessUtcOffset = f[ee::kAccessUtcOffset];
    r.streamType = s[0];
    r.streamFlags = s[ee::kFlags];
    r.nameLength = s[ee::kNameLength];
    r.validDataLength = le64(s, ee::kValidDataLength);
    r.firstCluster = le32(s, ee::kFirstCluster);
    r.dataLength = le64(s, ee::kDataLength);
    // The set is the File entry and its secondary count of entries; the name is the
    // stream entry's name length of characters from the name entries that follow it.
    // Name entries beyond the set (left over from a longer name) are not the name.
    const std::size_t secondaries = f[ee::kSecondaryCount];
    const std::size_t nameEntries =
        std::min<std::size_t>({secondaries >= 1 ? secondaries - 1 : 0, ee::kMaxNameEntries,
                               (std::size_t(r.nameLength) + ee::kCharsPerNameEntry - 1) / ee::kCharsPerNameEntry});
    std::size_t j = i + 2;
    for (std::size_t k = 0; j < slots && k < nameEntries && isNameEntry(data[j * kSlot]); ++j, ++k) {
        const std::uint8_t* n = data + j * kSlot;
        for (std::size_t c = 0; c < ee::kCharsPerNameEntry && r.name.size() < r.nameLength; ++c) {
            const char16_t ch = static_cast<char16_t>(le16(n, ee::kNameChars + 2 * c));
            if (ch == 0) break;
            r.name.push_back(ch);
        }
    }
    return j;
}

void Fat64Class::decodeFolder(const std::vector<std::uint8_t>& data, std::uint32_t parent, bool inDeleted,
                              std::vector<std::uint32_t>& newFolders) {
    const std::size_t slots = data.size() / fat_format::kSlotBytes;
    std::size_t i = 0;
    while (i < slots) {
        ExFatEntryRecord r;
        i = decodeEntrySet(data.data(), slots, i, r);
        if (r.name.empty() || records.size() >= 0xFFFFFFFEu) continue;  // nothing to call it
        r.parentIndex = parent;
        r.inDeletedFolder = inDeleted ? 1 : 0;
        r.ownIndex = static_cast<std::uint32_t>(records.size());
        // Every folder set is read for itself, even when another set names the same first
        // cluster: a deleted folder never hides the live one that took its place.
        if (r.isFolder() && r.firstCluster >= 2) newFolders.push_back(r.ownIndex);
        records.push_back(std::move(r));
    }
}

void Fat64Class::loadBitmap(const std::vector<std::uint8_t>& root) {
    bitmap_.clear();
    constexpr std::size_t kSlot = fat_format::kSlotBytes;
    for (std::size_t at = 0; at + kSlot <= root.size(); at += kSlot) {
        const std::uint8_t* e = root.data() + at;
        if (e[0] != ee::kBitmap) continue;
        // The first bitmap is the one of the first FAT (a second belongs to TexFAT).
        const std::uint32_t first = le32(e, ee::kFirstCluster);
        const std::uint64_t needed = (std::uint64_t(clusterLimit_) + 7) / 8;
        const std::uint64_t length = std::min<std::uint64_t>(le64(e, ee::kDataLength), needed);
        if (first < 2 || first >= clusterLimit_ || length == 0 || length > (64u << 20)) return;
        std::vector<std::uint8_t> bits(length);
        // The bitmap's clusters are chained in the FAT; where the chain is missing they are
        // taken as consecutive, as formatting tools place them.
        for (bool contiguous : {false, true}) {
            std::size_t done = 0;
            for (std::uint32_t c : folderClusters(first, contiguous, length)) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_, length - done));
                if (!readAt(clusterOffset(c), bits.data() + done, n)) return;  // unknown rather than wrong
                done += n;
                if (done == length) break;
            }
            if (done == length) {
                bitmap_ = std::move(bits);
                return;
            }
        }
        return;
    }
}

bool Fat64Class::looksLikeEntrySets(const std::uint8_t* data, std::size_t bytes) const {
    constexpr std::size_t kSlot = fat_format::kSlotBytes;
    bool anyFile = false;
    for (std::size_t at = 0; at + kSlot <= bytes; at += kSlot) {
        const std::uint8_t t = data[at];
        if (t == 0x00) continue;
        // Entry types a directory holds, in use or deleted (bit 7 clear).
        const std::uint8_t kind = t & 0x7F;
        if (kind != 0x01 && kind != 0x02 && kind != 0x03 && kind != 0x05 && kind != 0x20 && kind != 0x21 &&
            kind != 0x22 && kind != 0x40 && kind != 0x41)
            return false;
        if (isFileEntry(t)) {
            // A set may go on in the next cluster.
            if (at + 2 * kSlot <= bytes && !isStreamEntry(data[at + kSlot])) return false;
            anyFile = true;
        }
    }
    return anyFile;
}

void Fat64Class::readFolderOn(std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& data) {
    // A folder shrinks when its last files go (its freed clusters keep their deleted
    // entry sets): it is read on through the next clusters for as long as the next is
    // free in the bitmap and reads as entry sets. (Writers leave unused entries at the
    // end of a cluster when a set does not fit, so an unused entry ends nothing here.)
    if (clusters.empty() || bitmap_.empty() || options_.formattedDriveFlag) return;
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_);
    std::vector<std::uint8_t> next(clusterSize_);
    std::uint32_t c = clusters.back();
    while (clusters.size() < maxClusters && c + 1 < clusterLimit_) {
        ++c;
        if (inUse(c)) break;
        if (!readAt(clusterOffset(c), next.data(), next.size()) || !looksLikeEntrySets(next.data(), next.size())) break;
        clusters.push_back(c);
        data.insert(data.end(), next.begin(), next.end());
    }
}

bool Fat64Class::inUse(std::uint32_t n) const {
    if (n < 2 || bitmap_.empty()) return false;
    const std::uint64_t bit = n - 2;
    if (bit / 8 >= bitmap_.size()) return false;
    return (bitmap_[bit / 8] >> (bit % 8)) & 1;
}

bool Fat64Class::isOwnAncestor(std::uint32_t index) const {
    const std::uint32_t cluster = records[index].firstCluster;
    if (cluster == rootCluster_) return true;
    std::uint32_t p = records[index].parentIndex;
    for (int depth = 0; p != 0 && p < records.size(); ++depth) {
        if (depth >= 1024 || records[p].firstCluster == cluster) return true;
        p = records[p].parentIndex;
    }
    return false;
}

void Fat64Class::scanRootDirectory() {
    records.clear();
    folderSectorsUnreadable = 0;
    folderReads_.clear();
    ExFatEntryRecord root;
    root.name = kDummyEntryName;
    root.attributes = 0x10;
    root.entryType = ee::kFile;
    records.push_back(root);
    if (clusterSize_ == 0) return;

    auto readFolder = [&](const std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& data) {
        data.assign(clusters.size() * clusterSize_, 0);
        // Entries in sectors that cannot be read are lost alone: the rest are decoded.
        for (std::size_t k = 0; k < clusters.size(); ++k)
            readFolderBytes(clusterOffset(clusters[k]), data.data() + k * clusterSize_, clusterSize_);
    };
    std::vector<std::uint8_t> data;
    std::vector<std::uint32_t> found;
    readFolder(folderClusters(rootCluster_, false, 0), data);
    loadBitmap(data);
    decodeFolder(data, 0, false, found);
    // Depth first, in disk order within each folder.
    std::vector<std::uint32_t> pending(found.rbegin(), found.rend());
    std::uint64_t folders = 0;
    while (!pending.empty()) {
        if (stopRequested()) return;
        const std::uint32_t index = pending.back();
        pending.pop_back();
        const ExFatEntryRecord& dir = records[index];
        if (++folders % 64 == 0) status(format16("reading folder %llu ...", static_cast<unsigned long long>(folders)));
        if (isOwnAncestor(index) || !mayReadFolderAgain(dir.firstCluster)) continue;
        const bool gone = dir.gone();
        std::vector<std::uint32_t> clusters = folderClusters(dir.firstCluster, dir.contiguous(), dir.dataLength);
        readFolder(clusters, data);
        readFolderOn(clusters, data);
        found.clear();
        decodeFolder(data, index, gone, found);
        pending.insert(pending.end(), found.rbegin(), found.rend());
    }
}

void Fat64Class::linkParentChild() { linkInRecordOrder(records); }

void Fat64Class::fillTreeRoots() {
    if (!tree_) return;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (i % 1024 == 0) status(format16("filling entry =%d in tree ", static_cast<int>(i)));
        const ExFatEntryRecord& r = records[i];
        if (r.parentIndex != 0 || r.name == kDummyEntryName) continue;
        const bool folder = r.isFolder();
        const TreeItem item =
            tree_->insertItem(r.name, folder ? ItemImage::Folder : ItemImage::File, rootItem, std::uint64_t(i));
        if (item == kNoItem) continue;
        if (r.isDeleted()) tree_->setItemTextRed(item);
        if (folder) tree_->expand(item, ExpandCode::Expand);
    }
    if (rootItem != kNoItem) tree_->expand(rootItem, ExpandCode::Expand);
}

ScanOutcome Fat64Class::scan(Prompt* prompt) {
    if (control_) control_->checkPoint();
    attachReader();
    advanced_ = false;
    if (!readBootSector()) {
        const std::u16string text = u"Selected Drive is not in exFat Format";
        if (prompt) prompt->message(text);
        return ScanOutcome::refused(text);
    }
    loadFat();
    status(u"processing file and directory entries...");
    status(u"Finding Fat64 File And Directory entries recursively....");
    scanRootDirectory();
    linkParentChild();
    status(u"creating tree Structure...");
    fillTreeRoots();
    return stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

bool Fat64Class::shownDeleted(std::uint32_t index) const {
    if (index == 0 || index >= records.size()) return false;
    return records[index].gone();
}

EntryTexts Fat64Class::texts(std::uint32_t index) const {
    if (index == 0 || index >= records.size()) return {};
    const ExFatEntryRecord& r = records[index];
    return fat_names::dosTexts(datePart(r.createTimestamp), timePart(r.createTimestamp), datePart(r.accessTimestamp),
                               datePart(r.modifyTimestamp), timePart(r.modifyTimestamp),
                               static_cast<std::uint8_t>(r.attributes & 0xFF), r.validDataLength, true,
                               timePart(r.accessTimestamp));
}

EntryTimes Fat64Class::times(std::uint32_t index) const {
    EntryTimes t;
    if (index == 0 || index >= records.size()) return t;
    const ExFatEntryRecord& r = records[index];
    t.accessed = fat_names::dosTimespec(datePart(r.accessTimestamp), timePart(r.accessTimestamp));
    t.modified = fat_names::dosTimespec(datePart(r.modifyTimestamp), timePart(r.modifyTimestamp));
    return t;
}

SaveStatus Fat64Class::saveEntry(std::uint32_t index, EntryWriter& out) const {
    if (index == 0 || index >= records.size() || clusterSize_ == 0) return SaveStatus::Failed;
    const ExFatEntryRecord& r = records[index];
    if (r.isFolder()) return SaveStatus::Failed;
    // The valid data length: bytes beyond it were never written.
    const std::uint64_t size = r.validDataLength;
    if (size == 0) return SaveStatus::Saved;
    const std::uint32_t first = r.firstCluster;
    if (first < 2 || first >= clusterLimit_) return SaveStatus::Failed;
    const bool contiguous = r.contiguous() || options_.formattedDriveFlag;
    // A deleted file's clusters are free in the bitmap; one that is in use now belongs to
    // another file (on a formatted volume the bitmap says nothing of the old files).
    const bool checkBitmap = r.gone() && !options_.formattedDriveFlag;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(clusterSize_, 1u << 20)));
    std::uint64_t done = 0, overwritten = 0;
    bool damaged = false;
    // The advanced road reads records of a file system that may be gone (a quick format
    // leaves an empty FAT and bitmap): a cluster the FAT does not chain is taken as the
    // next one, and a file whose clusters neither the FAT nor the bitmap hold may be
    // incomplete.
    bool layoutUnknown = false;
    std::uint32_t c = first;
    for (;;) {
        const std::uint64_t inCluster = std::min<std::uint64_t>(size - done, clusterSize_);
        if (checkBitmap && inUse(c)) {
            if (!out.writeHole(inCluster)) return SaveStatus::Failed;
            overwritten += inCluster;
            damaged = true;
        } else {
            if (advanced_ && !r.gone() && !inUse(c)) layoutUnknown = true;
            // One cluster, in pieces of at most 1 MiB.
            std::uint64_t left = inCluster, at = clusterOffset(c);
            while (left > 0) {
                if (stopFlag.load() != 0) return SaveStatus::Stopped;
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
                bool complete = true;
                if (!readInto(out, at, buffer.data(), n, complete)) return SaveStatus::Failed;
                if (!complete) damaged = true;
                at += n;
                left -= n;
            }
        }
        done += inCluster;
        if (done == size) break;
        if (stopFlag.load() != 0) return SaveStatus::Stopped;
        std::optional<std::uint32_t> next;
        if (contiguous) {
            if (c + 1 < clusterLimit_) next = c + 1;
            else out.noteDamage(groupedNumber(size - done) + " of " + groupedNumber(size) + " bytes lie past the volume end");
        } else {
            next = nextCluster(c);
            if (!next && advanced_ && c + 1 < clusterLimit_) {
                next = c + 1;
                layoutUnknown = true;
            }
            if (!next) out.noteDamage("chain ends after " + groupedNumber(done) + " of " + groupedNumber(size) + " bytes");
        }
        if (!next) {
            damaged = true;
            break;
        }
        c = *next;
    }
    if (overwritten > 0)
        out.noteDamage(groupedNumber(overwritten) + " of " + groupedNumber(size) + " bytes overwritten by other files");
    if (layoutUnknown) {
        out.noteDamage("possibly incomplete: read as consecutive clusters that neither the FAT nor the allocation bitmap "
                       "gives to it");
        damaged = true;
    }
    return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
}

}  // namespace dravonel
