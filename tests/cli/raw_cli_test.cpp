// dravonel-cli carve and signature add, over the carving fixture image.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

nlohmann::json manifest() {
    std::ifstream in(fixturePath("raw_carve.json"));
    return nlohmann::json::parse(in);
}

std::string image() { return fixturePath("raw_carve.img").string(); }

std::map<std::string, nlohmann::json> byStart(const nlohmann::json& files) {
    std::map<std::string, nlohmann::json> out;
    for (const auto& f : files) out[std::to_string(f["start"].get<std::int64_t>())] = f;
    return out;
}

TEST(RawCli, CarvesTheFixtureWithTheDefaultSignatures) {
    const auto m = manifest();
    const auto r = runCli({"carve", image(), "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The wizard's completion box is no result line of the command line.
    EXPECT_EQ(r.err.find("Select save button"), std::string::npos) << r.err;
    const auto found = nlohmann::json::parse(r.out);
    ASSERT_EQ(found.size(), m["files"].size()) << r.out;
    const auto starts = byStart(found);
    const std::map<std::string, std::string> category = {{"jpg", "Pictures"}, {"png", "Pictures"}, {"gif", "Pictures"},
                                                         {"bmp", "Pictures"}, {"pdf", "Documents"}, {"zip", "Archives"}};
    for (const auto& f : m["files"]) {
        const std::string at = std::to_string(f["offset"].get<std::int64_t>());
        ASSERT_TRUE(starts.count(at)) << f["name"];
        const auto& c = starts.at(at);
        EXPECT_EQ(c["category"], category.at(f["type"])) << f["name"];
        const std::string ext = f["type"];
        EXPECT_TRUE(c["name"].get<std::string>().ends_with(" ." + ext)) << c["name"];
        // Every default type here is measured from its own structure: the true size.
        EXPECT_EQ(c["size"], f["length"]) << f["name"];
        EXPECT_EQ(c["size estimated"], false) << f["name"];
    }
}

TEST(RawCli, TabSeparatedLinesAndAnArea) {
    const auto r = runCli({"carve", image(), "--start-sector", "2048", "--size-mb", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Offsets are relative to the area: the GIF at 1196032 and the PDF at 1572864 lie in
    // the second MiB; the BMP that starts before it is not seen.
    std::istringstream lines(r.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_EQ(rows[0], "Pictures\t147456 .gif\t147456\t6690");
    EXPECT_EQ(rows[1], "Documents\t524288 .pdf\t524288\t590");
}

TEST(RawCli, OutSavesEveryItemUnderItsCategory) {
    const auto m = manifest();
    const auto out = makeTempDir("raw-cli-out");
    const auto r = runCli({"carve", image(), "--out", out.string(), "--start-sector", "0", "--size-mb", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto img = fixtureBytes("raw_carve.img");
    const auto bmp = readFileBytes(out / "RAW RECOVERY" / "Pictures (5)" / "1015808 .bmp");
    ASSERT_EQ(bmp.size(), 180054u);  // exactly its size, no rounding to sectors
    EXPECT_TRUE(std::equal(bmp.begin(), bmp.end(), img.begin() + 1015808));
    EXPECT_TRUE(fs::exists(out / "RAW RECOVERY" / "Documents (1)" / "1572864 .pdf"));
    std::int64_t written = 0, truth = 0;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) written += static_cast<std::int64_t>(e.file_size());
    for (const auto& f : m["files"])
        if (f["offset"].get<std::int64_t>() < 2 * 1048576) truth += f["length"].get<std::int64_t>();
    EXPECT_EQ(written, truth);
    fs::remove_all(out);
}

TEST(RawCli, SignatureAddThenCarveWithOnlyThatFile) {
    const auto dir = makeTempDir("raw-cli-sig");
    const std::string sig = (dir / "mine.sig").string();
    auto add = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"signature", "add", sig});
        return runCli(args);
    };
    auto r = add({"--ext", "bmp", "--start", "0x42,0x4D,2A,2A,2A,2A,0,0,0,0", "--size-offset", "2", "--size-bytes", "4",
                  "--size-includes-header", "--approx", "1000000", "--category", "Bitmaps"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "everything initialized well.....\n");
    ASSERT_EQ(add({"--ext", "gif", "--start", "47,49,46,38", "--approx", "4096", "--category", "Gifs"}).exitCode, 0);
    ASSERT_EQ(add({"--ext", "pdf", "--start", "25,50,44,46", "--end", "25,25,45,4F,46", "--approx", "100",
                   "--category", "Docs"}).exitCode, 0);
    const auto bytes = readFileBytes(sig);
    ASSERT_EQ(bytes.size(), 513u);
    EXPECT_EQ(bytes[33] + bytes[171 + 33] + bytes[342 + 33], 0 + 1 + 2);

    r = add({"--ext", "", "--start", "41,42", "--category", "X"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "extention length is zero..\n");
    r = add({"--ext", "x", "--start", ",,", "--category", "X"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "signature length is zero..\n");
    EXPECT_EQ(readFileBytes(sig).size(), 513u);

    r = runCli({"carve", image(), "--no-default-signatures", "--signatures", sig, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto found = nlohmann::json::parse(r.out);
    std::multiset<std::string> names;
    for (const auto& f : found) names.insert(f["category"].get<std::string>() + "/" + f["name"].get<std::string>());
    EXPECT_EQ(names, (std::multiset<std::string>{"Bitmaps/1015808 .bmp", "Bitmaps/3153920 .bmp", "Gifs/1196032 .gif",
                                                 "Docs/1572864 .pdf"}));
    fs::remove_all(dir);
}

TEST(RawCli, FailuresAndUsageErrors) {
    const auto dir = makeTempDir("raw-cli-bad");
    std::ofstream(dir / "short.sig") << std::string(170, 'x');
    struct Case { std::vector<std::string> args; int exitCode; std::string err; };
    const std::vector<Case> cases = {
        {{"carve", image(), "--signatures", (dir / "none.sig").string()}, 1, "can not open file"},
        {{"carve", image(), "--signatures", (dir / "short.sig").string()}, 1, "not a valid file.."},
        {{"carve", (dir / "missing.img").string()}, 1, "missing.img: No such file or directory"},
        {{"carve", image(), "--start-sector", "999999"}, 2, "--start-sector 999999 is beyond the end of"},
        {{"carve", image(), "--volume", "0", "--start-sector", "1"}, 2, ""},
        {{"carve", image(), "--size-mb", "99999999999999999999"}, 2, "is not a whole number from 0 to"},
        {{"carve", dir.string()}, 2, "is a folder"},
        {{"carve", image(), "--gpt"}, 2, ""},
        {{"carve", fixturePath("mbr_disk.img").string(), "--volume", "9"}, 1, "no volume with index 9"},
        {{"signature", "add", (dir / "x.sig").string(), "--ext", "x", "--start", "41,42"}, 2, ""},
        {{"signature", "add", (dir / "x.sig").string(), "--ext", "x", "--start", "1,2,3,4,5,6,7,8,9,10,11",
          "--category", "C"}, 1, "starting signature is longer than 10 bytes.."},
        {{"signature", "add", (dir / "x.sig").string(), "--ext", "x", "--start", "41,42", "--category",
          std::string(51, 'c')}, 1, "category name is longer than 50 characters.."},
    };
    for (const auto& c : cases) {
        const auto r = runCli(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1] << " " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    fs::remove_all(dir);
}

TEST(RawCli, VolumeByIndexCarvesThatPartitionOnly) {
    // demo_disk.img: one NTFS partition at sector 2048. Its boot sector ("\xEB\x52\x90NTFS")
    // is found at 0 relative to the partition, and at 1 MiB when the whole disk is walked.
    const auto dir = makeTempDir("raw-cli-vol");
    const std::string sig = (dir / "ntfs.sig").string();
    ASSERT_EQ(runCli({"signature", "add", sig, "--ext", "boot", "--start", "EB,52,90,4E,54,46,53", "--approx", "512",
                      "--category", "Boot"}).exitCode, 0);
    auto starts = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"carve", fixturePath("demo_disk.img").string(), "--no-default-signatures",
                                         "--signatures", sig, "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = runCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::vector<std::int64_t> out;
        for (const auto& f : nlohmann::json::parse(r.out)) out.push_back(f["start"]);
        return out;
    };
    const auto inVolume = starts({"--volume", "0"});
    ASSERT_FALSE(inVolume.empty());
    EXPECT_EQ(inVolume.front(), 0);
    const auto onDisk = starts({});
    ASSERT_FALSE(onDisk.empty());
    EXPECT_EQ(onDisk.front(), 1048576);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace dravonel::test
