#include "core/scan/search_walk.h"

#include <gtest/gtest.h>

#include "core/scan/fake_volume.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

FileListRow rowText(std::u16string text) {
    FileListRow row;
    row.text = std::move(text);
    return row;
}

// ROOT
//  docs/      (never opened) mydocument.txt, report.doc, sub/ (budget.xls, photo.jpg)
//  pics/      holiday.JPG, doc-folder/ (inner.bin)
//  top.doc
//  emptydir/  (a folder without children at the top level)
struct SearchFixture : ::testing::Test {
    FakeVolume volume;
    CTriStateTree tree;
    TreeItem root = kNoItem;
    RecordingSink sink;
    ScriptedPrompt prompt;
    FileList list;
    void SetUp() override {
        const EntryRef docs = volume.folder(FakeVolume::kRoot, u"docs");
        volume.file(docs, u"mydocument.txt", "1");
        volume.file(docs, u"report.doc", "2", true);
        const EntryRef sub = volume.folder(docs, u"sub");
        volume.file(sub, u"budget.xls", "3");
        volume.file(sub, u"photo.jpg", "4");
        const EntryRef pics = volume.folder(FakeVolume::kRoot, u"pics");
        volume.file(pics, u"holiday.JPG", "5");
        const EntryRef docFolder = volume.folder(pics, u"doc-folder");
        volume.file(docFolder, u"inner.bin", "6");
        volume.file(FakeVolume::kRoot, u"top.doc", "7");
        volume.folder(FakeVolume::kRoot, u"emptydoc");
        root = fillTopLevel(tree, volume);
        ResultView(tree, volume).addExpandPlaceholders();
    }
    std::vector<std::string> hits() const {
        std::vector<std::string> out;
        for (const auto& r : list.rows) out.push_back(toUtf8(r.text));
        return out;
    }
};

struct PatternCase {
    const char* name;
    std::u16string pattern;
    std::vector<std::string> hits;
};

void PrintTo(const PatternCase& c, std::ostream* os) { *os << c.name; }

const PatternCase kPatterns[] = {
    {"AlternativesAnywhereInTheName", u"doc|xls",
     {"ROOT/docs/mydocument.txt", "ROOT/docs/report.doc", "ROOT/docs/sub/budget.xls", "ROOT/top.doc"}},
    {"CaseDoesNotCount", u"DOC", {"ROOT/docs/mydocument.txt", "ROOT/docs/report.doc", "ROOT/top.doc"}},
    {"AnchoredExtension", u"\\.jpg$", {"ROOT/docs/sub/photo.jpg", "ROOT/pics/holiday.JPG"}},
    {"FileInANeverOpenedFolder", u"inner", {"ROOT/pics/doc-folder/inner.bin"}},
    {"NoMatch", u"zzz", {}},
};

class SearchPatterns : public SearchFixture, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(SearchPatterns, FindsTheFilesOnly) {
    SearchRun run(tree, volume, sink, prompt);
    ASSERT_TRUE(run.run(GetParam().pattern, list));
    EXPECT_EQ(hits(), GetParam().hits);
    EXPECT_TRUE(list.listShowsSearch);
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"Searching Finished"});
    EXPECT_EQ(sink.statuses.back(), u"Searching Finished");
    // Nothing was inserted into the tree: the folders still hold their placeholders.
    EXPECT_TRUE(tree.isPlaceholder(tree.firstChild(childNamed(tree, root, u"docs"))));
}

INSTANTIATE_TEST_SUITE_P(Patterns, SearchPatterns, ::testing::ValuesIn(kPatterns),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SearchFixture, HitRowsCarryEntryPathAndTexts) {
    SearchRun run(tree, volume, sink, prompt);
    ASSERT_TRUE(run.run(u"budget", list));
    ASSERT_EQ(list.rows.size(), 1u);
    const FileListRow& row = list.rows[0];
    EXPECT_EQ(row.pathParts, (std::vector<std::u16string>{u"ROOT", u"docs", u"sub", u"budget.xls"}));
    EXPECT_EQ(volume.name(row.entry), u"budget.xls");
    EXPECT_EQ(row.texts.size, u"1 Bytes");
    EXPECT_EQ(row.item, kNoItem);
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(), u"searched file 1"), sink.statuses.end());
}

TEST_F(SearchFixture, InvalidPatternEndsTheRunWithItsMessage) {
    list.rows.push_back(rowText(u"old row"));
    SearchRun run(tree, volume, sink, prompt);
    EXPECT_FALSE(run.run(u"*.jpg", list));
    EXPECT_EQ(prompt.messages,
              std::vector<std::u16string>{u"such characters are not allowed for search.Try again with different pattern."});
    EXPECT_TRUE(list.rows.empty());
    EXPECT_TRUE(std::find(sink.statuses.begin(), sink.statuses.end(), u"Searching Finished") == sink.statuses.end());
}

TEST_F(SearchFixture, EmptyPatternEmptiesTheListAndFinishes) {
    list.rows.push_back(rowText(u"old row"));
    SearchRun run(tree, volume, sink, prompt);
    EXPECT_TRUE(run.run(u"", list));
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"Searching Finished"});
}

TEST_F(SearchFixture, NamesAreMatchedInWindows1252) {
    volume.file(FakeVolume::kRoot, u"caf\u00e9.txt", "8");
    volume.file(FakeVolume::kRoot, u"\u4e2d.txt", "9");
    root = fillTopLevel(tree, volume);
    SearchRun run(tree, volume, sink, prompt);
    ASSERT_TRUE(run.run(u"caf\u00e9", list));
    EXPECT_EQ(hits(), std::vector<std::string>{"ROOT/caf\xc3\xa9.txt"});
    // A character without a Windows-1252 equivalent is matched as '?'.
    ASSERT_TRUE(run.run(u"^\\?\\.txt", list));
    EXPECT_EQ(hits(), std::vector<std::string>{"ROOT/\xe4\xb8\xad.txt"});
}

TEST_F(SearchFixture, StopEndsTheWalkAndKeepsTheRows) {
    StopFlag stopPressed{0};
    struct StopAfterFirst final : ScanSink {
        StopFlag* page;
        StopFlag* parser;
        void setRange(std::int64_t, std::int64_t) override {}
        void setPosition(std::int64_t) override {}
        void status(std::u16string_view t) override {
            if (t.starts_with(u"searched file")) *page = *parser = 1;
        }
    } stopper;
    stopper.page = &stopPressed;
    stopper.parser = &volume.stopFlag();
    SearchRun run(tree, volume, stopper, prompt);
    run.stopPressed = &stopPressed;
    ASSERT_TRUE(run.run(u"doc|xls|jpg", list));
    EXPECT_EQ(hits(), std::vector<std::string>{"ROOT/docs/mydocument.txt"});
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{u"Searching Finished"});
    EXPECT_EQ(stopPressed.load(), 0);
    EXPECT_EQ(volume.stopFlag().load(), 0);
}

}  // namespace
}  // namespace dravonel::test
