#pragma once
// The advanced-options page: the first half of the Advanced recovery road. On its worker
// the core's AdvancedSearch looks over the chosen volume for copies of the file system's
// central structure (NTFS $MFT copies, FAT starts, exFAT FAT and cluster-heap starts);
// the page lists what was found, the user picks a copy, a cluster size and (exFAT) a heap
// start, and Next opens the scan page in Advanced mode, which borrows this page's parser
// and rebuilds the tree from those choices. Back on the scan page comes here again with
// the finds kept, so another choice makes a second pass.
//
// Lifetime: this page owns the parser (through its search). The scan page that borrows
// it is this page's child in the wizard and is always destroyed first (Back on the scan
// page, or the wizard taking its pages down from the last).
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <atomic>
#include <memory>

#include "core/model/scan_parser.h"
#include "core/scan/advanced_search.h"
#include "gui/qt_bridges.h"
#include "gui/wizard_page.h"
#include "gui/worker_prompt.h"
#include "gui/worker_slot.h"

namespace dravonel {

class ParceModeNtfsDlg;

class advanceOptions : public WizardPage {
    Q_OBJECT
public:
    // Copies the recovery-mode page's volume and choices (formatted-drive flag, copies count).
    advanceOptions(Wizard& wizard, ParceModeNtfsDlg& opener);
    // Stops a search still running and waits for it before the parser is freed.
    ~advanceOptions() override;

    // Page start-up: the labels for the volume's kind, then the search on the worker
    // (nothing for a dead end, which has said why; Back is enabled then).
    void startSearch();

    void pause();
    void resume();
    void stop();
    // Stops the search, waits for the worker and shows the recovery-mode page.
    void goBack();
    // Opens the scan page in Advanced mode with the selected rows; nothing without a
    // selected copy row and cluster row.
    void next();

    void stopWorkers() override;
    bool closeRequested() override;

    const VolumeRecord& volume() const { return volume_; }
    FileSystemKind kind() const { return kind_; }
    // The parser the search made (null before start-up or after a dead end).
    ScanParser* parser() { return search_ ? search_->parser() : nullptr; }
    const AdvancedSearch* search() const { return search_.get(); }
    // The recovery-mode page's choices with the rows selected here (set by next()).
    const ScanOptions& advancedScanOptions() const { return chosen_; }
    bool workerRunning() const { return worker_.running(); }
    QString statusText() const { return status_->text(); }

signals:
    // The search's worker ended (the page shows its finds).
    void searchFinished();

private:
    void buildControls();
    void setWorking(bool working);
    // Fills the three lists from the search's finds and selects their first rows; runs
    // on the page's thread while the worker waits (before the found message) or has ended.
    void showFinds();
    void onWorkerFinished();
    // Waits for a worker that was asked to stop: lets a paused one go, then joins it.
    void joinWorker();
    void showDetail(QComboBox* list, QLabel* detail);

    VolumeRecord volume_;
    ScanOptions options_;
    ScanOptions chosen_;
    FileSystemKind kind_ = FileSystemKind::None;
    QObject bridge_;
    WorkerPrompt prompt_;
    // The search's prompt: the lists are filled before its messages are shown.
    std::unique_ptr<Prompt> searchPrompt_;
    QtScanSink sink_;
    std::unique_ptr<AdvancedSearch> search_;
    WorkerSlot worker_;
    std::atomic<bool> leavingPage_{false};

    QLabel* copiesLabel_ = nullptr;
    QComboBox* copies_ = nullptr;
    QLabel* copyDetail_ = nullptr;
    QLabel* clustersLabel_ = nullptr;
    QComboBox* clusters_ = nullptr;
    QLabel* clusterDetail_ = nullptr;
    QLabel* heapsLabel_ = nullptr;
    QComboBox* heaps_ = nullptr;
    QLabel* heapDetail_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
