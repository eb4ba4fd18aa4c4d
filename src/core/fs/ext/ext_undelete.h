#pragma once
// Deleted files of an ext3/ext4 volume brought back from its journal.
//
// When a file is deleted, the kernel clears its inode's block map or extent tree and
// marks its inode and blocks free; the directory entry is merged into its neighbour. The
// journal still holds older copies of the inode-table blocks and directory blocks from
// before the delete. For every inode that is free now and has an older journalled copy
// that was in use (links, and a block map or extent tree), the newest such copy whose
// blocks no live file holds now is taken (or the newest one, then reported damaged); its
// name and folder come from the newest journalled copy of a directory block that named
// it. Such files join the parser's entries marked deleted, under their former folder, or
// under "ORPHAN_ENTRY" when no name or folder is known.
//
// Only an internal journal (the journal inode) is read; a journal on a device of its own
// is not. Everything is read through the parser's sector reader.
#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/fs/ext/ext.h"
#include "core/fs/ext/ext_journal.h"

namespace dravonel {

class ExtUndelete {
public:
    explicit ExtUndelete(ext2Class& parser) : p_(parser) {}

    // After buildRootEntry and before linkParentChild: reads the journal, adds the deleted
    // entries it can bring back (and "ORPHAN_ENTRY" when needed) to the parser's entries,
    // and says on the status line how many deleted inodes could not be recovered.
    void run();

    // A brought-back file: the journalled inode copy it is read along, its runs, and what
    // of it other files hold now or the copy does not map.
    struct Recovered {
        std::vector<std::uint8_t> inode;
        std::vector<ExtRun> runs;
        std::uint32_t sequence = 0;
        std::uint64_t overwrittenBytes = 0;
        std::uint64_t unmappedBytes = 0;
    };
    const Recovered* recovered(std::uint32_t key) const;
    // Saves a brought-back file; Damaged with the reason when other files hold some of its
    // blocks now or the copy does not map all of it.
    SaveStatus save(std::uint32_t key, EntryWriter& out) const;

    // What the run found (for the status line and the tests).
    bool journalRead = false;
    std::uint32_t deletedInodes = 0;   // free inodes that were in use once
    std::uint32_t recoveredFiles = 0;  // of them, files and links brought back
    std::uint32_t recoveredFolders = 0;
    std::uint32_t orphanKey = 0;       // the key of "ORPHAN_ENTRY", 0 when none
    ext_journal::Contents journal;

private:
    struct Name {
        std::uint32_t sequence = 0;
        std::uint64_t fsBlock = 0;
        std::uint32_t owner = 0;  // the folder inode named by the block's "." entry, 0 when none
        std::u16string text;
    };
    struct Candidate {
        std::size_t copy = 0;   // index into journal.copies
        std::uint32_t offset = 0;  // of the inode in the copied block
    };

    bool readJournal();
    bool readJournalBlock(std::uint32_t index, std::uint8_t* dest) const;
    bool readCopy(std::size_t copy, std::uint8_t* dest) const;
    // Volume block b as transaction `sequence` left it: its newest journalled copy up to
    // then, else the block as the volume holds it now while no live file holds it.
    bool blockAsOf(std::uint64_t b, std::uint32_t sequence, std::uint8_t* dest);
    std::vector<ExtRun> runsAsOf(const std::vector<std::uint8_t>& inode, std::uint32_t sequence);
    void extentRuns(const std::uint8_t* node, std::size_t bytes, int depth, std::uint64_t logicalBlocks,
                    std::uint32_t sequence, std::vector<ExtRun>& runs, std::vector<std::uint64_t>& visited,
                    std::uint64_t& budget);
    void mapRuns(std::uint64_t pointer, int level, std::uint64_t& logical, std::uint64_t logicalBlocks,
                 std::uint32_t sequence, std::vector<ExtRun>& runs, std::uint64_t& budget);
    // Bitmaps of now: unset bits, uninitialised groups and unreadable bitmaps as the
    // comments at their definitions say.
    bool blockInUse(std::uint64_t b);
    bool inodeFree(std::uint32_t n);
    const std::vector<std::uint8_t>* bitmap(std::uint32_t group, bool blocks);
    void markSharedBlocks();
    void collectCandidates(std::map<std::uint32_t, std::vector<Candidate>>& candidates);
    void collectNames();
    std::uint32_t countDeletedInodes();
    std::int64_t sequenceKey(std::uint32_t sequence) const;

    ext2Class& p_;
    std::vector<ExtRun> journalRuns_;
    std::uint32_t journalBlocks_ = 0;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> copiesOf_;  // oldest first
    std::unordered_map<std::uint32_t, Name> names_;        // of inodes brought back, by inode number
    std::unordered_map<std::uint32_t, Name> hiddenNames_;  // from removed entries, by inode number
    std::unordered_map<std::uint32_t, Name> folderNames_;  // of every folder entry, by inode number
    std::vector<std::uint32_t> ghosts_;  // keys of folders known by name only
    std::map<std::pair<std::uint32_t, bool>, std::vector<std::uint8_t>> bitmaps_;
    std::map<std::uint32_t, Recovered> recovered_;  // by key
};

}  // namespace dravonel
