#pragma once
// What every parser fuzz target needs: an in-memory source, a result tree, quiet sinks,
// and a walk that asks the parsed volume for everything the pages and the save walk ask
// (children, texts, times, every file's bytes), bounded so that a target always ends.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"

namespace dravonel::fuzz {

struct QuietPrompt final : Prompt {
    void message(std::u16string_view) override {}
    bool question(std::u16string_view) override { return true; }
};

// Counts bytes; takes at most a fixed amount per file so a huge claimed size ends.
struct DiscardWriter final : EntryWriter {
    std::uint64_t n = 0;
    static constexpr std::uint64_t kLimit = 64ull << 20;
    bool write(const std::uint8_t*, std::size_t count) override { return add(count); }
    bool writeHole(std::uint64_t count) override { return add(count); }
    bool writeUnreadable(std::uint64_t count) override { return add(count); }
    std::uint64_t written() const override { return n; }
    bool add(std::uint64_t count) {
        n += count;
        return n <= kLimit;
    }
};

struct Harness {
    Harness(const std::uint8_t* data, std::size_t size, std::u16string fileSystem)
        : reader(std::vector<std::uint8_t>(data, data + size)) {
        reader.open("");
        volume.fileSystem = std::move(fileSystem);
        volume.sizeMbText = std::u16string(u"1");
        tree.checkBoxes = true;
        tree.triStatePropagation = true;
    }
    ScanContext context() { return ScanContext{volume, &tree, &reader, &sink, &prompt, &control, {}}; }
    VolumeRecord volume;
    MemoryReadSeek reader;
    CTriStateTree tree;
    NullSink sink;
    QuietPrompt prompt;
    WorkerControl control;
};

// Visits at most a bounded number of entries from the top of the tree.
inline void exercise(RecoveredVolume& v, EntryRef top, int budget = 2000) {
    std::vector<EntryRef> stack{top};
    std::unordered_set<EntryRef> seen;
    while (!stack.empty() && budget-- > 0) {
        const EntryRef ref = stack.back();
        stack.pop_back();
        if (!seen.insert(ref).second || !v.isValidEntry(ref)) continue;
        (void)v.name(ref);
        (void)v.texts(ref);
        (void)v.times(ref);
        if (v.isFolder(ref)) {
            v.forEachChild(ref, [&](EntryRef c) {
                stack.push_back(c);
                return stack.size() < 4096;
            });
        } else {
            DiscardWriter w;
            (void)v.saveEntry(ref, w);
        }
    }
}

// Every entry the result tree names, and everything below them.
inline void exercise(const CTriStateTree& tree, RecoveredVolume& v) {
    std::vector<TreeItem> items{tree.root()};
    for (std::size_t i = 0; i < items.size() && i < 10000; ++i) {
        if (items[i] == kNoItem) continue;
        exercise(v, tree.itemData(items[i]), 500);
        for (TreeItem c = tree.firstChild(items[i]); c != kNoItem; c = tree.nextSibling(c)) items.push_back(c);
    }
}

}  // namespace dravonel::fuzz
