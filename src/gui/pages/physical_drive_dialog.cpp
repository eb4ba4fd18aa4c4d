#include "gui/pages/physical_drive_dialog.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

#include "core/common/formats.h"
#include "core/common/text.h"
#include "gui/pages/drive_parsing_modes.h"
#include "gui/pages/volume_operations.h"
#include "gui/qt_bridges.h"
#include "gui/wizard.h"

namespace dravonel {

namespace {
constexpr int kKindRole = Qt::UserRole;
constexpr int kIndexRole = Qt::UserRole + 1;  // volume or drive index
constexpr int kPathRole = Qt::UserRole + 2;   // image path
}  // namespace

Physical_DriveDialog::Physical_DriveDialog(Wizard& wizard, const QString& preselectImage, const DriveListRoots& roots)
    : WizardPage(wizard, kTemplateDrivePage, nullptr) {
    setObjectName(QStringLiteral("Physical_DriveDialog"));

    auto* group = new QGroupBox(QStringLiteral("Currently system contains:"), this);
    group->setObjectName(QStringLiteral("systemGroup"));
    auto* layout = new QVBoxLayout(group);
    tree_ = new QTreeWidget(group);
    tree_->setObjectName(QStringLiteral("driveTree"));
    tree_->setAccessibleName(QStringLiteral("Currently system contains:"));
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setIconSize(QSize(16, 16));
    layout->addWidget(tree_);
    auto* hint = new QLabel(QStringLiteral("Select volume or drive to continue the recovery process "), this);
    hint->setObjectName(QStringLiteral("hintLabel"));
    body()->addWidget(group, 1);
    body()->addWidget(hint);

    next_ = addButton(QStringLiteral("&Next"), QStringLiteral("next"), QStringLiteral("nextButton"));
    connect(next_, &QPushButton::clicked, this, &Physical_DriveDialog::next);
    // A double-click (or Space) on "Open disk image..." opens the file dialog.
    connect(tree_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
        if (kindOf(item) == OpenImageItem) chooseImage();
    });
    setTabOrder(tree_, helpButton());
    setTabOrder(helpButton(), next_);

    const QIcon volumeIcon(QStringLiteral(":/dravonel/volume.svg"));
    const QIcon driveIcon(QStringLiteral(":/dravonel/drive.svg"));
    auto root = [this](const char* text) {
        auto* item = new QTreeWidgetItem(tree_, QStringList(QString::fromLatin1(text)));
        item->setData(0, kKindRole, RootItem);
        QFont font = item->font(0);
        font.setBold(true);
        item->setFont(0, font);
        return item;
    };
    volumesRoot_ = root("     VOLUMES:");
    drivesRoot_ = root("     PHYSICAL DRIVES:");
    imagesRoot_ = root("     DISK IMAGES:");

    // Volumes from the last record to the first, as the list has always shown them.
    for (VolumeRecord& record : listMountedVolumes(roots)) volumes_.push_back(std::make_unique<VolumeRecord>(record));
    for (std::size_t i = volumes_.size(); i-- > 0;) {
        auto* item = new QTreeWidgetItem(volumesRoot_, QStringList(qs(volumes_[i]->rootPath)));
        item->setData(0, kKindRole, VolumeItem);
        item->setData(0, kIndexRole, static_cast<qulonglong>(i));
        item->setIcon(0, volumeIcon);
        item->setToolTip(0, QStringLiteral("%1  %2  %3").arg(qs(volumes_[i]->name), qs(volumes_[i]->fileSystem),
                                                              qs(volumes_[i]->sizeMbText)));
    }
    drives_ = listPhysicalDrives(roots);
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        // The model and the size tell two drives apart ("Samsung SSD 860  (465.76 GB)").
        QString text = qs(drives_[i].text);
        if (drives_[i].sizeBytes > 0) text += QStringLiteral("  (%1)").arg(qs(formatSize(drives_[i].sizeBytes)));
        auto* item = new QTreeWidgetItem(drivesRoot_, QStringList(text));
        item->setData(0, kKindRole, DriveItem);
        item->setData(0, kIndexRole, static_cast<qulonglong>(i));
        item->setIcon(0, driveIcon);
        item->setToolTip(0, QString::fromStdString(drives_[i].devicePath));
    }
    openImageItem_ = new QTreeWidgetItem(imagesRoot_, QStringList(QStringLiteral("Open disk image...")));
    openImageItem_->setData(0, kKindRole, OpenImageItem);
    openImageItem_->setIcon(0, QIcon(QStringLiteral(":/dravonel/open.svg")));
    openImageItem_->setToolTip(0, QStringLiteral("Choose a disk image file (.img, .dd, .raw, .iso, .bin)"));
    tree_->expandAll();

    if (!preselectImage.isEmpty()) addImage(preselectImage);
}

Physical_DriveDialog::ItemKind Physical_DriveDialog::kindOf(const QTreeWidgetItem* item) {
    if (!item) return RootItem;
    return static_cast<ItemKind>(item->data(0, kKindRole).toInt());
}

const VolumeRecord* Physical_DriveDialog::selectedRecord() const {
    const QTreeWidgetItem* item = tree_->currentItem();
    if (kindOf(item) != VolumeItem) return nullptr;
    const auto i = item->data(0, kIndexRole).toULongLong();
    return i < volumes_.size() ? volumes_[i].get() : nullptr;
}

std::string Physical_DriveDialog::selectedDevicePath() const {
    const QTreeWidgetItem* item = tree_->currentItem();
    switch (kindOf(item)) {
    case DriveItem: {
        const auto i = item->data(0, kIndexRole).toULongLong();
        return i < drives_.size() ? drives_[i].devicePath : std::string();
    }
    case ImageItem:
        return item->data(0, kPathRole).toString().toStdString();
    default:
        return {};
    }
}

void Physical_DriveDialog::addImage(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QTreeWidgetItem* found = nullptr;
    for (int i = 0; i < imagesRoot_->childCount(); ++i) {
        QTreeWidgetItem* child = imagesRoot_->child(i);
        if (kindOf(child) == ImageItem && child->data(0, kPathRole).toString() == absolute) found = child;
    }
    if (!found) {
        found = new QTreeWidgetItem(QStringList(absolute));
        found->setData(0, kKindRole, ImageItem);
        found->setData(0, kPathRole, absolute);
        found->setIcon(0, QIcon(QStringLiteral(":/dravonel/image.svg")));
        found->setToolTip(0, absolute);
        // Listed images stand before the "Open disk image..." entry.
        imagesRoot_->insertChild(imagesRoot_->indexOfChild(openImageItem_), found);
    }
    imagesRoot_->setExpanded(true);
    tree_->setCurrentItem(found);
}

void Physical_DriveDialog::chooseImage() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open disk image"), QString(),
        QStringLiteral("Disk images (*.img *.dd *.raw *.iso *.bin *.E01 *.e01 *.vhd *.vhdx *.vmdk *.qcow2 *.qcow "
                       "*.000 *.001 *.aa);;All files (*)"));
    if (!path.isEmpty()) addImage(path);
}

QString Physical_DriveDialog::accessProblem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    const int error = errno;
    const QString shown = QString::fromStdString(path);
    if (error == EACCES || error == EPERM) {
        QString group;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (const struct group* g = ::getgrgid(st.st_gid)) group = QString::fromLocal8Bit(g->gr_name);
        }
        if (group.isEmpty() || group == QLatin1String("root")) {
            return QStringLiteral("%1 may not be read by this user.\n\nStart Quorvane Dravonel with elevated rights "
                                  "(for example from a root shell) to read it.")
                .arg(shown);
        }
        return QStringLiteral("%1 may not be read by this user.\n\nTo get access, join the group \"%2\" "
                              "(sudo usermod -aG %2 $USER, then log out and in again), or start Quorvane Dravonel "
                              "with elevated rights.")
            .arg(shown, group);
    }
    return QStringLiteral("%1 cannot be opened: %2").arg(shown, QString::fromLocal8Bit(std::strerror(error)));
}

void Physical_DriveDialog::next() {
    QTreeWidgetItem* item = tree_->currentItem();
    ItemKind kind = kindOf(item);
    if (kind == OpenImageItem) {
        chooseImage();
        item = tree_->currentItem();
        kind = kindOf(item);
        if (kind != ImageItem) return;
    }
    if (kind != VolumeItem && kind != DriveItem && kind != ImageItem) {
        wizard().prompt().message(u"Please select a volume or a drive..");
        return;
    }
    const std::string path = kind == VolumeItem ? toUtf8(selectedRecord()->name) : selectedDevicePath();
    const QString problem = accessProblem(path);
    if (!problem.isEmpty()) {
        wizard().prompt().message(u16s(problem));
        return;
    }
    WizardState& shared = state();
    shared.freshReader();
    if (kind == VolumeItem) {
        shared.volumeChosen = 1;
        wizard().openNext(new VolumeOperations(wizard(), this));
    } else {
        shared.volumeChosen = 0;
        wizard().openNext(new DriveParsingModes(wizard(), this));
    }
}

}  // namespace dravonel
