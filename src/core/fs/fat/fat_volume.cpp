#include "core/fs/fat/fat_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <unordered_map>

#include "core/common/byte_reader.h"
#include "core/common/code_pages.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"
#include "core/fs/fat/fat_format.h"

namespace dravonel {

namespace bs = fat_format::boot_sector;
namespace sl = fat_format::slot;

namespace {

// A long name is at most 255 characters: 20 slots of 13.
constexpr std::size_t kMaxRunSlots = 20;
// One folder is read whole up to this many bytes: FAT folders hold at most 65,536 slots
// (2 MiB); a longer chain belongs to a damaged volume.
constexpr std::uint64_t kMaxFolderBytes = 64u << 20;
// Clusters are at most 2 MiB (4096-byte sectors, 128 sectors per cluster is the largest
// that formatting tools write; 255 would not be a power of two).
constexpr std::uint64_t kMaxClusterBytes = 2u << 20;
// FAT12 volumes have fewer clusters than this; FAT16 volumes at least as many.
constexpr std::uint64_t kMinFat16Clusters = 4085;
// File data is read in pieces of up to this many bytes of consecutive clusters.
constexpr std::size_t kReadPiece = 1u << 20;
// Folders nested deeper than this are not followed (the path limit keeps real ones far
// shallower).
constexpr int kMaxDepth = 1024;

bool isDirectoryAttribute(std::uint8_t a) {
    return a != sl::kLongNameAttributes && (a & sl::kDirectoryBit) && !(a & sl::kVolumeLabelBit);
}

// Characters a short name never holds.
bool forbiddenInShortName(std::uint8_t c) {
    return c < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr;
}

}  // namespace

bool FatEntryRecord::isFolder() const { return isDirectoryAttribute(attributes); }

// ---------------------------------------------------------------- names and times

namespace fat_names {

std::u16string shortName(const std::uint8_t* slot, int codePage) {
    std::array<std::uint8_t, 11> raw{};
    std::memcpy(raw.data(), slot, raw.size());
    const bool deletedMark = raw[0] == sl::kDeletedMark;
    if (raw[0] == 0x05) raw[0] = 0xE5;  // a name that really starts with 0xE5
    const std::uint8_t caseFlags = slot[sl::kCaseFlags];
    auto part = [&](std::size_t from, std::size_t count, bool lower) {
        std::u16string t = trimRight(fromOemCodePage(std::span<const std::uint8_t>(raw.data() + from, count), codePage));
        if (lower)
            for (char16_t& c : t)
                if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
        return t;
    };
    std::u16string base = part(0, 8, caseFlags & sl::kLowerCaseBase);
    if (deletedMark && !base.empty()) base[0] = u'\uFFE5';
    else if (deletedMark) base.assign(1, u'\uFFE5');
    const std::u16string extension = part(8, 3, caseFlags & sl::kLowerCaseExtension);
    std::u16string s = extension.empty() ? base : base + u"." + extension;
    while (!s.empty() && s.back() == u'.') s.pop_back();
    return s;
}

std::uint8_t shortNameChecksum(const std::uint8_t* name) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
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

void FatClass::rebind(const ScanContext& c) {
    FatFamilyVolume::rebind(c);
    codePage_ = isSupportedOemCodePage(c.options.oemCodePage) ? c.options.oemCodePage : kDefaultOemCodePage;
}

FatClass::FatClass(int bits, const ScanContext& c)
    : FatFamilyVolume(c), bits_(bits), entryBits_(unsigned(bits)),
      codePage_(isSupportedOemCodePage(c.options.oemCodePage) ? c.options.oemCodePage : kDefaultOemCodePage) {}

const char16_t* FatClass::refusalText() const {
    // FAT12 volumes are read by the FAT16 parser.
    return bits_ == 16 ? u"Selected Drive is not in Fat16 Format" : u"Selected Drive is not in Fat32 Format";
}

bool FatClass::readBootSector() {
    std::array<std::uint8_t, fat_format::kBootSectorBytes> b{};
    readAt(0, b.data(), b.size());  // an unreadable sector reads as zeros and is refused
    if (useBootSector(b)) return true;
    // FAT32 keeps a copy of its boot sector; the damaged one cannot say where, so the copy
    // is looked for where formatting tools put it: sector 6 in the volume's own sector
    // size, taken only where the copy gives that size itself.
    if (bits_ != 32) return false;
    for (std::uint32_t bps = 512; bps <= 4096; bps *= 2) {
        b.fill(0);
        readAt(kBackupBootSector * bps, b.data(), b.size());
        if (le16(b.data(), bs::kBytesPerSector) != bps || !useBootSector(b)) continue;
        status(u"boot sector damaged; using its backup copy");
        return true;
    }
    return false;
}

bool FatClass::useBootSector(const std::array<std::uint8_t, fat_format::kBootSectorBytes>& b) {
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
    fatCopyBytes_ = fatBytes_;
    fatCopies_ = unsigned(fats);
    // The volume's own length; the volume record's size (whole MiB) when the boot sector
    // gives none.
    std::uint64_t sectors = le16(b.data(), bs::kTotalSectors16);
    if (sectors == 0) sectors = le32(b.data(), bs::kTotalSectors32);
    std::uint64_t volumeBytes = sectors * bytesPerSector_;
    bootVolumeBytes_ = volumeBytes;
    if (volumeBytes == 0) volumeBytes = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume_.sizeMbText))) << 20;
    const std::uint64_t dataClusters = volumeBytes > dataStart_ ? (volumeBytes - dataStart_) / clusterSize_ : 0;
    // A FAT12 volume has too few clusters for FAT16: its FAT holds 12-bit entries.
    entryBits_ = bits_ == 32 ? 32 : (dataClusters < kMinFat16Clusters ? 12 : 16);
    const std::uint64_t fatEntries = fatBytes_ * 8 / entryBits_;
    // 0xFF7 / 0xFFF7 / 0x0FFFFFF7 and above are marks, never cluster numbers.
    const std::uint64_t markStart = entryBits_ == 12 ? 0xFF7 : entryBits_ == 16 ? 0xFFF7 : 0x0FFFFFF7;
    clusterLimit_ = static_cast<std::uint32_t>(std::min({dataClusters + 2, fatEntries, markStart}));
    return true;
}

void FatClass::loadFat() { loadFatTable(entryBits_); }

std::optional<std::uint32_t> FatClass::nextCluster(std::uint32_t n) const {
    if (options_.formattedDriveFlag || n < 2 || n >= clusterLimit_) return std::nullopt;
    std::uint32_t v = fatEntry(n, entryBits_);
    if (bits_ == 32) v &= 0x0FFFFFFF;  // the top four bits are reserved
    // Free (0), reserved (1), bad and end-of-chain marks all lie outside [2, limit).
    if (v < 2 || v >= clusterLimit_) return std::nullopt;
    return v;
}

// ---------------------------------------------------------------- folder walk

struct FatClass::FolderState {
    std::uint32_t parent = 0;
    bool inDeleted = false;  // the folder or one above it is deleted
    std::vector<LongSlot> run;  // long-name slots since the last short entry, disk order
    bool sawEnd = false;        // the cluster decoded last held an empty (0x00) slot
    std::vector<std::uint32_t> newFolders;
    // The advanced road: the volume offset of the bytes being decoded (kNoOffset: not
    // known), so that every slot decoded joins the processed set once.
    static constexpr std::uint64_t kNoOffset = ~std::uint64_t(0);
    std::uint64_t at = kNoOffset;
};

std::optional<std::u16string> FatClass::longNameFor(const std::vector<LongSlot>& run,
                                                     const std::uint8_t* slot) const {
    if (run.empty()) return std::nullopt;
    const bool deleted = slot[sl::kName] == sl::kDeletedMark;
    std::size_t from = run.size();
    if (!deleted) {
        // A live name: sequence numbers 1, 2, ... back from the short entry, up to the
        // slot marked last, each with the short name's checksum.
        const std::uint8_t sum = fat_names::shortNameChecksum(slot);
        for (std::uint8_t expected = 1; from > 0; ++expected) {
            const LongSlot& ls = run[from - 1];
            if (ls.ordinal == sl::kDeletedMark || ls.checksum != sum || (ls.ordinal & 0x1F) != expected)
                return std::nullopt;
            --from;
            if (ls.ordinal & sl::kLastLongSlot) break;
            if (from == 0) return std::nullopt;  // the run never reached its last slot
        }
    } else {
        // Deleting overwrites byte 0 of every slot, sequence numbers included: the run is
        // the deleted slots back from the entry that share one checksum.
        const std::uint8_t sum = run.back().checksum;
        while (from > 0 && run[from - 1].ordinal == sl::kDeletedMark && run[from - 1].checksum == sum) --from;
        if (from == run.size()) return std::nullopt;
        // The checksum tells the short name's lost first byte; a run of another entry
        // gives one no short name starts with, or not the long name's first letter.
        std::array<std::uint8_t, 11> name{};
        std::memcpy(name.data(), slot, name.size());
        int lost = -1;
        for (int b = 0; b < 256 && lost < 0; ++b) {
            name[0] = static_cast<std::uint8_t>(b);
            if (fat_names::shortNameChecksum(name.data()) == sum) lost = b;
        }
        if (lost < 0 || lost == sl::kDeletedMark || forbiddenInShortName(static_cast<std::uint8_t>(lost))) return std::nullopt;
        const std::u16string& head = run.back().piece;
        if (!head.empty() && head[0] < 0x80) {
            char16_t c = head[0];
            if (c >= u'a' && c <= u'z') c = char16_t(c - u'a' + u'A');
            if (((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) && c != lost) return std::nullopt;
        }
    }
    std::u16string name;
    for (std::size_t k = run.size(); k > from; --k) name += run[k - 1].piece;
    if (name.empty()) return std::nullopt;
    return name;
}

bool FatClass::looksLikeFolderSlots(const std::uint8_t* data, std::size_t bytes) const {
    bool any = false;
    for (std::size_t at = 0; at + fat_format::kSlotBytes <= bytes; at += fat_format::kSlotBytes) {
        const std::uint8_t* s = data + at;
        const std::uint8_t first = s[sl::kName];
        const std::uint8_t a = s[sl::kAttributes];
        if (first == 0x00) continue;
        if (first == '.' && at == 0) return false;  // the head of another folder
        if (a & 0xC0) return false;                 // attribute bits no system sets
        if (a == sl::kLongNameAttributes) {
            if (s[12] != 0 || le16(s, 26) != 0) return false;
        } else {
            for (int i = 1; i < 11; ++i)
                if (s[i] < 0x20) return false;
            if (first != sl::kDeletedMark && first != 0x05 && first != '.' && forbiddenInShortName(first)) return false;
            const std::uint32_t cluster = (bits_ == 32 ? std::uint32_t(le16(s, sl::kClusterHigh)) << 16 : 0) |
                                          le16(s, sl::kClusterLow);
            if (cluster >= clusterLimit_) return false;
        }
        any = true;
    }
    return any;
}

std::vector<std::uint32_t> FatClass::folderChain(std::uint32_t first, bool followFat) {
    std::vector<std::uint32_t> chain;
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_);
    std::unordered_set<std::uint32_t> seen;
    std::optional<std::uint32_t> c = first;
    while (c && *c >= 2 && *c < clusterLimit_ && chain.size() < maxClusters) {
        if (!seen.insert(*c).second) break;  // the chain loops
        chain.push_back(*c);
        if (followFat) {
            const std::uint32_t v = fatEntry(*c, entryBits_) & (bits_ == 32 ? 0x0FFFFFFFu : 0xFFFFFFFFu);
            c = v >= 2 && v < clusterLimit_ ? std::optional<std::uint32_t>(v) : std::nullopt;
        } else {
            c = nextCluster(*c);
        }
    }
    return chain;
}

void FatClass::decodeAround(const std::uint8_t* data, std::size_t bytes, const LostSpans& lost, FolderState& st) {
    if (lost.empty()) return decodeSlots(data, bytes, st);
    bool sawEnd = false;
    std::size_t at = 0;
    auto decodeUpTo = [&](std::size_t end) {
        if (end > at && !(sawEnd && bits_ == 32)) {
            const std::uint64_t base = st.at;
            if (base != FolderState::kNoOffset) st.at = base + at;
            decodeSlots(data + at, end - at, st);
            st.at = base;
            sawEnd = sawEnd || st.sawEnd;
        }
    };
    for (const auto& [b, e] : lost) {
        decodeUpTo(std::size_t(b));
        st.run.clear();  // a long name does not run across slots that were lost
        at = std::size_t(e);
    }
    decodeUpTo(bytes);
    st.sawEnd = sawEnd;
}

void FatClass::decodeSlots(const std::uint8_t* data, std::size_t bytes, FolderState& st) {
    st.sawEnd = false;
    for (std::size_t at = 0; at + fat_format::kSlotBytes <= bytes; at += fat_format::kSlotBytes) {
        const std::uint8_t* s = data + at;
        const std::uint8_t first = s[sl::kName];
        const std::uint8_t attributes = s[sl::kAttributes];
        // The advanced road reaches slots both from hits and from folders: each once.
        if (advanced_ && st.at != FolderState::kNoOffset && first != 0x00 &&
            !processed_.insert(st.at + at).second) {
            st.run.clear();
            continue;
        }
        if (first == 0x00) {
            st.sawEnd = true;
            st.run.clear();
            // FAT32 folders end at the first empty slot of a cluster; FAT12/16 slots after
            // it are still decoded (deleted entries can lie beyond the end marker).
            if (bits_ == 32) return;
            continue;
        }
        if (attributes == sl::kLongNameAttributes) {
            if (st.run.size() >= kMaxRunSlots) st.run.erase(st.run.begin());
            st.run.push_back({first, s[sl::kLongNameChecksum], fat_names::longNamePiece(s)});
            continue;
        }
        if (first == '.') {  // "." and ".." name no entry of their own
            st.run.clear();
            continue;
        }
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
        r.deleted = first == sl::kDeletedMark ? 1 : 0;
        r.inDeletedFolder = st.inDeleted ? 1 : 0;
        // A run whose sequence or checksum does not lead to this entry (a leftover of an
        // entry deleted before) is not its name.
        if (std::optional<std::u16string> longName = longNameFor(st.run, s)) r.name = std::move(*longName);
        else r.name = fat_names::shortName(s, codePage_);
        st.run.clear();
        if (r.name.empty()) continue;
        if (records.size() >= 0xFFFFFFFEu) return;
        r.ownIndex = static_cast<std::uint32_t>(records.size());
        // Every folder entry is read for itself, even when another entry names the same
        // first cluster: a deleted folder never hides the live one that took its place.
        if (r.isFolder() && r.firstCluster() >= 2) st.newFolders.push_back(r.ownIndex);
        records.push_back(std::move(r));
    }
}

std::uint32_t FatClass::clusterAt(std::uint64_t at) const {
    if (clusterSize_ == 0 || at < dataStart_) return 0;
    const std::uint64_t n = (at - dataStart_) / clusterSize_ + 2;
    return n < clusterLimit_ ? static_cast<std::uint32_t>(n) : 0;
}

const FatClass::TailRun& FatClass::tailRun(std::uint32_t p) {
    auto found = tailRuns_.find(p);
    if (found != tailRuns_.end()) return found->second;
    constexpr std::size_t kSlot = fat_format::kSlotBytes;
    TailRun& tail = tailRuns_[p];
    const std::uint64_t end = clusterOffset(p) + clusterSize_;
    const std::uint64_t take = std::min<std::uint64_t>(clusterSize_, kMaxRunSlots * kSlot);
    std::array<std::uint8_t, kMaxRunSlots * kSlot> bytes{};
    readAt(end - take, bytes.data(), static_cast<std::size_t>(take));
    // A folder read that ended at that cluster decoded these slots too, but gave them to
    // no entry: they are taken whether processed or not.
    for (std::size_t q = static_cast<std::size_t>(take); q >= kSlot; q -= kSlot) {
        const std::uint8_t* s = bytes.data() + q - kSlot;
        if (s[sl::kAttributes] != sl::kLongNameAttributes || s[sl::kName] == 0x00 ||
            (!tail.run.empty() && s[sl::kLongNameChecksum] != tail.run.front().checksum))
            break;
        tail.run.insert(tail.run.begin(), {s[sl::kName], s[sl::kLongNameChecksum], fat_names::longNamePiece(s)});
        tail.slots.insert(tail.slots.begin(), end - take + q - kSlot);
    }
    return tail;
}

void FatClass::takeHit(std::uint64_t at, std::uint32_t parent, std::vector<std::uint32_t>& found) {
    constexpr std::size_t kSlot = fat_format::kSlotBytes;
    // The hit and the slots before it, for the long-name run that may lead to it.
    const std::uint64_t back = std::min<std::uint64_t>(at - std::min(at, surfaceStart_), kMaxRunSlots * kSlot);
    std::array<std::uint8_t, (kMaxRunSlots + 1) * kSlot> window{};
    readAt(at - back, window.data(), static_cast<std::size_t>(back) + kSlot);
    const std::uint8_t* slot = window.data() + back;
    if (slot[sl::kAttributes] == sl::kLongNameAttributes || slot[sl::kName] == '.' || slot[sl::kName] == 0) return;
    // The run directly before the entry, in disk order, within the entry's cluster; it
    // names the entry only when its sequence and checksum lead to it (longNameFor).
    const std::uint32_t cluster = clusterAt(at);
    const std::uint64_t clusterStart = cluster ? clusterOffset(cluster) : 0;
    FolderState st;
    std::size_t from = static_cast<std::size_t>(back);
    while (from >= kSlot) {
        const std::uint64_t prev = at - back + from - kSlot;
        const std::uint8_t* s = window.data() + from - kSlot;
        if (cluster && prev < clusterStart) break;
        if (s[sl::kAttributes] != sl::kLongNameAttributes || s[sl::kName] == 0x00 || processed_.count(prev)) break;
        from -= kSlot;
    }
    std::vector<std::uint64_t> runSlots;
    for (std::size_t p = from; p < back; p += kSlot) {
        const std::uint8_t* s = window.data() + p;
        st.run.push_back({s[sl::kName], s[sl::kLongNameChecksum], fat_names::longNamePiece(s)});
        runSlots.push_back(at - back + p);
    }
    auto known = clusterFolder_.find(cluster);
    if (cluster && known != clusterFolder_.end()) parent = known->second;

    // An entry at the start of a cluster may have the start of its long name at the end
    // of its folder's previous cluster: a cluster ending in a run that completes this
    // name is taken as that cluster (of several, the nearest before this one: folders
    // grow forward), and the entry joins its folder.
    const bool runAtClusterStart = cluster && at - back + from == clusterStart;
    const bool deleted = slot[sl::kName] == sl::kDeletedMark;
    bool open = st.run.empty();
    if (!open) open = deleted ? st.run.front().piece.size() == 13 : !(st.run.front().ordinal & sl::kLastLongSlot);
    if (runAtClusterStart && open && !tailsBySum_.empty()) {
        std::vector<int> sums;
        if (!st.run.empty()) sums.push_back(st.run.front().checksum);
        else if (!deleted) sums.push_back(fat_names::shortNameChecksum(slot));
        else
            for (int k = 0; k < 256; ++k) sums.push_back(k);
        const std::optional<std::u16string> alone = longNameFor(st.run, slot);
        int matches = 0;
        std::uint32_t tailCluster = 0;
        auto better = [&](std::uint32_t p) {
            if (matches == 0) return true;
            const bool before = p < cluster, bestBefore = tailCluster < cluster;
            if (before != bestBefore) return before;
            return before ? p > tailCluster : p < tailCluster;
        };
        std::vector<LongSlot> chosen;
        std::vector<std::uint64_t> chosenSlots;
        // Each cluster's trailing run is read once; a hit looks at a bounded number of them.
        std::size_t looked = 0;
        constexpr std::size_t kMaxTailsLooked = 512;
        for (const int sum : sums) {
            for (const std::uint32_t p : tailsBySum_[std::size_t(sum)]) {
                if (looked >= kMaxTailsLooked) break;
                if (p == cluster || tailsUsed_.count(p)) continue;
                ++looked;
                const TailRun& tail = tailRun(p);
                if (tail.run.empty() || tail.run.front().checksum != sum) continue;
                std::vector<LongSlot> joined = tail.run;
                joined.insert(joined.end(), st.run.begin(), st.run.end());
                // The joined run must be a whole name: every piece full but the first on
                // disk (the name's end), which ends early or carries the last-slot mark.
                bool whole = joined.front().piece.size() < 13 || (!deleted && (joined.front().ordinal & sl::kLastLongSlot));
                for (std::size_t q = 1; q < joined.size() && whole; ++q) whole = joined[q].piece.size() == 13;
                if (!whole) continue;
                const std::optional<std::u16string> name = longNameFor(joined, slot);
                if (!name || (alone && name->size() <= alone->size())) continue;
                if (better(p)) {
                    ++matches;
                    tailCluster = p;
                    chosen = std::move(joined);
                    chosenSlots = tail.slots;
                }
            }
        }
        if (matches > 0) {
            tailsUsed_.insert(tailCluster);
            st.run = std::move(chosen);
            runSlots.insert(runSlots.begin(), chosenSlots.begin(), chosenSlots.end());
            const auto folder = clusterFolder_.find(tailCluster);
            if (folder != clusterFolder_.end()) {
                parent = folder->second;
                clusterFolder_[cluster] = parent;
            }
        }
    }
    st.parent = parent;
    const std::size_t before = records.size();
    st.at = at;
    decodeSlots(slot, kSlot, st);
    if (records.size() > before)
        for (const std::uint64_t o : runSlots) processed_.insert(o);
    found.insert(found.end(), st.newFolders.begin(), st.newFolders.end());
}

bool FatClass::isOwnAncestor(std::uint32_t index) const {
    const std::uint32_t cluster = records[index].firstCluster();
    std::uint32_t p = records[index].parentIndex;
    for (int depth = 0; p != 0 && p < records.size(); ++depth) {
        if (depth >= kMaxDepth || records[p].firstCluster() == cluster) return true;
        p = records[p].parentIndex;
    }
    // A folder naming the root's own cluster (FAT32) loops back to the top.
    return bits_ == 32 && cluster == rootCluster_;
}

void FatClass::readFolder(std::uint32_t index, std::vector<std::uint32_t>& found) {
    const FatEntryRecord& dir = records[index];
    const std::uint32_t first = dir.firstCluster();
    if (first < 2 || first >= clusterLimit_ || isOwnAncestor(index) || !mayReadFolderAgain(first)) return;
    const bool gone = dir.gone();
    std::vector<std::uint8_t> cluster(clusterSize_);
    // A folder's first cluster begins with its "." entry; one that does not (a deleted
    // folder whose cluster was taken since) is not read. A deleted folder's ".." must also
    // name its parent: a cluster reused by another folder names that folder's parent.
    const LostSpans firstLost = readFolderBytes(clusterOffset(first), cluster.data(), cluster.size());
    // A live folder whose first sector cannot be read keeps the entries of the rest.
    const bool headLost = !firstLost.empty() && firstLost.front().first == 0;
    if (cluster[0] != '.' && !(headLost && !gone)) return;
    if (gone) {
        const std::uint8_t* dotdot = cluster.data() + fat_format::kSlotBytes;
        const std::uint32_t named = (bits_ == 32 ? std::uint32_t(le16(dotdot, sl::kClusterHigh)) << 16 : 0) |
                                    le16(dotdot, sl::kClusterLow);
        const std::uint32_t parentCluster = dir.parentIndex == 0 ? 0 : records[dir.parentIndex].firstCluster();
        const bool rootNamed = dir.parentIndex == 0 && (named == 0 || (bits_ == 32 && named == rootCluster_));
        // Under "ORPHAN ENTRY" the parent is not known: any ".." will do.
        const bool orphan = advanced_ && dir.parentIndex == 1;
        if (dotdot[sl::kName] != '.' || (!rootNamed && !orphan && named != parentCluster)) return;
    }
    FolderState st;
    st.parent = index;
    st.inDeleted = gone;
    if (advanced_) {
        st.at = clusterOffset(first);
        clusterFolder_[first] = index;
    }
    decodeAround(cluster.data(), cluster.size(), firstLost, st);
    const std::uint64_t maxClusters = std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_);
    // The advanced road's FAT may be a freshly formatted one: a folder it shows as free
    // goes on in the next clusters like a deleted one.
    const bool freedChain = (gone || advanced_) && fatEntry(first, entryBits_) == 0;
    if (options_.formattedDriveFlag || freedChain) {
        // The FAT says nothing of this folder (formatted, or freed with the folder): it
        // goes on in the next clusters for as long as its last cluster was full and the
        // next one reads as slots of a folder (and, when the FAT counts, is free).
        std::uint32_t c = first;
        for (std::uint64_t n = 1; n < maxClusters && !st.sawEnd && c + 1 < clusterLimit_; ++n) {
            if (stopRequested()) break;
            ++c;
            if (!options_.formattedDriveFlag && fatEntry(c, entryBits_) != 0) break;
            const LostSpans lost = readFolderBytes(clusterOffset(c), cluster.data(), cluster.size());
            if (!looksLikeFolderSlots(cluster.data(), cluster.size())) break;
            if (advanced_) {
                st.at = clusterOffset(c);
                clusterFolder_[c] = index;
            }
            decodeAround(cluster.data(), cluster.size(), lost, st);
        }
    } else {
        const std::vector<std::uint32_t> chain = folderChain(first, false);
        for (std::size_t k = 1; k < chain.size(); ++k) {
            if (stopRequested()) break;
            const LostSpans lost = readFolderBytes(clusterOffset(chain[k]), cluster.data(), cluster.size());
            if (advanced_) {
                st.at = clusterOffset(chain[k]);
                clusterFolder_[chain[k]] = index;
            }
            decodeAround(cluster.data(), cluster.size(), lost, st);
        }
    }
    found.insert(found.end(), st.newFolders.begin(), st.newFolders.end());
}

void FatClass::scanRootDirectory() {
    records.clear();
    folderSectorsUnreadable = 0;
    folderReads_.clear();
    FatEntryRecord root;
    root.name = kDummyEntryName;
    root.attributes = sl::kDirectoryBit;
    records.push_back(root);
    if (advanced_) {
        FatEntryRecord orphan;
        orphan.name = kOrphanEntryName;
        orphan.attributes = sl::kDirectoryBit;
        orphan.ownIndex = 1;
        records.push_back(orphan);
    }
    if (clusterSize_ == 0) return;

    FolderState rootState;
    if (bits_ == 16) {
        std::vector<std::uint8_t> buffer;
        try {
            buffer.resize(rootBytes_);
        } catch (const std::bad_alloc&) {
            return;
        }
        const LostSpans lost = readFolderBytes(rootOffset_, buffer.data(), buffer.size());
        if (advanced_) rootState.at = rootOffset_;
        decodeAround(buffer.data(), buffer.size(), lost, rootState);
    } else {
        // The root has no entry of its own to be deleted: its chain is read from the FAT
        // even on a formatted volume.
        std::vector<std::uint8_t> cluster(clusterSize_);
        for (std::uint32_t c : folderChain(rootCluster_, true)) {
            if (stopRequested()) return;
            const LostSpans lost = readFolderBytes(clusterOffset(c), cluster.data(), cluster.size());
            if (advanced_) rootState.at = clusterOffset(c);
            decodeAround(cluster.data(), cluster.size(), lost, rootState);
        }
    }
    walkFolders(rootState.newFolders);
}

void FatClass::walkFolders(const std::vector<std::uint32_t>& start) {
    // Depth first, in disk order within each folder.
    std::vector<std::uint32_t> pending(start.rbegin(), start.rend());
    std::vector<std::uint32_t> found;
    std::uint64_t folders = 0;
    while (!pending.empty()) {
        if (stopRequested()) return;
        const std::uint32_t index = pending.back();
        pending.pop_back();
        if (++folders % 64 == 0) status(format16("reading folder %llu ...", static_cast<unsigned long long>(folders)));
        found.clear();
        readFolder(index, found);
        pending.insert(pending.end(), found.rbegin(), found.rend());
    }
}

void FatClass::linkParentChild() { linkInRecordOrder(records); }

void FatClass::fillTreeRoots() {
    if (!tree_) return;
    for (std::size_t i = 1; i < records.size(); ++i) {
        if (i % 1024 == 0) status(format16("filling entry =%d in tree ", static_cast<int>(i)));
        const FatEntryRecord& r = records[i];
        if (r.parentIndex != 0 || r.name == kDummyEntryName) continue;
        if (advanced_ && i == 1 && r.firstChild == 0) continue;  // "ORPHAN ENTRY" with nothing in it
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
    advanced_ = false;
    processed_.clear();
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
    return records[index].gone();
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
    const std::uint64_t size = r.size;
    if (size == 0) return SaveStatus::Saved;
    const std::uint32_t first = r.firstCluster();
    if (first < 2 || first >= clusterLimit_) return SaveStatus::Failed;  // names no cluster of the volume

    // How the clusters are found: a formatted volume's FAT says nothing (consecutive
    // clusters, as the user asked); a live file follows its chain; a deleted file's chain
    // is freed, so it lies in consecutive clusters from its first, and a cluster that the
    // FAT gives to another file now (its first one too) no longer holds its data.
    enum class Walk { Chain, Consecutive, ConsecutiveFree };
    Walk walk = Walk::Chain;
    if (options_.formattedDriveFlag) walk = Walk::Consecutive;
    else if (r.gone()) walk = Walk::ConsecutiveFree;

    // Room for the file's clusters up to kReadPiece (left uninitialised: every byte used is
    // read or cleared by readAt first).
    const std::size_t room = static_cast<std::size_t>(
        std::max<std::uint64_t>(clusterSize_, std::min<std::uint64_t>(kReadPiece, (size + clusterSize_ - 1) /
                                                                                      clusterSize_ * clusterSize_)));
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[room]);
    std::uint64_t done = 0, overwritten = 0;
    bool unreadable = false;
    // The advanced road: the first cluster after which the chosen FAT showed the chain as
    // free and the file was read on in consecutive clusters (0: none).
    std::uint32_t guessedAfter = 0;
    // Consecutive readable clusters are gathered into one read of up to kReadPiece.
    std::uint64_t pieceAt = 0;
    std::size_t pieceBytes = 0;
    auto flush = [&]() {
        if (pieceBytes == 0) return true;
        bool ok = true;
        const bool written = readInto(out, pieceAt, buffer.get(), pieceBytes, ok);
        if (!ok) unreadable = true;
        pieceBytes = 0;
        return written;
    };
    std::uint32_t c = first;
    for (;;) {
        if (stopFlag.load() != 0) return SaveStatus::Stopped;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, clusterSize_));
        if (walk == Walk::ConsecutiveFree && fatEntry(c, entryBits_) != 0) {
            // Another file holds this cluster now: what was here is gone.
            if (!flush() || !out.writeHole(n)) return SaveStatus::Failed;
            overwritten += n;
        } else {
            const std::uint64_t at = clusterOffset(c);
            if (pieceBytes > 0 && (pieceAt + pieceBytes != at || pieceBytes + n > room) && !flush())
                return SaveStatus::Failed;
            if (pieceBytes == 0) pieceAt = at;
            pieceBytes += n;
        }
        done += n;
        if (done == size) break;
        std::optional<std::uint32_t> next;
        if (walk == Walk::Chain) {
            next = nextCluster(c);
            if (!next && advanced_ && fatEntry(c, entryBits_) == 0) {
                // A formatted card's FAT is empty: the file goes on where it most likely
                // lay, in the clusters after this one.
                walk = Walk::Consecutive;
                guessedAfter = c;
            } else if (!next) {
                out.noteDamage("chain ends after " + groupedNumber(done) + " of " + groupedNumber(size) + " bytes");
                break;
            }
        } else if (advanced_ && guessedAfter == 0 && walk == Walk::Consecutive && c + 1 < clusterLimit_ &&
                   fatEntry(c + 1, entryBits_) == 0) {
            guessedAfter = c;
        }
        if (walk != Walk::Chain) {
            if (c + 1 >= clusterLimit_) {
                out.noteDamage(groupedNumber(size - done) + " of " + groupedNumber(size) +
                               " bytes lie past the volume end");
                break;
            }
            next = c + 1;
        }
        c = *next;
    }
    if (!flush()) return SaveStatus::Failed;
    if (overwritten > 0)
        out.noteDamage(groupedNumber(overwritten) + " of " + groupedNumber(size) + " bytes overwritten by other files");
    if (guessedAfter != 0)
        out.noteDamage("the FAT shows cluster " + std::to_string(guessedAfter + 1) +
                       " free; read on from consecutive clusters, possibly incomplete");
    // Unreadable pieces are counted by the writer as unreadable sectors as well.
    const bool whole = done == size && overwritten == 0 && !unreadable && guessedAfter == 0;
    return whole ? SaveStatus::Saved : SaveStatus::Damaged;
}

}  // namespace dravonel
