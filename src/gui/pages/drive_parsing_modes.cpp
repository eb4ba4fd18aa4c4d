#include "gui/pages/drive_parsing_modes.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QRegularExpressionValidator>

#include "gui/pages/physical_drive_dialog.h"
#include "gui/pages/populate_drive_dlg.h"
#include "gui/wizard.h"

namespace dravonel {

DriveParsingModes::DriveParsingModes(Wizard& wizard, WizardPage* opener)
    : WizardPage(wizard, kTemplateDriveParsingModes, opener) {
    setObjectName(QStringLiteral("DriveParsingModes"));
    if (auto* drivePage = qobject_cast<Physical_DriveDialog*>(opener)) devicePath_ = drivePage->selectedDevicePath();

    auto* selectedRow = new QHBoxLayout;
    auto* selectedLabel = new QLabel(QStringLiteral("Currently Selected Drive :"), this);
    selectedDrive_ = new QLabel(this);
    selectedDrive_->setObjectName(QStringLiteral("selectedDriveValue"));
    selectedDrive_->setAccessibleName(QStringLiteral("Currently Selected Drive :"));
    selectedDrive_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = selectedDrive_->font();
    bold.setBold(true);
    selectedDrive_->setFont(bold);
    selectedRow->addWidget(selectedLabel);
    selectedRow->addWidget(selectedDrive_, 1);
    body()->addLayout(selectedRow);

    auto* group = new QGroupBox(this);
    group->setObjectName(QStringLiteral("scanModeGroup"));
    auto* grid = new QGridLayout(group);
    auto make = [group](auto* widget, const char* name, const char* accessible) {
        widget->setObjectName(QString::fromLatin1(name));
        widget->setAccessibleName(QString::fromLatin1(accessible));
        return widget;
    };
    standard_ = make(new QRadioButton(QStringLiteral("&Standard Scan"), group), "standardScanRadio", "Standard Scan");
    gpt_ = make(new QCheckBox(QStringLiteral("&GPT format"), group), "gptFormatCheck", "GPT format");
    auto* gptNote = new QLabel(QStringLiteral("* Check If Partition type is GPT"), group);
    advance_ = make(new QRadioButton(QStringLiteral("&Advance Scan"), group), "advanceScanRadio", "Advance Scan");
    doNotSkip_ = make(new QCheckBox(QStringLiteral("Do not Skip &Volume Size While Parsing in Advance  Scan "), group),
                      "doNotSkipCheck", "Do not Skip Volume Size While Parsing in Advance  Scan ");
    custom_ = make(new QCheckBox(QStringLiteral("&Custom Setting:"), group), "customSettingCheck", "Custom Setting:");
    startLabel_ = new QLabel(QStringLiteral("Starting Sec&tor:"), group);
    start_ = make(new QLineEdit(group), "startingSectorEdit", "Starting Sector:");
    endLabel_ = new QLabel(QStringLiteral("&Ending Sector:"), group);
    end_ = make(new QLineEdit(group), "endingSectorEdit", "Ending Sector:");
    startLabel_->setBuddy(start_);
    endLabel_->setBuddy(end_);
    // Signed 64-bit decimal numbers (a negative end means "no range").
    const QRegularExpression number(QStringLiteral("-?[0-9]{0,19}"));
    start_->setValidator(new QRegularExpressionValidator(number, start_));
    end_->setValidator(new QRegularExpressionValidator(number, end_));
    start_->setMaximumWidth(180);
    end_->setMaximumWidth(180);

    grid->addWidget(standard_, 0, 0, 1, 4);
    grid->addWidget(gpt_, 1, 1);
    grid->addWidget(gptNote, 1, 2, 1, 2);
    grid->addWidget(advance_, 2, 0, 1, 4);
    grid->addWidget(doNotSkip_, 3, 1, 1, 3);
    grid->addWidget(custom_, 4, 1, 1, 3);
    grid->addWidget(startLabel_, 5, 2);
    grid->addWidget(start_, 5, 3);
    grid->addWidget(endLabel_, 6, 2);
    grid->addWidget(end_, 6, 3);
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnMinimumWidth(1, 20);
    grid->setColumnStretch(4, 1);
    body()->addWidget(group);
    auto* hint = new QLabel(QStringLiteral("Choose any one of the mode and Click Next...."), this);
    hint->setObjectName(QStringLiteral("hintLabel"));
    body()->addWidget(hint);
    body()->addStretch(1);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));
    connect(standard_, &QRadioButton::clicked, this, &DriveParsingModes::chooseStandard);
    connect(advance_, &QRadioButton::clicked, this, &DriveParsingModes::chooseAdvance);
    connect(custom_, &QCheckBox::clicked, this, &DriveParsingModes::customSettingClicked);
    connect(next_, &QPushButton::clicked, this, &DriveParsingModes::next);
    connect(back_, &QPushButton::clicked, this, [this] { this->wizard().back(); });
    setTabOrder(standard_, gpt_);
    setTabOrder(gpt_, advance_);
    setTabOrder(advance_, doNotSkip_);
    setTabOrder(doNotSkip_, custom_);
    setTabOrder(custom_, start_);
    setTabOrder(start_, end_);
    setTabOrder(end_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, next_);

    // Initialisation: the edits start disabled; the reader opens on the device.
    setCustomEditsEnabled(false);
    WizardState& shared = state();
    if (shared.currentReader && !devicePath_.empty()) {
        shared.currentReader->open(devicePath_);
        shared.deviceSectorCount = shared.currentReader->deviceSectorCount;
    }
    selectedDrive_->setText(QString::fromStdString(devicePath_));
    start_->setText(QStringLiteral("0"));
    end_->setText(QStringLiteral("0"));
    chooseStandard();
}

void DriveParsingModes::setCustomEditsEnabled(bool enabled) {
    startLabel_->setEnabled(enabled);
    start_->setEnabled(enabled);
    endLabel_->setEnabled(enabled);
    end_->setEnabled(enabled);
}

void DriveParsingModes::chooseStandard() {
    standard_->setChecked(true);
    advance_->setChecked(false);
    doNotSkip_->setEnabled(false);
    custom_->setEnabled(false);
    if (custom_->isChecked()) {
        custom_->setChecked(false);
        setCustomEditsEnabled(false);
    }
}

void DriveParsingModes::chooseAdvance() {
    standard_->setChecked(false);
    advance_->setChecked(true);
    doNotSkip_->setEnabled(true);
    custom_->setEnabled(true);
}

void DriveParsingModes::customSettingClicked() { setCustomEditsEnabled(custom_->isChecked()); }

VolumeListRequest DriveParsingModes::request() const {
    VolumeListRequest r;
    r.devicePath = devicePath_;
    r.scanKind = standard_->isChecked() ? 1 : 2;
    r.gptFormat = gpt_->isChecked();
    r.doNotSkipVolumeSize = doNotSkip_->isChecked();
    if (custom_->isChecked()) {
        bool okStart = false;
        bool okEnd = false;
        const qint64 start = start_->text().toLongLong(&okStart);
        const qint64 end = end_->text().toLongLong(&okEnd);
        // The range is handed on as typed (not validated here) unless the end is negative.
        if (okEnd && end >= 0) {
            r.customStart = okStart ? start : 0;
            r.customEnd = end;
        }
    }
    return r;
}

void DriveParsingModes::next() {
    auto* page = new PopulateDriveDlg(wizard(), this, request());
    wizard().openNext(page);
    page->startScan();
}

}  // namespace dravonel
