#pragma once
// One scan of one volume, as the scan page runs it: choosing the parser by the volume's
// file system, the parser's scan steps in their fixed order on a worker, the completion
// (placeholders for the top-level folders, "Scanning processing done.Select save button
// to save the data."), and pause, resume and stop while it runs.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/partitions/volume_record.h"
#include "core/scan/recovered_volume.h"
#include "core/scan/tri_state_tree.h"

namespace dravonel {

// The recovery modes of the recovery-mode page.
enum class RecoveryMode : int { None = -1, Standard = 1, Advanced = 2, Deep = 3 };

// The parser classes a volume's file system leads to.
enum class FileSystemKind { None, Ntfs, Fat32, Fat16, Ext, ExFat, HfsPlus };

// The kind for a `fileSystem` text, compared without regard to case: "ntfs"; "fat32";
// "fat16" or "fat"; "extX"; "fat64" or "exFat"; "HFS+". None for any other text.
FileSystemKind fileSystemKind(std::u16string_view fileSystem);

// What the scan page hands a parser.
struct ScanContext {
    const VolumeRecord& volume;
    CTriStateTree* tree = nullptr;
    readWriteInterface* reader = nullptr;
    ScanSink* sink = nullptr;
    Prompt* prompt = nullptr;
    WorkerControl* control = nullptr;
};

// The NTFS parser's operations that the NTFS scan worker calls, in this order:
// addTreeRoot (when there is a tree), readBootSector, the mode, then locateMft
// (Standard) or scanForMftRecords (Deep), readMftEntries and buildEntryTree. The parser
// writes its own status texts and progress while it works.
class NtfsScanSteps {
public:
    virtual ~NtfsScanSteps() = default;
    virtual bool hasTree() const = 0;
    virtual bool addTreeRoot() = 0;
    virtual bool readBootSector() = 0;
    virtual void setRecoveryMode(RecoveryMode mode) = 0;
    virtual bool locateMft() = 0;
    virtual bool scanForMftRecords() = 0;
    virtual void readMftEntries() = 0;
    virtual void buildEntryTree() = 0;
    // The parsed volume for the walks over the result tree.
    virtual RecoveredVolume& volume() = 0;
    virtual StopFlag& stopFlag() = 0;
};

using NtfsParserFactory = std::function<std::unique_ptr<NtfsScanSteps>(const ScanContext&)>;

// The completion text of every scan.
inline constexpr char16_t kScanDoneText[] = u"Scanning processing done.Select save button to save the data.";

class VolumeScan {
public:
    // reader may be null (then start answers the restart message). The factory makes the
    // NTFS parser; tests give a fake.
    VolumeScan(VolumeRecord volume, RecoveryMode mode, CTriStateTree& tree, readWriteInterface* reader,
               ScanSink& sink, Prompt& prompt, NtfsParserFactory ntfsFactory);
    ~VolumeScan();
    VolumeScan(const VolumeScan&) = delete;
    VolumeScan& operator=(const VolumeScan&) = delete;

    // Page start-up: sets scanRunning, prepares the tree (check boxes with tri-state
    // propagation), chooses the parser by the volume's file system and hands it the
    // volume. False for a dead end: "not a valid drive." for an unknown file system, a
    // message that the kind cannot be scanned yet for the parsers not built, or
    // "Please Restart the program to re begin necessary initialization..." without a
    // reader.
    bool start();
    // The worker of the chosen kind and mode, then the completion. Runs on the calling
    // thread; does nothing after a dead end.
    void runWorker();
    // runWorker on a thread of its own; wait() joins it.
    void startWorker();
    void wait();

    // The page's buttons. Pause adds one suspension and Resume removes one; the worker
    // stands still at its next check point while any remain. Stop sets the parser's
    // stopFlag and stopPressed (nothing after a dead end). Their status texts reach the
    // sink from the caller's thread while the worker may be writing its own, so a sink
    // used with startWorker must take calls from both threads.
    void pause();
    void resume();
    void stop();

    bool scanRunning() const { return scanRunning_.load() != 0; }
    bool deadEnd() const { return !parserChosen_; }
    FileSystemKind kind() const { return kind_; }
    RecoveryMode mode() const { return mode_; }
    // The parsed volume; null after a dead end.
    RecoveredVolume* volume();
    WorkerControl& control() { return control_; }
    StopFlag& stopPressed() { return stopPressed_; }
    CTriStateTree& tree() { return tree_; }
    const VolumeRecord& record() const { return volume_; }

private:
    void ntfsScanWorker();
    void completeScan();

    VolumeRecord volume_;
    RecoveryMode mode_;
    CTriStateTree& tree_;
    readWriteInterface* reader_;
    ScanSink& sink_;
    Prompt& prompt_;
    NtfsParserFactory ntfsFactory_;
    FileSystemKind kind_ = FileSystemKind::None;
    std::unique_ptr<NtfsScanSteps> ntfsParser_;
    bool parserChosen_ = false;
    WorkerControl control_;
    StopFlag scanRunning_{0};
    StopFlag stopPressed_{0};
    std::thread workerThread_;
};

}  // namespace dravonel
