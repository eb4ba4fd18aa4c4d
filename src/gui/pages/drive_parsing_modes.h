#pragma once
// The scan-mode page: how the chosen disk's volumes are found (the partition tables,
// optionally as GPT, or the surface scan, optionally over a sector range). Next opens the
// volume list page with these choices.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include <string>

#include "gui/wizard_page.h"

namespace dravonel {

struct VolumeListRequest;

class DriveParsingModes : public WizardPage {
    Q_OBJECT
public:
    // Takes the device path of the opener's selected drive or image and opens the
    // current reader on it.
    DriveParsingModes(Wizard& wizard, WizardPage* opener);

    const std::string& devicePath() const { return devicePath_; }
    // The choices Next hands to the volume list page.
    VolumeListRequest request() const;

    void chooseStandard();
    void chooseAdvance();
    void customSettingClicked();
    void next();

private:
    void setCustomEditsEnabled(bool enabled);

    std::string devicePath_;
    QLabel* selectedDrive_ = nullptr;
    QRadioButton* standard_ = nullptr;
    QCheckBox* gpt_ = nullptr;
    QRadioButton* advance_ = nullptr;
    QCheckBox* doNotSkip_ = nullptr;
    QCheckBox* custom_ = nullptr;
    QLabel* startLabel_ = nullptr;
    QLineEdit* start_ = nullptr;
    QLabel* endLabel_ = nullptr;
    QLineEdit* end_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
