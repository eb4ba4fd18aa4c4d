#include "core/scan/volume_scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/scan/fake_volume.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

// Stands in for the NTFS parser: records the steps the worker calls and fills the tree
// as the parser does (ROOT and the root folder's children).
class FakeNtfsSteps final : public NtfsScanSteps {
public:
    FakeNtfsSteps(const ScanContext& c, std::vector<std::string>& log) : context(c), log_(log) {
        const EntryRef docs = fake.folder(FakeVolume::kRoot, u"docs");
        fake.file(docs, u"a.txt", "A");
        fake.file(FakeVolume::kRoot, u"top.txt", "T");
    }
    bool hasTree() const override { return context.tree != nullptr; }
    bool addTreeRoot() override { return step("addTreeRoot"); }
    bool readBootSector() override { return step("readBootSector"); }
    void setRecoveryMode(RecoveryMode m) override { step("mode " + std::to_string(int(m))); }
    bool locateMft() override { return step("locateMft"); }
    bool scanForMftRecords() override { return step("scanForMftRecords"); }
    void readMftEntries() override {
        step("readMftEntries");
        // A long loop with a check point per record, as the parser's.
        for (int i = 0; i < recordLoops && stop.load() == 0; ++i) {
            context.control->checkPoint();
            ++recordsRead;
        }
    }
    void buildEntryTree() override {
        step("buildEntryTree");
        fillTopLevel(*context.tree, fake);
    }
    RecoveredVolume& volume() override { return fake; }
    StopFlag& stopFlag() override { return stop; }

    ScanContext context;
    FakeVolume fake;
    StopFlag stop{0};
    int recordLoops = 0;
    std::atomic<int> recordsRead{0};

private:
    bool step(std::string s) {
        log_.push_back(std::move(s));
        return true;
    }
    std::vector<std::string>& log_;
};

struct ScanHarness {
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    MemoryReadSeek reader{std::vector<std::uint8_t>(4096)};
    std::vector<std::string> log;
    FakeNtfsSteps* parser = nullptr;
    int recordLoops = 0;
    NtfsParserFactory factory() {
        return [this](const ScanContext& c) {
            auto p = std::make_unique<FakeNtfsSteps>(c, log);
            p->recordLoops = recordLoops;
            parser = p.get();
            return p;
        };
    }
    std::unique_ptr<VolumeScan> make(std::u16string fs, RecoveryMode mode, bool withReader = true) {
        VolumeRecord record;
        record.fileSystem = std::move(fs);
        record.startSector = 2048;
        return std::make_unique<VolumeScan>(record, mode, tree, withReader ? &reader : nullptr, sink, prompt, factory());
    }
};

TEST(FileSystemKinds, ChosenWithoutRegardToCase) {
    EXPECT_EQ(fileSystemKind(u"NTFS"), FileSystemKind::Ntfs);
    EXPECT_EQ(fileSystemKind(u"ntfs"), FileSystemKind::Ntfs);
    EXPECT_EQ(fileSystemKind(u"FAT"), FileSystemKind::Fat16);
    EXPECT_EQ(fileSystemKind(u"fat16"), FileSystemKind::Fat16);
    EXPECT_EQ(fileSystemKind(u"FAT32"), FileSystemKind::Fat32);
    EXPECT_EQ(fileSystemKind(u"FAT64"), FileSystemKind::ExFat);
    EXPECT_EQ(fileSystemKind(u"eXFAT"), FileSystemKind::ExFat);
    EXPECT_EQ(fileSystemKind(u"EXTx"), FileSystemKind::Ext);
    EXPECT_EQ(fileSystemKind(u"hfs+"), FileSystemKind::HfsPlus);
    EXPECT_EQ(fileSystemKind(u"FAT12"), FileSystemKind::None);
    EXPECT_EQ(fileSystemKind(u"RAW"), FileSystemKind::None);
}

struct ModeCase {
    RecoveryMode mode;
    std::vector<std::string> steps;
    std::u16string modeStatus;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << "mode " << int(c.mode); }

class NtfsWorkerSteps : public ::testing::TestWithParam<ModeCase> {};

TEST_P(NtfsWorkerSteps, RunInOrderAndComplete) {
    ScanHarness h;
    auto scan = h.make(u"Ntfs", GetParam().mode);
    ASSERT_TRUE(scan->start());
    EXPECT_TRUE(scan->scanRunning());
    scan->runWorker();
    EXPECT_EQ(h.log, GetParam().steps);
    EXPECT_EQ(h.reader.baseOffset, 2048 * 512);
    EXPECT_FALSE(scan->scanRunning());
    EXPECT_EQ(h.prompt.messages, std::vector<std::u16string>{kScanDoneText});
    const std::vector<std::u16string> statuses = {u"ntfs partition selected....", GetParam().modeStatus, kScanDoneText};
    EXPECT_EQ(h.sink.statuses, statuses);
    // Completion put the placeholder under the top-level folder; the tree propagates marks.
    const TreeItem docs = childNamed(h.tree, h.tree.root(), u"docs");
    ASSERT_NE(docs, kNoItem);
    EXPECT_TRUE(h.tree.isPlaceholder(h.tree.firstChild(docs)));
    EXPECT_TRUE(h.tree.triStatePropagation);
    EXPECT_EQ(scan->volume(), &h.parser->fake);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, NtfsWorkerSteps,
    ::testing::Values(ModeCase{RecoveryMode::Standard,
                               {"addTreeRoot", "readBootSector", "mode 1", "locateMft", "readMftEntries", "buildEntryTree"},
                               u" ParsingBasedOnMFT is going on...."},
                      ModeCase{RecoveryMode::Deep,
                               {"addTreeRoot", "readBootSector", "mode 3", "scanForMftRecords", "readMftEntries",
                                "buildEntryTree"},
                               u" scanning for mft entries in deep mode ...."}));

struct DeadEndCase {
    const char* name;
    std::u16string fileSystem;
    bool withReader;
    std::u16string message;
};

void PrintTo(const DeadEndCase& c, std::ostream* os) { *os << c.name; }

const DeadEndCase kDeadEnds[] = {
    {"UnknownKind", u"RAW", true, u"not a valid drive."},
    {"Fat12", u"FAT12", true, u"not a valid drive."},
    {"Fat32NotBuilt", u"fat32", true, u"FAT32 volumes cannot be scanned yet."},
    {"HfsNotBuilt", u"HFS+", true, u"HFS+ volumes cannot be scanned yet."},
    {"NoReader", u"NTFS", false, u"Please Restart the program to re begin necessary initialization..."},
};

class ScanDeadEnds : public ::testing::TestWithParam<DeadEndCase> {};

TEST_P(ScanDeadEnds, StartNothingAndStopChangesNothing) {
    ScanHarness h;
    auto scan = h.make(GetParam().fileSystem, RecoveryMode::Standard, GetParam().withReader);
    EXPECT_FALSE(scan->start());
    EXPECT_TRUE(scan->deadEnd());
    EXPECT_EQ(h.prompt.messages, std::vector<std::u16string>{GetParam().message});
    EXPECT_EQ(scan->volume(), nullptr);
    scan->runWorker();
    scan->stop();
    EXPECT_EQ(scan->stopPressed().load(), 0);
    EXPECT_TRUE(h.log.empty());
    EXPECT_TRUE(scan->scanRunning());
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanDeadEnds, ::testing::ValuesIn(kDeadEnds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanDeadEnds, UnknownKindSaysGoBack) {
    ScanHarness h;
    auto scan = h.make(u"RAW", RecoveryMode::Standard);
    scan->start();
    EXPECT_EQ(h.sink.statuses, std::vector<std::u16string>{u"Not a valid Drive .Go back"});
}

// Waits until cond holds or a generous time passed.
template <class F>
bool eventually(F cond) {
    for (int i = 0; i < 2000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cond();
}

TEST(ScanPause, TwoPausesNeedTwoResumes) {
    ScanHarness h;
    h.recordLoops = 1 << 30;
    auto scan = h.make(u"NTFS", RecoveryMode::Standard);
    ASSERT_TRUE(scan->start());
    scan->startWorker();
    ASSERT_TRUE(eventually([&] { return h.parser->recordsRead.load() > 0; }));
    scan->pause();
    scan->pause();
    EXPECT_EQ(scan->control().suspensions(), 2);
    // The worker comes to rest at its next check point: the count stays the same for
    // 20 samples in a row.
    int before = h.parser->recordsRead.load();
    for (int still = 0, tries = 0; still < 20 && tries < 2000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int now = h.parser->recordsRead.load();
        still = now == before ? still + 1 : 0;
        before = now;
    }
    scan->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(h.parser->recordsRead.load(), before) << "one resume after two pauses let the worker go";
    scan->resume();
    EXPECT_TRUE(eventually([&] { return h.parser->recordsRead.load() > before; }));
    // Stop ends the loop; the worker still completes the scan.
    scan->stop();
    EXPECT_EQ(h.parser->stop.load(), 1);
    EXPECT_EQ(scan->stopPressed().load(), 1);
    scan->wait();
    EXPECT_FALSE(scan->scanRunning());
    EXPECT_EQ(h.prompt.messages, std::vector<std::u16string>{kScanDoneText});
    EXPECT_NE(std::find(h.sink.statuses.begin(), h.sink.statuses.end(), u"Pause button pressed"), h.sink.statuses.end());
    EXPECT_NE(std::find(h.sink.statuses.begin(), h.sink.statuses.end(),
                        u"stop button pressed.Please wait for the process to be stopped."),
              h.sink.statuses.end());
}

TEST(ScanPause, StopWhilePausedIsSeenAfterResume) {
    ScanHarness h;
    h.recordLoops = 1 << 30;
    auto scan = h.make(u"NTFS", RecoveryMode::Standard);
    ASSERT_TRUE(scan->start());
    scan->startWorker();
    ASSERT_TRUE(eventually([&] { return h.parser->recordsRead.load() > 0; }));
    scan->pause();
    scan->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(scan->scanRunning());
    scan->resume();
    scan->wait();
    EXPECT_FALSE(scan->scanRunning());
}

}  // namespace
}  // namespace dravonel::test
