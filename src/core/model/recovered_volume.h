#pragma once
// What the save, search and listing walks need of a parsed volume. Each file-system
// parser offers one implementation; the walks in src/core/scan work for all of them.
// An EntryRef is the item data a parser stores on its result-tree items.
//
// Threads: the const queries may be called from a walk (save, search, file-list texts)
// while no scan of the same parser runs; they read through the sector reader's
// positional reads and change no state of the parser.
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
};

}  // namespace dravonel
