// The smallest ext2 volumes (under 1 MiB: their size text is "0") are read to the source's
// end, files and folders kept in their inodes are read from there, and a start that holds
// no ext superblock is said, never listed as an empty volume.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

using test::fileText;

namespace fs = std::filesystem;

// Every file of the small volumes, listed and saved byte-exact: the 104,448-byte ext2
// volume; an ext4 volume whose small files and folders live in their inodes (inline data;
// its folders listed empty and its files cut at 60 bytes before); symbolic links with an
// attribute block, saved as their target text (zeros reported damaged before).
TEST(SmallExtCli, SmallVolumesInlineDataAndLinksListAndSaveEveryFile) {
    for (const char* name : {"ext2_tiny", "ext4_inline", "ext3_links"}) {
        SCOPED_TRACE(name);
        std::ifstream in(test::fixturePath(std::string(name) + ".json"));
        const auto manifest = nlohmann::json::parse(in);
        const std::string image = test::fixturePath(std::string(name) + ".img").string();
        for (const std::vector<std::string>& volume :
             {std::vector<std::string>{"--volume", "0"}, std::vector<std::string>{"--fs", "extX"}}) {
            SCOPED_TRACE(volume[0]);
            std::vector<std::string> args{"list", image};
            args.insert(args.end(), volume.begin(), volume.end());
            const auto listed = test::runCli(args);
            EXPECT_EQ(listed.exitCode, 0) << listed.err;
            for (const auto& f : manifest["files"])
                EXPECT_NE(listed.out.find("\t" + f["path"].get<std::string>() + "\n"), std::string::npos) << listed.out;
            const fs::path dir = test::makeTempDir("ext-tiny");
            args[0] = "recover";
            args.insert(args.end(), {"--out", (dir / "out").string()});
            const auto saved = test::runCli(args);
            EXPECT_EQ(saved.exitCode, 0) << saved.err;
            for (const auto& f : manifest["files"])
                EXPECT_EQ(test::sha256Hex(fileText(dir / "out" / f["path"].get<std::string>())),
                          f["sha256"].get<std::string>())
                    << f["path"];
            fs::remove_all(dir);
        }
    }
}

TEST(SmallExtCli, AStartWithoutASuperblockIsSaidAndEndsWithOne) {
    const fs::path dir = test::makeTempDir("ext-none");
    const fs::path blank = dir / "blank.img";
    std::ofstream(blank, std::ios::binary) << std::string(2 << 20, '\0');
    const auto r = test::runCli({"list", blank.string(), "--fs", "extX"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("no extX file system at sector 0"), std::string::npos) << r.err;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace dravonel
