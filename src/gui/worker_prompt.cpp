#include "gui/worker_prompt.h"

#include <QMetaObject>
#include <QThread>

#include <string>

namespace dravonel {

void WorkerPrompt::message(std::u16string_view text) {
    QObject* bridge = bridge_.data();
    if (!bridge || closed_.load()) return;
    if (QThread::currentThread() == bridge->thread()) {
        target_.message(text);
        return;
    }
    const std::u16string copy(text);
    QMetaObject::invokeMethod(
        bridge, [&] { if (!closed_.load()) target_.message(copy); }, Qt::BlockingQueuedConnection);
}

bool WorkerPrompt::question(std::u16string_view text) {
    QObject* bridge = bridge_.data();
    if (!bridge || closed_.load()) return false;
    if (QThread::currentThread() == bridge->thread()) return target_.question(text);
    const std::u16string copy(text);
    bool answer = false;
    QMetaObject::invokeMethod(
        bridge, [&] { answer = !closed_.load() && target_.question(copy); }, Qt::BlockingQueuedConnection);
    return answer;
}

}  // namespace dravonel
