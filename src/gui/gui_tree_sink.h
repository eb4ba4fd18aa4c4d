#pragma once
// The door through which a worker fills a tree the GUI shows: each call is handed to the
// GUI thread (Qt::BlockingQueuedConnection) and its answer returned to the worker, so the
// worker never touches the tree or its model from its own thread. Calls made on the GUI
// thread run at once.
#include <QObject>
#include <QPointer>

#include <atomic>

#include "core/model/tri_state_tree.h"

namespace dravonel {

class GuiTreeSink final : public TreeSink {
public:
    // context: a QObject living on the GUI thread that outlives every call through this
    // sink (the page's bridge object).
    GuiTreeSink(CTriStateTree& tree, QObject* context) : tree_(tree), context_(context) {}

    TreeItem insertItem(std::u16string text, ItemImage image, TreeItem parent = kNoItem,
                        std::uint64_t itemData = 0) override;
    void setCheck(TreeItem item, bool checked) override;
    bool expand(TreeItem item, ExpandCode code) override;
    std::int32_t setItemTextRed(TreeItem item) override;
    void setItemText(TreeItem item, std::u16string text) override;
    void runOnTreeThread(const std::function<void()>& work) override;

    // From now on calls from a worker do nothing (inserts answer kNoItem): the page is
    // going away. Calls already handed over are delivered by whoever pumps the context's
    // events (the page, while it waits for its worker to end).
    void close() { closed_ = true; }
    bool closed() const { return closed_.load(); }

private:
    // Runs work on the context's thread and waits for it; false when it was not run.
    bool handOver(const std::function<void()>& work);

    CTriStateTree& tree_;
    QPointer<QObject> context_;
    std::atomic<bool> closed_{false};
};

}  // namespace dravonel
