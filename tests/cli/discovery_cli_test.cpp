#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace dravonel {
namespace {

TEST(DiscoveryCli, PartitionsPrintsTheFourColumns) {
    const auto r = test::runCli({"partitions", test::fixturePath("mbr_disk.img").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "G0\tNTFS\t8   MB\t2048\n"
              "G1\tFAT16\t33   MB\t18432\n"
              "G2\tFAT64\t8   MB\t88064\n"
              "G3\textX\t8   MB\t106496\n"
              "G4\tFAT32\t40   MB\t124928\n");
    EXPECT_EQ(r.err, "");  // no progress bar when stderr is not a terminal
}

TEST(DiscoveryCli, PartitionsJsonOnGpt) {
    const auto r = test::runCli({"partitions", test::fixturePath("gpt_disk.img").string(), "--gpt", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 5u);
    EXPECT_EQ(j[3]["fileSystem"], "extX");  // a GPT entry named by the superblock it holds
    EXPECT_EQ(j[3]["sizeMbText"], "7");
    EXPECT_EQ(j[4]["fileSystem"], "HFS+");
    EXPECT_EQ(j[4]["startSector"], 165888);
    EXPECT_EQ(j[0]["name"], "G0");
}

TEST(DiscoveryCli, DeepScanWithRange) {
    const auto r = test::runCli({"deep-scan", test::fixturePath("mbr_disk.img").string(), "--no-skip",
                                 "--start-sector", "16384", "--end-sector", "16384"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "0\tNTFS\t7   MB\t2048\n");  // the backup in range names the true start
}

struct ExitCase {
    std::vector<std::string> args;
    int exitCode;
    const char* stderrHas;
};
class DiscoveryCliExit : public ::testing::TestWithParam<ExitCase> {};
TEST_P(DiscoveryCliExit, ReportsFailuresAndUsageErrors) {
    const auto r = test::runCli(GetParam().args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
    EXPECT_NE(r.err.find(GetParam().stderrHas), std::string::npos) << r.err;
    if (GetParam().exitCode == 1) { EXPECT_EQ(r.out, ""); }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, DiscoveryCliExit,
    ::testing::Values(ExitCase{{"partitions", "/nonexistent/disk.img"}, 1,
                               "cannot open /nonexistent/disk.img: No such file or directory"},
                      ExitCase{{"deep-scan", "/nonexistent/disk.img"}, 1, "/nonexistent/disk.img: No such file"},
                      ExitCase{{"partitions"}, 2, "SOURCE"},
                      ExitCase{{"deep-scan", "x", "--start-sector", "-5"}, 2, "start-sector"},
                      ExitCase{{"no-such-command"}, 2, ""}));

}  // namespace
}  // namespace dravonel
