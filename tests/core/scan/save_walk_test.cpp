#include "core/scan/save_walk.h"

#include <gtest/gtest.h>

#include "core/scan/fake_volume.h"
#include "core/scan/search_walk.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// ROOT
//  docs/      a.txt, sub/ (deep.txt), old.txt (deleted)
//  pics/      p.jpg
//  $BadClus   (never written)
//  top.txt
//  gone.txt   (deleted)
struct Layout {
    FakeVolume volume;
    CTriStateTree tree;
    TreeItem root = kNoItem;
    Layout() {
        const EntryRef docs = volume.folder(FakeVolume::kRoot, u"docs");
        volume.file(docs, u"a.txt", "A");
        const EntryRef sub = volume.folder(docs, u"sub");
        volume.file(sub, u"deep.txt", "DEEP");
        volume.file(docs, u"old.txt", "OLD", true);
        const EntryRef pics = volume.folder(FakeVolume::kRoot, u"pics");
        volume.file(pics, u"p.jpg", "JPEG");
        const EntryRef bad = volume.file(FakeVolume::kRoot, u"$BadClus", "BAD");
        volume.at(bad).neverSaved = true;
        volume.file(FakeVolume::kRoot, u"top.txt", "TOP");
        volume.file(FakeVolume::kRoot, u"gone.txt", "GONE", true);
        root = fillTopLevel(tree, volume, false);
        ResultView(tree, volume).addExpandPlaceholders();
    }
    TreeItem item(std::initializer_list<std::u16string_view> path) {
        TreeItem at = root;
        for (auto part : path) {
            ResultView(tree, volume).insertChildren(at);
            at = childNamed(tree, at, part);
        }
        return at;
    }
};

struct SaveCase {
    const char* name;
    std::function<void(Layout&)> mark;
    bool saveDeleted;
    Files expected;
    SaveCounts counts;
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

const SaveCase kSaveCases[] = {
    {"RootOnlyChecked", [](Layout& l) { l.tree.setCheck(l.root, true); }, true,
     {{"docs/a.txt", "A"}, {"docs/sub/deep.txt", "DEEP"}, {"docs/old.txt", "OLD"}, {"pics/p.jpg", "JPEG"},
      {"top.txt", "TOP"}, {"gone.txt", "GONE"}},
     {6, 1, 0}},
    {"UnexpandedFolderSavedWhole", [](Layout& l) { l.tree.setCheck(l.item({u"docs"}), true); }, true,
     {{"docs/a.txt", "A"}, {"docs/sub/deep.txt", "DEEP"}, {"docs/old.txt", "OLD"}},
     {3, 0, 0}},
    {"PartlyCheckedFolder",
     [](Layout& l) {
         l.tree.setCheck(l.item({u"docs", u"a.txt"}), true);
         l.tree.setCheck(l.item({u"docs", u"sub"}), true);
     },
     true, {{"docs/a.txt", "A"}, {"docs/sub/deep.txt", "DEEP"}}, {2, 0, 0}},
    {"DeepFileInOpenedFolders", [](Layout& l) { l.tree.setCheck(l.item({u"docs", u"sub", u"deep.txt"}), true); },
     true, {{"docs/sub/deep.txt", "DEEP"}}, {1, 0, 0}},
    {"SkipDeleted", [](Layout& l) { l.tree.setCheck(l.root, true); }, false,
     {{"docs/a.txt", "A"}, {"docs/sub/deep.txt", "DEEP"}, {"pics/p.jpg", "JPEG"}, {"top.txt", "TOP"}},
     {4, 3, 0}},
    {"BadClusNeverWritten", [](Layout& l) { l.tree.setCheck(l.item({u"$BadClus"}), true); }, true, {}, {0, 1, 0}},
};

class SaveWalk : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SaveWalk, WritesExactlyTheMarkedFiles) {
    const SaveCase& c = GetParam();
    Layout l;
    c.mark(l);
    RecordingSink sink;
    ScriptedPrompt prompt;
    prompt.answers = {c.saveDeleted};
    const fs::path out = makeTempDir("save-walk");
    SaveRun run(l.tree, l.volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.hasMarkedItems(nullptr));
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(filesBelow(out), c.expected);
    EXPECT_EQ(run.counts().saved, c.counts.saved);
    EXPECT_EQ(run.counts().skipped, c.counts.skipped);
    EXPECT_EQ(run.counts().failed, c.counts.failed);
    EXPECT_EQ(prompt.questions, std::vector<std::u16string>{u"Do you want to Save Deleted Files?"});
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"work done....."});
    ASSERT_FALSE(sink.statuses.empty());
    EXPECT_EQ(sink.statuses.back(), u"Saving Completed..");
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Marks, SaveWalk, ::testing::ValuesIn(kSaveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SaveWalkTexts, StatusAndSizeLinePerFile) {
    Layout l;
    l.volume.at(l.volume.file(FakeVolume::kRoot, u"big.bin", std::string(5000, 'x'))).name = u"big.bin";
    l.root = fillTopLevel(l.tree, l.volume, false);
    l.tree.setCheck(childNamed(l.tree, l.root, u"big.bin"), true);
    RecordingSink sink, line;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-texts");
    SaveRun run(l.tree, l.volume, sink, prompt);
    run.outputFolder = out;
    run.progressLine = &line;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(), u"saving File  " + fromUtf8((out / "big.bin").string())),
              sink.statuses.end());
    EXPECT_EQ(line.statuses, (std::vector<std::u16string>{u"File size: 4 kb", u""}));
    fs::remove_all(out);
}

TEST(SaveWalkStart, NothingMarkedOrNoFolderStartsNothing) {
    Layout l;
    RecordingSink sink;
    ScriptedPrompt prompt;
    SaveRun run(l.tree, l.volume, sink, prompt);
    EXPECT_FALSE(run.hasMarkedItems(nullptr));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"Please select File or Folder to save"});
    // A checked item but the folder choice cancelled: nothing is asked or written.
    l.tree.setCheck(l.root, true);
    prompt.messages.clear();
    EXPECT_FALSE(run.run(nullptr));
    EXPECT_TRUE(prompt.questions.empty());
    EXPECT_TRUE(l.volume.saved.empty());
}

TEST(SaveWalkStop, StopDuringAFolderSaveFinishesTheCurrentFileAndEnds) {
    FakeVolume volume;
    const EntryRef big = volume.folder(FakeVolume::kRoot, u"big");
    for (int i = 0; i < 10; ++i) volume.file(big, u16("f" + std::to_string(i)), "x");
    CTriStateTree tree;
    const TreeItem root = fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    StopFlag stopPressed{0};
    volume.afterSave = [&](EntryRef) {
        if (volume.saved.size() == 3) stopPressed = 1;
    };
    const fs::path out = makeTempDir("save-stop");
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    run.stopPressed = &stopPressed;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(filesBelow(out).size(), 3u);
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"work done....."});
    EXPECT_EQ(stopPressed.load(), 0);  // cleared at the end of the run
    ASSERT_FALSE(sink.ranges.empty());
    EXPECT_EQ(sink.ranges.back(), std::make_pair(std::int64_t{0}, std::int64_t{10}));
    (void)root;
    fs::remove_all(out);
}

// Names taken from a disk that try to leave the output folder or that Linux cannot hold.
TEST(SaveWalkNames, HostileNamesStayInsideTheOutputFolder) {
    FakeVolume volume;
    const EntryRef up = volume.folder(FakeVolume::kRoot, u"..");
    volume.file(up, u"../../escape.txt", "1");
    const EntryRef dot = volume.folder(FakeVolume::kRoot, u".");
    volume.file(dot, u"..", "2");
    volume.file(FakeVolume::kRoot, u"a/b\\c", "3");
    volume.file(FakeVolume::kRoot, u"", "4");
    volume.file(FakeVolume::kRoot, std::u16string(u"ctl\x01\x1f") + char16_t(0) + u"x", "5");
    volume.file(FakeVolume::kRoot, u"  spaced.txt  ", "6");
    volume.file(FakeVolume::kRoot, std::u16string(300, u'\u00e9') + u".txt", "7");
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path base = makeTempDir("save-names");
    const fs::path out = base / "out";
    fs::create_directory(out);
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(run.counts().saved, 7);
    const Files files = filesBelow(out);
    Files expected = {{"__/.._.._escape.txt", "1"}, {"_/__", "2"}, {"a_b_c", "3"}, {"_ (1)", "4"},
                      {"ctl___x", "5"}, {"spaced.txt", "6"}};
    std::string longName;
    for (int i = 0; i < 125; ++i) longName += "\xc3\xa9";
    expected[longName + ".txt"] = "7";
    EXPECT_EQ(files, expected);
    // Nothing beside the output folder.
    std::vector<fs::path> beside;
    for (const auto& e : fs::directory_iterator(base)) beside.push_back(e.path().filename());
    EXPECT_EQ(beside, std::vector<fs::path>{"out"});
    fs::remove_all(base);
}

TEST(SaveWalkNames, SameNameInOneFolderGetsADistinctNameAndNothingThereBeforeIsReplaced) {
    FakeVolume volume;
    const EntryRef docs = volume.folder(FakeVolume::kRoot, u"docs");
    volume.file(docs, u"report.doc", "live");
    volume.file(docs, u"report.doc", "deleted copy", true);
    volume.file(docs, u"report.doc", "third");
    volume.file(docs, u"noext", "n1");
    volume.file(docs, u"noext", "n2");
    // A folder and a file of one name.
    const EntryRef clash = volume.folder(docs, u"clash");
    volume.file(clash, u"inside.txt", "in");
    volume.file(docs, u"clash", "file");
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-same");
    fs::create_directories(out / "docs");
    { std::ofstream(out / "docs" / "report.doc") << "left by an earlier run, longer than the new one"; }
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    const std::string earlier = "left by an earlier run, longer than the new one";
    Files expected = {{"docs/report.doc", earlier},           {"docs/report (1).doc", "live"},
                      {"docs/report (2).doc", "deleted copy"}, {"docs/report (3).doc", "third"},
                      {"docs/noext", "n1"},                    {"docs/noext (1)", "n2"},
                      {"docs/clash/inside.txt", "in"},         {"docs/clash (1)", "file"}};
    EXPECT_EQ(filesBelow(out), expected);
    EXPECT_EQ(run.counts().saved, 7);
    // A second run replaces nothing the first wrote: its files take the next numbers.
    ASSERT_TRUE(run.run(nullptr));
    Files both = expected;
    both.insert({{"docs/report (4).doc", "live"}, {"docs/report (5).doc", "deleted copy"},
                 {"docs/report (6).doc", "third"}, {"docs/noext (2)", "n1"}, {"docs/noext (3)", "n2"},
                 {"docs/clash/inside (1).txt", "in"}, {"docs/clash (2)", "file"}});
    EXPECT_EQ(filesBelow(out), both);
    fs::remove_all(out);
}

TEST(SaveWalkNames, OutputNameRules) {
    EXPECT_EQ(outputName(u"normal name.txt"), "normal name.txt");
    EXPECT_EQ(outputName(u"..."), "___");
    EXPECT_EQ(outputName(u".hidden"), ".hidden");
    EXPECT_EQ(outputName(u"\t"), "_");
    EXPECT_EQ(numberedName("a.tar.gz", 2), "a.tar (2).gz");
    EXPECT_EQ(numberedName(".hidden", 1), ".hidden (1)");
    EXPECT_LE(outputName(std::u16string(400, u'x')).size(), kMaxNameBytes);
}

TEST(SaveWalkResults, DamagedAndFailedFilesAreCountedAndNamedAndFailedOnesLeaveNothing) {
    FakeVolume volume;
    const EntryRef dir = volume.folder(FakeVolume::kRoot, u"dir");
    volume.file(dir, u"whole.txt", "whole");
    const EntryRef cut = volume.file(dir, u"cut.bin", "head");
    volume.at(cut).unreadableBytes = 1024;
    const EntryRef bad = volume.file(dir, u"bad.bin", "never");
    volume.at(bad).failWrite = true;
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-results");
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    const SaveCounts& c = run.counts();
    EXPECT_EQ(c.saved, 1);
    EXPECT_EQ(c.damaged, 1);
    EXPECT_EQ(c.failed, 1);
    EXPECT_EQ(c.unreadableSectors, 2u);
    ASSERT_EQ(run.problems().size(), 2u);
    EXPECT_EQ(run.problems()[0].path, out / "dir" / "cut.bin");
    EXPECT_EQ(run.problems()[0].status, SaveStatus::Damaged);
    EXPECT_EQ(run.problems()[0].unreadableSectors, 2u);
    EXPECT_EQ(run.problems()[1].path, out / "dir" / "bad.bin");
    EXPECT_EQ(run.problems()[1].status, SaveStatus::Failed);
    // The closing report's lines, paths below the output folder; outside it, the whole path.
    EXPECT_EQ(countsText(c), "saved 1, damaged 1, skipped 0, failed 1");
    EXPECT_EQ(problemLine(run.problems()[0], out), "damaged: dir/cut.bin: 2 unreadable sectors written as zeros");
    const std::string failedText = problemText(run.problems()[1]);
    EXPECT_EQ(problemLine(run.problems()[1], out),
              "failed: dir/bad.bin" + (failedText.empty() ? std::string() : ": " + failedText));
    EXPECT_EQ(problemLine(run.problems()[0], out / "elsewhere"),
              "damaged: " + (out / "dir" / "cut.bin").string() + ": 2 unreadable sectors written as zeros");
    // The damaged file is kept with zeros where data was missing; the failed one is gone.
    const auto files = filesBelow(out);
    EXPECT_EQ(files.at("dir/cut.bin"), "head" + std::string(1024, '\0'));
    EXPECT_FALSE(files.count("dir/bad.bin"));
    fs::remove_all(out);
}

TEST(SaveWalkLinks, ASymbolicLinkInTheOutputFolderIsNotFollowed) {
    FakeVolume volume;
    volume.file(FakeVolume::kRoot, u"target.txt", "new");
    const EntryRef dir = volume.folder(FakeVolume::kRoot, u"dir");
    volume.file(dir, u"inside.txt", "in");
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path base = makeTempDir("save-link");
    fs::create_directory(base / "out");
    fs::create_directory(base / "elsewhere");
    { std::ofstream(base / "victim") << "untouched"; }
    fs::create_symlink(base / "victim", base / "out" / "target.txt");
    fs::create_directory_symlink(base / "elsewhere", base / "out" / "dir");
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = base / "out";
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(readFileBytes(base / "victim"), (std::vector<std::uint8_t>{'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd'}));
    EXPECT_EQ(filesBelow(base / "out")["target (1).txt"], "new");
    EXPECT_EQ(filesBelow(base / "out")["dir (1)/inside.txt"], "in");
    EXPECT_TRUE(fs::is_empty(base / "elsewhere"));
    fs::remove_all(base);
}

TEST(SaveWalkLoops, FoldersLinkedIntoALoopAreWalkedOnce) {
    FakeVolume volume;
    const EntryRef a = volume.folder(FakeVolume::kRoot, u"a");
    const EntryRef b = volume.folder(a, u"b");
    volume.file(b, u"f.txt", "f");
    volume.at(b).children.push_back(a);  // b lists a again
    EXPECT_EQ(countFilesUnder(volume, a), 1);
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    ResultView(tree, volume).addExpandPlaceholders();
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-loop");
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(filesBelow(out), (Files{{"a/b/f.txt", "f"}}));
    fs::remove_all(out);
}

TEST(SaveSearchRows, CheckedHitIsSavedBelowItsFoldersOnly) {
    Layout l;
    RecordingSink sink;
    ScriptedPrompt prompt;
    FileList list;
    SearchRun search(l.tree, l.volume, sink, prompt);
    ASSERT_TRUE(search.run(u"deep", list));
    ASSERT_EQ(list.rows.size(), 1u);
    list.rows[0].checked = true;
    const fs::path out = makeTempDir("save-rows");
    SaveRun run(l.tree, l.volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.hasMarkedItems(&list));
    ASSERT_TRUE(run.run(&list));
    EXPECT_EQ(filesBelow(out), (Files{{"docs/sub/deep.txt", "DEEP"}}));
    fs::remove_all(out);
}

TEST(SaveSearchRows, FolderThatCannotBeMadeSkipsTheRow) {
    Layout l;
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-rowfail");
    { std::ofstream(out / "docs") << "a file where the folder should go"; }
    SaveRun run(l.tree, l.volume, sink, prompt);
    run.outputFolder = out;
    fs::path path = out;
    // "docs" is taken by a file: the numbered variant is made instead.
    ASSERT_TRUE(run.makeFolderPath(path, {u"ROOT", u"docs", u"x.txt"}));
    EXPECT_EQ(path, out / "docs (1)");
    fs::path missing = out / "no" / "such";
    EXPECT_FALSE(run.makeFolderPath(missing, {u"ROOT", u"docs", u"x.txt"}));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"cant create folder docs "});
    fs::remove_all(out);
}

TEST(QuickSave, AsksForAFolderInsteadOfWritingToAFixedPlace) {
    Layout l;
    RecordingSink sink;
    ScriptedPrompt prompt;
    FileList list;
    SaveRun run(l.tree, l.volume, sink, prompt);
    const TreeItem gone = childNamed(l.tree, l.root, u"gone.txt");
    // No folder chosen and none given: nothing is written.
    EXPECT_FALSE(run.quickSave(gone, list, nullptr));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"select output folder"});
    EXPECT_TRUE(l.volume.saved.empty());
    // The chooser's folder is used and kept; a deleted file is saved too.
    const fs::path out = makeTempDir("quick");
    int asked = 0;
    auto choose = [&] { ++asked; return out; };
    EXPECT_TRUE(run.quickSave(gone, list, choose));
    EXPECT_TRUE(run.quickSave(childNamed(l.tree, l.root, u"top.txt"), list, choose));
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(filesBelow(out), (Files{{"gone.txt", "GONE"}, {"top.txt", "TOP"}}));
    // A folder is listed as a label click lists it.
    EXPECT_FALSE(run.quickSave(childNamed(l.tree, l.root, u"docs"), list, choose));
    ASSERT_EQ(list.rows.size(), 2u);
    EXPECT_EQ(list.rows[0].text, u"a.txt");
    fs::remove_all(out);
}

TEST(SaveOutcome, CountsDamagedFilesAndTheirUnreadableSectorsInEverySave) {
    FakeVolume volume;
    const EntryRef whole = volume.file(FakeVolume::kRoot, u"whole.txt", "W");
    const EntryRef hurt = volume.file(FakeVolume::kRoot, u"hurt.bin", "H");
    volume.at(hurt).unreadableBytes = 3 * 512;
    CTriStateTree tree;
    fillTopLevel(tree, volume, true);
    RecordingSink sink;
    ScriptedPrompt prompt;
    const fs::path out = makeTempDir("save-damaged");
    SaveRun run(tree, volume, sink, prompt);
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(run.outcome().counts.saved, 1);
    EXPECT_EQ(run.outcome().counts.damaged, 1);
    EXPECT_EQ(run.outcome().counts.unreadableSectors, 3u);
    EXPECT_EQ(filesBelow(out)["hurt.bin"].size(), 1u + 3 * 512);
    // The quick save of a double click counts the same way.
    FileList list;
    SaveRun quick(tree, volume, sink, prompt);
    quick.outputFolder = out / "quick";
    fs::create_directory(quick.outputFolder);
    // Its result names the file written (the numbered form when the name is taken) and
    // why it is not whole.
    struct QuickCase {
        const char16_t* name;
        SaveStatus status;
        const char* written;
        std::string text;
    } quickCases[] = {
        {u"hurt.bin", SaveStatus::Damaged, "hurt.bin", "3 unreadable sectors written as zeros"},
        {u"whole.txt", SaveStatus::Saved, "whole.txt", ""},
        {u"whole.txt", SaveStatus::Saved, "whole (1).txt", ""},
    };
    for (const QuickCase& q : quickCases) {
        SaveProblem result;
        EXPECT_TRUE(quick.quickSave(childNamed(tree, tree.root(), q.name), list, nullptr, &result));
        EXPECT_EQ(result.status, q.status) << q.written;
        EXPECT_EQ(result.path, quick.outputFolder / q.written);
        EXPECT_EQ(problemText(result), q.text) << q.written;
    }
    EXPECT_EQ(quick.counts().damaged, 1);
    EXPECT_EQ(quick.counts().saved, 2);
    EXPECT_EQ(quick.counts().unreadableSectors, 3u);
    (void)whole;
    fs::remove_all(out);
}

TEST(SaveOutcome, ASecondRunOfThePageIsRefusedAndAnEarlierStopDoesNotLinger) {
    Layout l;
    l.tree.setCheck(l.root, true);
    RecordingSink sink;
    ScriptedPrompt prompt;
    RunSlot page;
    ASSERT_TRUE(page.take());  // say, the scan still runs
    const fs::path out = makeTempDir("save-slot");
    SaveRun run(l.tree, l.volume, sink, prompt);
    run.usePageSlot(&page);
    run.outputFolder = out;
    EXPECT_FALSE(run.run(nullptr));
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{kWaitForOtherProcessText});
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Refused);
    EXPECT_TRUE(l.volume.saved.empty());
    page.give();
    // A Stop pressed during an earlier run is cleared when this one starts.
    l.volume.stopFlag() = 1;
    StopFlag pageStop{1};
    run.stopPressed = &pageStop;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Completed);
    EXPECT_EQ(run.outcome().counts.saved, 6);
    EXPECT_FALSE(page.busy());
    fs::remove_all(out);
}

TEST(SaveOutcome, AStopPressedWhileTheQuestionIsOpenEndsTheSave) {
    Layout l;
    l.tree.setCheck(l.root, true);
    RecordingSink sink;
    struct StopOnQuestion final : Prompt {
        SaveRun* run = nullptr;
        void message(std::u16string_view) override {}
        bool question(std::u16string_view) override {
            run->stop();
            return true;
        }
    } prompt;
    const fs::path out = makeTempDir("save-stop-question");
    SaveRun run(l.tree, l.volume, sink, prompt);
    prompt.run = &run;
    run.outputFolder = out;
    ASSERT_TRUE(run.run(nullptr));
    EXPECT_EQ(run.outcome().kind, RunOutcome::Kind::Stopped);
    EXPECT_TRUE(l.volume.saved.empty());
    EXPECT_EQ(l.volume.stopFlag().load(), 0);
    fs::remove_all(out);
}

}  // namespace
}  // namespace dravonel::test
