#include "core/common/text.h"
#include "core/partitions/deep_scan_run.h"

namespace dravonel {

DeepScanRun::DeepScanRun(readWriteInterface& reader, ScanSink& sink, Prompt* prompt, RunSlot* slot)
    : reader_(reader), sink_(sink), prompt_(prompt), claim_(slot) {}

DeepScanRun::~DeepScanRun() {
    partition_.stopRequested.store(1);
    thread_.control.release();
    thread_.join();
}

bool DeepScanRun::start() {
    if (running() || !claim_.claim()) {
        if (prompt_) prompt_->message(kWaitForOtherProcessText);
        return false;
    }
    running_.store(1);
    workerStarted_ = false;
    thread_.control.reset();
    outcome_ = {};
    found_.store(0);
    partition_.skipVolumeSize = skipVolumeSize;
    partition_.customStart = customStart;
    partition_.customEnd = customEnd;
    partition_.records = nullptr;  // finds go through deliver()
    partition_.sink = &sink_;
    partition_.control = &thread_.control;
    partition_.onFound = [this](const VolumeRecord& r) { deliver(r); };
    // Cleared here, before any worker runs, so that a Stop pressed at once is not lost.
    partition_.stopRequested.store(0);
    return true;
}

void DeepScanRun::deliver(const VolumeRecord& record) {
    ++found_;
    auto hand = [&] {
        if (records) records->push_back(record);
        if (onFound) onFound(record);
    };
    if (runOnOwner) runOnOwner(hand);
    else hand();
}

void DeepScanRun::runWorker() {
    if (!running()) return;
    const std::uint32_t rc = deepScan(partition_, reader_, false);
    if (rc != 0) outcome_ = RunOutcome::failed(rc);
    else if (partition_.stopRequested.load() != 0) outcome_ = RunOutcome::stopped();
    else outcome_ = RunOutcome::completed();
    sink_.status(u"Scanned Partitions");
    if (prompt_) prompt_->message(u"populated partitions....");
    sink_.status(u"Finished Scanning.");
    if (partition_.unreadableSectors > 0)
        sink_.status(format16("Finished Scanning. unreadable sectors: %lld (the scan went on past them)",
                              static_cast<long long>(partition_.unreadableSectors)));
    // The stop belonged to this run.
    partition_.stopRequested.store(0);
    running_.store(0);
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void DeepScanRun::startWorker() {
    if (!running() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this] { runWorker(); });
}

void DeepScanRun::wait() { thread_.join(); }

void DeepScanRun::pause() {
    if (running()) thread_.control.pause();
}

void DeepScanRun::resume() { thread_.control.resume(); }

void DeepScanRun::stop() {
    if (running()) partition_.stopRequested.store(1);
}

}  // namespace dravonel
