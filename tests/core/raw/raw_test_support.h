#pragma once
// Helpers of the raw recovery tests: signature entries from a short description, and a
// carve over an in-memory image.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/device/sector_reader.h"
#include "core/raw/carving_engine.h"
#include "core/raw/signature_record.h"
#include "core/model/tri_state_tree.h"
#include "support/test_support.h"

namespace dravonel::test {

constexpr std::int64_t kMiB = 1048576;

struct RuleSpec {
    std::string ext = "x";
    std::vector<std::uint8_t> start{};
    std::vector<std::uint8_t> end{};
    std::int64_t approx = 0;
    std::string category = "Cat";
    std::int32_t sizeOffset = -1;
    std::int32_t sizeBytes = 0;
    std::int32_t header = 0;
    bool includesHeader = false;
    std::int64_t skip = 0;
};

inline SignatureRecord makeRecord(const RuleSpec& s) {
    SignatureRecord r;
    r.extension = u16(s.ext.substr(0, 4));
    r.extensionLength = static_cast<std::uint8_t>(s.ext.size());
    std::copy(s.start.begin(), s.start.end(), r.startSignature.begin());
    r.startLength = static_cast<std::uint8_t>(s.start.size());
    std::copy(s.end.begin(), s.end.end(), r.endSignature.begin());
    r.endLength = static_cast<std::uint8_t>(s.end.size());
    r.offsetToSizeBytes = s.sizeOffset;
    r.bytesInSize = s.sizeBytes;
    r.headerSize = s.header;
    r.sizeIncludesHeader = s.includesHeader ? 1 : 0;
    r.approxFileSize = s.approx;
    r.sizeToSkip = s.skip;
    r.category = u16(s.category);
    return r;
}

// Test names from the cases' descriptions.
template <class Case> std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string out;
    for (const char ch : std::string(info.param.name)) out += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return out;
}

inline void plant(std::vector<std::uint8_t>& image, std::int64_t at, const std::vector<std::uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + at);
}

// One carve over an image held in memory.
struct CarveRun {
    std::unique_ptr<MemoryReadSeek> reader;
    CTriStateTree tree;
    myJpg engine;
    RecordingSink sink;
    ScriptedPrompt prompt;
    bool result = false;

    CarveRun(std::vector<std::uint8_t> image, const std::vector<RuleSpec>& rules, std::int64_t volumeSize = -1) {
        const std::int64_t bytes = static_cast<std::int64_t>(image.size());
        reader = std::make_unique<MemoryReadSeek>(std::move(image));
        tree.initialise();
        tree.triStatePropagation = true;
        for (std::size_t i = 0; i < rules.size(); ++i)
            engine.signatures.push_back(SignatureEntry{makeRecord(rules[i]), static_cast<std::int64_t>(i)});
        engine.reader = reader.get();
        engine.volumeSize = volumeSize >= 0 ? volumeSize : bytes;
        engine.tree = &tree;
        engine.sink = &sink;
        engine.prompt = &prompt;
    }
    CarveRun& run() {
        result = engine.carve();
        return *this;
    }
    // (start, size) of every found file, in found-list order.
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges() const {
        std::vector<std::pair<std::int64_t, std::int64_t>> out;
        for (const auto& f : engine.found()) out.emplace_back(f.start, f.size);
        return out;
    }
    std::string itemText(std::size_t i) const { return toUtf8(tree.getItemText(engine.found()[i].item)); }
};

}  // namespace dravonel::test
