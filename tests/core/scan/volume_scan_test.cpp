#include "core/scan/volume_scan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/common/text.h"
#include "core/scan/fake_volume.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

// Stands in for a parser: logs its run and fills the tree as a parser does (ROOT and the
// root folder's children), with a check point per record in a long loop.
struct FakeParserState {
    FakeVolume* fake = nullptr;
    int recordLoops = 0;
    std::atomic<int> recordsRead{0};
    StopFlag& stop() { return fake->stopFlag(); }
};

struct ScanHarness {
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    MemoryReadSeek reader{std::vector<std::uint8_t>(4096)};
    std::vector<std::string> log;
    FakeParserState state;
    int recordLoops = 0;
    ParserRegistry registry() {
        return ParserRegistry({{FileSystemKind::Ntfs, [this](const ScanContext& c) {
                                    auto p = std::make_unique<FakeVolume>();
                                    const EntryRef docs = p->folder(FakeVolume::kRoot, u"docs");
                                    p->file(docs, u"a.txt", "A");
                                    p->file(FakeVolume::kRoot, u"top.txt", "T");
                                    state.fake = p.get();
                                    state.recordLoops = recordLoops;
                                    FakeVolume* fake = p.get();
                                    p->onRun = [this, c, fake](RecoveryMode m) {
                                        log.push_back("run mode " + std::to_string(int(m)));
                                        for (int i = 0; i < state.recordLoops && fake->stopFlag().load() == 0; ++i) {
                                            c.control->checkPoint();
                                            ++state.recordsRead;
                                        }
                                        fillTopLevel(*static_cast<CTriStateTree*>(c.tree), *fake);
                                        return fake->stopFlag().load() ? ScanOutcome::stopped() : ScanOutcome::completed();
                                    };
                                    return std::unique_ptr<ScanParser>(std::move(p));
                                }}});
    }
    ParserRegistry table;
    std::unique_ptr<VolumeScan> make(std::u16string fs, RecoveryMode mode, bool withReader = true) {
        VolumeRecord record;
        record.fileSystem = std::move(fs);
        record.startSector = 2048;
        table = registry();
        return std::make_unique<VolumeScan>(record, mode, tree, withReader ? &reader : nullptr, sink, prompt, table);
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
    EXPECT_EQ(fileSystemKind(u"FAT12"), FileSystemKind::Fat16);  // the FAT16 parser reads FAT12 too
    EXPECT_EQ(fileSystemKind(u"RAW"), FileSystemKind::None);
}

class ScanModes : public ::testing::TestWithParam<RecoveryMode> {};

TEST_P(ScanModes, RunTheParserAndComplete) {
    ScanHarness h;
    auto scan = h.make(u"Ntfs", GetParam());
    ASSERT_TRUE(scan->start());
    EXPECT_TRUE(scan->scanRunning());
    scan->runWorker();
    EXPECT_EQ(h.log, std::vector<std::string>{"run mode " + std::to_string(int(GetParam()))});
    EXPECT_EQ(h.reader.baseOffset, 2048 * 512);
    EXPECT_FALSE(scan->scanRunning());
    EXPECT_EQ(scan->outcome().kind, ScanOutcome::Kind::Completed);
    EXPECT_EQ(h.prompt.messages, std::vector<std::u16string>{kScanDoneText});
    EXPECT_EQ(h.sink.statuses, std::vector<std::u16string>{kScanDoneText});
    // Completion put the placeholder under the top-level folder; the tree propagates marks.
    const TreeItem docs = childNamed(h.tree, h.tree.root(), u"docs");
    ASSERT_NE(docs, kNoItem);
    EXPECT_TRUE(h.tree.isPlaceholder(h.tree.firstChild(docs)));
    EXPECT_TRUE(h.tree.triStatePropagation);
    EXPECT_EQ(scan->volume(), h.state.fake);
}

INSTANTIATE_TEST_SUITE_P(Modes, ScanModes, ::testing::Values(RecoveryMode::Standard, RecoveryMode::Deep));

struct DeadEndCase {
    const char* name;
    std::u16string fileSystem;
    bool withReader;
    std::u16string message;
};

void PrintTo(const DeadEndCase& c, std::ostream* os) { *os << c.name; }

const DeadEndCase kDeadEnds[] = {
    {"UnknownKind", u"RAW", true, u"not a valid drive."},
    {"Fat32NotBuilt", u"fat32", true, u"FAT32 volumes cannot be scanned yet."},
    {"HfsNotBuilt", u"HFS+", true, u"HFS+ volumes cannot be scanned yet."},
    {"ModeNotRun", u"NTFS", true, u"NTFS volumes cannot be scanned in this recovery mode yet."},
    {"NoReader", u"NTFS", false, u"Please Restart the program to re begin necessary initialization..."},
};

class ScanDeadEnds : public ::testing::TestWithParam<DeadEndCase> {};

TEST_P(ScanDeadEnds, StartNothingAndStopChangesNothing) {
    ScanHarness h;
    const RecoveryMode mode = std::string(GetParam().name) == "ModeNotRun" ? RecoveryMode::Advanced : RecoveryMode::Standard;
    auto scan = h.make(GetParam().fileSystem, mode, GetParam().withReader);
    EXPECT_FALSE(scan->start());
    EXPECT_TRUE(scan->deadEnd());
    EXPECT_EQ(h.prompt.messages, std::vector<std::u16string>{GetParam().message});
    EXPECT_EQ(scan->volume(), nullptr);
    scan->runWorker();
    scan->stop();
    EXPECT_EQ(scan->stopPressed().load(), 0);
    EXPECT_TRUE(h.log.empty());
    // A dead end ends the run: Save and Search are not refused for good afterwards.
    EXPECT_FALSE(scan->scanRunning());
    EXPECT_EQ(scan->outcome().kind, ScanOutcome::Kind::Refused);
    EXPECT_EQ(scan->outcome().message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ScanDeadEnds, ::testing::ValuesIn(kDeadEnds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ScanDeadEnds, UnknownKindSaysGoBack) {
    ScanHarness h;
    auto scan = h.make(u"RAW", RecoveryMode::Standard);
    scan->start();
    EXPECT_EQ(h.sink.statuses, std::vector<std::u16string>{u"Not a valid Drive .Go back"});
}

// A FAT-family scan of a volume whose boot sector is not of its kind: the parser's refusal
// is the only message; the scan is over, with nothing in the tree, and never "done".
TEST(ScanRefusals, ABootSectorOfAnotherKindEndsWithTheRefusalAlone) {
    const struct {
        const char16_t* fileSystem;
        std::u16string message;
    } cases[] = {
        {u"FAT32", u"Selected Drive is not in Fat32 Format"},
        {u"FAT16", u"Selected Drive is not in Fat16 Format"},
        {u"exFAT", u"Selected Drive is not in exFat Format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.fileSystem));
        FileReadSeek reader;
        ASSERT_TRUE(reader.open(fixturePath("ntfs_basic.img").string()));
        CTriStateTree tree;
        RecordingSink sink;
        ScriptedPrompt prompt;
        VolumeRecord record;
        record.fileSystem = c.fileSystem;
        record.sizeMbText = u"16";
        VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
        ASSERT_TRUE(scan.start());
        scan.runWorker();
        EXPECT_EQ(scan.outcome().kind, ScanOutcome::Kind::Refused);
        EXPECT_EQ(scan.outcome().message, c.message);
        EXPECT_EQ(prompt.messages, std::vector<std::u16string>{c.message});
        EXPECT_EQ(std::find(sink.statuses.begin(), sink.statuses.end(), kScanDoneText), sink.statuses.end());
        EXPECT_FALSE(scan.scanRunning());
        const TreeItem top = tree.root();
        EXPECT_TRUE(top == kNoItem || tree.firstChild(top) == kNoItem);
    }
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
    ASSERT_TRUE(eventually([&] { return h.state.recordsRead.load() > 0; }));
    scan->pause();
    scan->pause();
    EXPECT_EQ(scan->control().suspensions(), 2);
    // The worker comes to rest at its next check point: the count stays the same for
    // 20 samples in a row.
    int before = h.state.recordsRead.load();
    for (int still = 0, tries = 0; still < 20 && tries < 2000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int now = h.state.recordsRead.load();
        still = now == before ? still + 1 : 0;
        before = now;
    }
    scan->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(h.state.recordsRead.load(), before) << "one resume after two pauses let the worker go";
    scan->resume();
    EXPECT_TRUE(eventually([&] { return h.state.recordsRead.load() > before; }));
    // Stop ends the loop; the worker still completes the scan.
    scan->stop();
    EXPECT_EQ(scan->stopPressed().load(), 1);
    scan->wait();
    EXPECT_FALSE(scan->scanRunning());
    EXPECT_EQ(scan->outcome().kind, ScanOutcome::Kind::Stopped);
    // The stop belongs to that run: the parser's flag is clear for later saves and searches.
    EXPECT_EQ(h.state.stop().load(), 0);
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
    ASSERT_TRUE(eventually([&] { return h.state.recordsRead.load() > 0; }));
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
