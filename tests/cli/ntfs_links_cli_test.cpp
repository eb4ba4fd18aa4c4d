// An NTFS file with several names (hard links) is listed and saved under every name in
// every folder that names it: before, it came out once, under the name of one link and the
// folder of another (tools/make_ntfs_link_fixture.sh).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

namespace fs = std::filesystem;

TEST(NtfsLinksCli, EveryNameOfAFileIsListedAndSavedInItsFolder) {
    std::ifstream in(test::fixturePath("ntfs_links.json"));
    const auto manifest = nlohmann::json::parse(in);
    const std::string image = test::fixturePath("ntfs_links.img").string();
    const auto listed = test::runCli({"list", image, "--fs", "ntfs"});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    for (const auto& f : manifest["files"])
        EXPECT_NE(listed.out.find("\t" + f["path"].get<std::string>() + "\n"), std::string::npos) << f["path"];
    const fs::path dir = test::makeTempDir("ntfs-links");
    const auto saved = test::runCli({"recover", image, "--fs", "ntfs", "--out", (dir / "out").string()});
    EXPECT_EQ(saved.exitCode, 0) << saved.err;
    for (const auto& f : manifest["files"])
        EXPECT_EQ(test::sha256Hex(test::fileText(dir / "out" / f["path"].get<std::string>())),
                  f["sha256"].get<std::string>())
            << f["path"];
    fs::remove_all(dir);
}

}  // namespace
}  // namespace dravonel
