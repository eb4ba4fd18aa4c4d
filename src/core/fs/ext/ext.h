#pragma once
// The ext2/3/4 parser: finds the superblock, reads the group descriptors (32 or 64
// bytes each), walks every group's inode table for folders, names every inode that a
// live directory entry names, builds a tree under an added "ROOT" entry and saves file
// data along block maps or extent trees of any depth.
//
// Every byte is read through the sector reader's positional reads with volume-relative
// offsets (the caller sets baseOffset to startSector * 512), so the const queries may
// run on other threads once the scan is over. Long loops poll stopFlag and call the
// worker control's check point.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/fs/ext/ext_format.h"
#include "core/model/recovered_volume.h"
#include "core/model/tree_sink.h"

namespace dravonel {

// One name of an inode. Entries link by key: parent, first child and next sibling, -1 for
// none. An inode's first name has the key inode number - 1; every further name of a file
// (a hard link) has a key past every inode's, as have folders rebuilt from the journal.
struct ExtEntry {
    std::u16string name;
    std::uint32_t key = 0;
    std::uint32_t inode = 0;  // the inode named; 0: key + 1
    std::int64_t parent = -1;
    std::uint16_t mode = 0;  // the inode's mode (type in the top four bits)
    std::uint64_t size = 0;
    std::int64_t firstChild = -1;
    std::int64_t nextSibling = -1;
    std::int64_t lastChild = -1;    // for linking in key order
    std::uint8_t direntType = 0;    // the file-type byte of the naming entry, 0 when none
    bool deleted = false;           // brought back from the journal's older copies
    // The inode's times as stored (seconds and their extra fields), kept when the scan
    // read its inode, so that the file list and saving need not read it again.
    struct Stamps {
        bool kept = false;
        bool extra = false;  // the inode has the extra fields
        std::uint32_t ctime = 0, atime = 0, mtime = 0;
        std::uint32_t ctimeExtra = 0, atimeExtra = 0, mtimeExtra = 0;
    } stamps;

    std::uint32_t inodeNumber() const { return inode != 0 ? inode : key + 1; }
    bool isFolder() const { return (mode & ext_format::inode::kTypeMask) == ext_format::inode::kTypeDirectory; }
    // Regular files and symbolic links are shown as files; devices, pipes and sockets
    // are not shown.
    bool isFile() const {
        const std::uint16_t t = mode & ext_format::inode::kTypeMask;
        return t == ext_format::inode::kTypeRegular || t == ext_format::inode::kTypeSymlink;
    }
    bool isShown() const { return isFolder() || isFile(); }
};

// The file-list texts of one entry.
struct ExtTimesText {
    std::u16string changed, accessed, modified, permissions;
};

// Where a file's logical blocks are on the volume.
struct ExtRun {
    enum class Kind : std::uint8_t { Data, Uninitialised, Unreadable };
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint64_t count = 0;
    Kind kind = Kind::Data;
};

// The run an extent-tree leaf entry e maps in a file of logicalBlocks blocks on a volume of
// usable blocks (cut at the file's end); nothing for an entry past the end or of no
// length. A data run that leaves the volume is Unreadable.
std::optional<ExtRun> extentLeafRun(const std::uint8_t* e, std::uint64_t logicalBlocks, std::uint64_t usable);

class ext2Class {
public:
    ext2Class(const VolumeRecord& volume, TreeSink* tree, readWriteInterface* reader, ScanSink* sink,
              WorkerControl* control = nullptr);
    ext2Class(const ext2Class&) = delete;
    ext2Class& operator=(const ext2Class&) = delete;

    VolumeRecord volume;
    TreeSink* tree = nullptr;
    readWriteInterface* reader = nullptr;
    ScanSink* sink = nullptr;
    WorkerControl* workerControl = nullptr;
    StopFlag stopFlag{0};

    // The volume size in bytes (the record's size in MiB x 1,048,576).
    std::uint64_t volumeSize = 0;
    std::optional<ext_format::Superblock> superblock;
    std::uint64_t superblockPosition = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t groupCount = 0;
    // Per group: the first block of its inode table and the number of inodes in use
    // at its start (all of them unless the descriptors keep "uninitialised" marks).
    struct Group {
        std::uint64_t inodeTable = 0;
        std::uint32_t usedInodes = 0;
        std::uint64_t blockBitmap = 0;
        std::uint64_t inodeBitmap = 0;
        std::uint16_t flags = 0;  // the descriptor's "uninitialised" marks, when kept
    };
    std::vector<Group> groups;
    // What the last scan could not read: group descriptors taken from group 1's backup,
    // descriptors no copy gave, inodes of the tables and folder blocks lost.
    std::uint64_t descriptorsFromBackup = 0;
    std::uint64_t descriptorsUnreadable = 0;
    std::uint64_t inodesUnreadable = 0;
    std::uint64_t folderBlocksUnreadable = 0;
    // The texts of those losses, with their counts.
    std::vector<std::u16string> readLosses() const;
    // Named entries by key; after buildRootEntry also "ROOT" (key 2).
    std::map<std::uint32_t, ExtEntry> entries;
    // After parseInodes: the inodes that hold a deletion time, or a type without links.
    std::vector<std::uint32_t> freedInodes;
    TreeItem rootItem = kNoItem;
    static constexpr std::uint32_t kRootKey = 2;
    // A key past every inode's for an entry that is not an inode's first name; nothing when
    // the key space is used up.
    std::optional<std::uint32_t> takeExtraKey();

    // Keeps the reader; the volume size from the record. False without a reader.
    bool attachReader(readWriteInterface* r);
    // Looks for a superblock from byte 1024 on, in 512-byte steps, within the volume.
    bool readSuperblock();
    // Reads the descriptor table that follows the superblock's block.
    bool readGroupDescriptors();
    // Takes every group's inode table position. True.
    bool parseGroups();
    // Walks every live folder's directory entries and names the inodes they name.
    // True when any entry was named.
    bool parseInodes();
    // Reads the mode and size of every named inode and adds "ROOT". True.
    bool buildRootEntry();
    // Links every entry into its parent's chain, children in key order. True.
    bool linkParentChild();
    // Inserts ROOT and its children into the result tree.
    void fillTreeRoots();

    // Const queries (any thread, after the scan).
    bool isEntry(std::uint32_t key) const { return entries.count(key) != 0; }
    const ExtEntry* entry(std::uint32_t key) const;
    ExtTimesText timesText(std::uint32_t key) const;
    std::u16string sizeText(std::uint32_t key) const;
    EntryTimes entryTimes(std::uint32_t key) const;
    // Delivers a file's data: Saved, Damaged (blocks that could not be read are zeros),
    // Failed (not a file, unreadable inode, write error) or Stopped.
    SaveStatus saveEntry(std::uint32_t key, EntryWriter& out) const;
    // The same from given inode bytes (at least 256), along the given runs when there are
    // any (else the inode's own map as the volume holds it).
    SaveStatus saveInode(const std::vector<std::uint8_t>& inode, std::uint16_t mode, EntryWriter& out,
                         const std::vector<ExtRun>* runs = nullptr) const;
    ExtTimesText timesText(const std::vector<std::uint8_t>& inode) const;
    EntryTimes entryTimes(const std::vector<std::uint8_t>& inode) const;
    // Blocks that can be read: those the superblock counts and the source holds.
    std::uint64_t usableBlocks() const;

    // Keeps an inode's mode, size and times in its entry.
    void keepInodeFields(ExtEntry& e, const std::uint8_t* inode) const;
    // The inode's bytes (at most the first 256), nothing when it cannot be read.
    std::optional<std::vector<std::uint8_t>> readInode(std::uint32_t inodeNumber) const;
    // The runs of the inode's first `logicalBlocks` blocks, sorted by logical block.
    std::vector<ExtRun> blockRuns(const std::vector<std::uint8_t>& inode, std::uint64_t logicalBlocks) const;
    // The permission text of a mode ("-OE" for 0x001 ... "-UR" for 0x100).
    static std::u16string permissionText(std::uint16_t mode);

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
    void walkDirectory(std::uint32_t dirInode, const std::uint8_t* inode, std::uint64_t& blockBudget);
    std::uint64_t nextExtraKey_ = 0;  // 0: not started (the inode count)
    void nameEntry(std::uint32_t inodeNumber, std::u16string name, std::int64_t parentKey, std::uint8_t fileType);
    // False when node is not an extent node of the expected depth (-1: the root, any).
    bool extentRuns(const std::uint8_t* node, std::size_t nodeBytes, int depth, std::uint64_t logicalBlocks,
                    std::vector<ExtRun>& runs, std::unordered_set<std::uint64_t>& visited, std::uint64_t& budget) const;
    void mapRuns(std::uint64_t pointer, int level, std::uint64_t& logical, std::uint64_t logicalBlocks,
                 std::vector<ExtRun>& runs, std::uint64_t& budget) const;
    void addRun(std::vector<ExtRun>& runs, ExtRun run) const;
};

}  // namespace dravonel
