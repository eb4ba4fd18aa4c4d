#pragma once
// The narrow door through which a worker fills a result tree. The tree model
// (CTriStateTree) belongs to one thread: the CLI and the tests let workers call the tree
// directly, the GUI hands each call over to the thread that owns the tree and waits for
// it (BlockingTreeSink in blocking_tree_sink.h). Parsers and the carving engine see only
// this interface.
#include <cstdint>
#include <functional>
#include <string>

namespace dravonel {

// An item handle; stays valid while other items are added (handles are never reused
// until deleteAllItems). kNoItem stands for "none" and, as a parent, for the top level.
using TreeItem = std::uint32_t;
constexpr TreeItem kNoItem = 0;

// What the item's icon shows. Folders are told apart from files by it.
enum class ItemImage : std::uint8_t { Folder, File, Placeholder };

enum class ExpandCode { Collapse, CollapseReset, Expand, Toggle };

class TreeSink {
public:
    virtual ~TreeSink() = default;
    // Inserts an unchecked, enabled item as parent's last child (kNoItem: top level).
    // Returns kNoItem only while the tree is deleting all items or parent is not an item.
    virtual TreeItem insertItem(std::u16string text, ItemImage image, TreeItem parent = kNoItem,
                                std::uint64_t itemData = 0) = 0;
    // Sets an item's check mark (with the tree's propagation).
    virtual void setCheck(TreeItem item, bool checked) = 0;
    // Changes the expanded flag; false when nothing changed.
    virtual bool expand(TreeItem item, ExpandCode code) = 0;
    // Shows the item's text red; returns the previous colour (-1 for the default).
    virtual std::int32_t setItemTextRed(TreeItem item) = 0;
    virtual void setItemText(TreeItem item, std::u16string text) = 0;
    // Runs work on the thread that owns the tree and returns when it is done: a step that
    // reads and changes the tree as a whole (the expand placeholders at the end of a scan)
    // goes through here. A sink on the tree's own thread runs it at once.
    virtual void runOnTreeThread(const std::function<void()>& work) { work(); }
};

}  // namespace dravonel
