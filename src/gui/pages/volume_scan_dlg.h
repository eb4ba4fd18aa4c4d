#pragma once
// The scan page: the chosen volume's scan on a worker (through the core's VolumeScan),
// progress with elapsed time and an estimate of the time left, Pause / Resume / Stop,
// then the result tree beside the file list, search by name pattern, Save of the marked
// items (with the closing count line, and a report of the files not saved whole) and
// quick save by double click (saying where the file went, or why it is not whole). Every long job runs on the page's one worker;
// the worker reaches the widgets only through queued signals and the page's bridge.
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <memory>

#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/result_view.h"
#include "core/scan/save_walk.h"
#include "core/scan/search_walk.h"
#include "core/scan/volume_scan.h"
#include "gui/gui_tree_sink.h"
#include "gui/qt_bridges.h"
#include "gui/wizard_page.h"
#include "gui/worker_prompt.h"
#include "gui/worker_slot.h"

namespace dravonel {

class advanceOptions;
class CCheckListCtrl;
class PreviewPane;
class ParceModeNtfsDlg;
class SaveReportDialog;
class TriStateTreeView;

// Elapsed time and an estimate of the time left for a worker that reports a progress
// range and position. The estimate is taken over the current range only (a new range
// starts a new phase) and over running time only (time spent paused does not count).
class ProgressClock {
public:
    void start();
    void pause();
    void resume();
    void setRange(qint64 low, qint64 high);
    void setPosition(qint64 pos);
    // "Elapsed: 00:00:12   Time left: about 00:01:05" (or "Time left: --" while unknown).
    QString text() const;
    qint64 runningMs() const;

private:
    QElapsedTimer clock_;
    qint64 pausedMs_ = 0;
    qint64 pausedAt_ = -1;
    int pauses_ = 0;
    qint64 low_ = 0, high_ = 0, pos_ = 0;
    qint64 phaseStartMs_ = 0;
    qint64 phaseStartPos_ = 0;
};

class VolumeScanDlg : public WizardPage {
    Q_OBJECT
public:
    // Copies the recovery-mode page's volume, mode and options.
    VolumeScanDlg(Wizard& wizard, ParceModeNtfsDlg& opener);
    // Advanced mode: the advanced-options page's volume and chosen rows; the scan
    // borrows that page's parser (which outlives this page).
    VolumeScanDlg(Wizard& wizard, advanceOptions& opener);
    ~VolumeScanDlg() override;

    // Page start-up: chooses the parser and starts the scan's worker (nothing for a dead
    // end, which says why and lets the user go back).
    void startScan();

    void pause();
    void resume();
    void stop();
    void save();
    void search();
    void goBack();
    // A click on a tree item's label: the file list shows its files.
    void labelClicked(TreeItem item);
    // A double click on a tree item: a folder is listed, a file is saved at once.
    void quickSave(TreeItem item);

    void stopWorkers() override;
    bool closeRequested() override;

    // True while a scan, save or search runs.
    bool workerRunning() const { return worker_.running(); }
    VolumeScan* scan() const { return scan_.get(); }
    CTriStateTree& tree() { return tree_; }
    TriStateTreeView* treeView() const { return treeView_; }
    CCheckListCtrl* fileList() const { return fileList_; }
    PreviewPane* preview() const { return preview_; }
    const std::filesystem::path& outputFolder() const;
    QString statusText() const { return status_->text(); }
    // The save run of this page's volume (null before the scan has ended).
    const SaveRun* saveRun() const { return saveRun_.get(); }
    // The closing line of the last save ("saved N, damaged D, skipped S, failed F").
    QString saveResultText() const { return saveResult_->text(); }
    // The report of the last save's damaged and failed files while it is open.
    SaveReportDialog* saveReport() const { return saveReport_.data(); }

    // The folder dialog ("Please choose a folder."); tests replace it.
    std::function<QString()> chooseFolder;

signals:
    // A scan, save or search worker ended (the page has been restored).
    void workerFinished();

private:
    enum class Job { None, Scan, Save, Search, QuickSave };
    VolumeScanDlg(Wizard& wizard, WizardPage& opener, VolumeRecord volume, RecoveryMode mode, ScanOptions options,
                  ScanParser* borrowed);
    void buildControls();
    void setWorking(bool working);
    void onWorkerFinished();
    bool refuseWhileBusy();
    // After a save: the count line (saying when the save was stopped) and, when any file
    // is damaged or failed, the report that lists them.
    void showSaveResult();
    // After a quick save: where the file went, or why it is not whole or not there.
    // The box a file-list row shows for tree item: ticked, clear or mixed as in the tree.
    Qt::CheckState listState(TreeItem item) const;
    // Shows the file of the list's row in the preview (nothing for a folder, or while a
    // worker runs).
    void previewRow(int row);
    void showQuickSaveResult();
    void ensureRuns();

    // State of the page.
    VolumeRecord volume_;
    RecoveryMode recoveryMode_ = RecoveryMode::None;
    ScanOptions options_;
    // Advanced mode: the advanced-options page's parser, lent to the scan.
    ScanParser* borrowed_ = nullptr;
    CTriStateTree tree_;
    QObject bridge_;
    GuiTreeSink treeSink_;
    WorkerPrompt prompt_;
    QtScanSink sink_;
    QtScanSink saveLine_;
    std::unique_ptr<VolumeScan> scan_;
    std::unique_ptr<ResultView> view_;
    std::unique_ptr<SaveRun> saveRun_;
    std::unique_ptr<SearchRun> searchRun_;
    FileList searchRows_;
    FileList saveRows_;
    // Set by the save job when the save ran (not cancelled before it began).
    bool saveRan_ = false;
    // What the quick-save job made of its file (empty path: nothing was tried).
    SaveProblem quickResult_;
    QPointer<SaveReportDialog> saveReport_;
    WorkerSlot worker_;
    Job job_ = Job::None;
    ProgressClock clock_;
    QTimer clockTimer_;

    // Controls.
    QLineEdit* volumeData_ = nullptr;
    QLineEdit* pattern_ = nullptr;
    QPushButton* searchButton_ = nullptr;
    TriStateTreeView* treeView_ = nullptr;
    CCheckListCtrl* fileList_ = nullptr;
    PreviewPane* preview_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* clockLabel_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* saveProgress_ = nullptr;
    QLabel* saveResult_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* saveButton_ = nullptr;
};

}  // namespace dravonel
