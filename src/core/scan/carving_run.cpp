#include "core/scan/carving_run.h"

#include <type_traits>

namespace dravonel {

namespace {

// The engine's tree field: a TreeSink* lets the worker insert through the owner thread.
// While the engine still names the tree model itself it is handed the tree, and the
// owner call is left unused.
template <class Engine>
void attachTree(Engine& engine, CTriStateTree& tree, TreeSink* sink) {
    if constexpr (std::is_assignable_v<decltype((engine.tree)), TreeSink*>) engine.tree = sink;
    else engine.tree = &tree;
}

}  // namespace

CarvingRun::CarvingRun(myJpg& engine, CTriStateTree& tree, ScanSink& sink, Prompt& prompt, RunSlot* slot)
    : engine_(engine), tree_(tree), sink_(sink), prompt_(prompt), claim_(slot) {}

CarvingRun::~CarvingRun() {
    if (running() && thread_.launched()) engine_.stopFlag.store(1);
}

void CarvingRun::useOwnerThread(OwnerCall runOnOwner) {
    runOnOwner_ = std::move(runOnOwner);
    ownerSink_ = std::make_unique<BlockingTreeSink>(tree_, runOnOwner_);
}

bool CarvingRun::start() {
    if (running() || !claim_.claim()) return refuseBusy(prompt_, outcome_);
    running_ = 1;
    workerStarted_ = false;
    thread_.control.reset();
    outcome_ = {};
    stopPressed_ = 0;
    engine_.stopFlag.store(0);
    tree_.initialise();
    tree_.checkBoxes = true;
    tree_.triStatePropagation = true;
    attachTree(engine_, tree_, ownerSink_ ? static_cast<TreeSink*>(ownerSink_.get()) : &tree_);
    engine_.sink = &sink_;
    engine_.prompt = &prompt_;
    engine_.control = &thread_.control;
    return true;
}

void CarvingRun::runWorker() {
    if (!running()) return;
    thread_.control.checkPoint();
    sink_.status(u"Processing.....");
    CarvingOutcome outcome;
    if (!engine_.carve()) {
        outcome.kind = RunOutcome::Kind::Refused;
        outcome.message = u"not properly initialized";
    } else if (stopPressed_.load() != 0 || engine_.stopFlag.load() != 0) {
        outcome.kind = RunOutcome::Kind::Stopped;
    }
    sink_.status(u"Processing done");
    outcome.found = static_cast<std::int64_t>(engine_.found().size());
    outcome_ = std::move(outcome);
    // The stop belonged to this run.
    engine_.stopFlag.store(0);
    stopPressed_ = 0;
    running_ = 0;
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void CarvingRun::startWorker() {
    if (!running() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this] { runWorker(); });
}

void CarvingRun::wait() { thread_.join(); }

void CarvingRun::pause() {
    if (running()) thread_.pause(sink_);
}

void CarvingRun::resume() {
    if (running()) thread_.resume(sink_);
}

void CarvingRun::stop() {
    if (!running()) return;
    // The text before the flag: once the engine sees it, the worker writes its own texts.
    sink_.status(u"Stop button pressed.Please wait for the process to stop");
    stopPressed_ = 1;
    engine_.stopFlag.store(1);
}

}  // namespace dravonel
