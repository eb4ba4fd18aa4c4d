#include "core/model/tri_state_tree.h"

#include <gtest/gtest.h>

#include <vector>

namespace dravonel {
namespace {

// A folder with three files under a root, propagation on as the pages set it.
class TriStateTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree.initialise();
        tree.triStatePropagation = true;
        tree.onCheckClicked = [this](TreeItem item, int state) { clicks.emplace_back(item, state); };
        tree.onItemExpanded = [this](TreeItem item, int state) { expansions.emplace_back(item, state); };
        root = tree.insertItem(u"ROOT", ItemImage::Folder);
        folder = tree.insertItem(u"Docs", ItemImage::Folder, root);
        for (int i = 0; i < 3; ++i) files.push_back(tree.insertItem(u"f" + std::u16string(1, u'0' + i), ItemImage::File, folder));
    }
    CTriStateTree tree;
    TreeItem root{}, folder{};
    std::vector<TreeItem> files;
    std::vector<std::pair<TreeItem, int>> clicks, expansions;
};

TEST_F(TriStateTreeTest, TickingAFolderTicksItsFilesAndUntickingOneLeavesItMixed) {
    tree.setCheck(folder, true);
    for (TreeItem f : files) EXPECT_TRUE(tree.getCheck(f));
    EXPECT_TRUE(tree.getCheck(folder));
    EXPECT_TRUE(tree.getCheck(root));  // its only child completed it
    EXPECT_EQ(tree.countChecked(), 5);

    tree.setCheck(files[1], false);
    EXPECT_FALSE(tree.getCheck(folder));
    EXPECT_EQ(tree.checkState(folder), 2);
    EXPECT_FALSE(tree.getCheck(root));
    EXPECT_EQ(tree.checkState(root), 2);
    ASSERT_EQ(clicks.size(), 2u);
    EXPECT_EQ(clicks[1], std::make_pair(files[1], 0));
}

TEST_F(TriStateTreeTest, TickingTheLastFileCompletesTheFolderAndItsParent) {
    tree.setCheck(files[0], true);
    tree.setCheck(files[1], true);
    EXPECT_EQ(tree.checkState(folder), 2);
    tree.setCheck(files[2], true);
    EXPECT_TRUE(tree.getCheck(folder));
    EXPECT_TRUE(tree.getCheck(root));
    tree.setCheck(folder, false);
    EXPECT_EQ(tree.countChecked(), 0);
}

TEST_F(TriStateTreeTest, InsertingACheckedChildUnderAnEmptyParentChecksIt) {
    const TreeItem empty = tree.insertItem(u"Empty", ItemImage::Folder, root);
    const TreeItem child = tree.insertItem(u"new", ItemImage::File, empty);
    tree.setCheck(child, true);
    EXPECT_TRUE(tree.getCheck(empty));
    EXPECT_FALSE(tree.getCheck(root));  // Docs is still unchecked
}

TEST_F(TriStateTreeTest, DisabledAndSeparatorItemsIgnoreChecks) {
    tree.setEnabled(files[0], false);
    tree.setCheck(files[0], true);
    EXPECT_FALSE(tree.getCheck(files[0]));
    EXPECT_TRUE(clicks.empty());
    tree.setSeparator(files[2], true);
    tree.setCheck(files[1], true);
    tree.setEnabled(files[0], true);
    tree.setCheck(files[0], true);
    EXPECT_TRUE(tree.getCheck(folder));  // the separator takes no part
}

TEST_F(TriStateTreeTest, DeletingTheOnlyCheckedItemReturnsTheFolderToUnchecked) {
    tree.setCheck(files[0], true);
    EXPECT_EQ(tree.checkState(folder), 2);
    tree.deleteItem(files[0]);
    EXPECT_EQ(tree.checkState(folder), 0);
    EXPECT_FALSE(tree.getCheck(folder));
    // Deleting a folder takes its subtree and keeps the root's counts right.
    tree.deleteItem(folder);
    EXPECT_EQ(tree.firstChild(root), kNoItem);
    EXPECT_EQ(tree.itemCount(), 1u);
    EXPECT_FALSE(tree.exists(files[1]));
}

TEST_F(TriStateTreeTest, HandlesStayValidWhileItemsAreAdded) {
    for (int i = 0; i < 5000; ++i) tree.insertItem(u"x", ItemImage::File, folder);
    EXPECT_EQ(tree.getItemText(files[2]), u"f2");
    EXPECT_EQ(tree.nextSibling(files[0]), files[1]);
    tree.setCheck(folder, true);
    EXPECT_EQ(tree.countChecked(), 5005);
}

TEST_F(TriStateTreeTest, RedTextAndExpansion) {
    EXPECT_EQ(tree.setItemTextRed(files[0]), -1);
    EXPECT_EQ(tree.setItemTextRed(files[0]), 0x0000FF);
    EXPECT_EQ(tree.findItemData(files[0])->textColour, kRedTextColour);

    EXPECT_FALSE(tree.expand(files[0], ExpandCode::Expand));  // no children
    EXPECT_TRUE(tree.expand(folder, ExpandCode::Expand));
    EXPECT_FALSE(tree.expand(folder, ExpandCode::Expand));  // unchanged: no second message
    EXPECT_TRUE(tree.expand(folder, ExpandCode::Toggle));
    EXPECT_TRUE(tree.findItemData(folder)->everExpanded);
    ASSERT_EQ(expansions.size(), 2u);
    EXPECT_EQ(expansions[0], std::make_pair(folder, 1));
    EXPECT_EQ(expansions[1], std::make_pair(folder, 0));
}

TEST_F(TriStateTreeTest, InitialiseDeletesEverythingAndResetsOptions) {
    const auto before = CTriStateTree::liveRecordCount();
    tree.initialise();
    EXPECT_EQ(tree.root(), kNoItem);
    EXPECT_FALSE(tree.triStatePropagation);
    EXPECT_EQ(CTriStateTree::liveRecordCount(), before - 5);
    EXPECT_EQ(tree.insertItem(u"child", ItemImage::File, 99), kNoItem);  // no such parent
}

}  // namespace
}  // namespace dravonel
