#pragma once
// The deep partition scan on a worker thread. Finds, the "Filter Entries" switch and the
// end reach the page as queued signals; the worker never touches a widget. This adapter
// is the one place that knows how the scan is started, stopped and paused, so a run
// object from the core can take its place without the page changing.
#include <QObject>

#include <cstdint>
#include <thread>

#include "core/partitions/partition.h"

Q_DECLARE_METATYPE(dravonel::VolumeRecord)

namespace dravonel {

class DeepPartitionScanJob : public QObject {
    Q_OBJECT
public:
    // reader must be open and outlive the job; sink gets the scan's status and progress.
    DeepPartitionScanJob(readWriteInterface& reader, ScanSink& sink, QObject* parent = nullptr);
    // Stops the scan and waits for the worker.
    ~DeepPartitionScanJob() override;

    // The discovery object; set skipVolumeSize, customStart and customEnd before start().
    Partition& partition() { return partition_; }
    // Starts the worker once; false when it already ran.
    bool start();
    // Sets the stop request; the worker ends within one sector (after a pause ends).
    void stop();
    // Pause adds one suspension, resume removes one.
    void pause() { control_.pause(); }
    void resume() { control_.resume(); }
    WorkerControl& control() { return control_; }
    bool running() const { return running_.load(); }

signals:
    // One found volume, in the order found.
    void found(const dravonel::VolumeRecord& record);
    void filterEntriesEnabled(bool enabled);
    // The scan ended: 0 normally, else the error code of the read that failed.
    void finished(quint32 errorCode);

private:
    readWriteInterface& reader_;
    Partition partition_;
    WorkerControl control_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    bool started_ = false;
};

}  // namespace dravonel
