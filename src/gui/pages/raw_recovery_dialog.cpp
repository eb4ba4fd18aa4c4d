#include "gui/pages/raw_recovery_dialog.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSplitter>
#include <QVBoxLayout>

#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/raw/carved_save.h"
#include "core/raw/signature_record.h"
#include "gui/file_icons.h"
#include "gui/file_preview.h"
#include "gui/page_hooks.h"
#include "gui/pages/populate_drive_dlg.h"
#include "gui/pages/raw_setting_dlg.h"
#include "gui/save_safety.h"
#include "gui/tri_state_tree_view.h"
#include "gui/wizard.h"

namespace dravonel {

namespace {
constexpr std::int64_t kMiB = 1048576;

// The leading decimal digits of a size text, in MiB (0 when there are none).
std::int64_t leadingMiB(const std::u16string& text) {
    std::int64_t v = 0;
    for (char16_t c : trimLeft(text)) {
        if (c < u'0' || c > u'9') break;
        if (v > (INT64_MAX / kMiB) / 10) return 0;  // no source holds that much
        v = v * 10 + (c - u'0');
    }
    return v;
}
}  // namespace

RawRecoveryDialog::RawRecoveryDialog(Wizard& wizard, WizardPage& opener)
    : WizardPage(wizard, kTemplateRawRecovery, &opener), prompt_(&bridge_, wizard.prompt()), worker_(&bridge_) {
    setObjectName(QStringLiteral("RawRecoveryDialog"));
    setWindowTitle(QStringLiteral("Raw Recovery Dialog"));
    if (const VolumeRecord* chosen = opener.selectedRecord()) volume_ = *chosen;

    auto* group = new QGroupBox(
        QStringLiteral("Click Parse button to add default file settings or create your own file to process raw recovery."),
        this);
    auto* groupLayout = new QVBoxLayout(group);
    auto* pathRow = new QHBoxLayout;
    auto* pathLabel = new QLabel(QStringLiteral("Signature &file:"), group);
    path_ = new QLineEdit(group);
    path_->setObjectName(QStringLiteral("signatureFile"));
    path_->setAccessibleName(QStringLiteral("Signature file"));
    pathLabel->setBuddy(path_);
    browse_ = new QPushButton(QStringLiteral("..."), group);
    browse_->setObjectName(QStringLiteral("browseButton"));
    browse_->setAccessibleName(QStringLiteral("Choose the signature file"));
    browse_->setAutoDefault(false);
    parse_ = new QPushButton(QStringLiteral("&Parse"), group);
    parse_->setObjectName(QStringLiteral("parseButton"));
    parse_->setAccessibleName(QStringLiteral("Parse"));
    parse_->setAutoDefault(false);
    pathRow->addWidget(pathLabel);
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(browse_);
    pathRow->addWidget(parse_);
    groupLayout->addLayout(pathRow);
    auto* optionsRow = new QHBoxLayout;
    loadDefault_ = new QCheckBox(QStringLiteral("&Load Default Items"), group);
    loadDefault_->setObjectName(QStringLiteral("loadDefault"));
    loadDefault_->setAccessibleName(QStringLiteral("Load Default Items"));
    settings_ = new QPushButton(QStringLiteral("Se&tting"), group);
    settings_->setObjectName(QStringLiteral("settingsButton"));
    settings_->setAccessibleName(QStringLiteral("Setting"));
    settings_->setAutoDefault(false);
    auto* note = new QLabel(QStringLiteral("To add new signatures, make a new signature file\nor add to an existing one with Setting."),
                            group);
    optionsRow->addWidget(loadDefault_);
    optionsRow->addStretch(1);
    optionsRow->addWidget(note);
    optionsRow->addWidget(settings_);
    groupLayout->addLayout(optionsRow);
    body()->addWidget(group);

    auto* split = new QSplitter(Qt::Horizontal, this);
    treeView_ = new TriStateTreeView(split);
    treeView_->setObjectName(QStringLiteral("rawTree"));
    treeView_->setAccessibleName(QStringLiteral("Recognised files"));
    auto* listAndPreview = new QSplitter(Qt::Vertical, split);
    files_ = new QTreeWidget(listAndPreview);
    files_->setObjectName(QStringLiteral("filesList"));
    files_->setAccessibleName(QStringLiteral("FILES LIST"));
    // Beside each name: the size carved (or estimated) and where on the volume it starts.
    files_->setHeaderLabels({QStringLiteral("FILES LIST "), QStringLiteral("Size"), QStringLiteral("Offset")});
    files_->setColumnWidth(0, 300);
    files_->setColumnWidth(1, 130);
    files_->setColumnWidth(2, 100);
    files_->header()->setStretchLastSection(false);  // the offsets stay under their heading
    files_->setRootIsDecorated(false);
    files_->setAllColumnsShowFocus(true);
    files_->setUniformRowHeights(true);
    // The selected file is previewed below the list, read as Save reads it.
    preview_ = new PreviewPane(listAndPreview);
    listAndPreview->addWidget(files_);
    listAndPreview->addWidget(preview_);
    listAndPreview->setStretchFactor(0, 3);
    listAndPreview->setStretchFactor(1, 2);
    split->addWidget(treeView_);
    split->addWidget(listAndPreview);
    connect(files_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        previewItem(current ? static_cast<TreeItem>(current->data(0, Qt::UserRole).toULongLong()) : kNoItem);
    });
    // The category tree keeps the width it asks for; the rest goes to the list's columns.
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    body()->addWidget(split, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("rawProgress"));
    progress_->setAccessibleName(QStringLiteral("Progress"));
    progress_->setTextVisible(false);
    pause_ = makeButton(QStringLiteral("Pa&use"), QStringLiteral("pause"), QStringLiteral("pauseButton"));
    resume_ = makeButton(QStringLiteral("&Resume"), QStringLiteral("resume"), QStringLiteral("resumeButton"));
    stop_ = makeButton(QStringLiteral("St&op"), QStringLiteral("stop"), QStringLiteral("stopButton"));
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    body()->addLayout(progressRow);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setAccessibleName(QStringLiteral("Status"));
    body()->addWidget(status_);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    save_ = addButton(QStringLiteral("&Save"), QStringLiteral("save"), QStringLiteral("saveButton"));

    setTabOrder(path_, browse_);
    setTabOrder(browse_, parse_);
    setTabOrder(parse_, loadDefault_);
    setTabOrder(loadDefault_, settings_);
    setTabOrder(settings_, treeView_);
    setTabOrder(treeView_, files_);
    setTabOrder(files_, pause_);
    setTabOrder(pause_, resume_);
    setTabOrder(resume_, stop_);
    setTabOrder(stop_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, save_);

    sink_.connectTo(progress_, status_);
    connect(&worker_, &WorkerSlot::finished, this, &RawRecoveryDialog::onWorkerFinished);
    connect(browse_, &QPushButton::clicked, this, &RawRecoveryDialog::browse);
    connect(parse_, &QPushButton::clicked, this, &RawRecoveryDialog::parse);
    connect(settings_, &QPushButton::clicked, this, &RawRecoveryDialog::openSettings);
    connect(pause_, &QPushButton::clicked, this, &RawRecoveryDialog::pause);
    connect(resume_, &QPushButton::clicked, this, &RawRecoveryDialog::resume);
    connect(stop_, &QPushButton::clicked, this, &RawRecoveryDialog::stop);
    connect(back_, &QPushButton::clicked, this, &RawRecoveryDialog::goBack);
    connect(save_, &QPushButton::clicked, this, &RawRecoveryDialog::save);
    connect(treeView_, &TriStateTreeView::labelClicked, this, &RawRecoveryDialog::labelClicked);

    chooseSignatureFile = [this] {
        return QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(), QStringLiteral("All files (*)"));
    };
    chooseFolder = [this] {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("Please choose a folder."), QString(),
                                                 QFileDialog::ShowDirsOnly);
    };
    runDialog = [](QDialog& dialog) { dialog.exec(); };

    tree_.initialise();
    tree_.triStatePropagation = true;
    treeView_->treeModel()->attach(&tree_);
    loadDefault_->setChecked(true);
    setWorking(false);
}

RawRecoveryDialog::~RawRecoveryDialog() {
    preview_->cancel();
    stopWorkers();
    worker_.waitPumping();
    treeView_->treeModel()->detach();
}

void RawRecoveryDialog::setWorking(bool working) {
    progress_->setVisible(working);
    pause_->setVisible(working);
    resume_->setVisible(working);
    stop_->setVisible(working);
}

void RawRecoveryDialog::browse() {
    const QString chosen = chooseSignatureFile ? chooseSignatureFile() : QString();
    if (!chosen.isEmpty()) path_->setText(chosen);
}

void RawRecoveryDialog::openSettings() {
    RawSettingDlg dialog(prompt_, this);
    if (runDialog) runDialog(dialog);
}

void RawRecoveryDialog::parse() {
    if (worker_.running()) return;
    setWorking(true);
    // A new Parse replaces the engine and its results: a preview still reading the old
    // engine ends first; the view lets go of the tree while the worker fills it.
    preview_->cancel();
    files_->clear();
    treeView_->treeModel()->detach();
    tree_.initialise();
    tree_.triStatePropagation = true;

    SignatureSources sources;
    sources.loadDefault = loadDefault_->isChecked();
    sources.defaultPath = defaultSignatureFilePath();
    if (!path_->text().trimmed().isEmpty()) sources.userPaths.emplace_back(path_->text().toStdString());
    // Loading the default file always starts a new engine; a user file alone adds to the
    // one there is.
    if (sources.loadDefault || !engine_) engine_ = std::make_unique<myJpg>();
    else engine_->signatures.clear();  // the old run's rules would be inserted twice
    const bool loaded = loadSignatureSources(sources, defaultCount_, engine_->signatures, &prompt_);
    auto finishEarly = [this] {
        treeView_->treeModel()->attach(&tree_);
        back_->setEnabled(true);
        sink_.status(u"Processing done");
        setWorking(false);
    };
    if (!loaded) {
        finishEarly();
        return;
    }
    const std::int64_t sizeMiB = leadingMiB(volume_.sizeMbText);
    if (sizeMiB == 0) {
        prompt_.message(u"zero size volume..");
        finishEarly();
        return;
    }
    readWriteInterface* reader = state().currentReader.get();
    if (!reader) {
        prompt_.message(u"Please Restart the program to re begin necessary initialization...");
        finishEarly();
        return;
    }
    reader->baseOffset = volume_.startSector * kSectorBytes;
    engine_->reader = reader;
    engine_->volumeSize = sizeMiB * kMiB;
    engine_->tree = &tree_;
    engine_->sink = &sink_;
    engine_->prompt = &prompt_;
    engine_->control = &control_;
    engine_->stopFlag = 0;
    stopPressed_ = 0;

    back_->setEnabled(false);
    parse_->setEnabled(false);
    save_->setEnabled(false);
    settings_->setEnabled(false);
    browse_->setEnabled(false);
    sink_.status(u"Processing.....");
    job_ = Job::Carve;
    myJpg* engine = engine_.get();
    preview_->cancel();
    worker_.start([engine] { engine->carve(); });
}

void RawRecoveryDialog::onWorkerFinished() {
    const Job finished = job_;
    job_ = Job::None;
    while (control_.suspensions() > 0) control_.resume();
    setWorking(false);
    back_->setEnabled(true);
    parse_->setEnabled(true);
    save_->setEnabled(true);
    settings_->setEnabled(true);
    browse_->setEnabled(true);
    treeView_->setEnabled(true);
    files_->setEnabled(true);
    if (finished == Job::Carve) {
        sink_.status(u"Processing done");
        // A category nothing was found in says so, as the others show their counts.
        if (engine_ && engine_->rootItem() != kNoItem)
            for (TreeItem c = tree_.firstChild(engine_->rootItem()); c != kNoItem; c = tree_.nextSibling(c))
                if (tree_.image(c) == ItemImage::Folder && !tree_.hasChildren(c))
                    tree_.setItemText(c, tree_.getItemText(c) + u" (0)");
        treeView_->treeModel()->attach(&tree_);
        if (engine_ && engine_->rootItem() != kNoItem)
            treeView_->expand(treeView_->treeModel()->indexOf(engine_->rootItem()));
    }
    emit workerFinished();
    if (finished == Job::Save) wizard().back();  // the volume list again; this page closes
}

void RawRecoveryDialog::pause() {
    if (!worker_.running()) return;
    control_.pause();
    sink_.status(u"Pause button pressed");
}

void RawRecoveryDialog::resume() {
    if (!worker_.running()) return;
    sink_.status(u"Resume button pressed");
    control_.resume();
}

void RawRecoveryDialog::stop() {
    sink_.status(u"Stop button pressed.Please wait for the process to stop");
    if (engine_) engine_->stopFlag = 1;
    stopPressed_ = 1;
}

void RawRecoveryDialog::stopWorkers() {
    if (!worker_.running()) return;
    if (engine_) engine_->stopFlag = 1;
    stopPressed_ = 1;
    control_.release();
    prompt_.close();
}

void RawRecoveryDialog::goBack() {
    if (worker_.running()) return;
    wizard().back();
}

void RawRecoveryDialog::previewItem(TreeItem item) {
    readWriteInterface* reader = state().currentReader.get();
    const std::uint64_t index = item != kNoItem ? tree_.itemData(item) : 0;
    if (worker_.running() || !engine_ || !reader || item == kNoItem || tree_.image(item) == ItemImage::Folder ||
        index >= engine_->found().size()) {
        preview_->cancel();
        return;
    }
    const myJpg* engine = engine_.get();
    const FoundFile file = engine->found()[index];
    preview_->preview(qs(tree_.getItemText(item)), [engine, reader, file](EntryWriter& out) {
        const StopFlag never{0};
        copyCarvedFile(*engine, *reader, file, out, never);
    });
}

void RawRecoveryDialog::labelClicked(TreeItem item) {
    if (worker_.running() || !tree_.exists(item)) return;
    files_->clear();
    for (TreeItem c = tree_.firstChild(item); c != kNoItem; c = tree_.nextSibling(c)) {
        if (tree_.image(c) == ItemImage::Folder) continue;  // category items are not files
        const QString text = qs(tree_.getItemText(c));
        QStringList columns{text};
        const std::uint64_t index = tree_.itemData(c);
        if (engine_ && index < engine_->found().size()) {
            const FoundFile& f = engine_->found()[index];
            QString size = qs(formatSize(f.size));
            if (f.sizeEstimated) size += QStringLiteral(" (") + qs(kSizeEstimatedText) + QStringLiteral(")");
            columns << size << QString::number(f.start);
        }
        auto* row = new QTreeWidgetItem(files_, columns);
        row->setIcon(0, CUseShGetFileInfo::instance().iconForName(text));
        row->setData(0, Qt::UserRole, static_cast<qulonglong>(c));
        row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
        row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }
}

void RawRecoveryDialog::save() {
    if (worker_.running()) return;
    if (!engine_ || tree_.countChecked() == 0) {
        prompt_.message(u"Please Select item from tree to save");
        return;
    }
    const QString chosen = chooseFolder ? chooseFolder() : QString();
    if (chosen.isEmpty()) return;
    const std::filesystem::path folder = chosen.toStdString();
    if (!outputFolderAccepted(folder, prompt_)) return;
    // Room for the ticked files (each rounded up to whole sectors), said before writing.
    std::uint64_t needed = 0;
    for (const FoundFile& f : engine_->found())
        if (f.item != kNoItem && tree_.getCheck(f.item) && f.size > 0)
            needed += static_cast<std::uint64_t>((f.size + 511) / 512 * 512);
    const auto free = freeBytesAt(folder);
    if (free && needed > *free &&
        !prompt_.question(u"The chosen folder has " + sizeText(*free) + u" free, but the ticked files need " +
                          sizeText(needed) + u".\nSave anyway?"))
        return;

    readWriteInterface* reader = state().currentReader.get();
    if (!reader) return;
    setWorking(true);
    treeView_->setEnabled(false);
    files_->setEnabled(false);
    back_->setEnabled(false);
    parse_->setEnabled(false);
    save_->setEnabled(false);
    settings_->setEnabled(false);
    browse_->setEnabled(false);
    stopPressed_ = 0;
    job_ = Job::Save;
    myJpg* engine = engine_.get();
    preview_->cancel();
    worker_.start([this, engine, reader, folder] {
        saveCheckedCarvedItems(*engine, *reader, tree_, folder, stopPressed_, &sink_, &prompt_, &control_);
    });
}

// The page hook the volume list calls for a row treated as "RAW".
WizardPage* openRawRecoveryPage(Wizard& wizard, PopulateDriveDlg& opener) {
    auto* page = new RawRecoveryDialog(wizard, opener);
    wizard.openNext(page);
    return page;
}

}  // namespace dravonel
