// The scan page's runs as the GUI drives them: the scan on a worker inserting through the
// owner thread, then save and search on a worker under the page's one-run rule.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/common/owner_calls.h"
#include "core/scan/fake_volume.h"
#include "core/scan/save_walk.h"
#include "core/scan/search_walk.h"
#include "core/scan/volume_scan.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

// The tree as text, one line per item with its depth, colour and check state.
std::vector<std::string> dump(const CTriStateTree& tree) {
    std::vector<std::string> out;
    std::vector<std::pair<TreeItem, int>> stack;
    for (std::size_t n = tree.childCount(kNoItem); n-- > 0;) stack.emplace_back(tree.child(kNoItem, n), 0);
    while (!stack.empty()) {
        const auto [item, depth] = stack.back();
        stack.pop_back();
        out.push_back(std::string(static_cast<std::size_t>(depth), ' ') + toUtf8(tree.getItemText(item)) + " " +
                      std::to_string(tree.findItemData(item)->textColour) + " " + std::to_string(tree.checkState(item)));
        for (std::size_t n = tree.childCount(item); n-- > 0;) stack.emplace_back(tree.child(item, n), depth + 1);
    }
    return out;
}

struct ScanPage {
    FileReadSeek reader;
    CTriStateTree tree;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    RunSlot slot;
    OwnerCallQueue owner;
    std::unique_ptr<VolumeScan> scan;
    int offThread = 0;
    ScanPage(RecoveryMode mode, const char* image, bool twoThreads) {
        EXPECT_TRUE(reader.open(fixturePath(image).string()));
        VolumeRecord record;
        record.fileSystem = u"NTFS";
        record.sizeMbText = u"16";
        scan = std::make_unique<VolumeScan>(record, mode, tree, &reader, sink, prompt);
        scan->usePageSlot(&slot);
        const auto ownerId = std::this_thread::get_id();
        tree.onInserted = [this, ownerId](TreeItem) { offThread += std::this_thread::get_id() != ownerId; };
        if (twoThreads) scan->useOwnerThread(owner.caller());
        EXPECT_TRUE(scan->start());
        if (!twoThreads) {
            scan->runWorker();
            return;
        }
        scan->startWorker();
        owner.serveUntil([this] { return !scan->scanRunning(); });
        scan->wait();
    }
};

class TwoThreadsScan : public ::testing::TestWithParam<std::pair<RecoveryMode, const char*>> {};

TEST_P(TwoThreadsScan, TheNtfsScanOnAWorkerBuildsTheTreeTheOneThreadScanBuilds) {
    ScanPage one(GetParam().first, GetParam().second, false);
    ScanPage two(GetParam().first, GetParam().second, true);
    EXPECT_EQ(two.scan->outcome().kind, ScanOutcome::Kind::Completed);
    EXPECT_EQ(dump(two.tree), dump(one.tree));
    EXPECT_GE(two.tree.itemCount(), 3u);
    EXPECT_FALSE(two.slot.busy());
    EXPECT_EQ(two.prompt.messagesNow(), std::vector<std::u16string>{kScanDoneText});
}

INSTANTIATE_TEST_SUITE_P(Images, TwoThreadsScan,
                         ::testing::Values(std::make_pair(RecoveryMode::Standard, "ntfs_basic.img"),
                                           std::make_pair(RecoveryMode::Deep, "ntfs_noboot.img")),
                         [](const auto& info) {
                             return std::string(info.param.first == RecoveryMode::Deep ? "Deep" : "Standard");
                         });

TEST(TwoThreadsScanOwner, EveryInsertOfTheParserRunsOnTheOwnerThread) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(fixturePath("ntfs_basic.img").string()));
    CTriStateTree tree;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    OwnerCallQueue owner;
    VolumeRecord record;
    record.fileSystem = u"NTFS";
    VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
    scan.useOwnerThread(owner.caller());
    const auto ownerId = std::this_thread::get_id();
    int offThread = 0, inserts = 0;
    tree.onInserted = [&](TreeItem) {
        ++inserts;
        offThread += std::this_thread::get_id() != ownerId;
    };
    ASSERT_TRUE(scan.start());
    scan.startWorker();
    owner.serveUntil([&] { return !scan.scanRunning(); });
    scan.wait();
    EXPECT_GT(inserts, 3);
    EXPECT_EQ(offThread, 0);
}

// A parser that inserts one item per record through its tree sink until stopped.
ParserRegistry endlessRegistry(std::atomic<int>& records) {
    return ParserRegistry({{FileSystemKind::Ntfs, [&records](const ScanContext& c) {
                                auto p = std::make_unique<FakeVolume>();
                                FakeVolume* fake = p.get();
                                p->onRun = [c, fake, &records](RecoveryMode) {
                                    const TreeItem root = c.tree->insertItem(u"ROOT", ItemImage::Folder);
                                    while (fake->stopFlag().load() == 0) {
                                        c.control->checkPoint();
                                        c.tree->insertItem(u"r", ItemImage::File, root);
                                        ++records;
                                    }
                                    return ScanOutcome::stopped();
                                };
                                return std::unique_ptr<ScanParser>(std::move(p));
                            }}});
}

TEST(TwoThreadsScanControl, PauseHoldsTheWorkerWhileTheOwnerServesAndStopEndsTheRun) {
    std::atomic<int> records{0};
    const ParserRegistry registry = endlessRegistry(records);
    CTriStateTree tree;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    MemoryReadSeek reader(std::vector<std::uint8_t>(4096));
    OwnerCallQueue owner;
    VolumeRecord record;
    record.fileSystem = u"NTFS";
    VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt, registry);
    scan.useOwnerThread(owner.caller());
    ASSERT_TRUE(scan.start());
    scan.startWorker();
    // The owner's script, run between the worker's calls.
    enum { Filling, Paused, Resumed, Stopped } step = Filling;
    int heldAt = 0;
    auto pausedSince = std::chrono::steady_clock::now();
    owner.serveUntil([&] {
        switch (step) {
            case Filling:
                if (records.load() > 200) {
                    scan.pause();
                    scan.pause();
                    scan.resume();
                    step = Paused;
                    heldAt = records.load();
                    pausedSince = std::chrono::steady_clock::now();
                }
                break;
            case Paused:
                // The worker comes to rest at its next check point (at most one more record).
                if (std::chrono::steady_clock::now() - pausedSince > std::chrono::milliseconds(50)) {
                    EXPECT_LE(records.load(), heldAt + 1);
                    heldAt = records.load();
                    scan.resume();
                    step = Resumed;
                }
                break;
            case Resumed:
                if (records.load() > heldAt + 100) {
                    scan.stop();
                    step = Stopped;
                }
                break;
            case Stopped: break;
        }
        return step == Stopped && !scan.scanRunning();
    });
    scan.wait();
    EXPECT_EQ(scan.outcome().kind, ScanOutcome::Kind::Stopped);
    EXPECT_EQ(tree.childCount(tree.root()), static_cast<std::size_t>(records.load()));
    EXPECT_EQ(scan.parser()->stopFlag().load(), 0);
}

TEST(TwoThreadsSaveSearch, SaveAndSearchRunOnAWorkerOneAtATimePerPage) {
    ScanPage page(RecoveryMode::Standard, "ntfs_basic.img", true);
    RecoveredVolume& volume = *page.scan->volume();
    page.tree.setCheck(page.tree.root(), true);
    const fs::path out = makeTempDir("threads-save");
    SaveRun save(page.tree, volume, page.sink, page.prompt);
    save.usePageSlot(&page.slot);
    save.stopPressed = &page.scan->stopPressed();
    save.outputFolder = out;
    std::atomic<int> finished{0};
    save.onFinished = [&](const SaveOutcome&) { ++finished; };
    ASSERT_TRUE(save.start());
    save.startWorker(nullptr);
    // While the save holds the page, a search is refused.
    FileList hits;
    SearchRun search(page.tree, volume, page.sink, page.prompt);
    search.usePageSlot(&page.slot);
    EXPECT_FALSE(search.start());
    EXPECT_EQ(search.outcome().message, kWaitForOtherProcessText);
    save.wait();
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(save.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_GT(save.outcome().counts.saved, 5);
    EXPECT_EQ(save.outcome().counts.failed, 0);
    EXPECT_EQ(filesBelow(out).at("dir1/dir2/dir3/deep.txt").size(), 5000u);

    ASSERT_TRUE(search.start());
    search.startWorker(u"deep", hits);
    search.wait();
    EXPECT_EQ(search.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(search.outcome().hits, static_cast<std::int64_t>(hits.rows.size()));
    ASSERT_FALSE(hits.rows.empty());
    EXPECT_FALSE(page.slot.busy());
    fs::remove_all(out);
}

TEST(TwoThreadsSaveSearch, StopFromTheOwnerEndsASaveOnTheWorker) {
    ScanPage page(RecoveryMode::Standard, "ntfs_basic.img", false);
    RecoveredVolume& volume = *page.scan->volume();
    page.tree.setCheck(page.tree.root(), true);
    const fs::path out = makeTempDir("threads-save-stop");
    SaveRun save(page.tree, volume, page.sink, page.prompt);
    save.outputFolder = out;
    ASSERT_TRUE(save.start());
    save.pause();  // held before its first item
    save.startWorker(nullptr);
    save.stop();
    save.resume();
    save.wait();
    EXPECT_EQ(save.outcome().kind, RunOutcome::Kind::Stopped);
    EXPECT_EQ(save.outcome().counts.saved, 0);
    EXPECT_EQ(volume.stopFlag().load(), 0);
    fs::remove_all(out);
}

}  // namespace
}  // namespace dravonel::test
