// The command line as a new user meets it: what is refused, what is said, the exit
// status, and what is on disk afterwards. The source's SHA-256 never changes and files
// that were in the output folder before the run keep their contents.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// One case: set-up in a fresh folder gives the arguments and the source to watch.
struct CaseSetup {
    std::vector<std::string> args;
    fs::path source;
};
struct SafetyCase {
    const char* name;
    std::function<CaseSetup(const fs::path& dir)> setup;
    int exitCode;
    std::string err;  // a part of stderr ("" for any)
    std::function<void(const fs::path& dir, const CliResult& r)> after;
};
void PrintTo(const SafetyCase& c, std::ostream* os) { *os << c.name; }

fs::path copyOf(const std::string& fixture, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(fixturePath(fixture), to);
    return to;
}

const std::string kNtfs = "ntfs_basic.img";

const SafetyCase kCases[] = {
    {"SourceInsideTheOutputFolder",
     [](const fs::path& d) {
         // The volume holds resident.txt; the image is named so too, in the output folder.
         const fs::path src = copyOf(kNtfs, d / "src" / "resident.txt");
         return CaseSetup{{"recover", src.string(), "--fs", "ntfs", "--out", (d / "src").string()}, src};
     },
     2, "holds the source image",
     [](const fs::path& d, const CliResult&) {
         EXPECT_EQ(std::distance(fs::directory_iterator(d / "src"), fs::directory_iterator()), 1);
     }},
    {"SourceInsideTheOutputFolderAllowed",
     [](const fs::path& d) {
         const fs::path src = copyOf(kNtfs, d / "src" / "resident.txt");
         return CaseSetup{{"recover", src.string(), "--fs", "ntfs", "--out", (d / "src").string(), "--path",
                       "resident.txt", "--allow-same-device"},
                      src};
     },
     0, "",
     [](const fs::path& d, const CliResult& r) {
         EXPECT_EQ(fs::file_size(d / "src" / "resident (1).txt"), 300u);
         EXPECT_NE(r.out.find("saved 1, damaged 0, skipped 0, failed 0\n"), std::string::npos) << r.out;
     }},
    {"PreExistingFilesAreKept",
     [](const fs::path& d) {
         fs::create_directories(d / "out" / "dir1");
         writeText(d / "out" / "resident.txt", "mine");
         return CaseSetup{{"recover", fixturePath(kNtfs).string(), "--fs", "ntfs", "--out", (d / "out").string(),
                       "--path", "resident.txt"},
                      fixturePath(kNtfs)};
     },
     0, "",
     [](const fs::path& d, const CliResult&) {
         EXPECT_EQ(fileText(d / "out" / "resident.txt"), "mine");
         EXPECT_EQ(fs::file_size(d / "out" / "resident (1).txt"), 300u);
     }},
    {"TruncatedImage",
     [](const fs::path& d) {
         const fs::path half = copyOf(kNtfs, d / "half.img");
         fs::resize_file(half, fs::file_size(half) / 2);
         return CaseSetup{{"recover", half.string(), "--fs", "ntfs", "--out", (d / "out").string()}, half};
     },
     1, "damaged: ",
     [](const fs::path&, const CliResult& r) {
         // The files whose data lay in the missing half are saved with zeros, named and
         // counted as damaged: never reported as saved.
         EXPECT_EQ(r.out.find(", damaged 0, "), std::string::npos) << r.out;
     }},
    {"WrongFileSystem",
     [](const fs::path& d) {
         return CaseSetup{{"recover", fixturePath(kNtfs).string(), "--fs", "fat32", "--out", (d / "out").string()},
                      fixturePath(kNtfs)};
     },
     1, "no FAT32 file system at sector 0 of",
     [](const fs::path& d, const CliResult& r) {
         EXPECT_NE(r.err.find("give --fs NTFS"), std::string::npos) << r.err;
         EXPECT_FALSE(fs::exists(d / "out") && !fs::is_empty(d / "out"));
     }},
    {"RandomBytes",
     [](const fs::path& d) {
         std::mt19937 random(7);
         std::string bytes(65536, '\0');
         for (char& c : bytes) c = static_cast<char>(random());
         writeText(d / "noise.img", bytes);
         return CaseSetup{{"list", (d / "noise.img").string(), "--fs", "ntfs"}, d / "noise.img"};
     },
     1, "no NTFS file system at sector 0 of", nullptr},
    {"EmptyFile",
     [](const fs::path& d) {
         writeText(d / "empty.img", "");
         return CaseSetup{{"list", (d / "empty.img").string(), "--fs", "ntfs"}, d / "empty.img"};
     },
     1, "empty.img holds no data", nullptr},
    {"HundredBytes",
     [](const fs::path& d) {
         writeText(d / "small.img", std::string(100, 'x'));
         return CaseSetup{{"recover", (d / "small.img").string(), "--fs", "ntfs", "--out", (d / "out").string()},
                      d / "small.img"};
     },
     1, "holds no data", nullptr},
    {"FolderAsSource",
     [](const fs::path& d) { return CaseSetup{{"list", d.string(), "--fs", "ntfs"}, {}}; }, 2, "is a folder", nullptr},
    {"FolderAsCarveSource", [](const fs::path& d) { return CaseSetup{{"carve", d.string()}, {}}; }, 2, "is a folder",
     nullptr},
    {"CharacterDeviceAsSource", [](const fs::path&) { return CaseSetup{{"partitions", "/dev/null"}, {}}; }, 2,
     "is not a disk or an image file", nullptr},
    {"StartBeyondTheEnd",
     [](const fs::path&) {
         return CaseSetup{{"list", fixturePath(kNtfs).string(), "--fs", "ntfs", "--start-sector", "4611686018427387904"},
                      fixturePath(kNtfs)};
     },
     2, "is beyond the end of", [](const fs::path&, const CliResult& r) {
         EXPECT_NE(r.err.find("(32768 sectors"), std::string::npos) << r.err;
     }},
    {"NumberTooLarge",
     [](const fs::path&) {
         return CaseSetup{{"list", fixturePath(kNtfs).string(), "--fs", "ntfs", "--start-sector", "99999999999999999999"},
                      {}};
     },
     2, "--start-sector: '99999999999999999999' is not a whole number from 0 to", nullptr},
    {"VolumeNotANumber",
     [](const fs::path&) { return CaseSetup{{"list", fixturePath(kNtfs).string(), "--volume", "abc"}, {}}; }, 2,
     "--volume: 'abc' is not a whole number from 0 to", nullptr},
    {"CarveAreaClampedToTheSource",
     [](const fs::path&) {
         return CaseSetup{{"carve", fixturePath(kNtfs).string(), "--size-mb", "4398046511103"}, fixturePath(kNtfs)};
     },
     0, "", nullptr},
    {"CarveOutOnTheSourceCheckedBeforeTheScan",
     [](const fs::path& d) {
         const fs::path src = copyOf("raw_carve.img", d / "in" / "card.img");
         return CaseSetup{{"carve", src.string(), "--out", (d / "in").string()}, src};
     },
     2, "holds the source image", [](const fs::path&, const CliResult& r) { EXPECT_EQ(r.out, ""); }},
    {"UnknownFileSystemWord",
     [](const fs::path&) { return CaseSetup{{"list", fixturePath(kNtfs).string(), "--fs", "bogus"}, {}}; }, 2,
     "use one of ntfs, fat12, fat16, fat32, exfat (or fat64), extX (or ext2, ext3, ext4), hfs+", nullptr},
    {"GptFoundWithoutTheFlag",
     [](const fs::path&) { return CaseSetup{{"partitions", fixturePath("gpt_disk.img").string()}, {}}; }, 0, "",
     [](const fs::path&, const CliResult& r) {
         EXPECT_NE(r.out.find("G4\tHFS+\t15\t165888\n"), std::string::npos) << r.out;
     }},
    {"GptAskedOfAnMbrDisk",
     [](const fs::path&) { return CaseSetup{{"partitions", fixturePath("mbr_disk.img").string(), "--gpt"}, {}}; }, 1,
     "no GPT header in sector 1 of", nullptr},
    {"BareVolumeIsOneVolume",
     [](const fs::path&) { return CaseSetup{{"partitions", fixturePath(kNtfs).string()}, {}}; }, 0, "",
     [](const fs::path&, const CliResult& r) { EXPECT_EQ(r.out, "G0\tNTFS\t15   MB\t0\n"); }},  // its own size, as a table row gives it
    {"BareVolumeListsByIndex",
     [](const fs::path&) { return CaseSetup{{"list", fixturePath(kNtfs).string(), "--volume", "0"}, {}}; }, 0, "",
     [](const fs::path&, const CliResult& r) { EXPECT_NE(r.out.find("\tresident.txt\n"), std::string::npos); }},
    {"NoTableAndNoVolume",
     [](const fs::path& d) {
         writeText(d / "zeros.img", std::string(65536, '\0'));
         return CaseSetup{{"list", (d / "zeros.img").string(), "--volume", "0"}, d / "zeros.img"};
     },
     1, "no partition table found on", [](const fs::path&, const CliResult& r) {
         EXPECT_NE(r.err.find("--fs"), std::string::npos) << r.err;
     }},
    {"JsonErrorIsOneObject",
     [](const fs::path& d) { return CaseSetup{{"list", d.string(), "--fs", "ntfs", "--json"}, {}}; }, 2, "",
     [](const fs::path&, const CliResult& r) {
         const auto j = nlohmann::json::parse(r.err);
         EXPECT_EQ(j["exitStatus"], 2);
         EXPECT_NE(j["error"].get<std::string>().find("is a folder"), std::string::npos);
     }},
};

class SafetyCli : public ::testing::TestWithParam<SafetyCase> {};

TEST_P(SafetyCli, StatusMessageAndDisk) {
    const fs::path dir = makeTempDir("cli-safety");
    const CaseSetup s = GetParam().setup(dir);
    const std::string before = s.source.empty() ? "" : sha256Hex(fileText(s.source));
    const auto r = runCli(s.args);
    if (GetParam().exitCode >= 0) { EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err << r.out; }
    EXPECT_NE(r.err.find(GetParam().err), std::string::npos) << r.err;
    if (!s.source.empty()) { EXPECT_EQ(sha256Hex(fileText(s.source)), before) << "the source changed"; }
    if (GetParam().after) GetParam().after(dir, r);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, SafetyCli, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Ctrl-C on a long walk over a large (sparse) source: what was found is printed and the
// command ends with 130.
TEST(SafetyCliStop, CtrlCEndsWithStatus130) {
    const fs::path dir = makeTempDir("cli-stop");
    const fs::path big = dir / "big.img";
    {
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{64} << 30), 0);
        ::close(fd);
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"deep-scan", big.string()}, std::vector<std::string>{"carve", big.string()}}) {
        const auto r = runCliInterrupted(args, 300);
        EXPECT_EQ(r.exitCode, 130) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("stopped"), std::string::npos) << r.err;
    }
    fs::remove_all(dir);
}

// signature add: the three ways of writing bytes, anything else refused before the
// file is touched, and no appending to a file that is not a signature file.
TEST(SafetyCliSignature, HexBytesAndTheFileChecks) {
    const fs::path dir = makeTempDir("cli-sig");
    const std::string sig = (dir / "s.sig").string();
    auto add = [&](const std::string& file, const std::string& start) {
        return runCli({"signature", "add", file, "--ext", "png", "--start", start, "--category", "P"});
    };
    for (const char* form : {"89,50,4E,47", "0x89 0x50 0x4E 0x47", "89504E47"}) {
        fs::remove(sig);
        ASSERT_EQ(add(sig, form).exitCode, 0) << form;
        const auto bytes = readFileBytes(sig);
        ASSERT_EQ(bytes.size(), 171u);
        EXPECT_EQ(bytes[31], 4) << form;  // the starting signature's length
        EXPECT_EQ(bytes[11], 0x89);
        EXPECT_EQ(bytes[14], 0x47);
    }
    fs::remove(sig);
    for (const char* bad : {"89504E4", "zz", "0x", "89,5G"}) {
        const auto r = add(sig, bad);
        EXPECT_EQ(r.exitCode, 2) << bad;
        EXPECT_NE(r.err.find("is not hexadecimal bytes"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(sig)) << bad;
    }
    // A refused record leaves no file behind.
    EXPECT_EQ(runCli({"signature", "add", sig, "--ext", "", "--start", "41", "--category", "P"}).exitCode, 1);
    EXPECT_FALSE(fs::exists(sig));
    const fs::path notes = dir / "notes.txt";
    writeText(notes, std::string(400, 'n'));
    const auto r = add(notes.string(), "41,42");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is not a valid signature file"), std::string::npos) << r.err;
    EXPECT_EQ(fileText(notes), std::string(400, 'n'));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace dravonel::test
