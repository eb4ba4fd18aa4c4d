// Listing and saving a 1 GiB FAT32 volume of 30,000 files in 300 folders of 100 (about
// 300 MB of file data, a third of the files deleted, as on a camera card after a clean-up),
// timed against The Sleuth Kit in the same run:
//   list:  dravonel-cli list  against  fls -r -p
//   save:  dravonel-cli recover  against  tsk_recover -e
// Saving runs twice per tool, alternating, into tmpfs; the faster run of each counts.
//
// The volume is made here (mkfs.fat, then mtools to fill it and delete) into /tmp and kept
// there for later runs. Needs mkfs.fat, mcopy, mdel, fls and tsk_recover; without them it
// says so and ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

const fs::path kWork = "/tmp/dravonel-fat-bench";
const fs::path kImage = kWork / "cards30000.img";
const fs::path kReady = kImage.string() + ".ready";
constexpr int kFolders = 300, kFilesPerFolder = 100;

bool makeImage() {
    if (fs::exists(kReady)) return true;
    std::printf("making the volume in %s (once; later runs reuse it) ...\n", kImage.c_str());
    std::fflush(stdout);
    const fs::path stage = kWork / "stage";
    fs::remove_all(stage);
    fs::create_directories(stage);
    fs::remove(kImage);
    std::vector<char> body(20000);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>("photo data "[i % 11] + (i / 11) % 7);
    std::string folders;
    for (int d = 0; d < kFolders; ++d) {
        char folder[32];
        std::snprintf(folder, sizeof folder, "Folder %03d", d);
        const fs::path dir = stage / folder;
        fs::create_directory(dir);
        folders += " '" + dir.string() + "'";
        for (int i = 0; i < kFilesPerFolder; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "Holiday photo number %03d.jpg", i);
            const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) return false;
            const std::size_t n = 500 + std::size_t(d * kFilesPerFolder + i) * 7919 % 19000;
            const bool ok = ::write(fd, body.data(), n) == static_cast<ssize_t>(n);
            ::close(fd);
            if (!ok) return false;
        }
    }
    if (std::system(("truncate -s 1G " + kImage.string()).c_str()) != 0) return false;
    if (std::system(("mkfs.fat -F 32 -s 8 " + kImage.string() + " >/dev/null 2>&1").c_str()) != 0) return false;
    bool ok = std::system(("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + kImage.string() + folders + " ::/ >/dev/null 2>&1")
                              .c_str()) == 0;
    // A third of the photos deleted, in every folder.
    for (int d = 0; ok && d < kFolders; ++d) {
        std::string del = "MTOOLS_SKIP_CHECK=1 mdel -i " + kImage.string();
        for (int i = 0; i < kFilesPerFolder; i += 3) {
            char path[96];
            std::snprintf(path, sizeof path, " '::/Folder %03d/Holiday photo number %03d.jpg'", d, i);
            del += path;
        }
        ok = std::system((del + " >/dev/null 2>&1").c_str()) == 0;
    }
    fs::remove_all(stage);
    if (ok) std::fclose(std::fopen(kReady.c_str(), "w"));
    return ok;
}

}  // namespace

int main() {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "fls", "tsk_recover", "truncate"}) {
        if (!haveTool(tool)) {
            std::printf("fat_bench: skipped (%s is not installed)\n", tool);
            return 0;
        }
    }
    if (!makeImage()) {
        std::printf("fat_bench: could not build the volume in %s\n", kImage.c_str());
        return 1;
    }
    const fs::path cli = cliPath();
    const std::string image = kImage.string();

    const double fls = timed("fls -r -p " + image);
    const double list = timed(cli.string() + " list " + image + " --fs FAT32");
    std::printf("list:  dravonel %.3f s   fls -r -p %.3f s   ratio %.2f (goal <= 0.50)\n", list, fls,
                fls > 0 ? list / fls : 0.0);

    const SaveTimes t = alternatingSaves(
        [&](const std::string& out) { return cli.string() + " recover " + image + " --fs FAT32 --out " + out; },
        [&](const std::string& out) { return "tsk_recover -e " + image + " " + out; },
        dravonel::bench::outputFolder(kWork));
    std::printf("save:  dravonel %.3f s   tsk_recover -e %.3f s   ratio %.2f (goal <= 0.60)\n", t.own, t.reference,
                t.reference > 0 ? t.own / t.reference : 0.0);

    return 0;
}
