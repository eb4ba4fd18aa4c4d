// Every container of the HFS+ MBR disk reads on the command line as the raw disk does:
// the same volume row, the same files saved; its segment files are guarded as the source.
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

TEST(ContainerCli, EveryContainerListsAndSavesLikeItsRawDisk) {
    std::ifstream in(test::fixturePath("hfsplus_files.json"));
    const auto files = nlohmann::json::parse(in)["items"];
    const auto raw = test::runCli({"partitions", test::fixturePath("hfs_mbr_disk.img").string()});
    ASSERT_EQ(raw.exitCode, 0) << raw.err;
    for (const char* image : {"container_ewf.E01", "container.vhd", "container_fixed.vhd", "container.vhdx",
                              "container.vmdk", "container.qcow2", "container_split.001"}) {
        SCOPED_TRACE(image);
        const auto rows = test::runCli({"partitions", test::fixturePath(image).string()});
        EXPECT_EQ(rows.exitCode, 0) << rows.err;
        EXPECT_EQ(rows.out, raw.out);
        const fs::path dir = test::makeTempDir("container-cli");
        const auto r = test::runCli(
            {"recover", test::fixturePath(image).string(), "--volume", "0", "--out", (dir / "out").string()});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        for (const auto& item : files) {
            if (item["kind"] != "file") continue;
            EXPECT_EQ(test::sha256Hex(fileText(dir / "out" / item["path"].get<std::string>())),
                      item["sha256"].get<std::string>())
                << item["path"];
        }
        fs::remove_all(dir);
    }
}

TEST(ContainerCli, ADamagedSetIsNamedAndAFolderHoldingItsSegmentsIsRefused) {
    const fs::path dir = test::makeTempDir("container-set");
    for (const char* f : {"container_ewf.E01", "container_ewf.E02", "container_ewf.E03", "container_ewf.E04"})
        fs::copy_file(test::fixturePath(f), dir / f);
    // The folder that holds the set (a later segment included) takes no output.
    const auto refused = test::runCli({"recover", (dir / "container_ewf.E01").string(), "--volume", "0", "--out",
                                       dir.string()});
    EXPECT_EQ(refused.exitCode, 2);  // refused before anything is read
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4) << refused.err;
    // A segment gone: said with the path, never read as zeros.
    fs::remove(dir / "container_ewf.E03");
    const auto damaged = test::runCli({"partitions", (dir / "container_ewf.E01").string()});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.err.find((dir / "container_ewf.E01").string()), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find("incomplete"), std::string::npos) << damaged.err;
    // A child without its parent names the parent it looked for.
    fs::copy_file(test::fixturePath("container_child.qcow2"), dir / "container_child.qcow2");
    const auto orphan = test::runCli({"partitions", (dir / "container_child.qcow2").string()});
    EXPECT_EQ(orphan.exitCode, 1);
    EXPECT_NE(orphan.err.find("parent image container.qcow2 is not beside it"), std::string::npos) << orphan.err;
    fs::remove_all(dir);
}

TEST(ContainerCli, VerifyComparesTheStoredHashWithTheMediaReadBack) {
    std::ifstream in(test::fixturePath("container_fixtures.json"));
    const auto manifest = nlohmann::json::parse(in);
    const auto good = test::runCli({"verify", test::fixturePath("container_ewf.E01").string()});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_NE(good.out.find("MD5\tstored " + manifest["md5"].get<std::string>() + "\tcomputed " +
                            manifest["md5"].get<std::string>() + "\tmatched"),
              std::string::npos)
        << good.out;
    EXPECT_NE(good.out.find("Notes:\tacquired for the tests"), std::string::npos) << good.out;
    // One byte of media changed in a segment: never "matched".
    const fs::path dir = test::makeTempDir("container-verify");
    for (const char* f : {"container_ewf.E01", "container_ewf.E02", "container_ewf.E03", "container_ewf.E04"})
        fs::copy_file(test::fixturePath(f), dir / f);
    {
        std::fstream f(dir / "container_ewf.E02", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(300000);
        const char byte = 0x42;
        f.write(&byte, 1);
    }
    const auto bad = test::runCli({"verify", (dir / "container_ewf.E01").string()});
    EXPECT_EQ(bad.exitCode, 1) << bad.out << bad.err;
    EXPECT_EQ(bad.out.find("\tmatched"), std::string::npos) << bad.out;
    // A container that keeps no hash has nothing to verify.
    const auto none = test::runCli({"verify", test::fixturePath("container.qcow2").string()});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("stores no hash"), std::string::npos) << none.err;
    fs::remove_all(dir);
}

}  // namespace
}  // namespace dravonel
