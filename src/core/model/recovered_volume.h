#pragma once
// What the save, search and listing walks need of a parsed volume. Each file-system
// parser offers one implementation; the walks in src/core/scan work for all of them.
// An EntryRef is the item data a parser stores on its result-tree items.
//
// Threads. The walks over a parsed volume (the file-list texts of a folder click in
// ResultView, the save walk, the search walk) call only the const queries below, plus
// saveEntry for each file they save and stopFlag. The rules every parser keeps:
// - The const queries change no state of the parser that another query reads (a cache
//   they fill is the parser's to guard) and read the source only through the sector
//   reader's positional readAt, never seek+read: a folder click on the page's thread may
//   ask for texts while a save or search walk reads on the worker.
// - saveEntry is the one operation that may use the parser's own buffers. It runs on
//   one thread at a time (the page runs one save at a time), reads through readAt, and
//   never while the parser's scan runs (the page's slot keeps scan, save and search
//   apart).
// - The scan (ScanParser::run) owns the parser while it runs: no walk and no folder
//   click calls a query until the scan's outcome (the page leaves clicks on the tree
//   unanswered while its scan runs; the parser's records are still changing).
// - stopFlag is an atomic byte that the page sets and the parser's loops poll.
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "core/common/entry_writer.h"
#include "core/common/platform.h"

namespace dravonel {

using EntryRef = std::uint64_t;

// The file-list texts of one entry.
struct EntryTexts {
    std::u16string created, accessed, modified, attributes, size;
};

// The times stamped on a saved file or folder; nothing when the volume holds none.
struct EntryTimes {
    std::optional<timespec> accessed, modified;
};

class RecoveredVolume {
public:
    virtual ~RecoveredVolume() = default;
    // True when ref names an entry of this parser (a click or hit on anything else is ignored).
    virtual bool isValidEntry(EntryRef ref) const = 0;
    // The folder test of saving and search.
    virtual bool isFolder(EntryRef ref) const = 0;
    // The "has children" test of the result tree.
    virtual bool hasChildren(EntryRef ref) const = 0;
    // Shown red; skipped on save when deleted files are not wanted.
    virtual bool isDeleted(EntryRef ref) const = 0;
    // Entries never written, checked or not.
    virtual bool isNeverSaved(EntryRef ref) const { return false; }
    // Calls visit for each child in the parser's order until it answers false.
    virtual void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const = 0;
    virtual std::u16string name(EntryRef ref) const = 0;
    virtual std::uint64_t sizeBytes(EntryRef ref) const = 0;
    virtual EntryTexts texts(EntryRef ref) const = 0;
    // The times to stamp on the saved file (or folder).
    virtual EntryTimes times(EntryRef ref) const = 0;
    // Delivers one file's data through out. The walk made the target and stamps times()
    // afterwards; Failed leaves the target to be removed by the walk.
    virtual SaveStatus saveEntry(EntryRef ref, EntryWriter& out) = 0;
    // The parser's stop flag.
    virtual StopFlag& stopFlag() = 0;
    // False when the scan found none of the structures a volume of this kind is read
    // from (an empty but intact volume still has them).
    virtual bool foundVolumeStructure() const { return true; }
};

}  // namespace dravonel
