// The HFS+ parser on the volume of an xorriso hybrid image (tools/make_ext_hfs_fixtures.sh),
// and on copies of it whose catalog and files were spread over more extents than the
// records themselves hold.
#include <gtest/gtest.h>

#include <set>

#include "core/fs/hfsplus/hfsplus_scan_parser.h"
#include "core/fs/volume_test_support.h"

namespace dravonel::test {
namespace {

constexpr std::uint32_t kBlock = 2048;  // the fixture's allocation block

void putBe16(std::vector<std::uint8_t>& b, std::uint64_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v >> 8);
    b[at + 1] = std::uint8_t(v);
}
void putBe32(std::vector<std::uint8_t>& b, std::uint64_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (24 - 8 * i));
}

std::unique_ptr<ScannedVolume> scanBytes(std::vector<std::uint8_t> bytes, RecoveryMode mode = RecoveryMode::Standard) {
    auto v = std::make_unique<ScannedVolume>(std::move(bytes), u"HFS+", makeHfsScanParser, 2);
    v->run(mode);
    return v;
}

HFSP& hfs(ScannedVolume& v) { return static_cast<HfsScanParser&>(*v.parser).parser(); }

// Checks every item of the manifest against a listing and saves every file.
void expectManifest(ScannedVolume& v, const std::string& prefix = "") {
    const auto listing = v.listing();
    const auto manifest = loadManifest("hfsplus_files.json");
    for (const auto& it : manifest["items"]) {
        const std::string path = prefix + it["path"].get<std::string>();
        ASSERT_EQ(listing.count(path), 1u) << path;
        const EntryRef ref = listing.at(path);
        EXPECT_EQ(v.parser->isFolder(ref), it["kind"] == "dir") << path;
        if (it["kind"] != "file") continue;
        RecordingWriter w;
        EXPECT_EQ(v.save(ref, w), SaveStatus::Saved) << path;
        EXPECT_EQ(w.sha256(), it["sha256"].get<std::string>()) << path;
        const EntryTimes t = v.parser->times(ref);
        ASSERT_TRUE(t.modified) << path;
        EXPECT_EQ(t.modified->tv_sec, it["mtime"].get<std::int64_t>()) << path;
    }
}

TEST(HfsPlusStandard, ListsSavesAndDatesEveryItemOfTheVolume) {
    auto v = scanBytes(fixtureBytes("hfsplus_files.img"));
    EXPECT_EQ(v->sink.statuses.back(), u"Work Done.");
    expectManifest(*v);
    const auto listing = v->listing();
    EXPECT_EQ(listing.size(), loadManifest("hfsplus_files.json")["items"].size());
    // Children of a folder come in descending catalog ID order.
    std::vector<EntryRef> kids;
    v->parser->forEachChild(listing.at("Folder A/Folder B"), [&](EntryRef c) {
        kids.push_back(c);
        return true;
    });
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_GT(kids[0], kids[1]);
    // Dates count from 1904 (TZ=UTC in the tests): 2021-03-04 05:06:07.
    const EntryTexts t = v->parser->texts(listing.at("top.txt"));
    EXPECT_EQ(t.modified, u"03/04/2021  05:06 AM");
    EXPECT_EQ(t.attributes, u"-Owner:W-Owner:R-OR-GR");
    EXPECT_EQ(t.size, u"10 Bytes");
}

TEST(HfsPlusDeep, FindsEveryRecordOnTheVolumeAndGroupsThemUnderTheOrphanFolder) {
    auto v = scanBytes(fixtureBytes("hfsplus_files.img"), RecoveryMode::Deep);
    EXPECT_EQ(v->sink.statuses.back(), u"Work Done.");
    const auto listing = v->listing();
    ASSERT_EQ(listing.count("ORPHAN_ENTRY"), 1u);
    std::set<std::u16string> files;
    for (const auto& [path, ref] : listing) {
        if (path.rfind("ORPHAN_ENTRY/", 0) != 0 || v->parser->isFolder(ref)) continue;
        files.insert(v->parser->name(ref));
        RecordingWriter w;
        EXPECT_EQ(v->save(ref, w), SaveStatus::Saved) << path;
    }
    EXPECT_EQ(files, (std::set<std::u16string>{u"top.txt", u"long.txt", u"deep.txt", u"multi.bin",
                                               u"Gru\u0308\u00dfe.txt"}));
    // A file whose folder record was found is in that folder (files went into the folder
    // of the nearest lower ID before), and nothing is shown twice: the tree's top holds
    // only ORPHAN_ENTRY (the root folder's files were shown at the top as well).
    for (const char* path : {"ORPHAN_ENTRY/Folder C/deep.txt", "ORPHAN_ENTRY/Folder B/multi.bin",
                             "ORPHAN_ENTRY/HFSFILES/top.txt", "ORPHAN_ENTRY/HFSFILES/long.txt"})
        EXPECT_EQ(listing.count(path), 1u) << path;
    std::vector<std::u16string> top;
    for (TreeItem c = v->tree.firstChild(v->tree.root()); c != kNoItem; c = v->tree.nextSibling(c))
        if (!v->tree.isPlaceholder(c)) top.push_back(v->tree.getItemText(c));
    EXPECT_EQ(top, std::vector<std::u16string>{u"ORPHAN_ENTRY"});
}

TEST(HfsPlusExtents, ACatalogAndAFileBeyondTheirRecordsExtentsAreReadAlongTheOverflowRecords) {
    auto bytes = fixtureBytes("hfsplus_files.img");
    auto clean = scanBytes(bytes);
    HFSP& h = hfs(*clean);
    ASSERT_EQ(h.catalogFork.extents.size(), 1u);
    ASSERT_EQ(h.extentsFork.extents.size(), 1u);
    const std::uint32_t catStart = h.catalogFork.extents[0].start;
    const std::uint32_t catBlocks = h.catalogFork.extents[0].count;
    ASSERT_EQ(catBlocks, 4u);
    const HfsEntry* multi = h.entry(static_cast<std::uint32_t>(clean->listing().at("Folder A/Folder B/multi.bin")));
    ASSERT_TRUE(multi && multi->extents.size() == 1 && multi->extents[0].count > 9);
    // Three free blocks appended to the volume: two for the catalog's second half, one
    // for a second extents-file node.
    const std::uint32_t movedCatalog = static_cast<std::uint32_t>(bytes.size() / kBlock);
    const std::uint32_t extentsNode = movedCatalog + 2;
    bytes.resize(std::size_t(movedCatalog + 3) * kBlock + 1048576, 0);
    putBe32(bytes, 1024 + 0x2C, movedCatalog + 3);  // total blocks

    // The catalog's second half moves away, named only by an overflow record.
    std::copy_n(bytes.begin() + std::size_t(catStart + 2) * kBlock, 2 * kBlock,
                bytes.begin() + std::size_t(movedCatalog) * kBlock);
    std::fill_n(bytes.begin() + std::size_t(catStart + 2) * kBlock, 2 * kBlock, 0);
    const std::size_t header = 1024;
    putBe32(bytes, header + 0x110 + 0x10 + 4, 2);  // the header's one extent now holds 2 blocks
    // The extents file grows a second node, in a block of its own.
    putBe32(bytes, header + 0xC0 + 0x00 + 4, 2 * kBlock);  // logical size (low half)
    putBe32(bytes, header + 0xC0 + 0x0C, 2);
    putBe32(bytes, header + 0xC0 + 0x10 + 8, extentsNode);
    putBe32(bytes, header + 0xC0 + 0x10 + 12, 1);
    const std::uint64_t extHeader = std::uint64_t(h.extentsFork.extents[0].start) * kBlock;
    putBe32(bytes, extHeader + 14 + 22, 2);  // total nodes
    // The leaf: two records, the catalog's (file 4 from block 2) and multi.bin's (its one
    // extent cut into eight one-block extents in the catalog record and the rest here).
    const std::uint64_t leaf = std::uint64_t(extentsNode) * kBlock;
    bytes[leaf + 8] = 0xFF;
    bytes[leaf + 9] = 1;
    putBe16(bytes, leaf + 10, 2);
    auto record = [&](std::uint64_t at, std::uint32_t fileId, std::uint32_t startBlock, std::uint32_t block,
                      std::uint32_t count) {
        putBe16(bytes, at, 10);
        putBe32(bytes, at + 4, fileId);
        putBe32(bytes, at + 8, startBlock);
        putBe32(bytes, at + 12, block);
        putBe32(bytes, at + 16, count);
    };
    record(leaf + 14, 4, 2, movedCatalog, 2);
    const std::uint32_t s = multi->extents[0].start, n = multi->extents[0].count;
    record(leaf + 14 + 76, multi->id, 8, s + 8, n - 8);
    putBe16(bytes, leaf + kBlock - 2, 14);
    putBe16(bytes, leaf + kBlock - 4, 14 + 76);
    // multi.bin's catalog record: eight extents of one block each. The record sits in the
    // moved node now.
    const std::uint64_t recordAt = multi->nodePosition - std::uint64_t(catStart + 2) * kBlock +
                                   std::uint64_t(movedCatalog) * kBlock + multi->recordOffset;
    const std::uint16_t keyLength = std::uint16_t((bytes[recordAt] << 8) | bytes[recordAt + 1]);
    const std::uint64_t extents = recordAt + 2 + keyLength + 0x58 + 0x10;
    ASSERT_EQ(bytes[recordAt + 2 + keyLength + 1], 2);  // a file record
    for (std::uint32_t i = 0; i < 8; ++i) {
        putBe32(bytes, extents + 8 * i, s + i);
        putBe32(bytes, extents + 8 * i + 4, 1);
    }

    auto v = scanBytes(std::move(bytes));
    EXPECT_EQ(hfs(*v).catalogFork.extents.size(), 2u);
    expectManifest(*v);
}

TEST(HfsPlusCorruption, DamagedTreesAbortOrEndAndMissingBlocksAreDamage) {
    const auto clean = fixtureBytes("hfsplus_files.img");
    {
        auto bytes = clean;
        putBe32(bytes, 1024 + 0x28, 1000);  // block size not a power of two
        auto v = scanBytes(std::move(bytes));
        EXPECT_EQ(v->sink.statuses.back(), u"Work Aborted....");
        EXPECT_TRUE(v->listing().empty());
    }
    {
        auto bytes = clean;
        putBe32(bytes, 1024 + 0x28, 1000);
        auto v = scanBytes(std::move(bytes), RecoveryMode::Deep);
        EXPECT_NE(std::find(v->sink.statuses.begin(), v->sink.statuses.end(), u"BlockSize not valid .Aborting.."),
                  v->sink.statuses.end());
    }
    {
        // The kind byte of the catalog's header node damaged: the walk still takes the
        // node size and count from its header record (the whole scan was aborted).
        auto bytes = clean;
        auto scanned = scanBytes(bytes);
        const std::uint64_t catalog = std::uint64_t(hfs(*scanned).catalogFork.extents.at(0).start) * kBlock;
        ASSERT_EQ(bytes[catalog + 8], 1);  // the header's kind
        bytes[catalog + 8] = 0x7F;
        auto v = scanBytes(std::move(bytes));
        EXPECT_EQ(v->sink.statuses.back(), u"Work Done.");
        expectManifest(*v);
    }
    {
        auto bytes = clean;
        putBe32(bytes, 2048 + 14 + 22, 0xFFFFFFFF);  // a catalog of four billion nodes
        auto v = scanBytes(std::move(bytes));
        EXPECT_EQ(v->listing().size(), loadManifest("hfsplus_files.json")["items"].size());
    }
    {
        auto bytes = clean;
        auto scanned = scanBytes(bytes);
        const HfsEntry* e = hfs(*scanned).entry(static_cast<std::uint32_t>(scanned->listing().at("long.txt")));
        ASSERT_TRUE(e);
        // The record claims more blocks than its extents hold and no overflow record has them.
        const std::uint64_t rec = e->nodePosition + e->recordOffset;
        const std::uint16_t keyLength = std::uint16_t((bytes[rec] << 8) | bytes[rec + 1]);
        const std::uint64_t fork = rec + 2 + keyLength + 0x58;
        const std::uint32_t count = e->extents[0].count;
        putBe32(bytes, fork + 0x10 + 4, count - 3);
        auto v = scanBytes(std::move(bytes));
        RecordingWriter w;
        EXPECT_EQ(v->save(v->listing().at("long.txt"), w), SaveStatus::Damaged);
        EXPECT_EQ(w.bytes.size(), 1320000u);
        EXPECT_EQ(w.unreadable, 1320000u - std::uint64_t(count - 3) * kBlock);
    }
}

TEST(HfsPlusCli, ListAndRecoverThroughTheRegistryInBothModes) {
    const std::string image = fixturePath("hfsplus_files.img").string();
    for (const char* mode : {"standard", "deep"}) {
        const CliResult list = runCli({"list", image, "--fs", "hfs+", "--mode", mode});
        ASSERT_EQ(list.exitCode, 0) << list.err;
        EXPECT_NE(list.out.find("long.txt"), std::string::npos) << mode;
    }
    const auto dir = makeTempDir("hfs-recover");
    const CliResult rec = runCli({"recover", image, "--fs", "HFS+", "--out", dir.string()});
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    const auto bytes = readFileBytes(dir / "Folder A" / "Folder B" / "multi.bin");
    EXPECT_EQ(bytes.size(), 150000u);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace dravonel::test
