// list, recover and search end to end on the NTFS fixture images, checked against the
// manifest the fixture script wrote (paths, sizes, deleted marks, SHA-256 of contents).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

struct ManifestFile {
    bool folder = false;
    bool deleted = false;
    std::uint64_t size = 0;
    std::string sha256;
};

std::map<std::string, ManifestFile> manifest(const std::string& image) {
    std::ifstream in(fixturePath("ntfs_fixtures.json"));
    const auto j = nlohmann::json::parse(in);
    std::map<std::string, ManifestFile> out;
    for (const auto& f : j.at(image).at("files")) {
        ManifestFile m;
        m.folder = f.value("folder", false);
        m.deleted = f.value("deleted", false);
        m.size = f.value("size", std::uint64_t{0});
        m.sha256 = f.value("sha256", std::string());
        out[f.at("path").get<std::string>()] = m;
    }
    return out;
}

// Hard links of one record: the tree shows the record under one of its names.
bool isLinkName(const std::string& path) { return path.rfind("links/", 0) == 0; }

struct ListLine {
    char type;
    bool deleted;
    std::uint64_t size;
};

std::vector<std::pair<std::string, ListLine>> parseList(const std::string& out) {
    std::vector<std::pair<std::string, ListLine>> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string type, mark, size, path;
        std::getline(fields, type, '\t');
        std::getline(fields, mark, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, path);
        lines.push_back({path, {type.empty() ? '?' : type[0], mark == "*", std::stoull(size)}});
    }
    return lines;
}

const std::string kBasic = "ntfs_basic.img";

std::vector<std::string> basicArgs(std::vector<std::string> head) {
    head.insert(head.begin() + 1, fixturePath(kBasic).string());
    head.push_back("--fs");
    head.push_back("ntfs");
    return head;
}

TEST(VolumeCliList, EveryManifestEntryWithTypeDeletedMarkAndSize) {
    const auto r = runCli(basicArgs({"list"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = parseList(r.out);
    std::map<std::string, ListLine> byPath;
    std::set<std::string> seen;
    for (const auto& [path, line] : lines) {
        // Depth first: a folder comes before everything below it.
        const auto slash = path.rfind('/');
        if (slash != std::string::npos) { EXPECT_TRUE(seen.count(path.substr(0, slash))) << path; }
        seen.insert(path);
        byPath.emplace(path, line);
    }
    EXPECT_FALSE(byPath.count("ROOT"));
    EXPECT_TRUE(byPath.count("$MFTMirr"));
    EXPECT_FALSE(byPath.count("$MFT"));  // record 0 is never a child in the tree
    EXPECT_TRUE(byPath.count("ORPHAN_ENTRY"));
    for (const auto& [path, m] : manifest(kBasic)) {
        if (isLinkName(path)) continue;
        auto it = byPath.find(path);
        ASSERT_NE(it, byPath.end()) << path;
        EXPECT_EQ(it->second.type, m.folder ? 'D' : 'F') << path;
        EXPECT_EQ(it->second.deleted, m.deleted) << path;
        if (!m.folder) { EXPECT_EQ(it->second.size, m.size) << path; }
    }
    int links = 0;
    for (const auto& [path, line] : lines) links += isLinkName(path) ? 1 : 0;
    EXPECT_GE(links, 1);
}

TEST(VolumeCliList, JsonCarriesTheFileListTexts) {
    const auto r = runCli(basicArgs({"list", "--json"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_TRUE(j.is_array());
    const nlohmann::json* resident = nullptr;
    const nlohmann::json* deldir = nullptr;
    for (const auto& e : j) {
        for (const char* key : {"path", "type", "deleted", "size", "sizeText", "created", "accessed", "modified",
                                "attributes"})
            ASSERT_TRUE(e.contains(key)) << key;
        if (e["path"] == "resident.txt") resident = &e;
        if (e["path"] == "deldir") deldir = &e;
    }
    ASSERT_NE(resident, nullptr);
    EXPECT_EQ((*resident)["type"], "file");
    EXPECT_EQ((*resident)["size"], 300);
    EXPECT_EQ((*resident)["sizeText"], "300 Bytes");
    EXPECT_EQ((*resident)["deleted"], false);
    EXPECT_NE((*resident)["modified"], "");
    ASSERT_NE(deldir, nullptr);
    EXPECT_EQ((*deldir)["type"], "folder");
    EXPECT_EQ((*deldir)["deleted"], true);
}

// Files below out, relative path -> contents.
std::map<std::string, std::string> recovered(const fs::path& out) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) files[fs::relative(e.path(), out).string()] = fileText(e.path());
    return files;
}

// Paths the listing marks deleted (the image holds deleted files beyond the manifest's).
const std::set<std::string>& listedDeleted() {
    static const std::set<std::string> deleted = [] {
        std::set<std::string> out;
        for (const auto& [path, line] : parseList(runCli(basicArgs({"list"})).out))
            if (line.deleted) out.insert(path);
        return out;
    }();
    return deleted;
}

struct RecoverCase {
    const char* name;
    std::vector<std::string> extra;
    // Which manifest files are expected (folders are never files).
    std::function<bool(const std::string& path, const ManifestFile&)> wanted;
    bool systemFiles;  // the volume's own files ($MFT, ...) are saved too
};

void PrintTo(const RecoverCase& c, std::ostream* os) { *os << c.name; }

const RecoverCase kRecoverCases[] = {
    {"Everything", {}, [](const std::string&, const ManifestFile&) { return true; }, true},
    {"SkipDeleted", {"--skip-deleted"}, [](const std::string&, const ManifestFile& m) { return !m.deleted; }, true},
    {"OneFolderWhole", {"--path", "dir1"},
     [](const std::string& p, const ManifestFile&) { return p.rfind("dir1/", 0) == 0; }, false},
    {"TwoPaths", {"--path", "resident.txt", "--path", "deldir"},
     [](const std::string& p, const ManifestFile&) { return p == "resident.txt" || p.rfind("deldir/", 0) == 0; },
     false},
};

class VolumeCliRecover : public ::testing::TestWithParam<RecoverCase> {};

TEST_P(VolumeCliRecover, ContentsMatchTheManifestByteForByte) {
    const fs::path out = makeTempDir("cli-recover");
    std::vector<std::string> args = basicArgs({"recover", "--out", out.string()});
    for (const auto& e : GetParam().extra) args.push_back(e);
    const auto r = runCli(args);
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const auto files = recovered(out);
    std::set<std::string> expected;
    const std::string linkSha = manifest(kBasic).at("links/target.bin").sha256;
    for (const auto& [path, m] : manifest(kBasic)) {
        if (m.folder || !GetParam().wanted(path, m) || isLinkName(path)) continue;
        expected.insert(path);
        auto it = files.find(path);
        ASSERT_NE(it, files.end()) << path;
        EXPECT_EQ(it->second.size(), m.size) << path;
        EXPECT_EQ(sha256Hex(it->second), m.sha256) << path;
    }
    std::int64_t count = 0;
    for (const auto& [path, data] : files) {
        if (isLinkName(path)) {
            EXPECT_EQ(sha256Hex(data), linkSha) << path;
            ++count;
            continue;
        }
        if (expected.count(path)) {
            ++count;
            continue;
        }
        // Anything else is one of the volume's own files saved with the root, or a
        // deleted file the manifest does not name, where deleted files are wanted.
        ManifestFile deleted;
        deleted.deleted = true;
        const bool system = GetParam().systemFiles && (path[0] == '$' || path.rfind("ORPHAN_ENTRY/", 0) == 0);
        const bool unnamedDeleted = listedDeleted().count(path) && GetParam().wanted(path, deleted);
        EXPECT_TRUE(system || unnamedDeleted) << path;
        ++count;
    }
    EXPECT_FALSE(files.count("$BadClus"));
    EXPECT_NE(r.out.find("saved " + std::to_string(count) + ", damaged 0, skipped "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", failed 0\n"), std::string::npos) << r.out;
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Marks, VolumeCliRecover, ::testing::ValuesIn(kRecoverCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A memory card after a clean-up: the deleted photos come back whole, the document a later
// file wrote over is named with what happened to it, and the status says not all is well.
TEST(VolumeCliRecoverCard, DeletedPhotosWholeAndTheOverwrittenDocumentNamed) {
    const fs::path out = makeTempDir("cli-recover-card");
    const auto r = runCli({"recover", fixturePath("card_fat16.img"), "--fs", "fat16", "--out", out.string(),
                           "--path", "DCIM", "--path", "\uFFE5EPORT.DOC"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("saved 10, damaged 1, skipped 0, failed 0"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("damaged: " + (out / "\uFFE5EPORT.DOC").string() + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" bytes overwritten by other files"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("0 unreadable sectors"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(out / "DCIM/100CAMERA/\uFFE5MG_0001.JPG"));
    fs::remove_all(out);
}

TEST(VolumeCliRecoverExt, DeletedFilesComeBackFromTheJournalAtTheirPathsAndTheOverwrittenAreNamed) {
    const fs::path out = makeTempDir("cli-recover-ext-journal");
    const auto r = runCli({"recover", fixturePath("ext4_journal.img"), "--fs", "extX", "--out", out.string()});
    std::ifstream in(fixturePath("ext4_journal.json"));
    const auto j = nlohmann::json::parse(in);
    std::size_t overwritten = 0, superseded = 0;
    for (const auto& d : j.at("deleted")) {
        const std::string path = d.at("path");
        if (d.at("superseded").get<bool>()) {
            EXPECT_FALSE(fs::exists(out / path)) << path;
            ++superseded;
            continue;
        }
        ASSERT_TRUE(fs::exists(out / path)) << path;
        if (d.at("overwritten").get<bool>()) {
            ++overwritten;
            EXPECT_NE(r.err.find("damaged: " + (out / path).string() + ": "), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(sha256Hex(fileText(out / path)), d.at("sha256").get<std::string>()) << path;
        }
    }
    const std::size_t files = j.at("deleted").size() - superseded + j.at("live").size();
    EXPECT_NE(r.out.find("saved " + std::to_string(files - overwritten) + ", damaged " + std::to_string(overwritten) +
                         ", skipped 0, failed 0"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.exitCode, overwritten ? 1 : 0) << r.err;
    // Without deleted files only the live ones are saved.
    const fs::path live = makeTempDir("cli-recover-ext-live");
    const auto l = runCli({"recover", fixturePath("ext4_journal.img"), "--fs", "extX", "--out", live.string(),
                           "--skip-deleted"});
    EXPECT_EQ(l.exitCode, 0) << l.err;
    EXPECT_FALSE(fs::exists(live / "big.bin"));
    EXPECT_TRUE(fs::exists(live / "keep/large.log"));
    fs::remove_all(out);
    fs::remove_all(live);
}

TEST(VolumeCliRecoverErrors, UnknownPathFailsBeforeWriting) {
    const fs::path out = makeTempDir("cli-recover-bad");
    const auto r = runCli(basicArgs({"recover", "--out", out.string(), "--path", "no/such/file"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no/such/file"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(out));
    fs::remove_all(out);
}

TEST(VolumeCliSearch, HitsWithPathsBelowTheRoot) {
    const auto r = runCli(basicArgs({"search", "--pattern", "INSIDE|deep\\.txt$"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = parseList(r.out);
    std::map<std::string, ListLine> hits(lines.begin(), lines.end());
    ASSERT_EQ(hits.size(), 3u) << r.out;
    EXPECT_TRUE(hits.count("dir1/dir2/dir3/deep.txt"));
    ASSERT_TRUE(hits.count("deldir/inside1.txt"));
    EXPECT_TRUE(hits["deldir/inside1.txt"].deleted);
    EXPECT_EQ(hits["deldir/inside1.txt"].size, 3000u);
    EXPECT_EQ(hits["deldir/inside1.txt"].type, 'F');
}

TEST(VolumeCliSearch, JsonAndUnicodeNames) {
    const auto r = runCli(basicArgs({"search", "--pattern", "long_name_for", "--json"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["path"], "\xc3\x9cn\xc3\xaf" "c\xc3\xb8" "d\xc3\xa9_\xe5\x90\x8d\xe5\x89\x8d_\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb_with_a_long_name_for_testing_the_parser_\xce\xb1\xce\xb2\xce\xb3\xce\xb4.txt");
    EXPECT_EQ(j[0]["size"], 1234);
}

TEST(VolumeCliSearch, InvalidPatternPrintsTheMessageAndFails) {
    const auto r = runCli(basicArgs({"search", "--pattern", "*.jpg"}));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("such characters are not allowed for search.Try again with different pattern."),
              std::string::npos);
}

TEST(VolumeCliSelection, PartitionRowAndHandDescriptionGiveTheSameTree) {
    const std::string disk = fixturePath("mbr_disk.img").string();
    const auto byRow = runCli({"list", disk, "--volume", "0"});
    ASSERT_EQ(byRow.exitCode, 0) << byRow.err;
    const auto byHand = runCli({"list", disk, "--fs", "NTFS", "--start-sector", "2048", "--size-mb", "8"});
    ASSERT_EQ(byHand.exitCode, 0) << byHand.err;
    EXPECT_EQ(byRow.out, byHand.out);
    EXPECT_NE(byRow.out.find("\t$MFTMirr\n"), std::string::npos);
    const auto missing = runCli({"list", disk, "--volume", "40"});
    EXPECT_EQ(missing.exitCode, 1);
}

struct ExitCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string err;
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

class VolumeCliExits : public ::testing::TestWithParam<ExitCase> {};

TEST_P(VolumeCliExits, CodeAndMessage) {
    std::vector<std::string> args = GetParam().args;
    for (auto& a : args)
        if (a == "IMG") a = fixturePath(kBasic).string();
    const auto r = runCli(args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
    EXPECT_NE(r.err.find(GetParam().err), std::string::npos) << r.err;
}

const ExitCase kExits[] = {
    {"NoVolumeChosen", {"list", "IMG"}, 2, "--volume"},
    {"BothSelections", {"list", "IMG", "--volume", "0", "--fs", "NTFS"}, 2, ""},
    {"BadMode", {"list", "IMG", "--fs", "NTFS", "--mode", "fast"}, 2, ""},
    {"StartWithoutFs", {"list", "IMG", "--volume", "0", "--start-sector", "5"}, 2, ""},
    {"MissingSource", {"list", "/nonexistent/disk.img", "--fs", "NTFS"}, 1, ""},
    {"UnknownFileSystem", {"list", "IMG", "--fs", "RAW"}, 2, "use one of ntfs, fat12, fat16, fat32, exfat"},
    {"WrongFileSystem", {"list", "IMG", "--fs", "FAT32"}, 1, "no FAT32 file system at sector 0 of"},
    {"RecoverWithoutOut", {"recover", "IMG", "--fs", "NTFS"}, 2, "--out"},
};

INSTANTIATE_TEST_SUITE_P(Usage, VolumeCliExits, ::testing::ValuesIn(kExits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dravonel::test
