#include "core/scan/advanced_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/scan/fake_volume.h"
#include "core/scan/volume_scan.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

// A volume whose parser has the advanced road: its search finds two copies, and its
// Advanced run fills the tree from the copy the options chose (nothing for copy 1).
struct AdvancedHarness {
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    MemoryReadSeek reader{std::vector<std::uint8_t>(4096)};
    FakeVolume* fake = nullptr;
    bool advancedRoad = true;
    bool structureFound = true;
    std::function<ScanOutcome(FakeVolume&, int)> onFind;
    std::vector<int> copiesRunFrom;
    ParserRegistry table{{{FileSystemKind::Fat32, [this](const ScanContext& c) {
                               auto p = std::make_unique<FakeVolume>();
                               p->file(FakeVolume::kRoot, u"IMG_0001.JPG", "jpeg");
                               p->advancedRoad = advancedRoad;
                               p->structureFound = structureFound;
                               p->finds.copies = {16384, 16384 + 512 * 1024};
                               p->finds.clusterChoices = {8, 2, 4};
                               FakeVolume* self = p.get();
                               fake = self;
                               if (onFind) p->onFind = [this, self](int max) { return onFind(*self, max); };
                               p->onRun = [this, self](RecoveryMode mode) {
                                   if (mode != RecoveryMode::Advanced) {
                                       tree.initialise();
                                       tree.insertItem(u"ROOT", ItemImage::Folder);
                                       return ScanOutcome::completed();
                                   }
                                   const ScanOptions chosen = self->rebinds.back();
                                   copiesRunFrom.push_back(chosen.advancedCopyIndex);
                                   tree.initialise();
                                   const TreeItem root = tree.insertItem(u"ROOT", ItemImage::Folder);
                                   if (chosen.advancedCopyIndex == 0) fillTopLevel(tree, *self);
                                   (void)root;
                                   return ScanOutcome::completed();
                               };
                               (void)c;
                               return std::unique_ptr<ScanParser>(std::move(p));
                           }}}};
    VolumeRecord record() const {
        VolumeRecord r;
        r.fileSystem = u"FAT32";
        r.name = u"G0";
        r.startSector = 0;
        r.sizeMbText = u"64";
        return r;
    }
    std::unique_ptr<VolumeScan> scanWith(AdvancedSearch& search, int copy) {
        ScanOptions options;
        options.advancedCopyIndex = copy;
        auto scan = std::make_unique<VolumeScan>(record(), RecoveryMode::Advanced, tree, &reader, sink, prompt, table,
                                                 options);
        scan->borrowParser(search.parser());
        return scan;
    }
};

TEST(AdvancedSearch, FindsThenLendsTheSameParserToEveryPassOfTheScan) {
    AdvancedHarness h;
    ScanOptions options;
    options.maxCopies = 0;  // none given: 3
    AdvancedSearch search(h.record(), &h.reader, h.sink, h.prompt, h.table, options);
    ASSERT_TRUE(search.start());
    search.runWorker();
    EXPECT_EQ(search.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(h.fake->searchedFor, 3);
    ASSERT_EQ(search.finds().copies.size(), 2u);
    ASSERT_FALSE(h.prompt.messages.empty());
    EXPECT_EQ(h.prompt.messages.back(),
              u"Number of FAT32-ENTRY found = 2 . Please select the choice from combo box and click Next button to "
              u"proceed.");
    EXPECT_EQ(h.sink.statuses.back(), u"Parsing done.Click Next to continue.");

    ScanParser* searched = search.parser();
    {
        auto first = h.scanWith(search, 0);
        ASSERT_TRUE(first->start());
        EXPECT_EQ(first->parser(), searched);
        first->runWorker();
        EXPECT_EQ(h.prompt.messages.back(), kScanDoneText);
    }
    // Back, another copy, Next: the same parser again, with the new choice; a choice
    // that leads nowhere is said, not announced as done.
    {
        auto second = h.scanWith(search, 1);
        ASSERT_TRUE(second->start());
        EXPECT_EQ(second->parser(), searched);
        second->runWorker();
        EXPECT_EQ(h.prompt.messages.back(), kAdvancedNothingText);
        EXPECT_EQ(h.sink.statuses.back(), kAdvancedNothingText);
    }
    EXPECT_EQ(h.copiesRunFrom, (std::vector<int>{0, 1}));
    ASSERT_EQ(h.fake->rebinds.size(), 2u);
}

TEST(AdvancedSearch, DeadEndsAreSaidAndKeptAsRefused) {
    struct Case {
        std::u16string fileSystem;
        bool advancedRoad;
        bool withReader;
        std::u16string text;
    };
    const Case cases[] = {
        {u"RAW", true, true, u"not a valid drive."},
        {u"FAT32", false, true, u"FAT32 volumes have no Advanced recovery road."},
        {u"FAT32", true, false, u"Please Restart the program to re begin necessary initialization..."},
    };
    for (const Case& c : cases) {
        AdvancedHarness h;
        h.advancedRoad = c.advancedRoad;
        VolumeRecord r = h.record();
        r.fileSystem = c.fileSystem;
        AdvancedSearch search(r, c.withReader ? &h.reader : nullptr, h.sink, h.prompt, h.table);
        EXPECT_FALSE(search.start());
        EXPECT_EQ(search.outcome().kind, RunOutcome::Kind::Refused);
        EXPECT_EQ(search.outcome().message, c.text);
        ASSERT_EQ(h.prompt.messages.size(), 1u);
        EXPECT_EQ(h.prompt.messages[0], c.text);
        EXPECT_EQ(search.parser(), nullptr);
        search.runWorker();  // nothing to run
        EXPECT_EQ(h.prompt.messages.size(), 1u);
    }
}

TEST(AdvancedSearch, AStopPressedBeforeTheWorkerStartsIsKept) {
    // Pressed between start and the worker's first step: the worker must not clear it.
    {
        AdvancedHarness h;
        h.onFind = [](FakeVolume& self, int) {
            return self.stopFlag().load() ? ScanOutcome::stopped() : ScanOutcome::completed();
        };
        AdvancedSearch search(h.record(), &h.reader, h.sink, h.prompt, h.table);
        ASSERT_TRUE(search.start());
        search.stop();
        search.runWorker();
        EXPECT_EQ(search.outcome().kind, RunOutcome::Kind::Stopped);
        EXPECT_NE(std::find(h.sink.statuses.begin(), h.sink.statuses.end(), u"stop button pressed"),
                  h.sink.statuses.end());
    }
}

// A scan that did not find the file system's structures where the boot sector says they
// are (an NTFS boot sector pointing at no MFT) recovered nothing: it says so, with the
// Advanced road as the way on when the parser has one, instead of "done".
TEST(AdvancedSearch, AScanThatFoundNoStructuresSaysSoInsteadOfDone) {
    const std::u16string tryAdvanced = std::u16string(kStructureNotFoundText) + kTryAdvancedText;
    struct Case {
        bool structureFound;
        bool advancedRoad;
        std::u16string text;
    };
    const Case cases[] = {
        {true, true, kScanDoneText},
        {false, true, tryAdvanced},
        {false, false, kStructureNotFoundText},
    };
    for (const Case& c : cases) {
        AdvancedHarness h;
        h.structureFound = c.structureFound;
        h.advancedRoad = c.advancedRoad;
        VolumeScan scan(h.record(), RecoveryMode::Standard, h.tree, &h.reader, h.sink, h.prompt, h.table);
        ASSERT_TRUE(scan.start());
        scan.runWorker();
        ASSERT_FALSE(h.prompt.messages.empty());
        EXPECT_EQ(h.prompt.messages.back(), c.text);
        EXPECT_EQ(h.sink.statuses.back(), c.text);
    }
}

TEST(AdvancedSearch, FoundMessagesAndRowTextsPerKind) {
    AdvancedFinds two;
    two.copies = {1, 2};
    two.heaps = {3};
    const AdvancedFinds none;
    EXPECT_EQ(advancedFoundMessage(FileSystemKind::Fat32, none), u"NO FAT  FAT32-ENTRY found ..");
    EXPECT_EQ(advancedFoundMessage(FileSystemKind::Fat16, none),
              u"Number of FAT-ENTRY found = 0 . Please select the choice from combo box and click Next button to "
              u"proceed.");
    EXPECT_EQ(advancedFoundMessage(FileSystemKind::Ntfs, two),
              u"Number of MFT-ENTRY found = 2 . Please select the choice from combo box and click Next button to "
              u"proceed.");
    EXPECT_EQ(advancedFoundMessage(FileSystemKind::ExFat, two),
              u"Number of FAT64-ENTRY found = 2 and Number of HeapOffset-ENTRY found =  1  . Please select the choice "
              u"from ( Entry and Heap ) Combobox and click Next button to proceed.");
    EXPECT_EQ(advancedCopyRowText(FileSystemKind::Ntfs, 0), u"MFT_ENTRY:0");
    EXPECT_EQ(advancedCopyRowText(FileSystemKind::Fat16, 1), u"FAT_ENTRY:1");
    EXPECT_EQ(advancedCopyRowText(FileSystemKind::Fat32, 2), u"FAT32_ENTRY:2");
    EXPECT_EQ(advancedCopyRowText(FileSystemKind::ExFat, 3), u"FAT64_ENTRY:3");
    EXPECT_EQ(advancedHeapRowText(0), u"HEAP_OFFSET_ENTRY:0");
    EXPECT_EQ(advancedCopiesLabel(FileSystemKind::Fat16), u"Total fat16 Entries Found:");
    EXPECT_EQ(advancedCopiesLabel(FileSystemKind::ExFat), u"Total fat64 Entries Found:");
    EXPECT_EQ(advancedCopiesLabel(FileSystemKind::Fat32), u"TFS :");
    EXPECT_EQ(advancedDoneStatus(FileSystemKind::Ntfs), u"Parsing done.Click next to continue.");
}

}  // namespace
}  // namespace dravonel::test
