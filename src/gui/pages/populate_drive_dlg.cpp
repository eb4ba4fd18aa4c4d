#include "gui/pages/populate_drive_dlg.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>

#include "core/common/text.h"
#include "core/partitions/partition.h"
#include "gui/jobs/deep_partition_scan_job.h"
#include "gui/page_hooks.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/qt_bridges.h"
#include "gui/wizard.h"

namespace dravonel {

namespace {
constexpr int kRecordRole = Qt::UserRole;

// The leading decimal digits of a size text ("100  MB" -> 100); 0 when there are none.
qint64 leadingNumber(const QString& text) {
    const QString t = text.trimmed();
    qint64 v = 0;
    for (QChar c : t) {
        if (!c.isDigit()) break;
        if (v > (std::numeric_limits<qint64>::max() - 9) / 10) break;
        v = v * 10 + c.digitValue();
    }
    return v;
}
}  // namespace

// ---- SectorSpinBox ----

SectorSpinBox::SectorSpinBox(QWidget* parent) : QAbstractSpinBox(parent) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    lineEdit()->setText(QStringLiteral("0"));
}

qint64 SectorSpinBox::value() const { return lineEdit()->text().trimmed().toLongLong(); }

void SectorSpinBox::setValue(qint64 value) { lineEdit()->setText(QString::number(value)); }

void SectorSpinBox::stepBy(int steps) {
    qint64 v = value();
    for (; steps > 0; --steps)
        if (v < std::numeric_limits<qint64>::max()) ++v;
    // Down stops at 0.
    for (; steps < 0; ++steps)
        if (v != 0) --v;
    setValue(v);
}

QValidator::State SectorSpinBox::validate(QString& input, int&) const {
    static const QRegularExpression number(QStringLiteral("^-?[0-9]{0,19}$"));
    return number.match(input).hasMatch() ? QValidator::Acceptable : QValidator::Invalid;
}

QAbstractSpinBox::StepEnabled SectorSpinBox::stepEnabled() const { return StepUpEnabled | StepDownEnabled; }

// ---- PopulateDriveDlg ----

PopulateDriveDlg::PopulateDriveDlg(Wizard& wizard, WizardPage* opener, VolumeListRequest request)
    : WizardPage(wizard, kTemplateVolumeList, opener), request_(std::move(request)) {
    setObjectName(QStringLiteral("PopulateDriveDlg"));
    sink_ = std::make_unique<QtScanSink>();

    auto* columns = new QHBoxLayout;
    auto* listGroup = new QGroupBox(QStringLiteral("Volume List:"), this);
    listGroup->setObjectName(QStringLiteral("volumeListGroup"));
    auto* listLayout = new QVBoxLayout(listGroup);
    table_ = new QTableWidget(0, 4, listGroup);
    table_->setObjectName(QStringLiteral("volumeList"));
    table_->setAccessibleName(QStringLiteral("Volume List:"));
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("VOLUME"), QStringLiteral("FILE_SYSTEM"), QStringLiteral("VOLUME_SIZE"), QStringLiteral("START_SECTOR")});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab goes on to the next control and leaves the selected row where it is.
    table_->setTabKeyNavigation(false);
    table_->setShowGrid(true);
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 8);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setColumnWidth(0, 90);
    table_->setColumnWidth(1, 100);
    table_->setColumnWidth(2, 110);
    table_->setColumnWidth(3, 120);
    listLayout->addWidget(table_);
    auto* listButtons = new QHBoxLayout;
    filter_ = makeButton(QStringLiteral("&Filter Entries"), QStringLiteral("filter"), QStringLiteral("filterEntriesButton"));
    filter_->setToolTip(QStringLiteral("Filter volume entries."));
    addCustom_ =
        makeButton(QStringLiteral("Add C&ustom Volume"), QStringLiteral("add"), QStringLiteral("addCustomVolumeButton"));
    addCustom_->setToolTip(QStringLiteral("Add Custom Volume entry."));
    listButtons->addWidget(filter_);
    listButtons->addWidget(addCustom_);
    listButtons->addStretch(1);
    listLayout->addLayout(listButtons);
    columns->addWidget(listGroup, 3);

    auto* customColumn = new QVBoxLayout;
    customSettings_ = new QCheckBox(QStringLiteral("&Custom Settings For Selected Volume "), this);
    customSettings_->setObjectName(QStringLiteral("customSettingsCheck"));
    customSettings_->setAccessibleName(QStringLiteral("Custom Settings For Selected Volume "));
    customColumn->addWidget(customSettings_);
    auto* panel = new QGroupBox(this);
    panel->setObjectName(QStringLiteral("customSettingsGroup"));
    customPanel_ = panel;
    auto* grid = new QGridLayout(panel);
    selectedVolumeLabel_ = new QLabel(QStringLiteral("Selected Volume :"), panel);
    selectedVolume_ = new QLabel(panel);
    selectedVolume_->setObjectName(QStringLiteral("selectedVolumeValue"));
    selectedVolume_->setAccessibleName(QStringLiteral("Selected Volume :"));
    startLabel_ = new QLabel(QStringLiteral("&Start Sector:"), panel);
    start_ = new SectorSpinBox(panel);
    start_->setObjectName(QStringLiteral("startSectorEdit"));
    start_->setAccessibleName(QStringLiteral("Start Sector:"));
    startLabel_->setBuddy(start_);
    endLabel_ = new QLabel(QStringLiteral("&End Sector :"), panel);
    end_ = new SectorSpinBox(panel);
    end_->setObjectName(QStringLiteral("endSectorEdit"));
    end_->setAccessibleName(QStringLiteral("End Sector :"));
    endLabel_->setBuddy(end_);
    treatAsLabel_ = new QLabel(QStringLiteral("&Treat file system as:"), panel);
    treatAs_ = new QComboBox(panel);
    treatAs_->setObjectName(QStringLiteral("treatFileSystemAsCombo"));
    treatAs_->setAccessibleName(QStringLiteral("Treat file system as:"));
    treatAsLabel_->setBuddy(treatAs_);
    grid->addWidget(selectedVolumeLabel_, 0, 0);
    grid->addWidget(selectedVolume_, 0, 1);
    grid->addWidget(startLabel_, 1, 0);
    grid->addWidget(start_, 1, 1);
    grid->addWidget(endLabel_, 2, 0);
    grid->addWidget(end_, 2, 1);
    grid->addWidget(treatAsLabel_, 3, 0);
    grid->addWidget(treatAs_, 3, 1);
    grid->setColumnStretch(1, 1);
    customColumn->addWidget(panel);
    customColumn->addStretch(1);
    columns->addLayout(customColumn, 2);
    body()->addLayout(columns, 1);

    auto* progressRow = new QHBoxLayout;
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progressBar"));
    progress_->setAccessibleName(QStringLiteral("Progress"));
    progress_->setTextVisible(false);
    stop_ = makeButton(QStringLiteral("St&op"), QStringLiteral("stop"), QStringLiteral("stopButton"));
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(stop_);
    body()->addLayout(progressRow);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setAccessibleName(QStringLiteral("Status"));
    body()->addWidget(status_);
    sink_->connectTo(progress_, status_);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));

    connect(filter_, &QPushButton::clicked, this, &PopulateDriveDlg::filterEntries);
    connect(addCustom_, &QPushButton::clicked, this, &PopulateDriveDlg::addCustomVolume);
    connect(stop_, &QPushButton::clicked, this, &PopulateDriveDlg::stop);
    connect(next_, &QPushButton::clicked, this, &PopulateDriveDlg::next);
    connect(back_, &QPushButton::clicked, this, &PopulateDriveDlg::back);
    connect(customSettings_, &QCheckBox::toggled, this, &PopulateDriveDlg::setCustomControlsEnabled);
    connect(table_, &QTableWidget::itemSelectionChanged, this, &PopulateDriveDlg::rowSelected);
    connect(table_, &QTableWidget::cellClicked, this, [this](int row, int) { rowClicked(row); });

    setTabOrder(table_, filter_);
    setTabOrder(filter_, addCustom_);
    setTabOrder(addCustom_, customSettings_);
    setTabOrder(customSettings_, start_);
    setTabOrder(start_, end_);
    setTabOrder(end_, treatAs_);
    setTabOrder(treatAs_, stop_);
    setTabOrder(stop_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, next_);

    // Initialisation: the custom settings and "Add Custom Volume" start disabled; the
    // drop-down list in its sorted order, nothing chosen.
    customSettings_->setEnabled(false);
    addCustom_->setEnabled(false);
    setCustomControlsEnabled(false);
    treatAs_->addItems({QStringLiteral("EXTX"), QStringLiteral("FAT16"), QStringLiteral("FAT32"), QStringLiteral("FAT64"),
                        QStringLiteral("HFS+"), QStringLiteral("NTFS"), QStringLiteral("RAW")});
    treatAs_->setCurrentIndex(-1);
}

PopulateDriveDlg::~PopulateDriveDlg() {
    // The worker ends before the rows and the sink it reports to.
    job_.reset();
}

void PopulateDriveDlg::startScan() {
    // The page was opened from the drive road: a fresh, unopened reader.
    state().freshReader();
    if (advanceMode()) {
        advanceScan();
    } else {
        progress_->setRange(0, 1000);
        standardScan();
        progress_->setValue(1000);
    }
}

void PopulateDriveDlg::standardScan() {
    addCustom_->hide();
    WizardState& shared = state();
    shared.deviceSectorCount = 0;
    FileReadSeek& reader = shared.freshReader();
    if (!reader.open(request_.devicePath)) {
        wizard().prompt().message(u"file not opened..");
    } else {
        shared.deviceSectorCount = reader.deviceSectorCount;
        Partition partition;
        partition.gptMode = request_.gptFormat ? 1 : 0;
        partition.sink = sink_.get();
        std::vector<VolumeRecord> found;
        partition.records = &found;
        clearRows();
        records_.clear();
        // A card or stick imaged whole has no table: its one volume starts at sector 0.
        if (auto bare = bareVolume(reader)) found.push_back(std::move(*bare));
        else discoverPartitions(reader, partition);
        for (VolumeRecord& record : found) {
            record.name = format16("G%d", static_cast<int>(records_.size()));
            records_.push_back(std::make_unique<VolumeRecord>(std::move(record)));
        }
        for (const auto& record : records_) insertRow(table_->rowCount(), record.get());
        if (!records_.empty()) customSettings_->setEnabled(true);
    }
    filter_->setEnabled(true);
    status_->setText(QStringLiteral("Finished Scanning."));
    progress_->hide();
    stop_->hide();
    status_->setText(QStringLiteral("Select volume and click next button..."));
}

void PopulateDriveDlg::advanceScan() {
    addCustom_->setEnabled(false);
    next_->setEnabled(false);
    WizardState& shared = state();
    FileReadSeek& reader = shared.freshReader();
    if (!reader.open(request_.devicePath)) {
        next_->setEnabled(true);
        wizard().prompt().message(u"file not opened..");
        return;
    }
    shared.deviceSectorCount = reader.deviceSectorCount;
    job_ = std::make_unique<DeepPartitionScanJob>(reader, *sink_);
    Partition& partition = job_->partition();
    partition.skipVolumeSize = request_.doNotSkipVolumeSize ? 0 : 1;
    if (request_.customEnd >= 0) {
        partition.customStart = request_.customStart;
        partition.customEnd = request_.customEnd;
    }
    connect(job_.get(), &DeepPartitionScanJob::found, this, &PopulateDriveDlg::onFound, Qt::QueuedConnection);
    connect(job_.get(), &DeepPartitionScanJob::filterEntriesEnabled, filter_, &QPushButton::setEnabled,
            Qt::QueuedConnection);
    connect(job_.get(), &DeepPartitionScanJob::finished, this, &PopulateDriveDlg::onDeepScanEnded,
            Qt::QueuedConnection);
    clearRows();
    records_.clear();
    back_->setEnabled(false);
    if (beforeDeepScanStarts) beforeDeepScanStarts(*job_);
    job_->start();
}

void PopulateDriveDlg::onFound(const VolumeRecord& record) {
    records_.push_back(std::make_unique<VolumeRecord>(record));
    insertRow(0, rowRecord(*records_.back()));
}

void PopulateDriveDlg::onDeepScanEnded(quint32) {
    back_->setEnabled(true);
    status_->setText(QStringLiteral("Scanned Partitions"));
    wizard().prompt().message(u"populated partitions....");
    status_->setText(QStringLiteral("Finished Scanning."));
    // The discovery object goes with the job; the worker has ended.
    job_.reset();
    if (!records_.empty()) customSettings_->setEnabled(true);
    addCustom_->setEnabled(true);
    progress_->hide();
    stop_->hide();
    next_->setEnabled(true);
    status_->setText(QStringLiteral("Select volume and click next button..."));
    emit deepScanFinished();
}

const VolumeRecord* PopulateDriveDlg::rowRecord(const VolumeRecord& record) {
    if (!advanceMode()) return &record;
    rowCopies_.push_back(std::make_unique<VolumeRecord>(record));
    return rowCopies_.back().get();
}

void PopulateDriveDlg::setRow(int row, const VolumeRecord* record) {
    const QString texts[4] = {qs(record->name), qs(record->fileSystem), qs(record->sizeMbText),
                              QString::number(record->startSector)};
    for (int column = 0; column < 4; ++column) {
        auto* item = new QTableWidgetItem(texts[column]);
        item->setToolTip(texts[column]);
        if (column == 0) item->setData(kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(record)));
        table_->setItem(row, column, item);
    }
}

int PopulateDriveDlg::insertRow(int at, const VolumeRecord* record) {
    table_->insertRow(at);
    setRow(at, record);
    return at;
}

void PopulateDriveDlg::clearRows() {
    table_->setRowCount(0);
    rowCopies_.clear();
}

void PopulateDriveDlg::rowSelected() {
    const int row = table_->currentRow();
    if (row < 0 || table_->selectedItems().isEmpty()) return;
    const qint64 start = table_->item(row, 3)->text().toLongLong();
    const qint64 sizeMb = leadingNumber(table_->item(row, 2)->text());
    qint64 end = 0;
    // Validate before multiplying: a size text from the disk can be any number.
    if (sizeMb > 0 && sizeMb <= (std::numeric_limits<qint64>::max() - start) / 2048) end = start + sizeMb * 2048 - 1;
    selectedVolume_->setText(table_->item(row, 0)->text());
    start_->setValue(start);
    end_->setValue(end);
}

void PopulateDriveDlg::rowClicked(int row) {
    const QTableWidgetItem* item = table_->item(row, 1);
    if (!item || item->text().isEmpty()) return;
    const QString fileSystem = item->text();
    for (int i = 0; i < treatAs_->count(); ++i) {
        if (treatAs_->itemText(i).startsWith(fileSystem, Qt::CaseInsensitive)) {
            treatAs_->setCurrentIndex(i);
            return;
        }
    }
}

void PopulateDriveDlg::setCustomControlsEnabled(bool enabled) {
    customPanel_->setEnabled(enabled);
    for (QWidget* w : std::initializer_list<QWidget*>{selectedVolumeLabel_, selectedVolume_, startLabel_, start_,
                                                      endLabel_, end_, treatAsLabel_, treatAs_})
        w->setEnabled(enabled);
}

void PopulateDriveDlg::addCustomVolume() {
    auto record = std::make_unique<VolumeRecord>();
    record->fileSystem = u"CUSTOM ";
    record->name = format16("G%d", static_cast<int>(records_.size()));
    record->sizeMbText = u"0";
    record->startSector = 0;
    records_.push_back(std::move(record));
    customSettings_->setEnabled(true);
    customSettings_->setChecked(true);
    setCustomControlsEnabled(true);
    const int row = insertRow(advanceMode() ? 0 : table_->rowCount(), rowRecord(*records_.back()));
    table_->selectRow(row);
    table_->setCurrentCell(row, 0);
    start_->setValue(0);
    end_->setValue(0);
}

void PopulateDriveDlg::filterEntries() {
    clearRows();
    if (records_.size() <= 1) return;
    for (std::size_t i = 1; i < records_.size(); ++i) {
        if (records_[i]->startSector == records_[i - 1]->startSector + 1) {
            records_[i]->name = format16("G%d", static_cast<int>(i));
            insertRow(0, rowRecord(*records_[i]));
        }
    }
}

void PopulateDriveDlg::stop() {
    if (job_) job_->stop();
    back_->setEnabled(true);
}

void PopulateDriveDlg::stopWorkers() {
    if (!job_) return;
    job_->stop();
    job_->control().release();
}

void PopulateDriveDlg::next() {
    const int row = table_->currentRow();
    if (row < 0 || table_->selectedItems().isEmpty()) {
        wizard().prompt().message(u"please select a valid volume.");
        return;
    }
    currentRecord_ = reinterpret_cast<VolumeRecord*>(table_->item(row, 0)->data(kRecordRole).value<quintptr>());
    VolumeRecord& record = *currentRecord_;
    const bool ticked = customSettings_->isChecked();
    if (!ticked && customOverride_) {
        record.name = u16s(table_->item(row, 0)->text());
        record.fileSystem = u16s(table_->item(row, 1)->text());
        QString size = table_->item(row, 2)->text();
        size.remove(QStringLiteral("MB"));
        record.sizeMbText = u16s(size.trimmed());
        record.startSector = table_->item(row, 3)->text().toLongLong();
    }
    bool raw = false;
    if (ticked) {
        customOverride_ = true;
        const qint64 start = start_->value();
        const qint64 end = end_->value();
        record.startSector = start;
        // 128-bit: a negative start typed by hand must not overflow the difference.
        const __int128 sectors = static_cast<__int128>(end) - start + 1;
        record.sizeMbText = end > start ? format16("%lld", static_cast<long long>(sectors / 2048)) : u"0";
        const QString chosen = treatAs_->currentIndex() >= 0 ? treatAs_->currentText() : QString();
        static const char16_t* const kNames[] = {u"ntfs", u"fat16", u"fat32", u"fat64", u"extX", u"HFS+"};
        for (const char16_t* name : kNames)
            if (equalsNoCase(u16s(chosen), name)) record.fileSystem = name;
        raw = chosen == QLatin1String("RAW");
    }
    if (raw) {
        customOverride_ = true;
        record.fileSystem = u"RAW";
        openRawRecoveryPage(wizard(), *this);
        return;
    }
    if (equalsNoCase(record.fileSystem, u"unknown")) {
        wizard().prompt().message(u"can not parse unknown volume");
        return;
    }
    wizard().openNext(new ParceModeNtfsDlg(wizard(), this));
}

void PopulateDriveDlg::back() {
    stopWorkers();
    wizard().back();
}

}  // namespace dravonel
