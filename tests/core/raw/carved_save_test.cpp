#include "core/raw/carved_save.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "raw_test_support.h"
#include "support/sha256_digest.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

std::vector<std::uint8_t> patternedImage(std::int64_t bytes) {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>((i * 7 + i / 512) & 0xFF);
    // Clear sector starts so only planted signatures match.
    for (std::size_t s = 0; s < img.size(); s += 512) img[s] = img[s + 1] = 0;
    return img;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& img, std::int64_t at, std::int64_t n) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(n), 0);
    for (std::int64_t i = 0; i < n && at + i < static_cast<std::int64_t>(img.size()); ++i) out[i] = img[at + i];
    return out;
}

void tickAll(CarveRun& run) { run.tree.setCheck(run.engine.rootItem(), true); }

class CarvedSaving : public ::testing::Test {
protected:
    void SetUp() override { out_ = makeTempDir("carved-save"); }
    void TearDown() override { fs::remove_all(out_); }
    fs::path out_;
    StopFlag stop_{0};

    std::vector<fs::path> writtenFiles() const {
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(out_))
            if (e.is_regular_file()) files.push_back(fs::relative(e.path(), out_));
        std::sort(files.begin(), files.end());
        return files;
    }
};

TEST_F(CarvedSaving, WholeMiBsThenTheRestRoundedUpToSectors) {
    auto img = patternedImage(4 * kMiB);
    plant(img, 4096, {'A', 'B'});
    plant(img, 2 * kMiB, {'L', 'G'});
    CarveRun run(img, {{.ext = "ab", .start = {'A', 'B'}, .approx = 1000, .category = "Small"},
                       {.ext = "lg", .start = {'L', 'G'}, .approx = kMiB + 1000, .category = "Large"}});
    run.run();
    tickAll(run);
    ScriptedPrompt prompt;
    RecordingSink sink;
    const auto summary = saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, &sink, &prompt, nullptr);
    EXPECT_EQ(summary.saved, 2);
    EXPECT_EQ(writtenFiles(), (std::vector<fs::path>{"RAW RECOVERY/Large (1)/2097152 .lg", "RAW RECOVERY/Small (1)/4096 .ab"}));
    EXPECT_EQ(readFileBytes(out_ / "RAW RECOVERY/Small (1)/4096 .ab"), slice(img, 4096, 1024));  // 1000 -> 1024
    EXPECT_EQ(readFileBytes(out_ / "RAW RECOVERY/Large (1)/2097152 .lg"), slice(img, 2 * kMiB, kMiB + 1024));
    EXPECT_EQ(sink.statuses, (std::vector<std::u16string>{u"Saving File: 4096 .ab", u"Saving File: 2097152 .lg",
                                                          u"Saving Finished"}));
    EXPECT_EQ(sink.ranges.back(), (std::pair<std::int64_t, std::int64_t>{0, 2}));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"work done"});
}

TEST_F(CarvedSaving, UnreadableSectorsAloneAreLostCountedAndSaid) {
    auto img = patternedImage(4 * kMiB);
    plant(img, 4096, {'L', 'G'});
    CarveRun run(img, {{.ext = "lg", .start = {'L', 'G'}, .approx = kMiB + 1000, .category = "Large"}});
    run.run();
    ASSERT_EQ(run.engine.found().size(), 1u);
    // One sector in the first MiB, one in the rest; a third past the saved length.
    const std::vector<SectorRange> bad{{4096 / 512 + 3, 1}, {(4096 + kMiB) / 512 + 1, 1}, {(4096 + 2 * kMiB) / 512, 1}};
    FaultyMemoryReadSeek failing(img, bad);
    failing.open("");
    tickAll(run);
    ScriptedPrompt prompt;
    const auto summary = saveCheckedCarvedItems(run.engine, failing, run.tree, out_, stop_, nullptr, &prompt, nullptr);
    EXPECT_EQ(summary.saved, 0);
    EXPECT_EQ(summary.damaged, 1);
    EXPECT_EQ(summary.unreadableSectors, 2u);
    auto want = slice(img, 4096, kMiB + 1024);
    for (const std::int64_t s : std::vector<std::int64_t>{3 * 512, kMiB + 512}) std::fill(want.begin() + s, want.begin() + s + 512, 0);
    EXPECT_EQ(readFileBytes(out_ / "RAW RECOVERY/Large (1)/4096 .lg"), want);
    EXPECT_EQ(prompt.messages, (std::vector<std::u16string>{u"1 file saved with 2 unreadable sectors written as zeros",
                                                            u"work done"}));
}

TEST_F(CarvedSaving, CopyStopsAtTheVolumesEnd) {
    // The approximate size reaches 2 MiB past the start; only the half MiB the volume
    // still holds is the file's, so nothing past the source is written.
    auto img = patternedImage(kMiB + kMiB / 2);
    plant(img, kMiB, {'A', 'B'});
    CarveRun run(img, {{.ext = "ab", .start = {'A', 'B'}, .approx = 2 * kMiB + 100}});
    run.run();
    ASSERT_EQ(run.engine.found().size(), 1u);
    EXPECT_EQ(saveCarvedItem(run.engine, *run.reader, run.tree, run.engine.found()[0].item, out_, stop_, nullptr, nullptr),
              CarvedSaveResult::Saved);
    EXPECT_EQ(readFileBytes(carvedItemPath(run.tree, run.engine.found()[0].item, out_)), slice(img, kMiB, kMiB / 2));
}

TEST_F(CarvedSaving, OnlyTickedItemsAndFailuresThatLeaveNoFile) {
    auto img = patternedImage(8 * 512);
    plant(img, 0, {'A', 'B'});
    plant(img, 512, {'A', 'B'});
    plant(img, 1024, {'Z', 'Z'});
    CarveRun run(img, {{.ext = "ab", .start = {'A', 'B'}, .approx = 10}, {.ext = "z", .start = {'Z', 'Z'}, .approx = 0}});
    run.run();
    // A file whose size comes out as 0 (approx 0) is not listed.
    ASSERT_EQ(run.engine.found().size(), 2u);
    ScriptedPrompt prompt;
    // Nothing ticked: nothing saved.
    EXPECT_EQ(saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, nullptr, &prompt, nullptr).saved, 0);
    EXPECT_TRUE(writtenFiles().empty());

    // A target that cannot be created; an item whose data is outside the found list is skipped.
    run.tree.setCheck(run.engine.found()[0].item, true);
    run.tree.setCheck(run.engine.found()[1].item, true);
    run.tree.setItemData(run.engine.found()[1].item, 99);
    // A plain file where the category folder belongs: the target cannot be made.
    const fs::path target = carvedItemPath(run.tree, run.engine.found()[0].item, out_);
    fs::create_directories(target.parent_path().parent_path());
    std::ofstream(target.parent_path()) << "in the way";
    prompt.messages.clear();
    const auto summary = saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, nullptr, &prompt, nullptr);
    EXPECT_EQ(summary.saved, 0);
    EXPECT_EQ(summary.failed, 1);
    EXPECT_EQ(prompt.messages, (std::vector<std::u16string>{u"File could not be opened..", u"work done"}));
    EXPECT_EQ(writtenFiles().size(), 1u) << "only the file planted in the way";
}

TEST_F(CarvedSaving, StopEndsTheWalkAfterTheCurrentFile) {
    auto img = patternedImage(8 * 512);
    plant(img, 0, {'A', 'B'});
    plant(img, 512, {'A', 'B'});
    CarveRun run(img, {{.ext = "ab", .start = {'A', 'B'}, .approx = 10}});
    run.run();
    tickAll(run);
    struct StopOnFirstFile final : ScanSink {
        StopFlag* stop;
        void setRange(std::int64_t, std::int64_t) override {}
        void setPosition(std::int64_t) override {}
        void status(std::u16string_view text) override {
            if (text.starts_with(u"Saving File: ")) stop->store(1);
        }
    } sink;
    sink.stop = &stop_;
    const auto summary = saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, &sink, nullptr, nullptr);
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(summary.saved, 1);
    EXPECT_EQ(writtenFiles(), (std::vector<fs::path>{"RAW RECOVERY/Cat (2)/0 .ab"}));
}

TEST_F(CarvedSaving, TextsFromASignatureFileNeverLeaveTheOutputFolder) {
    auto img = patternedImage(4 * 512);
    plant(img, 0, {'A', 'B'});
    CarveRun run(img, {{.ext = "/../", .start = {'A', 'B'}, .approx = 10, .category = "../../.."}});
    run.run();
    tickAll(run);
    EXPECT_EQ(saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, nullptr, nullptr, nullptr).saved, 1);
    EXPECT_EQ(writtenFiles(), (std::vector<fs::path>{"RAW RECOVERY/.._.._.. (1)/0 ._.._"}));
}

// The fixture image: real files at known offsets (tests/fixtures/raw_carve.json).
class CarvingFixture : public CarvedSaving {
protected:
    static std::vector<RuleSpec> rules() {
        return {
            {.ext = "jpg", .start = {0xFF, 0xD8, 0xFF}, .end = {0xFF, 0xD9}, .approx = 1000000, .category = "Pictures"},
            {.ext = "png", .start = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A},
             .end = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}, .approx = 2000000, .category = "Pictures"},
            {.ext = "gif", .start = {0x47, 0x49, 0x46, 0x38, 0x2A, 0x61}, .approx = 300000, .category = "Pictures"},
            {.ext = "bmp", .start = {0x42, 0x4D, 0x2A, 0x2A, 0x2A, 0x2A, 0, 0, 0, 0}, .approx = 64 * kMiB,
             .category = "Pictures", .sizeOffset = 2, .sizeBytes = 4, .header = 54, .includesHeader = true},
            {.ext = "pdf", .start = {0x25, 0x50, 0x44, 0x46, 0x2D}, .end = {0x25, 0x25, 0x45, 0x4F, 0x46},
             .approx = 400000, .category = "Documents"},
            {.ext = "zip", .start = {0x50, 0x4B, 0x03, 0x04}, .approx = 500000, .category = "Archives"},
        };
    }
    nlohmann::json manifest() const {
        std::ifstream in(fixturePath("raw_carve.json"));
        return nlohmann::json::parse(in);
    }
};

TEST_F(CarvingFixture, EveryPlantedFileIsFoundAtItsTrueSizeAndSavedByteExact) {
    // JPEG, PNG, GIF, BMP, PDF and ZIP: each measured from its own structure, so each
    // ends exactly where it ends, ending signatures anywhere in a sector or none.
    const auto m = manifest();
    const auto img = fixtureBytes("raw_carve.img");
    ASSERT_EQ(static_cast<std::int64_t>(img.size()), m["bytes"].get<std::int64_t>());
    CarveRun run(img, rules());
    run.run();
    ASSERT_EQ(run.engine.found().size(), m["files"].size());
    tickAll(run);
    const auto summary = saveCheckedCarvedItems(run.engine, *run.reader, run.tree, out_, stop_, nullptr, nullptr, nullptr);
    EXPECT_EQ(summary.saved, 8);
    std::int64_t written = 0, truth = 0;
    for (const auto& f : m["files"]) {
        const std::int64_t at = f["offset"];
        const auto it = std::find_if(run.engine.found().begin(), run.engine.found().end(),
                                     [&](const FoundFile& x) { return x.start == at; });
        ASSERT_NE(it, run.engine.found().end()) << f["name"];
        EXPECT_EQ(it->size, f["length"].get<std::int64_t>()) << f["name"];
        EXPECT_FALSE(it->sizeEstimated) << f["name"];
        const std::string name = toUtf8(run.tree.getItemText(it->item));
        EXPECT_EQ(name, std::to_string(at) + " ." + f["type"].get<std::string>());
        const auto saved = readFileBytes(carvedItemPath(run.tree, it->item, out_));
        EXPECT_EQ(sha256Hex(std::string_view(reinterpret_cast<const char*>(saved.data()), saved.size())),
                  f["sha256"].get<std::string>())
            << name;
        written += static_cast<std::int64_t>(saved.size());
        truth += f["length"].get<std::int64_t>();
    }
    EXPECT_EQ(written, truth);
    std::vector<std::string> categories;
    for (TreeItem c = run.tree.firstChild(run.engine.rootItem()); c != kNoItem; c = run.tree.nextSibling(c))
        categories.push_back(toUtf8(run.tree.getItemText(c)));
    EXPECT_EQ(categories, (std::vector<std::string>{"Pictures (6)", "Documents (1)", "Archives (1)"}));
}

TEST_F(CarvingFixture, UnknownTypesFallBackToTheirEndTheNextFileOrTheirApproxSize) {
    // The same image with the extensions renamed, so no structure is followed: each file
    // is cut at its ending signature (now seen at any byte), the next recognised file or
    // its approx size, marked estimated, and saved rounded up to whole sectors.
    const auto m = manifest();
    const auto img = fixtureBytes("raw_carve.img");
    auto specs = rules();
    for (auto& r : specs) r.ext = "u" + r.ext.substr(0, 3);
    CarveRun run(img, specs);
    run.run();
    std::map<std::string, std::int64_t> offset, length;
    for (const auto& f : m["files"]) {
        offset[f["name"]] = f["offset"];
        length[f["name"]] = f["length"];
    }
    auto found = [&](const std::string& file) {
        const auto it = std::find_if(run.engine.found().begin(), run.engine.found().end(),
                                     [&](const FoundFile& x) { return x.start == offset[file]; });
        EXPECT_NE(it, run.engine.found().end()) << file;
        return *it;
    };
    // jpg1's first FF D9 comes after its own entropy data here (it has no thumbnail); an
    // ending signature decides the size of a type without a known structure.
    EXPECT_EQ(found("jpg1").size, length["jpg1"]);
    EXPECT_FALSE(found("jpg1").sizeEstimated);
    EXPECT_EQ(found("png").size, length["png"]);
    EXPECT_EQ(found("pdf").size, length["pdf"] - 1);  // "%%EOF" without its line end
    EXPECT_EQ(found("bmp1").size, length["bmp1"]);     // its size field
    EXPECT_FALSE(found("bmp1").sizeEstimated);
    EXPECT_EQ(found("gif").size, 300000);              // nothing recognised before its approx size
    EXPECT_EQ(found("zip").size, 500000);
    EXPECT_TRUE(found("zip").sizeEstimated);
    EXPECT_EQ(savedLength(run.engine, found("jpg1")), length["jpg1"]);
    EXPECT_EQ(savedLength(run.engine, found("zip")), (500000 + 511) / 512 * 512);
}

}  // namespace
}  // namespace dravonel::test
