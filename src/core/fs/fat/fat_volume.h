#pragma once
// The FAT16 and FAT32 parsers: read one volume's boot sector and FAT, walk every folder
// from the root down (live and deleted entries, long-name runs), keep one record per
// directory entry, link the records into a folder tree, fill the result tree's top level
// and deliver a file's bytes.
//
// Records are kept in one vector: record 0 is the root ("DUMMY ENTRY"), every other
// record names its parent by index and is linked to its first child and next sibling by
// index (0 = none; record 0 is never anyone's child).
//
// Every byte is read through the sector reader with volume-relative offsets. The scan
// reads with positional reads too, so saving and the file-list texts may run from other
// threads once the scan has ended.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
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

struct FatEntryRecord {
    std::uint8_t attributes = 0;
    std::uint8_t creationTenths = 0;
    std::uint16_t creationTime = 0;
    std::uint16_t creationDate = 0;
    std::uint16_t accessDate = 0;
    std::uint16_t firstClusterHigh = 0;
    std::uint16_t writeTime = 0;
    std::uint16_t writeDate = 0;
    std::uint16_t firstClusterLow = 0;
    std::uint32_t size = 0;
    std::uint8_t deleted = 0;
    std::u16string name;
    std::uint32_t parentIndex = 0;
    std::uint32_t ownIndex = 0;
    std::uint32_t firstChild = 0;   // 0: none
    std::uint32_t nextSibling = 0;  // 0: none
    std::uint8_t inDeletedFolder = 0;  // 1: some folder above it is deleted

    std::uint32_t firstCluster() const { return (std::uint32_t(firstClusterHigh) << 16) | firstClusterLow; }
    bool isFolder() const;
    // Deleted itself or lying in a deleted folder: its clusters are free in the FAT.
    bool gone() const { return deleted || inDeletedFolder; }
};

// The root placeholder's name; it is never shown.
inline constexpr char16_t kDummyEntryName[] = u"DUMMY ENTRY";
// The advanced road's top-level folder of the entries that cannot be placed under the root.
inline constexpr char16_t kOrphanEntryName[] = u"ORPHAN ENTRY";

namespace fat_names {
// The 11-byte short name as the file list shows it: a deleted entry's 0xE5 at byte 0
// shows as U+FFE5 (0x05 there stands for the character 0xE5), the rest is read in the
// OEM code page, name and extension lose their padding spaces and are joined by a '.'
// when there is an extension; byte 12's case bits (0x08 base, 0x10 extension) make
// that part lower case, as the system that wrote it shows it.
std::u16string shortName(const std::uint8_t* slot, int codePage = 437);
// The 13 characters of one long-name slot, cut at the first U+0000.
std::u16string longNamePiece(const std::uint8_t* slot);
// The checksum of an 11-byte short name that its long-name slots carry.
std::uint8_t shortNameChecksum(const std::uint8_t* name);
// The four file-list texts of DOS date/time fields (creation, access, write, attributes).
EntryTexts dosTexts(std::uint16_t cDate, std::uint16_t cTime, std::uint16_t aDate, std::uint16_t wDate,
                    std::uint16_t wTime, std::uint8_t attributes, std::uint64_t size, bool accessWithTime,
                    std::uint16_t aTime = 0);
// A DOS date and time as stored (no time-zone adjustment); nothing for an impossible date.
std::optional<timespec> dosTimespec(std::uint16_t date, std::uint16_t time);
}  // namespace fat_names

// The shared FAT16/FAT32 parser; Fat16Class and Fat32Class choose the flavour.
class FatClass : public FatFamilyVolume {
public:
    FatClass(int bits, const ScanContext& context);

    // The scan steps, in order: attachReader (shared), then these.
    // Reads sector 0 and the geometry; false when it is not a volume of this flavour.
    // FAT32: a damaged or unreadable sector 0 is replaced by its copy in sector 6
    // ("boot sector damaged; using its backup copy").
    bool readBootSector();
    // The geometry of one boot sector; false when it is not a volume of this flavour.
    bool useBootSector(const std::array<std::uint8_t, fat_format::kBootSectorBytes>& sector);
    static constexpr std::uint64_t kBackupBootSector = 6;
    // Reads the first FAT into memory (when it fits; otherwise lookups read the disk).
    void loadFat();
    // Walks the root folder and every folder below it into records.
    void scanRootDirectory();
    // Links every record under its parent, children in record (disk) order.
    void linkParentChild();
    // Inserts the records directly under the root into the tree.
    void fillTreeRoots();

    // The whole Standard scan with its status texts: attachReader, readBootSector
    // (refused: the refusal text through the prompt), loadFat, the folder walk, linking
    // and the tree's top level.
    ScanOutcome scan(Prompt* prompt);
    std::u16string selectedText() const { return {}; }
    void rebind(const ScanContext& context) override;

    // The advanced road, for a volume whose boot sector cannot be trusted: the search for
    // FAT starts (fills advancedFinds), then the tree rebuilt from a surface scan for
    // folder entries with the copy and cluster size chosen in options_.
    ScanOutcome findAdvancedCopies(int maxCopies);
    ScanOutcome advancedScan(Prompt* prompt);

    // The advanced road's steps. findFatTables: the starts of FATs (sectors whose first two
    // entries are the media and end-of-chain marks), up to limit, in disk order; folder
    // heads ("." then "..") met on the way are kept for the cluster-size estimate.
    std::vector<std::uint64_t> findFatTables(std::uint64_t limit);
    // The geometry of the chosen FAT, cluster size and what the boot sector still tells;
    // then the FAT read from offset. False when there is nothing to rebuild from.
    bool loadFatAt(std::uint64_t offset);
    // Every 32-byte slot of the volume after the first FAT that reads as a directory entry
    // joins the hit list; folder heads calibrate the data start when the boot sector could
    // not give it.
    void scanSurfaceForEntries();
    // The root walked as on the Standard road, then every hit that walk did not reach:
    // folders first (each read with its entries), then the rest; what lies outside the
    // root goes under "ORPHAN ENTRY" (record 1).
    void collectDeepEntries();
    // The entry test of the surface scan: a long-name slot or a short entry as FAT
    // writers make them. slot holds 32 bytes.
    bool looksLikeEntry(const std::uint8_t* slot) const;
    // The FAT-start test: entry 0 holds the media byte under all-ones bits, entry 1 the
    // end-of-chain mark (the clean and error bits may be clear). sector holds 512 bytes.
    bool looksLikeFatStart(const std::uint8_t* sector) const;

    // Record-level services (thread-safe once the scan has ended).
    std::uint64_t sizeOf(std::uint32_t index) const { return index < records.size() ? records[index].size : 0; }
    // A live file follows its FAT chain. A deleted file's chain is freed: when its first
    // cluster is free it is read from consecutive clusters, and clusters that other files
    // hold now (or that lie past the volume) make it damaged, with the reason noted.
    // With formattedDriveFlag every file is read from consecutive clusters.
    SaveStatus saveEntry(std::uint32_t index, EntryWriter& out) const;
    EntryTexts texts(std::uint32_t index) const;
    EntryTimes times(std::uint32_t index) const;
    // True for a file whose own record or parent folder record is marked deleted.
    bool shownDeleted(std::uint32_t index) const;

    // The next cluster of n's chain, or nothing at an end-of-chain mark, a free or bad
    // cluster, a number beyond the volume, or whenever formattedDriveFlag is set.
    std::optional<std::uint32_t> nextCluster(std::uint32_t n) const;
    std::uint64_t clusterOffset(std::uint32_t n) const { return dataStart_ + std::uint64_t(n - 2) * clusterSize_; }

    int bits() const { return bits_; }
    // 12, 16 or 32: FAT12 and FAT16 volumes are told apart by their cluster count.
    unsigned entryBits() const { return entryBits_; }
    const char16_t* refusalText() const;

    std::vector<FatEntryRecord> records;

protected:
    struct FolderState;
    // The clusters of a live folder's chain from first (each once: a loop ends it).
    // followFat: the chain is read from the FAT even when formattedDriveFlag is set.
    std::vector<std::uint32_t> folderChain(std::uint32_t first, bool followFat);
    // Decodes one cluster (or the FAT16 root) of a folder into records.
    void decodeSlots(const std::uint8_t* data, std::size_t bytes, FolderState& state);
    // decodeSlots over what could be read of data: the slots in the lost spans (offsets
    // in data, from readFolderBytes) are skipped and do not end the folder.
    void decodeAround(const std::uint8_t* data, std::size_t bytes, const LostSpans& lost, FolderState& state);
    // Reads the folder of record index with its clusters and decodes it; the folders
    // found in it are appended to found.
    void readFolder(std::uint32_t index, std::vector<std::uint32_t>& found);
    // True when index's first cluster is already one of its ancestors' (a loop).
    bool isOwnAncestor(std::uint32_t index) const;
    // The long name a run of long-name slots gives the short entry after it, when the run
    // belongs to it.
    struct LongSlot {
        std::uint8_t ordinal = 0;  // byte 0: sequence number, or 0xE5 once deleted
        std::uint8_t checksum = 0;
        std::u16string piece;
    };
    std::optional<std::u16string> longNameFor(const std::vector<LongSlot>& run, const std::uint8_t* slot) const;
    // True when a cluster reads as the directory slots of a folder's continuation.
    bool looksLikeFolderSlots(const std::uint8_t* data, std::size_t bytes) const;
    // Reads the folders in found and every folder below them, depth first.
    void walkFolders(const std::vector<std::uint32_t>& found);
    // The advanced road: one record from the hit at offset at, with the long-name run
    // directly before it when its checksum matches; folders it makes are appended to found.
    void takeHit(std::uint64_t at, std::uint32_t parent, std::vector<std::uint32_t>& found);
    // The volume's length in bytes: the boot sector's when it gives one, else the volume
    // record's.
    std::uint64_t volumeBytes() const;
    // Cluster count and entry width for the geometry in hand.
    void setClusterLimit(std::uint64_t volumeBytes);

    int bits_;
    unsigned entryBits_ = 16;
    int codePage_ = 437;

    std::uint32_t bytesPerSector_ = 0;
    std::uint64_t fatBytes_ = 0;
    std::uint64_t rootOffset_ = 0;  // FAT16: the fixed root folder
    std::uint64_t rootBytes_ = 0;
    std::uint32_t rootCluster_ = 0;  // FAT32
    std::uint64_t dataStart_ = 0;
    std::uint64_t bootVolumeBytes_ = 0;  // the boot sector's length of the volume, 0: none

    // The advanced road (all cleared at the start of each pass).
    struct Hit {
        std::uint64_t at = 0;
        std::uint8_t attributes = 0;
        std::uint8_t checksum = 0;  // long-name slots: the short name's checksum
        std::uint32_t cluster = 0;
    };
    // A folder's first cluster as found on the surface: its "." slot's offset and the
    // cluster number that slot names.
    struct FolderHead {
        std::uint64_t at = 0;
        std::uint32_t cluster = 0;
    };
    bool advanced_ = false;
    bool bootTrusted_ = false;  // the boot sector gave the layout
    std::vector<Hit> hits_;
    std::vector<FolderHead> heads_;
    std::unordered_set<std::uint64_t> processed_;  // slot offsets already turned into records
    // Clusters whose slots were read as a found folder's (cluster -> the folder's record).
    std::unordered_map<std::uint32_t, std::uint32_t> clusterFolder_;
    // Clusters that end in long-name slots, by those slots' checksum, and the ones whose run
    // was given to an entry at the start of another cluster.
    std::vector<std::vector<std::uint32_t>> tailsBySum_;
    std::unordered_set<std::uint32_t> tailsUsed_;
    // The long-name slots a cluster ends in (disk order) and their offsets, read once.
    struct TailRun {
        std::vector<LongSlot> run;
        std::vector<std::uint64_t> slots;
    };
    std::unordered_map<std::uint32_t, TailRun> tailRuns_;
    const TailRun& tailRun(std::uint32_t cluster);
    // The data cluster holding a volume offset (0: none).
    std::uint32_t clusterAt(std::uint64_t at) const;
    std::uint64_t surfaceStart_ = 0;
};

class Fat16Class final : public FatClass {
public:
    explicit Fat16Class(const ScanContext& context) : FatClass(16, context) {}
};

class Fat32Class final : public FatClass {
public:
    explicit Fat32Class(const ScanContext& context) : FatClass(32, context) {}
};

}  // namespace dravonel
