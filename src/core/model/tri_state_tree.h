#pragma once
// The result tree model: items with tri-state check boxes, red text for deleted entries,
// and item data pointing at a parser's entry record. The parsers and the carving engine
// insert into it; the GUI shows it and the CLI prints it. It holds no UI code.
//
// Threads: a tree belongs to one thread (the GUI's thread, or the one thread of the CLI
// or a test). Every call, and every notification it sends, happens on that thread. A
// worker never calls the tree: it inserts through a TreeSink, which on the GUI is a
// BlockingTreeSink handing each call to the owner thread and waiting for it
// (core/model/blocking_tree_sink.h). Walks that read the tree on a worker (save, search)
// run while the page keeps the tree disabled, so the owner thread only reads it too.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/model/tree_sink.h"

namespace dravonel {

// Default text colour and the red of deleted entries (0x00BBGGRR).
constexpr std::int32_t kDefaultTextColour = -1;
constexpr std::int32_t kRedTextColour = 0x000000FF;

// The text of the placeholder child that marks a folder whose children are not inserted yet.
inline constexpr char16_t kPlaceholderText[] = u"..DUMY..";

// Per-item state.
struct TRISTATETREEDATA {
    bool checked = false;
    bool enabled = true;
    bool separator = false;
    bool expanded = false;
    bool everExpanded = false;
    std::uint32_t descendants = 0;
    std::uint32_t checkedDescendants = 0;
    std::uint32_t separatorDescendants = 0;
    std::int32_t textColour = kDefaultTextColour;
};

class CTriStateTree final : public TreeSink {
public:
    CTriStateTree();

    // Deletes every item and resets the options to their defaults (check boxes on,
    // tri-state propagation off, selection follows check on).
    void initialise();

    // Options; the scan and raw pages turn propagation on.
    bool checkBoxes = true;
    bool triStatePropagation = false;
    bool readOnly = false;
    bool selectionFollowsCheck = true;

    // Inserts an unchecked, enabled item as parent's last child (kNoItem: top level).
    // Returns kNoItem only while the tree is deleting all items or parent is not an item.
    TreeItem insertItem(std::u16string text, ItemImage image, TreeItem parent = kNoItem,
                        std::uint64_t itemData = 0) override;
    // Sets an item's own flag and propagates it to descendants and ancestors; sends the
    // check-clicked notification. Does nothing for missing, disabled or separator items.
    void setCheck(TreeItem item, bool checked) override;
    // Own flag without propagation or without descendants; otherwise true exactly when
    // all checkable descendants are checked.
    bool getCheck(TreeItem item) const;
    // Items for which getCheck is true, over the whole tree.
    std::int64_t countChecked() const;
    // 0 unchecked, 1 checked, 2 mixed (some but not all descendants checked).
    int checkState(TreeItem item) const;

    std::u16string getItemText(TreeItem item) const;
    void setItemText(TreeItem item, std::u16string text) override;
    // Deletes the item with its whole subtree, updating the ancestors' counts.
    void deleteItem(TreeItem item);
    void deleteAllItems();
    // Changes the expanded flag of an enabled item with children; sends the
    // item-expanded notification when the flag changed. False when nothing changed.
    bool expand(TreeItem item, ExpandCode code) override;
    // Sets the text colour to red; returns the previous colour (-1 for the default).
    std::int32_t setItemTextRed(TreeItem item) override;
    void setEnabled(TreeItem item, bool enabled);
    void setSeparator(TreeItem item, bool separator);

    const TRISTATETREEDATA* findItemData(TreeItem item) const;
    std::uint64_t itemData(TreeItem item) const;
    void setItemData(TreeItem item, std::uint64_t data);
    ItemImage image(TreeItem item) const;
    bool isPlaceholder(TreeItem item) const;

    // Navigation. root() is the first top-level item. Every call here is O(1): each item
    // keeps its children in order and knows its own row among them. kNoItem as a parent
    // stands for the top level.
    TreeItem root() const { return child(kNoItem, 0); }
    TreeItem parent(TreeItem item) const;
    TreeItem firstChild(TreeItem item) const { return child(item, 0); }
    TreeItem lastChild(TreeItem item) const;
    TreeItem nextSibling(TreeItem item) const;
    TreeItem previousSibling(TreeItem item) const;
    bool hasChildren(TreeItem item) const { return childCount(item) != 0; }
    // Children of item (kNoItem: top-level items); 0 for a missing item.
    std::size_t childCount(TreeItem item) const;
    // The n-th child of item (kNoItem: the n-th top-level item); kNoItem when there is none.
    TreeItem child(TreeItem item, std::size_t n) const;
    // The position of item among its parent's children (top-level items among the top
    // level); 0 for a missing item.
    std::size_t row(TreeItem item) const;
    bool exists(TreeItem item) const;
    std::size_t itemCount() const { return liveItems_; }

    // Notifications to whoever shows the tree: check changed by setCheck (new state),
    // expansion changed by expand (1 expanded, 0 collapsed).
    std::function<void(TreeItem, int)> onCheckClicked;
    std::function<void(TreeItem, int)> onItemExpanded;
    // Structure changes, in pairs a view that mirrors the model (a Qt item model's
    // beginInsertRows/endInsertRows, beginRemoveRows/endRemoveRows, beginResetModel/
    // endResetModel) can follow. All are sent on the tree's own thread.
    // Before an item is added as child number row of parent (kNoItem: top level); the
    // tree does not hold it yet.
    std::function<void(TreeItem parent, std::size_t row)> onBeforeInsert;
    // After: the item is in place.
    std::function<void(TreeItem)> onInserted;
    // Before item leaves with its whole subtree; it is still linked (parent(item),
    // row(item) answer). Sent once, for the top of the subtree.
    std::function<void(TreeItem)> onBeforeRemove;
    // Each item of a removed subtree, children first, just before it is freed.
    std::function<void(TreeItem)> onRemoving;
    // After: the subtree that was child number row of parent is gone.
    std::function<void(TreeItem parent, std::size_t row)> onRemoved;
    // Before and after deleteAllItems empties the tree.
    std::function<void()> onBeforeReset;
    std::function<void()> onReset;
    // An item's check state, text or colour changed.
    std::function<void(TreeItem)> onChanged;
    // Lets a parser send the item-expanded notification itself.
    void notifyParent(TreeItem item, int value) {
        if (onItemExpanded) onItemExpanded(item, value);
    }

    // Records alive in all trees of the process.
    static std::int64_t liveRecordCount();

private:
    struct Node {
        std::u16string text;
        std::uint64_t data = 0;
        TRISTATETREEDATA state;
        ItemImage image = ItemImage::File;
        bool alive = false;
        TreeItem parent = kNoItem;
        std::uint32_t row = 0;  // position in the parent's children
        std::vector<TreeItem> children;
    };
    Node* node(TreeItem item);
    const Node* node(TreeItem item) const;
    // The children of parent (kNoItem: the top level); null for a missing parent.
    const std::vector<TreeItem>* childrenOf(TreeItem parent) const;
    void propagateToAncestors(TreeItem item, std::int64_t delta);
    void setSubtree(TreeItem item, bool checked);
    std::uint32_t checkable(const Node& n) const { return n.state.descendants - n.state.separatorDescendants; }
    // Calls visit for every item of top's subtree, each after its children, top last.
    template <class Visit>
    void forEachAfterChildren(TreeItem top, Visit visit);
    // The ancestors' counts for item and its subtree leaving, each item after its children.
    void countRemoval(TreeItem item);
    void freeSubtree(TreeItem item);

    std::deque<Node> nodes_;
    std::vector<TreeItem> topItems_;
    std::size_t liveItems_ = 0;
    bool deletingAll_ = false;
};

}  // namespace dravonel
