// The scan page, the raw recovery page and the signature settings dialog, driven as a user
// would over the fixture images with the real core underneath: scans to saved files whose
// bytes match the fixture manifests, Pause / Resume / Stop, search, the file list's boxes
// and the output-folder checks.
#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <deque>
#include <functional>

#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/raw/signature_record.h"
#include "core/scan/volume_scan.h"
#include "gui/check_list_ctrl.h"
#include "gui/file_preview.h"
#include "gui/page_hooks.h"
#include "gui/pages/drive_parsing_modes.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/pages/physical_drive_dialog.h"
#include "gui/pages/populate_drive_dlg.h"
#include "gui/pages/raw_recovery_dialog.h"
#include "gui/pages/raw_setting_dlg.h"
#include "gui/pages/volume_scan_dlg.h"
#include "gui/save_report_dialog.h"
#include "gui/save_safety.h"
#include "gui/tri_state_tree_view.h"
#include "gui/wizard.h"
#include "gui_test_support.h"

using namespace dravonel;

namespace {

using gui_test::fixture;
using gui_test::screenshot;

// Answers the message boxes that open while a test runs: each question gets the next
// scripted answer (Yes when the script is empty), messages get Ok; every text is recorded.
class ModalAnswerer : public QObject {
public:
    ModalAnswerer() {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }
    void script(bool yes) { answers_.push_back(yes); }
    QStringList texts;
    QStringList questions;
    // Called with a question's text while its box is still open, before it is answered.
    std::function<void(const QString&)> beforeAnswer;

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            texts << box->text();
            if (box->standardButtons().testFlag(QMessageBox::Yes)) {
                questions << box->text();
                if (beforeAnswer) beforeAnswer(box->text());
                bool yes = true;
                if (!answers_.empty()) {
                    yes = answers_.front();
                    answers_.pop_front();
                }
                box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
            } else {
                box->button(QMessageBox::Ok)->click();
            }
        }
    }
    QTimer timer_;
    std::deque<bool> answers_;
};

// Stands in for the volume list: the page that hands its selected record on.
class RecordPage : public WizardPage {
public:
    RecordPage(Wizard& wizard, VolumeRecord record)
        : WizardPage(wizard, kTemplateVolumeList, nullptr), record_(std::move(record)) {}
    const VolumeRecord* selectedRecord() const override { return &record_; }

private:
    VolumeRecord record_;
};

VolumeRecord ntfsRecord(std::int64_t startSector, const char* sizeMb) {
    VolumeRecord r;
    r.fileSystem = u"NTFS";
    r.name = u"G0";
    r.sizeMbText = fromUtf8(sizeMb);
    r.startSector = startSector;
    return r;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The wizard with the reader open on an image and the road up to the recovery-mode page.
struct Road {
    Wizard wizard;
    ModalAnswerer answers;
    RecordPage* volumeList = nullptr;
    ParceModeNtfsDlg* modes = nullptr;

    Road(const QString& image, const VolumeRecord& record) {
        wizard.onQuit = [] {};
        wizard.resize(1100, 720);
        wizard.state().freshReader().open(image.toStdString());
        volumeList = new RecordPage(wizard, record);
        wizard.start(volumeList);
        modes = new ParceModeNtfsDlg(wizard, volumeList);
        wizard.openNext(modes);
        wizard.show();
    }
    // Next on the recovery-mode page (Standard) opens the scan page and starts its worker.
    VolumeScanDlg* next() {
        modes->next();
        return qobject_cast<VolumeScanDlg*>(wizard.currentPage());
    }
};

bool waitWorker(VolumeScanDlg* page, int ms = 60000) {
    if (!page->workerRunning()) return true;
    QSignalSpy done(page, &VolumeScanDlg::workerFinished);
    return done.wait(ms);
}

QModelIndex findRow(TriStateTreeModel* model, const QModelIndex& parent, const QString& text) {
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex i = model->index(r, 0, parent);
        if (i.data().toString() == text) return i;
    }
    return {};
}

}  // namespace

class ScanPagesTest : public QObject {
    Q_OBJECT
private slots:
    void driveRoadToSavedDemoFiles();
    void standardRoadSavesTheManifestFiles();
    void demoDiskFolderListSearchAndQuickSave();
    void fileListFollowsTheTreeAndShowsDeletedFilesRed();
    void scanPageByKeyboardAndScreenReader();
    void everyFileListColumnFitsAtTheDefaultSize();
    void previewPaneShowsPicturesTextAndBytes();
    void previewOfTheSelectedFileOnTheScanPage();
    void outputFolderOnTheSourceIsAskedFirst();
    void stopDuringTheVolumeScan();
    void rootAndTheParsersOpenFoldersAreShownOpen_data();
    void rootAndTheParsersOpenFoldersAreShownOpen();
    void saveOfAHalfImageReportsItsDamagedFiles();
    void stopDuringTheSaveShowsTheCountsSoFar();
    void pauseTwiceNeedsTwoResumes();
    void rawRecoveryCarvesAndSavesTheFixtureFiles();
    void signatureSettingsAppendRecords();
};

// The whole road with the mouse: drive page (the demo image) -> scan mode -> volume list ->
// recovery mode -> scan page -> Save, where a folder beside the image is refused first.
void ScanPagesTest::driveRoadToSavedDemoFiles() {
    QTemporaryDir sys;
    QDir(sys.path()).mkpath(QStringLiteral("block"));
    QFile(sys.filePath(QStringLiteral("mountinfo"))).open(QIODevice::WriteOnly);
    DriveListRoots roots;
    roots.sysBlock = sys.filePath(QStringLiteral("block")).toStdString();
    roots.mountInfo = sys.filePath(QStringLiteral("mountinfo")).toStdString();
    roots.volumeBytes = [](const std::string&) -> std::int64_t { return 0; };
    roots.bootSector = [](const std::string&) { return std::vector<std::uint8_t>(); };
    Wizard wizard;
    wizard.onQuit = [] {};
    wizard.resize(1100, 720);
    ModalAnswerer answers;
    wizard.start(new Physical_DriveDialog(wizard, fixture("demo_disk.img"), roots));
    wizard.show();
    auto nextOn = [&] {
        auto* next = wizard.currentPage()->findChild<QAbstractButton*>("nextButton");
        QVERIFY(next && next->isEnabled());
        QTest::mouseClick(next, Qt::LeftButton);
    };
    nextOn();
    QVERIFY(qobject_cast<DriveParsingModes*>(wizard.currentPage()));
    nextOn();
    auto* list = qobject_cast<PopulateDriveDlg*>(wizard.currentPage());
    QVERIFY(list);
    list->findChild<QTableWidget*>("volumeList")->selectRow(0);
    nextOn();
    QVERIFY(qobject_cast<ParceModeNtfsDlg*>(wizard.currentPage()));
    nextOn();
    auto* page = qobject_cast<VolumeScanDlg*>(wizard.currentPage());
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    QVERIFY(page->scan() && page->scan()->volume());

    // Every control of the page is named for screen readers.
    for (QWidget* w : page->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                             qobject_cast<QAbstractItemView*>(w);
        if (!control || w->objectName().startsWith(QLatin1String("qt_")) ||
            qobject_cast<QAbstractItemView*>(w->parentWidget()))
            continue;
        QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
    }

    // The folder that holds the image is warned of first, and No writes nothing.
    const QString imageFolder = QFileInfo(fixture("demo_disk.img")).absolutePath();
    const QStringList before = QDir(imageFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    page->chooseFolder = [&] { return imageFolder; };
    answers.script(false);
    QTest::mouseClick(page->findChild<QAbstractButton*>("saveButton"), Qt::LeftButton);
    QCOMPARE(answers.questions.size(), 1);
    QVERIFY(answers.questions[0].contains(QStringLiteral("drive that is being recovered")));
    QCOMPARE(QDir(imageFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);

    // Any other folder is not asked about, wherever it lies on the host.
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    answers.script(false);  // "Do you want to Save Deleted Files?": No
    QTest::mouseClick(page->findChild<QAbstractButton*>("saveButton"), Qt::LeftButton);
    QVERIFY(waitWorker(page));
    QCOMPARE(answers.questions.size(), 2);
    QCOMPARE(answers.questions.last(), QStringLiteral("Do you want to Save Deleted Files?"));
    QCOMPARE(fileBytes(out.path() + QStringLiteral("/Documents/Letters/letter.txt")),
             QByteArray("Dear reader,\nthis letter was recovered by Quorvane Dravonel.\n"));
    QCOMPARE(fileBytes(out.path() + QStringLiteral("/Documents/notes.txt")), QByteArray("shopping list: bread, milk\n"));
    QCOMPARE(QFileInfo(out.path() + QStringLiteral("/Pictures/holiday.raw")).size(), qint64(300000));
    QVERIFY(!QFile::exists(out.path() + QStringLiteral("/Documents/deleted-report.txt")));
}

void ScanPagesTest::standardRoadSavesTheManifestFiles() {
    QFile manifestFile(fixture("ntfs_fixtures.json"));
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonArray files = QJsonDocument::fromJson(manifestFile.readAll()).object()["ntfs_basic.img"].toObject()["files"].toArray();
    QVERIFY(!files.isEmpty());

    Road road(fixture("ntfs_basic.img"), ntfsRecord(0, "16"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    QVERIFY(road.answers.texts.contains(QString::fromUtf16(kScanDoneText)));
    QCOMPARE(page->statusText(), QString::fromUtf16(kScanDoneText));
    QVERIFY(page->findChild<QAbstractButton*>("backButton")->isEnabled());
    QVERIFY(!page->findChild<QWidget*>("stopButton")->isVisible());

    // Tick the root item as a click on its box would, then Save into a fresh folder.
    TriStateTreeModel* model = page->treeView()->treeModel();
    const QModelIndex root = model->index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("ROOT"));
    QVERIFY(model->setData(root, Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    road.answers.script(true);  // "Do you want to Save Deleted Files?"
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(road.answers.questions.contains(QStringLiteral("Do you want to Save Deleted Files?")));
    QVERIFY(road.answers.texts.contains(QStringLiteral("work done.....")));
    QCOMPARE(page->statusText(), QStringLiteral("Saving Completed.."));

    int compared = 0;
    for (const auto& v : files) {
        const QJsonObject f = v.toObject();
        const QString path = f["path"].toString();
        if (f["folder"].toBool() || path.startsWith(QStringLiteral("links/"))) continue;
        const QByteArray bytes = fileBytes(out.path() + QLatin1Char('/') + path);
        QCOMPARE(bytes.size(), qsizetype(f["size"].toInteger()));
        QCOMPARE(sha256(bytes), f["sha256"].toString());
        ++compared;
    }
    QVERIFY(compared >= 3);
    QVERIFY(!QFile::exists(out.path() + QStringLiteral("/$BadClus")));
    QVERIFY(!QFile::exists(out.path() + QStringLiteral("/ROOT")));
}

void ScanPagesTest::demoDiskFolderListSearchAndQuickSave() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    TriStateTreeView* view = page->treeView();
    const QModelIndex root = model->index(0, 0);
    // The scan leaves everything ticked; start from nothing ticked.
    QCOMPARE(root.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QVERIFY(model->setData(root, Qt::Unchecked, Qt::CheckStateRole));
    view->expand(root);
    const QModelIndex documents = findRow(model, root, QStringLiteral("Documents"));
    QVERIFY(documents.isValid());
    // Not expanded yet: the placeholder stands for the children; expanding puts them in.
    QCOMPARE(model->rowCount(documents), 1);
    QCOMPARE(model->index(0, 0, documents).data().toString(), QStringLiteral("..DUMY.."));
    view->expand(documents);
    QVERIFY(findRow(model, documents, QStringLiteral("Letters")).isValid());
    const QModelIndex notes = findRow(model, documents, QStringLiteral("notes.txt"));
    QVERIFY(notes.isValid());
    QVERIFY(findRow(model, documents, QStringLiteral("..DUMY..")) == QModelIndex());
    // The deleted file is red.
    const QModelIndex deleted = findRow(model, documents, QStringLiteral("deleted-report.txt"));
    QVERIFY(deleted.isValid());
    QCOMPARE(deleted.data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    QVERIFY(!notes.data(Qt::ForegroundRole).isValid());

    // A click on the folder's label lists its files (not its sub-folder).
    const QRect label = view->visualRect(documents);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, label.center() + QPoint(label.width() / 4, 0));
    CCheckListCtrl* list = page->fileList();
    QCOMPARE(list->topLevelItemCount(), 2);
    QStringList names;
    for (int i = 0; i < 2; ++i) names << list->topLevelItem(i)->text(0);
    QVERIFY(names.contains(QStringLiteral("notes.txt")));
    QVERIFY(!names.contains(QStringLiteral("Letters")));
    QVERIFY(!list->topLevelItem(0)->text(4).isEmpty());  // the size column
    // A row's box mirrors into the tree; the header box ticks every row but not the tree.
    const int notesRow = names.indexOf(QStringLiteral("notes.txt"));
    list->clickRowCheck(notesRow);
    QCOMPARE(notes.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(documents.data(Qt::CheckStateRole).toInt(), int(Qt::PartiallyChecked));
    QVERIFY(!list->checkHeader()->isChecked());
    list->clickRowCheck(1 - notesRow);
    QVERIFY(list->checkHeader()->isChecked());  // every row ticked
    list->clickRowCheck(1 - notesRow);
    emit list->checkHeader()->toggled(true);
    QCOMPARE(list->topLevelItem(1 - notesRow)->checkState(0), Qt::Checked);
    QCOMPARE(deleted.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    screenshot(&road.wizard, QStringLiteral("scan_page"));

    // Search finds a file in a folder never opened, with its whole path.
    page->findChild<QLineEdit*>("searchPattern")->setText(QStringLiteral("LETTER"));
    page->findChild<QAbstractButton*>("searchButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(road.answers.texts.contains(QStringLiteral("Searching Finished")));
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("ROOT/Documents/Letters/letter.txt"));
    // A hit's box changes only the row.
    list->clickRowCheck(0);
    QVERIFY(list->rows().rows[0].checked);
    screenshot(&road.wizard, QStringLiteral("scan_page_search"));
    // An invalid pattern says so.
    page->findChild<QLineEdit*>("searchPattern")->setText(QStringLiteral("*.jpg"));
    page->findChild<QAbstractButton*>("searchButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(road.answers.texts.contains(
        QStringLiteral("such characters are not allowed for search.Try again with different pattern.")));

    // A double click on a file saves it at once into the folder chosen then.
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    const QRect notesRect = view->visualRect(notes);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, notesRect.center() + QPoint(notesRect.width() / 4, 0));
    QVERIFY(waitWorker(page));
    QCOMPARE(fileBytes(out.path() + QStringLiteral("/notes.txt")), QByteArray("shopping list: bread, milk\n"));
}

void ScanPagesTest::fileListFollowsTheTreeAndShowsDeletedFilesRed() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    TriStateTreeView* view = page->treeView();
    const QModelIndex root = model->index(0, 0);
    view->expand(root);
    const QModelIndex documents = findRow(model, root, QStringLiteral("Documents"));
    QVERIFY(documents.isValid());
    view->expand(documents);
    const QModelIndex notes = findRow(model, documents, QStringLiteral("notes.txt"));
    QVERIFY(notes.isValid());
    const QRect label = view->visualRect(documents);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, label.center() + QPoint(label.width() / 4, 0));
    CCheckListCtrl* list = page->fileList();
    QCOMPARE(list->topLevelItemCount(), 2);
    QTreeWidgetItem* notesRow = list->findItems(QStringLiteral("notes.txt"), Qt::MatchExactly).value(0);
    QTreeWidgetItem* deletedRow = list->findItems(QStringLiteral("deleted-report.txt"), Qt::MatchExactly).value(0);
    QVERIFY(notesRow && deletedRow);

    // The deleted file is red in every column, the live one is not.
    for (int c = 0; c < list->columnCount(); ++c) {
        QCOMPARE(deletedRow->foreground(c).color(), QColor(Qt::red));
        QVERIFY(deletedRow->foreground(c).style() != Qt::NoBrush);
        QCOMPARE(notesRow->foreground(c).style(), Qt::NoBrush);
    }
    // The rows come in as the tree has them (the scan ticks everything).
    QCOMPARE(notesRow->checkState(0), Qt::Checked);
    QCOMPARE(deletedRow->checkState(0), Qt::Checked);
    QVERIFY(list->checkHeader()->isChecked());

    // Ticks in the tree, on the file or passed down from its folder, show on the rows.
    QVERIFY(model->setData(notes, Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(notesRow->checkState(0), Qt::Unchecked);
    QCOMPARE(deletedRow->checkState(0), Qt::Checked);
    QVERIFY(!list->checkHeader()->isChecked());
    QVERIFY(model->setData(documents, Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(notesRow->checkState(0), Qt::Checked);
    QVERIFY(list->checkHeader()->isChecked());
    QVERIFY(model->setData(root, Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(notesRow->checkState(0), Qt::Unchecked);
    QCOMPARE(deletedRow->checkState(0), Qt::Unchecked);
    QVERIFY(!list->rows().anyChecked());
    // And back: a row's box ticks the tree, which leaves the other row as it was.
    list->clickRowCheck(list->indexOfTopLevelItem(notesRow));
    QCOMPARE(notes.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(notesRow->checkState(0), Qt::Checked);
    QCOMPARE(deletedRow->checkState(0), Qt::Unchecked);
    QVERIFY(!list->checkHeader()->isChecked());
    list->clickRowCheck(list->indexOfTopLevelItem(deletedRow));
    QVERIFY(list->checkHeader()->isChecked());

    // Dragging the first column's edge resizes it and ticks nothing.
    list->clickRowCheck(list->indexOfTopLevelItem(deletedRow));
    CCheckHeadCtrl* header = list->checkHeader();
    const int width = header->sectionSize(0);
    const QPoint edge(header->sectionViewportPosition(0) + width - 1, header->height() / 2);
    QWidget* grip = header->viewport();
    QMouseEvent press(QEvent::MouseButtonPress, edge, grip->mapToGlobal(edge), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(grip, &press);
    const QPoint to = edge + QPoint(80, 0);
    QMouseEvent move(QEvent::MouseMove, to, grip->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(grip, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, grip->mapToGlobal(to), Qt::LeftButton, Qt::NoButton, {});
    QApplication::sendEvent(grip, &release);
    QVERIFY2(header->sectionSize(0) > width + 40, qPrintable(QString::number(header->sectionSize(0))));
    QVERIFY(!header->isChecked());
    QCOMPARE(deletedRow->checkState(0), Qt::Unchecked);
    QCOMPARE(notesRow->checkState(0), Qt::Checked);
    // A click inside the section still ticks every row.
    QTest::mouseClick(grip, Qt::LeftButton, {}, QPoint(header->sectionViewportPosition(0) + 8, header->height() / 2));
    QVERIFY(header->isChecked());
    QCOMPARE(deletedRow->checkState(0), Qt::Checked);

    // Search hits are red when their file is deleted.
    page->findChild<QLineEdit*>("searchPattern")->setText(QStringLiteral("REPORT|NOTES"));
    page->findChild<QAbstractButton*>("searchButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(list->topLevelItemCount() >= 2);
    int red = 0;
    for (int r = 0; r < list->topLevelItemCount(); ++r) {
        QTreeWidgetItem* hit = list->topLevelItem(r);
        const bool deleted = hit->text(0).endsWith(QStringLiteral("/deleted-report.txt"));
        QCOMPARE(hit->foreground(0).style() != Qt::NoBrush, deleted);
        red += deleted ? 1 : 0;
    }
    QCOMPARE(red, 1);
}

// The scan page without a mouse: one Alt key per control, value labels described, Space on
// the header's box ticks every row, Enter on a row or a tree item saves that file at once.
void ScanPagesTest::scanPageByKeyboardAndScreenReader() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    QCOMPARE(gui_test::sharedMnemonics(page), QStringList{});
    QVERIFY(page->focusWidget() && page->focusWidget() != page);
    auto* status = page->findChild<QLabel*>("statusLine");
    QVERIFY(!status->text().isEmpty());
    QCOMPARE(gui_test::accessibleText(status, QAccessible::Name), QStringLiteral("Status"));
    QCOMPARE(gui_test::accessibleText(status, QAccessible::Description), status->text());
    auto* clock = page->findChild<QLabel*>("scanClock");
    QCOMPARE(gui_test::accessibleText(clock, QAccessible::Description), clock->text());

    TriStateTreeModel* model = page->treeView()->treeModel();
    TriStateTreeView* view = page->treeView();
    const QModelIndex root = model->index(0, 0);
    QVERIFY(model->setData(root, Qt::Unchecked, Qt::CheckStateRole));
    const QModelIndex documents = findRow(model, root, QStringLiteral("Documents"));
    QVERIFY(documents.isValid());
    // Moving onto the folder with the keyboard lists its files.
    view->setFocus();
    view->setCurrentIndex(root);
    for (int i = 0; i < 20 && view->currentIndex() != documents; ++i) QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(view->currentIndex(), documents);
    CCheckListCtrl* list = page->fileList();
    QCOMPARE(list->topLevelItemCount(), 2);
    // Space on the header's box ticks every row, again clears them.
    CCheckHeadCtrl* header = list->checkHeader();
    QVERIFY(header->focusPolicy() & Qt::TabFocus);
    header->setFocus();
    QTest::keyClick(header, Qt::Key_Space);
    QVERIFY(header->isChecked());
    QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Checked);
    QCOMPARE(list->topLevelItem(1)->checkState(0), Qt::Checked);
    QTest::keyClick(header, Qt::Key_Space);
    QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Unchecked);

    // Enter on a row saves that file.
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    QTreeWidgetItem* notesRow = list->findItems(QStringLiteral("notes.txt"), Qt::MatchExactly).value(0);
    QVERIFY(notesRow);
    list->setFocus();
    list->setCurrentItem(notesRow);
    QTest::keyClick(list, Qt::Key_Return);
    QVERIFY(waitWorker(page));
    QCOMPARE(fileBytes(out.path() + QStringLiteral("/notes.txt")), QByteArray("shopping list: bread, milk\n"));
    // And Enter on a file in the tree.
    view->expand(documents);
    const QModelIndex report = findRow(model, documents, QStringLiteral("deleted-report.txt"));
    QVERIFY(report.isValid());
    view->setFocus();
    view->setCurrentIndex(report);
    QTest::keyClick(view, Qt::Key_Enter);
    QVERIFY(waitWorker(page));
    QVERIFY(QFile::exists(out.path() + QStringLiteral("/deleted-report.txt")));
}

// At the window's first-start size the file list shows all six columns, each wide enough
// for its texts; screenshots at that size and at 1920 x 1080.
void ScanPagesTest::everyFileListColumnFitsAtTheDefaultSize() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    road.wizard.resize(Wizard::defaultSize());
    QCoreApplication::processEvents();
    TriStateTreeModel* model = page->treeView()->treeModel();
    const QModelIndex documents = findRow(model, model->index(0, 0), QStringLiteral("Documents"));
    QVERIFY(documents.isValid());
    page->labelClicked(model->itemOf(documents));
    CCheckListCtrl* list = page->fileList();
    QVERIFY(list->topLevelItemCount() > 0);
    QHeaderView* header = list->header();
    const QFontMetrics fm(list->font());
    QCOMPARE(header->count(), 6);
    for (int c = 0; c < header->count(); ++c) {
        const QString heading = list->headerItem()->text(c);
        QVERIFY2(header->sectionViewportPosition(c) + header->sectionSize(c) <= list->viewport()->width(),
                 qPrintable(QStringLiteral("%1 ends at %2 of %3").arg(heading).arg(header->sectionViewportPosition(c) + header->sectionSize(c)).arg(list->viewport()->width())));
        QVERIFY2(fm.horizontalAdvance(heading) < header->sectionSize(c), qPrintable(heading));
        for (int r = 0; c > 0 && r < list->topLevelItemCount(); ++r)
            QVERIFY2(fm.horizontalAdvance(list->topLevelItem(r)->text(c)) < header->sectionSize(c),
                     qPrintable(list->topLevelItem(r)->text(c)));
    }
    QVERIFY(page->treeView()->width() >= 200);
    screenshot(&road.wizard, QStringLiteral("scan_page_default_size"));
    road.wizard.resize(1920, 1080);
    QCoreApplication::processEvents();
    screenshot(&road.wizard, QStringLiteral("scan_page_1920x1080"));
}

// The pane by itself: what the reader delivers decides how it is shown; a cap, damage
// and a cancelled read are said or leave nothing behind.
void ScanPagesTest::previewPaneShowsPicturesTextAndBytes() {
    PreviewPane pane;
    pane.resize(400, 300);
    pane.show();
    QSignalSpy shown(&pane, &PreviewPane::shown);
    auto showOf = [&](const QString& name, std::function<void(EntryWriter&)> read) {
        const int before = static_cast<int>(shown.count());
        pane.preview(name, std::move(read));
        return shown.count() > before || shown.wait(10000);
    };
    auto bytesOf = [](QByteArray bytes) {
        return [bytes](EntryWriter& out) { out.write(reinterpret_cast<const std::uint8_t*>(bytes.constData()), bytes.size()); };
    };
    // A picture, scaled to fit and keeping its proportions.
    QImage image(800, 200, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));
    QVERIFY(showOf(QStringLiteral("photo.png"), bytesOf(png)));
    QCOMPARE(pane.shownKind(), QStringLiteral("image"));
    const QPixmap scaled = pane.picture()->pixmap();
    QVERIFY(scaled.width() <= pane.width() && scaled.width() > 100);
    QCOMPARE(scaled.width() / scaled.height(), 4);
    QCOMPARE(pane.note(), QStringLiteral("photo.png"));
    // Text as text.
    QVERIFY(showOf(QStringLiteral("notes.txt"), bytesOf(QByteArray("shopping list: bread, milk\n"))));
    QCOMPARE(pane.shownKind(), QStringLiteral("text"));
    QCOMPARE(pane.text()->toPlainText(), QStringLiteral("shopping list: bread, milk\n"));
    // Anything else as its first bytes in hex.
    QVERIFY(showOf(QStringLiteral("data.bin"), bytesOf(QByteArray::fromHex("00ff1041"))));
    QCOMPARE(pane.shownKind(), QStringLiteral("hex"));
    QVERIFY(pane.text()->toPlainText().startsWith(QStringLiteral("00000000  00 ff 10 41 ")));
    QVERIFY(pane.text()->toPlainText().contains(QStringLiteral("...A")));
    // Damaged data: shown as read, and said.
    QVERIFY(showOf(QStringLiteral("torn.txt"), [](EntryWriter& out) {
        out.write(reinterpret_cast<const std::uint8_t*>("first half"), 10);
        out.writeUnreadable(4);
    }));
    QVERIFY(pane.note().contains(QStringLiteral("could not be read")));
    // A file beyond the cap: the first 16 MiB, and the reader is told to stop there.
    bool stoppedAtCap = false;
    QVERIFY(showOf(QStringLiteral("huge.bin"), [&](EntryWriter& out) {
        std::vector<std::uint8_t> block(1 << 20, 0x5a);
        for (int i = 0; i < 64; ++i)
            if (!out.write(block.data(), block.size())) {
                stoppedAtCap = true;
                break;
            }
    }));
    QVERIFY(stoppedAtCap);
    QVERIFY(pane.note().contains(QStringLiteral("the first 16 MiB")));
    // A read cancelled by the next selection leaves only the next file shown.
    std::atomic<bool> refused{false};
    pane.preview(QStringLiteral("slow.bin"), [&](EntryWriter& out) {
        const std::uint8_t byte = 1;
        while (out.write(&byte, 1)) QThread::usleep(50);
        refused = true;
    });
    QVERIFY(showOf(QStringLiteral("next.txt"), bytesOf(QByteArray("next\n"))));
    QVERIFY(refused.load());
    QCOMPARE(pane.text()->toPlainText(), QStringLiteral("next\n"));
    QCOMPARE(pane.note(), QStringLiteral("next.txt"));
}

// On the scan page the list's selected file is read as a save reads it and shown.
void ScanPagesTest::previewOfTheSelectedFileOnTheScanPage() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    const QModelIndex documents = findRow(model, model->index(0, 0), QStringLiteral("Documents"));
    page->labelClicked(model->itemOf(documents));
    CCheckListCtrl* list = page->fileList();
    PreviewPane* pane = page->preview();
    QSignalSpy shown(pane, &PreviewPane::shown);
    list->setCurrentItem(list->findItems(QStringLiteral("notes.txt"), Qt::MatchExactly).value(0));
    QVERIFY(shown.count() == 1 || shown.wait(10000));
    QCOMPARE(pane->shownKind(), QStringLiteral("text"));
    QCOMPARE(pane->text()->toPlainText(), QStringLiteral("shopping list: bread, milk\n"));
    // A deleted file previews too.
    list->setCurrentItem(list->findItems(QStringLiteral("deleted-report.txt"), Qt::MatchExactly).value(0));
    QVERIFY(shown.count() == 2 || shown.wait(10000));
    QCOMPARE(pane->note(), QStringLiteral("deleted-report.txt"));
    QVERIFY(pane->shownKind() != QStringLiteral("none"));
    screenshot(&road.wizard, QStringLiteral("scan_page_preview"));
    // A save starts only after the preview has let the parser go; nothing is shown then.
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    list->clickRowCheck(0);
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(!pane->reading());
}

void ScanPagesTest::outputFolderOnTheSourceIsAskedFirst() {
    Road road(fixture("demo_disk.img"), ntfsRecord(2048, "22"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    // A folder that holds the image, directly or further up: No writes nothing and asks
    // nothing more.
    const QString imageFolder = QFileInfo(fixture("demo_disk.img")).absolutePath();
    for (const QString& holder : {imageFolder, QFileInfo(imageFolder).absolutePath()}) {
        const QStringList before = QDir(holder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        page->chooseFolder = [&] { return holder; };
        road.answers.questions.clear();
        road.answers.script(false);
        page->findChild<QAbstractButton*>("saveButton")->click();
        QCOMPARE(road.answers.questions.size(), 1);
        QVERIFY(road.answers.questions[0].contains(QStringLiteral("drive that is being recovered")));
        QVERIFY(!page->workerRunning());
        QCOMPARE(QDir(holder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    }
    // A folder beside the image, on the same host disk, holds no image: the save goes on
    // with its own first question, as the command line accepts it.
    QTemporaryDir beside(fixture("gui-out-XXXXXX"));
    QVERIFY(beside.isValid());
    page->chooseFolder = [&] { return beside.path(); };
    road.answers.questions.clear();
    road.answers.script(false);  // "Do you want to Save Deleted Files?": No
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(waitWorker(page));
    QCOMPARE(road.answers.questions, QStringList{"Do you want to Save Deleted Files?"});
    QVERIFY(!QDir(beside.path()).isEmpty());
}

void ScanPagesTest::rootAndTheParsersOpenFoldersAreShownOpen_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("fileSystem");
    QTest::newRow("NTFS") << "ntfs_basic.img" << "NTFS";
    QTest::newRow("FAT32") << "card_fat32.img" << "FAT32";
    QTest::newRow("exFAT") << "card_exfat.img" << "FAT64";
    QTest::newRow("ext4") << "ext4_4k.img" << "extX";
    QTest::newRow("HFS+") << "hfsplus_files.img" << "HFS+";
}

// After a scan ROOT is open, and so is every folder the parser opened.
void ScanPagesTest::rootAndTheParsersOpenFoldersAreShownOpen() {
    QFETCH(QString, image);
    QFETCH(QString, fileSystem);
    VolumeRecord record = ntfsRecord(0, "1");
    record.fileSystem = fileSystem.toStdU16String();
    record.sizeMbText = QString::number(QFileInfo(fixture(image.toLatin1().constData())).size() / 1048576).toStdU16String();
    Road road(fixture(image.toLatin1().constData()), record);
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeView* view = page->treeView();
    TriStateTreeModel* model = view->treeModel();
    const QModelIndex root = model->index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("ROOT"));
    QVERIFY(view->isExpanded(root));
    QVERIFY(model->rowCount(root) > 0);
    // Every item the tree holds open is open on screen, and no other.
    std::vector<QModelIndex> stack{root};
    int open = 0;
    while (!stack.empty()) {
        const QModelIndex i = stack.back();
        stack.pop_back();
        const TRISTATETREEDATA* data = model->tree()->findItemData(model->itemOf(i));
        QVERIFY(data);
        QCOMPARE(view->isExpanded(i), data->expanded);
        if (!data->expanded) continue;
        ++open;
        for (int r = 0; r < model->rowCount(i); ++r) stack.push_back(model->index(r, 0, i));
    }
    QVERIFY(open >= 1);
}

void ScanPagesTest::stopDuringTheVolumeScan() {
    Road road(fixture("ntfs_basic.img"), ntfsRecord(0, "16"));
    // The worker's first insert into the tree waits for this thread, which presses Stop
    // before it lets the worker go on: the scan is stopped while it runs.
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(page->workerRunning());
    page->findChild<QAbstractButton*>("stopButton")->click();
    QCOMPARE(page->statusText(), QStringLiteral("stop button pressed.Please wait for the process to be stopped."));
    QVERIFY(waitWorker(page));
    QCOMPARE(page->scan()->outcome().kind, ScanOutcome::Kind::Stopped);
    // The usual completion follows and the page can go back.
    QVERIFY(road.answers.texts.contains(QString::fromUtf16(kScanDoneText)));
    QVERIFY(page->findChild<QAbstractButton*>("backButton")->isEnabled());
    page->findChild<QAbstractButton*>("backButton")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(road.wizard.currentPage(), road.modes);
}

QString countsLine(const SaveCounts& c) {
    return QStringLiteral("saved %1, damaged %2, skipped %3, failed %4")
        .arg(c.saved)
        .arg(c.damaged)
        .arg(c.skipped)
        .arg(c.failed);
}

// The volume's second half is gone: the files whose data lay there are saved with zeros,
// and the page names each of them and counts them as the core does.
void ScanPagesTest::saveOfAHalfImageReportsItsDamagedFiles() {
    QTemporaryDir dir;
    const QString half = dir.filePath(QStringLiteral("half.img"));
    QVERIFY(QFile::copy(fixture("ntfs_basic.img"), half));
    QFile image(half);
    QVERIFY(image.resize(image.size() / 2));
    Road road(half, ntfsRecord(0, "16"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    const QModelIndex root = model->index(0, 0);
    QVERIFY(model->setData(root, Qt::Checked, Qt::CheckStateRole));
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    road.answers.script(true);  // "Do you want to Save Deleted Files?"
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(waitWorker(page));
    QVERIFY(road.answers.texts.contains(QStringLiteral("work done.....")));

    const SaveRun* run = page->saveRun();
    QVERIFY(run);
    const SaveCounts& counts = run->counts();
    QVERIFY(counts.damaged > 0);
    QCOMPARE(page->saveResultText(), countsLine(counts));
    SaveReportDialog* report = page->saveReport();
    QVERIFY(report && report->isVisible());
    QCOMPARE(report->countsLine(), countsLine(counts));
    // One line per damaged or failed file, its path below the output folder; the file is
    // there, with zeros where its data was.
    const QStringList lines = report->listText().split(QLatin1Char('\n'));
    QCOMPARE(qint64(lines.size()), qint64(counts.damaged + counts.failed));
    QCOMPARE(qint64(run->problems().size()), qint64(lines.size()));
    for (const SaveProblem& p : run->problems()) {
        const QString rel = QDir(out.path()).relativeFilePath(QString::fromStdString(p.path.string()));
        QVERIFY2(!rel.startsWith(QLatin1String("..")), qPrintable(rel));
        QVERIFY2(QFile::exists(out.filePath(rel)), qPrintable(rel));
        const QString line = QLatin1String(p.status == SaveStatus::Damaged ? "damaged: " : "failed: ") + rel +
                             QStringLiteral(": ") + QString::fromStdString(problemText(p));
        QVERIFY2(lines.contains(line), qPrintable(line));
    }
    QVERIFY(lines.contains(QStringLiteral("damaged: ballast.bin: 11760 unreadable sectors written as zeros")));
    QVERIFY(lines.contains(QStringLiteral("damaged: compressed/packed.txt: 391 unreadable sectors written as zeros")));
    // The list is read-only but can be selected and copied, and Copy takes all of it.
    auto* list = report->findChild<QPlainTextEdit*>("saveReportList");
    QVERIFY(list && list->isReadOnly());
    QVERIFY(list->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    QVERIFY(list->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard));
    QGuiApplication::clipboard()->clear();
    QTest::mouseClick(report->findChild<QAbstractButton*>("copyButton"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), report->listText());
    screenshot(report, QStringLiteral("save_report_dialog"));
    QPointer<SaveReportDialog> alive(report);
    QTest::mouseClick(report->findChild<QAbstractButton*>("closeButton"), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(alive.isNull());

    // A double click saves one file at once: it says where (the name is taken by now, so
    // the numbered form) and whether it came out damaged.
    const struct {
        const char* name;
        QString message;
    } quick[] = {
        {"resident.txt", QStringLiteral("file is dumped in path  :  %1/resident (1).txt   ").arg(out.path())},
        {"ballast.bin", QStringLiteral("file is dumped in path  :  %1/ballast (1).bin   \n"
                                       "but it is damaged: 11760 unreadable sectors written as zeros")
                            .arg(out.path())},
    };
    for (const auto& q : quick) {
        const QModelIndex item = findRow(model, root, QLatin1String(q.name));
        QVERIFY2(item.isValid(), q.name);
        page->quickSave(model->itemOf(item));
        QVERIFY(waitWorker(page));
        QCOMPARE(road.answers.texts.last(), q.message);
    }
}

// Stop pressed while the save asks about deleted files: nothing is written, and the
// page says the save was stopped, with its counts.
void ScanPagesTest::stopDuringTheSaveShowsTheCountsSoFar() {
    Road road(fixture("ntfs_basic.img"), ntfsRecord(0, "16"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(waitWorker(page));
    TriStateTreeModel* model = page->treeView()->treeModel();
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    road.answers.beforeAnswer = [&](const QString& question) {
        if (question == QStringLiteral("Do you want to Save Deleted Files?"))
            page->findChild<QAbstractButton*>("stopButton")->click();
    };
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(waitWorker(page));
    road.answers.beforeAnswer = nullptr;
    QCOMPARE(page->saveRun()->outcome().kind, RunOutcome::Kind::Stopped);
    QCOMPARE(page->saveResultText(), QStringLiteral("Saving stopped: ") + countsLine(page->saveRun()->counts()) +
                                         QStringLiteral(" (files not reached were not saved)"));
    QCOMPARE(page->saveRun()->counts().saved, 0);
    QVERIFY(QDir(out.path()).isEmpty());
    QVERIFY(!page->saveReport());
}

void ScanPagesTest::pauseTwiceNeedsTwoResumes() {
    Road road(fixture("ntfs_basic.img"), ntfsRecord(0, "16"));
    VolumeScanDlg* page = road.next();
    QVERIFY(page);
    QVERIFY(page->workerRunning());
    auto* pause = page->findChild<QAbstractButton*>("pauseButton");
    auto* resume = page->findChild<QAbstractButton*>("resumeButton");
    pause->click();
    pause->click();
    QCOMPARE(page->statusText(), QStringLiteral("Pause button pressed"));
    resume->click();
    QCOMPARE(page->statusText(), QStringLiteral("Resume button pressed"));
    // One pause is left: the worker stands still.
    QTest::qWait(400);
    QVERIFY(page->workerRunning());
    QCOMPARE(page->scan()->control().suspensions(), 1);
    QVERIFY(!road.answers.texts.contains(QString::fromUtf16(kScanDoneText)));
    resume->click();
    QVERIFY(waitWorker(page));
    QCOMPARE(page->scan()->outcome().kind, ScanOutcome::Kind::Completed);
}

void ScanPagesTest::rawRecoveryCarvesAndSavesTheFixtureFiles() {
    QFile manifestFile(fixture("raw_carve.json"));
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonArray files = QJsonDocument::fromJson(manifestFile.readAll()).object()["files"].toArray();
    QVERIFY(!files.isEmpty());

    Wizard wizard;
    wizard.onQuit = [] {};
    wizard.resize(1000, 680);
    ModalAnswerer answers;
    QVERIFY(wizard.state().freshReader().open(fixture("raw_carve.img").toStdString()));
    VolumeRecord record;
    record.fileSystem = u"RAW";
    record.name = u"G0";
    record.sizeMbText = u"4";  // the image's 3 185 152 bytes, rounded up
    auto* volumeList = new RecordPage(wizard, record);
    wizard.start(volumeList);
    auto* page = new RawRecoveryDialog(wizard, *volumeList);
    wizard.openNext(page);
    wizard.show();
    QVERIFY(page->loadDefault()->isChecked());

    // Save with nothing ticked says so.
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(answers.texts.contains(QStringLiteral("Please Select item from tree to save")));

    QSignalSpy done(page, &RawRecoveryDialog::workerFinished);
    page->findChild<QAbstractButton*>("parseButton")->click();
    QVERIFY(page->workerRunning() || done.count() == 1);
    if (done.count() == 0) QVERIFY(done.wait(60000));
    QCOMPARE(page->statusText(), QStringLiteral("Processing done"));
    QVERIFY(answers.texts.contains(QStringLiteral("Scanning processing done.Select save button to save the data..")));
    QCOMPARE(int(page->engine()->found().size()), int(files.size()));

    TriStateTreeModel* model = page->treeView()->treeModel();
    const QModelIndex root = model->index(0, 0);
    QCOMPARE(root.data().toString(), QStringLiteral("RAW RECOVERY "));
    const QModelIndex pictures = findRow(model, root, QStringLiteral("Pictures (6)"));
    QVERIFY(pictures.isValid());
    // Every category shows its count, an empty one "(0)".
    const QRegularExpression counted(QStringLiteral("^\\S.* \\((\\d+)\\)$"));
    QStringList empty;
    for (int r = 0; r < model->rowCount(root); ++r) {
        const QModelIndex category = model->index(r, 0, root);
        const QRegularExpressionMatch m = counted.match(category.data().toString());
        QVERIFY2(m.hasMatch(), qPrintable(category.data().toString()));
        QCOMPARE(m.captured(1).toInt(), model->rowCount(category));
        if (model->rowCount(category) == 0) empty << category.data().toString();
    }
    QVERIFY2(!empty.isEmpty(), "the default signatures hold categories the image has no file of");
    page->labelClicked(model->itemOf(pictures));
    QTreeWidget* list = page->filesList();
    QCOMPARE(list->topLevelItemCount(), 6);
    QCOMPARE(list->columnCount(), 3);
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("Size"));
    QCOMPARE(list->headerItem()->text(2), QStringLiteral("Offset"));
    // Each picture's offset on the volume and carved size, as the manifest has them.
    QMap<qint64, qint64> lengthAt;
    for (const QJsonValue& f : files) lengthAt[f["offset"].toInteger()] = f["length"].toInteger();
    for (int r = 0; r < list->topLevelItemCount(); ++r) {
        QTreeWidgetItem* row = list->topLevelItem(r);
        const qint64 offset = row->text(2).toLongLong();
        QVERIFY2(lengthAt.contains(offset), qPrintable(row->text(0) + QStringLiteral(" at ") + row->text(2)));
        if (!row->text(1).contains(QStringLiteral("size estimated")))
            QCOMPARE(row->text(1), QString::fromStdU16String(formatSize(lengthAt[offset])));
    }
    // A selected picture is previewed as a picture, read as Save reads it.
    QSignalSpy previewed(page->preview(), &PreviewPane::shown);
    list->setCurrentItem(list->findItems(QStringLiteral("65536 .jpg"), Qt::MatchExactly).value(0));
    QVERIFY(previewed.count() == 1 || previewed.wait(10000));
    QCOMPARE(page->preview()->shownKind(), QStringLiteral("image"));
    QVERIFY(!page->preview()->picture()->pixmap().isNull());
    screenshot(&wizard, QStringLiteral("raw_recovery_page"));
    for (const QSize size : {Wizard::defaultSize(), QSize(1920, 1080)}) {
        wizard.resize(size);
        QCoreApplication::processEvents();
        // The three columns in view.
        QVERIFY(list->header()->sectionViewportPosition(2) + list->header()->sectionSize(2) <= list->viewport()->width());
        screenshot(&wizard, QStringLiteral("raw_recovery_page_%1x%2").arg(size.width()).arg(size.height()));
    }

    QVERIFY(model->setData(root, Qt::Checked, Qt::CheckStateRole));
    QTemporaryDir out;
    page->chooseFolder = [&] { return out.path(); };
    QPointer<RawRecoveryDialog> alive(page);
    page->findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(done.wait(60000));
    QVERIFY(answers.texts.contains(QStringLiteral("work done")));
    // The page closes itself and the volume list is shown again.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(alive.isNull());
    QCOMPARE(wizard.currentPage(), volumeList);

    // Every manifest file is there under its category, its bytes first.
    QStringList saved;
    QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) saved << it.next();
    QCOMPARE(saved.size(), int(files.size()));
    // (An item is named by the sector whose match decided it: the start, or for a file
    // closed by its ending signature, that signature's sector.)
    for (const auto& v : files) {
        const QJsonObject f = v.toObject();
        const QString ext = QStringLiteral(" .") + f["type"].toString();
        bool found = false;
        for (const QString& s : saved) {
            if (!s.endsWith(ext) || !s.contains(QStringLiteral("/RAW RECOVERY/"))) continue;
            const QByteArray bytes = fileBytes(s);
            if (bytes.size() >= f["length"].toInteger() &&
                sha256(bytes.left(f["length"].toInteger())) == f["sha256"].toString())
                found = true;
        }
        QVERIFY2(found, qPrintable(f["name"].toString()));
    }
}

void ScanPagesTest::signatureSettingsAppendRecords() {
    Wizard wizard;
    ModalAnswerer answers;
    QTemporaryDir dir;
    RawSettingDlg dialog(wizard.prompt());
    dialog.resize(620, 520);
    const QString file = dir.path() + QStringLiteral("/mine.sig");
    dialog.chooseSavePath = [&] { return file; };
    dialog.findChild<QAbstractButton*>("browseButton")->click();
    QCOMPARE(dialog.path->text(), file);
    dialog.startSignature->setText(QStringLiteral("0x89,0x50,0x4E,0x47"));
    dialog.findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(answers.texts.contains(QStringLiteral("extention length is zero..")));
    dialog.extension->setText(QStringLiteral("png"));
    dialog.category->setText(QStringLiteral("Mine"));
    dialog.findChild<QAbstractButton*>("saveButton")->click();
    dialog.extension->setText(QStringLiteral("jpeg2"));
    dialog.startSignature->setText(QStringLiteral("ff,d8"));
    dialog.findChild<QAbstractButton*>("saveButton")->click();
    QVERIFY(answers.texts.contains(QStringLiteral("everything initialized well.....")));
    QCOMPARE(QFileInfo(file).size(), qint64(2 * 171));
    std::vector<SignatureEntry> entries;
    QCOMPARE(readSignatureFile(file.toStdString(), 0, entries), SignatureFileStatus::Loaded);
    QCOMPARE(int(entries.size()), 2);
    QCOMPARE(int(entries[0].record.startLength), 4);
    QCOMPARE(int(entries[1].record.ordinal), 1);
    QCOMPARE(int(entries[1].record.extensionLength), 5);
    dialog.show();
    screenshot(&dialog, QStringLiteral("raw_setting_dialog"));
}

QTEST_MAIN(ScanPagesTest)
#include "scan_pages_qtest.moc"
