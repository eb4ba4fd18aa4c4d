#include "core/fs/fat/fat_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <unordered_map>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"
#include "core/fs/fat/fat_format.h"

namespace dravonel {

namespace bs = fat_format::boot_sector;
namespace sl = fat_format::slot;

namespace {

// A long-name run keeps at most ten slots (130 characters); an eleventh starts a new run.
constexpr int kMaxRunSlots = 10;
// One folder is read whole up to this many bytes: FAT folders hold at most 65,536 slots
// (2 MiB); a longer chain belongs to a damaged volume.
constexpr std::uint64_t kMaxFolderBytes = 64u << 20;
// Clusters are at most 2 MiB (4096-byte sectors, 128 sectors per cluster is the largest
// that formatting tools write; 255 would not be a power of two).
constexpr std::uint64_t kMaxClusterBytes = 2u << 20;

bool isDirectoryAttribute(std::uint8_t a) {
    return a != sl::kLongNameAttributes && (a & sl::kDirectoryBit) && !(a & sl::kVolumeLabelBit);
}

}  // namespace

bool FatEntryRecord::isFolder() const { return isDirectoryAttribute(attributes); }

// ---------------------------------------------------------------- names and times

namespace fat_names {

std::u16string shortName(const std::uint8_t* slot) {
    // Byte 0 is widened as a signed byte: 0xE5 (deleted) shows as U+FFE5.
    std::u16string base(1, static_cast<char16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(slot[0]))));
    base += fromWindows1252(std::span<const std::uint8_t>(slot + 1, 7));
    // Spaces pad the eight-character name and the three-character extension; they are
    // not part of the name.
    base = trimRight(base);
    const std::u16string extension = trimRight(fromWindows1252(std::span<const std::uint8_t>(slot + 8, 3)));
    std::u16string s = extension.empty() ? base : base + u"." + extension;
    while (!s.empty() && s.back() == u'.') s.pop_back();
    return s;
}

std::u16string longNamePiece(const std::uint8_t* slot) {
    std::u16string s;
    auto take = [&](std::size_t at, int count) {
        for (int i = 0; i < count; ++i) {
            const char16_t c = static_cast<char16_t>(le16(slot, at + 2 * std::size_t(i)));
            if (c == 0) return false;
            s.push_back(c);
        }
        return true;
    };
    if (take(sl::kLongName1, 5) && take(sl::kLongName2, 6)) take(sl::kLongName3, 2);
    return s;
}

std::optional<timespec> dosTimespec(std::uint16_t date, std::uint16_t time) {
    const CalendarTime t = dosDateTimeToCalendar(date, time);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    timespec ts{};
    ts.tv_sec = static_cast<std::time_t>(calendarToUnixTime(t));
    return ts;
}

EntryTexts dosTexts(std::uint16_t cDate, std::uint16_t cTime, std::uint16_t aDate, std::uint16_t wDate,
                    std::uint16_t wTime, std::uint8_t attributes, std::uint64_t size, bool accessWithTime,
                    std::uint16_t aTime) {
    EntryTexts t;
    t.created = formatDateTime(dosDateTimeToCalendar(cDate, cTime));
    t.accessed = accessWithTime ? formatDateTime(dosDateTimeToCalendar(aDate, aTime))
                                : formatDate(dosDateTimeToCalendar(aDate, 0));
    t.modified = formatDateTime(dosDateTimeToCalendar(wDate, wTime));
    if (attributes & 0x01) t.attributes += u"-R";
    if (attributes & 0x02) t.attributes += u"-H";
    if (attributes & 0x04) t.attributes += u"-S";
    if (attributes & 0x20) t.attributes += u"-A";
    t.size = formatSize(static_cast<std::int64_t>(size));
    return t;
}

}  // namespace fat_names

// ---------------------------------------------------------------- set-up

FatClass::FatClass(int bits, const ScanContext& c) : FatFamilyVolume(c), bits_(bits) {}

const char16_t* FatClass::refusalText() const {
    return bits_ == 16 ? u"Selected Drive is not in Fat16 Format" : u"Selected Drive is not in Fat32 Format";
}

bool FatClass::readBootSector() {
    std::array<std::uint8_t, fat_format::kBootSectorBytes> b{};
    readAt(0, b.data(), b.size());  // an unreadable sector reads as zeros and is refused
    const auto flavour = fat_format::parserFlavour(b.data());
    if (flavour != (bits_ == 16 ? fat_format::FatFlavour::Fat16 : fat_format::FatFlavour::Fat32)) return false;
    bytesPerSector_ = le16(b.data(), bs::kBytesPerSector);
    const std::uint32_t spc = b[bs::kSectorsPerCluster];
    const std::uint64_t reserved = le16(b.data(), bs::kReservedSectors);
    const std::uint64_t fats = b[bs::kFatCount];
    // An accepted OEM name over a parameter block that gives no geometry cannot be read.
    if (bytesPerSector_ == 0 || spc == 0 || fats == 0) return false;
    clusterSize_ = std::uint64_t(bytesPerSector_) * spc;
    if (clusterSize_ > kMaxClusterBytes) return false;
    fatStart_ = reserved * bytesPerSector_;
    std::uint64_t sectorsPerFat = 0;
    if (bits_ == 16) {
        sectorsPerFat = le16(b.data(), bs::kSectorsPerFat16);
        rootOffset_ = std::uint64_t(bytesPerSector_) * (fats * sectorsPerFat + reserved);
        rootBytes_ = std::uint64_t(le16(b.data(), bs::kRootEntryCount)) * fat_format::kSlotBytes;
        // The root folder fills whole sectors.
        const std::uint64_t rootSectors = (rootBytes_ + bytesPerSector_ - 1) / bytesPerSector_;
        dataStart_ = rootOffset_ + rootSectors * bytesPerSector_;
    } else {
        sectorsPerFat = le32(b.data(), bs::kSectorsPerFat32);
        dataStart_ = std::uint64_t(bytesPerSector_) * (fats * sectorsPerFat + reserved);
        rootCluster_ = le32(b.data(), bs::kRootCluster);
    }
    fatBytes_ = sectorsPerFat * bytesPerSector_;
    // The volume's own length; the volume record's size (whole MiB) when the boot sector
    // gives none.
    std::uint64_t sectors = le16(b.data(), bs::kTotalSectors16);
    if (sectors == 0) sectors = le32(b.data(), bs::kTotalSectors32);
    std::uint64_t volumeBytes = sectors * bytesPerSector_;
    if (volumeBytes == 0) volumeBytes = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume_.sizeMbText))) << 20;
    const std::uint64_t dataClusters = volumeBytes > dataStart_ ? (volumeBytes - dataStart_) / clusterSize_ : 0;
    const std::uint64_t fatEntries = fatBytes_ * 8 / std::uint64_t(bits_);
    // 0xFFF7 / 0x0FFFFFF7 and above are marks, never cluster numbers.
    const std::uint64_t markStart = bits_ == 16 ? 0xFFF7 : 0x0FFFFFF7;
    clusterLimit_ = static_cast<std::uint32_t>(std::min({dataClusters + 2, fatEntries, markStart}));
    return true;
}

void FatClass::loadFat() { loadFatTable(unsigned(bits_ / 8)); }

std::optional<std::uint32_t> FatClass::nextCluster(std::uint32_t n) const {
    if (options_.formattedDriveFlag || n < 2 || n >= clusterLimit_) return std::nullopt;
    std::uint32_t v = fatEntry(n, unsigned(bits_ / 8));
    if (bits_ == 32) v &= 0x0FFFFFFF;  // the top four bits are reserved
    // Free (0), reserved (1), bad and end-of-chain marks all lie outside [2, limit).
    if (v < 2 || v >= clusterLimit_) return std::nullopt;
    return v;
}

// ---------------------------------------------------------------- folder walk

struct FatClass::FolderState {
    std::uint32_t parent = 0;
    bool root = false;
    // Long-name run in progress.
    std::vector<std::u16string> pieces;
    bool runDeleted = false;
    bool inRun = false;
    bool pending = false;
    // First cluster -> record of the folders met in this folder.
    std::unordered_map<std::uint32_t, std::uint32_t> folderByCluster;
    std::vector<std::uint32_t> newFolders;
};

std::vector<std::uint32_t> FatClass::folderChain(std::uint32_t first) {
    std::vector<std::uint32_t> chain;
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_);
    std::optional<std::uint32_t> c = first;
    // Each folder cluster is read once in the whole scan: a chain that runs into a
    // cluster already read (a loop, or a chain shared with another folder) ends there.
    while (c && *c >= 2 && *c < clusterLimit_ && chain.size() < maxClusters) {
        if (!visited_.insert(*c).second) break;
        chain.push_back(*c);
        c = nextCluster(*c);
    }
    return chain;
}

void FatClass::decodeSlots(const std::uint8_t* data, std::size_t bytes, FolderState& st) {
    for (std::size_t at = 0; at + fat_format::kSlotBytes <= bytes; at += fat_format::kSlotBytes) {
        const std::uint8_t* s = data + at;
        const std::uint8_t first = s[sl::kName];
        const std::uint8_t attributes = s[sl::kAttributes];
        if (first == 0x00) {
            // FAT32 folders end at the first empty slot of a cluster; FAT16 slots after
            // it are still decoded (deleted entries can lie beyond the end marker).
            if (bits_ == 32) return;
            st.inRun = false;
            continue;
        }
        if (attributes == sl::kLongNameAttributes) {
            if (!st.inRun || st.pieces.size() >= std::size_t(kMaxRunSlots)) {
                st.pieces.clear();
                st.runDeleted = first == sl::kDeletedMark;
                st.inRun = true;
                st.pending = true;
            }
            st.pieces.push_back(fat_names::longNamePiece(s));
            continue;
        }
        st.inRun = false;
        if (first == '.') continue;  // "." and ".." name no entry of their own
        FatEntryRecord r;
        r.attributes = attributes;
        r.creationTenths = s[sl::kCreationTenths];
        r.creationTime = le16(s, sl::kCreationTime);
        r.creationDate = le16(s, sl::kCreationDate);
        r.accessDate = le16(s, sl::kAccessDate);
        r.firstClusterHigh = bits_ == 32 ? le16(s, sl::kClusterHigh) : 0;
        r.writeTime = le16(s, sl::kWriteTime);
        r.writeDate = le16(s, sl::kWriteDate);
        r.firstClusterLow = le16(s, sl::kClusterLow);
        r.size = le32(s, sl::kSize);
        r.parentIndex = st.parent;
        if (st.pending) {
            // The slot nearest the short entry holds the beginning of the name.
            for (auto it = st.pieces.rbegin(); it != st.pieces.rend(); ++it) r.name += *it;
            r.deleted = st.runDeleted ? 1 : 0;
            st.pending = false;
            st.pieces.clear();
        } else {
            r.name = fat_names::shortName(s);
            r.deleted = first == sl::kDeletedMark ? 1 : 0;
        }
        if (r.name.empty()) r.name = fat_names::shortName(s);
        if (records.size() >= 0xFFFFFFFEu) return;
        r.ownIndex = static_cast<std::uint32_t>(records.size());
        if (r.isFolder()) {
            const std::uint32_t cluster = r.firstCluster();
            if (cluster >= 2) {
                // Two folder entries of one folder naming the same first cluster (a
                // deleted folder and the one that took its place) make one record.
                const auto [it, isNew] = st.folderByCluster.emplace(cluster, r.ownIndex);
                if (!isNew) {
                    FatEntryRecord& earlier = records[it->second];
                    earlier.name = r.name;
                    if (st.root) earlier.deleted = r.deleted;
                    continue;
                }
                st.newFolders.push_back(r.ownIndex);
            }
        }
        records.push_back(std::move(r));
    }
}

void FatClass::scanRootDirectory() {
    records.clear();
    visited_.clear();
    FatEntryRecord root;
    root.name = kDummyEntryName;
    root.attributes = sl::kDirectoryBit;
    records.push_back(root);
    if (clusterSize_ == 0) return;

    // Live folders are read before deleted ones, so a cluster a deleted folder once had
    // and a live folder has now is read as the live folder's.
    std::vector<std::uint32_t> live, deleted;
    auto queue = [&](const FolderState& st, bool parentDeleted) {
        for (auto it = st.newFolders.rbegin(); it != st.newFolders.rend(); ++it)
            (parentDeleted || records[*it].deleted ? deleted : live).push_back(*it);
    };

    FolderState rootState;
    rootState.root = true;
    if (bits_ == 16) {
        std::vector<std::uint8_t> buffer;
        try {
            buffer.resize(rootBytes_);
        } catch (const std::bad_alloc&) {
            return;
        }
        readAt(rootOffset_, buffer.data(), buffer.size());
        decodeSlots(buffer.data(), buffer.size(), rootState);
    } else {
        std::vector<std::uint8_t> cluster(clusterSize_);
        for (std::uint32_t c : folderChain(rootCluster_)) {
            if (stopRequested()) return;
            readAt(clusterOffset(c), cluster.data(), cluster.size());
            decodeSlots(cluster.data(), cluster.size(), rootState);
        }
    }
    queue(rootState, false);

    std::vector<std::uint8_t> cluster(clusterSize_);
    std::uint64_t folders = 0;
    while (!live.empty() || !deleted.empty()) {
        if (stopRequested()) return;
        std::vector<std::uint32_t>& from = live.empty() ? deleted : live;
        const bool inDeleted = live.empty();
        const std::uint32_t index = from.back();
        from.pop_back();
        const std::uint32_t first = records[index].firstCluster();
        if (++folders % 64 == 0) status(format16("reading folder %llu ...", static_cast<unsigned long long>(folders)));
        if (first < 2 || first >= clusterLimit_ || visited_.count(first)) continue;
        // A folder's first cluster begins with its "." entry; one that does not (a
        // deleted folder whose cluster was taken since) is not read.
        readAt(clusterOffset(first), cluster.data(), cluster.size());
        if (cluster[0] != '.') continue;
        FolderState st;
        st.parent = index;
        bool firstCluster = true;
        for (std::uint32_t c : folderChain(first)) {
            if (stopRequested()) return;
            if (!firstCluster) readAt(clusterOffset(c), cluster.data(), cluster.size());
            firstCluster = false;
            decodeSlots(cluster.data(), cluster.size(), st);
        }
        queue(st, inDeleted);
    }
}

void FatClass::linkParentChild() { linkInRecordOrder(records); }

void FatClass::fillTreeRoots() {
    if (!tree_) return;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (i % 1024 == 0) status(format16("filling entry =%d in tree ", static_cast<int>(i)));
        const FatEntryRecord& r = records[i];
        if (r.parentIndex != 0 || r.name == kDummyEntryName) continue;
        // Every folder and every file of the root is shown; volume labels are not.
        const bool folder = r.isFolder();
        if (!folder && (r.attributes & sl::kVolumeLabelBit)) continue;
        const TreeItem item =
            tree_->insertItem(r.name, folder ? ItemImage::Folder : ItemImage::File, rootItem, std::uint64_t(i));
        if (item == kNoItem) continue;
        if (r.deleted) tree_->setItemTextRed(item);
        if (folder) tree_->expand(item, ExpandCode::Expand);
    }
    if (rootItem != kNoItem) tree_->expand(rootItem, ExpandCode::Expand);
}

ScanOutcome FatClass::scan(Prompt* prompt) {
    if (control_) control_->checkPoint();
    attachReader();
    if (!readBootSector()) {
        const std::u16string text = refusalText();
        if (prompt) prompt->message(text);
        return ScanOutcome::refused(text);
    }
    loadFat();
    status(bits_ == 16 ? u"Finding Fat16 File And Directory entries recursively...."
                       : u"Finding Fat32 File And Directory entries recursively....");
    scanRootDirectory();
    // A stopped walk still shows what it found.
    status(u"maintaining tree Structure in vector...");
    linkParentChild();
    status(u"Creating Tree Structure....");
    fillTreeRoots();
    status(u"Tree Structure Created.");
    if (bits_ == 16 && sink_) {
        sink_->setRange(0, 100);
        sink_->setPosition(100);
    }
    return stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

// ---------------------------------------------------------------- record services

bool FatClass::shownDeleted(std::uint32_t index) const {
    if (index == 0 || index >= records.size()) return false;
    const FatEntryRecord& r = records[index];
    if (r.deleted) return true;
    return !r.isFolder() && r.parentIndex < records.size() && records[r.parentIndex].deleted;
}

EntryTexts FatClass::texts(std::uint32_t index) const {
    if (index == 0 || index >= records.size()) return {};
    const FatEntryRecord& r = records[index];
    return fat_names::dosTexts(r.creationDate, r.creationTime, r.accessDate, r.writeDate, r.writeTime, r.attributes,
                               r.size, false);
}

EntryTimes FatClass::times(std::uint32_t index) const {
    EntryTimes t;
    if (index == 0 || index >= records.size()) return t;
    const FatEntryRecord& r = records[index];
    t.accessed = fat_names::dosTimespec(r.accessDate, 0);
    t.modified = fat_names::dosTimespec(r.writeDate, r.writeTime);
    return t;
}

SaveStatus FatClass::saveEntry(std::uint32_t index, EntryWriter& out) const {
    if (index == 0 || index >= records.size() || clusterSize_ == 0) return SaveStatus::Failed;
    const FatEntryRecord& r = records[index];
    if (r.isFolder()) return SaveStatus::Failed;
    std::uint64_t remaining = r.size;
    if (remaining == 0) return SaveStatus::Saved;
    std::uint32_t c = r.firstCluster();
    if (c < 2 || c >= clusterLimit_) return SaveStatus::Failed;  // names no cluster of the volume
    std::vector<std::uint8_t> buffer(clusterSize_);
    bool damaged = false;
    for (;;) {
        if (stopFlag.load() != 0) return SaveStatus::Stopped;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, clusterSize_));
        if (readAt(clusterOffset(c), buffer.data(), n)) {
            if (!out.write(buffer.data(), n)) return SaveStatus::Failed;
        } else {
            damaged = true;
            if (!out.writeUnreadable(n)) return SaveStatus::Failed;
        }
        remaining -= n;
        if (remaining == 0) break;
        // A formatted volume's FAT says nothing: the file is taken as contiguous.
        std::optional<std::uint32_t> next;
        if (options_.formattedDriveFlag) {
            if (c + 1 < clusterLimit_) next = c + 1;
        } else {
            next = nextCluster(c);
        }
        if (!next) {
            // The chain ends before the size (a deleted file's chain is freed): the
            // file is shorter than the entry says.
            damaged = true;
            break;
        }
        c = *next;
    }
    return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
}

}  // namespace dravonel
