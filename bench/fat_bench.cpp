// Listing and saving a 1 GiB FAT32 volume of 9,000 files (30,000 with
// DRAVONEL_FAT_BENCH_FULL=1), timed against The Sleuth Kit in
// the same run:
//   list:  dravonel-cli list  against  fls -r -p
//   save:  dravonel-cli recover  against  tsk_recover -e
// and the insertion of one folder's children into the result tree for two folder sizes
// (one twice the size of the other, entries with long names), to show that it grows linearly.
//
// The volume is made here (mkfs.fat, then mtools to fill it) into /tmp and kept there for
// later runs. Needs mkfs.fat, mcopy, fls and tsk_recover; without them it says so and ends.
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
using dravonel::bench::folderInsertion;
using dravonel::bench::haveTool;
using dravonel::bench::timed;

namespace {

const bool kFull = std::getenv("DRAVONEL_FAT_BENCH_FULL") != nullptr;
const fs::path kWork = "/tmp/dravonel-fat-bench";
const fs::path kImage = kWork / (kFull ? "big30000.img" : "big9000.img");
const fs::path kMount = kWork / "mnt";
const fs::path kReady = kImage.string() + ".ready";

struct FolderPlan {
    const char* name;
    int files;
};
// mtools compares every new name with the whole folder, so filling takes time that grows
// with the square of a folder's size; on a small shared machine the volume holds 9,000
// files (DRAVONEL_FAT_BENCH_FULL=1: 30,000, in folders of 10,000 and 20,000).
const FolderPlan kFolders[] = {{"half", kFull ? 10000 : 3000}, {"big", kFull ? 20000 : 6000}};

bool makeImage() {
    if (fs::exists(kReady)) return true;
    std::printf("making the volume in %s (once; later runs reuse it) ...\n", kImage.c_str());
    std::fflush(stdout);
    const fs::path stage = kWork / "stage";
    fs::remove_all(stage);
    fs::create_directories(stage);
    fs::remove(kImage);
    for (const auto& f : kFolders) {
        const fs::path dir = stage / f.name;
        fs::create_directory(dir);
        for (int i = 0; i < f.files; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "entry number %06d.txt", i);
            const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) return false;
            char body[64];
            const int n = std::snprintf(body, sizeof body, "%s/%s\n", f.name, name);
            const bool ok = ::write(fd, body, static_cast<std::size_t>(n)) == n;
            ::close(fd);
            if (!ok) return false;
        }
    }
    if (std::system(("truncate -s 1G " + kImage.string()).c_str()) != 0) return false;
    if (std::system(("mkfs.fat -F 32 -s 8 " + kImage.string() + " >/dev/null 2>&1").c_str()) != 0) return false;
    bool ok = std::system(("MTOOLS_SKIP_CHECK=1 mcopy -s -i " + kImage.string() + " " + (stage / "half").string() +
                           " " + (stage / "big").string() + " ::/ >/dev/null 2>&1").c_str()) == 0;
    fs::remove_all(stage);
    if (ok) std::fclose(std::fopen(kReady.c_str(), "w"));
    return ok;
}

}  // namespace

int main() {
    for (const char* tool : {"mkfs.fat", "mcopy", "fls", "tsk_recover", "truncate"}) {
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

    const fs::path outOwn = kWork / "out-dravonel", outTsk = kWork / "out-tsk";
    fs::remove_all(outOwn);
    fs::remove_all(outTsk);
    const double save = timed(cli.string() + " recover " + image + " --fs FAT32 --out " + outOwn.string());
    const double tsk = timed("tsk_recover -e " + image + " " + outTsk.string());
    std::printf("save:  dravonel %.3f s   tsk_recover -e %.3f s   ratio %.2f (goal <= 1.00)\n", save, tsk,
                tsk > 0 ? save / tsk : 0.0);
    fs::remove_all(outOwn);
    fs::remove_all(outTsk);

    folderInsertion(kImage, u"FAT32", "per-entry cost, the big folder against the half one");
    return 0;
}
