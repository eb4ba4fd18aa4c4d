#pragma once
// Carving as the raw recovery page runs it: the carving engine (myJpg) on a worker, pause
// and resume, stop, and an outcome when it ends. The page loads the signatures into the
// engine and gives it the reader (baseOffset at the volume's start) and the volume size;
// the run gives it the tree sink, the progress sink, the prompt and the pause control.
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/common/owner_calls.h"
#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/model/blocking_tree_sink.h"
#include "core/model/tri_state_tree.h"
#include "core/raw/carving_engine.h"

namespace dravonel {

// How a carving run ended, with the number of files recognised.
struct CarvingOutcome : RunOutcome {
    std::int64_t found = 0;
};

class CarvingRun {
public:
    // True once the engine's tree field is a TreeSink*: only then does useOwnerThread keep
    // the worker off the tree. Until then the engine inserts into the tree itself and the
    // page leaves the tree alone while carving runs.
    static constexpr bool kInsertsThroughOwner =
        std::is_assignable_v<decltype((std::declval<myJpg&>().tree)), TreeSink*>;

    // tree belongs to the page's thread; slot may be null.
    CarvingRun(myJpg& engine, CTriStateTree& tree, ScanSink& sink, Prompt& prompt, RunSlot* slot = nullptr);
    // A running worker is stopped and waited for.
    ~CarvingRun();
    CarvingRun(const CarvingRun&) = delete;
    CarvingRun& operator=(const CarvingRun&) = delete;

    // The call that runs work on the tree's thread and waits for it; set before start.
    // The engine then inserts through a BlockingTreeSink over the tree.
    void useOwnerThread(OwnerCall runOnOwner);
    // Called on the worker when the run has ended; outcome() is set and the page's slot is
    // free again. It must not wait for the page's thread.
    std::function<void(const CarvingOutcome&)> onFinished;

    // Takes the page's slot, prepares the tree (check boxes, tri-state propagation) and
    // clears the engine's stop flag. False, with "Please wait for other process to
    // complete", while another run of the page holds the slot.
    bool start();
    // On the calling thread: "Processing.....", the engine's carve, "Processing done".
    // Outcome: Refused ("not properly initialized") when the engine could not build its
    // table, Stopped after Stop, otherwise Completed; the stop flag is clear afterwards.
    void runWorker();
    // runWorker on a thread of its own; wait() joins it.
    void startWorker();
    void wait();
    // Pause adds one suspension, Resume removes one (the engine holds before its next
    // block); Stop sets the engine's stop flag.
    void pause();
    void resume();
    void stop();
    bool running() const { return running_.load() != 0; }
    const CarvingOutcome& outcome() const { return outcome_; }
    WorkerControl& control() { return thread_.control; }

private:
    myJpg& engine_;
    CTriStateTree& tree_;
    ScanSink& sink_;
    Prompt& prompt_;
    OwnerCall runOnOwner_;
    std::unique_ptr<BlockingTreeSink> ownerSink_;
    SlotClaim claim_;
    CarvingOutcome outcome_;
    StopFlag running_{0};
    StopFlag stopPressed_{0};
    bool workerStarted_ = false;
    RunThread thread_;
};

}  // namespace dravonel
