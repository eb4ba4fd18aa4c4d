#pragma once
// A page's prompt for its workers: each message or question is handed to the GUI thread
// through the page's bridge object and shown by the wizard's prompt there, while the
// worker waits. Once the page closes it, a worker's later (and still pending) questions
// are answered at once (No) without a box, so a page that is going away can wait for its
// worker without a box left open.
#include <QObject>
#include <QPointer>

#include <atomic>

#include "core/common/platform.h"

namespace dravonel {

class WorkerPrompt final : public Prompt {
public:
    WorkerPrompt(QObject* bridge, Prompt& target) : bridge_(bridge), target_(target) {}
    void message(std::u16string_view text) override;
    bool question(std::u16string_view text) override;
    void close() { closed_ = true; }
    void reopen() { closed_ = false; }

private:
    QPointer<QObject> bridge_;
    Prompt& target_;
    std::atomic<bool> closed_{false};
};

}  // namespace dravonel
