#include "core/scan/result_view.h"

#include <gtest/gtest.h>

#include "core/scan/fake_volume.h"

namespace dravonel::test {
namespace {

FileListRow rowText(std::u16string text) {
    FileListRow row;
    row.text = std::move(text);
    return row;
}

// ROOT
//  docs/        (a.txt, sub/ (deep.txt), old.txt deleted)
//  empty/       (no children)
//  folders/     (only sub-folders: x/, y/)
//  top.txt
struct ViewFixture : ::testing::Test {
    FakeVolume volume;
    CTriStateTree tree;
    EntryRef docs, sub, deep, oldFile, empty, folders, top;
    TreeItem root;
    void SetUp() override {
        docs = volume.folder(FakeVolume::kRoot, u"docs");
        volume.file(docs, u"a.txt", "A");
        sub = volume.folder(docs, u"sub");
        deep = volume.file(sub, u"deep.txt", "D");
        oldFile = volume.file(docs, u"old.txt", "O", true);
        empty = volume.folder(FakeVolume::kRoot, u"empty");
        folders = volume.folder(FakeVolume::kRoot, u"folders");
        volume.folder(folders, u"x");
        volume.folder(folders, u"y");
        top = volume.file(FakeVolume::kRoot, u"top.txt", "T");
        root = fillTopLevel(tree, volume, /*checkRoot=*/false);
    }
};

TEST_F(ViewFixture, PlaceholdersGoUnderTopLevelFoldersWithChildrenOnly) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    const TreeItem docsItem = childNamed(tree, root, u"docs");
    ASSERT_NE(docsItem, kNoItem);
    EXPECT_TRUE(tree.isPlaceholder(tree.firstChild(docsItem)));
    EXPECT_EQ(tree.getItemText(tree.firstChild(docsItem)), kPlaceholderText);
    EXPECT_FALSE(tree.hasChildren(childNamed(tree, root, u"empty")));
    EXPECT_FALSE(tree.hasChildren(childNamed(tree, root, u"top.txt")));
}

TEST_F(ViewFixture, PlaceholderKeepsACheckedFolderChecked) {
    tree.setCheck(root, true);
    ResultView(tree, volume).addExpandPlaceholders();
    EXPECT_EQ(tree.checkState(root), 1);
    EXPECT_TRUE(tree.getCheck(childNamed(tree, root, u"docs")));
}

TEST_F(ViewFixture, ExpandingACheckedFolderBringsItsChildrenInChecked) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    const TreeItem docsItem = childNamed(tree, root, u"docs");
    tree.setCheck(docsItem, true);
    EXPECT_EQ(view.insertChildren(docsItem), 3u);
    std::vector<std::u16string> texts;
    for (TreeItem c = tree.firstChild(docsItem); c != kNoItem; c = tree.nextSibling(c)) {
        texts.push_back(tree.getItemText(c));
        EXPECT_TRUE(tree.getCheck(c)) << toUtf8(tree.getItemText(c));
    }
    EXPECT_EQ(texts, (std::vector<std::u16string>{u"a.txt", u"sub", u"old.txt"}));
    const TreeItem subItem = childNamed(tree, docsItem, u"sub");
    EXPECT_TRUE(tree.isPlaceholder(tree.firstChild(subItem)));
    EXPECT_EQ(tree.findItemData(childNamed(tree, docsItem, u"old.txt"))->textColour, kRedTextColour);
    EXPECT_EQ(tree.findItemData(childNamed(tree, docsItem, u"a.txt"))->textColour, kDefaultTextColour);
    EXPECT_TRUE(tree.getCheck(docsItem));
    // Inserted once: a second expansion adds nothing.
    EXPECT_EQ(view.insertChildren(docsItem), 0u);
}

TEST_F(ViewFixture, UncheckedFolderBringsItsChildrenInUnchecked) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    const TreeItem docsItem = childNamed(tree, root, u"docs");
    view.insertChildren(docsItem);
    for (TreeItem c = tree.firstChild(docsItem); c != kNoItem; c = tree.nextSibling(c)) EXPECT_FALSE(tree.getCheck(c));
}

TEST_F(ViewFixture, FolderThatYieldsNoChildrenLosesItsPlaceholder) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    const TreeItem docsItem = childNamed(tree, root, u"docs");
    volume.at(docs).children.clear();  // reported children once, yields none now
    EXPECT_EQ(view.insertChildren(docsItem), 0u);
    EXPECT_FALSE(tree.hasChildren(docsItem));
}

TEST_F(ViewFixture, LabelClickListsTheFilesOfAFolder) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    FileList list;
    list.listShowsSearch = true;
    ASSERT_TRUE(view.labelClicked(childNamed(tree, root, u"docs"), list));
    EXPECT_FALSE(list.listShowsSearch);
    ASSERT_EQ(list.rows.size(), 2u);  // the sub-folder gets no row
    EXPECT_EQ(list.rows[0].text, u"a.txt");
    EXPECT_EQ(list.rows[1].text, u"old.txt");
    EXPECT_EQ(list.rows[1].texts.size, u"1 Bytes");
    EXPECT_FALSE(list.rows[0].checked);
}

TEST_F(ViewFixture, LabelClickCases) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    FileList list;
    list.rows.push_back(rowText(u"keep"));
    // A folder with sub-folders only: the list is emptied and gets no rows.
    EXPECT_TRUE(view.labelClicked(childNamed(tree, root, u"folders"), list));
    EXPECT_TRUE(list.rows.empty());
    // A folder with no children anywhere leaves the list as it was.
    list.rows.push_back(rowText(u"keep"));
    EXPECT_FALSE(view.labelClicked(childNamed(tree, root, u"empty"), list));
    ASSERT_EQ(list.rows.size(), 1u);
    EXPECT_EQ(list.rows[0].text, u"keep");
    // A file lists exactly itself.
    EXPECT_TRUE(view.labelClicked(childNamed(tree, root, u"top.txt"), list));
    ASSERT_EQ(list.rows.size(), 1u);
    EXPECT_EQ(list.rows[0].text, u"top.txt");
    EXPECT_EQ(list.rows[0].entry, top);
    // The ROOT item carries no entry: a click changes nothing.
    EXPECT_FALSE(view.labelClicked(root, list));
}

TEST_F(ViewFixture, RowCheckBoxReachesTheTreeOnlyForFolderRows) {
    ResultView view(tree, volume);
    view.addExpandPlaceholders();
    FileList list;
    const TreeItem docsItem = childNamed(tree, root, u"docs");
    view.labelClicked(docsItem, list);
    view.rowCheckClicked(list, 0);
    EXPECT_TRUE(tree.getCheck(list.rows[0].item));
    EXPECT_EQ(tree.checkState(docsItem), 2);
    view.rowCheckClicked(list, 0);
    EXPECT_FALSE(tree.getCheck(list.rows[0].item));

    list.listShowsSearch = true;
    view.rowCheckClicked(list, 1);
    EXPECT_TRUE(list.rows[1].checked);
    EXPECT_FALSE(tree.getCheck(list.rows[1].item));
}

}  // namespace
}  // namespace dravonel::test
