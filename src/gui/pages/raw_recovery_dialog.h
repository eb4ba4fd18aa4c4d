#pragma once
// The raw recovery page: loads signature files, carves the chosen volume on a worker,
// shows the recognised files by category in a check tree with a files list, and saves
// the ticked ones. The carving engine fills a tree of its own on the worker; the page
// shows that tree once the run has ended, so the worker never touches what the window
// shows.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include <filesystem>
#include <functional>
#include <memory>

#include "core/model/tri_state_tree.h"
#include "core/raw/carving_engine.h"
#include "gui/qt_bridges.h"
#include "gui/wizard_page.h"
#include "gui/worker_prompt.h"
#include "gui/worker_slot.h"

namespace dravonel {

class PreviewPane;
class TriStateTreeView;

class RawRecoveryDialog : public WizardPage {
    Q_OBJECT
public:
    // Takes the opener's selected volume (the volume list's row treated as "RAW").
    RawRecoveryDialog(Wizard& wizard, WizardPage& opener);
    ~RawRecoveryDialog() override;

    void browse();
    void parse();
    void openSettings();
    void pause();
    void resume();
    void stop();
    void save();
    void goBack();
    void labelClicked(TreeItem item);
    // Shows the carved file of a list row in the preview (nothing while a worker runs).
    void previewItem(TreeItem item);
    void stopWorkers() override;

    bool workerRunning() const { return worker_.running(); }
    const myJpg* engine() const { return engine_.get(); }
    CTriStateTree& tree() { return tree_; }
    TriStateTreeView* treeView() const { return treeView_; }
    QTreeWidget* filesList() const { return files_; }
    PreviewPane* preview() const { return preview_; }
    QCheckBox* loadDefault() const { return loadDefault_; }
    QLineEdit* signaturePath() const { return path_; }
    QString statusText() const { return status_->text(); }

    // The file and folder dialogs; tests replace them.
    std::function<QString()> chooseSignatureFile;
    std::function<QString()> chooseFolder;
    // The settings dialog runs modally through this (tests replace it).
    std::function<void(QDialog&)> runDialog;

signals:
    void workerFinished();

private:
    enum class Job { None, Carve, Save };
    void setWorking(bool working);
    void onWorkerFinished();

    VolumeRecord volume_;
    CTriStateTree tree_;
    QObject bridge_;
    WorkerPrompt prompt_;
    QtScanSink sink_;
    std::unique_ptr<myJpg> engine_;
    std::int64_t defaultCount_ = 0;
    WorkerControl control_;
    StopFlag stopPressed_{0};
    WorkerSlot worker_;
    Job job_ = Job::None;

    QLineEdit* path_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* parse_ = nullptr;
    QCheckBox* loadDefault_ = nullptr;
    QPushButton* settings_ = nullptr;
    TriStateTreeView* treeView_ = nullptr;
    QTreeWidget* files_ = nullptr;
    PreviewPane* preview_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace dravonel
