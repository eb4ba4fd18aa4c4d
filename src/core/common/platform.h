#pragma once
// The small interfaces through which the core talks to whoever drives it: progress and
// status (ScanSink), messages and Yes/No questions (Prompt), and pause/stop (WorkerControl).
// The GUI implements them with queued signals and message boxes, the CLI on stderr, the
// tests with recorders. The core never prints.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace dravonel {

// Caption of every message box.
inline constexpr char16_t kAppTitle[] = u"Quorvane Dravonel(Full)";

// Progress position and range, and status-line texts, sent by a worker.
struct ScanSink {
    virtual void setRange(std::int64_t low, std::int64_t high) = 0;
    virtual void setPosition(std::int64_t pos) = 0;
    virtual void status(std::u16string_view text) = 0;
    virtual ~ScanSink() = default;
};

// A sink that drops everything.
struct NullSink final : ScanSink {
    void setRange(std::int64_t, std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void status(std::u16string_view) override {}
};

// Message boxes: an information text, or a Yes/No question (true = Yes).
struct Prompt {
    virtual void message(std::u16string_view text) = 0;
    virtual bool question(std::u16string_view text) = 0;
    virtual ~Prompt() = default;
};

// Pause and resume for one worker. Each pause adds one suspension and each resume
// removes one; the worker stands still at its next check point while any remain.
// Check points are reached often (between sectors, records, clusters) and never while
// a lock the UI needs is held.
class WorkerControl {
public:
    void pause() {
        std::lock_guard lock(mutex_);
        suspensions_.fetch_add(1);
    }
    void resume() {
        {
            std::lock_guard lock(mutex_);
            if (suspensions_.load() > 0) suspensions_.fetch_sub(1);
        }
        wake_.notify_all();
    }
    int suspensions() const { return suspensions_.load(); }
    // Called by the worker; returns at once unless paused.
    void checkPoint() {
        if (suspensions_.load(std::memory_order_acquire) == 0) return;
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return suspensions_.load() == 0 || released_; });
    }
    // Forgets every suspension (a new run starts unpaused).
    void reset() {
        {
            std::lock_guard lock(mutex_);
            suspensions_.store(0);
        }
        wake_.notify_all();
    }
    // Lets a waiting worker go for good (used when the process ends).
    void release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        wake_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<int> suspensions_{0};
    bool released_ = false;
};

// The one-byte stop flags of the parsers and pages.
using StopFlag = std::atomic<std::uint8_t>;

}  // namespace dravonel
