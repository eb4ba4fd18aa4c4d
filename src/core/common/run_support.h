#pragma once
// What every long job of a page shares: how a run ended (RunOutcome), the page's rule of
// one run at a time (RunSlot), and the worker thread with its pause counting (RunThread).
// The run objects (the volume scan, save and search of the scan page, the deep partition
// scan, carving) are built from these, so a page drives all of them the same way:
// start, startWorker (or runWorker on the calling thread), pause, resume, stop, wait, and
// an outcome when the run has ended.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "core/common/platform.h"

namespace dravonel {

// How a run ended.
struct RunOutcome {
    enum class Kind {
        Completed,  // the run went through
        Stopped,    // Stop ended it early; what it found so far stays
        Refused,    // it never ran: the text was shown (prompt or status line)
        Failed,     // it ended on an error (errorCode, and message when there is one)
    };
    Kind kind = Kind::Completed;
    std::u16string message;
    std::uint32_t errorCode = 0;  // errno of the read or write that failed

    static RunOutcome completed() { return {}; }
    static RunOutcome stopped() { return {Kind::Stopped, {}, 0}; }
    static RunOutcome refused(std::u16string text) { return {Kind::Refused, std::move(text), 0}; }
    static RunOutcome failed(std::uint32_t code, std::u16string text = {}) {
        return {Kind::Failed, std::move(text), code};
    }
};

// The refusal of a page that is still busy with another run.
inline constexpr char16_t kWaitForOtherProcessText[] = u"Please wait for other process to complete";

// Refuses a run that found its page busy: the text through the prompt, and an outcome
// (RunOutcome or one that extends it) that says so. False, for `return refuseBusy(...)`.
template <class Outcome>
bool refuseBusy(Prompt& prompt, Outcome& outcome) {
    prompt.message(kWaitForOtherProcessText);
    outcome = {};
    outcome.kind = RunOutcome::Kind::Refused;
    outcome.message = kWaitForOtherProcessText;
    return false;
}

// One long job at a time per page. A page owns one slot and hands it to each of its run
// objects; a run takes the slot when it starts and gives it back when it ends, and a run
// that finds the slot taken is refused with kWaitForOtherProcessText.
class RunSlot {
public:
    bool busy() const { return taken_.load() != 0; }
    // True when the slot was free and is now taken.
    bool take() {
        std::uint8_t expected = 0;
        return taken_.compare_exchange_strong(expected, 1);
    }
    void give() { taken_.store(0); }

private:
    std::atomic<std::uint8_t> taken_{0};
};

// A run's hold on its page's slot (a run without a slot always holds).
class SlotClaim {
public:
    explicit SlotClaim(RunSlot* slot = nullptr) : slot_(slot) {}
    ~SlotClaim() { release(); }
    SlotClaim(const SlotClaim&) = delete;
    SlotClaim& operator=(const SlotClaim&) = delete;
    void setSlot(RunSlot* slot) { slot_ = slot; }
    // False when another run of the page holds the slot.
    bool claim() {
        if (held_.load()) return true;
        if (slot_ && !slot_->take()) return false;
        held_.store(true);
        return true;
    }
    void release() {
        if (held_.exchange(false) && slot_) slot_->give();
    }

private:
    RunSlot* slot_ = nullptr;
    std::atomic<bool> held_{false};
};

// The worker thread of one run object and its pause counting. Each Pause adds one
// suspension and each Resume removes one; the worker stands still at its next check
// point while any remain. A run object resets the count when a run starts (a Pause
// pressed between start and the worker's first check point holds it there).
class RunThread {
public:
    RunThread() = default;
    // Lets a paused worker go and waits for it: the owner sets its stop flags first.
    ~RunThread() {
        control.release();
        join();
    }
    RunThread(const RunThread&) = delete;
    RunThread& operator=(const RunThread&) = delete;

    // Runs body on a new thread; the thread of an earlier run (which must have ended) is
    // joined first.
    void launch(std::function<void()> body) {
        join();
        thread_ = std::thread(std::move(body));
    }
    // Waits for the worker; nothing when there is none or when called from the worker.
    void join() {
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }
    // True once a worker was started (until it is joined).
    bool launched() const { return thread_.joinable(); }
    // The Pause and Resume buttons with their status texts. Resume sends its text first:
    // a worker let go may write its own texts at once.
    void pause(ScanSink& sink) {
        control.pause();
        sink.status(u"Pause button pressed");
    }
    void resume(ScanSink& sink) {
        sink.status(u"Resume button pressed");
        control.resume();
    }

    WorkerControl control;

private:
    std::thread thread_;
};

}  // namespace dravonel
