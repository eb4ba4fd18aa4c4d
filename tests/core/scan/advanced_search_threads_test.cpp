// The advanced search and the scan it lends its parser to, each on a worker of its own
// while the test's thread presses Pause, Stop and Back (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/scan/advanced_search.h"
#include "core/scan/fake_volume.h"
#include "core/scan/volume_scan.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

void waitFor(const std::atomic<bool>& flag) {
    while (!flag.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

struct ThreadedRoad {
    LockedRecordingSink sink;
    LockedPrompt prompt;
    MemoryReadSeek reader{std::vector<std::uint8_t>(4096)};
    std::atomic<bool> searching{false};
    std::atomic<bool> searchEnded{false};
    ParserRegistry table{{{FileSystemKind::Fat32, [this](const ScanContext&) {
                               auto p = std::make_unique<FakeVolume>();
                               p->advancedRoad = true;
                               p->finds.copies = {16384};
                               p->finds.clusterChoices = {8};
                               FakeVolume* self = p.get();
                               p->onFind = [this, self](int) {
                                   searching = true;
                                   while (self->stopFlag().load() == 0)
                                       std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                   searchEnded = true;
                                   return ScanOutcome::stopped();
                               };
                               return std::unique_ptr<ScanParser>(std::move(p));
                           }}}};
    VolumeRecord record() const {
        VolumeRecord r;
        r.fileSystem = u"FAT32";
        r.name = u"G0";
        r.sizeMbText = u"64";
        return r;
    }
};

// Back while the search runs (and is paused): the page's search stops it, lets it go and
// waits for it before the parser is freed.
TEST(TwoThreadsAdvancedSearch, BackWhileTheSearchRunsStopsAndWaitsForIt) {
    ThreadedRoad road;
    {
        AdvancedSearch search(road.record(), &road.reader, road.sink, road.prompt, road.table);
        ASSERT_TRUE(search.start());
        search.startWorker();
        waitFor(road.searching);
        search.pause();
    }
    EXPECT_TRUE(road.searchEnded.load());
}

// Stop from the page's thread ends the search with what it found; the scan then borrows
// the parser on a worker of its own, its Stop flag clear.
TEST(TwoThreadsAdvancedSearch, StopThenTheScanOnItsOwnWorker) {
    ThreadedRoad road;
    AdvancedSearch search(road.record(), &road.reader, road.sink, road.prompt, road.table);
    std::atomic<bool> finished{false};
    search.onFinished = [&](const RunOutcome&) { finished = true; };
    ASSERT_TRUE(search.start());
    search.startWorker();
    waitFor(road.searching);
    search.stop();
    search.wait();
    ASSERT_TRUE(finished.load());
    EXPECT_EQ(search.outcome().kind, RunOutcome::Kind::Stopped);
    ASSERT_EQ(search.finds().copies.size(), 1u);

    CTriStateTree tree;
    auto* fake = static_cast<FakeVolume*>(search.parser());
    std::atomic<bool> ran{false};
    fake->onRun = [&](RecoveryMode mode) {
        EXPECT_EQ(mode, RecoveryMode::Advanced);
        EXPECT_EQ(fake->stopFlag().load(), 0);
        ran = true;
        return ScanOutcome::completed();
    };
    VolumeScan scan(road.record(), RecoveryMode::Advanced, tree, &road.reader, road.sink, road.prompt, road.table);
    scan.borrowParser(search.parser());
    ASSERT_TRUE(scan.start());
    scan.startWorker();
    scan.wait();
    EXPECT_TRUE(ran.load());
}

}  // namespace
}  // namespace dravonel::test
