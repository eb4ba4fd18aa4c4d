// The command line on a source whose reads fail (EIO) at chosen sectors, served through
// FUSE by tools/failing_source.py: what the scan could not read is said on stderr with its
// count, only the entries inside it are missing, and the status is 1.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

bool haveFusepy() { return std::system("/usr/bin/python3 -c 'import fusepy' >/dev/null 2>&1") == 0; }

// The image mounted as a failing source for the life of the object.
class FailingMount {
public:
    FailingMount(const fs::path& image, const std::vector<std::pair<std::int64_t, std::int64_t>>& bad) {
        dir_ = makeTempDir("failing-mount");
        std::vector<std::string> args{"/usr/bin/python3", std::string(DRAVONEL_SOURCE_DIR) + "/tools/failing_source.py",
                                      image.string(), dir_.string()};
        for (const auto& [first, count] : bad) args.push_back(std::to_string(first) + ":" + std::to_string(count));
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        // Waits for the mount to answer (the server starts in well under a second).
        for (int i = 0; i < 200 && !fs::exists(path()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FailingMount() {
        const std::string unmount = "fusermount -u '" + dir_.string() + "' >/dev/null 2>&1";
        if (std::system(unmount.c_str()) != 0 && pid_ > 0) kill(pid_, SIGTERM);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path path() const { return dir_ / "disk.img"; }
    bool ready() const { return fs::exists(path()); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

std::vector<std::uint8_t> head(const fs::path& image) {
    std::vector<std::uint8_t> b(512);
    std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(b.data()), 512);
    return b;
}

std::size_t lines(const std::string& text) { return std::size_t(std::count(text.begin(), text.end(), '\n')); }

struct CliCase {
    const char* name;
    const char* image;
    const char* fs;
    // The unreadable sectors, from the image's first sector.
    std::function<std::pair<std::int64_t, std::int64_t>(const std::vector<std::uint8_t>&)> bad;
    const char* said;
    std::size_t lostRows;
};

void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }

class FailingDiskCli : public ::testing::TestWithParam<CliCase> {};

TEST_P(FailingDiskCli, ListSaysWhatWasLostAndEndsWithOne) {
    const CliCase& c = GetParam();
    if (!fs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse: the failing source cannot be served";
    if (!haveFusepy()) GTEST_SKIP() << "python3-fusepy is not installed: the failing source cannot be served";
    const fs::path image = fixturePath(c.image);
    const auto clean = runCli({"list", image.string(), "--fs", c.fs});
    ASSERT_EQ(clean.exitCode, 0) << clean.err;

    FailingMount mount(image, {c.bad(head(image))});
    if (!mount.ready()) GTEST_SKIP() << "the failing source could not be mounted (FUSE not permitted here)";
    const auto r = runCli({"list", mount.path().string(), "--fs", c.fs});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("unreadable sectors: "), std::string::npos) << r.err;
    EXPECT_EQ(lines(clean.out) - lines(r.out), c.lostRows);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, FailingDiskCli,
    ::testing::Values(
        CliCase{"NtfsMftRecords", "ntfs_basic.img", "ntfs",
                [](const std::vector<std::uint8_t>& b) {
                    const std::int64_t cluster = std::int64_t(b[11] | (b[12] << 8)) * b[13];
                    std::int64_t mft = 0;
                    for (int i = 7; i >= 0; --i) mft = (mft << 8) | b[0x30 + i];
                    return std::pair<std::int64_t, std::int64_t>{(mft * cluster + 64 * 1024) / 512, 8};
                },
                "4 MFT records could not be read", 4},
        CliCase{"Fat32FirstFat", "fat32_mkfs.img", "fat32",
                [](const std::vector<std::uint8_t>& b) {
                    return std::pair<std::int64_t, std::int64_t>{b[14] | (b[15] << 8), 8};
                },
                "8 sectors of the first FAT read from its copy", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dravonel::test
