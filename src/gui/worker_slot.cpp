#include "gui/worker_slot.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

namespace dravonel {

bool WorkerSlot::start(std::function<void()> job) {
    if (thread_) return false;
    thread_ = QThread::create(std::move(job));
    QThread* started = thread_;
    connect(started, &QThread::finished, this, [this, started] {
        if (thread_ != started) return;  // already waited for
        thread_ = nullptr;
        started->wait();
        delete started;
        emit finished();
    }, Qt::QueuedConnection);
    started->start();
    return true;
}

void WorkerSlot::waitPumping() {
    if (!thread_) return;
    QThread* t = thread_;
    thread_ = nullptr;
    while (!t->wait(QDeadlineTimer(10))) {
        if (bridge_) QCoreApplication::sendPostedEvents(bridge_.data(), QEvent::MetaCall);
    }
    t->disconnect(this);
    delete t;
}

}  // namespace dravonel
