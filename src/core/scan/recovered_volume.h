#pragma once
// What the save, search and listing walks need of a parsed volume. Each file-system
// parser offers one implementation; the walks in this folder work for all of them.
// An EntryRef is the item data a parser stores on its result-tree items.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "core/common/platform.h"

namespace dravonel {

using EntryRef = std::uint64_t;

// The file-list texts of one entry.
struct EntryTexts {
    std::u16string created, accessed, modified, attributes, size;
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
    // Writes one file's data to target (created anew) and stamps its times. False when
    // the file could not be written; the walk goes on with the next item.
    virtual bool saveEntry(EntryRef ref, const std::filesystem::path& target) = 0;
    // The parser's stop flag.
    virtual StopFlag& stopFlag() = 0;
};

}  // namespace dravonel
