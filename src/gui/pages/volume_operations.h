#pragma once
// The volume information page: what is known of the mounted volume chosen on the drive
// page. It reads nothing from the device; Next opens the recovery-mode page.
#include <QLabel>

#include "gui/wizard_page.h"

namespace dravonel {

class VolumeOperations : public WizardPage {
    Q_OBJECT
public:
    // Takes the drive page's selected volume when the opener is the drive page (130).
    VolumeOperations(Wizard& wizard, WizardPage* opener);

    const VolumeRecord* selectedRecord() const override { return record_; }
    void next();

private:
    const VolumeRecord* record_ = nullptr;  // owned by the drive page
    QLabel* name_ = nullptr;
    QLabel* fileSystem_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* itemText_ = nullptr;  // the drive page's item text; never shown
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
