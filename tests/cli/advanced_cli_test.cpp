// The advanced road on the command line: `copies` lists what the search finds, and list,
// recover and search rebuild the tree from a chosen copy (--mode advanced with --copy,
// --sectors-per-cluster, --heap-copy and --formatted), over the real accident fixtures.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <set>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

namespace fs = std::filesystem;
using test::runCli;

nlohmann::json manifest(const std::string& name) {
    std::ifstream in(test::fixturePath(name + ".json"));
    return nlohmann::json::parse(in);
}

std::string image(const std::string& name) { return test::fixturePath(name + ".img").string(); }

TEST(AdvancedCli, CopiesListsEachCopyWithItsOffsetAndTheClusterSizes) {
    const auto text = runCli({"copies", image("fat32_formatted_card"), "--fs", "fat32"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("FAT32 volume G0 at sector 0\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("0\t16384\t"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("sectors per cluster: 1 (default)"), std::string::npos) << text.out;

    const auto json = runCli({"copies", image("exfat_formatted_card"), "--fs", "exfat", "--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    const auto geometry = manifest("exfat_formatted_card")["geometry"];
    EXPECT_EQ(j["fileSystem"], "exFAT");
    ASSERT_FALSE(j["copies"].empty());
    EXPECT_EQ(j["copies"][0]["offset"], geometry["fatOffset"]);
    EXPECT_EQ(j["copies"][0]["row"], "FAT64_ENTRY:0");
    ASSERT_FALSE(j["heaps"].empty());
    EXPECT_EQ(j["heaps"][0]["offset"], geometry["heapOffset"]);
    // Cluster sizes are said in sectors, the boot sector's first (shift 3: 8 sectors).
    EXPECT_EQ(j["sectorsPerCluster"][0], 1 << geometry["clusterShift"].get<int>());

    // The MFT's own copy, never its mirror or the NTFS image stored as a file.
    const auto ntfs = runCli({"copies", image("ntfs_wrong_mft"), "--fs", "ntfs", "--json"});
    ASSERT_EQ(ntfs.exitCode, 0) << ntfs.err;
    const auto n = nlohmann::json::parse(ntfs.out);
    ASSERT_EQ(n["copies"].size(), 1u);
    EXPECT_EQ(n["copies"][0]["offset"], manifest("ntfs_wrong_mft")["mft_offset"]);
}

// recover --mode advanced brings back the files of each accident: all byte-exact at their
// paths where the folders were found (NTFS, the zeroed FAT16 boot sector), and at least
// nine in ten by name and content on the formatted cards and the card whose photo folder
// was deleted whole.
TEST(AdvancedCli, RecoverBringsBackTheFilesOfEachAccident) {
    struct Case {
        const char* name;
        std::vector<std::string> volume;
        bool atTheirPaths;
        double share;
    };
    const Case cases[] = {
        {"fat32_formatted_card", {"--fs", "fat32", "--formatted"}, false, 0.9},
        {"exfat_formatted_card", {"--fs", "exfat"}, false, 0.9},
        // A card whose photo folder was deleted whole: its files by name and content.
        {"fat_deleted_folder", {"--fs", "fat32"}, false, 0.9},
        {"fat16_zeroed_boot", {"--fs", "fat16"}, true, 1.0},
        {"ntfs_wrong_mft", {"--fs", "ntfs"}, true, 1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = test::makeTempDir("advanced-cli");
        std::vector<std::string> args{"recover", image(c.name), "--mode", "advanced", "--out", (dir / "out").string()};
        args.insert(args.end(), c.volume.begin(), c.volume.end());
        const auto r = runCli(args);
        // Files read on past what the FAT vouches for are said "possibly incomplete": such
        // a save is not a clean one.
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << r.err;
        std::set<std::string> saved;
        for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
            if (e.is_regular_file())
                saved.insert(e.path().filename().string() + "\t" + test::sha256Hex(test::fileText(e.path())));
        }
        const auto files = manifest(c.name)["files"];
        std::size_t back = 0;
        for (const auto& f : files) {
            const fs::path rel = f["path"].get<std::string>();
            const std::string sha = f["sha256"].get<std::string>();
            const bool ok = c.atTheirPaths ? fs::exists(dir / "out" / rel) &&
                                                 test::sha256Hex(test::fileText(dir / "out" / rel)) == sha
                                           : saved.count(rel.filename().string() + "\t" + sha) != 0;
            back += ok;
            if (c.share >= 1.0) {
                EXPECT_TRUE(ok) << rel;
            }
        }
        EXPECT_GE(double(back), c.share * double(files.size())) << back << " of " << files.size();
        fs::remove_all(dir);
    }
}

TEST(AdvancedCli, ChoicesThatCannotBeMetAreSaid) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* said;
    };
    const std::string fat32 = image("fat32_formatted_card");
    const std::string ntfs = image("ntfs_wrong_mft");
    const Case cases[] = {
        {{"list", fat32, "--fs", "fat32", "--copy", "1"}, 2, "give --mode advanced"},
        {{"list", fat32, "--fs", "fat32", "--mode", "advanced", "--heap-copy", "0"}, 2, "--heap-copy is for exFAT"},
        {{"list", ntfs, "--fs", "ntfs", "--mode", "advanced", "--formatted"}, 2, "--formatted is for FAT12/16/32"},
        {{"list", fat32, "--fs", "fat32", "--mode", "advanced", "--sectors-per-cluster", "3"}, 2, "a power of two"},
        {{"list", image("ext2_tiny"), "--fs", "extX", "--mode", "advanced"}, 2, "the advanced road is for NTFS"},
        {{"list", fat32, "--fs", "fat32", "--mode", "advanced", "--copy", "7"}, 1, "--copy 7: the search found 2"},
        // A cluster size that leads nowhere: said, never an empty success.
        {{"list", ntfs, "--fs", "ntfs", "--mode", "advanced", "--copy", "0", "--sectors-per-cluster", "64"}, 1,
         "nothing recovered"},
    };
    for (const Case& c : cases) {
        const auto r = runCli(c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace dravonel
