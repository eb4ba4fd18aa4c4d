#pragma once
// The exFAT parser: reads the boot sector, walks the root folder and every folder below
// it along their FAT chains (or their contiguous runs), turns each File / Stream
// Extension / File Name entry set, live or deleted, into one record, links the records
// into a folder tree, fills the result tree's top level and delivers a file's bytes.
//
// Records live in one vector: record 0 is the root ("DUMMY ENTRY"); links are record
// indexes (0 = none). Every byte is read with positional reads through the sector
// reader, so saving and the file-list texts may run from other threads after the scan.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/entry_writer.h"
#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/model/recovered_volume.h"
#include "core/model/scan_parser.h"
#include "core/model/tree_sink.h"
#include "core/fs/fat/fat_family.h"
#include "core/fs/fat/fat_format.h"
#include "core/device/volume_record.h"

namespace dravonel {

struct ExFatEntryRecord {
    std::uint8_t entryType = 0;  // 0x85 live, 0x05 deleted
    std::uint16_t attributes = 0;
    std::uint32_t createTimestamp = 0;
    std::uint32_t modifyTimestamp = 0;
    std::uint32_t accessTimestamp = 0;
    std::uint8_t create10ms = 0;
    std::uint8_t modify10ms = 0;
    std::uint8_t createUtcOffset = 0;
    std::uint8_t modifyUtcOffset = 0;
    std::uint8_t accessUtcOffset = 0;
    std::uint8_t streamType = 0;   // 0xC0 or 0x40
    std::uint8_t streamFlags = 0;  // bit 0 allocation possible, bit 1 no FAT chain
    std::uint8_t nameLength = 0;
    std::uint64_t validDataLength = 0;
    std::uint32_t firstCluster = 0;
    std::uint64_t dataLength = 0;
    std::u16string name;
    std::uint32_t parentIndex = 0;
    std::uint32_t ownIndex = 0;
    std::uint32_t firstChild = 0;   // 0: none
    std::uint32_t nextSibling = 0;  // 0: none
    std::uint8_t inDeletedFolder = 0;  // 1: some folder above it is deleted

    bool isFolder() const { return (attributes & 0x10) != 0; }
    bool isDeleted() const { return entryType == 0x05; }
    // Deleted itself or lying in a deleted folder (Windows leaves the entries of a deleted
    // folder's files unmarked): its clusters are free in the allocation bitmap.
    bool gone() const { return isDeleted() || inDeletedFolder; }
    bool contiguous() const { return (streamFlags & 0x02) != 0; }
};

class Fat64Class final : public FatFamilyVolume {
public:
    explicit Fat64Class(const ScanContext& context);

    // The scan steps, in order: attachReader (shared), then these.
    // Reads sector 0, or when it is damaged or unreadable the first sector of the backup
    // boot region 12 sectors on ("boot sector damaged; using its backup copy"); false when
    // neither has "EXFAT" at bytes 3-7 and a possible geometry.
    bool readBootSector();
    bool useBootSector(const std::array<std::uint8_t, fat_format::kBootSectorBytes>& sector);
    // Reads the first FAT into memory when it fits (otherwise lookups read the disk).
    void loadFat();
    // Walks the root folder and everything below it into records.
    void scanRootDirectory();
    void linkParentChild();
    void fillTreeRoots();
    // The whole Standard scan with its status texts.
    ScanOutcome scan(Prompt* prompt);

    // The advanced road, for a volume whose boot sector cannot be trusted: the search for
    // FAT and cluster-heap starts (fills advancedFinds), then the tree rebuilt from a
    // surface scan for File entries with the choices in options_.
    ScanOutcome findAdvancedCopies(int maxCopies);
    ScanOutcome advancedScan(Prompt* prompt);

    // The advanced road's steps. findFatTables makes the one pass over the volume: it
    // keeps up to limit sectors that begin like a FAT ("found fat entry  %d "), and notes
    // the root-like entry sets (allocation bitmap, up-case table) and the sectors that
    // begin like an up-case table that findHeapOffsets then turns into heap starts
    // (heap = table offset - (table cluster - 2) x cluster size, for every cluster size
    // the bitmap then found there agrees with). Both lists are volume-relative offsets.
    std::vector<std::uint64_t> findFatTables(std::uint64_t limit);
    std::vector<std::uint64_t> findHeapOffsets(std::uint64_t limit);
    // 512-byte sectors, 2^shift of them per cluster (shifts above 16, beyond the format's
    // 32 MiB clusters, are taken as 16).
    void setAdvancedGeometry(std::uint8_t shift);
    // Reads the whole volume and keeps the offsets of File entries that begin a plausible
    // entry set ("found Entry %d "), and the last volume-label entry's offset.
    void scanSurfaceForEntries();
    // Turns the hits into records (folders read with their entries), with "DUMMY ENTRY"
    // and "ORPHAN ENTRY" (hits that lie outside the root) in front.
    const std::vector<ExFatEntryRecord>& collectDeepEntries(std::uint64_t heapOffset, std::uint64_t fatOffset);
    std::u16string selectedText() const { return {}; }

    // Record-level services (thread-safe once the scan has ended).
    std::uint64_t sizeOf(std::uint32_t index) const {
        return index < records.size() ? records[index].validDataLength : 0;
    }
    // A deleted file's clusters that the allocation bitmap gives to other files now are
    // not its data: the file is damaged, with the reason noted.
    SaveStatus saveEntry(std::uint32_t index, EntryWriter& out) const;
    EntryTexts texts(std::uint32_t index) const;
    EntryTimes times(std::uint32_t index) const;
    bool shownDeleted(std::uint32_t index) const;

    std::optional<std::uint32_t> nextCluster(std::uint32_t n) const;
    std::uint64_t clusterOffset(std::uint32_t n) const { return heapStart_ + std::uint64_t(n - 2) * clusterSize_; }

    std::vector<ExFatEntryRecord> records;

    // True when the allocation bitmap gives cluster n to a file now (false when the volume
    // has no readable bitmap: nothing is known then).
    bool inUse(std::uint32_t n) const;

private:
    // The clusters of a folder (a loop in its chain ends it).
    std::vector<std::uint32_t> folderClusters(std::uint32_t first, bool contiguous, std::uint64_t length);
    // Decodes one folder's bytes into records under parent; folders found are appended
    // to newFolders.
    void decodeFolder(const std::vector<std::uint8_t>& data, std::uint32_t parent, bool inDeleted,
                      std::vector<std::uint32_t>& newFolders);
    // Reads the allocation bitmap an entry of the root names.
    void loadBitmap(const std::vector<std::uint8_t>& root);
    bool isOwnAncestor(std::uint32_t index) const;
    // Appends to a folder's clusters (and their bytes) the free clusters after its last
    // that still hold its entry sets.
    void readFolderOn(std::vector<std::uint32_t>& clusters, std::vector<std::uint8_t>& data);
    bool looksLikeEntrySets(const std::uint8_t* data, std::size_t bytes) const;
    // Decodes the entry set whose File entry is slot i of data (slots entries of 32
    // bytes) into r; answers the slot after the set. r.name stays empty for no set.
    std::size_t decodeEntrySet(const std::uint8_t* data, std::size_t slots, std::size_t i, ExFatEntryRecord& r) const;

    // The advanced road's state. What the search found (kept for the scans that follow):
    struct RootSet {  // a root-like entry set: its offset, the bitmap's and up-case table's entries
        std::uint64_t offset = 0;
        std::uint32_t bitmapCluster = 0, upcaseCluster = 0, upcaseChecksum = 0;
        std::uint64_t bitmapBytes = 0, upcaseBytes = 0;
    };
    struct HeapFind {  // a heap start with the cluster shift and the root it was derived with
        std::uint64_t heap = 0;
        unsigned shift = 0;
        std::uint64_t rootOffset = 0;
        std::uint64_t score = 0;  // lower: the bitmap's length fits the volume better
    };
    void deriveHeaps();
    // Reads one folder of the collection (and the folders below it) into records.
    void collectFolder(std::uint32_t index);
    // The clusters of a folder on the advanced road: along the FAT while it chains them,
    // else consecutive, up to its length, the volume and the folder size limit.
    std::vector<std::uint32_t> advancedClusters(std::uint32_t first, bool contiguous, std::uint64_t length) const;
    void clearAdvancedPass();
    std::uint64_t volumeBytes() const;

    bool searched_ = false;
    bool bootValid_ = false;
    std::uint64_t bootHeap_ = 0, bootClusterSize_ = 0;
    std::uint32_t bootRootCluster_ = 0, bootClusterLimit_ = 0;
    std::vector<RootSet> rootSets_;
    std::vector<std::uint64_t> upcaseStarts_;
    std::vector<HeapFind> heapFinds_;
    // One pass of the advanced scan:
    bool advanced_ = false;  // the records come from the advanced road
    std::vector<std::uint64_t> hits_;
    std::unordered_set<std::uint64_t> processed_;
    std::unordered_set<std::uint32_t> visitedClusters_;  // folder clusters read in this collection
    std::uint64_t labelOffset_ = 0;
    bool labelFound_ = false;
    std::uint64_t rootPosition_ = 0;
    bool rootKnown_ = false;
    std::uint32_t advancedRootCluster_ = 0;

    std::uint64_t heapStart_ = 0;
    std::uint32_t rootCluster_ = 0;
    std::vector<std::uint8_t> bitmap_;  // one bit per cluster from cluster 2; empty: unknown
};

}  // namespace dravonel
