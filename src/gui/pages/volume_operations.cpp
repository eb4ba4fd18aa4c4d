#include "gui/pages/volume_operations.h"

#include <QFormLayout>
#include <QGroupBox>

#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/pages/physical_drive_dialog.h"
#include "gui/wizard.h"

namespace dravonel {

VolumeOperations::VolumeOperations(Wizard& wizard, WizardPage* opener)
    : WizardPage(wizard, kTemplateVolumeInfo, opener) {
    setObjectName(QStringLiteral("VolumeOperations"));
    auto* group = new QGroupBox(QStringLiteral("Volume Information:"), this);
    group->setObjectName(QStringLiteral("volumeInformationGroup"));
    auto* form = new QFormLayout(group);
    auto value = [group](const char* name, const char* accessible) {
        auto* label = new QLabel(group);
        label->setObjectName(QString::fromLatin1(name));
        label->setAccessibleName(QString::fromLatin1(accessible));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return label;
    };
    name_ = value("volumeNameValue", "Volume Name:");
    fileSystem_ = value("volumeFileSystemValue", "Volume File System:");
    size_ = value("volumeSizeValue", "Volume Size:");
    form->addRow(QStringLiteral("Volume Name:"), name_);
    form->addRow(QStringLiteral("Volume File System:"), fileSystem_);
    form->addRow(QStringLiteral("Volume Size:"), size_);
    itemText_ = new QLabel(this);
    itemText_->setObjectName(QStringLiteral("selectedItemText"));
    itemText_->hide();
    body()->addWidget(group);
    body()->addStretch(1);

    back_ = addButton(QStringLiteral("&Back"), QStringLiteral("back"), QStringLiteral("backButton"));
    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));
    connect(next_, &QPushButton::clicked, this, &VolumeOperations::next);
    connect(back_, &QPushButton::clicked, this, [this] { this->wizard().back(); });
    setTabOrder(helpButton(), back_);
    setTabOrder(back_, next_);

    if (openerTemplate == kTemplateDrivePage) {
        if (auto* drivePage = qobject_cast<Physical_DriveDialog*>(opener)) {
            if (QTreeWidgetItem* item = drivePage->tree()->currentItem()) itemText_->setText(item->text(0));
            record_ = drivePage->selectedRecord();
        }
    }
    if (record_) {
        name_->setText(qs(record_->rootPath));
        fileSystem_->setText(qs(record_->fileSystem));
        size_->setText(qs(record_->sizeMbText));
    }
    next_->setEnabled(true);
}

void VolumeOperations::next() { wizard().openNext(new ParceModeNtfsDlg(wizard(), this)); }

}  // namespace dravonel
