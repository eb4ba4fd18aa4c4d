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
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/fs/ntfs/ntfs_format.h"
#include "core/partitions/volume_record.h"
#include "core/model/recovered_volume.h"
#include "core/model/tree_sink.h"

namespace dravonel {

// One MFT record as the parser knows it. Entries link into a tree by indexes into the
// parser's entry list: parent, first child (0 = none) and next sibling (0 or a value
// negative as a signed 64-bit number ends the chain).
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

    bool isFileRecord() const { return signature == std::array<std::uint8_t, 4>{'F', 'I', 'L', 'E'}; }
    bool isFolder() const { return kind == 'D'; }
    bool isDeleted() const { return (recordFlags & 0x0001) == 0; }
};

// Facts about a record's $DATA attribute that saving and sizing need.
struct DataStreamDescriptor {
    std::uint32_t contentOffset = 0;  // non-resident: run-list offset in the attribute; resident: content offset in the record
    std::uint32_t contentLength = 0;  // non-resident: run-list bytes; resident: content bytes
    std::uint16_t compressionUnit = 0;
    std::uint64_t startVcn = 0;
    std::uint64_t lastVcn = 0;
    std::uint8_t residency = 0;  // 'N' non-resident, 'R' resident, 0 none
    std::u16string label;        // "Compressed", "Encrypted", "Normal" or empty
    std::uint64_t allocatedSize = 0;
    std::uint64_t dataSize = 0;
    std::size_t attributeOffset = 0;  // start of the attribute in the record
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
    std::uint64_t volumeSize = 0;   // bytes
    std::vector<Run> mftRuns;
    bool mftKnown = false;
    bool runListPending = true;

    // The entries in the order read; in standard and advanced modes index = record number.
    std::vector<MftEntry> entries;
    // Copies of $MFT records found by findMftCopies.
    std::vector<MftEntry> foundMfts;
    std::uint64_t rootIndex = 5;
    std::uint64_t orphanIndex = ~std::uint64_t(0);
    TreeItem rootItem = kNoItem;
    // Cluster count of the last attribute decoded by runsOf (last VCN - start VCN + 1).
    std::uint64_t streamClusterCount = 0;
    bool hasData = false;

    // Inserts "ROOT" at the top of the result tree, checked and expanded. True.
    bool addTreeRoot();
    // Reads the boot sector; the volume size comes from it (total sectors * 512) or, when
    // it lacks "NTFS", from the volume record's size in MiB. True when the size is not 0.
    bool readBootSector();
    // Standard mode: the MFT run list from the boot sector's MFT cluster, or from a
    // "$MF" record found by scanning the volume. False when the scan found none.
    bool locateMft();
    // Reads every 1024-byte record along the MFT run list into entries.
    void readMftEntries();
    // Decodes the entries (unless a scan already did), links them, gathers orphans under
    // "ORPHAN_ENTRY" and inserts the root's children into the result tree.
    void buildEntryTree();
    // Deep mode: every named MFT record on the volume becomes an orphan entry. False.
    bool scanForMftRecords();
    // Looks for $MFT records followed seven records later by $Boot; the number found.
    std::int64_t findMftCopies(std::int64_t maximum);
    // Takes the run list of found copy `index` as the MFT run list; true when it has runs.
    bool useFoundMft(std::uint64_t index);
    // Drops every entry name. Returns 1.
    int freeNames();

    // File-list texts.
    std::u16string sizeText(std::uint64_t index);
    NtfsTimesText timesText(std::uint64_t index);
    // The entry's data size in bytes (as sizeText shows it).
    std::uint64_t dataSize(std::uint64_t index);
    // Delivers one entry's data through out: Saved, Damaged when clusters could not be
    // read (zeros stand in for them), Failed for a folder, an unreadable record or a
    // write error, Stopped when stopFlag ended it.
    SaveStatus saveEntry(std::uint64_t index, EntryWriter& out);
    // The last access and last write times of $STANDARD_INFORMATION.
    EntryTimes entryTimes(std::uint64_t index);

    // Record-level operations.
    // Reads the 1024-byte record at a volume position; nothing when the seek fails.
    std::optional<ntfs_format::Record> readRecord(std::uint64_t position);
    // Decodes entry i from its record (name, parent, kind, flags) and places it in the
    // tree. False when the record could not be read.
    bool decodeEntry(std::uint64_t index);
    // Runs of every non-resident attribute of type `type` in the record at position.
    std::vector<Run> runsOf(std::uint64_t position, std::uint32_t type);
    // The record's $DATA descriptor; sets hasData when it has any $DATA attribute.
    DataStreamDescriptor dataStream(std::uint64_t position);
    // Record numbers the record's attribute list names for $DATA.
    std::vector<std::uint64_t> extentRecords(std::uint64_t position);
    // True when the record's last attribute-list/$DATA attribute is the attribute list.
    bool keepsDataElsewhere(std::uint64_t position);
    NtfsTimes times(std::uint64_t position);

    // The record that holds an entry's data and times: its own, or for an extension
    // record its base record (standard and advanced modes).
    std::uint64_t dataPosition(std::uint64_t index);
    // Positions of the records that hold the $DATA extents named by the attribute list
    // of the record at position; empty when the record holds its data itself.
    std::vector<std::uint64_t> dataExtentPositions(std::uint64_t position);
    // Writes a non-resident stream given by runs (start 0 = sparse) up to the
    // descriptor's data size: cluster by cluster, or unit by unit when compressed
    // (streamClusters pads the run clusters with sparse ones).
    SaveStatus writeStream(EntryWriter& out, const std::vector<Run>& runs, std::uint64_t streamClusters,
                     const DataStreamDescriptor& d);

    // The effective cluster size: boot sector bytes per sector * sectors per cluster, or 4096.
    std::uint64_t clusterSizeFromBoot() const;

private:
    void placeEntry(std::uint64_t e);
    void appendToParentChain(std::uint64_t e);
    void gatherOrphans();
    void gatherOrphansDeep();
    void fillTree();
    bool stopRequested();
    void status(std::u16string_view text);
    bool readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count);
    std::vector<std::uint64_t> lastChild_;  // per entry: last child placed, for linear linking
};

}  // namespace dravonel
