// The deep partition scan as its run object drives it: on a worker, finds handed to the
// owner thread, pause, stop, the page's slot and the outcome.
#include "core/partitions/deep_scan_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "core/common/owner_calls.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

using Found = std::vector<std::pair<std::u16string, std::int64_t>>;

Found found(const std::vector<VolumeRecord>& records) {
    Found out;
    for (const auto& r : records) out.emplace_back(r.fileSystem, r.startSector);
    return out;
}

struct DeepScanPage {
    FileReadSeek reader;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    RunSlot slot;
    OwnerCallQueue owner;
    std::vector<VolumeRecord> records;
    std::unique_ptr<DeepScanRun> run;
    int offThreadFinds = 0;
    DeepScanPage() {
        EXPECT_TRUE(reader.open(fixturePath("mbr_disk.img").string()));
        run = std::make_unique<DeepScanRun>(reader, sink, &prompt, &slot);
        run->records = &records;
        run->runOnOwner = owner.caller();
        const auto ownerId = std::this_thread::get_id();
        run->onFound = [this, ownerId](const VolumeRecord&) { offThreadFinds += std::this_thread::get_id() != ownerId; };
    }
    void serve() { owner.serveUntil([this] { return !run->running(); }); }
};

TEST(TwoThreadsDeepScan, FindsWhatTheOneThreadScanFindsAndHandsThemToTheOwner) {
    DeepScanPage page;
    page.run->skipVolumeSize = 0;
    std::atomic<int> finished{0};
    page.run->onFinished = [&](const RunOutcome&) { ++finished; };
    ASSERT_TRUE(page.run->start());
    EXPECT_TRUE(page.slot.busy());
    // One run at a time per page.
    DeepScanRun second(page.reader, page.sink, &page.prompt, &page.slot);
    page.run->startWorker();
    EXPECT_FALSE(second.start());
    page.serve();
    page.run->wait();

    std::vector<VolumeRecord> reference;
    Partition p;
    p.skipVolumeSize = 0;
    p.records = &reference;
    deepScan(p, page.reader);
    EXPECT_EQ(found(page.records), found(reference));
    EXPECT_EQ(found(page.records).size(), 5u);  // the boot sector copies are not listed again
    EXPECT_EQ(page.offThreadFinds, 0);
    EXPECT_EQ(page.run->foundCount(), 5);
    EXPECT_EQ(page.run->outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(finished.load(), 1);
    EXPECT_FALSE(page.slot.busy());
    const auto messages = page.prompt.messagesNow();
    EXPECT_EQ(messages, (std::vector<std::u16string>{kWaitForOtherProcessText, u"populated partitions...."}));
    EXPECT_EQ(page.sink.statusesNow().back(), u"Finished Scanning.");
}

TEST(TwoThreadsDeepScan, StopFromTheOwnerEndsTheScanKeepingTheRows) {
    DeepScanPage page;
    page.run->skipVolumeSize = 0;
    // The owner presses Stop as soon as it sees the first row.
    page.run->onFound = [&](const VolumeRecord&) { page.run->stop(); };
    ASSERT_TRUE(page.run->start());
    page.run->startWorker();
    page.serve();
    page.run->wait();
    EXPECT_EQ(page.records.size(), 1u);
    EXPECT_EQ(page.run->outcome().kind, RunOutcome::Kind::Stopped);
    const auto statuses = page.sink.statusesNow();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"Scanned Partitions"), statuses.end());
    // A new run of the same object starts clean and finds everything again.
    page.records.clear();
    page.run->onFound = nullptr;
    ASSERT_TRUE(page.run->start());
    page.run->startWorker();
    page.serve();
    page.run->wait();
    EXPECT_EQ(page.records.size(), 5u);
    EXPECT_EQ(page.run->outcome().kind, RunOutcome::Kind::Completed);
}

TEST(TwoThreadsDeepScan, TwoPausesNeedTwoResumesAndAStopWhilePausedIsSeenAfter) {
    DeepScanPage page;
    ASSERT_TRUE(page.run->start());
    page.run->pause();
    page.run->pause();
    page.run->startWorker();
    page.run->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // Still held before its first block: nothing found, still running.
    EXPECT_TRUE(page.run->running());
    page.run->stop();
    page.run->resume();
    page.serve();
    page.run->wait();
    EXPECT_FALSE(page.run->running());
    EXPECT_TRUE(page.records.empty());
    EXPECT_EQ(page.run->outcome().kind, RunOutcome::Kind::Stopped);
}

TEST(DeepScanRunOutcome, AFailingDiskIsScannedPastItsBadSectorsAndTheirBlockLastSectorBySector) {
    // 3 MiB whose second MiB holds 8 unreadable sectors; NTFS boot sectors in each MiB,
    // the second one in the bad sectors' block but readable itself.
    std::vector<std::uint8_t> disk(3 * 1048576, 0);
    for (const std::int64_t sector : {100, 2048 + 500, 4096 + 7}) {
        std::uint8_t* b = disk.data() + sector * 512;
        b[0] = 0xEB;
        b[1] = 0x52;
        std::memcpy(b + 3, "NTFS    ", 8);
        b[12] = 0x02;  // 512 bytes per sector
        b[40] = 0x00;
        b[41] = 0x10;  // 4096 sectors
    }
    FaultyMemoryReadSeek reader(disk, {{2048 + 10, 8}});
    RecordingSink sink;
    DeepScanRun run(reader, sink);
    std::vector<VolumeRecord> records;
    run.records = &records;
    run.skipVolumeSize = 0;
    ASSERT_TRUE(run.start());
    run.runWorker();
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Completed);
    // The third MiB is scanned before the bad block is split; then its readable boot sector.
    EXPECT_EQ(found(records), (Found{{u"NTFS", 100}, {u"NTFS", 4103}, {u"NTFS", 2548}}));
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(), u"unreadable sectors: 8"), sink.statuses.end());
    EXPECT_EQ(sink.statuses.back(), u"Finished Scanning. unreadable sectors: 8 (the scan went on past them)");
    // One failed read of the block in the pass, then its failing piece, then the 8
    // sectors alone: each bad sector is read once when it is alone.
    EXPECT_LE(reader.failedReads.load(), 1 + 1 + 1 + 8);
}

}  // namespace
}  // namespace dravonel::test
