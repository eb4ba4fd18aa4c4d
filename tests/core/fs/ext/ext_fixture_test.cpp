// The ext2/3/4 parser on images made by tools/make_ext_hfs_fixtures.sh (mke2fs -d, then
// a loop mount for an unwritten file and a deletion); each image's manifest was taken
// from a read-only mount of the finished image.
#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>

#include "core/common/time_convert.h"
#include "core/fs/ext/ext_scan_parser.h"
#include "core/fs/volume_test_support.h"

namespace dravonel::test {
namespace {

std::unique_ptr<ScannedVolume> scanImage(const std::string& image) {
    auto v = std::make_unique<ScannedVolume>(fixtureBytes(image + ".img"), u"extX", makeExtScanParser);
    v->run();
    return v;
}

class ExtImage : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtImage, ListingHoldsEveryFolderFileAndLinkOfTheVolumeAndNothingElse) {
    auto scanned = scanImage(GetParam());
    ScannedVolume& v = *scanned;
    EXPECT_EQ(v.outcome.kind, ScanOutcome::Kind::Completed);
    const auto listing = v.listing();
    const auto manifest = loadManifest(std::string(GetParam()) + ".json");
    std::set<std::string> expected{".", "lost+found"};
    for (const auto& it : manifest["items"]) {
        const std::string path = it["path"], kind = it["kind"];
        if (kind == "other") {  // a device node and a FIFO are not shown
            EXPECT_EQ(listing.count(path), 0u) << path;
            continue;
        }
        expected.insert(path);
        ASSERT_EQ(listing.count(path), 1u) << path;
        const EntryRef ref = listing.at(path);
        EXPECT_EQ(v.parser->isFolder(ref), kind == "dir") << path;
        if (kind != "dir") {
            EXPECT_EQ(v.parser->sizeBytes(ref), it["size"].get<std::uint64_t>()) << path;
        }
    }
    for (const auto& deleted : manifest["deleted"]) EXPECT_EQ(listing.count(deleted.get<std::string>()), 0u);
    // Live entries are exactly the volume's; what the journal brings back is flagged
    // deleted (here only Docs/gone.txt, its name gone with the entry the kernel wiped) and
    // holds that file's bytes.
    std::set<std::string> listed;
    for (const auto& [path, ref] : listing) {
        if (path == "ORPHAN_ENTRY") continue;
        if (v.parser->isDeleted(ref)) {
            EXPECT_EQ(path.rfind("ORPHAN_ENTRY/", 0), 0u) << path;
            RecordingWriter w;
            EXPECT_EQ(v.save(ref, w), SaveStatus::Saved) << path;
            EXPECT_EQ(std::string(w.bytes.begin(), w.bytes.end()), "to be deleted\n") << path;
            continue;
        }
        listed.insert(path);
    }
    EXPECT_EQ(listed, expected);
    // The tree's top level: ROOT, checked, with the root folder's children.
    const TreeItem root = v.tree.root();
    EXPECT_EQ(v.tree.getItemText(root), u"ROOT");
    EXPECT_TRUE(v.tree.getCheck(root));
}

TEST_P(ExtImage, EveryFileAndLinkSavesByteForByteWithItsTimes) {
    auto scanned = scanImage(GetParam());
    ScannedVolume& v = *scanned;
    const auto listing = v.listing();
    const auto manifest = loadManifest(std::string(GetParam()) + ".json");
    int saved = 0;
    for (const auto& it : manifest["items"]) {
        const std::string path = it["path"], kind = it["kind"];
        if (kind != "file" && kind != "link") continue;
        if (path.rfind("many/", 0) == 0 && path != "many/entry_5000.txt") continue;  // one of the 5,000 will do
        const EntryRef ref = listing.at(path);
        RecordingWriter w;
        EXPECT_EQ(v.save(ref, w), SaveStatus::Saved) << path;
        EXPECT_EQ(w.unreadable, 0u) << path;
        EXPECT_EQ(w.bytes.size(), it["size"].get<std::size_t>()) << path;
        EXPECT_EQ(w.sha256(), it["sha256"].get<std::string>()) << path;
        const EntryTimes t = v.parser->times(ref);
        ASSERT_TRUE(t.modified && t.accessed) << path;
        EXPECT_EQ(t.modified->tv_sec, it["mtime"].get<std::int64_t>()) << path;
        ++saved;
    }
    EXPECT_GE(saved, 11);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExtImage, ::testing::Values("ext4_4k", "ext4_1k", "ext2_1k", "ext2_4k"));

TEST(ExtImageDetails, HolesAndUnwrittenExtentsAreHolesNotDamage) {
    auto scanned = scanImage("ext4_4k");
    ScannedVolume& v = *scanned;
    const auto listing = v.listing();
    const struct {
        const char* path;
        std::uint64_t minimumHoles;
    } cases[] = {{"sparse.bin", (1u << 20) + (1u << 20) - 8192}, {"unwritten.bin", 65536}, {"fragmented.bin", 11 * 4096}};
    for (const auto& c : cases) {
        RecordingWriter w;
        EXPECT_EQ(v.save(listing.at(c.path), w), SaveStatus::Saved) << c.path;
        EXPECT_GE(w.holes, c.minimumHoles) << c.path;
        EXPECT_EQ(w.unreadable, 0u) << c.path;
    }
}

TEST(ExtImageDetails, FileListTextsShowTimesAndPermissions) {
    auto scanned = scanImage("ext4_4k");
    ScannedVolume& v = *scanned;  // TZ=UTC in the test environment
    const auto listing = v.listing();
    const EntryTexts t = v.parser->texts(listing.at("hello.txt"));
    EXPECT_EQ(t.modified, u"03/04/2021  05:06 AM");
    EXPECT_EQ(t.accessed, u"03/04/2021  05:06 AM");
    EXPECT_EQ(t.attributes, u"-OR-GR-UW-UR");  // 0644
    EXPECT_EQ(t.size, u"10 Bytes");
    EXPECT_FALSE(t.created.empty());
    EXPECT_EQ(v.parser->texts(listing.at("Docs")).attributes, u"-OE-OR-GE-GR-UE-UW-UR");  // 0755
}

TEST(ExtImageDetails, TheFolderOfFiveThousandEntriesListsThemAllInKeyOrder) {
    auto scanned = scanImage("ext4_4k");
    ScannedVolume& v = *scanned;
    const auto listing = v.listing();
    std::vector<EntryRef> children;
    v.parser->forEachChild(listing.at("many"), [&](EntryRef c) {
        children.push_back(c);
        return true;
    });
    ASSERT_EQ(children.size(), 5000u);
    EXPECT_TRUE(std::is_sorted(children.begin(), children.end()));
    // The last group is partial (1024 of 2048 blocks) and holds inodes of this folder.
    auto& ext = static_cast<ExtScanParser&>(*v.parser).parser();
    ASSERT_TRUE(ext.superblock);
    EXPECT_EQ(ext.groupCount, 6u);
    EXPECT_EQ(ext.superblock->descSize, 64u);
    EXPECT_GT(children.back() / ext.superblock->inodesPerGroup, 4u);
}

TEST(ExtImageDetails, AScanThroughTheRegistryListsRecoversAndSearchesFromTheCommandLine) {
    const std::string image = fixturePath("ext4_1k.img").string();
    const CliResult list = runCli({"list", image, "--fs", "EXTX"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("Docs/nested/deeper/deep.txt"), std::string::npos);
    const CliResult found = runCli({"search", image, "--fs", "extx", "--pattern", "deep"});
    ASSERT_EQ(found.exitCode, 0) << found.err;
    EXPECT_NE(found.out.find("deep.txt"), std::string::npos);
    const auto dir = makeTempDir("ext-recover");
    const CliResult rec = runCli({"recover", image, "--fs", "extX", "--out", dir.string()});
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    const auto manifest = loadManifest("ext4_1k.json");
    for (const auto& it : manifest["items"]) {
        if (it["kind"] != "file") continue;
        const auto path = dir / std::filesystem::path(fromUtf8(it["path"].get<std::string>()));
        const auto bytes = readFileBytes(path);
        EXPECT_EQ(sha256Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())),
                  it["sha256"].get<std::string>())
            << path;
        struct stat st{};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mtime, it["mtime"].get<std::int64_t>()) << path;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace dravonel::test
