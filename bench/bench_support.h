#pragma once
// What the file-system benchmarks share: looking for a reference tool, timing a shell
// command, finding the CLI beside the benchmark, and timing the insertion of the two
// top-level folders "half" and "big" into the result tree (to show it grows linearly).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "core/common/text.h"
#include "core/device/sector_reader.h"
#include "core/scan/result_view.h"
#include "core/scan/volume_scan.h"

namespace dravonel::bench {

using Clock = std::chrono::steady_clock;

inline bool haveTool(const char* name) {
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command with its output thrown away; the seconds it took, or a negative
// value when it failed.
inline double timed(const std::string& command) {
    const auto start = Clock::now();
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    return rc == 0 ? s : -1.0;
}

// Times two saving commands (each given the fresh folder to write into) twice each, in
// alternating order, and keeps the faster run of each: creating tens of thousands of files
// weighs on both tools alike and varies from run to run. Outputs go below folder (tmpfs
// where the machine has one, so the host disk's journal does not decide the result).
struct SaveTimes {
    double own = 0, reference = 0;
};
inline SaveTimes alternatingSaves(const std::function<std::string(const std::string&)>& own,
                                  const std::function<std::string(const std::string&)>& reference,
                                  const std::filesystem::path& folder) {
    SaveTimes t;
    const std::filesystem::path outOwn = folder / "out-dravonel", outRef = folder / "out-reference";
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool mine = (k == 0) == (round == 0);
            const std::filesystem::path out = mine ? outOwn : outRef;
            std::filesystem::remove_all(out);
            std::system("sync");
            const double s = timed(mine ? own(out.string()) : reference(out.string()));
            double& best = mine ? t.own : t.reference;
            if (s > 0 && (best == 0 || s < best)) best = s;
        }
    }
    std::filesystem::remove_all(outOwn);
    std::filesystem::remove_all(outRef);
    return t;
}

// A tmpfs folder for outputs when the machine has one, else fallback.
inline std::filesystem::path outputFolder(const std::filesystem::path& fallback) {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm/dravonel-bench";
    return fallback;
}

inline std::filesystem::path cliPath() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "dravonel-cli";
}

// Scans image as a volume of fileSystem, then times opening its top-level folders "half"
// and "big"; prints the per-entry cost of the big one against the half one as `ratioText`.
inline void folderInsertion(const std::filesystem::path& image, const char16_t* fileSystem, const char* ratioText) {
    FileReadSeek reader;
    if (!reader.open(image.string())) return;
    CTriStateTree tree;
    NullSink sink;
    struct Silent final : Prompt {
        void message(std::u16string_view) override {}
        bool question(std::u16string_view) override { return true; }
    } prompt;
    VolumeRecord record;
    record.fileSystem = fileSystem;
    record.sizeMbText = u"1024";
    const auto scanStart = Clock::now();
    VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
    if (!scan.start()) return;
    scan.runWorker();
    const double scanSeconds = std::chrono::duration<double>(Clock::now() - scanStart).count();
    std::printf("scan: %.3f s (%zu items in the tree after it)\n", scanSeconds, tree.itemCount());
    ResultView view(tree, *scan.volume());
    double perEntry[2] = {0, 0};
    int k = 0;
    for (TreeItem c = tree.firstChild(tree.root()); c != kNoItem; c = tree.nextSibling(c)) {
        const std::u16string text = tree.getItemText(c);
        if (text != u"half" && text != u"big") continue;
        const auto start = Clock::now();
        const std::size_t n = view.insertChildren(c);
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("open folder %-5s %6zu entries: %.4f s (%.2f us per entry)\n", toUtf8(text).c_str(), n, s,
                    n ? s * 1e6 / double(n) : 0.0);
        if (k < 2 && n) perEntry[k++] = s / double(n);
    }
    if (k == 2 && perEntry[0] > 0) std::printf("%s: %.2f (1.0 = linear)\n", ratioText, perEntry[1] / perEntry[0]);
}

}  // namespace dravonel::bench
