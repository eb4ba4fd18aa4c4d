// Listing and saving a large NTFS volume, timed against The Sleuth Kit in the same run:
//   list:  dravonel-cli list  against  fls -r -p
//   save:  dravonel-cli recover  against  tsk_recover -e
// and the insertion of one folder's children into the result tree for two folder sizes
// (25,000 and 50,000 entries), to show that it grows linearly.
//
// Two volumes are made here (mkntfs, then ntfs-3g to fill them) into /tmp and kept there
// for later runs: "wide", 105,000 files in three folders, one of them holding 50,000
// entries; and "spread", 30,000 files in 300 folders of 100 (an ordinary layout, where
// the reference is not slowed by huge folders). Saved files go to /dev/shm (tmpfs) when
// it exists, so the disk under the output does not decide the ratio. Needs root,
// /dev/fuse, mkntfs, ntfs-3g, fls and tsk_recover; without them it says so and ends.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

const fs::path kWork = "/tmp/dravonel-ntfs-bench";
const fs::path kMount = kWork / "mnt";

struct FolderPlan {
    std::string name;
    int files;
};
struct Layout {
    const char* name;
    std::vector<FolderPlan> folders;
    fs::path image() const { return kWork / (std::string(name) + ".img"); }
    fs::path ready() const { return kWork / (std::string(name) + ".img.ready"); }
};

Layout wideLayout() { return {"big", {{"half", 25000}, {"big", 50000}, {"rest", 30000}}}; }
Layout spreadLayout() {
    Layout l{"spread", {}};
    for (int i = 0; i < 300; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "folder_%03d", i);
        l.folders.push_back({name, 100});
    }
    return l;
}

bool makeImage(const Layout& layout) {
    const fs::path kImage = layout.image();
    if (fs::exists(layout.ready())) return true;
    std::printf("making the volume in %s (once; later runs reuse it) ...\n", kImage.c_str());
    std::fflush(stdout);
    fs::create_directories(kMount);
    fs::remove(kImage);
    if (std::system(("truncate -s 1G " + kImage.string()).c_str()) != 0) return false;
    if (std::system(("mkntfs -F -f -q -c 4096 " + kImage.string() + " >/dev/null 2>&1").c_str()) != 0) return false;
    if (std::system(("ntfs-3g -o big_writes " + kImage.string() + " " + kMount.string()).c_str()) != 0) return false;
    bool ok = true;
    for (const auto& f : layout.folders) {
        const fs::path dir = kMount / f.name;
        fs::create_directory(dir);
        for (int i = 0; i < f.files && ok; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "entry_%06d.txt", i);
            const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) {
                ok = false;
                break;
            }
            char body[64];
            const int n = std::snprintf(body, sizeof body, "%s/%s\n", f.name.c_str(), name);
            ok = ::write(fd, body, static_cast<std::size_t>(n)) == n;
            ::close(fd);
        }
    }
    ::sync();
    ok = std::system(("umount " + kMount.string()).c_str()) == 0 && ok;
    if (ok) std::fclose(std::fopen(layout.ready().c_str(), "w"));
    return ok;
}

}  // namespace

// Arguments: the layouts to run ("spread", "wide"); all of them when none is given.
int main(int argc, char** argv) {
    std::vector<std::string> wanted(argv + 1, argv + argc);
    auto wants = [&](const char* name) {
        return wanted.empty() || std::find(wanted.begin(), wanted.end(), name) != wanted.end();
    };
    if (::geteuid() != 0) {
        std::printf("ntfs_list_bench: skipped (needs root to mount the volume it builds)\n");
        return 0;
    }
    for (const char* tool : {"mkntfs", "ntfs-3g", "fls", "tsk_recover", "truncate"}) {
        if (!haveTool(tool)) {
            std::printf("ntfs_list_bench: skipped (%s is not installed)\n", tool);
            return 0;
        }
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::printf("ntfs_list_bench: skipped (no /dev/fuse)\n");
        return 0;
    }
    const fs::path outRoot = fs::exists("/dev/shm") ? fs::path("/dev/shm/dravonel-ntfs-bench") : kWork;
    std::vector<Layout> layouts;
    if (wants("spread")) layouts.push_back(spreadLayout());
    if (wants("wide")) layouts.push_back(wideLayout());
    for (const Layout& layout : layouts) {
        if (!makeImage(layout)) {
            std::printf("ntfs_list_bench: could not build the volume in %s\n", layout.image().c_str());
            return 1;
        }
        const fs::path cli = cliPath();
        const std::string image = layout.image().string();
        std::printf("-- %s (%zu folders)\n", layout.name, layout.folders.size());

        const double fls = timed("fls -r -p " + image);
        const double list = timed(cli.string() + " list " + image + " --fs NTFS");
        std::printf("list:  dravonel %.3f s   fls -r -p %.3f s   ratio %.2f (goal <= 0.30)\n", list, fls,
                    fls > 0 ? list / fls : 0.0);

        const fs::path outOwn = outRoot / "out-dravonel", outTsk = outRoot / "out-tsk";
        fs::remove_all(outOwn);
        fs::remove_all(outTsk);
        const double save = timed(cli.string() + " recover " + image + " --fs NTFS --out " + outOwn.string());
        const double tsk = timed("tsk_recover -e " + image + " " + outTsk.string());
        std::printf("save:  dravonel %.3f s   tsk_recover -e %.3f s   ratio %.2f (goal <= 0.60)\n", save, tsk,
                    tsk > 0 ? save / tsk : 0.0);
        fs::remove_all(outOwn);
        fs::remove_all(outTsk);
    }
    fs::remove_all(outRoot);

    if (wants("wide")) folderInsertion(wideLayout().image(), u"NTFS", "per-entry cost, 50,000 against 25,000 entries");
    return 0;
}
