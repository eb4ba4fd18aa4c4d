#include "core/raw/carving_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "raw_test_support.h"

namespace dravonel::test {
namespace {

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

const std::vector<std::uint8_t> kAB = {0xAA, 0xBB};
const std::vector<std::uint8_t> kEnd = {0xCC, 0xDD};

std::vector<std::uint8_t> image(std::int64_t bytes) { return std::vector<std::uint8_t>(static_cast<std::size_t>(bytes), 0); }

TEST(CarvingMatch, WildcardsOneByteSignaturesAndSectorStartsOnly) {
    auto img = image(8 * 512);
    plant(img, 0, {'A', 'B', 'C'});
    plant(img, 512, {'A', 'x', 'C'});
    plant(img, 1024, {'A', 'B', 'D'});
    plant(img, 1536 + 7, {'A', 'B', 'C'});  // not at a sector start
    for (std::int64_t s = 0; s < 8; ++s) img[s * 512 + 100] = 'Q';
    plant(img, 2048, {'Q'});
    CarveRun run(img, {{.ext = "abc", .start = {'A', 0x2A, 'C'}, .approx = 100}, {.ext = "q", .start = {'Q'}, .approx = 5}});
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{0, 100}, {512, 100}}));
}

TEST(CarvingMatch, FirstTableEntryWinsAndStartsComeBeforeEnds) {
    auto img = image(4 * 512);
    plant(img, 0, {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x06, 0x00});
    plant(img, 512, {0x50, 0x4B, 0x03, 0x04, 0x0A, 0x00});
    plant(img, 1024, {0xEE, 0xFF});  // start of "s", end of "e"
    CarveRun run(img, {
                          {.ext = "docx", .start = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x06, 0x00}, .approx = 10},
                          {.ext = "zip", .start = {0x50, 0x4B, 0x03, 0x04}, .approx = 20},
                          {.ext = "e", .start = {0x11, 0x22}, .end = {0xEE, 0xFF}, .approx = 30},
                          {.ext = "s", .start = {0xEE, 0xFF}, .approx = 40},
                      });
    run.run();
    ASSERT_EQ(run.ranges(), (Ranges{{0, 10}, {512, 20}, {1024, 40}}));
    EXPECT_EQ(run.itemText(0), "0 .docx");
    EXPECT_EQ(run.itemText(1), "512 .zip");
}

TEST(CarvingEnds, ANewStartClosesTheOpenFileAndTheEndClosesTheNewOne) {
    auto img = image(8 * 512);
    plant(img, 0, kAB);
    plant(img, 1024, kAB);
    plant(img, 2048 + 37, kEnd);  // anywhere in a sector
    CarveRun run(img, {{.ext = "x", .start = kAB, .end = kEnd, .approx = 5000}});
    run.run();
    // Files never overlap: the first is cut where the second starts (its size is then
    // estimated); the end closes the second, its size counting the ending signature.
    ASSERT_EQ(run.ranges(), (Ranges{{0, 1024}, {1024, 2048 + 37 + 2 - 1024}}));
    EXPECT_TRUE(run.engine.found()[0].sizeEstimated);
    EXPECT_FALSE(run.engine.found()[1].sizeEstimated);
    EXPECT_EQ(run.itemText(0), "0 .x");
    EXPECT_EQ(run.itemText(1), "2048 .x");  // named after the sector of the end match
}

TEST(CarvingEnds, EndsAcrossABlockBoundaryAndTheNextFileOfAnyType) {
    auto img = image(3 * kMiB);
    plant(img, 0, kAB);
    plant(img, kMiB - 1, kEnd);       // straddles blocks 0 and 1
    plant(img, kMiB + 4096, kAB);
    plant(img, kMiB + 8192, {'G', 'G'});  // another type: closes the open file
    plant(img, kMiB + 9000, kEnd);        // after the cut: not this file's end
    CarveRun run(img, {{.ext = "x", .start = kAB, .end = kEnd, .approx = 2 * kMiB},
                       {.ext = "g", .start = {'G', 'G'}, .approx = 100}});
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{0, kMiB + 1}, {kMiB + 4096, 4096}, {kMiB + 8192, 100}}));
}

struct PendingCase {
    const char* name;
    std::vector<std::int64_t> starts;
    std::vector<std::int64_t> ends;
    std::int64_t approx;
    Ranges expected;
};

class CarvingPending : public ::testing::TestWithParam<PendingCase> {};

TEST_P(CarvingPending, PairsAndFinishes) {
    const PendingCase& c = GetParam();
    auto img = image(32 * 512);
    for (auto s : c.starts) plant(img, s, kAB);
    for (auto e : c.ends) plant(img, e, kEnd);
    CarveRun run(img, {{.start = kAB, .end = kEnd, .approx = c.approx}});
    run.run();
    EXPECT_EQ(run.ranges(), c.expected) << c.name;
}

const PendingCase kPendingCases[] = {
    // The last one ends at the volume's end (32 sectors), not past it.
    {"unfinished starts end at the next start", {0, 512, 2048}, {}, 100000, {{0, 512}, {512, 1536}, {2048, 16384 - 2048}}},
    {"the next start beyond approx is capped", {0, 4096}, {}, 1000, {{0, 1000}, {4096, 1000}}},
    {"end match capped by approx", {0}, {8192}, 100, {{0, 100}}},
    {"end match without approx keeps its size", {0}, {8192}, 0, {{0, 8194}}},
    {"end without a start does nothing", {1024}, {512}, 50, {{1024, 50}}},
    {"end at any byte after the start", {0}, {1030}, 5000, {{0, 1032}}},
    {"approx reached before an unaligned end", {0}, {1030}, 700, {{0, 700}}},
    {"end inside the start's own sector", {512}, {512 + 2}, 5000, {{512, 4}}},
    {"approx 0 finishes nothing", {0, 512}, {}, 0, {}},
};
INSTANTIATE_TEST_SUITE_P(Queues, CarvingPending, ::testing::ValuesIn(kPendingCases), caseName<PendingCase>);

TEST(CarvingEnds, EachEntryKeepsItsOwnQueueWhateverItsIndex) {
    // A default file's entries and a user file's are both indexed from 0, and a list can
    // hold more than 128 entries: an end closes only a start of its own entry.
    auto img = image(16 * 512);
    plant(img, 0, {'D', 'S'});
    plant(img, 512, {'U', 'S'});
    plant(img, 1024, {'U', 'E'});
    plant(img, 1536, {'H', 'S'});
    plant(img, 2048, {'H', 'E'});
    std::vector<RuleSpec> rules = {{.ext = "d", .start = {'D', 'S'}, .end = {'D', 'E'}, .approx = 100}};
    for (int i = 0; i < 150; ++i) rules.push_back({.ext = "f", .start = {'F', std::uint8_t(i)}, .approx = 1});
    rules.push_back({.ext = "hi", .start = {'H', 'S'}, .end = {'H', 'E'}, .approx = 100000});
    rules.push_back({.ext = "u", .start = {'U', 'S'}, .end = {'U', 'E'}, .approx = 100000});
    CarveRun run(img, rules);
    run.engine.signatures.back().index = 0;  // the user file's first record
    run.run();
    // DS at 0 is cut at 512 (its approx 100 is less) by the next file, US.
    EXPECT_EQ(run.ranges(), (Ranges{{0, 100}, {512, 1024 + 2 - 512}, {1536, 2048 + 2 - 1536}}));
}

struct SizeFieldCase {
    const char* name;
    std::int32_t width;
    std::int32_t header;
    bool includes;
    std::int64_t approx;
    std::uint32_t stored;
    Ranges expected;
};

class CarvingSizeField : public ::testing::TestWithParam<SizeFieldCase> {};

TEST_P(CarvingSizeField, RecordsByTheField) {
    const SizeFieldCase& c = GetParam();
    auto img = image(16 * 512);
    plant(img, 1024, {'B', 'M', std::uint8_t(c.stored), std::uint8_t(c.stored >> 8), std::uint8_t(c.stored >> 16),
                      std::uint8_t(c.stored >> 24)});
    CarveRun run(img, {{.ext = "bmp", .start = {'B', 'M'}, .approx = c.approx, .sizeOffset = 2, .sizeBytes = c.width,
                        .header = c.header, .includesHeader = c.includes}});
    run.run();
    EXPECT_EQ(run.ranges(), c.expected) << c.name;
}

const SizeFieldCase kSizeFieldCases[] = {
    {"4-byte field that counts the header", 4, 54, true, 1 << 20, 3000, {{1024, 3000}}},
    {"header added when not counted", 4, 8, false, 1 << 20, 3000, {{1024, 3008}}},
    {"2-byte field records nothing", 2, 0, true, 1 << 20, 3000, {}},
    {"8-byte field records nothing", 8, 0, true, 1 << 20, 3000, {}},
    {"approx 0 records nothing", 4, 0, true, 0, 3000, {}},
    {"size above approx records nothing", 4, 0, true, 2999, 3000, {}},
    {"size 0 records nothing", 4, 0, true, 1 << 20, 0, {}},
};
INSTANTIATE_TEST_SUITE_P(Fields, CarvingSizeField, ::testing::ValuesIn(kSizeFieldCases), caseName<SizeFieldCase>);

TEST(CarvingSkips, SizeFieldFileIsSteppedOverAcrossBlocks) {
    // A 3 MiB file starting 1 KiB before the end of block 0: the walk goes on at the first
    // sector after it (in block 3), sees nothing inside it and reads no block it covers.
    auto img = image(6 * kMiB);
    const std::int64_t at = kMiB - 1024;
    const std::uint32_t size = 3 * kMiB + 100;
    plant(img, at, {'B', 'M', std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(size >> 16), std::uint8_t(size >> 24)});
    plant(img, 2 * kMiB, {'G', 'I'});  // inside the file
    const std::int64_t after = (at + size + 511) / 512 * 512;
    plant(img, after, {'G', 'I'});
    CarveRun run(img, {{.ext = "bmp", .start = {'B', 'M'}, .approx = 10 * kMiB, .sizeOffset = 2, .sizeBytes = 4,
                        .includesHeader = true},
                       {.ext = "gif", .start = {'G', 'I'}, .approx = 77}});
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{at, size}, {after, 77}}));
    EXPECT_EQ(run.engine.blocksRead(), 4);  // blocks 0, 3, 4, 5
}

TEST(CarvingSkips, SkipWhileParsingCarriesPastTheBlock) {
    auto img = image(4 * kMiB);
    const std::int64_t at = kMiB - 512;
    const std::int64_t skip = kMiB + 700;  // rounded down to whole sectors: 1 MiB + 512
    plant(img, at, {'M', 'P'});
    plant(img, at + 512, {'Z', 'Z'});          // skipped
    plant(img, at + kMiB, {'Z', 'Z'});          // skipped
    plant(img, at + kMiB + 512, {'Z', 'Z'});    // the first sector after the skip
    plant(img, at + kMiB + 1024, {'Z', 'Z'});   // a skip of one sector or less steps one sector
    plant(img, 3 * kMiB, {'M', 'P'});
    CarveRun run(img, {{.ext = "mp3", .start = {'M', 'P'}, .approx = 9, .skip = skip},
                       {.ext = "z", .start = {'Z', 'Z'}, .approx = 1, .skip = 512}});
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{at, 9}, {at + kMiB + 512, 1}, {at + kMiB + 1024, 1}, {3 * kMiB, 9}}));
    // The second mp3's skip runs past the end of the volume without trouble.
}

TEST(CarvingWalk, RemainderAfterTheWholeBlocksAndNothingBeyondTheVolume) {
    auto img = image(2 * kMiB);
    plant(img, kMiB + 1024, {'A', 'B'});       // in the remainder (volume = 1 MiB + 1536)
    plant(img, kMiB + 1536, {'A', 'B'});       // just past the volume's end
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4}}, kMiB + 1536);
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{kMiB + 1024, 4}}));
    EXPECT_EQ(run.engine.blocksRead(), 2);
}

TEST(CarvingWalk, UnreadableBlocksAreNotWalkedAgain) {
    // A volume larger than the source: the blocks past its end deliver nothing and must
    // not show the last block's signatures again at new offsets.
    auto img = image(kMiB);
    plant(img, 4096, {'A', 'B'});
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4}}, 3 * kMiB + 512);
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{4096, 4}}));
}

TEST(CarvingWalk, ABlockWithUnreadableSectorsIsWalkedAgainAtTheEndForWhatCanBeRead) {
    // A failing disk: the second MiB holds 8 unreadable sectors and, away from them, a
    // file start that the first pass cannot see (its block failed whole).
    auto img = image(3 * kMiB);
    plant(img, 4096, {'A', 'B'});
    plant(img, kMiB + 4096, {'A', 'B'});
    plant(img, 2 * kMiB + 4096, {'A', 'B'});
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4}});
    auto failing = std::make_unique<FaultyMemoryReadSeek>(img, std::vector<SectorRange>{{2048 + 100, 8}});
    run.engine.reader = failing.get();
    run.reader = std::move(failing);
    run.run();
    // The third MiB is walked before the failed block comes back.
    EXPECT_EQ(run.ranges(), (Ranges{{4096, 4}, {2 * kMiB + 4096, 4}, {kMiB + 4096, 4}}));
    EXPECT_EQ(run.engine.unreadableSectors(), 8);
    EXPECT_NE(std::find(run.sink.statuses.begin(), run.sink.statuses.end(), u"unreadable sectors: 8"),
              run.sink.statuses.end());
}

TEST(CarvingWalk, OffsetsAreRelativeToTheReadersBase) {
    auto img = image(3 * kMiB);
    plant(img, kMiB + 2048, {'A', 'B'});
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4}}, kMiB);
    run.reader->baseOffset = kMiB;
    run.run();
    ASSERT_EQ(run.ranges(), (Ranges{{2048, 4}}));
    EXPECT_EQ(run.itemText(0), "2048 .x");
}

TEST(CarvingTree, RootCategoriesCountsAndItemData) {
    auto img = image(16 * 512);
    plant(img, 0, {'J', 'P'});
    plant(img, 512, {'D', 'O'});
    plant(img, 1024, {'J', 'P'});
    plant(img, 1536, {'T', 'I'});
    plant(img, 2048, {'J', 'P'});
    // Categories A, B, A: the third rule's files belong under A's item, not B's.
    CarveRun run(img, {{.ext = "jpg", .start = {'J', 'P'}, .approx = 1, .category = "Pictures"},
                       {.ext = "doc", .start = {'D', 'O'}, .approx = 1, .category = "Documents"},
                       {.ext = "tif", .start = {'T', 'I'}, .approx = 1, .category = "Pictures"},
                       {.ext = "none", .start = {'N', 'O'}, .approx = 1, .category = "Empty"}});
    bool rootExpanded = false;
    run.tree.onItemExpanded = [&](TreeItem item, int v) { rootExpanded = item == run.engine.rootItem() && v == 1; };
    run.run();
    const CTriStateTree& t = run.tree;
    const TreeItem root = t.root();
    EXPECT_EQ(root, run.engine.rootItem());
    EXPECT_EQ(t.getItemText(root), u"RAW RECOVERY ");
    EXPECT_TRUE(rootExpanded);
    std::vector<std::string> categories;
    for (TreeItem c = t.firstChild(root); c != kNoItem; c = t.nextSibling(c)) {
        EXPECT_EQ(t.image(c), ItemImage::Folder);
        categories.push_back(toUtf8(t.getItemText(c)));
    }
    EXPECT_EQ(categories, (std::vector<std::string>{"Pictures (4)", "Documents (1)", "Empty"}));
    std::vector<std::string> pictures;
    for (TreeItem c = t.firstChild(t.firstChild(root)); c != kNoItem; c = t.nextSibling(c)) {
        EXPECT_EQ(t.image(c), ItemImage::File);
        const auto& f = run.engine.found()[t.itemData(c)];
        EXPECT_EQ(f.item, c);
        pictures.push_back(toUtf8(t.getItemText(c)) + "@" + std::to_string(f.start));
    }
    EXPECT_EQ(pictures, (std::vector<std::string>{"0 .jpg@0", "1024 .jpg@1024", "1536 .tif@1536", "2048 .jpg@2048"}));
    EXPECT_EQ(run.engine.categoryCounts().at(u"Pictures"), 4);
}

TEST(CarvingTree, SignatureTextsThatCouldLeaveTheFolderAreMadeSafe) {
    auto img = image(4 * 512);
    plant(img, 0, {'A', 'B'});
    CarveRun run(img, {{.ext = "a/b", .start = {'A', 'B'}, .approx = 1, .category = "../../etc\x01"}});
    run.run();
    ASSERT_EQ(run.engine.found().size(), 1u);
    EXPECT_EQ(run.itemText(0), "0 .a_b");
    EXPECT_EQ(toUtf8(run.tree.getItemText(run.tree.firstChild(run.engine.rootItem()))), ".._.._etc_ (1)");
}

TEST(CarvingProgress, RangesPositionsAndTheFinalMessage) {
    CarveRun run(image(3 * kMiB + 512), {});
    run.run();
    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.sink.ranges, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1000}, {0, 3}}));
    EXPECT_EQ(run.sink.positions, (std::vector<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(run.prompt.messages, std::vector<std::u16string>{kCarveDoneText});
    EXPECT_TRUE(run.engine.found().empty());
}

// Sets the engine's stop flag when the walk reports a given block.
struct StopAtBlock final : ScanSink {
    myJpg* engine = nullptr;
    std::int64_t block = 0;
    void setRange(std::int64_t, std::int64_t) override {}
    void setPosition(std::int64_t pos) override {
        if (pos == block) engine->stopFlag.store(1);
    }
    void status(std::u16string_view) override {}
};

TEST(CarvingStop, StopEndsTheWalkAndKeepsWhatWasFound) {
    auto img = image(4 * kMiB);
    for (std::int64_t k = 0; k < 4; ++k) plant(img, k * kMiB + 512, {'A', 'B'});
    plant(img, kMiB + 4096, {'P', 'P'});  // open file: finished after the stop, at the volume's end
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4},
                       {.ext = "p", .start = {'P', 'P'}, .end = {'E', 'E'}, .approx = 10 * kMiB}});
    StopAtBlock stopper;
    stopper.engine = &run.engine;
    stopper.block = 2;
    run.engine.sink = &stopper;
    run.run();
    EXPECT_EQ(run.ranges(), (Ranges{{512, 4}, {kMiB + 512, 4}, {kMiB + 4096, 3 * kMiB - 4096}}));
    EXPECT_EQ(run.engine.blocksRead(), 2);
    EXPECT_EQ(run.prompt.messages, std::vector<std::u16string>{kCarveDoneText});

    // Stop after a match inside a block: the rest of the block is not walked.
    auto img2 = image(kMiB);
    plant(img2, 0, {'S', 'T'});     // recorded at the next sector, where its approx size ends
    plant(img2, 1024, {'A', 'B'});
    CarveRun run2(img2, {{.start = {'S', 'T'}, .approx = 1}, {.start = {'A', 'B'}, .approx = 4}});
    run2.tree.onInserted = [&run2](TreeItem item) {
        if (run2.tree.image(item) == ItemImage::File) run2.engine.stopFlag.store(1);
    };
    run2.run();
    EXPECT_EQ(run2.ranges(), (Ranges{{0, 1}}));
}

TEST(CarvingPause, WaitsAtTheBlockCheckPoint) {
    auto img = image(2 * kMiB);
    plant(img, 0, {'A', 'B'});
    CarveRun run(img, {{.start = {'A', 'B'}, .approx = 4}});
    WorkerControl control;
    run.engine.control = &control;
    control.pause();
    std::thread worker([&] { run.run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(run.reader->readCalls, 0);
    control.resume();
    worker.join();
    EXPECT_EQ(run.ranges(), (Ranges{{0, 4}}));
}

}  // namespace
}  // namespace dravonel::test
