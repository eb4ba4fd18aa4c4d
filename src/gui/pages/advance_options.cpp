#include "gui/pages/advance_options.h"

#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMetaObject>
#include <QThread>

#include <functional>
#include <string>

#include "core/common/text.h"
#include "gui/page_hooks.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/wizard.h"

namespace dravonel {

namespace {

// The search's prompt: before a message is shown, the page fills its lists from the
// finds (the worker waits meanwhile, so the finds stand still), so the found-count
// message stands over the lists it speaks of.
class FindsFirstPrompt final : public Prompt {
public:
    FindsFirstPrompt(QObject* bridge, Prompt& target, std::function<void()> showFinds)
        : bridge_(bridge), target_(target), showFinds_(std::move(showFinds)) {}
    void message(std::u16string_view text) override {
        if (QThread::currentThread() == bridge_->thread()) showFinds_();
        else QMetaObject::invokeMethod(bridge_, showFinds_, Qt::BlockingQueuedConnection);
        target_.message(text);
    }
    bool question(std::u16string_view text) override { return target_.question(text); }

private:
    QObject* bridge_;
    Prompt& target_;
    std::function<void()> showFinds_;
};

QString offsetText(std::uint64_t bytes) {
    return QStringLiteral("Byte offset in the volume: %1").arg(bytes);
}

}  // namespace

advanceOptions::advanceOptions(Wizard& wizard, ParceModeNtfsDlg& opener)
    : WizardPage(wizard, kTemplateAdvancedOptions, &opener),
      volume_(opener.volume()),
      options_(opener.scanOptions()),
      chosen_(options_),
      kind_(fileSystemKind(volume_.fileSystem)),
      prompt_(&bridge_, wizard.prompt()),
      worker_(&bridge_) {
    setWindowTitle(appTitle());
    searchPrompt_ = std::make_unique<FindsFirstPrompt>(&bridge_, prompt_, [this] {
        if (!leavingPage_.load()) showFinds();
    });
    buildControls();
    connect(&worker_, &WorkerSlot::finished, this, &advanceOptions::onWorkerFinished);
}

advanceOptions::~advanceOptions() {
    stopWorkers();
    worker_.waitPumping();
    // search_ (and with it the parser) goes now, after its worker.
}

void advanceOptions::buildControls() {
    setObjectName(QStringLiteral("advanceOptions"));
    auto* caption = new QLabel(QStringLiteral("ADVANCE OPTIONS"), this);
    caption->setObjectName(QStringLiteral("pageCaption"));
    QFont f = caption->font();
    f.setBold(true);
    caption->setFont(f);
    body()->addWidget(caption);

    auto* group = new QGroupBox(QStringLiteral("Advanced Input:"), this);
    group->setObjectName(QStringLiteral("advancedInputGroup"));
    auto* grid = new QGridLayout(group);
    const QString copiesText = qs(advancedCopiesLabel(kind_));
    copiesLabel_ = new QLabel(QStringLiteral("&") + copiesText, group);
    copiesLabel_->setObjectName(QStringLiteral("copiesLabel"));
    copies_ = new QComboBox(group);
    copies_->setObjectName(QStringLiteral("copiesCombo"));
    copies_->setAccessibleName(copiesText);
    copies_->setMinimumWidth(220);
    copiesLabel_->setBuddy(copies_);
    copyDetail_ = new QLabel(group);
    copyDetail_->setObjectName(QStringLiteral("copyDetail"));
    copyDetail_->setAccessibleName(QStringLiteral("Selected copy"));
    copyDetail_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    clustersLabel_ = new QLabel(QStringLiteral("Sector Per &Cluster :"), group);
    clustersLabel_->setObjectName(QStringLiteral("clustersLabel"));
    clusters_ = new QComboBox(group);
    clusters_->setObjectName(QStringLiteral("clustersCombo"));
    clusters_->setAccessibleName(QStringLiteral("Sector Per Cluster :"));
    clustersLabel_->setBuddy(clusters_);
    // exFAT's choices are cluster shifts: the sectors they stand for are said below.
    clusterDetail_ = new QLabel(group);
    clusterDetail_->setObjectName(QStringLiteral("clusterDetail"));
    clusterDetail_->setAccessibleName(QStringLiteral("Selected cluster size"));

    heapsLabel_ = new QLabel(QStringLiteral("Heap &Offset :"), group);
    heapsLabel_->setObjectName(QStringLiteral("heapsLabel"));
    heaps_ = new QComboBox(group);
    heaps_->setObjectName(QStringLiteral("heapsCombo"));
    heaps_->setAccessibleName(QStringLiteral("Heap Offset :"));
    heapsLabel_->setBuddy(heaps_);
    heapDetail_ = new QLabel(group);
    heapDetail_->setObjectName(QStringLiteral("heapDetail"));
    heapDetail_->setAccessibleName(QStringLiteral("Selected heap offset"));
    heapDetail_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    grid->addWidget(copiesLabel_, 0, 0);
    grid->addWidget(copies_, 0, 1);
    grid->addWidget(copyDetail_, 1, 1);
    grid->addWidget(clustersLabel_, 2, 0);
    grid->addWidget(clusters_, 2, 1);
    grid->addWidget(clusterDetail_, 3, 1);
    grid->addWidget(heapsLabel_, 4, 0);
    grid->addWidget(heaps_, 4, 1);
    grid->addWidget(heapDetail_, 5, 1);
    grid->setColumnStretch(2, 1);
    body()->addWidget(group);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("searchProgress"));
    progress_->setAccessibleName(QStringLiteral("Search progress"));
    progress_->setTextVisible(false);
    pause_ = makeButton(QStringLiteral("&Pause"), QStringLiteral("pause"), QStringLiteral("pauseButton"));
    resume_ = makeButton(QStringLiteral("&Resume"), QStringLiteral("resume"), QStringLiteral("resumeButton"));
    stop_ = makeButton(QStringLiteral("&Stop"), QStringLiteral("stop"), QStringLiteral("stopButton"));
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(pause_);
    progressRow->addWidget(resume_);
    progressRow->addWidget(stop_);
    body()->addLayout(progressRow);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setAccessibleName(QStringLiteral("Status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    body()->addWidget(status_);
    body()->addStretch(1);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));

    setTabOrder(copies_, clusters_);
    setTabOrder(clusters_, heaps_);
    setTabOrder(heaps_, pause_);
    setTabOrder(pause_, resume_);
    setTabOrder(resume_, stop_);
    setTabOrder(stop_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, next_);

    sink_.connectTo(progress_, status_);
    connect(pause_, &QPushButton::clicked, this, &advanceOptions::pause);
    connect(resume_, &QPushButton::clicked, this, &advanceOptions::resume);
    connect(stop_, &QPushButton::clicked, this, &advanceOptions::stop);
    connect(back_, &QPushButton::clicked, this, &advanceOptions::goBack);
    connect(next_, &QPushButton::clicked, this, &advanceOptions::next);
    connect(copies_, &QComboBox::currentIndexChanged, this, [this] { showDetail(copies_, copyDetail_); });
    connect(heaps_, &QComboBox::currentIndexChanged, this, [this] { showDetail(heaps_, heapDetail_); });
    connect(clusters_, &QComboBox::currentIndexChanged, this, [this] { showDetail(clusters_, clusterDetail_); });

    // Start-up: Next and Back wait for the search; the cluster list is there for every
    // kind (a scan needs a cluster size), the heap list for exFAT only.
    next_->setEnabled(false);
    back_->setEnabled(false);
    const bool exfat = kind_ == FileSystemKind::ExFat;
    heapsLabel_->setVisible(exfat);
    heaps_->setVisible(exfat);
    heapDetail_->setVisible(exfat);
    clusterDetail_->setVisible(exfat);
    setWorking(false);
}

void advanceOptions::setWorking(bool working) {
    progress_->setVisible(working);
    pause_->setVisible(working);
    resume_->setVisible(working);
    stop_->setVisible(working);
}

void advanceOptions::startSearch() {
    WizardState& shared = state();
    readWriteInterface* reader = shared.currentReader.get();
    // The mounted-volume road reads the volume through its own device path.
    if (shared.volumeChosen && shared.currentReader && kind_ != FileSystemKind::None)
        shared.currentReader->open(toUtf8(volume_.name));
    search_ = std::make_unique<AdvancedSearch>(volume_, reader, sink_, *searchPrompt_, shared.registry(), options_);
    if (!search_->start()) {
        // A dead end has said why; Back lets the user choose another mode.
        back_->setEnabled(true);
        return;
    }
    setWorking(true);
    worker_.start([this] { search_->runWorker(); });
}

void advanceOptions::showDetail(QComboBox* list, QLabel* detail) {
    detail->setText(list->currentIndex() >= 0 ? list->currentData(Qt::ToolTipRole).toString() : QString());
}

void advanceOptions::showFinds() {
    if (!search_) return;
    const AdvancedFinds& finds = search_->finds();
    // The user's rows stay when the lists are filled again with the same finds.
    auto refill = [](QComboBox* list, const QStringList& texts, const QStringList& details, const QList<int>& values) {
        bool same = list->count() == texts.size();
        for (int i = 0; same && i < texts.size(); ++i)
            same = list->itemText(i) == texts[i] && list->itemData(i, Qt::ToolTipRole).toString() == details[i];
        if (same) return;
        list->clear();
        for (int i = 0; i < texts.size(); ++i) {
            list->addItem(texts[i], values[i]);
            list->setItemData(i, details[i], Qt::ToolTipRole);
        }
        if (list->count() > 0) list->setCurrentIndex(0);
    };
    QStringList texts, details, clusterTexts, clusterDetails, heapTexts, heapDetails;
    QList<int> values, clusterValues, heapValues;
    for (std::size_t i = 0; i < finds.copies.size(); ++i) {
        texts << qs(advancedCopyRowText(kind_, i));
        QString detail = offsetText(finds.copies[i]);
        if (i < finds.copyNotes.size() && !finds.copyNotes[i].empty()) detail += QStringLiteral(" \u2014 ") + qs(finds.copyNotes[i]);
        details << detail;
        values << static_cast<int>(i);
    }
    for (const int choice : finds.clusterChoices) {
        clusterTexts << QString::number(choice);
        // exFAT offers cluster shifts: a cluster holds 2 to that power sectors.
        clusterDetails << (kind_ != FileSystemKind::ExFat ? QStringLiteral("%1 sectors per cluster").arg(choice)
                           : choice >= 0 && choice < 31
                               ? QStringLiteral("2^%1 = %2 sectors per cluster").arg(choice).arg(1LL << choice)
                               : QString());
        // The scan takes sectors per cluster for every kind (0 stands for its default).
        clusterValues << (kind_ != FileSystemKind::ExFat ? choice : choice >= 0 && choice < 31 ? (1 << choice) : 0);
    }
    for (std::size_t i = 0; i < finds.heaps.size(); ++i) {
        heapTexts << qs(advancedHeapRowText(i));
        heapDetails << offsetText(finds.heaps[i]);
        heapValues << static_cast<int>(i);
    }
    refill(copies_, texts, details, values);
    refill(clusters_, clusterTexts, clusterDetails, clusterValues);
    refill(heaps_, heapTexts, heapDetails, heapValues);
    showDetail(copies_, copyDetail_);
    showDetail(heaps_, heapDetail_);
    showDetail(clusters_, clusterDetail_);
    next_->setEnabled(true);
    back_->setEnabled(true);
    setWorking(false);
}

void advanceOptions::onWorkerFinished() {
    // A pause left over from the search must not hold the scan that borrows the parser.
    if (search_)
        while (search_->control().suspensions() > 0) search_->control().resume();
    if (leavingPage_.load()) return;
    showFinds();
    // A search the parser refused (the road not there for this volume) says why.
    if (search_ && search_->outcome().kind == RunOutcome::Kind::Refused && !search_->outcome().message.empty()) {
        status_->setText(qs(search_->outcome().message));
        prompt_.message(search_->outcome().message);
    }
    emit searchFinished();
}

void advanceOptions::pause() {
    if (!worker_.running() || !search_) return;
    search_->control().pause();
    sink_.status(u"Pause button pressed");
}

void advanceOptions::resume() {
    if (!worker_.running() || !search_) return;
    sink_.status(u"Resume button pressed");
    search_->control().resume();
}

void advanceOptions::stop() {
    if (!search_ || !search_->parser()) return;
    search_->stop();  // "stop button pressed"; the search keeps what it found
    back_->setEnabled(true);
    next_->setEnabled(true);
}

void advanceOptions::joinWorker() {
    if (!worker_.running()) return;
    if (search_) search_->control().release();
    worker_.waitPumping();  // finished() is not sent for a job waited for here
}

void advanceOptions::stopWorkers() {
    leavingPage_ = true;
    if (search_ && worker_.running()) {
        if (ScanParser* p = search_->parser()) p->stopFlag() = 1;
        search_->control().release();
    }
    if (worker_.running()) prompt_.close();
}

bool advanceOptions::closeRequested() {
    const bool yes = WizardPage::closeRequested();
    if (yes && search_ && search_->parser()) sink_.status(u"All thread Stopped");
    return yes;
}

void advanceOptions::goBack() {
    // The worker is stopped and waited for (never a fixed delay) before the page and its
    // parser go.
    stopWorkers();
    joinWorker();
    wizard().back();
}

void advanceOptions::next() {
    if (!search_ || !search_->parser()) return;
    if (worker_.running()) {
        // After Stop: the search ends at its next check; its end is shown first (its
        // message box must not let Back or Next in again meanwhile).
        next_->setEnabled(false);
        back_->setEnabled(false);
        search_->control().release();
        worker_.waitPumping();
        onWorkerFinished();
    }
    if (copies_->currentIndex() < 0 || clusters_->currentIndex() < 0) return;
    chosen_ = options_;
    chosen_.advancedCopyIndex = copies_->currentData().toInt();
    chosen_.advancedSectorsPerCluster = clusters_->currentData().toInt();
    chosen_.advancedHeapIndex = kind_ == FileSystemKind::ExFat && heaps_->currentIndex() >= 0 ? heaps_->currentData().toInt() : -1;
    openAdvancedScanPage(wizard(), *this);
}

// The page hook the recovery-mode page calls for Advanced.
WizardPage* openAdvancedOptionsPage(Wizard& wizard, ParceModeNtfsDlg& opener) {
    auto* page = new advanceOptions(wizard, opener);
    wizard.openNext(page);
    page->startSearch();
    return page;
}

}  // namespace dravonel
