// Listing and saving an NTFS volume from inside a VHDX and a QCOW2 image, timed against
// the same from the raw image in the same run:
//   list:  dravonel-cli list IMAGE --volume 0
//   save:  dravonel-cli recover IMAGE --volume 0 --out tmpfs
// Goal: each at most 1.3 x the raw image's time. Each command runs three times, the
// fastest counts.
//
// The raw disk (an MBR disk holding a 512 MiB NTFS volume of 10,000 files of 4-40 KiB in
// 100 folders, made with sfdisk, mkntfs and ntfs-3g over a loop device) and its
// conversions (qemu-img convert -O vhdx / qcow2) are made here into /tmp once and kept for
// later runs. Needs root, /dev/fuse, sfdisk, losetup, mkntfs, ntfs-3g and qemu-img;
// without them it says so and ends.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_support.h"

namespace fs = std::filesystem;
using dravonel::bench::cliPath;
using dravonel::bench::haveTool;
using dravonel::bench::outputFolder;
using dravonel::bench::timed;

namespace {

const fs::path kWork = "/tmp/dravonel-container-bench";
const fs::path kRaw = kWork / "disk.img";
const fs::path kReady = kWork / "ready";

bool sh(const std::string& command) { return std::system(command.c_str()) == 0; }

bool makeImages() {
    if (fs::exists(kReady)) return true;
    std::printf("making the disk and its containers in %s (once; later runs reuse them) ...\n", kWork.c_str());
    std::fflush(stdout);
    fs::remove_all(kWork);
    fs::create_directories(kWork / "mnt");
    const std::string raw = kRaw.string(), mnt = (kWork / "mnt").string();
    const bool made =
        sh("truncate -s 513M " + raw) && sh("echo 'start=2048, type=7' | sfdisk -q " + raw + " >/dev/null") &&
        sh("L=$(losetup -f --show -o 1048576 " + raw + ") && mkntfs -F -f -q -c 4096 $L >/dev/null 2>&1 && "
           "ntfs-3g -o big_writes $L " + mnt + " && "
           "python3 -c \"import os, random\nr = random.Random(3)\nfor d in range(100):\n    p = '" + mnt +
           "/folder_%03d' % d\n    os.mkdir(p)\n    for i in range(100):\n        open(p + '/photo_%03d.jpg' % i, "
           "'wb').write(bytes(r.getrandbits(8) for _ in range(64)) * r.randrange(64, 640))\" && "
           "sync && umount " + mnt + " && losetup -d $L") &&
        sh("qemu-img convert -q -f raw -O vhdx " + raw + " " + (kWork / "disk.vhdx").string()) &&
        sh("qemu-img convert -q -f raw -O qcow2 " + raw + " " + (kWork / "disk.qcow2").string());
    if (made) std::fclose(std::fopen(kReady.c_str(), "w"));
    return made;
}

// The fastest of three runs of command; negative when it failed.
double best(const std::string& command) {
    double b = -1;
    for (int i = 0; i < 3; ++i) {
        sh("sync");
        const double s = timed(command);
        if (s < 0) return -1;
        if (b < 0 || s < b) b = s;
    }
    return b;
}

}  // namespace

int main() {
    if (::geteuid() != 0) {
        std::printf("container_bench: skipped (needs root to fill the volume through a loop device)\n");
        return 0;
    }
    for (const char* tool : {"sfdisk", "losetup", "mkntfs", "ntfs-3g", "qemu-img", "python3"}) {
        if (!haveTool(tool)) {
            std::printf("container_bench: skipped (%s is not installed)\n", tool);
            return 0;
        }
    }
    if (!makeImages()) {
        std::printf("container_bench: the images could not be made\n");
        return 1;
    }
    const std::string cli = cliPath().string();
    const fs::path out = outputFolder(kWork) / "container-out";
    double rawTimes[2] = {0, 0};
    for (const char* name : {"disk.img", "disk.vhdx", "disk.qcow2"}) {
        const std::string image = (kWork / name).string();
        const double list = best(cli + " list " + image + " --volume 0");
        const double save = best("rm -rf " + out.string() + " && " + cli + " recover " + image + " --volume 0 --out " +
                                 out.string());
        fs::remove_all(out);
        if (list < 0 || save < 0) {
            std::printf("%s: a command failed\n", name);
            return 1;
        }
        if (std::string(name) == "disk.img") {
            rawTimes[0] = list;
            rawTimes[1] = save;
            std::printf("raw image: list %.3f s, save %.3f s\n", list, save);
            continue;
        }
        const double listRatio = list / rawTimes[0], saveRatio = save / rawTimes[1];
        std::printf("%s: list %.3f s (%.2f x raw), save %.3f s (%.2f x raw)  goal <= 1.30: %s\n", name, list, listRatio,
                    save, saveRatio, listRatio <= 1.3 && saveRatio <= 1.3 ? "met" : "MISSED");
    }
    return 0;
}
