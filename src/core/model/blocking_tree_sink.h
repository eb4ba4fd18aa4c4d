#pragma once
// The tree sink of a worker whose tree belongs to another thread: every call is handed to
// the tree's owner thread through an OwnerCall and the worker waits until it has run
// there, so the tree is only ever touched by its owner. The GUI gives the OwnerCall of
// its event loop; the CLI and the tests an OwnerCallQueue's.
#include <utility>

#include "core/common/owner_calls.h"
#include "core/model/tree_sink.h"

namespace dravonel {

class BlockingTreeSink final : public TreeSink {
public:
    // tree is called only inside runOnOwner.
    BlockingTreeSink(TreeSink& tree, OwnerCall runOnOwner) : tree_(tree), runOnOwner_(std::move(runOnOwner)) {}

    // kNoItem also when the owner no longer takes calls.
    TreeItem insertItem(std::u16string text, ItemImage image, TreeItem parent = kNoItem,
                        std::uint64_t itemData = 0) override {
        TreeItem item = kNoItem;
        runOnOwner_([&] { item = tree_.insertItem(std::move(text), image, parent, itemData); });
        return item;
    }
    void setCheck(TreeItem item, bool checked) override {
        runOnOwner_([&] { tree_.setCheck(item, checked); });
    }
    bool expand(TreeItem item, ExpandCode code) override {
        bool changed = false;
        runOnOwner_([&] { changed = tree_.expand(item, code); });
        return changed;
    }
    std::int32_t setItemTextRed(TreeItem item) override {
        std::int32_t previous = 0;
        runOnOwner_([&] { previous = tree_.setItemTextRed(item); });
        return previous;
    }
    void setItemText(TreeItem item, std::u16string text) override {
        runOnOwner_([&] { tree_.setItemText(item, std::move(text)); });
    }

private:
    TreeSink& tree_;
    OwnerCall runOnOwner_;
};

}  // namespace dravonel
