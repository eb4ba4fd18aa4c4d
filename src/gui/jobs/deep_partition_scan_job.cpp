#include "gui/jobs/deep_partition_scan_job.h"

#include <chrono>

namespace dravonel {

DeepPartitionScanJob::DeepPartitionScanJob(readWriteInterface& reader, ScanSink& sink, QObject* parent)
    : QObject(parent), reader_(reader) {
    qRegisterMetaType<dravonel::VolumeRecord>();
    partition_.sink = &sink;
    partition_.control = &control_;
    // The records reach the page through `found` only; the worker keeps no shared vector.
    partition_.records = nullptr;
    partition_.onFound = [this](const VolumeRecord& record) { emit found(record); };
    partition_.onFilterEntriesEnabled = [this](bool enabled) { emit filterEntriesEnabled(enabled); };
}

DeepPartitionScanJob::~DeepPartitionScanJob() {
    // The scan clears its stop request when it begins, so a request made before that is
    // repeated until the worker has ended.
    control_.release();
    while (running_.load()) {
        partition_.stopRequested.store(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (worker_.joinable()) worker_.join();
}

bool DeepPartitionScanJob::start() {
    if (started_) return false;
    started_ = true;
    running_ = true;
    worker_ = std::thread([this] {
        const std::uint32_t rc = deepScan(partition_, reader_);
        running_ = false;
        emit finished(rc);
    });
    return true;
}

void DeepPartitionScanJob::stop() { partition_.stopRequested.store(1); }

}  // namespace dravonel
