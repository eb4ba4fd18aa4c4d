#pragma once
// Helpers of the ext and HFS+ tests: a fixture scanned in memory through a ScanParser,
// its listing as path -> entry, a writer that records what a save delivers, and the
// fixture manifests.
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/common/entry_writer.h"
#include "core/common/text.h"
#include "core/device/sector_reader.h"
#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"
#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {

// Keeps every byte delivered and counts holes and unreadable bytes apart.
struct RecordingWriter final : EntryWriter {
    std::vector<std::uint8_t> bytes;
    std::uint64_t holes = 0, unreadable = 0;
    std::vector<std::string> damageNotes;
    void noteDamage(const std::string& reason) override { damageNotes.push_back(reason); }
    bool write(const std::uint8_t* d, std::size_t n) override {
        bytes.insert(bytes.end(), d, d + n);
        return true;
    }
    bool writeHole(std::uint64_t n) override {
        holes += n;
        bytes.resize(bytes.size() + n, 0);
        return true;
    }
    bool writeUnreadable(std::uint64_t n) override {
        unreadable += n;
        bytes.resize(bytes.size() + n, 0);
        return true;
    }
    std::uint64_t written() const override { return bytes.size(); }
    std::string sha256() const {
        return sha256Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
};

inline nlohmann::json loadManifest(const std::string& name) {
    std::ifstream in(fixturePath(name));
    return nlohmann::json::parse(in);
}

using ParserFactory = std::function<std::unique_ptr<ScanParser>(const ScanContext&)>;

struct ScannedVolume {
    MemoryReadSeek reader;
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    WorkerControl control;
    VolumeRecord record;
    std::unique_ptr<ScanParser> parser;
    ScanOutcome outcome;

    ScannedVolume(std::vector<std::uint8_t> bytes, std::u16string fileSystem, const ParserFactory& make,
                  std::int64_t sizeMb = -1)
        : reader(std::move(bytes)) {
        reader.open("");
        record.fileSystem = std::move(fileSystem);
        if (sizeMb < 0) sizeMb = static_cast<std::int64_t>(reader.bytes().size() >> 20);
        record.sizeMbText = u16(std::to_string(sizeMb));
        tree.checkBoxes = true;
        tree.triStatePropagation = true;
        parser = make(ScanContext{record, &tree, &reader, &sink, &prompt, &control, {}});
    }
    ScanOutcome run(RecoveryMode mode = RecoveryMode::Standard) {
        outcome = parser->run(mode);
        return outcome;
    }
    // Every entry below the tree's top item, by its path ("a/b/c"), walked through the
    // parser's children (as saving walks them); bounded.
    std::map<std::string, EntryRef> listing() const {
        std::map<std::string, EntryRef> out;
        const TreeItem top = tree.root();
        if (top == kNoItem) return out;
        std::function<void(EntryRef, const std::string&, int)> walk = [&](EntryRef f, const std::string& prefix,
                                                                          int depth) {
            if (depth > 64 || out.size() > 100000) return;
            parser->forEachChild(f, [&](EntryRef c) {
                const std::string path = prefix + toUtf8(parser->name(c));
                out.emplace(path, c);
                if (parser->isFolder(c)) walk(c, path + "/", depth + 1);
                return true;
            });
        };
        walk(tree.itemData(top), "", 0);
        return out;
    }
    SaveStatus save(EntryRef ref, RecordingWriter& w) { return parser->saveEntry(ref, w); }
};

}  // namespace dravonel::test
