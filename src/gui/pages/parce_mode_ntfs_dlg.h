#pragma once
// The recovery-mode page: the chosen volume's recovery modes (Standard, Advanced, Deep, as
// its file system allows), the number of file-system copies to look for and the
// "Is Drive Formated..?" box, and on FAT volumes the code page their short names are
// written in. Next opens the scan page (Standard, Deep) or the advanced-options page
// (Advanced).
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "core/model/scan_parser.h"
#include "gui/wizard_page.h"

namespace dravonel {

class ParceModeNtfsDlg : public WizardPage {
    Q_OBJECT
public:
    // Copies the opener's selected record when the opener is the volume list (134) or the
    // volume information page (135).
    ParceModeNtfsDlg(Wizard& wizard, WizardPage* opener);

    // The page's own copy of the chosen volume.
    const VolumeRecord& volume() const { return volume_; }
    const VolumeRecord* selectedRecord() const override { return &volume_; }
    RecoveryMode recoveryMode() const { return recoveryMode_; }
    // The first three characters of the file system, leading white space cut.
    const std::u16string& fileSystemPrefix() const { return fileSystemPrefix_; }
    bool formattedDriveFlag() const { return formattedDriveFlag_; }
    // The text of the copies edit ("3" at start).
    QString maxCopiesText() const { return maxCopies_->text(); }
    // The choices a scan takes along: the formatted-drive flag, the copies count (the
    // edit read as a decimal number; not a number or <= 0 gives 3) and the short names'
    // code page (437 unless another is chosen).
    ScanOptions scanOptions() const;

    void next();
    void chooseStandard();
    void chooseAdvanced();
    void chooseDeep();

private:
    void setAdvancedControlsShown(bool shown);
    void setFormattedShown(bool shown);

    VolumeRecord volume_;
    RecoveryMode recoveryMode_ = RecoveryMode::None;
    std::u16string fileSystemPrefix_;
    bool formattedDriveFlag_ = false;

    QRadioButton* standard_ = nullptr;
    QRadioButton* advanced_ = nullptr;
    QRadioButton* deep_ = nullptr;
    QLabel* maxCopiesLabel_ = nullptr;
    QLineEdit* maxCopies_ = nullptr;
    QLabel* maxCopiesNote_ = nullptr;
    QCheckBox* formatted_ = nullptr;
    QLabel* codePageLabel_ = nullptr;
    QComboBox* codePage_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
