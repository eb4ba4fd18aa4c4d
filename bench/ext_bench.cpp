// Listing and saving every file of a 1 GiB ext4 volume of 30,000 files, timed against The
// Sleuth Kit on the same image in the same run:
//   list:  dravonel-cli list     against  fls -r -p
//   save:  dravonel-cli recover  against  tsk_recover -e
//
// The volume is made here (mke2fs -d from a folder of 30,000 files in 30 folders, 1-16 KiB
// each) into /tmp and kept there for later runs. Needs mke2fs, fls and tsk_recover;
// without them it says so and ends.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"

namespace fs = std::filesystem;
using dravonel::bench::Clock;
using dravonel::bench::cliPath;
using dravonel::bench::haveTool;
using dravonel::bench::timed;
using dravonel::bench::alternatingSaves;
using dravonel::bench::SaveTimes;

namespace {

const fs::path kWork = "/tmp/dravonel-ext-bench";
const fs::path kImage = kWork / "ext4.img";
const fs::path kReady = kWork / "ext4.img.ready";
constexpr int kFolders = 30;
constexpr int kFilesPerFolder = 1000;

bool makeImage() {
    if (fs::exists(kReady)) return true;
    std::printf("making the volume in %s (once; later runs reuse it) ...\n", kImage.c_str());
    std::fflush(stdout);
    const fs::path src = kWork / "src";
    fs::remove_all(src);
    fs::create_directories(src);
    std::vector<unsigned char> body(16384);
    unsigned seed = 12345;
    for (int d = 0; d < kFolders; ++d) {
        char folder[32];
        std::snprintf(folder, sizeof folder, "folder_%02d", d);
        fs::create_directory(src / folder);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            seed = seed * 1103515245u + 12345u;
            const std::size_t size = 1024 + (seed >> 8) % 15360;
            for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<unsigned char>((seed >> 3) + i * 7 + d);
            char name[48];
            std::snprintf(name, sizeof name, "file_%05d.dat", f);
            const int fd = ::open((src / folder / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) return false;
            const bool ok = ::write(fd, body.data(), size) == static_cast<ssize_t>(size);
            ::close(fd);
            if (!ok) return false;
        }
    }
    fs::remove(kImage);
    if (std::system(("truncate -s 1G " + kImage.string()).c_str()) != 0) return false;
    if (std::system(("mke2fs -q -F -t ext4 -E lazy_itable_init=0 -d " + src.string() + " " + kImage.string() +
                     " >/dev/null 2>&1")
                        .c_str()) != 0)
        return false;
    fs::remove_all(src);
    std::fclose(std::fopen(kReady.c_str(), "w"));
    return true;
}

}  // namespace

int main() {
    for (const char* tool : {"mke2fs", "fls", "tsk_recover", "truncate"}) {
        if (!haveTool(tool)) {
            std::printf("ext_bench: skipped (%s is not installed)\n", tool);
            return 0;
        }
    }
    fs::create_directories(kWork);
    if (!makeImage()) {
        std::printf("ext_bench: could not build the volume in %s\n", kImage.c_str());
        return 1;
    }
    const std::string cli = cliPath().string();
    const std::string image = kImage.string();
    // One untimed pass of each reader so that both find the image in the page cache.
    timed("fls -r -p " + image);
    timed(cli + " list " + image + " --fs extX");

    const double fls = timed("fls -r -p " + image);
    const double list = timed(cli + " list " + image + " --fs extX");
    std::printf("list:  dravonel %.3f s   fls -r -p %.3f s   ratio %.2f (goal <= 0.50)\n", list, fls,
                fls > 0 ? list / fls : 0.0);

    const SaveTimes t = alternatingSaves(
        [&](const std::string& out) { return cli + " recover " + image + " --fs extX --out " + out; },
        [&](const std::string& out) { return "tsk_recover -e " + image + " " + out; }, kWork);
    std::printf("save:  dravonel %.3f s   tsk_recover -e %.3f s   ratio %.2f (goal <= 1.00)\n", t.own, t.reference,
                t.reference > 0 ? t.own / t.reference : 0.0);
    return 0;
}
