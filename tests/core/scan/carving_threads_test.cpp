// Carving as the raw recovery page runs it: the engine on a worker through its run
// object, the tree served by the owner thread, pause, stop and the page's one-run rule.
#include "core/scan/carving_run.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/common/owner_calls.h"
#include "../raw/raw_test_support.h"

namespace dravonel::test {
namespace {

// 4 MiB with an "AB" file start every 64 KiB.
std::vector<std::uint8_t> planted() {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(4 * kMiB), 0);
    for (std::int64_t at = 0; at < 4 * kMiB; at += 65536) plant(img, at, {'A', 'B'});
    return img;
}

const std::vector<RuleSpec> kRules = {{.ext = "ab", .start = {'A', 'B'}, .end = {}, .approx = 1000, .category = "Docs"}};

struct CarvingPage {
    MemoryReadSeek reader{planted()};
    myJpg engine;
    CTriStateTree tree;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    RunSlot slot;
    OwnerCallQueue owner;
    CarvingRun run{engine, tree, sink, prompt, &slot};
    CarvingPage() {
        for (std::size_t i = 0; i < kRules.size(); ++i)
            engine.signatures.push_back(SignatureEntry{makeRecord(kRules[i]), static_cast<std::int64_t>(i)});
        engine.reader = &reader;
        engine.volumeSize = 4 * kMiB;
        run.useOwnerThread(owner.caller());
    }
    void serve() { owner.serveUntil([this] { return !run.running(); }); }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const FoundFile& f : engine.found()) out.push_back(toUtf8(tree.getItemText(f.item)));
        return out;
    }
};

TEST(TwoThreadsCarving, TheWorkerFindsWhatTheOneThreadCarveFinds) {
    CarveRun reference(planted(), kRules);
    reference.run();
    CarvingPage page;
    const auto ownerId = std::this_thread::get_id();
    int offThread = 0;
    page.tree.onInserted = [&](TreeItem) { offThread += std::this_thread::get_id() != ownerId; };
    ASSERT_TRUE(page.run.start());
    page.run.startWorker();
    page.serve();
    page.run.wait();
    EXPECT_EQ(page.run.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(page.run.outcome().found, 64);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < reference.engine.found().size(); ++i) expected.push_back(reference.itemText(i));
    EXPECT_EQ(page.texts(), expected);
    // Once the engine inserts through a tree sink, the worker never touches the tree.
    if (CarvingRun::kInsertsThroughOwner) {
        EXPECT_EQ(offThread, 0);
    }
    EXPECT_EQ(page.sink.statusesNow().back(), u"Processing done");
    EXPECT_FALSE(page.slot.busy());
}

TEST(TwoThreadsCarving, PauseHoldsTheEngineAndStopEndsTheRunOnePageRunAtATime) {
    CarvingPage page;
    ASSERT_TRUE(page.run.start());
    page.run.pause();
    page.run.startWorker();
    // The page is busy: a second run is refused.
    myJpg other;
    CarvingRun second(other, page.tree, page.sink, page.prompt, &page.slot);
    EXPECT_FALSE(second.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(page.reader.readCalls.load(), 0);
    page.run.stop();
    page.run.resume();
    page.serve();
    page.run.wait();
    EXPECT_EQ(page.run.outcome().kind, RunOutcome::Kind::Stopped);
    EXPECT_EQ(page.run.outcome().found, 0);
    EXPECT_EQ(page.engine.stopFlag.load(), 0);
    const auto statuses = page.sink.statusesNow();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"Stop button pressed.Please wait for the process to stop"),
              statuses.end());
    EXPECT_EQ(page.prompt.messagesNow().front(), kWaitForOtherProcessText);
}

}  // namespace
}  // namespace dravonel::test
