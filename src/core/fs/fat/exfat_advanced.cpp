// The exFAT advanced road: FAT and cluster-heap starts found by a search of the volume,
// and the folder tree rebuilt from a surface scan for File entries.
//
// The heap does not begin with anything a sector test can see (its first cluster is
// usually the allocation bitmap), so it is found from the root folder's entries: a
// root-like entry set names the clusters of the bitmap and of the up-case table, and the
// sector where that up-case table begins (its checksum must agree) gives the heap start
// for each cluster size: heap = table offset - (table cluster - 2) x cluster size. The
// sizes the bitmap found there agrees with are kept, best first.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <unordered_set>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/fs/fat/exfat_volume.h"
#include "core/fs/fat/fat_format.h"
#include "core/fs/fat/fat_volume.h"

namespace dravonel {

namespace ee = fat_format::exfat_entry;
namespace eb = fat_format::exfat_boot;

namespace {

constexpr std::uint64_t kSearchChunk = 0xA00000;  // 10 MiB
constexpr std::uint64_t kSectorBytes512 = 512;
constexpr std::size_t kSlot = fat_format::kSlotBytes;
// Clusters are at most 32 MiB: 2^16 sectors of 512 bytes.
constexpr unsigned kMaxShift = 16;
// exFAT folders are at most 256 MiB.
constexpr std::uint64_t kMaxFolderBytes = 256u << 20;
// The up-case table is at most 2 x 65536 bytes.
constexpr std::uint64_t kMaxUpcaseBytes = 0x20000;
// Bounds on what one search keeps of the candidates for the root and the up-case table.
constexpr std::size_t kMaxCandidates = 16;
// A File entry, its stream entry and up to 17 name entries.
constexpr std::size_t kMaxSetBytes = 19 * kSlot;
constexpr std::uint8_t kUpcaseEntry = 0x82;
constexpr std::uint8_t kLabelEntry = 0x83;
constexpr char16_t kExFatOrphanFolderName[] = u"ORPHAN ENTRY";

bool isFile(std::uint8_t t) { return t == ee::kFile || t == ee::kFileDeleted; }
bool isStream(std::uint8_t t) { return t == ee::kStream || t == ee::kStreamDeleted; }
bool isName(std::uint8_t t) { return t == ee::kName || t == ee::kNameDeleted; }

bool allZero(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// A File entry at at that begins a plausible entry set, reading only the n bytes of buf.
bool entrySetAt(const std::uint8_t* buf, std::size_t n, std::size_t at) {
    if (at + 2 * kSlot > n) return false;
    const std::uint8_t* f = buf + at;
    if (!isFile(f[0])) return false;
    // Read-only, hidden, system, folder and archive bits only (never the label bit), and
    // the reserved bytes clear.
    const std::uint16_t attributes = le16(f, ee::kAttributes);
    if ((attributes & ~std::uint16_t(0x37)) != 0) return false;
    if (f[6] != 0 || f[7] != 0 || !allZero(f + 25, 7)) return false;
    const std::uint8_t* s = f + kSlot;
    if (!isStream(s[0]) || s[2] != 0 || s[6] != 0 || s[7] != 0 || !allZero(s + 16, 4)) return false;
    if (s[ee::kFlags] != 0x01 && s[ee::kFlags] != 0x03) return false;
    const std::size_t nameLength = s[ee::kNameLength];
    if (nameLength == 0) return false;
    const std::size_t names = (nameLength + ee::kCharsPerNameEntry - 1) / ee::kCharsPerNameEntry;
    if (names > ee::kMaxNameEntries || f[ee::kSecondaryCount] < names + 1) return false;
    if (at + (2 + names) * kSlot > n) return false;
    for (std::size_t k = 0; k < names; ++k) {
        const std::uint8_t* e = s + (k + 1) * kSlot;
        if (!isName(e[0]) || e[1] > 3) return false;
    }
    return true;
}

// The sum exFAT keeps of its up-case table.
std::uint32_t tableChecksum(const std::uint8_t* data, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + data[i];
    return sum;
}

// The default cluster shift of the formatting tools (512-byte sectors) for a volume size.
unsigned defaultShift(std::uint64_t bytes) {
    if (bytes <= (256ull << 20)) return 3;   // 4 KiB
    if (bytes <= (32ull << 30)) return 6;    // 32 KiB
    return 8;                                // 128 KiB
}

}  // namespace

std::uint64_t Fat64Class::volumeBytes() const {
    const std::int64_t mb = sizeMbValue(volume_.sizeMbText);
    if (mb > 0 && mb < (INT64_MAX >> 20)) return std::uint64_t(mb) << 20;
    // A volume under 1 MiB has the size text "0": it reaches to the source's end.
    if (reader_ && reader_->deviceSectorCount > 0) {
        const std::int64_t device = reader_->deviceSectorCount * 512 - reader_->baseOffset;
        if (device > 0) return std::uint64_t(device);
    }
    return 0;
}

std::vector<std::uint64_t> Fat64Class::findFatTables(std::uint64_t limit) {
    advancedFinds.copies.clear();
    rootSets_.clear();
    upcaseStarts_.clear();
    const std::uint64_t end = volumeBytes();
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(std::min(kSearchChunk, std::max<std::uint64_t>(end, 1))));
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (sink_) sink_->setRange(0, 1000);
    std::vector<SectorRange> unreadable;
    for (std::uint64_t pos = 0; pos < end;) {
        if (stopRequested()) break;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - pos));
        unreadable.clear();
        // What could not be read stays zero and matches nothing.
        readAt(pos, buffer.data(), n, &unreadable);
        for (std::size_t at = 0; at + kSectorBytes512 <= n; at += kSectorBytes512) {
            const std::uint8_t* b = buffer.data() + at;
            // A FAT begins with the media entry and the end-of-chain entry.
            if (advancedFinds.copies.size() < limit && le32(b, 0) == 0xFFFFFFF8u && le32(b, 4) == 0xFFFFFFFFu) {
                advancedFinds.copies.push_back(pos + at);
                status(format16("found fat entry  %d ", static_cast<int>(advancedFinds.copies.size())));
            }
            // An up-case table begins by mapping 0, 1, 2, ... to themselves.
            if (upcaseStarts_.size() < kMaxCandidates && b[0] == 0 && b[1] == 0) {
                bool identity = true;
                for (std::size_t k = 1; k < 16 && identity; ++k) identity = le16(b, 2 * k) == k;
                if (identity) upcaseStarts_.push_back(pos + at);
            }
            // A root folder holds the entries of the bitmap and the up-case table among its
            // first entries (after the label and the volume GUID).
            if (rootSets_.size() < kMaxCandidates) {
                RootSet root;
                bool bitmap = false, upcase = false;
                for (std::size_t k = 0; k < 4; ++k) {
                    const std::uint8_t* e = b + k * kSlot;
                    if (e[0] == ee::kBitmap && !bitmap && (e[1] & 0xFE) == 0) {
                        root.bitmapCluster = le32(e, ee::kFirstCluster);
                        root.bitmapBytes = le64(e, ee::kDataLength);
                        bitmap = root.bitmapCluster >= 2 && root.bitmapBytes > 0 && root.bitmapBytes <= (1u << 29);
                    } else if (e[0] == kUpcaseEntry && !upcase && allZero(e + 1, 3)) {
                        root.upcaseChecksum = le32(e, 4);
                        root.upcaseCluster = le32(e, ee::kFirstCluster);
                        root.upcaseBytes = le64(e, ee::kDataLength);
                        upcase = root.upcaseCluster >= 2 && root.upcaseBytes > 0 && root.upcaseBytes <= kMaxUpcaseBytes;
                    }
                }
                if (bitmap && upcase) {
                    root.offset = pos + at;
                    rootSets_.push_back(root);
                }
            }
        }
        pos += n;
        if (sink_ && end > 0) sink_->setPosition(static_cast<std::int64_t>(pos * 1000 / end));
    }
    if (sink_) sink_->setPosition(1000);
    return advancedFinds.copies;
}

void Fat64Class::deriveHeaps() {
    heapFinds_.clear();
    const std::uint64_t end = volumeBytes();
    std::vector<std::uint8_t> table;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::optional<std::uint32_t>> sums;  // (offset, bytes)
    for (const RootSet& root : rootSets_) {
        for (const std::uint64_t u : upcaseStarts_) {
            if (stopRequested()) return;
            // The table must be the one this root names.
            if (u >= end || root.upcaseBytes > end - u) continue;
            auto [it, fresh] = sums.try_emplace({u, root.upcaseBytes});
            if (fresh) {
                table.assign(static_cast<std::size_t>(root.upcaseBytes), 0);
                if (readAt(u, table.data(), table.size())) it->second = tableChecksum(table.data(), table.size());
            }
            if (!it->second || *it->second != root.upcaseChecksum) continue;
            for (unsigned shift = 0; shift <= kMaxShift; ++shift) {
                const std::uint64_t c = kSectorBytes512 << shift;
                const std::uint64_t before = std::uint64_t(root.upcaseCluster - 2) * c;
                if (before > u) break;
                const std::uint64_t heap = u - before;
                if (root.offset < heap || (root.offset - heap) % c != 0) continue;
                const std::uint64_t rootCluster = (root.offset - heap) / c + 2;
                if (rootCluster == root.upcaseCluster || rootCluster == root.bitmapCluster) continue;
                // The bitmap there must hold the clusters of the bitmap, the table and the root.
                const std::uint64_t bitmapAt = heap + std::uint64_t(root.bitmapCluster - 2) * c;
                if (bitmapAt >= end) continue;
                auto bitSet = [&](std::uint64_t cluster) {
                    const std::uint64_t bit = cluster - 2;
                    if (bit / 8 >= root.bitmapBytes) return false;
                    std::uint8_t byte = 0;
                    if (!readAt(bitmapAt + bit / 8, &byte, 1)) return false;
                    return ((byte >> (bit % 8)) & 1) != 0;
                };
                if (!bitSet(root.bitmapCluster) || !bitSet(root.upcaseCluster) || !bitSet(rootCluster)) continue;
                // The bitmap has a bit per cluster of the heap: its length tells the size.
                const std::uint64_t clusters = end > heap ? (end - heap) / c : 0;
                const std::uint64_t want = (clusters + 7) / 8;
                const std::uint64_t score = want > root.bitmapBytes ? want - root.bitmapBytes : root.bitmapBytes - want;
                heapFinds_.push_back({heap, shift, root.offset, score});
            }
        }
    }
    std::stable_sort(heapFinds_.begin(), heapFinds_.end(),
                     [](const HeapFind& a, const HeapFind& b) { return a.score < b.score; });
}

std::vector<std::uint64_t> Fat64Class::findHeapOffsets(std::uint64_t limit) {
    advancedFinds.heaps.clear();
    deriveHeaps();
    auto add = [&](std::uint64_t heap) {
        if (advancedFinds.heaps.size() >= limit) return;
        if (std::find(advancedFinds.heaps.begin(), advancedFinds.heaps.end(), heap) == advancedFinds.heaps.end())
            advancedFinds.heaps.push_back(heap);
    };
    // The volume's own boot sector names its heap first.
    if (bootValid_) add(bootHeap_);
    for (const HeapFind& h : heapFinds_) add(h.heap);
    return advancedFinds.heaps;
}

ScanOutcome Fat64Class::findAdvancedCopies(int maxCopies) {
    if (control_) control_->checkPoint();
    const std::uint64_t limit = std::uint64_t(maxCopies > 0 ? maxCopies : 3);
    advancedFinds = {};
    searched_ = true;
    bootValid_ = readBootSector();
    if (bootValid_) {
        bootHeap_ = heapStart_;
        bootClusterSize_ = clusterSize_;
        bootRootCluster_ = rootCluster_;
        bootClusterLimit_ = clusterLimit_;
    }
    status(u"Finding Fat64 entries....");
    findFatTables(limit);
    findHeapOffsets(limit);
    // Cluster shifts: the boot sector's, else the one the heap was found with, else the
    // formatting tools' default for the size; then every other one.
    int first = -1;
    if (bootValid_) {
        for (unsigned s = 0; s <= kMaxShift; ++s)
            if ((kSectorBytes512 << s) == bootClusterSize_) first = static_cast<int>(s);
    }
    if (first < 0 && !heapFinds_.empty()) first = static_cast<int>(heapFinds_.front().shift);
    if (first < 0) first = static_cast<int>(defaultShift(volumeBytes()));
    advancedFinds.clusterChoices.push_back(first);
    for (int s = 0; s <= static_cast<int>(kMaxShift); ++s)
        if (s != first) advancedFinds.clusterChoices.push_back(s);
    return stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

void Fat64Class::setAdvancedGeometry(std::uint8_t shift) {
    clusterSize_ = kSectorBytes512 << std::min<unsigned>(shift, kMaxShift);
    advanced_ = true;
}

void Fat64Class::clearAdvancedPass() {
    records.clear();
    hits_.clear();
    processed_.clear();
    visitedClusters_.clear();
    folderReads_.clear();
    bitmap_.clear();
    fat_.clear();
    labelFound_ = rootKnown_ = false;
    labelOffset_ = rootPosition_ = 0;
    advancedRootCluster_ = 0;
    heapStart_ = fatStart_ = 0;
    clusterLimit_ = 0;
    fatSectorsFromCopy = fatSectorsUnreadable = folderSectorsUnreadable = 0;
}

void Fat64Class::scanSurfaceForEntries() {
    hits_.clear();
    labelFound_ = false;
    const std::uint64_t end = volumeBytes();
    if (clusterSize_ == 0) return;
    // Cluster-aligned blocks of several clusters; each read goes on for one entry set
    // more, so that a set that begins near a block's end is tested whole.
    const std::uint64_t block = std::max<std::uint64_t>(clusterSize_, 4u << 20);
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(block + kMaxSetBytes, std::max<std::uint64_t>(end, 1))));
    } catch (const std::bad_alloc&) {
        return;
    }
    if (sink_) sink_->setRange(0, 1000);
    std::vector<SectorRange> unreadable;
    for (std::uint64_t pos = 0; pos < end; pos += block) {
        if (stopRequested()) break;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - pos));
        const std::size_t tested = static_cast<std::size_t>(std::min<std::uint64_t>(block, n));
        unreadable.clear();
        readAt(pos, buffer.data(), n, &unreadable);
        for (std::size_t at = 0; at + kSlot <= tested; at += kSlot) {
            const std::uint8_t* e = buffer.data() + at;
            if (e[0] == kLabelEntry && e[1] <= 11 && allZero(e + 24, 8)) {
                labelOffset_ = pos + at;  // the last one met
                labelFound_ = true;
            } else if (entrySetAt(buffer.data(), n, at)) {
                hits_.push_back(pos + at);
                status(format16("found Entry %d ", static_cast<int>(hits_.size())));
            }
        }
        if (sink_ && end > 0) sink_->setPosition(static_cast<std::int64_t>(std::min(end, pos + block) * 1000 / end));
    }
}

std::vector<std::uint32_t> Fat64Class::advancedClusters(std::uint32_t first, bool contiguous,
                                                        std::uint64_t length) const {
    std::vector<std::uint32_t> clusters;
    if (clusterSize_ == 0) return clusters;
    const std::uint64_t most = std::max<std::uint64_t>(1, kMaxFolderBytes / clusterSize_);
    std::uint64_t wanted = length == 0 ? 1 : (length + clusterSize_ - 1) / clusterSize_;
    wanted = std::min({wanted, most, std::uint64_t(clusterLimit_)});
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t c = first;
    while (c >= 2 && c < clusterLimit_ && clusters.size() < wanted) {
        if (!seen.insert(c).second) break;  // the chain loops
        clusters.push_back(c);
        std::optional<std::uint32_t> next;
        if (!contiguous) next = nextCluster(c);
        // A chain the FAT no longer holds is taken as consecutive clusters.
        c = next ? *next : c + 1;
    }
    return clusters;
}

void Fat64Class::collectFolder(std::uint32_t top) {
    std::vector<std::uint32_t> pending{top};
    std::vector<std::uint8_t> data;
    while (!pending.empty()) {
        if (stopRequested()) return;
        const std::uint32_t index = pending.back();
        pending.pop_back();
        if (!mayReadFolderAgain(records[index].firstCluster)) continue;
        const bool gone = records[index].gone();
        const std::vector<std::uint32_t> clusters =
            advancedClusters(records[index].firstCluster, records[index].contiguous(), records[index].dataLength);
        std::vector<std::uint32_t> found;
        for (std::size_t k = 0; k < clusters.size(); ++k) {
            // A cluster is read once per collection, for the first folder that reaches it:
            // folders that claim the same clusters cannot multiply the work.
            const std::uint32_t c = clusters[k];
            if (!visitedClusters_.insert(c).second) break;
            const std::uint64_t at = clusterOffset(c);
            data.assign(static_cast<std::size_t>(clusterSize_), 0);
            readFolderBytes(at, data.data(), data.size());
            // A folder ends where its clusters stop holding entry sets (a chain the FAT
            // lost is only assumed to go on in the next clusters).
            if (k > 0 && !looksLikeEntrySets(data.data(), data.size())) break;
            const std::size_t slots = data.size() / kSlot;
            for (std::size_t i = 0; i < slots;) {
                if (!entrySetAt(data.data(), data.size(), i * kSlot)) {
                    ++i;
                    continue;
                }
                const std::uint64_t slotOffset = at + i * kSlot;
                ExFatEntryRecord r;
                const std::size_t next = decodeEntrySet(data.data(), slots, i, r);
                // A set already taken (as a hit or inside another folder) is not taken again.
                if (r.name.empty() || !processed_.insert(slotOffset).second || records.size() >= 0xFFFFFFFEu) {
                    i = next;
                    continue;
                }
                i = next;
                r.parentIndex = index;
                r.inDeletedFolder = gone || records[index].inDeletedFolder ? 1 : 0;
                r.ownIndex = static_cast<std::uint32_t>(records.size());
                if (r.isFolder() && r.firstCluster >= 2) found.push_back(r.ownIndex);
                records.push_back(std::move(r));
            }
        }
        pending.insert(pending.end(), found.rbegin(), found.rend());
    }
}

const std::vector<ExFatEntryRecord>& Fat64Class::collectDeepEntries(std::uint64_t heapOffset, std::uint64_t fatOffset) {
    records.clear();
    processed_.clear();
    visitedClusters_.clear();
    folderReads_.clear();
    heapStart_ = heapOffset;
    fatStart_ = fatOffset;
    const std::uint64_t end = volumeBytes();
    if (clusterSize_ == 0 || heapOffset >= end) return records;
    // Cluster numbers the volume can hold from this heap on (the boot sector's own count
    // when it describes this very layout).
    const std::uint64_t fit = (end - heapOffset) / clusterSize_ + 2;
    clusterLimit_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(fit, 0xFFFFFFF6u));
    if (bootValid_ && heapOffset == bootHeap_ && clusterSize_ == bootClusterSize_)
        clusterLimit_ = std::min(clusterLimit_, bootClusterLimit_);
    loadFatTable(32);

    // The root: the boot sector's when it describes this layout, else the root-like
    // entry set the heap was found with, else the last volume label, else the first hit.
    std::uint32_t rootCluster = 0;
    if (bootValid_ && heapOffset == bootHeap_ && clusterSize_ == bootClusterSize_) rootCluster = bootRootCluster_;
    for (std::size_t k = 0; rootCluster == 0 && k < rootSets_.size(); ++k) {
        const std::uint64_t at = rootSets_[k].offset;
        if (at >= heapOffset && (at - heapOffset) % clusterSize_ == 0)
            rootCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>((at - heapOffset) / clusterSize_ + 2, 0xFFFFFFFFu));
    }
    if (rootCluster >= clusterLimit_) rootCluster = 0;
    advancedRootCluster_ = rootCluster;
    if (rootCluster != 0) {
        rootPosition_ = clusterOffset(rootCluster);
        rootKnown_ = true;
    } else if (labelFound_) {
        rootPosition_ = labelOffset_;
        rootKnown_ = true;
    } else if (!hits_.empty()) {
        rootPosition_ = hits_.front();
        rootKnown_ = true;
    }
    const std::uint64_t threshold = rootPosition_ + clusterSize_;

    ExFatEntryRecord dummy;
    dummy.name = kDummyEntryName;
    dummy.attributes = 0x10;
    dummy.entryType = ee::kFile;
    records.push_back(dummy);
    // A folder of its own, with no data of its own: saving it writes its children.
    ExFatEntryRecord orphan = dummy;
    orphan.name = kExFatOrphanFolderName;
    orphan.ownIndex = 1;
    records.push_back(orphan);

    // The root's own entries, and its bitmap (what is in use now).
    if (rootCluster != 0) {
        std::vector<std::uint8_t> rootData;
        // Along its chain only: the root's FAT entries are written anew with the format.
        const std::vector<std::uint32_t> rootClusters = folderClusters(rootCluster, false, 0);
        rootData.assign(rootClusters.size() * clusterSize_, 0);
        for (std::size_t k = 0; k < rootClusters.size(); ++k)
            readFolderBytes(clusterOffset(rootClusters[k]), rootData.data() + k * clusterSize_, clusterSize_);
        loadBitmap(rootData);
        // The root reads as one folder record: record 0 stands for it.
        records[0].firstCluster = rootCluster;
        records[0].dataLength = std::uint64_t(rootClusters.size()) * clusterSize_;
        collectFolder(0);
        records[0].firstCluster = 0;
        records[0].dataLength = 0;
    }

    std::vector<std::uint8_t> window(2048);
    for (std::size_t k = 0; k < hits_.size(); ++k) {
        if (stopRequested()) break;
        const std::uint64_t hit = hits_[k];
        if (!processed_.insert(hit).second) continue;
        const std::uint64_t sector = hit & ~std::uint64_t(511);
        // 2048 bytes from the hit's sector, or what is left of the volume.
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), end - sector));
        readAt(sector, window.data(), n);
        ExFatEntryRecord r;
        decodeEntrySet(window.data(), n / kSlot, static_cast<std::size_t>((hit - sector) / kSlot), r);
        if (r.name.empty() || records.size() >= 0xFFFFFFFEu) continue;
        // Entries outside the root's first cluster are filed under "ORPHAN ENTRY".
        const bool inRoot = rootKnown_ && hit >= rootPosition_ && hit < threshold;
        r.parentIndex = inRoot ? 0 : 1;
        r.ownIndex = static_cast<std::uint32_t>(records.size());
        const bool folder = r.isFolder() && r.firstCluster >= 2;
        records.push_back(std::move(r));
        if (folder) collectFolder(records.back().ownIndex);
    }
    // An "ORPHAN ENTRY" that received nothing is not shown.
    bool orphans = false;
    for (std::size_t i = 2; i < records.size() && !orphans; ++i) orphans = records[i].parentIndex == 1;
    if (!orphans) records[1].parentIndex = 1;
    processed_.clear();
    visitedClusters_.clear();
    return records;
}

ScanOutcome Fat64Class::advancedScan(Prompt* prompt) {
    (void)prompt;
    if (control_) control_->checkPoint();
    clearAdvancedPass();
    advanced_ = true;
    attachReader();
    // A parser that did not search yet (no advanced-options page before it) searches now.
    if (!searched_) findAdvancedCopies(options_.maxCopies);
    if (stopRequested()) return ScanOutcome::stopped();
    const AdvancedFinds& finds = advancedFinds;
    // The choice comes as sectors per cluster (0: the default, the first shift offered).
    int shift = finds.clusterChoices.empty() ? 0 : finds.clusterChoices.front();
    if (options_.advancedSectorsPerCluster > 0) {
        shift = 0;
        while (shift < static_cast<int>(kMaxShift) && (2 << shift) <= options_.advancedSectorsPerCluster) ++shift;
    }
    setAdvancedGeometry(static_cast<std::uint8_t>(std::min(shift, static_cast<int>(kMaxShift))));
    std::uint64_t heap = 0, fat = 0;
    if (options_.advancedHeapIndex >= 0 && std::size_t(options_.advancedHeapIndex) < finds.heaps.size())
        heap = finds.heaps[std::size_t(options_.advancedHeapIndex)];
    else if (options_.advancedHeapIndex < 0 && !finds.heaps.empty())
        heap = finds.heaps.front();
    if (options_.advancedCopyIndex >= 0 && std::size_t(options_.advancedCopyIndex) < finds.copies.size())
        fat = finds.copies[std::size_t(options_.advancedCopyIndex)];
    scanSurfaceForEntries();
    // A Stop ends the surface scan, not the road: what it found so far is still collected
    // and shown (a second Stop ends the collection too).
    const bool stopped = stopFlag.exchange(0) != 0;
    status(u"Maintaining TreeStructure for Tree Control");
    if (heap > 0 && fat > 0) {
        collectDeepEntries(heap, fat);
        linkParentChild();
        fillTreeRoots();
    }
    return stopped || stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

}  // namespace dravonel
