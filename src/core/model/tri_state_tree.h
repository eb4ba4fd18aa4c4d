#pragma once
// The result tree model: items with tri-state check boxes, red text for deleted entries,
// and item data pointing at a parser's entry record. The parsers and the carving engine
// insert into it; the GUI shows it and the CLI prints it. It holds no UI code.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

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

    // Navigation. root() is the first top-level item.
    TreeItem root() const { return firstTop_; }
    TreeItem parent(TreeItem item) const;
    TreeItem firstChild(TreeItem item) const;
    TreeItem lastChild(TreeItem item) const;
    TreeItem nextSibling(TreeItem item) const;
    bool hasChildren(TreeItem item) const { return firstChild(item) != kNoItem; }
    bool exists(TreeItem item) const;
    std::size_t itemCount() const { return liveItems_; }

    // Notifications to whoever shows the tree: check changed by setCheck (new state),
    // expansion changed by expand (1 expanded, 0 collapsed).
    std::function<void(TreeItem, int)> onCheckClicked;
    std::function<void(TreeItem, int)> onItemExpanded;
    // Structure and appearance changes, for a view that mirrors the model.
    std::function<void(TreeItem)> onInserted;
    std::function<void(TreeItem)> onRemoving;
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
        TreeItem parent = kNoItem, firstChild = kNoItem, lastChild = kNoItem;
        TreeItem prev = kNoItem, next = kNoItem;
    };
    Node* node(TreeItem item);
    const Node* node(TreeItem item) const;
    void propagateToAncestors(TreeItem item, std::int64_t delta);
    void setSubtree(TreeItem item, bool checked);
    std::uint32_t checkable(const Node& n) const { return n.state.descendants - n.state.separatorDescendants; }
    void unlinkAndFree(TreeItem item);

    std::deque<Node> nodes_;
    TreeItem firstTop_ = kNoItem, lastTop_ = kNoItem;
    std::size_t liveItems_ = 0;
    bool deletingAll_ = false;
};

}  // namespace dravonel
