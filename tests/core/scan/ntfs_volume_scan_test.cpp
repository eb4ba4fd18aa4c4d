// The scan steps, lazy insertion, saving and search on a real NTFS image, through the
// NTFS parser behind NtfsScanParser.
#include "core/scan/volume_scan.h"

#include <gtest/gtest.h>

#include "core/scan/fake_volume.h"
#include "core/scan/result_view.h"
#include "core/scan/save_walk.h"
#include "core/scan/search_walk.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

struct RealScan {
    FileReadSeek reader;
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    std::unique_ptr<VolumeScan> scan;
    explicit RealScan(RecoveryMode mode, const char* image = "ntfs_basic.img") {
        EXPECT_TRUE(reader.open(fixturePath(image).string()));
        VolumeRecord record;
        record.fileSystem = u"NTFS";
        record.sizeMbText = u"16";
        scan = std::make_unique<VolumeScan>(record, mode, tree, &reader, sink, prompt);
        EXPECT_TRUE(scan->start());
        scan->runWorker();
    }
    RecoveredVolume& volume() { return *scan->volume(); }
};

TEST(NtfsScanSession, StandardScanFillsTheTopLevelAndCompletes) {
    RealScan s(RecoveryMode::Standard);
    EXPECT_FALSE(s.scan->scanRunning());
    EXPECT_EQ(s.prompt.messages.back(), kScanDoneText);
    EXPECT_NE(std::find(s.sink.statuses.begin(), s.sink.statuses.end(), u" ParsingBasedOnMFT is going on...."),
              s.sink.statuses.end());
    const TreeItem root = s.tree.root();
    EXPECT_EQ(s.tree.getItemText(root), u"ROOT");
    EXPECT_EQ(s.tree.checkState(root), 1);
    // Top-level folders wait behind their placeholder; the deleted folder is red.
    const TreeItem dir1 = childNamed(s.tree, root, u"dir1");
    ASSERT_NE(dir1, kNoItem);
    EXPECT_TRUE(s.tree.isPlaceholder(s.tree.firstChild(dir1)));
    const TreeItem deldir = childNamed(s.tree, root, u"deldir");
    ASSERT_NE(deldir, kNoItem);
    EXPECT_EQ(s.tree.findItemData(deldir)->textColour, kRedTextColour);
    // The "ROOT" item names no entry.
    EXPECT_FALSE(s.volume().isValidEntry(s.tree.itemData(root)));
}

TEST(NtfsScanSession, LabelClickOnADeepFolderListsItsFileWithTheParsersTexts) {
    RealScan s(RecoveryMode::Standard);
    ResultView view(s.tree, s.volume());
    TreeItem at = childNamed(s.tree, s.tree.root(), u"dir1");
    for (const char16_t* name : {u"dir2", u"dir3"}) {
        view.insertChildren(at);
        at = childNamed(s.tree, at, name);
        ASSERT_NE(at, kNoItem);
    }
    FileList list;
    ASSERT_TRUE(view.labelClicked(at, list));
    ASSERT_EQ(list.rows.size(), 1u);
    EXPECT_EQ(list.rows[0].text, u"deep.txt");
    EXPECT_EQ(list.rows[0].texts.size, u"4.88 KB");
    EXPECT_FALSE(list.rows[0].texts.modified.empty());
}

TEST(NtfsScanSession, UnopenedDeletedFolderSavedWholeOrSkipped) {
    for (const bool saveDeleted : {true, false}) {
        RealScan s(RecoveryMode::Standard);
        s.tree.setCheck(s.tree.root(), false);
        s.tree.setCheck(childNamed(s.tree, s.tree.root(), u"deldir"), true);
        const fs::path out = makeTempDir("ntfs-deldir");
        SaveRun run(s.tree, s.volume(), s.sink, s.prompt);
        run.outputFolder = out;
        s.prompt.answers = {saveDeleted};
        ASSERT_TRUE(run.run(nullptr));
        const auto files = filesBelow(out);
        if (saveDeleted) {
            EXPECT_EQ(files.size(), 2u);
            EXPECT_EQ(files.at("deldir/inside1.txt").size(), 3000u);
            EXPECT_EQ(files.at("deldir/inside2.txt").size(), 400u);
        } else {
            EXPECT_TRUE(files.empty());
            EXPECT_EQ(run.counts().skipped, 2);
        }
        fs::remove_all(out);
    }
}

TEST(NtfsScanSession, DeepScanPlacesFilesWhereTheyWere) {
    RealScan s(RecoveryMode::Deep, "ntfs_noboot.img");
    EXPECT_NE(std::find(s.sink.statuses.begin(), s.sink.statuses.end(),
                        u" scanning for mft entries in deep mode ...."),
              s.sink.statuses.end());
    FileList hits;
    SearchRun search(s.tree, s.volume(), s.sink, s.prompt);
    ASSERT_TRUE(search.run(u"^deep\\.txt$", hits));
    ASSERT_EQ(hits.rows.size(), 1u);
    EXPECT_EQ(hits.rows[0].pathParts,
              (std::vector<std::u16string>{u"ROOT", u"dir1", u"dir2", u"dir3", u"deep.txt"}));
}

TEST(NtfsScanSession, AStopLeftInTheParserCutsNeitherTheNextSaveNorTheNextSearch) {
    RealScan s(RecoveryMode::Standard);
    s.tree.setCheck(s.tree.root(), false);
    s.tree.setCheck(childNamed(s.tree, s.tree.root(), u"deldir"), true);
    const fs::path out = makeTempDir("ntfs-stale-stop");
    // A Stop from some earlier run still set in the parser: the save starts clean, so the
    // non-resident file is written whole, not as 0 bytes.
    s.volume().stopFlag() = 1;
    SaveRun run(s.tree, s.volume(), s.sink, s.prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(filesBelow(out).at("deldir/inside1.txt").size(), 3000u);
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Completed);
    s.volume().stopFlag() = 1;
    FileList hits;
    SearchRun search(s.tree, s.volume(), s.sink, s.prompt);
    ASSERT_TRUE(search.run(u"inside", hits));
    EXPECT_EQ(hits.rows.size(), 2u);
    EXPECT_EQ(s.volume().stopFlag().load(), 0);
    fs::remove_all(out);
}

}  // namespace
}  // namespace dravonel::test
