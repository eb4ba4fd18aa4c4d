#pragma once
// A page's one worker thread: scan, save, search or carving, one at a time. The job runs
// on its own thread and never touches a widget; finished() reaches the page on the GUI
// thread. A page that goes away waits here for its job to end while it delivers the
// hand-overs the job is waiting for (tree inserts, prompts) through its bridge object.
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>

namespace dravonel {

class WorkerSlot : public QObject {
    Q_OBJECT
public:
    explicit WorkerSlot(QObject* bridge, QObject* parent = nullptr) : QObject(parent), bridge_(bridge) {}
    ~WorkerSlot() override { waitPumping(); }

    bool running() const { return thread_ != nullptr; }
    // Starts job on a new thread; false (and nothing started) while another job runs.
    bool start(std::function<void()> job);
    // Waits until the running job has ended, delivering the bridge's pending hand-overs
    // meanwhile; finished() is not sent for it.
    void waitPumping();

signals:
    void finished();

private:
    QPointer<QObject> bridge_;
    QThread* thread_ = nullptr;
};

}  // namespace dravonel
