// Saving every file of an NTFS volume from a failing disk, against the same volume read
// cleanly, in one run. The failing source answers EIO to every read that touches one of
// 400 unreadable sectors (50 runs of 8, in clusters of file data spread over the volume)
// and each failed
// read costs 10 ms, as a drive that gives up on its first bad sector does.
// Goal: failing time <= clean time + 1.5 x (400 x 10 ms).
//
// The volume is the NTFS partition of container_bench's disk (/tmp/dravonel-container-bench,
// made there once); without it this says so and ends. Outputs go to tmpfs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/scan/save_walk.h"

namespace fs = std::filesystem;
using dravonel::bench::Clock;
using dravonel::bench::outputFolder;
using namespace dravonel;

namespace {

const fs::path kDisk = "/tmp/dravonel-container-bench/disk.img";
constexpr std::int64_t kVolumeStart = 2048;  // sectors
constexpr int kRuns = 50, kRunSectors = 8;
constexpr auto kFailedReadCost = std::chrono::milliseconds(10);

struct SlowFailing final : FaultyMemoryReadSeek {
    using FaultyMemoryReadSeek::FaultyMemoryReadSeek;
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
        if (FaultyMemoryReadSeek::readAt(offset, dest, count)) return true;
        std::this_thread::sleep_for(kFailedReadCost);
        return false;
    }
    using readWriteInterface::readAt;
};

struct Silent final : Prompt {
    void message(std::u16string_view) override {}
    bool question(std::u16string_view) override { return true; }
};

struct Outcome {
    double seconds = 0;
    SaveCounts counts;
};

// Lists the volume and saves every file into out.
Outcome recoverAll(readWriteInterface& reader, const fs::path& out) {
    const auto start = Clock::now();
    CTriStateTree tree;
    NullSink sink;
    Silent prompt;
    VolumeRecord record;
    record.fileSystem = u"NTFS";
    record.startSector = kVolumeStart;
    record.sizeMbText = u"512";
    VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
    Outcome o;
    if (!scan.start()) return o;
    scan.runWorker();
    if (!scan.volume()) return o;
    tree.setCheck(tree.root(), true);
    SaveRun run(tree, *scan.volume(), sink, prompt);
    fs::create_directories(out);
    run.outputFolder = out;
    run.run(nullptr);
    o.counts = run.counts();
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    fs::remove_all(out);
    return o;
}

}  // namespace

int main() {
    if (!fs::exists(kDisk)) {
        std::printf("failing_disk_bench: skipped (run container_bench first: it makes %s)\n", kDisk.c_str());
        return 0;
    }
    std::ifstream in(kDisk, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // In the files' data: 4 KiB clusters of the volume past its first 8 MiB (the MFT zone)
    // that hold something, 50 of them evenly spread.
    std::vector<std::int64_t> used;
    for (std::int64_t c = (kVolumeStart + 16384) / 8; (c + 1) * 4096 <= std::int64_t(bytes.size()); ++c) {
        const std::uint8_t* p = bytes.data() + c * 4096;
        if (std::any_of(p, p + 4096, [](std::uint8_t x) { return x != 0; })) used.push_back(c);
    }
    std::vector<SectorRange> bad;
    for (int i = 0; i < kRuns && !used.empty(); ++i)
        bad.push_back({used[used.size() / kRuns * std::size_t(i)] * 8, kRunSectors});
    const fs::path out = outputFolder("/tmp") / "failing-out";

    MemoryReadSeek clean(bytes);
    const Outcome c = recoverAll(clean, out);
    SlowFailing failing(std::move(bytes), bad);
    const Outcome f = recoverAll(failing, out);
    const double budget = c.seconds + 1.5 * kRuns * kRunSectors * 0.010;
    std::printf("clean: %.2f s, saved %lld\n", c.seconds, static_cast<long long>(c.counts.saved));
    std::printf("failing (%d unreadable sectors, %lld failed reads at 10 ms): %.2f s, saved %lld, damaged %lld "
                "(%llu sectors written as zeros)\n",
                kRuns * kRunSectors, static_cast<long long>(failing.failedReads.load()), f.seconds,
                static_cast<long long>(f.counts.saved), static_cast<long long>(f.counts.damaged),
                static_cast<unsigned long long>(f.counts.unreadableSectors));
    std::printf("goal: <= clean + 1.5 x (400 x 10 ms) = %.2f s: %s\n", budget, f.seconds <= budget ? "met" : "MISSED");
    return 0;
}
