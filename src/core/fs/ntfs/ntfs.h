#pragma once
// The NTFS parser: reads one volume's boot sector, finds its Master File Table (from the
// boot sector, or by scanning the volume), reads every 1024-byte MFT record into an
// MftEntry, links the entries into a folder tree (deleted and orphaned entries
// included), fills the result tree's top level, and saves file data (resident,
// cluster by cluster, sparse and LZNT1-compressed streams, attribute lists).
//
// Every byte is read through the sector reader with volume-relative offsets (the caller
// sets the reader's baseOffset to startSector * 512). Long loops poll stopFlag and call
// the worker control's check point.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/fs/ntfs/ntfs_format.h"
#include "core/model/recovered_volume.h"
#include "core/model/tree_sink.h"

namespace dravonel {

// One piece of a non-resident stream as one attribute holds it: the virtual clusters it
// covers and its decoded runs.
struct StreamPiece {
    std::uint64_t startVcn = 0;
    std::uint64_t lastVcn = 0;
    std::vector<ntfs_format::Run> runs;
};

// What one record holds of its file's unnamed $DATA attribute (name length 0 at 0x09 of
// the attribute header). Named streams never contribute to it.
struct StreamFacts {
    std::uint8_t residency = 0;  // 'N' non-resident, 'R' resident, 0 none
    std::uint16_t flags = 0;     // attribute flags word of the first piece
    std::uint16_t compressionUnit = 0;
    std::uint64_t dataSize = 0;       // non-resident: 0x30 of the piece starting at VCN 0; resident: content length
    std::uint64_t allocatedSize = 0;  // non-resident: 0x28 of the piece starting at VCN 0
    std::uint32_t residentOffset = 0;  // resident: content offset in the record
    std::vector<StreamPiece> pieces;   // non-resident pieces held by this record
};

// One MFT record as the parser knows it, decoded once when it is read. Entries link into
// a tree by indexes into the parser's entry list: parent, first child (0 = none) and next
// sibling (0 or a value negative as a signed 64-bit number ends the chain).
struct MftEntry {
    std::array<std::uint8_t, 4> signature{};  // the record's first four bytes
    std::uint64_t diskPosition = 0;           // byte offset of the record from the volume start
    std::u16string name;                      // valid only when hasName
    bool hasName = false;
    std::uint64_t parent = 0;         // entry index of the parent folder
    std::uint64_t allocatedSize = 0;  // from the file-name attribute
    std::uint16_t recordFlags = 0;    // record header flags; bit 0 = in use
    std::uint8_t kind = 0;            // 'D' for a folder, 0 otherwise
    std::uint64_t ownIndex = 0;
    std::uint8_t orphan = 0;
    std::uint64_t firstChild = 0;
    std::uint64_t nextSibling = 0;

    // Decoded facts (filled once per record; read-only afterwards).
    bool decoded = false;
    bool hasRecordNumber = false;      // NTFS 3.1 records carry their number at 0x2C
    bool splitRecord = false;          // the record's two halves lie in different MFT runs
    bool dataElsewhere = false;        // the attribute list, not $DATA, comes last of the two
    std::uint8_t namedStreams = 0;     // named $DATA attributes in the record (at most 255 counted)
    std::uint16_t sequence = 0;        // header 0x10
    std::uint16_t parentSequence = 0;  // high 16 bits of the file name's parent reference (0 = unchecked)
    std::uint32_t fileNameFlags = 0;   // flags of the last file name (attribute word)
    std::uint64_t recordNumber = 0;    // MFT record number
    std::uint64_t parentRecord = 0;    // low 48 bits of the first file name's parent reference
    std::uint64_t baseRecord = 0;      // header 0x20, low 48 bits; 0 in a base record
    std::uint64_t created = 0, modified = 0, accessed = 0;  // $STANDARD_INFORMATION (FILETIME)
    StreamFacts data;
    std::vector<std::uint64_t> extents;  // records the attribute list names for the unnamed $DATA
    // The file's further names (hard links) in the base record: parent reference and name
    // of each file name that is neither the one above nor an 8.3 twin.
    std::vector<std::pair<std::uint64_t, std::u16string>> otherNames;
    std::uint64_t linkOf = 0;  // a further name's entry: the index of the entry it names again (0: none)

    bool isFileRecord() const { return signature == std::array<std::uint8_t, 4>{'F', 'I', 'L', 'E'}; }
    bool isFolder() const { return kind == 'D'; }
    bool isDeleted() const { return (recordFlags & 0x0001) == 0; }
};

// Facts about a record's $DATA attribute that saving and sizing need.
struct DataStreamDescriptor {
    std::uint32_t contentOffset = 0;  // resident: content offset in the record
    std::uint32_t contentLength = 0;  // resident: content bytes
    std::uint16_t compressionUnit = 0;
    std::uint64_t startVcn = 0;
    std::uint64_t lastVcn = 0;
    std::uint8_t residency = 0;  // 'N' non-resident, 'R' resident, 0 none
    std::u16string label;        // "Compressed", "Encrypted", "Normal" or empty
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
};

// The file-list texts of one entry: creation, last access, last modification, attributes.
struct NtfsTimesText {
    std::u16string created, accessed, modified, attributes;
};

// The times of $STANDARD_INFORMATION (FILETIME, 0 when absent).
struct NtfsTimes {
    std::uint64_t created = 0, modified = 0, accessed = 0;
    std::u16string attributes;
};

// Threads: the scan steps (readBootSector to buildEntryTree, and the copy search) run on
// the scan worker and change the parser. Everything the walks use afterwards (sizeText,
// timesText, dataSize, entryTimes, saveEntry, the entry list) is const: it reads only
// the facts decoded during the scan and reads the source through positional reads, so
// it may run on another thread while nothing scans.
class ntfs {
public:
    using Run = ntfs_format::Run;

    ntfs();
    ntfs(const VolumeRecord& volume, TreeSink* tree, readWriteInterface* reader, ScanSink* sink,
         WorkerControl* control = nullptr);
    ntfs(const ntfs&) = delete;
    ntfs& operator=(const ntfs&) = delete;

    // What the scan page hands over (may also be set after default construction).
    VolumeRecord volume;
    TreeSink* tree = nullptr;
    readWriteInterface* reader = nullptr;
    ScanSink* sink = nullptr;
    WorkerControl* workerControl = nullptr;
    Prompt* prompt = nullptr;  // message boxes of saving; may be null
    int recoveryMode = 1;      // 1 standard, 2 advanced, 3 deep
    StopFlag stopFlag{0};

    // Volume facts.
    std::optional<std::array<std::uint8_t, 512>> bootSector;
    std::uint64_t clusterSize = 0;  // bytes
    std::uint64_t volumeSize = 0;   // bytes, never beyond what the source holds
    // MFT record size: from the boot sector (1024, or one sector of 2048 or 4096 bytes on
    // volumes formatted with large sectors); without a boot sector, from the first
    // record a scan meets.
    std::size_t recordBytes = ntfs_format::kRecordBytes;
    std::vector<Run> mftRuns;
    std::uint64_t mftDataSize = 0;  // the $MFT's own data size when known (bounds the records read)
    bool mftKnown = false;
    bool runListPending = true;
    // MFT records the last reading of the MFT lost to unreadable sectors.
    std::uint64_t mftRecordsUnreadable = 0;

    // The entries; index = MFT record number in every mode (deep mode: see recordIndex).
    std::vector<MftEntry> entries;
    // Copies of $MFT records found by findMftCopies, and for each the cluster size in
    // bytes its own place tells ($MFT starts its own first run).
    std::vector<MftEntry> foundMfts;
    std::vector<std::uint64_t> foundMftClusterBytes;
    bool copySearchStopped = false;  // the last findMftCopies ended on the stop flag
    std::uint64_t rootIndex = 5;
    std::uint64_t orphanIndex = ~std::uint64_t(0);
    TreeItem rootItem = kNoItem;

    // Inserts "ROOT" at the top of the result tree, checked and expanded. True.
    bool addTreeRoot();
    // Reads the boot sector, or its copy in the volume's last sector when the first one
    // is damaged or unreadable ("boot sector damaged; using its backup copy"); the volume
    // size comes from it (total sectors * its sector size) or, when neither holds "NTFS", from the
    // volume record's size in MiB; either is cut to what the source holds past the volume
    // start. True when the size is not 0.
    bool readBootSector();
    // The copy in the sector its own total-sectors field names, searched for around the
    // end of the volume's extent in MiB and at the source's end.
    std::optional<std::array<std::uint8_t, 512>> readBackupBootSector() const;
    // Standard mode: the MFT run list from the boot sector's MFT cluster, or from a
    // "$MF" record found by scanning the volume. False when the scan found none.
    bool locateMft();
    // Reads the MFT along its run list in large sequential pieces and decodes every
    // record (recordBytes) once into entries (index = record number). Records past the
    // volume or the source stay empty entries so later indexes keep their numbers.
    void readMftEntries();
    // Decodes what is not decoded yet, links entries to their parents by record number
    // (the parent reference's sequence number checked), gathers the rest under
    // "ORPHAN_ENTRY" and inserts the root's children into the result tree.
    void buildEntryTree();
    // Deep mode: every named MFT record on the volume, indexed by its own record number
    // (one per number: the one in use, else the highest sequence number). False.
    bool scanForMftRecords();
    // Looks for $MFT records followed seven records later by $Boot, reading the volume
    // (its size in MiB from the volume record, else readBootSector's) in 10 MiB chunks,
    // and keeps up to `maximum` (at least 1) of them in foundMfts, in the order found. A
    // record is kept only when it lies at its own first run's cluster for some cluster
    // size of 512 bytes to 2 MiB (a power of two), with that run inside the volume: the
    // MFT mirror (no $Boot after it) and the $MFT of an NTFS volume stored as a file
    // inside this one are no copies. Ends early when the stop flag is set, then clears
    // it (copySearchStopped tells). The number found.
    std::int64_t findMftCopies(std::int64_t maximum);
    // The cluster size in bytes that puts this $MFT record at the start of its own first
    // run; 0 when none does.
    std::uint64_t copyClusterBytes(const MftEntry& mft) const;
    // Takes the run list of found copy `index` as the MFT run list; true when it has runs.
    bool useFoundMft(std::uint64_t index);
    // Drops every entry name. Returns 1.
    int freeNames();
    // Empties the entry list and what was derived from it (record index, root and orphan
    // folders, read losses), so that reading the MFT again starts from clean state.
    void clearEntries();

    // File-list texts.
    std::u16string sizeText(std::uint64_t index) const;
    NtfsTimesText timesText(std::uint64_t index) const;
    // The entry's data size in bytes (as sizeText shows it): the unnamed stream's.
    std::uint64_t dataSize(std::uint64_t index) const;
    // Delivers one entry's unnamed data stream through out: Saved; Damaged when clusters
    // could not be read, a compression unit did not decode or the stream's pieces do not
    // fit together; Failed for an unreadable record or a write error; Stopped, with
    // nothing written, when the stop flag is already set. A started file is finished
    // (unless more than 256 MiB of it remain, then it is cut and Damaged).
    SaveStatus saveEntry(std::uint64_t index, EntryWriter& out) const;
    // The last access and last write times of $STANDARD_INFORMATION.
    EntryTimes entryTimes(std::uint64_t index) const;

    // Record-level operations.
    // Reads the record (recordBytes) at a volume position; nothing when it cannot be read.
    std::optional<ntfs_format::RecordBuffer> readRecord(std::uint64_t position) const;
    // Decodes entry i from its record at its disk position. False when it could not be read.
    bool decodeEntry(std::uint64_t index);
    // Runs of the unnamed non-resident attributes of type `type` in the record at position.
    std::vector<Run> runsOf(std::uint64_t position, std::uint32_t type) const;
    // The unnamed $DATA descriptor of the record at position.
    DataStreamDescriptor dataStream(std::uint64_t position) const;
    NtfsTimes times(std::uint64_t position) const;

    // The entry that holds an entry's data and times: itself, or for an extension record
    // its base record.
    std::uint64_t dataEntry(std::uint64_t index) const;
    // The disk position of dataEntry(index)'s record.
    std::uint64_t dataPosition(std::uint64_t index) const;
    // Entry indexes of the records that hold the unnamed $DATA pieces named by the
    // attribute list of entry `index`; empty when the entry holds its data itself.
    std::vector<std::uint64_t> dataExtents(std::uint64_t index) const;
    // The entry index of MFT record `number`, or nothing.
    std::optional<std::uint64_t> recordIndex(std::uint64_t number) const;

    // The effective cluster size: boot sector bytes per sector * sectors per cluster, or 4096.
    std::uint64_t clusterSizeFromBoot() const;

private:
    struct StreamPlan;
    // Adds an entry for every further name of a file (a hard link), in the folder that
    // name lies in; it reads the same record.
    void addLinkEntries();
    void linkEntries();
    void indexFoundRecords();
    void gatherOrphans();
    void fillTree();
    bool stopRequested();
    void status(std::u16string_view text);
    bool readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count) const;
    // As readAt, but a read that fails is split so that every readable sector arrives;
    // the unreadable ones are appended to *unreadable (absolute sector ranges).
    bool readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count,
                std::vector<SectorRange>* unreadable) const;
    bool readRecordOf(std::uint64_t index, ntfs_format::RecordBuffer& record) const;
    void decodeRecord(const std::uint8_t* raw, MftEntry& e) const;
    std::vector<std::uint8_t> attributeListBytes(const ntfs_format::RecordBuffer& fixed, std::size_t at) const;
    // Without a record size from the boot sector, takes the one of the record at raw.
    void adoptRecordSize(const std::uint8_t* raw);
    std::optional<std::uint64_t> deviceBytes() const;
    bool planStream(std::uint64_t index, StreamPlan& plan) const;
    SaveStatus writeStream(EntryWriter& out, const StreamPlan& plan) const;
    std::unordered_map<std::uint64_t, std::uint64_t> byNumber_;  // deep mode: record number -> entry index
    bool numbersAreIndexes_ = true;
    bool foundByScan_ = false;  // entries hold records found by a volume scan, not read along the MFT
    bool recordBytesKnown_ = false;  // recordBytes came from the boot sector or an adopted record
};

}  // namespace dravonel
