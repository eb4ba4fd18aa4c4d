#pragma once
// The HFS+ parser: reads the volume header, the extents-overflow and catalog B-trees
// along all their extents (Standard mode), or finds catalog leaf nodes anywhere on the
// volume (Deep mode), decodes folder and file records into HfsEntry records, links them
// into a tree and saves data forks along their extents and overflow records.
//
// Every byte is read through the sector reader's positional reads with volume-relative
// offsets, so the const queries may run on other threads once the scan is over. Long
// loops poll stopFlag and call the worker control's check point.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/fs/hfsplus/hfsplus_format.h"
#include "core/model/recovered_volume.h"
#include "core/model/tree_sink.h"

namespace dravonel {

struct HfsExtent {
    std::uint32_t start = 0;
    std::uint32_t count = 0;
};

// One folder or file record of the catalog.
struct HfsEntry {
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    std::uint16_t type = 0;  // 1 folder, 2 file
    std::uint32_t parentId = 0;
    std::uint32_t id = 0;
    std::uint32_t firstChild = kNone;
    std::uint32_t nextSibling = kNone;
    std::uint32_t totalBlocks = 0;
    std::u16string name;
    std::uint64_t nodePosition = 0;  // byte position of the node that holds the record
    std::uint32_t recordOffset = 0;
    std::uint64_t logicalSize = 0;
    std::vector<HfsExtent> extents;  // data fork, from the catalog record
    std::uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    std::uint16_t fileMode = 0;

    bool isFolder() const { return type == 1; }
};

struct HfsTimesText {
    std::u16string created, accessed, modified, permissions;
};

class HFSP {
public:
    HFSP(const VolumeRecord& volume, TreeSink* tree, readWriteInterface* reader, ScanSink* sink,
         WorkerControl* control = nullptr);
    HFSP(const HFSP&) = delete;
    HFSP& operator=(const HFSP&) = delete;

    VolumeRecord volume;
    TreeSink* tree = nullptr;
    readWriteInterface* reader = nullptr;
    ScanSink* sink = nullptr;
    WorkerControl* workerControl = nullptr;
    StopFlag stopFlag{0};

    std::uint32_t blockSize = 0;
    std::uint32_t totalBlocks = 0;
    std::uint64_t volumeSize = 0;  // the record's size in MiB x 1,048,576
    // The two B-tree files, as the volume header gives them (and, for the catalog,
    // completed from the overflow records).
    struct Fork {
        std::uint64_t logicalSize = 0;
        std::uint32_t totalBlocks = 0;
        std::vector<HfsExtent> extents;
    };
    Fork catalogFork, extentsFork;
    std::uint32_t catalogNodeSize = 0, catalogTotalNodes = 0;
    std::uint32_t extentsNodeSize = 0, extentsTotalNodes = 0;
    bool deep = false;
    // Catalog leaf nodes found: their byte positions on the volume.
    std::vector<std::uint64_t> leafNodes;
    // Catalog nodes the last scan lost to unreadable sectors (their records alone).
    std::uint64_t catalogNodesUnreadable = 0;
    // Extents-overflow records: (file ID, fork type, start block) -> eight extents.
    std::map<std::tuple<std::uint32_t, std::uint8_t, std::uint32_t>, std::vector<HfsExtent>> overflow;
    std::map<std::uint32_t, HfsEntry> entries;
    TreeItem rootItem = kNoItem;
    // The item data of "ROOT": no catalog ID (those are 32-bit); its children are the
    // entries whose parent is the root folder.
    static constexpr std::uint64_t kTopRef = std::uint64_t(1) << 32;
    std::uint32_t orphanId = 0;  // Deep mode's "ORPHAN_ENTRY" folder, 0 when none

    // Keeps the reader, inserts "ROOT" (checked, expanded). True.
    bool attachReader(readWriteInterface* r);
    // Reads and decodes the volume header at offset + 1024. False without a reader or
    // when the header does not describe a volume (no signature, block size not a power
    // of two from 512).
    bool readVolumeHeader(std::uint64_t offset);
    // Standard mode: the catalog's header node, then every node along the catalog's
    // extents; leaf nodes are kept.
    bool readCatalogTree();
    // Other modes: every catalog leaf node on the volume.
    bool scanCatalogTree();
    // The extents-overflow file's nodes, its leaf records indexed.
    bool readExtentsTree();
    // Folder and file records of every leaf node into entries. True.
    bool readCatalogRecords();
    // Standard: each entry in front of its parent's chain (children in descending ID
    // order). Other modes: everything grouped under "ORPHAN_ENTRY". True.
    bool linkParentChild();
    // Inserts the root folder's children (parent ID 2) under ROOT. True.
    bool fillTree();

    const HfsEntry* entry(std::uint32_t id) const;
    HfsTimesText timesText(std::uint32_t id) const;
    std::u16string sizeText(std::uint32_t id) const;
    EntryTimes entryTimes(std::uint32_t id) const;
    SaveStatus saveEntry(std::uint32_t id, EntryWriter& out) const;
    // The text of a file mode ("-Owner:X" for 0x040 ... "-GR" for 0x020).
    static std::u16string permissionText(std::uint16_t mode);
    // The extents of a fork: the given ones and, while they cover fewer than
    // totalBlocks, the overflow records that follow, each starting where the list ends.
    std::vector<HfsExtent> completeExtents(std::uint32_t fileId, std::uint8_t forkType, std::vector<HfsExtent> extents,
                                           std::uint32_t totalBlocks) const;

private:
    bool stopRequested() const;
    void status(std::u16string_view text) const;
    void checkPoint() const;
    bool readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count) const;
    // As readBytes, but a read that fails is split so that every readable sector arrives
    // (the unreadable ones read as zeros and are appended to *unreadable, absolute).
    bool readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count,
                   std::vector<SectorRange>* unreadable) const;
    // Appends count bytes read at position to out, losing only the unreadable sectors;
    // `complete` tells whether every byte was read. False when out refused them.
    bool readInto(EntryWriter& out, std::uint64_t position, std::uint8_t* buffer, std::size_t count,
                  bool& complete) const;
    // Reads count bytes at offset within a fork; false when a part lies outside it or
    // could not be read.
    // With unreadable given, a read that fails is split and its unreadable sectors are
    // appended to it.
    bool readFork(const Fork& f, std::uint64_t offset, std::uint8_t* dest, std::size_t count,
                  std::vector<SectorRange>* unreadable = nullptr) const;
    std::optional<std::uint64_t> forkPosition(const Fork& f, std::uint64_t offset) const;
    // kindMatters: a node 0 whose kind byte is not "header" fails (the extents file);
    // otherwise only its header record's node size and node count count (the catalog).
    bool readHeaderNode(const Fork& f, std::uint32_t& nodeSize, std::uint32_t& totalNodes, bool kindMatters = true) const;
    void decodeLeaf(const std::vector<std::uint8_t>& node, std::uint64_t position);
    std::uint64_t sourceBytes() const;
};

// The record offsets of a node (from its end), each checked to lie after the descriptor
// and before the offset table; at most numRecords of them.
std::vector<std::uint32_t> hfsRecordOffsets(const std::vector<std::uint8_t>& node);

}  // namespace dravonel
