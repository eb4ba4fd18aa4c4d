#pragma once
// Handing a call from a worker to the thread that owns some data, and waiting for it.
// An OwnerCall runs the call it is given on the owner thread and returns once it ran
// there. The GUI makes one from its event loop (a blocking queued invocation); the CLI
// and the tests use an OwnerCallQueue that the owner thread serves.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace dravonel {

// Runs call on the owner thread and returns when it has run (or when the owner takes no
// more calls; then call did not run).
using OwnerCall = std::function<void(const std::function<void()>& call)>;

// A queue of calls for one owner thread: the thread that constructs it.
class OwnerCallQueue {
public:
    OwnerCallQueue() : owner_(std::this_thread::get_id()) {}

    // Any thread: runs call on the owner thread and waits for it. On the owner thread
    // itself it runs at once. False, without running it, once the queue is closed.
    bool run(const std::function<void()>& call) {
        if (std::this_thread::get_id() == owner_) {
            call();
            return true;
        }
        Pending pending{&call};
        std::unique_lock lock(mutex_);
        if (closed_) return false;
        queue_.push_back(&pending);
        changed_.notify_all();
        changed_.wait(lock, [&] { return pending.done; });
        return pending.ran;
    }

    // The OwnerCall of this queue.
    OwnerCall caller() {
        return [this](const std::function<void()>& call) { run(call); };
    }

    // Owner thread: runs queued calls until done() answers true. done() is asked whenever
    // no call is waiting (between two calls of a worker, too) and at least every few
    // milliseconds; it should answer true only once the worker makes no more calls (its
    // run has ended).
    void serveUntil(const std::function<bool()>& done) {
        for (;;) {
            Pending* next = nullptr;
            {
                std::lock_guard lock(mutex_);
                if (!queue_.empty()) {
                    next = queue_.front();
                    queue_.pop_front();
                }
            }
            if (!next) {
                if (done()) return;
                std::unique_lock lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(2), [this] { return !queue_.empty(); });
                continue;
            }
            (*next->call)();
            std::lock_guard lock(mutex_);
            next->ran = true;
            next->done = true;
            changed_.notify_all();
        }
    }

    // Owner thread: no more calls are run; waiting and later callers return at once.
    void close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (Pending* p : queue_) p->done = true;
        queue_.clear();
        changed_.notify_all();
    }

private:
    struct Pending {
        const std::function<void()>* call;
        bool done = false;
        bool ran = false;
    };
    std::thread::id owner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending*> queue_;
    bool closed_ = false;
};

}  // namespace dravonel
