#pragma once
// The deep partition scan as the volume list page runs it: the surface scan on a worker,
// pause and resume, stop, and an outcome when it ends. Each find reaches the page's
// record vector and onFound on the page's own thread when the page gives runOnOwner (the
// GUI), otherwise on the worker (the CLI and the tests, which read the records only after
// the run).
#include <cstdint>
#include <functional>
#include <vector>

#include "core/common/owner_calls.h"
#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/device/sector_reader.h"
#include "core/partitions/partition.h"

namespace dravonel {

class DeepScanRun {
public:
    // prompt and slot may be null. The reader is read only through positional reads.
    DeepScanRun(readWriteInterface& reader, ScanSink& sink, Prompt* prompt = nullptr, RunSlot* slot = nullptr);
    // A running worker is stopped and waited for.
    ~DeepScanRun();
    DeepScanRun(const DeepScanRun&) = delete;
    DeepScanRun& operator=(const DeepScanRun&) = delete;

    // The page's choices, read when the run starts: 1 = continue after a found volume's
    // last sector; the custom range in sectors (0: not set).
    std::uint8_t skipVolumeSize = 1;
    std::int64_t customStart = 0;
    std::int64_t customEnd = 0;
    // Where finds go, in the order found: appended to records, then onFound.
    std::vector<VolumeRecord>* records = nullptr;
    std::function<void(const VolumeRecord&)> onFound;
    // Runs a find's delivery on the page's thread; empty: on the worker.
    OwnerCall runOnOwner;
    // Called on the worker when the run has ended; outcome() is set and the page's slot
    // is free again.
    std::function<void(const RunOutcome&)> onFinished;

    // Takes the page's slot and clears the stop request. False, with "Please wait for other
    // process to complete", while another run of the page holds the slot or this one
    // still runs.
    bool start();
    // The scan on the calling thread, then "Scanned Partitions", "populated
    // partitions....", "Finished Scanning." and the outcome: Completed, Stopped, or
    // Failed with the errno of a block read that failed (the finds so far stay).
    void runWorker();
    // runWorker on a thread of its own; wait() joins it.
    void startWorker();
    void wait();

    // Pause adds one suspension, Resume removes one; the worker stands still before its
    // next 1 MiB block while any remain (counted from start). Stop ends the scan within
    // one sector.
    void pause();
    void resume();
    void stop();

    bool running() const { return running_.load() != 0; }
    // How the last run ended; read it after onFinished or wait().
    const RunOutcome& outcome() const { return outcome_; }
    // Volumes found by the last run.
    int foundCount() const { return found_.load(); }
    WorkerControl& control() { return thread_.control; }

private:
    void deliver(const VolumeRecord& record);

    readWriteInterface& reader_;
    ScanSink& sink_;
    Prompt* prompt_;
    SlotClaim claim_;
    Partition partition_;
    RunOutcome outcome_;
    StopFlag running_{0};
    bool workerStarted_ = false;  // owner thread only
    std::atomic<int> found_{0};
    RunThread thread_;
};

}  // namespace dravonel
