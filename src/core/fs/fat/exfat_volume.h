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

    std::uint64_t heapStart_ = 0;
    std::uint32_t rootCluster_ = 0;
    std::vector<std::uint8_t> bitmap_;  // one bit per cluster from cluster 2; empty: unknown
};

}  // namespace dravonel
