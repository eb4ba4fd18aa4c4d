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

TEST_F(TriStateTreeTest, ChildCountChildAndRowAgreeWithTheSiblingOrder) {
    EXPECT_EQ(tree.childCount(kNoItem), 1u);
    EXPECT_EQ(tree.child(kNoItem, 0), root);
    EXPECT_EQ(tree.childCount(folder), 3u);
    for (std::size_t n = 0; n < files.size(); ++n) {
        EXPECT_EQ(tree.child(folder, n), files[n]);
        EXPECT_EQ(tree.row(files[n]), n);
    }
    EXPECT_EQ(tree.child(folder, 3), kNoItem);
    EXPECT_EQ(tree.childCount(99), 0u);
    // Removing the middle file moves the later one up a row.
    tree.deleteItem(files[1]);
    EXPECT_EQ(tree.childCount(folder), 2u);
    EXPECT_EQ(tree.row(files[2]), 1u);
    EXPECT_EQ(tree.nextSibling(files[0]), files[2]);
    EXPECT_EQ(tree.previousSibling(files[2]), files[0]);
    EXPECT_EQ(tree.lastChild(folder), files[2]);
}

// A view that keeps its own copy of the structure from the notifications alone, as a Qt
// item model adapter does (rows announced before they appear or go).
struct MirrorView {
    struct Row {
        TreeItem item = kNoItem;
        std::vector<Row> children;
    };
    Row top;
    const CTriStateTree* tree = nullptr;
    bool pendingInsert = false, pendingRemove = false;
    TreeItem insertParent = kNoItem;
    std::size_t insertRow = 0;

    Row* find(Row& at, TreeItem item) {
        if (at.item == item) return &at;
        for (Row& c : at.children)
            if (Row* r = find(c, item)) return r;
        return nullptr;
    }
    void attach(CTriStateTree& t) {
        tree = &t;
        t.onBeforeInsert = [this](TreeItem parent, std::size_t row) {
            ASSERT_FALSE(pendingInsert);
            pendingInsert = true;
            insertParent = parent;
            insertRow = row;
            // Announced before the tree holds it.
            EXPECT_EQ(tree->childCount(parent), row);
        };
        t.onInserted = [this](TreeItem item) {
            ASSERT_TRUE(pendingInsert);
            pendingInsert = false;
            EXPECT_EQ(tree->parent(item), insertParent);
            EXPECT_EQ(tree->row(item), insertRow);
            Row* p = insertParent == kNoItem ? &top : find(top, insertParent);
            ASSERT_NE(p, nullptr);
            p->children.insert(p->children.begin() + static_cast<std::ptrdiff_t>(insertRow), Row{item, {}});
        };
        t.onBeforeRemove = [this](TreeItem item) {
            ASSERT_FALSE(pendingRemove);
            pendingRemove = true;
            Row* p = tree->parent(item) == kNoItem ? &top : find(top, tree->parent(item));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(p->children.at(tree->row(item)).item, item);
        };
        t.onRemoved = [this](TreeItem parent, std::size_t row) {
            ASSERT_TRUE(pendingRemove);
            pendingRemove = false;
            Row* p = parent == kNoItem ? &top : find(top, parent);
            ASSERT_NE(p, nullptr);
            p->children.erase(p->children.begin() + static_cast<std::ptrdiff_t>(row));
        };
        t.onReset = [this] { top.children.clear(); };
    }
    // The mirror equals the tree, row by row.
    bool matches(const Row& at, TreeItem item) const {
        if (tree->childCount(item) != at.children.size()) return false;
        for (std::size_t n = 0; n < at.children.size(); ++n)
            if (tree->child(item, n) != at.children[n].item || !matches(at.children[n], at.children[n].item))
                return false;
        return true;
    }
};

TEST(TriStateTreeNotifications, AMirrorBuiltFromThemMatchesTheTree) {
    CTriStateTree tree;
    tree.triStatePropagation = true;
    MirrorView view;
    view.attach(tree);
    const TreeItem root = tree.insertItem(u"ROOT", ItemImage::Folder);
    std::vector<TreeItem> folders;
    for (int f = 0; f < 4; ++f) {
        folders.push_back(tree.insertItem(u"d", ItemImage::Folder, root));
        for (int i = 0; i < 5; ++i) tree.insertItem(u"f", ItemImage::File, folders.back());
    }
    tree.insertItem(kPlaceholderText, ItemImage::Placeholder, folders[2]);
    EXPECT_TRUE(view.matches(view.top, kNoItem));
    tree.deleteItem(tree.child(folders[0], 0));  // first row
    tree.deleteItem(tree.lastChild(folders[1]));  // last row
    tree.deleteItem(folders[2]);                  // a whole subtree, announced once
    tree.insertItem(u"late", ItemImage::File, folders[3]);
    EXPECT_TRUE(view.matches(view.top, kNoItem));
    EXPECT_EQ(tree.row(folders[3]), 2u);
    tree.deleteAllItems();
    EXPECT_TRUE(view.top.children.empty());
    EXPECT_EQ(tree.childCount(kNoItem), 0u);
}

TEST(TriStateTreeNotifications, DeletingACheckedSubtreeKeepsTheAncestorsCounts) {
    CTriStateTree tree;
    tree.triStatePropagation = true;
    const TreeItem root = tree.insertItem(u"ROOT", ItemImage::Folder);
    const TreeItem keep = tree.insertItem(u"keep", ItemImage::File, root);
    const TreeItem folder = tree.insertItem(u"d", ItemImage::Folder, root);
    for (int i = 0; i < 3; ++i) tree.insertItem(u"f", ItemImage::File, folder);
    tree.setCheck(folder, true);
    EXPECT_EQ(tree.checkState(root), 2);
    std::vector<TreeItem> changed;
    tree.onChanged = [&](TreeItem item) { changed.push_back(item); };
    tree.deleteItem(folder);
    EXPECT_EQ(tree.findItemData(root)->descendants, 1u);
    EXPECT_EQ(tree.findItemData(root)->checkedDescendants, 0u);
    EXPECT_EQ(tree.checkState(root), 0);
    // Only items still in the tree are reported changed.
    EXPECT_EQ(changed, std::vector<TreeItem>{root});
    tree.setCheck(keep, true);
    EXPECT_TRUE(tree.getCheck(root));
}

}  // namespace
}  // namespace dravonel
