// The wizard's pages from the drive page to the recovery-mode page, driven as a user would
// over the fixture images, with the real core underneath.
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <cstring>
#include <deque>
#include <fstream>
#include <memory>

#include "gui/about_dialog.h"
#include "gui/jobs/deep_partition_scan_job.h"
#include "gui/pages/drive_parsing_modes.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/pages/physical_drive_dialog.h"
#include "gui/pages/populate_drive_dlg.h"
#include "gui/pages/volume_operations.h"
#include "gui/qt_bridges.h"
#include "gui/shell.h"
#include "gui/single_instance.h"
#include "gui/pages/advance_options.h"
#include "gui/wizard.h"
#include "gui_test_support.h"

using namespace dravonel;

namespace {

using gui_test::fixture;
using gui_test::screenshot;

// Answers the message boxes and dialogs that open while a test runs: each gets the next
// scripted button (Ok for messages and No for questions when the script is empty), and
// its text is recorded.
class ModalAnswerer : public QObject {
public:
    ModalAnswerer() {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }
    void script(QMessageBox::StandardButton answer) { answers_.push_back(answer); }
    QStringList texts;
    std::function<void(QDialog*)> onDialog;  // other dialogs (the about dialog)

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            texts << box->text();
            QMessageBox::StandardButton answer = box->standardButtons().testFlag(QMessageBox::No) ? QMessageBox::No
                                                                                                   : QMessageBox::Ok;
            if (!answers_.empty()) {
                answer = answers_.front();
                answers_.pop_front();
            }
            box->button(answer)->click();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            if (onDialog) onDialog(dialog);
            dialog->accept();
        }
    }
    QTimer timer_;
    std::deque<QMessageBox::StandardButton> answers_;
};

template <class T>
T* child(QWidget* page, const char* name) {
    T* found = page->findChild<T*>(QString::fromLatin1(name));
    if (!found) qWarning("no control %s", name);
    return found;
}

void click(QWidget* page, const char* name) {
    auto* button = child<QAbstractButton>(page, name);
    QVERIFY(button);
    QVERIFY2(button->isEnabled(), name);
    button->click();
}

// Lets Back's deferred page deletion happen.
void settle() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QStringList column(QTableWidget* table, int c) {
    QStringList texts;
    for (int r = 0; r < table->rowCount(); ++r) texts << table->item(r, c)->text();
    return texts;
}

// A page standing in for the opener of the recovery-mode page (the volume information
// page's place), holding one record.
class RecordPage : public WizardPage {
public:
    RecordPage(Wizard& wizard, WizardPage* opener, VolumeRecord record)
        : WizardPage(wizard, kTemplateVolumeInfo, opener), record_(std::move(record)) {}
    const VolumeRecord* selectedRecord() const override { return &record_; }

private:
    VolumeRecord record_;
};

// A disk whose MBR names three partitions at sectors 2048, 2049 and 4096.
QString writeAdjacentPartitionsDisk(const QTemporaryDir& dir) {
    std::vector<std::uint8_t> disk(3 * 1048576, 0);
    const std::uint32_t starts[3] = {2048, 2049, 4096};
    for (int slot = 0; slot < 3; ++slot) {
        std::uint8_t* e = disk.data() + 446 + 16 * slot;
        e[4] = 0x83;
        const std::uint32_t count = 2048;
        for (int b = 0; b < 4; ++b) {
            e[8 + b] = static_cast<std::uint8_t>(starts[slot] >> (8 * b));
            e[12 + b] = static_cast<std::uint8_t>(count >> (8 * b));
        }
    }
    disk[510] = 0x55;
    disk[511] = 0xAA;
    const QString path = dir.filePath(QStringLiteral("adjacent.img"));
    std::ofstream(path.toStdString(), std::ios::binary).write(reinterpret_cast<const char*>(disk.data()),
                                                              static_cast<std::streamsize>(disk.size()));
    return path;
}

}  // namespace

class WizardPagesTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Wizard> wizard_;
    std::unique_ptr<QTemporaryDir> sys_;
    DriveListRoots roots_;
    int quits_ = 0;

    // A wizard whose drive page lists one fake disk and one mounted NTFS volume of 100 GiB,
    // and, when given, a disk image.
    Physical_DriveDialog* startWizard(const QString& image = {}) {
        sys_ = std::make_unique<QTemporaryDir>();
        QDir(sys_->path()).mkpath(QStringLiteral("block/sdz/device"));
        QFile size(sys_->filePath(QStringLiteral("block/sdz/size")));
        size.open(QIODevice::WriteOnly);
        size.write("268435456\n");
        size.close();
        QFile model(sys_->filePath(QStringLiteral("block/sdz/device/model")));
        model.open(QIODevice::WriteOnly);
        model.write("Example Disk 128G\n");
        model.close();
        // A virtio disk: its only word of itself is its bus's vendor number.
        QDir(sys_->path()).mkpath(QStringLiteral("block/vdz/device"));
        QFile vdzSize(sys_->filePath(QStringLiteral("block/vdz/size")));
        vdzSize.open(QIODevice::WriteOnly);
        vdzSize.write("1048576\n");
        vdzSize.close();
        QFile vendor(sys_->filePath(QStringLiteral("block/vdz/device/vendor")));
        vendor.open(QIODevice::WriteOnly);
        vendor.write("0x1af4\n");
        vendor.close();
        QFile mounts(sys_->filePath(QStringLiteral("mountinfo")));
        mounts.open(QIODevice::WriteOnly);
        // /dev/null stands in for the volume's device: readable, and never read on this road.
        mounts.write("40 22 8:17 / /media/c rw - ntfs3 /dev/null rw\n");
        mounts.close();
        roots_.sysBlock = sys_->filePath(QStringLiteral("block")).toStdString();
        roots_.dev = "/dev";
        roots_.mountInfo = sys_->filePath(QStringLiteral("mountinfo")).toStdString();
        roots_.volumeBytes = [](const std::string&) -> std::int64_t { return 100LL << 30; };
        roots_.bootSector = [](const std::string&) { return std::vector<std::uint8_t>(512, 0); };

        wizard_ = std::make_unique<Wizard>();
        quits_ = 0;
        wizard_->onQuit = [this] { ++quits_; };
        wizard_->resize(820, 580);
        auto* first = new Physical_DriveDialog(*wizard_, image, roots_);
        wizard_->start(first);
        wizard_->show();
        return first;
    }

    template <class Page>
    Page* current() {
        auto* page = qobject_cast<Page*>(wizard_->currentPage());
        if (!page) qWarning("the current page is %s", wizard_->currentPage()->metaObject()->className());
        return page;
    }

    // Drive page -> scan-mode page on an image.
    DriveParsingModes* openModes(const char* image) {
        startWizard(fixture(image));
        click(wizard_->currentPage(), "nextButton");
        return current<DriveParsingModes>();
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QFile::exists(fixture("mbr_disk.img")), "fixtures are unpacked by the build");
    }

    void cleanup() {
        wizard_.reset();
        settle();
    }

    void drivePageListsVolumesDrivesAndImages() {
        ModalAnswerer answers;
        auto* page = startWizard(fixture("demo_disk.img"));
        QTreeWidget* tree = page->tree();
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("     VOLUMES:"));
        QCOMPARE(tree->topLevelItem(1)->text(0), QStringLiteral("     PHYSICAL DRIVES:"));
        QCOMPARE(tree->topLevelItem(2)->text(0), QStringLiteral("     DISK IMAGES:"));
        QCOMPARE(tree->topLevelItem(0)->child(0)->text(0), QStringLiteral("/media/c"));
        // A drive by its model and size.
        QCOMPARE(tree->topLevelItem(1)->childCount(), 2);
        QCOMPARE(tree->topLevelItem(1)->child(0)->text(0), QStringLiteral("Example Disk 128G  (128.00 GB)"));
        QCOMPARE(tree->topLevelItem(1)->child(1)->text(0), QStringLiteral("/dev/vdz  (512.00 MB)"));
        // The image is listed before "Open disk image..." and selected.
        QCOMPARE(tree->currentItem()->text(0), fixture("demo_disk.img"));
        QCOMPARE(tree->topLevelItem(2)->child(1)->text(0), QStringLiteral("Open disk image..."));
        screenshot(wizard_.get(), QStringLiteral("Physical_DriveDialog"));

        // A root item, or a file that cannot be opened, keeps the page.
        tree->setCurrentItem(tree->topLevelItem(0));
        click(page, "nextButton");
        page->addImage(QStringLiteral("/nonexistent/disk.img"));
        click(page, "nextButton");
        QCOMPARE(wizard_->currentPage(), page);
        QCOMPARE(answers.texts.size(), 2);
        QCOMPARE(answers.texts[0], QStringLiteral("Please select a volume or a drive.."));
        QVERIFY(answers.texts[1].startsWith(QStringLiteral("/nonexistent/disk.img cannot be opened")));
    }

    void volumeRoadShowsTheMountedVolume() {
        auto* page = startWizard();
        page->tree()->setCurrentItem(page->tree()->topLevelItem(0)->child(0));
        click(page, "nextButton");
        auto* info = current<VolumeOperations>();
        QVERIFY(info);
        QCOMPARE(wizard_->state().volumeChosen, std::uint8_t{1});
        QCOMPARE(child<QLabel>(info, "volumeNameValue")->text(), QStringLiteral("/media/c"));
        QCOMPARE(child<QLabel>(info, "volumeFileSystemValue")->text(), QStringLiteral("NTFS"));
        QCOMPARE(child<QLabel>(info, "volumeSizeValue")->text(), QStringLiteral("102400  MB"));
        screenshot(wizard_.get(), QStringLiteral("VolumeOperations"));
        click(info, "nextButton");
        auto* modes = current<ParceModeNtfsDlg>();
        QVERIFY(modes);
        QCOMPARE(modes->openerTemplate, kTemplateVolumeInfo);
        QCOMPARE(modes->volume().name, std::u16string(u"/dev/null"));
    }

    void scanModeChoicesAreHandedOn() {
        auto* modes = openModes("mbr_disk.img");
        QVERIFY(modes);
        QCOMPARE(child<QLabel>(modes, "selectedDriveValue")->text(), fixture("mbr_disk.img"));
        QCOMPARE(wizard_->state().volumeChosen, std::uint8_t{0});
        QVERIFY(wizard_->state().currentReader && wizard_->state().currentReader->isOpen());
        screenshot(wizard_.get(), QStringLiteral("DriveParsingModes"));
        // Standard: kind 1 with the GPT choice; the do-not-skip box disabled and clear.
        child<QCheckBox>(modes, "gptFormatCheck")->click();
        QCOMPARE(modes->request().scanKind, 1);
        QVERIFY(modes->request().gptFormat);
        QVERIFY(!child<QCheckBox>(modes, "doNotSkipCheck")->isEnabled());
        // Advance with a range handed on as typed, even backwards.
        click(modes, "advanceScanRadio");
        click(modes, "customSettingCheck");
        QVERIFY(child<QLineEdit>(modes, "startingSectorEdit")->isEnabled());
        child<QLineEdit>(modes, "startingSectorEdit")->setText(QStringLiteral("100"));
        child<QLineEdit>(modes, "endingSectorEdit")->setText(QStringLiteral("50"));
        QCOMPARE(modes->request().scanKind, 2);
        QCOMPARE(modes->request().customStart, 100);
        QCOMPARE(modes->request().customEnd, 50);
        // A negative end hands on neither value.
        child<QLineEdit>(modes, "endingSectorEdit")->setText(QStringLiteral("-1"));
        QCOMPARE(modes->request().customStart, 0);
        QCOMPARE(modes->request().customEnd, 0);
        // Back to Standard clears "Custom Setting:".
        click(modes, "standardScanRadio");
        QVERIFY(!child<QCheckBox>(modes, "customSettingCheck")->isChecked());
        QVERIFY(!child<QLineEdit>(modes, "startingSectorEdit")->isEnabled());
    }

    void backAndForwardKeepPageState() {
        auto* modes = openModes("mbr_disk.img");
        auto* drivePage = qobject_cast<Physical_DriveDialog*>(modes->opener());
        QVERIFY(drivePage);
        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        QVERIFY(list);
        auto* table = child<QTableWidget>(list, "volumeList");
        QCOMPARE(column(table, 0), (QStringList{"G0", "G1", "G2", "G3", "G4"}));
        QCOMPARE(column(table, 1), (QStringList{"NTFS", "FAT16", "FAT64", "extX", "FAT32"}));
        QCOMPARE(column(table, 3), (QStringList{"2048", "18432", "88064", "106496", "124928"}));
        QCOMPARE(child<QLabel>(list, "statusLine")->text(), QStringLiteral("Select volume and click next button..."));
        table->selectRow(1);
        QCOMPARE(child<QLabel>(list, "selectedVolumeValue")->text(), QStringLiteral("G1"));
        QCOMPARE(child<SectorSpinBox>(list, "startSectorEdit")->value(), 18432);
        QCOMPARE(child<SectorSpinBox>(list, "endSectorEdit")->value(), 18432 + 33 * 2048 - 1);
        table->selectRow(0);
        screenshot(wizard_.get(), QStringLiteral("PopulateDriveDlg"));
        click(list, "nextButton");
        auto* recovery = current<ParceModeNtfsDlg>();
        QVERIFY(recovery);
        QCOMPARE(recovery->volume().startSector, 2048);
        click(recovery, "deepRadio");
        screenshot(wizard_.get(), QStringLiteral("ParceModeNtfsDlg"));

        // Back: the volume list as it was (rows, selection), the recovery page gone.
        QPointer<QWidget> gone = recovery;
        click(recovery, "backButton");
        settle();
        QVERIFY(gone.isNull());
        QCOMPARE(wizard_->currentPage(), list);
        QCOMPARE(table->rowCount(), 5);
        QCOMPARE(table->currentRow(), 0);
        click(list, "backButton");
        settle();
        QCOMPARE(wizard_->currentPage(), modes);
        QVERIFY(child<QRadioButton>(modes, "standardScanRadio")->isChecked());
        click(modes, "backButton");
        settle();
        QCOMPARE(wizard_->currentPage(), drivePage);
        QCOMPARE(drivePage->tree()->currentItem()->text(0), fixture("mbr_disk.img"));
        QCOMPARE(wizard_->pageCount(), 1);

        // Forward again: a fresh scan-mode page on the same image.
        click(drivePage, "nextButton");
        QVERIFY(current<DriveParsingModes>());
        QCOMPARE(current<DriveParsingModes>()->devicePath(), fixture("mbr_disk.img").toStdString());
    }

    void recoveryModeTable_data() {
        QTest::addColumn<QString>("fileSystem");
        QTest::addColumn<bool>("advanced");
        QTest::addColumn<bool>("deep");
        QTest::addColumn<bool>("formattedBox");
        QTest::addColumn<bool>("codePage");
        QTest::newRow("NTFS") << "NTFS" << true << true << false << false;
        QTest::newRow("ntfs chosen by hand") << "ntfs" << true << true << false << false;
        QTest::newRow("FAT12") << "FAT12" << true << false << true << true;
        QTest::newRow("FAT16") << "FAT16" << true << false << true << true;
        QTest::newRow("FAT32") << "FAT32" << true << false << true << true;
        QTest::newRow("FAT64 counts as fat") << "FAT64" << true << false << true << false;
        QTest::newRow("exFAT") << "exFAT" << true << false << false << false;
        QTest::newRow("ext") << "extX" << false << false << false << false;
        QTest::newRow("HFS+") << "HFS+" << false << true << false << false;
        QTest::newRow("leading blanks cut") << "  HFS+" << false << true << false << false;
        QTest::newRow("any other") << "CUSTOM " << true << true << false << false;
    }

    void recoveryModeTable() {
        QFETCH(QString, fileSystem);
        QFETCH(bool, advanced);
        QFETCH(bool, deep);
        QFETCH(bool, formattedBox);
        QFETCH(bool, codePage);
        ModalAnswerer answers;
        startWizard();
        VolumeRecord record;
        record.fileSystem = u16s(fileSystem);
        auto* opener = new RecordPage(*wizard_, wizard_->currentPage(), record);
        wizard_->openNext(opener);
        auto* page = new ParceModeNtfsDlg(*wizard_, opener);
        wizard_->openNext(page);
        auto* copies = child<QLineEdit>(page, "maxCopiesEdit");
        auto* formatted = child<QCheckBox>(page, "formattedCheck");
        QVERIFY(child<QRadioButton>(page, "standardRadio")->isVisible());
        QVERIFY(child<QRadioButton>(page, "standardRadio")->isChecked());
        QCOMPARE(child<QRadioButton>(page, "advancedRadio")->isVisible(), advanced);
        QCOMPARE(child<QRadioButton>(page, "deepRadio")->isVisible(), deep);
        QCOMPARE(copies->text(), QStringLiteral("3"));
        QVERIFY(!copies->isVisible());
        QVERIFY(!formatted->isVisible());
        QCOMPARE(page->recoveryMode(), RecoveryMode::Standard);
        // Short names are read in 437 unless another code page is chosen; only FAT12/16/32
        // offer the choice, on every road.
        auto* pages = child<QComboBox>(page, "codePageCombo");
        QCOMPARE(pages->isVisible(), codePage);
        QCOMPARE(page->scanOptions().oemCodePage, 437);
        if (codePage) {
            QCOMPARE(pages->count(), 5);
            pages->setCurrentIndex(pages->findData(866));
            QCOMPARE(page->scanOptions().oemCodePage, 866);
        }
        if (advanced) {
            click(page, "advancedRadio");
            QVERIFY(copies->isVisible());
            QCOMPARE(formatted->isVisible(), formattedBox);
            QCOMPARE(page->recoveryMode(), RecoveryMode::Advanced);
            if (formattedBox) {
                formatted->click();
                QVERIFY(page->scanOptions().formattedDriveFlag);
                // Leaving Advanced clears the flag and the box.
                click(page, "standardRadio");
                QVERIFY(!page->scanOptions().formattedDriveFlag);
                QVERIFY(!formatted->isChecked());
                QVERIFY(!formatted->isVisible());
                click(page, "advancedRadio");
            }
            copies->setText(QStringLiteral("x"));
            QCOMPARE(page->scanOptions().maxCopies, 3);
            copies->setText(QStringLiteral("5"));
            QCOMPARE(page->scanOptions().maxCopies, 5);
            if (fileSystem == QLatin1String("FAT32")) screenshot(wizard_.get(), QStringLiteral("ParceModeNtfsDlg_advanced"));
            // Next opens the advanced-options page; without a reader (or for a file system
            // no parser reads) its search cannot start and says why, and Back comes here.
            click(page, "nextButton");
            auto* options = current<advanceOptions>();
            QVERIFY(options);
            QCOMPARE(answers.texts.size(), 1);
            QCOMPARE(answers.texts[0], fileSystem == QLatin1String("CUSTOM ")
                                           ? QStringLiteral("not a valid drive.")
                                           : QStringLiteral("Please Restart the program to re begin necessary initialization..."));
            click(options, "backButton");
            settle();
            QCOMPARE(wizard_->currentPage(), page);
        }
        if (deep) {
            click(page, "deepRadio");
            QCOMPARE(page->recoveryMode(), RecoveryMode::Deep);
            QVERIFY(!child<QRadioButton>(page, "standardRadio")->isChecked());
            QVERIFY(!copies->isVisible());
        }
        // Each start shows "3" again.
        click(page, "backButton");
        settle();
        auto* again = new ParceModeNtfsDlg(*wizard_, opener);
        wizard_->openNext(again);
        QCOMPARE(child<QLineEdit>(again, "maxCopiesEdit")->text(), QStringLiteral("3"));
    }

    void volumeListEdgeCases() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        auto* table = child<QTableWidget>(list, "volumeList");
        // Next without a row.
        table->clearSelection();
        table->setCurrentCell(-1, -1);
        click(list, "nextButton");
        QCOMPARE(answers.texts.value(0), QStringLiteral("please select a valid volume."));
        // No two records start one sector apart: Filter leaves the list empty.
        click(list, "filterEntriesButton");
        QCOMPARE(table->rowCount(), 0);

        // Add Custom Volume after five records: "G5", "CUSTOM ", "0", selected and ticked.
        auto* add = child<QPushButton>(list, "addCustomVolumeButton");
        add->setVisible(true);
        add->setEnabled(true);
        add->click();
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(column(table, 0), QStringList{"G5"});
        QCOMPARE(column(table, 1), QStringList{"CUSTOM "});
        QCOMPARE(column(table, 2), QStringList{"0"});
        QCOMPARE(table->currentRow(), 0);
        QVERIFY(child<QCheckBox>(list, "customSettingsCheck")->isChecked());
        auto* start = child<SectorSpinBox>(list, "startSectorEdit");
        auto* end = child<SectorSpinBox>(list, "endSectorEdit");
        QVERIFY(start->isEnabled());
        // The down arrow on "0" leaves "0"; up adds one.
        start->stepDown();
        QCOMPARE(start->text(), QStringLiteral("0"));
        start->stepUp();
        QCOMPARE(start->value(), 1);
        start->setValue(2048);
        end->setValue(4095);
        auto* treatAs = child<QComboBox>(list, "treatFileSystemAsCombo");
        QCOMPARE(treatAs->count(), 7);
        treatAs->setCurrentText(QStringLiteral("NTFS"));
        screenshot(wizard_.get(), QStringLiteral("PopulateDriveDlg_custom"));
        click(list, "nextButton");
        auto* recovery = current<ParceModeNtfsDlg>();
        QVERIFY(recovery);
        QVERIFY(list->customOverride());
        QCOMPARE(list->selectedRecord()->startSector, 2048);
        QCOMPARE(list->selectedRecord()->sizeMbText, std::u16string(u"1"));
        QCOMPARE(list->selectedRecord()->fileSystem, std::u16string(u"ntfs"));
        QCOMPARE(recovery->volume().fileSystem, std::u16string(u"ntfs"));
        QCOMPARE(list->records().size(), std::size_t{6});
    }

    // A card imaged whole has no partition table: Standard Scan lists its one volume as
    // G0 from sector 0 with the size its file system gives itself (as a table row), and
    // Next opens its recovery-mode page.
    void bareImageListsItsVolumeAsG0_data() {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("fileSystem");
        QTest::addColumn<QString>("sizeMb");
        QTest::newRow("FAT32") << "card_fat32.img" << "FAT32" << "34   MB";
        QTest::newRow("exFAT") << "card_exfat.img" << "FAT64" << "8   MB";
        QTest::newRow("NTFS") << "ntfs_basic.img" << "NTFS" << "15   MB";
    }
    void bareImageListsItsVolumeAsG0() {
        QFETCH(QString, image);
        QFETCH(QString, fileSystem);
        QFETCH(QString, sizeMb);
        ModalAnswerer answers;
        auto* modes = openModes(image.toLatin1().constData());
        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        auto* table = child<QTableWidget>(list, "volumeList");
        QCOMPARE(column(table, 0), QStringList{"G0"});
        QCOMPARE(column(table, 1), QStringList{fileSystem});
        QCOMPARE(column(table, 2), QStringList{sizeMb});
        QCOMPARE(column(table, 3), QStringList{"0"});
        table->selectRow(0);
        click(list, "nextButton");
        QVERIFY(wizard_->currentPage() != list);
        QCOMPARE(list->selectedRecord()->startSector, 0);
        QCOMPARE(answers.texts, QStringList{});
    }

    void filterKeepsRecordsThatFollowTheirPredecessor() {
        QTemporaryDir dir;
        const QString disk = writeAdjacentPartitionsDisk(dir);
        startWizard(disk);
        click(wizard_->currentPage(), "nextButton");
        click(wizard_->currentPage(), "nextButton");
        auto* list = current<PopulateDriveDlg>();
        auto* table = child<QTableWidget>(list, "volumeList");
        QCOMPARE(column(table, 3), (QStringList{"2048", "2049", "4096"}));
        click(list, "filterEntriesButton");
        QCOMPARE(column(table, 0), QStringList{"G1"});
        QCOMPARE(column(table, 3), QStringList{"2049"});
    }

    void unknownVolumeIsRefused() {
        ModalAnswerer answers;
        auto* modes = openModes("gpt_disk.img");  // read as MBR: the protective entry
        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        auto* table = child<QTableWidget>(list, "volumeList");
        QCOMPARE(column(table, 1), QStringList{"Unknown"});
        table->selectRow(0);
        click(list, "nextButton");
        QCOMPARE(wizard_->currentPage(), list);
        QCOMPARE(answers.texts, QStringList{"can not parse unknown volume"});
    }

    void deepScanListsFindsAtTheTop() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        click(modes, "advanceScanRadio");
        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        QVERIFY(!child<QPushButton>(list, "nextButton")->isEnabled());
        QSignalSpy done(list, &PopulateDriveDlg::deepScanFinished);
        QVERIFY(done.count() == 1 || done.wait(60000));
        auto* table = child<QTableWidget>(list, "volumeList");
        // Rows go in at the top as found, so the last find leads.
        QCOMPARE(column(table, 0), (QStringList{"4", "3", "2", "1", "0"}));
        QCOMPARE(column(table, 3), (QStringList{"124928", "106496", "88064", "18432", "2048"}));
        QCOMPARE(answers.texts, QStringList{"populated partitions...."});
        QCOMPARE(child<QLabel>(list, "statusLine")->text(), QStringLiteral("Select volume and click next button..."));
        QVERIFY(child<QPushButton>(list, "nextButton")->isEnabled());
        QVERIFY(child<QPushButton>(list, "backButton")->isEnabled());
        QVERIFY(child<QPushButton>(list, "filterEntriesButton")->isEnabled());
        QVERIFY(child<QPushButton>(list, "addCustomVolumeButton")->isEnabled());
        QVERIFY(!child<QPushButton>(list, "stopButton")->isVisible());
        // Add Custom Volume in advance mode goes to the top.
        click(list, "addCustomVolumeButton");
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("G5"));
        QCOMPARE(table->currentRow(), 0);
    }

    // The deep scan stands still at its first check point until the page has pressed Stop
    // (and, in the second half, the close question has been answered).
    void stopDuringDeepScanAndCloseQuestion() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        click(modes, "advanceScanRadio");
        auto* list = new PopulateDriveDlg(*wizard_, modes, modes->request());
        wizard_->openNext(list);
        list->beforeDeepScanStarts = [](DeepPartitionScanJob& job) { job.pause(); };
        list->startScan();
        DeepPartitionScanJob* job = list->deepScanJob();
        QVERIFY(job && job->running());
        // The worker has cleared its stop request once it has set the progress range.
        auto* bar = child<QProgressBar>(list, "progressBar");
        QTRY_COMPARE(bar->maximum(), 1000);
        QVERIFY(!child<QPushButton>(list, "backButton")->isEnabled());
        screenshot(wizard_.get(), QStringLiteral("PopulateDriveDlg_deep_scan"));

        // The close question's No leaves the page and the scan as they were.
        wizard_->close();
        QCOMPARE(answers.texts, QStringList{"Do you want to Close Application ?"});
        QCOMPARE(quits_, 0);
        QCOMPARE(wizard_->currentPage(), list);
        QVERIFY(job->running());
        QCOMPARE(list->deepScanJob(), job);
        QCOMPARE(job->control().suspensions(), 1);

        // Enter and Esc on the busy page do nothing.
        QTest::keyClick(child<QPushButton>(list, "stopButton"), Qt::Key_Return);
        QTest::keyClick(child<QTableWidget>(list, "volumeList"), Qt::Key_Escape);
        QVERIFY(job->running());
        QCOMPARE(answers.texts.size(), 1);

        // Stop, then let the worker go: it ends at its first sector with nothing found.
        QSignalSpy done(list, &PopulateDriveDlg::deepScanFinished);
        click(list, "stopButton");
        QVERIFY(child<QPushButton>(list, "backButton")->isEnabled());
        job->resume();
        QVERIFY(done.wait(60000));
        QCOMPARE(child<QTableWidget>(list, "volumeList")->rowCount(), 0);
        QCOMPARE(answers.texts.last(), QStringLiteral("populated partitions...."));
        QVERIFY(child<QPushButton>(list, "nextButton")->isEnabled());
        QCOMPARE(list->deepScanJob(), nullptr);

        // Yes stops the workers and ends the application.
        answers.script(QMessageBox::Yes);
        wizard_->close();
        QCOMPARE(quits_, 1);
    }

    void yesStopsARunningDeepScan() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        click(modes, "advanceScanRadio");
        auto* list = new PopulateDriveDlg(*wizard_, modes, modes->request());
        wizard_->openNext(list);
        list->beforeDeepScanStarts = [](DeepPartitionScanJob& job) { job.pause(); };
        list->startScan();
        QTRY_COMPARE(child<QProgressBar>(list, "progressBar")->maximum(), 1000);
        QSignalSpy done(list, &PopulateDriveDlg::deepScanFinished);
        answers.script(QMessageBox::Yes);
        wizard_->close();
        QCOMPARE(quits_, 1);
        // The paused worker was let go and stopped at once.
        QVERIFY(done.wait(60000));
        QCOMPARE(child<QTableWidget>(list, "volumeList")->rowCount(), 0);
    }

    void enterAndEscDoNothing() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        const int pages = wizard_->pageCount();
        for (const char* name : {"nextButton", "backButton", "standardScanRadio", "startingSectorEdit"}) {
            auto* control = child<QWidget>(modes, name);
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) QTest::keyClick(control, key);
        }
        QTest::keyClick(wizard_.get(), Qt::Key_Escape);
        settle();
        QCOMPARE(wizard_->currentPage(), modes);
        QCOMPARE(wizard_->pageCount(), pages);
        QVERIFY(wizard_->isVisible());
        QVERIFY(answers.texts.isEmpty());
        // Space still presses the focused button: the keyboard road works.
        auto* next = child<QPushButton>(modes, "nextButton");
        next->setFocus();
        QTest::keyClick(next, Qt::Key_Space);
        QVERIFY(current<PopulateDriveDlg>());
    }

    // Enter on a Yes/No question answers its first button, Yes ("Do you want to Save
    // Deleted Files?" keeps the deleted files the user came for).
    // The disk road by keyboard and as an accessibility tool sees it: each page opens with
    // its first control focused, no Alt key is claimed twice, the mode choices are radio
    // buttons, value labels describe their value, and Tab leaves the volume list without
    // moving its selection.
    void diskRoadByKeyboardAndScreenReader() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        QVERIFY(modes->focusWidget() && modes->focusWidget() != modes);
        QVERIFY(modes->isAncestorOf(modes->focusWidget()));
        QCOMPARE(gui_test::sharedMnemonics(modes), QStringList{});
        for (const char* name : {"standardScanRadio", "advanceScanRadio"})
            QCOMPARE(gui_test::accessibleRole(child<QWidget>(modes, name)), QAccessible::RadioButton);
        QCOMPARE(gui_test::accessibleRole(child<QWidget>(modes, "gptFormatCheck")), QAccessible::CheckBox);
        auto* drive = child<QLabel>(modes, "selectedDriveValue");
        QCOMPARE(gui_test::accessibleText(drive, QAccessible::Name), QStringLiteral("Currently Selected Drive :"));
        QCOMPARE(gui_test::accessibleText(drive, QAccessible::Description), fixture("mbr_disk.img"));
        // Choosing by the keyboard still sets the one mode.
        click(modes, "advanceScanRadio");
        QVERIFY(child<QRadioButton>(modes, "advanceScanRadio")->isChecked());
        QVERIFY(!child<QRadioButton>(modes, "standardScanRadio")->isChecked());
        click(modes, "standardScanRadio");
        QVERIFY(child<QRadioButton>(modes, "standardScanRadio")->isChecked());
        QVERIFY(!child<QRadioButton>(modes, "advanceScanRadio")->isChecked());

        click(modes, "nextButton");
        auto* list = current<PopulateDriveDlg>();
        QVERIFY(list->focusWidget() && list->focusWidget() != list);
        QCOMPARE(gui_test::sharedMnemonics(list), QStringList{});
        auto* status = child<QLabel>(list, "statusLine");
        QCOMPARE(gui_test::accessibleText(status, QAccessible::Description),
                 QStringLiteral("Select volume and click next button..."));
        auto* table = child<QTableWidget>(list, "volumeList");
        QVERIFY(table->rowCount() > 1);
        table->setFocus();
        table->selectRow(0);
        QTest::keyClick(table, Qt::Key_Tab);
        QCOMPARE(table->currentRow(), 0);
        QVERIFY(list->focusWidget() != table);
        QCOMPARE(table->selectedItems().value(0)->text(), QStringLiteral("G0"));

        table->selectRow(0);
        QWidget* left = list->focusWidget();
        click(list, "nextButton");
        auto* recovery = current<ParceModeNtfsDlg>();
        QVERIFY(recovery);
        QCOMPARE(recovery->volume().startSector, 2048);
        QVERIFY(recovery->focusWidget() && recovery->focusWidget() != recovery);
        QCOMPARE(gui_test::sharedMnemonics(recovery), QStringList{});
        for (const char* name : {"standardRadio", "advancedRadio", "deepRadio"})
            QCOMPARE(gui_test::accessibleRole(child<QWidget>(recovery, name)), QAccessible::RadioButton);
        click(recovery, "deepRadio");
        QVERIFY(child<QRadioButton>(recovery, "deepRadio")->isChecked());
        QVERIFY(!child<QRadioButton>(recovery, "standardRadio")->isChecked());
        // Back gives the focus back to the control it was left from.
        click(recovery, "backButton");
        settle();
        QCOMPARE(wizard_->currentPage(), list);
        QCOMPARE(list->focusWidget(), left);
    }

    // The banner keeps its proportions in a wide window: the picture is the same at the
    // left, and the strip's own colour fills the rest.
    void bannerKeepsItsProportions() {
        HeaderBanner picture;
        picture.resize(760, 78);
        HeaderBanner wide;
        wide.resize(1920, 78);
        const QImage asDrawn = picture.grab().toImage();
        const QImage wideDrawn = wide.grab().toImage();
        QCOMPARE(wideDrawn.copy(0, 0, asDrawn.width(), asDrawn.height()), asDrawn);
        QCOMPARE(wideDrawn.pixelColor(wideDrawn.width() - 10, wideDrawn.height() / 2), QColor(0x1d, 0x3b, 0x5c));
    }

    // Every page of the disk road at the first-start size and at 1920 x 1080: each shown
    // control lies wholly inside the window, and a screenshot is left of each.
    void diskRoadPagesFitAtBothSizes() {
        ModalAnswerer answers;
        startWizard(fixture("mbr_disk.img"));
        const QList<QSize> sizes{Wizard::defaultSize(), QSize(1920, 1080)};
        auto shoot = [&](const QString& name) {
            for (const QSize& size : sizes) {
                wizard_->resize(size);
                QCoreApplication::processEvents();
                WizardPage* page = wizard_->currentPage();
                for (QWidget* w : page->findChildren<QWidget*>()) {
                    if (!w->isVisibleTo(page) || !(qobject_cast<QAbstractButton*>(w) || qobject_cast<QLabel*>(w) ||
                                                   qobject_cast<QAbstractItemView*>(w) || qobject_cast<QLineEdit*>(w)))
                        continue;
                    if (qobject_cast<QAbstractItemView*>(w->parentWidget()) || w->objectName().startsWith(QLatin1String("qt_")))
                        continue;
                    const QRect at(w->mapTo(page, QPoint(0, 0)), w->size());
                    QVERIFY2(page->rect().contains(at), qPrintable(QStringLiteral("%1 %2 outside %3 at %4x%5")
                                                                       .arg(name, w->objectName(), page->objectName())
                                                                       .arg(size.width()).arg(size.height())));
                }
                screenshot(wizard_.get(), QStringLiteral("%1_%2x%3").arg(name).arg(size.width()).arg(size.height()));
            }
        };
        shoot(QStringLiteral("Physical_DriveDialog"));
        click(wizard_->currentPage(), "nextButton");
        shoot(QStringLiteral("DriveParsingModes"));
        click(wizard_->currentPage(), "nextButton");
        auto* list = current<PopulateDriveDlg>();
        child<QTableWidget>(list, "volumeList")->selectRow(0);
        shoot(QStringLiteral("PopulateDriveDlg"));
        click(list, "nextButton");
        QVERIFY(current<ParceModeNtfsDlg>());
        shoot(QStringLiteral("ParceModeNtfsDlg"));
    }

    void enterOnAQuestionAnswersYes() {
        QWidget owner;
        owner.show();
        QtPrompt prompt(&owner);
        QString defaultText;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            if (box->defaultButton()) defaultText = box->defaultButton()->text();
            QTest::keyClick(box, Qt::Key_Return);
        });
        QVERIFY(prompt.question(u"Do you want to Save Deleted Files?"));
        QCOMPARE(defaultText, QMessageBox(QMessageBox::Question, {}, {}, QMessageBox::Yes).button(QMessageBox::Yes)->text());
    }

    void helpMenuOpensHelpWebpageAndAbout() {
        static QList<QUrl> opened;
        opened.clear();
        setExternalUrlOpener([](const QUrl& url) { opened << url; });
        ModalAnswerer answers;
        bool aboutShown = false;
        answers.onDialog = [&](QDialog* dialog) {
            if (!qobject_cast<CQuorvaneAboutDlg*>(dialog)) return;
            aboutShown = true;
            // Esc does not close the about dialog either.
            QTest::keyClick(dialog, Qt::Key_Escape);
            QVERIFY(dialog->isVisible());
            screenshot(dialog, QStringLiteral("CQuorvaneAboutDlg"));
        };
        startWizard();
        QMenu* menu = wizard_->currentPage()->helpButton()->menu();
        QVERIFY(menu);
        QStringList texts;
        for (QAction* action : menu->actions()) texts << action->text();
        QCOMPARE(texts, (QStringList{"Help", "About", "Software Webpage"}));
        menu->actions()[0]->trigger();
        menu->actions()[2]->trigger();
        menu->actions()[1]->trigger();
        QVERIFY(aboutShown);
        QCOMPARE(opened.size(), 2);
        QVERIFY(opened[0].isLocalFile());
        QVERIFY2(QFile::exists(opened[0].toLocalFile()), qPrintable(opened[0].toString()));
        QCOMPARE(opened[1], softwareWebpageUrl());
        setExternalUrlOpener(nullptr);
    }

    void aboutDialogLinks() {
        static QList<QUrl> opened;
        opened.clear();
        setExternalUrlOpener([](const QUrl& url) { opened << url; });
        CQuorvaneAboutDlg dialog;
        for (const char* name : {"companyWebsiteButton", "supportMailButton", "salesMailButton"})
            child<QPushButton>(&dialog, name)->click();
        QCOMPARE(opened, (QList<QUrl>{CQuorvaneAboutDlg::companyWebsite(), CQuorvaneAboutDlg::supportMail(),
                                      CQuorvaneAboutDlg::salesMail()}));
        QCOMPARE(child<QPushButton>(&dialog, "supportMailButton")->toolTip(), QStringLiteral("Support email address"));
        QCOMPARE(child<QLabel>(&dialog, "aboutTitle")->text(), QStringLiteral("Quorvane Dravonel(Full)"));
        setExternalUrlOpener(nullptr);
    }

    void singleInstanceRefusesASecondAndTakesOverAStaleLock() {
        QTemporaryDir dir;
        {
            SingleInstance first(dir.path());
            QVERIFY(first.acquired());
            SingleInstance second(dir.path());
            QVERIFY(!second.acquired());
        }
        // A lock left by a process that is gone (a crash) does not block the next start.
        const pid_t child = fork();
        if (child == 0) _exit(0);
        QVERIFY(child > 0);
        waitpid(child, nullptr, 0);
        QString path;
        QList<QByteArray> lines;
        {
            SingleInstance probe(dir.path());  // to learn the lock's path and contents
            path = probe.lockPath();
            QVERIFY(probe.acquired());
            QFile held(path);
            QVERIFY(held.open(QIODevice::ReadOnly));
            lines = held.readAll().split('\n');
        }
        QVERIFY(!QFile::exists(path));
        // The same lock again, as the dead process left it.
        lines[0] = QByteArray::number(child);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(lines.join('\n'));
        file.close();
        SingleInstance afterCrash(dir.path());
        QVERIFY(afterCrash.acquired());
    }

    void everyControlHasAnAccessibleName() {
        ModalAnswerer answers;
        auto* modes = openModes("mbr_disk.img");
        click(modes, "nextButton");
        for (WizardPage* page : wizard_->pages()) {
            for (QWidget* w : page->findChildren<QWidget*>()) {
                const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                                     qobject_cast<QComboBox*>(w) || qobject_cast<QAbstractItemView*>(w) ||
                                     qobject_cast<QAbstractSpinBox*>(w);
                if (!control || w->objectName().startsWith(QLatin1String("qt_")) || !w->parentWidget() ||
                    qobject_cast<QAbstractSpinBox*>(w->parentWidget()) || qobject_cast<QComboBox*>(w->parentWidget()))
                    continue;
                if (qobject_cast<QAbstractItemView*>(w->parentWidget()) || w->inherits("QHeaderView")) continue;
                QVERIFY2(!w->accessibleName().isEmpty(),
                         qPrintable(QStringLiteral("%1 %2 on %3").arg(w->metaObject()->className(), w->objectName(),
                                                                      page->objectName())));
            }
        }
    }
};

QTEST_MAIN(WizardPagesTest)
#include "wizard_pages_qtest.moc"
