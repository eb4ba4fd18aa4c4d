// The FAT12/16 and FAT32 advanced road: FAT starts found by a search of the volume, and
// the folder tree rebuilt from a surface scan for directory entries.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <map>
#include <memory>
#include <new>
#include <unordered_set>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/fs/fat/fat_format.h"
#include "core/fs/fat/fat_volume.h"

namespace dravonel {

namespace sl = fat_format::slot;

namespace {

// The FAT search and the surface scan read the volume in pieces of this size: small
// enough to stay in the processor's cache while each piece is tested.
constexpr std::size_t kSearchChunk = 1u << 20;
constexpr std::size_t kSurfaceChunk = 1u << 20;
constexpr std::size_t kSector = 512;
// Folder heads kept for the cluster-size estimate and the data-start calibration.
constexpr std::size_t kMaxHeads = 4096;
// Hits kept at most (32 bytes of volume each; this bounds the list on huge volumes).
constexpr std::size_t kMaxHits = 16u << 20;
// The largest FAT16 root folder the calibration accepts (65,536 slots).
constexpr std::uint64_t kMaxRootBytes = 2u << 20;
// Clusters are at most 128 sectors of 512 bytes here.
constexpr int kMaxSectorsPerCluster = 128;

// The sectors-per-cluster values offered after the default, most common first.
constexpr std::array<int, 7> kFat16Choices{4, 8, 16, 2, 32, 64, 128};
constexpr std::array<int, 6> kFat32Choices{2, 4, 16, 32, 64, 8};

bool isMediaByte(std::uint8_t b) { return b == 0xF0 || b >= 0xF8; }

bool validDate(std::uint16_t d) {
    const unsigned day = d & 0x1F, month = (d >> 5) & 0x0F;
    return day >= 1 && month >= 1 && month <= 12;
}
bool validTime(std::uint16_t t) {
    return (t & 0x1F) < 30 && ((t >> 5) & 0x3F) < 60 && (t >> 11) < 24;
}

// The bytes FAT allows in a short name (the first byte also takes 0xE5 and 0x05): a table,
// as the surface scan asks for every slot of the volume.
constexpr std::array<bool, 256> kShortNameBytes = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 256; ++c) t[std::size_t(c)] = true;
    for (const char c : std::string_view("\"*+,./:;<=>?[\\]|")) t[static_cast<unsigned char>(c)] = false;
    return t;
}();
bool shortNameByte(std::uint8_t c) { return kShortNameBytes[c]; }

// "." then ".." at the start of a sector: the first cluster of a folder.
bool isFolderHead(const std::uint8_t* s) {
    static const std::uint8_t dot[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    static const std::uint8_t dotdot[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    return std::memcmp(s, dot, 11) == 0 && (s[sl::kAttributes] & sl::kDirectoryBit) &&
           std::memcmp(s + 32, dotdot, 11) == 0 && (s[32 + sl::kAttributes] & sl::kDirectoryBit);
}

}  // namespace

// ---------------------------------------------------------------- tests

bool FatClass::looksLikeFatStart(const std::uint8_t* b) const {
    if (bits_ == 32) {
        const std::uint32_t e0 = le32(b, 0), e1 = le32(b, 4);
        return isMediaByte(b[0]) && (e0 & 0x0FFFFF00u) == 0x0FFFFF00u && (e1 & 0x03FFFFFFu) == 0x03FFFFFFu;
    }
    // FAT16: the clean and error bits (0x8000, 0x4000) of entry 1 may be clear.
    const bool fat16 = isMediaByte(b[0]) && b[1] == 0xFF && (le16(b, 2) & 0x3FFF) == 0x3FFF;
    if (fat16) return true;
    // FAT12 (read by this parser too): two 12-bit entries in three bytes, 0xFx8 and 0xFFF;
    // taken only on volumes small enough for FAT12, so that three bytes do not match
    // everywhere on large ones.
    const bool fat12 = isMediaByte(b[0]) && b[1] == 0xFF && b[2] == 0xFF;
    return fat12 && volumeBytes() <= (256u << 20);
}

bool FatClass::looksLikeEntry(const std::uint8_t* s) const {
    const std::uint8_t first = s[sl::kName];
    const std::uint8_t a = s[sl::kAttributes];
    if (first == 0x00 || (a & 0xC0)) return false;
    if (a == sl::kLongNameAttributes) {
        // Sequence 1-20 (0x40 on the last slot) or the deleted mark, no type, no cluster,
        // and characters up to a U+0000 followed by U+FFFF padding only.
        if (first != sl::kDeletedMark && ((first & ~0x5Fu) != 0 || (first & 0x1F) == 0 || (first & 0x1F) > 20))
            return false;
        if (s[12] != 0 || le16(s, 26) != 0) return false;
        static constexpr std::size_t kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        bool ended = false;
        for (std::size_t k = 0; k < 13; ++k) {
            const std::uint16_t c = le16(s, kChars[k]);
            if (ended) {
                if (c != 0xFFFF) return false;
            } else if (c == 0) {
                if (k == 0) return false;
                ended = true;
            } else if (c < 0x20 || c == 0xFFFF) {
                return false;
            }
        }
        return true;
    }
    if (a & sl::kVolumeLabelBit) return false;
    // The cheap tests first: most slots of a volume's data fail one of them.
    if (s[sl::kCaseFlags] & ~0x18u) return false;
    if (s[sl::kCreationTenths] > 199) return false;
    // The write stamp is always there; creation and access stamps may be zero.
    const std::uint16_t wDate = le16(s, sl::kWriteDate), wTime = le16(s, sl::kWriteTime);
    if (!validDate(wDate) || !validTime(wTime)) return false;
    // The name: every byte FAT allows; a space never leads it.
    if (first != sl::kDeletedMark && first != 0x05 && (!shortNameByte(first) || first == ' ')) return false;
    for (int i = 1; i < 11; ++i)
        if (!shortNameByte(s[i])) return false;
    const std::uint16_t cDate = le16(s, sl::kCreationDate), cTime = le16(s, sl::kCreationTime);
    const std::uint16_t aDate = le16(s, sl::kAccessDate);
    if ((cDate != 0 && !validDate(cDate)) || (cTime != 0 && !validTime(cTime)) || (aDate != 0 && !validDate(aDate)))
        return false;
    const std::uint16_t high = le16(s, sl::kClusterHigh);
    if (bits_ != 32 && high != 0) return false;
    const std::uint32_t cluster = (bits_ == 32 ? std::uint32_t(high) << 16 : 0) | le16(s, sl::kClusterLow);
    const std::uint32_t size = le32(s, sl::kSize);
    if (cluster >= clusterLimit_) return false;
    if (a & sl::kDirectoryBit) return size == 0 && cluster >= 2;
    if (size > volumeBytes()) return false;
    return size == 0 ? cluster == 0 || cluster >= 2 : cluster >= 2;
}

// ---------------------------------------------------------------- geometry

std::uint64_t FatClass::volumeBytes() const {
    const std::uint64_t recorded = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume_.sizeMbText))) << 20;
    if (bootTrusted_ && bootVolumeBytes_ > 0) return recorded > 0 ? std::min(recorded, bootVolumeBytes_) : bootVolumeBytes_;
    return recorded;
}

void FatClass::setClusterLimit(std::uint64_t v) {
    const std::uint64_t dataClusters = v > dataStart_ && clusterSize_ > 0 ? (v - dataStart_) / clusterSize_ : 0;
    if (bits_ == 32) entryBits_ = 32;
    else entryBits_ = dataClusters < 4085 ? 12 : 16;
    const std::uint64_t fatEntries = fatBytes_ * 8 / entryBits_;
    const std::uint64_t markStart = entryBits_ == 12 ? 0xFF7 : entryBits_ == 16 ? 0xFFF7 : 0x0FFFFFF7;
    clusterLimit_ = static_cast<std::uint32_t>(std::min({dataClusters + 2, fatEntries, markStart}));
}

// ---------------------------------------------------------------- the search

std::vector<std::uint64_t> FatClass::findFatTables(std::uint64_t limit) {
    std::vector<std::uint64_t> found;
    heads_.clear();
    const std::uint64_t v = volumeBytes();
    if (sink_) sink_->setRange(0, 1000);
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kSearchChunk]);
    if (!buffer || v == 0 || limit == 0) {
        if (sink_) sink_->setPosition(1000);
        return found;
    }
    // Without a boot sector the cluster size is told by folder heads: the search goes on
    // for a few of them once the FATs are found.
    const bool wantHeads = !bootTrusted_;
    bool fatsDone = false;
    for (std::uint64_t pos = 0; pos < v;) {
        if (stopRequested()) break;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kSearchChunk, v - pos));
        std::vector<SectorRange> unreadable;
        readAt(pos, buffer.get(), n, &unreadable);  // what cannot be read is zero and matches nothing
        for (std::size_t at = 0; at + kSector <= n; at += kSector) {
            const std::uint8_t* sector = buffer.get() + at;
            if (!fatsDone && looksLikeFatStart(sector)) {
                found.push_back(pos + at);
                status(format16("found fat entry  %d ", static_cast<int>(found.size())));
                if (found.size() >= limit) fatsDone = true;
            }
            if (wantHeads && heads_.size() < kMaxHeads && isFolderHead(sector)) {
                const std::uint32_t cluster = (bits_ == 32 ? std::uint32_t(le16(sector, sl::kClusterHigh)) << 16 : 0) |
                                              le16(sector, sl::kClusterLow);
                heads_.push_back({pos + at, cluster});
            }
            if (fatsDone && (!wantHeads || heads_.size() >= 16)) break;
        }
        if (bits_ == 32)
            status(format16("Parsing Disk Currently at position %f of the disk of size %f", double(pos), double(v)));
        pos += n;
        if (sink_) sink_->setPosition(static_cast<std::int64_t>(pos * 1000 / v));
        if (fatsDone && (!wantHeads || heads_.size() >= 16)) break;
    }
    if (sink_) sink_->setPosition(1000);
    return found;
}

ScanOutcome FatClass::findAdvancedCopies(int maxCopies) {
    if (control_) control_->checkPoint();
    advancedFinds = {};
    status(u"Finding Fat entries....");
    // The boot sector, when it still reads as one, gives its cluster size and layout.
    bootTrusted_ = readBootSector();
    const std::uint32_t bootSpc = bootTrusted_ && bytesPerSector_ > 0 ? std::uint32_t(clusterSize_ / bytesPerSector_) : 0;
    const std::uint64_t bootFat = bootTrusted_ ? fatStart_ : 0;
    const std::uint64_t bootFatBytes = bootTrusted_ ? fatBytes_ : 0;
    advancedFinds.copies = findFatTables(std::uint64_t(maxCopies > 0 ? maxCopies : 3));
    const std::vector<std::uint64_t>& copies = advancedFinds.copies;

    for (const std::uint64_t c : copies) {
        std::u16string note;
        if (bootTrusted_ && c == bootFat) note = u"the boot sector's first FAT";
        else if (bootTrusted_ && bootFatBytes > 0 && c > bootFat && (c - bootFat) % bootFatBytes == 0 &&
                 (c - bootFat) / bootFatBytes < fatCopies_)
            note = u"a copy of the FAT where the boot sector puts one";
        advancedFinds.copyNotes.push_back(std::move(note));
    }

    // The default cluster size: the boot sector's; else the one by which the folder heads
    // agree on one data start; else the one the FAT's length fits.
    int best = 0;
    if (bootTrusted_ && fat_format::isPowerOfTwo(bootSpc) && bootSpc <= 255) best = int(bootSpc);
    if (best == 0 && !copies.empty()) {
        const std::uint64_t v = volumeBytes();
        const std::uint64_t first = copies[0];
        const std::uint64_t d = copies.size() >= 2 ? copies[1] - copies[0] : 0;
        const std::uint64_t expected = first + 2 * d + (bits_ == 32 ? 0 : 0x4000);
        int bestVotes = 0;
        std::uint64_t bestDistance = ~std::uint64_t(0);
        for (int spc = 1; spc <= kMaxSectorsPerCluster; spc *= 2) {
            const std::uint64_t c = std::uint64_t(spc) * kSector;
            // The FAT must hold an entry for every cluster (12-bit entries hold the most).
            if (d > 0 && v > expected && (v - expected) / c + 2 > d * 8 / (bits_ == 32 ? 32 : 12)) continue;
            std::map<std::uint64_t, int> votes;
            for (const FolderHead& h : heads_) {
                if (h.cluster < 3) continue;  // cluster 2 agrees with every size
                const std::uint64_t back = std::uint64_t(h.cluster - 2) * c;
                if (back > h.at || h.at - back <= first) continue;
                ++votes[h.at - back];
            }
            for (const auto& [start, n] : votes) {
                const std::uint64_t distance = start > expected ? start - expected : expected - start;
                if (n > bestVotes || (n == bestVotes && distance < bestDistance)) {
                    bestVotes = n;
                    bestDistance = distance;
                    best = spc;
                }
            }
        }
        if (bestVotes == 0) best = 0;
        if (best == 0 && d > 0 && v > expected) {
            // The smallest cluster size whose cluster count the FAT can hold.
            const std::uint64_t entries = d * 8 / (bits_ == 32 ? 32 : 12);
            for (int spc = 1; spc <= kMaxSectorsPerCluster && best == 0; spc *= 2)
                if ((v - expected) / (std::uint64_t(spc) * kSector) + 2 <= entries) best = spc;
        }
    }
    auto offer = [&](int spc) {
        if (spc > 0 && std::find(advancedFinds.clusterChoices.begin(), advancedFinds.clusterChoices.end(), spc) ==
                           advancedFinds.clusterChoices.end())
            advancedFinds.clusterChoices.push_back(spc);
    };
    offer(best);
    if (bits_ == 32)
        for (int spc : kFat32Choices) offer(spc);
    else
        for (int spc : kFat16Choices) offer(spc);
    return stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

// ---------------------------------------------------------------- the scan

bool FatClass::loadFatAt(std::uint64_t offset) {
    const std::vector<std::uint64_t>& copies = advancedFinds.copies;
    int spc = options_.advancedSectorsPerCluster;
    if (spc <= 0) spc = advancedFinds.clusterChoices.empty() ? 0 : advancedFinds.clusterChoices[0];
    if (spc <= 0 || spc > 255) return false;
    bootTrusted_ = readBootSector();
    const std::uint64_t v = volumeBytes();
    if (v == 0) return false;
    if (bootTrusted_) {
        // The layout stays the boot sector's (the FAT copies, the root and the data start do
        // not depend on the cluster size); the cluster size is the chosen one.
        clusterSize_ = std::uint64_t(bytesPerSector_) * std::uint64_t(spc);
    } else {
        if (copies.empty()) return false;
        bytesPerSector_ = kSector;
        clusterSize_ = std::uint64_t(spc) * kSector;
        // The FAT's length is the distance from the chosen copy to its neighbour; the root
        // (FAT16) or the data (FAT32) follows the second copy.
        const std::size_t k = std::find(copies.begin(), copies.end(), offset) - copies.begin();
        std::uint64_t first = offset, d = 0;
        if (k + 1 < copies.size()) d = copies[k + 1] - copies[k];
        else if (k < copies.size() && k >= 1) {
            d = copies[k] - copies[k - 1];
            first = copies[k - 1];
        }
        // One copy only: as long as the volume's clusters need.
        const unsigned bitsPerEntry = bits_ == 32 ? 32 : 16;
        if (d == 0 || d > v / 4) {
            d = ((v / clusterSize_ + 2) * bitsPerEntry / 8 + kSector - 1) / kSector * kSector;
            fatCopies_ = 1;
        } else {
            fatCopies_ = 2;
        }
        fatBytes_ = fatCopyBytes_ = d;
        if (bits_ == 32) {
            dataStart_ = first + 2 * d;
            rootCluster_ = 2;
        } else {
            rootOffset_ = first + 2 * d;
            rootBytes_ = 0x4000;
            dataStart_ = rootOffset_ + rootBytes_;
        }
        bootVolumeBytes_ = 0;
    }
    fatStart_ = offset;
    setClusterLimit(v);
    surfaceStart_ = bits_ == 32 ? dataStart_ : rootOffset_;
    if (!bootTrusted_) surfaceStart_ = std::min(surfaceStart_, offset + fatBytes_);
    loadFatTable(entryBits_);
    return clusterLimit_ > 2;
}

void FatClass::scanSurfaceForEntries() {
    hits_.clear();
    heads_.clear();
    const std::uint64_t v = volumeBytes();
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kSurfaceChunk]);
    if (!buffer || v <= surfaceStart_) return;
    const std::int64_t scale = bits_ == 32 ? 1000 : 100000;
    if (sink_) sink_->setRange(0, scale);
    for (std::uint64_t pos = surfaceStart_; pos < v;) {
        if (stopRequested()) return;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kSurfaceChunk, v - pos));
        std::vector<SectorRange> unreadable;
        readAt(pos, buffer.get(), n, &unreadable);  // unreadable sectors are zero: no entries
        if (bits_ != 32)
            status(format16("currently at sector %lld of %lld", static_cast<long long>(pos / kSector),
                            static_cast<long long>(v / kSector)));
        for (std::size_t at = 0; at + fat_format::kSlotBytes <= n; at += fat_format::kSlotBytes) {
            const std::uint8_t* s = buffer.get() + at;
            if (at % kSector == 0 && at + 64 <= n && isFolderHead(s) && heads_.size() < kMaxHeads) {
                const std::uint32_t cluster =
                    (bits_ == 32 ? std::uint32_t(le16(s, sl::kClusterHigh)) << 16 : 0) | le16(s, sl::kClusterLow);
                heads_.push_back({pos + at, cluster});
                continue;
            }
            // Most slots of a volume's data fail these at once: an empty first byte, the
            // two attribute bits no entry has, case bits other than the two of a short
            // name (a long-name slot has none).
            if (s[sl::kName] == 0 || (s[sl::kAttributes] & 0xC0) != 0 || (s[sl::kCaseFlags] & ~0x18u) != 0) continue;
            if (s[sl::kName] == '.' || hits_.size() >= kMaxHits || !looksLikeEntry(s)) continue;
            const std::uint32_t cluster =
                (bits_ == 32 ? std::uint32_t(le16(s, sl::kClusterHigh)) << 16 : 0) | le16(s, sl::kClusterLow);
            hits_.push_back({pos + at, s[sl::kAttributes], s[sl::kLongNameChecksum], cluster});
            if (bits_ == 32 && (hits_.size() <= 1000 || hits_.size() % 1000 == 0))
                status(format16("found file or directory =  %d ", static_cast<int>(hits_.size())));
        }
        pos += n;
        if (sink_) sink_->setPosition(static_cast<std::int64_t>(pos * std::uint64_t(scale) / v));
    }

    // Without a boot sector the data start is where the folder heads put cluster 2: a
    // head at byte X naming cluster n puts it at X - (n - 2) x cluster size. The start
    // most heads agree on wins.
    if (bootTrusted_ || heads_.empty()) return;
    std::map<std::uint64_t, int> votes;
    for (const FolderHead& h : heads_) {
        if (h.cluster < 2 || h.cluster >= clusterLimit_) continue;
        const std::uint64_t back = std::uint64_t(h.cluster - 2) * clusterSize_;
        if (back > h.at || h.at - back < fatStart_ + fatBytes_) continue;
        ++votes[h.at - back];
    }
    std::uint64_t start = 0;
    int most = 0;
    for (const auto& [s, n] : votes) {
        const std::uint64_t distance = s > dataStart_ ? s - dataStart_ : dataStart_ - s;
        const std::uint64_t bestDistance = start > dataStart_ ? start - dataStart_ : dataStart_ - start;
        if (n > most || (n == most && distance < bestDistance)) {
            most = n;
            start = s;
        }
    }
    if (most == 0 || start == dataStart_) return;
    if (bits_ != 32) {
        // The root folder fills the space between the FATs and the data.
        if (start <= rootOffset_ || start - rootOffset_ > kMaxRootBytes) return;
        rootBytes_ = start - rootOffset_;
    }
    dataStart_ = start;
    setClusterLimit(v);
    loadFatTable(entryBits_);
}

void FatClass::collectDeepEntries() {
    // The root as the Standard road reads it, with the layout in hand.
    scanRootDirectory();
    if (stopRequested() || clusterSize_ == 0) return;
    // Entries past the root's end cannot be placed under it.
    const std::uint64_t threshold =
        bits_ == 32 ? clusterOffset(std::max<std::uint32_t>(2, rootCluster_)) + clusterSize_ : rootOffset_ + rootBytes_;
    // First clusters of the folders found: a hit inside one of them is reached when that
    // folder is read, so folders that lie in no found folder are read first.
    std::unordered_set<std::uint32_t> folderClusters;
    for (const Hit& h : hits_)
        if (h.attributes != sl::kLongNameAttributes && (h.attributes & sl::kDirectoryBit)) folderClusters.insert(h.cluster);
    // Clusters that end in a long-name slot, for names that go on in another cluster.
    tailsBySum_.assign(256, {});
    for (const Hit& h : hits_)
        if (h.attributes == sl::kLongNameAttributes && h.at >= dataStart_ &&
            (h.at + fat_format::kSlotBytes - dataStart_) % clusterSize_ == 0)
            if (const std::uint32_t c = clusterAt(h.at)) tailsBySum_[h.checksum].push_back(c);
    std::vector<std::uint32_t> found;
    for (int pass = 0; pass < 3; ++pass) {
        for (std::size_t i = 0; i < hits_.size(); ++i) {
            if (i % 4096 == 0 && stopRequested()) return;
            const Hit& h = hits_[i];
            if (h.attributes == sl::kLongNameAttributes || processed_.count(h.at)) continue;
            const bool folder = (h.attributes & sl::kDirectoryBit) != 0;
            if (pass < 2 && !folder) continue;
            if (pass == 0 && folderClusters.count(clusterAt(h.at))) continue;
            found.clear();
            takeHit(h.at, h.at < threshold ? 0 : 1, found);
            walkFolders(found);
        }
    }
}

ScanOutcome FatClass::advancedScan(Prompt* prompt) {
    (void)prompt;
    if (control_) control_->checkPoint();
    // Every pass starts clean: a second one with other choices owes nothing to the first.
    advanced_ = true;
    records.clear();
    hits_.clear();
    heads_.clear();
    processed_.clear();
    clusterFolder_.clear();
    tailsBySum_.clear();
    tailsUsed_.clear();
    tailRuns_.clear();
    folderReads_.clear();
    fat_.clear();
    rootOffset_ = rootBytes_ = dataStart_ = surfaceStart_ = 0;
    rootCluster_ = 0;
    fatSectorsFromCopy = fatSectorsUnreadable = folderSectorsUnreadable = 0;
    attachReader();
    const std::vector<std::uint64_t>& copies = advancedFinds.copies;
    const int k = options_.advancedCopyIndex;
    if (k < 0 || std::size_t(k) >= copies.size() || !loadFatAt(copies[std::size_t(k)])) {
        records.clear();
        return stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
    }
    scanSurfaceForEntries();
    // A Stop ends the surface scan, not the road: what it found so far is still collected
    // and shown (a second Stop ends the collection too).
    const bool stopped = stopFlag.exchange(0) != 0;
    status(u"Maintaining directory Structure in AdvanceScanning");
    collectDeepEntries();
    status(bits_ == 32 ? u"Maintaining TreeStructure for Tree Control" : u"Maintaining Tree Structure for Tree Control");
    linkParentChild();
    fillTreeRoots();
    return stopped || stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

}  // namespace dravonel
