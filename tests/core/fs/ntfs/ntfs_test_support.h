#pragma once
// Helpers of the NTFS tests: a scanned fixture image, path lookup in the entry tree,
// the fixture manifest and SHA-256 of saved files.
#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/common/output_file.h"
#include "core/common/text.h"
#include "core/fs/ntfs/ntfs.h"
#include "core/model/tri_state_tree.h"
#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {

// Saves one entry of an ntfs parser into target as a save run does: true when the file
// was written (whole or damaged).
inline bool saveToFile(ntfs& parser, std::uint64_t index, const std::filesystem::path& target) {
    // Output files are never created over an existing name: a test saving to one scratch
    // name again clears its own earlier file first.
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(target, ec))) std::filesystem::remove(target, ec);
    OutputFile file;
    if (!file.create(target)) return false;
    const SaveStatus status = parser.saveEntry(index, file);
    if (status == SaveStatus::Failed) {
        file.discard();
        return false;
    }
    const EntryTimes t = parser.entryTimes(index);
    file.stampTimes(t.accessed, t.modified);
    return file.close();
}

inline std::string sha256Hex(const std::vector<std::uint8_t>& data) {
    return sha256Hex(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

inline const nlohmann::json& ntfsManifest() {
    static const nlohmann::json manifest = [] {
        std::ifstream in(fixturePath("ntfs_fixtures.json"));
        return nlohmann::json::parse(in);
    }();
    return manifest;
}

// One fixture image scanned in memory by the NTFS parser, step by step as the scan
// worker runs them.
struct ScannedImage {
    std::unique_ptr<MemoryReadSeek> reader;
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    std::unique_ptr<ntfs> parser;

    ScannedImage(const std::string& image, const std::string& sizeMb, std::vector<std::uint8_t> bytes = {}) {
        if (bytes.empty()) bytes = fixtureBytes(image);
        reader = std::make_unique<MemoryReadSeek>(std::move(bytes));
        reader->open("");
        VolumeRecord v;
        v.fileSystem = u"NTFS";
        v.name = u"G0";
        v.sizeMbText = u16(sizeMb);
        parser = std::make_unique<ntfs>(v, &tree, reader.get(), &sink, nullptr);
        parser->prompt = &prompt;
    }
    // Standard (1) or deep (3) road of the scan worker.
    void scan(int mode) {
        parser->addTreeRoot();
        parser->readBootSector();
        parser->recoveryMode = mode;
        if (mode == 3) parser->scanForMftRecords();
        else parser->locateMft();
        parser->readMftEntries();
        parser->buildEntryTree();
    }
    // Children of an entry in chain order, bounded.
    std::vector<std::uint64_t> children(std::uint64_t folder) const {
        std::vector<std::uint64_t> out;
        const auto& e = parser->entries;
        std::uint64_t c = e[folder].firstChild;
        while (c > 0 && std::int64_t(c) > 0 && c < e.size() && out.size() <= e.size()) {
            out.push_back(c);
            if (e[c].nextSibling == c) break;
            c = e[c].nextSibling;
        }
        return out;
    }
    // The entry at a '/'-separated path below the root folder (the first match per level).
    std::optional<std::uint64_t> find(const std::string& path, std::uint64_t from = ~0ULL) const {
        std::uint64_t at = from == ~0ULL ? parser->rootIndex : from;
        std::size_t pos = 0;
        while (pos <= path.size()) {
            const std::size_t slash = std::min(path.find('/', pos), path.size());
            const std::u16string part = fromUtf8(path.substr(pos, slash - pos));
            std::optional<std::uint64_t> next;
            for (std::uint64_t c : children(at))
                if (parser->entries[c].hasName && parser->entries[c].name == part) {
                    next = c;
                    break;
                }
            if (!next) return std::nullopt;
            at = *next;
            pos = slash + 1;
        }
        return at;
    }
};

}  // namespace dravonel::test
