#include "gui/pages/parce_mode_ntfs_dlg.h"

#include <QGroupBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIntValidator>

#include "core/common/code_pages.h"
#include "core/common/text.h"
#include "gui/page_hooks.h"
#include "gui/qt_bridges.h"
#include "gui/wizard.h"

namespace dravonel {

ParceModeNtfsDlg::ParceModeNtfsDlg(Wizard& wizard, WizardPage* opener)
    : WizardPage(wizard, kTemplateRecoveryMode, opener) {
    setObjectName(QStringLiteral("ParceModeNtfsDlg"));

    auto* group = new QGroupBox(QStringLiteral("Select Recovery Mode:"), this);
    group->setObjectName(QStringLiteral("recoveryModeGroup"));
    auto* grid = new QGridLayout(group);
    standard_ = new QRadioButton(QStringLiteral("&Standard"), group);
    standard_->setObjectName(QStringLiteral("standardRadio"));
    standard_->setAccessibleName(QStringLiteral("Standard"));
    advanced_ = new QRadioButton(QStringLiteral("&Advanced"), group);
    advanced_->setObjectName(QStringLiteral("advancedRadio"));
    advanced_->setAccessibleName(QStringLiteral("Advanced"));
    deep_ = new QRadioButton(QStringLiteral("&Deep"), group);
    deep_->setObjectName(QStringLiteral("deepRadio"));
    deep_->setAccessibleName(QStringLiteral("Deep"));
    // The handlers set every radio themselves; the three are one exclusive set (and are
    // announced as radio buttons).

    maxCopiesLabel_ = new QLabel(QStringLiteral("Please Enter &Max File Systems to Find :"), group);
    maxCopiesLabel_->setObjectName(QStringLiteral("maxCopiesLabel"));
    maxCopies_ = new QLineEdit(group);
    maxCopies_->setObjectName(QStringLiteral("maxCopiesEdit"));
    maxCopies_->setAccessibleName(QStringLiteral("Please Enter Max File Systems to Find :"));
    maxCopies_->setMaximumWidth(80);
    maxCopiesLabel_->setBuddy(maxCopies_);
    maxCopiesNote_ = new QLabel(QStringLiteral("( By  Default  it's  = 3 )"), group);
    maxCopiesNote_->setObjectName(QStringLiteral("maxCopiesNote"));
    formatted_ = new QCheckBox(QStringLiteral("Is Drive &Formated..?"), group);
    formatted_->setObjectName(QStringLiteral("formattedCheck"));
    formatted_->setAccessibleName(QStringLiteral("Is Drive Formated..?"));

    // Short FAT names are stored in the code page of the system that wrote them; a card
    // from a Russian or Japanese camera or computer needs its own to read them right.
    codePageLabel_ = new QLabel(QStringLiteral("Short names &code page:"), this);
    codePageLabel_->setObjectName(QStringLiteral("codePageLabel"));
    codePage_ = new QComboBox(this);
    codePage_->setObjectName(QStringLiteral("codePageCombo"));
    codePage_->setAccessibleName(QStringLiteral("Short names code page:"));
    codePage_->addItem(QStringLiteral("437 (United States)"), 437);
    codePage_->addItem(QStringLiteral("850 (Western Europe)"), 850);
    codePage_->addItem(QStringLiteral("852 (Central Europe)"), 852);
    codePage_->addItem(QStringLiteral("866 (Cyrillic)"), 866);
    codePage_->addItem(QStringLiteral("932 (Japanese)"), 932);
    codePage_->setCurrentIndex(codePage_->findData(kDefaultOemCodePage));
    codePageLabel_->setBuddy(codePage_);
    auto* codePageRow = new QHBoxLayout;
    codePageRow->setContentsMargins(0, 6, 0, 0);
    codePageRow->setSpacing(8);
    codePageRow->addWidget(codePageLabel_);
    codePageRow->addWidget(codePage_);
    codePageRow->addStretch(1);

    grid->addWidget(standard_, 0, 0, 1, 3);
    grid->addWidget(advanced_, 1, 0, 1, 3);
    grid->addWidget(maxCopiesLabel_, 2, 1);
    grid->addWidget(maxCopies_, 2, 2);
    grid->addWidget(maxCopiesNote_, 3, 1, 1, 2);
    grid->addWidget(formatted_, 4, 1, 1, 2);
    grid->addWidget(deep_, 5, 0, 1, 3);
    grid->setColumnMinimumWidth(0, 24);
    grid->setColumnStretch(3, 1);
    body()->addWidget(group);
    body()->addLayout(codePageRow);
    body()->addStretch(1);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));

    connect(standard_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::chooseStandard);
    connect(advanced_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::chooseAdvanced);
    connect(deep_, &QRadioButton::clicked, this, &ParceModeNtfsDlg::chooseDeep);
    connect(formatted_, &QCheckBox::toggled, this, [this](bool on) { formattedDriveFlag_ = on; });
    connect(next_, &QPushButton::clicked, this, &ParceModeNtfsDlg::next);
    connect(back_, &QPushButton::clicked, this, [this] { this->wizard().back(); });

    setTabOrder(standard_, advanced_);
    setTabOrder(advanced_, maxCopies_);
    setTabOrder(maxCopies_, formatted_);
    setTabOrder(formatted_, deep_);
    setTabOrder(deep_, codePage_);
    setTabOrder(codePage_, helpButton());
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, next_);

    // Start-up: "3" each time, Standard checked, then the volume and the modes it allows.
    maxCopies_->setText(QStringLiteral("3"));
    setAdvancedControlsShown(false);
    setFormattedShown(false);
    chooseStandard();
    if ((openerTemplate == kTemplateVolumeList || openerTemplate == kTemplateVolumeInfo) && this->opener()) {
        if (const VolumeRecord* chosen = this->opener()->selectedRecord()) volume_ = *chosen;
    }
    fileSystemPrefix_ = trimLeft(volume_.fileSystem).substr(0, 3);
    const bool fat = equalsNoCase(fileSystemPrefix_, u"fat");
    const bool exf = equalsNoCase(fileSystemPrefix_, u"exF");
    const bool ext = equalsNoCase(fileSystemPrefix_, u"ext");
    const bool hfs = equalsNoCase(fileSystemPrefix_, u"HFS");
    advanced_->setVisible(!(ext || hfs));
    deep_->setVisible(!(fat || exf || ext));
    // exFAT (listed as FAT64) keeps every name in UTF-16: only FAT12/16/32 have short names.
    const bool shortNames = fat && !equalsNoCase(trimLeft(volume_.fileSystem), u"FAT64");
    codePageLabel_->setVisible(shortNames);
    codePage_->setVisible(shortNames);

    WizardState& shared = state();
    shared.chosenVolume = volume_;
    shared.volumeIsChosen = true;
}

void ParceModeNtfsDlg::setAdvancedControlsShown(bool shown) {
    maxCopiesLabel_->setVisible(shown);
    maxCopies_->setVisible(shown);
    maxCopiesNote_->setVisible(shown);
}

void ParceModeNtfsDlg::setFormattedShown(bool shown) { formatted_->setVisible(shown); }

void ParceModeNtfsDlg::chooseStandard() {
    formattedDriveFlag_ = false;
    formatted_->setChecked(false);
    setAdvancedControlsShown(false);
    setFormattedShown(false);
    standard_->setChecked(true);
    advanced_->setChecked(false);
    deep_->setChecked(false);
    recoveryMode_ = RecoveryMode::Standard;
}

void ParceModeNtfsDlg::chooseAdvanced() {
    formattedDriveFlag_ = false;
    formatted_->setChecked(false);
    setAdvancedControlsShown(true);
    standard_->setChecked(false);
    advanced_->setChecked(true);
    deep_->setChecked(false);
    setFormattedShown(equalsNoCase(fileSystemPrefix_, u"fat"));
    recoveryMode_ = RecoveryMode::Advanced;
}

void ParceModeNtfsDlg::chooseDeep() {
    formattedDriveFlag_ = false;
    formatted_->setChecked(false);
    setAdvancedControlsShown(false);
    setFormattedShown(false);
    deep_->setChecked(true);
    standard_->setChecked(false);
    advanced_->setChecked(false);
    recoveryMode_ = RecoveryMode::Deep;
}

ScanOptions ParceModeNtfsDlg::scanOptions() const {
    ScanOptions options;
    options.formattedDriveFlag = formattedDriveFlag_;
    bool ok = false;
    const int copies = maxCopies_->text().trimmed().toInt(&ok);
    options.maxCopies = (ok && copies > 0) ? copies : 3;
    const int codePage = codePage_->currentData().toInt();
    options.oemCodePage = isSupportedOemCodePage(codePage) ? codePage : kDefaultOemCodePage;
    return options;
}

void ParceModeNtfsDlg::next() {
    if (static_cast<int>(recoveryMode_) <= 0) return;
    WizardState& shared = state();
    shared.recoveryMode = recoveryMode_;
    shared.scanOptions = scanOptions();
    shared.chosenVolume = volume_;
    if (recoveryMode_ == RecoveryMode::Advanced) openAdvancedOptionsPage(wizard(), *this);
    else openScanPage(wizard(), *this);
}

}  // namespace dravonel
