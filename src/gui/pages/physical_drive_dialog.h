#pragma once
// The drive page, first page of the wizard: the mounted volumes, the physical drives and
// disk-image files, in one tree. A volume leads to the volume information page; a drive
// or an image to the scan-mode page.
#include <QLabel>
#include <QTreeWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/device/drive_list.h"
#include "gui/wizard_page.h"

namespace dravonel {

class Physical_DriveDialog : public WizardPage {
    Q_OBJECT
public:
    // preselectImage: a disk-image file to list and select at once (the program's
    // argument); empty for none. roots: where the drives and volumes are listed from.
    Physical_DriveDialog(Wizard& wizard, const QString& preselectImage = {},
                         const DriveListRoots& roots = systemRoots());

    // What a tree item stands for (Qt::UserRole of the item).
    enum ItemKind { RootItem = 0, VolumeItem, DriveItem, ImageItem, OpenImageItem };

    // The record of the selected volume item; null when no volume is selected.
    const VolumeRecord* selectedRecord() const override;
    // The device path of the selected drive or image item; empty otherwise.
    std::string selectedDevicePath() const;

    // Lists a disk-image file under "     DISK IMAGES:" (once) and selects it.
    void addImage(const QString& path);
    // The file dialog of "Open disk image..."; lists and selects the chosen file.
    void chooseImage();
    void next();

    QTreeWidget* tree() const { return tree_; }

private:
    static ItemKind kindOf(const QTreeWidgetItem* item);
    // Empty when the device may be read; otherwise the message that says how to get access.
    static QString accessProblem(const std::string& path);

    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* volumesRoot_ = nullptr;
    QTreeWidgetItem* drivesRoot_ = nullptr;
    QTreeWidgetItem* imagesRoot_ = nullptr;
    QTreeWidgetItem* openImageItem_ = nullptr;
    std::vector<std::unique_ptr<VolumeRecord>> volumes_;
    std::vector<PhysicalDrive> drives_;
    QPushButton* next_ = nullptr;
};

}  // namespace dravonel
