#include "gui/gui_tree_sink.h"

#include <QMetaObject>
#include <QThread>

namespace dravonel {

bool GuiTreeSink::handOver(const std::function<void()>& work) {
    QObject* context = context_.data();
    if (!context) return false;
    if (QThread::currentThread() == context->thread()) {
        work();
        return true;
    }
    if (closed_.load()) return false;
    bool ran = false;
    QMetaObject::invokeMethod(
        context,
        [&] {
            work();
            ran = true;
        },
        Qt::BlockingQueuedConnection);
    return ran;
}

TreeItem GuiTreeSink::insertItem(std::u16string text, ItemImage image, TreeItem parent, std::uint64_t itemData) {
    TreeItem item = kNoItem;
    handOver([&] { item = tree_.insertItem(std::move(text), image, parent, itemData); });
    return item;
}

void GuiTreeSink::setCheck(TreeItem item, bool checked) {
    handOver([&] { tree_.setCheck(item, checked); });
}

bool GuiTreeSink::expand(TreeItem item, ExpandCode code) {
    bool changed = false;
    handOver([&] { changed = tree_.expand(item, code); });
    return changed;
}

std::int32_t GuiTreeSink::setItemTextRed(TreeItem item) {
    std::int32_t previous = 0;
    handOver([&] { previous = tree_.setItemTextRed(item); });
    return previous;
}

void GuiTreeSink::setItemText(TreeItem item, std::u16string text) {
    handOver([&] { tree_.setItemText(item, std::move(text)); });
}

void GuiTreeSink::runOnTreeThread(const std::function<void()>& work) { handOver(work); }

}  // namespace dravonel
