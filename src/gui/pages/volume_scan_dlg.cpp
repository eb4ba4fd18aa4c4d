#include "gui/pages/volume_scan_dlg.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSplitter>

#include "core/common/text.h"
#include "gui/check_list_ctrl.h"
#include "gui/file_preview.h"
#include "gui/page_hooks.h"
#include "gui/pages/advance_options.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/save_report_dialog.h"
#include "gui/save_safety.h"
#include "gui/tri_state_tree_view.h"
#include "gui/wizard.h"

namespace dravonel {

namespace {

QString clockText(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600, 2, 10, QLatin1Char('0'))
        .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

// --- ProgressClock ---------------------------------------------------------------------

void ProgressClock::start() {
    clock_.start();
    pausedMs_ = 0;
    pausedAt_ = -1;
    pauses_ = 0;
    low_ = high_ = pos_ = 0;
    phaseStartMs_ = 0;
    phaseStartPos_ = 0;
}

void ProgressClock::pause() {
    if (pauses_++ == 0 && clock_.isValid()) pausedAt_ = clock_.elapsed();
}

void ProgressClock::resume() {
    if (pauses_ == 0) return;
    if (--pauses_ == 0 && pausedAt_ >= 0) {
        pausedMs_ += clock_.elapsed() - pausedAt_;
        pausedAt_ = -1;
    }
}

qint64 ProgressClock::runningMs() const {
    if (!clock_.isValid()) return 0;
    const qint64 now = pausedAt_ >= 0 ? pausedAt_ : clock_.elapsed();
    return now - pausedMs_;
}

void ProgressClock::setRange(qint64 low, qint64 high) {
    low_ = low;
    high_ = high;
    pos_ = low;
    phaseStartMs_ = runningMs();
    phaseStartPos_ = low;
}

void ProgressClock::setPosition(qint64 pos) {
    if (pos < pos_) {  // the worker went back to the start of its range: a new phase
        phaseStartMs_ = runningMs();
        phaseStartPos_ = pos;
    }
    pos_ = pos;
}

QString ProgressClock::text() const {
    const qint64 ms = runningMs();
    QString left = QStringLiteral("--");
    const qint64 done = pos_ - phaseStartPos_;
    const qint64 phaseMs = ms - phaseStartMs_;
    // Only once a little of the range is behind us is the rate worth believing.
    if (high_ > low_ && done > 0 && pos_ <= high_ && phaseMs >= 1000 && (pos_ - low_) * 100 >= (high_ - low_)) {
        const double perUnit = static_cast<double>(phaseMs) / static_cast<double>(done);
        left = QStringLiteral("about ") + clockText(static_cast<qint64>(perUnit * static_cast<double>(high_ - pos_)));
    }
    return QStringLiteral("Elapsed: %1   Time left: %2").arg(clockText(ms), left);
}

// --- The page --------------------------------------------------------------------------

VolumeScanDlg::VolumeScanDlg(Wizard& wizard, ParceModeNtfsDlg& opener)
    : VolumeScanDlg(wizard, opener, opener.volume(), opener.recoveryMode(), opener.scanOptions(), nullptr) {}

VolumeScanDlg::VolumeScanDlg(Wizard& wizard, advanceOptions& opener)
    : VolumeScanDlg(wizard, opener, opener.volume(), RecoveryMode::Advanced, opener.advancedScanOptions(),
                    opener.parser()) {}

VolumeScanDlg::VolumeScanDlg(Wizard& wizard, WizardPage& opener, VolumeRecord volume, RecoveryMode mode,
                             ScanOptions options, ScanParser* borrowed)
    : WizardPage(wizard, kTemplateScanPage, &opener),
      volume_(std::move(volume)),
      recoveryMode_(mode),
      options_(options),
      borrowed_(borrowed),
      treeSink_(tree_, &bridge_),
      prompt_(&bridge_, wizard.prompt()),
      worker_(&bridge_) {
    setWindowTitle(appTitle());
    buildControls();
    connect(&worker_, &WorkerSlot::finished, this, &VolumeScanDlg::onWorkerFinished);
    chooseFolder = [this] {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("Please choose a folder."), QString(),
                                                 QFileDialog::ShowDirsOnly);
    };
    clockTimer_.setInterval(1000);
    connect(&clockTimer_, &QTimer::timeout, this, [this] { clockLabel_->setText(clock_.text()); });
}

VolumeScanDlg::~VolumeScanDlg() {
    preview_->cancel();
    stopWorkers();
    worker_.waitPumping();
    treeView_->treeModel()->detach();
}

void VolumeScanDlg::buildControls() {
    setObjectName(QStringLiteral("VolumeScanDlg"));
    auto* caption = new QLabel(QStringLiteral("VOLUME-SCAN"), this);
    caption->setObjectName(QStringLiteral("pageCaption"));
    QFont f = caption->font();
    f.setBold(true);
    caption->setFont(f);
    body()->addWidget(caption);

    auto* top = new QGridLayout;
    auto* volumeLabel = new QLabel(QStringLiteral("&Volume Data:"), this);
    volumeData_ = new QLineEdit(this);
    volumeData_->setObjectName(QStringLiteral("volumeData"));
    volumeData_->setReadOnly(true);
    volumeData_->setAccessibleName(QStringLiteral("Volume Data:"));
    volumeLabel->setBuddy(volumeData_);
    top->addWidget(volumeLabel, 0, 0);
    top->addWidget(volumeData_, 0, 1);

    auto* patternLabel = new QLabel(QStringLiteral("Search &pattern:"), this);
    pattern_ = new QLineEdit(this);
    pattern_->setObjectName(QStringLiteral("searchPattern"));
    pattern_->setAccessibleName(QStringLiteral("Search pattern"));
    patternLabel->setBuddy(pattern_);
    searchButton_ = new QPushButton(QIcon(QStringLiteral(":/dravonel/search.svg")), QStringLiteral("Sea&rch"), this);
    searchButton_->setObjectName(QStringLiteral("searchButton"));
    searchButton_->setAccessibleName(QStringLiteral("Search"));
    searchButton_->setAutoDefault(false);
    auto* hint = new QLabel(QStringLiteral("* Use \"|\" to find multiple file type "), this);
    hint->setObjectName(QStringLiteral("searchHint"));
    top->addWidget(patternLabel, 1, 0);
    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(pattern_, 1);
    searchRow->addWidget(searchButton_);
    searchRow->addWidget(hint);
    top->addLayout(searchRow, 1, 1);
    body()->addLayout(top);

    auto* split = new QSplitter(Qt::Horizontal, this);
    treeView_ = new TriStateTreeView(split);
    treeView_->setObjectName(QStringLiteral("resultTree"));
    treeView_->setAccessibleName(QStringLiteral("Result tree"));
    // The file list above the preview of its selected file.
    auto* listAndPreview = new QSplitter(Qt::Vertical, split);
    fileList_ = new CCheckListCtrl(listAndPreview);
    fileList_->setObjectName(QStringLiteral("fileList"));
    fileList_->setAccessibleName(QStringLiteral("File(s) List"));
    preview_ = new PreviewPane(listAndPreview);
    listAndPreview->addWidget(fileList_);
    listAndPreview->addWidget(preview_);
    listAndPreview->setStretchFactor(0, 3);
    listAndPreview->setStretchFactor(1, 2);
    split->addWidget(treeView_);
    split->addWidget(listAndPreview);
    // The tree keeps the width it asks for; what the window has beyond goes to the list.
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    body()->addWidget(split, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("scanProgress"));
    progress_->setAccessibleName(QStringLiteral("Scan progress"));
    progress_->setTextVisible(false);
    clockLabel_ = new QLabel(this);
    clockLabel_->setObjectName(QStringLiteral("scanClock"));
    clockLabel_->setAccessibleName(QStringLiteral("Elapsed time and time left"));
    pause_ = makeButton(QStringLiteral("P&ause"), QStringLiteral("pause"), QStringLiteral("pauseButton"));
    resume_ = makeButton(QStringLiteral("Res&ume"), QStringLiteral("resume"), QStringLiteral("resumeButton"));
    stop_ = makeButton(QStringLiteral("S&top"), QStringLiteral("stop"), QStringLiteral("stopButton"));
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(clockLabel_);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    body()->addLayout(progressRow);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setAccessibleName(QStringLiteral("Status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    saveProgress_ = new QLabel(this);
    saveProgress_->setObjectName(QStringLiteral("saveProgress"));
    saveProgress_->setAccessibleName(QStringLiteral("Save progress"));
    saveResult_ = new QLabel(this);
    saveResult_->setObjectName(QStringLiteral("saveResult"));
    saveResult_->setAccessibleName(QStringLiteral("Save result"));
    saveResult_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    body()->addWidget(status_);
    body()->addWidget(saveProgress_);
    body()->addWidget(saveResult_);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    saveButton_ = addButton(QStringLiteral("&Save"), QStringLiteral("save"), QStringLiteral("saveButton"));

    setTabOrder(pattern_, searchButton_);
    setTabOrder(searchButton_, treeView_);
    setTabOrder(treeView_, fileList_);
    setTabOrder(fileList_, pause_);
    setTabOrder(pause_, resume_);
    setTabOrder(resume_, stop_);
    setTabOrder(stop_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, saveButton_);

    sink_.connectTo(progress_, status_);
    saveLine_.connectTo(nullptr, saveProgress_);
    connect(&sink_, &QtScanSink::rangeChanged, this, [this](qint64 low, qint64 high) { clock_.setRange(low, high); });
    connect(&sink_, &QtScanSink::positionChanged, this, [this](qint64 pos) { clock_.setPosition(pos); });

    connect(searchButton_, &QPushButton::clicked, this, &VolumeScanDlg::search);
    connect(pause_, &QPushButton::clicked, this, &VolumeScanDlg::pause);
    connect(resume_, &QPushButton::clicked, this, &VolumeScanDlg::resume);
    connect(stop_, &QPushButton::clicked, this, &VolumeScanDlg::stop);
    connect(back_, &QPushButton::clicked, this, &VolumeScanDlg::goBack);
    connect(saveButton_, &QPushButton::clicked, this, &VolumeScanDlg::save);
    connect(treeView_, &TriStateTreeView::labelClicked, this, &VolumeScanDlg::labelClicked);
    connect(treeView_, &TriStateTreeView::itemDoubleClicked, this, &VolumeScanDlg::quickSave);
    connect(treeView_, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        const TreeItem item = treeView_->treeModel()->itemOf(index);
        if (!view_ || (scan_ && scan_->scanRunning())) return;
        if (preview_->reading()) preview_->cancel();
        tree_.expand(item, ExpandCode::Expand);
        view_->insertChildren(item);
    });
    connect(treeView_, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        tree_.expand(treeView_->treeModel()->itemOf(index), ExpandCode::Collapse);
    });
    // The selected row's file is previewed, read as a save would read it.
    connect(fileList_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        const int row = current ? fileList_->indexOfTopLevelItem(current) : -1;
        previewRow(row);
    });
    // Enter on a row of a folder's files saves that file at once, as a double click in the
    // tree does.
    connect(fileList_, &CCheckListCtrl::rowActivated, this, [this](int row) {
        const FileList& rows = fileList_->rows();
        if (row < 0 || static_cast<std::size_t>(row) >= rows.rows.size() || rows.listShowsSearch) return;
        if (rows.rows[static_cast<std::size_t>(row)].item != kNoItem) quickSave(rows.rows[static_cast<std::size_t>(row)].item);
    });
    connect(fileList_, &CCheckListCtrl::rowCheckClicked, this, [this](int row) {
        if (view_) view_->rowCheckClicked(fileList_->rows(), static_cast<std::size_t>(row));
    });
    // Deleted entries are red in the list as in the tree: a folder's rows by their tree
    // item's colour (a file in a deleted folder too), search hits by their record.
    fileList_->isDeletedRow = [this](const FileListRow& row) {
        if (row.item != kNoItem && !fileList_->rows().listShowsSearch) {
            const TRISTATETREEDATA* data = tree_.findItemData(row.item);
            return data && data->textColour == kRedTextColour;
        }
        RecoveredVolume* volume = scan_ ? scan_->volume() : nullptr;
        return volume && volume->isValidEntry(row.entry) && volume->isDeleted(row.entry);
    };
    // The list's boxes follow the tree: a tick in the tree, or one the tree passes on to
    // children and parents, shows on the rows standing for those items.
    connect(treeView_->treeModel(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex& last, const QList<int>& roles) {
                if (!roles.isEmpty() && !roles.contains(Qt::CheckStateRole)) return;
                if (fileList_->rows().listShowsSearch || first.parent() != last.parent()) return;
                TriStateTreeModel* model = treeView_->treeModel();
                for (int r = first.row(); r <= last.row(); ++r) {
                    const TreeItem item = model->itemOf(first.siblingAtRow(r));
                    const int row = fileList_->rowOf(item);
                    if (row >= 0) fileList_->setRowState(row, listState(item));
                }
            });

    // Start-up texts: the volume's mount point, or its name when it has none.
    volumeData_->setText(qs(volume_.rootPath.empty() ? volume_.name : volume_.rootPath));
    back_->setEnabled(false);
    setWorking(false);
}

const std::filesystem::path& VolumeScanDlg::outputFolder() const {
    static const std::filesystem::path none;
    return saveRun_ ? saveRun_->outputFolder : none;
}

void VolumeScanDlg::setWorking(bool working) {
    progress_->setVisible(working);
    clockLabel_->setVisible(working);
    pause_->setVisible(working);
    resume_->setVisible(working);
    stop_->setVisible(working);
    if (working) {
        clock_.start();
        clockLabel_->setText(clock_.text());
        clockTimer_.start();
    } else {
        clockTimer_.stop();
    }
}

void VolumeScanDlg::startScan() {
    WizardState& shared = state();
    readWriteInterface* reader = shared.currentReader.get();
    const FileSystemKind kind = fileSystemKind(volume_.fileSystem);
    // The mounted-volume road reads the volume through its own device path (a borrowed
    // parser's page has opened it already and reads through it).
    if (!borrowed_ && shared.volumeChosen && shared.currentReader && kind != FileSystemKind::HfsPlus &&
        kind != FileSystemKind::None)
        shared.currentReader->open(toUtf8(volume_.name));

    treeView_->treeModel()->detach();
    scan_ = std::make_unique<VolumeScan>(volume_, recoveryMode_, tree_, reader, sink_, prompt_, shared.registry(),
                                         options_, &treeSink_);
    if (borrowed_) scan_->borrowParser(borrowed_);
    const bool started = scan_->start();
    treeView_->treeModel()->attach(&tree_);
    if (!started) {
        // A dead end says why; Back lets the user choose another volume or mode.
        back_->setEnabled(true);
        return;
    }
    setWorking(true);
    job_ = Job::Scan;
    preview_->cancel();
    worker_.start([this] { scan_->runWorker(); });
}

void VolumeScanDlg::ensureRuns() {
    RecoveredVolume* volume = scan_ ? scan_->volume() : nullptr;
    if (!volume) return;
    if (!view_) view_ = std::make_unique<ResultView>(tree_, *volume);
    if (!saveRun_) {
        saveRun_ = std::make_unique<SaveRun>(tree_, *volume, sink_, prompt_);
        saveRun_->stopPressed = &scan_->stopPressed();
        saveRun_->control = &scan_->control();
        saveRun_->progressLine = &saveLine_;
    }
    if (!searchRun_) {
        searchRun_ = std::make_unique<SearchRun>(tree_, *volume, sink_, prompt_);
        searchRun_->stopPressed = &scan_->stopPressed();
        searchRun_->control = &scan_->control();
    }
}

void VolumeScanDlg::onWorkerFinished() {
    const Job finished = job_;
    job_ = Job::None;
    // A pause left over from the job must not hold the next one.
    if (scan_)
        while (scan_->control().suspensions() > 0) scan_->control().resume();
    setWorking(false);
    treeView_->setEnabled(true);
    fileList_->setEnabled(true);
    searchButton_->setEnabled(true);
    saveButton_->setEnabled(true);
    back_->setEnabled(true);
    if (finished == Job::Scan) ensureRuns();
    if (finished == Job::Search) fileList_->showRows(searchRows_);
    if (finished == Job::Save) showSaveResult();
    if (finished == Job::QuickSave) showQuickSaveResult();
    emit workerFinished();
}

bool VolumeScanDlg::refuseWhileBusy() {
    if (!worker_.running() && !(scan_ && scan_->scanRunning())) return false;
    prompt_.message(u"Please wait for other process to complete");
    return true;
}

void VolumeScanDlg::pause() {
    if (!worker_.running() || !scan_) return;
    scan_->control().pause();
    clock_.pause();
    sink_.status(u"Pause button pressed");
}

void VolumeScanDlg::resume() {
    if (!worker_.running() || !scan_) return;
    sink_.status(u"Resume button pressed");
    clock_.resume();
    scan_->control().resume();
}

void VolumeScanDlg::stop() {
    if (!scan_ || scan_->deadEnd()) return;  // a dead end changes nothing
    scan_->stop();
}

void VolumeScanDlg::stopWorkers() {
    // The parser's stopFlag and stopPressed, then a paused worker is let go for good;
    // questions it still asks are answered No without a box.
    if (scan_ && !scan_->deadEnd() && worker_.running()) {
        scan_->volume()->stopFlag() = 1;
        scan_->stopPressed() = 1;
    }
    if (scan_ && worker_.running()) scan_->control().release();
    if (worker_.running()) {
        prompt_.close();
        treeSink_.close();
    }
}

bool VolumeScanDlg::closeRequested() {
    const bool yes = WizardPage::closeRequested();
    if (yes && scan_) {
        sink_.status(u"All thread Stopped");
        if (recoveryMode_ != RecoveryMode::Advanced) recoveryMode_ = RecoveryMode::None;
    }
    return yes;
}

void VolumeScanDlg::goBack() {
    if (worker_.running()) return;
    wizard().back();
}

void VolumeScanDlg::labelClicked(TreeItem item) {
    // While the scan fills the tree the parser's records are still being built: nothing
    // is read from them until it ends.
    if (!view_ || worker_.running()) return;
    // The parser is read by one thread at a time: a preview still reading ends first.
    preview_->cancel();
    FileList list = fileList_->rows();
    if (!view_->labelClicked(item, list)) return;
    for (FileListRow& row : list.rows) row.checked = tree_.checkState(row.item) == 1;
    fileList_->showRows(list);
    // A mixed item (some of its children ticked) shows the mixed box.
    for (std::size_t r = 0; r < list.rows.size(); ++r)
        if (tree_.checkState(list.rows[r].item) == 2) fileList_->setRowState(static_cast<int>(r), Qt::PartiallyChecked);
}

void VolumeScanDlg::previewRow(int row) {
    const FileList& rows = fileList_->rows();
    RecoveredVolume* volume = scan_ ? scan_->volume() : nullptr;
    if (!volume || worker_.running() || (scan_ && scan_->scanRunning()) || row < 0 ||
        static_cast<std::size_t>(row) >= rows.rows.size()) {
        preview_->cancel();
        return;
    }
    const EntryRef ref = rows.rows[static_cast<std::size_t>(row)].entry;
    if (!volume->isValidEntry(ref) || volume->isFolder(ref)) {
        preview_->cancel();
        return;
    }
    preview_->preview(qs(volume->name(ref)), [volume, ref](EntryWriter& out) { volume->saveEntry(ref, out); });
}

Qt::CheckState VolumeScanDlg::listState(TreeItem item) const {
    switch (tree_.checkState(item)) {
        case 1: return Qt::Checked;
        case 2: return Qt::PartiallyChecked;
        default: return Qt::Unchecked;
    }
}

void VolumeScanDlg::quickSave(TreeItem item) {
    if (!view_ || !saveRun_) return;
    preview_->cancel();
    if (view_->isFolderItem(item)) {
        labelClicked(item);
        return;
    }
    EntryRef ref = 0;
    if (!view_->entryOf(item, ref)) return;
    if (refuseWhileBusy()) return;
    if (saveRun_->outputFolder.empty()) {
        const QString chosen = chooseFolder ? chooseFolder() : QString();
        if (chosen.isEmpty()) return;
        const std::filesystem::path folder = chosen.toStdString();
        if (!outputFolderAccepted(folder, prompt_)) return;
        saveRun_->outputFolder = folder;
    }
    treeView_->setEnabled(false);
    fileList_->setEnabled(false);
    searchButton_->setEnabled(false);
    saveButton_->setEnabled(false);
    back_->setEnabled(false);
    job_ = Job::QuickSave;
    quickResult_ = {};
    preview_->cancel();
    worker_.start([this, item] {
        FileList unused;
        saveRun_->quickSave(item, unused, nullptr, &quickResult_);
    });
}

void VolumeScanDlg::showQuickSaveResult() {
    if (quickResult_.path.empty()) return;  // nothing was tried (an entry never written)
    const std::string path = quickResult_.path.string();
    const std::string text = problemText(quickResult_);
    switch (quickResult_.status) {
        case SaveStatus::Saved: prompt_.message(format16("file is dumped in path  :  %s   ", path.c_str())); break;
        case SaveStatus::Damaged:
            prompt_.message(format16("file is dumped in path  :  %s   ", path.c_str()) +
                            fromUtf8("\nbut it is damaged: " + text));
            break;
        case SaveStatus::Failed:
            prompt_.message(fromUtf8("The file could not be saved: " + path + (text.empty() ? "" : ": " + text)));
            break;
        case SaveStatus::Stopped: prompt_.message(fromUtf8("The file was not saved (stopped): " + path)); break;
    }
}

void VolumeScanDlg::showSaveResult() {
    if (!saveRan_ || !saveRun_) return;
    const SaveOutcome& outcome = saveRun_->outcome();
    if (outcome.kind == RunOutcome::Kind::Refused) return;
    QString line = QString::fromStdString(countsText(outcome.counts));
    if (outcome.kind == RunOutcome::Kind::Stopped)
        line = QStringLiteral("Saving stopped: ") + line + QStringLiteral(" (files not reached were not saved)");
    else if (outcome.kind == RunOutcome::Kind::Failed && !outcome.message.empty())
        line = QString::fromStdU16String(outcome.message) + QStringLiteral("\n") + line;
    saveResult_->setText(line);
    QStringList problems;
    for (const SaveProblem& p : saveRun_->problems())
        problems << QString::fromStdString(problemLine(p, saveRun_->outputFolder));
    if (problems.isEmpty()) return;
    // Window-modal and not waited for: the page is restored first, the list stays open
    // for as long as the user reads or copies it.
    auto* report = new SaveReportDialog(line, problems, this);
    report->setAttribute(Qt::WA_DeleteOnClose);
    saveReport_ = report;
    report->open();
}

void VolumeScanDlg::save() {
    if (refuseWhileBusy()) return;
    preview_->cancel();  // the marks are counted from the parser's records: one reader at a time
    ensureRuns();
    if (!saveRun_) {
        prompt_.message(u"Please select File or Folder to save");
        return;
    }
    if (!saveRun_->hasMarkedItems(&fileList_->rows())) return;
    const QString chosen = chooseFolder ? chooseFolder() : QString();
    if (chosen.isEmpty()) return;  // cancelled: nothing starts, nothing is shown
    const std::filesystem::path folder = chosen.toStdString();
    if (!outputFolderAccepted(folder, prompt_)) return;
    saveRun_->outputFolder = folder;
    saveRows_ = fileList_->rows();
    saveRan_ = false;
    saveResult_->clear();

    setWorking(true);
    treeView_->setEnabled(false);
    fileList_->setEnabled(false);
    searchButton_->setEnabled(false);
    saveButton_->setEnabled(false);
    back_->setEnabled(false);
    job_ = Job::Save;
    preview_->cancel();
    worker_.start([this, folder] {
        // Room for what is marked, said before anything is written.
        const std::uint64_t needed = markedBytes(tree_, *scan_->volume(), &saveRows_);
        const auto free = freeBytesAt(folder);
        if (free && needed > *free) {
            const std::u16string text = u"The chosen folder has " + sizeText(*free) + u" free, but the marked files need " +
                                        sizeText(needed) + u".\nSave anyway?";
            if (!prompt_.question(text)) {
                sink_.status(u"Saving cancelled: not enough free space in the chosen folder.");
                return;
            }
        }
        saveRan_ = saveRun_->run(&saveRows_);
    });
}

void VolumeScanDlg::search() {
    if (refuseWhileBusy()) return;
    preview_->cancel();
    ensureRuns();
    if (!searchRun_) return;
    const std::u16string pattern = u16s(pattern_->text());
    fileList_->clearRows();
    fileList_->rows().listShowsSearch = true;
    setWorking(true);
    treeView_->setEnabled(false);
    fileList_->setEnabled(false);
    searchButton_->setEnabled(false);
    saveButton_->setEnabled(false);
    back_->setEnabled(false);
    job_ = Job::Search;
    preview_->cancel();
    worker_.start([this, pattern] { searchRun_->run(pattern, searchRows_); });
}

// The page hook the advanced-options page calls for its Next.
WizardPage* openAdvancedScanPage(Wizard& wizard, advanceOptions& opener) {
    auto* page = new VolumeScanDlg(wizard, opener);
    wizard.openNext(page);
    page->startScan();
    return page;
}

// The page hook the recovery-mode page calls for Standard and Deep.
WizardPage* openScanPage(Wizard& wizard, ParceModeNtfsDlg& opener) {
    auto* page = new VolumeScanDlg(wizard, opener);
    wizard.openNext(page);
    page->startScan();
    return page;
}

}  // namespace dravonel
