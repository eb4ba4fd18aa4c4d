// The wizard's Advanced road driven as a user would: the recovery-mode page's Advanced,
// the advanced-options page with what the search found, the scan page in Advanced mode
// over the same parser, Save; Stop and Back while the search runs, a second pass with
// other choices, and the close box. The parsers are fakes (advanced_road_support.h) so
// the page's own behaviour is what is checked.
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include "core/scan/advanced_search.h"
#include "core/scan/volume_scan.h"
#include "gui/check_list_ctrl.h"
#include "gui/tri_state_tree_view.h"
#include "advanced_road_support.h"
#include "gui_test_support.h"

using namespace dravonel;
using namespace dravonel::gui_test;

namespace {

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList rowTexts(QComboBox* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) texts << list->itemText(i);
    return texts;
}

QStringList topRows(VolumeScanDlg* page) {
    TriStateTreeModel* model = page->treeView()->treeModel();
    QStringList texts;
    const QModelIndex root = model->index(0, 0);
    for (int r = 0; r < model->rowCount(root); ++r) texts << model->index(r, 0, root).data().toString();
    return texts;
}

AdvancedFinds threeCopies(bool heaps) {
    AdvancedFinds f;
    f.copies = {16384, 1064960, 2113536};
    f.copyNotes = {u"", u"cluster size from the copy: 8 sectors", u""};
    f.clusterChoices = {8, 4, 16};
    if (heaps) f.heaps = {4194304, 6291456};
    return f;
}

template <class T>
T* child(QWidget* page, const char* name) {
    return page->findChild<T*>(QString::fromLatin1(name));
}

}  // namespace

class AdvancedRoadTest : public QObject {
    Q_OBJECT
private slots:
    void optionsPageToSavedFiles_data();
    void optionsPageToSavedFiles();
    void nextWithoutRowsDoesNothing_data();
    void nextWithoutRowsDoesNothing();
    void stopThenBackWaitsForTheWorker();
    void stopThenNextTakesWhatWasFound();
    void secondPassUsesTheNewChoice();
    void closeBoxAsksFirst();
};

void AdvancedRoadTest::optionsPageToSavedFiles_data() {
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("copiesLabel");
    QTest::addColumn<QString>("firstRow");
    QTest::addColumn<bool>("heaps");
    QTest::addColumn<bool>("formattedBox");
    QTest::newRow("NTFS") << "NTFS" << "TFS :" << "MFT_ENTRY:0" << false << false;
    QTest::newRow("FAT16") << "FAT16" << "Total fat16 Entries Found:" << "FAT_ENTRY:0" << false << true;
    QTest::newRow("FAT32") << "FAT32" << "TFS :" << "FAT32_ENTRY:0" << false << true;
    QTest::newRow("exFAT") << "exFAT" << "Total fat64 Entries Found:" << "FAT64_ENTRY:0" << true << false;
}

// Recovery mode -> Advanced -> the options page lists the finds (labels per kind, the
// heap list for exFAT only, each copy's byte offset beside its row) -> Next -> the scan
// page shows the tree built from the choices -> Save writes its files.
void AdvancedRoadTest::optionsPageToSavedFiles() {
    QFETCH(QString, fileSystem);
    QFETCH(QString, copiesLabel);
    QFETCH(QString, firstRow);
    QFETCH(bool, heaps);
    QFETCH(bool, formattedBox);
    FakeAdvancedParsers fakes;
    fakes.log.finds = threeCopies(heaps);
    AdvancedRoad road({}, advancedRecord(reinterpret_cast<const char16_t*>(fileSystem.utf16())), &fakes.registry);
    advanceOptions* page = road.openOptions(QStringLiteral("5"), true);
    QVERIFY(page);
    QVERIFY(waitSearch(page));

    // The copies edit and the formatted box reach the search and the scan.
    QCOMPARE(fakes.log.maxCopies, 5);
    QCOMPARE(child<QLabel>(page, "pageCaption")->text(), QStringLiteral("ADVANCE OPTIONS"));
    QCOMPARE(child<QLabel>(page, "copiesLabel")->text().remove(QLatin1Char('&')), copiesLabel);
    QCOMPARE(child<QLabel>(page, "clustersLabel")->text().remove(QLatin1Char('&')), QStringLiteral("Sector Per Cluster :"));
    auto* copies = child<QComboBox>(page, "copiesCombo");
    QCOMPARE(rowTexts(copies).value(0), firstRow);
    QCOMPARE(copies->count(), 3);
    QCOMPARE(copies->currentIndex(), 0);
    QCOMPARE(rowTexts(child<QComboBox>(page, "clustersCombo")), QStringList({"8", "4", "16"}));
    QCOMPARE(child<QComboBox>(page, "heapsCombo")->isVisible(), heaps);
    QCOMPARE(child<QLabel>(page, "heapsLabel")->isVisible(), heaps);
    if (heaps) {
        QCOMPARE(rowTexts(child<QComboBox>(page, "heapsCombo")), QStringList({"HEAP_OFFSET_ENTRY:0", "HEAP_OFFSET_ENTRY:1"}));
        QCOMPARE(child<QLabel>(page, "heapDetail")->text(), QStringLiteral("Byte offset in the volume: 4194304"));
        // exFAT's cluster choices are shifts.
        QCOMPARE(child<QLabel>(page, "clusterDetail")->text(), QStringLiteral("2^8 = 256 sectors per cluster"));
    }
    // Copies are told apart by where they lie (and what the search noted of them).
    QCOMPARE(child<QLabel>(page, "copyDetail")->text(), QStringLiteral("Byte offset in the volume: 16384"));
    copies->setCurrentIndex(1);
    QVERIFY(child<QLabel>(page, "copyDetail")->text().startsWith(QStringLiteral("Byte offset in the volume: 1064960")));
    QVERIFY(child<QLabel>(page, "copyDetail")->text().endsWith(QStringLiteral("cluster size from the copy: 8 sectors")));
    QCOMPARE(copies->itemData(1, Qt::ToolTipRole).toString(), child<QLabel>(page, "copyDetail")->text());
    copies->setCurrentIndex(0);

    // The search's end: the found message over the filled lists, then the done line.
    const QString found = qs(advancedFoundMessage(fileSystemKind(u16s(fileSystem)), fakes.log.finds));
    QTRY_VERIFY(road.answers.texts.contains(found));
    QTRY_COMPARE(page->statusText(), qs(advancedDoneStatus(fileSystemKind(u16s(fileSystem)))));
    QVERIFY(!child<QWidget>(page, "stopButton")->isVisible());
    QVERIFY(!child<QWidget>(page, "searchProgress")->isVisible());
    QVERIFY(child<QWidget>(page, "nextButton")->isEnabled());
    QVERIFY(child<QWidget>(page, "backButton")->isEnabled());

    // Every shown control is named for screen readers; no two share an Alt key.
    for (QWidget* w : page->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w);
        if (!control || !w->isVisibleTo(page) || w->objectName().startsWith(QLatin1String("qt_"))) continue;
        QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
    }
    QCOMPARE(sharedMnemonics(page), QStringList());
    screenshot(&road.wizard, QStringLiteral("advance_options_") + fileSystem);

    VolumeScanDlg* scan = road.nextToScan(page);
    QVERIFY(scan);
    QVERIFY(waitScanPage(scan));
    QCOMPARE(scan->scan()->mode(), RecoveryMode::Advanced);
    QCOMPARE(scan->scan()->parser(), page->parser());
    QCOMPARE(fakes.log.made.load(), 1);
    QCOMPARE(fakes.log.runs.size(), std::size_t(1));
    const ScanOptions& used = fakes.log.runs[0];
    QCOMPARE(used.advancedCopyIndex, 0);
    // exFAT's row 8 is the shift: the scan is handed 2^8 sectors per cluster.
    QCOMPARE(used.advancedSectorsPerCluster, heaps ? 256 : 8);
    QCOMPARE(used.advancedHeapIndex, heaps ? 0 : -1);
    QCOMPARE(used.maxCopies, 5);
    QCOMPARE(used.formattedDriveFlag, formattedBox);
    QCOMPARE(scan->statusText(), QString::fromUtf16(kScanDoneText));
    const QString folder = qs(fakeChoiceFolder(used));
    QCOMPARE(topRows(scan), QStringList({folder, "readme.txt"}));

    TriStateTreeModel* model = scan->treeView()->treeModel();
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QTemporaryDir out;
    scan->chooseFolder = [&] { return out.path(); };
    child<QAbstractButton>(scan, "saveButton")->click();
    QVERIFY(waitScanPage(scan));
    QCOMPARE(fileBytes(out.path() + QLatin1Char('/') + folder + QStringLiteral("/photo1.jpg")),
             QByteArray("photo bytes of ") + folder.toUtf8() + "\n");
    QCOMPARE(fileBytes(out.path() + QLatin1Char('/') + folder + QStringLiteral("/notes.txt")),
             QByteArray("notes of ") + folder.toUtf8() + "\n");
    QCOMPARE(fileBytes(out.path() + QStringLiteral("/readme.txt")), QByteArray("found with the fake parser\n"));

    // Search by name works over what the Advanced scan found.
    child<QLineEdit>(scan, "searchPattern")->setText(QStringLiteral("PHOTO1|README"));
    child<QAbstractButton>(scan, "searchButton")->click();
    QVERIFY(waitScanPage(scan));
    QVERIFY(road.answers.texts.contains(QStringLiteral("Searching Finished")));
    QCOMPARE(scan->fileList()->topLevelItemCount(), 2);
}

void AdvancedRoadTest::nextWithoutRowsDoesNothing_data() {
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("message");
    QTest::newRow("FAT32") << "FAT32" << "NO FAT  FAT32-ENTRY found ..";
    QTest::newRow("NTFS") << "NTFS"
                          << "Number of MFT-ENTRY found = 0 . Please select the choice from combo box and click Next "
                             "button to proceed.";
}

void AdvancedRoadTest::nextWithoutRowsDoesNothing() {
    QFETCH(QString, fileSystem);
    QFETCH(QString, message);
    FakeAdvancedParsers fakes;
    fakes.log.finds.clusterChoices = {8, 4};
    AdvancedRoad road({}, advancedRecord(reinterpret_cast<const char16_t*>(fileSystem.utf16())), &fakes.registry);
    advanceOptions* page = road.openOptions();
    QVERIFY(page);
    QVERIFY(waitSearch(page));
    QTRY_VERIFY(road.answers.texts.contains(message));
    QCOMPARE(child<QComboBox>(page, "copiesCombo")->count(), 0);
    child<QAbstractButton>(page, "nextButton")->click();
    QCOMPARE(road.wizard.currentPage(), page);
    QVERIFY(fakes.log.runs.empty());
    // Back goes to the recovery-mode page and frees the parser.
    child<QAbstractButton>(page, "backButton")->click();
    settlePages();
    QCOMPARE(road.wizard.currentPage(), road.modes);
    QCOMPARE(fakes.log.destroyed.load(), 1);
}

// Pause, Stop, then Back at once: Back lets the paused worker go and waits for it before
// the parser is freed; the found message of a search left behind is not shown.
void AdvancedRoadTest::stopThenBackWaitsForTheWorker() {
    FakeAdvancedParsers fakes;
    fakes.log.finds = threeCopies(false);
    fakes.log.blockUntilStopped = true;
    AdvancedRoad road({}, advancedRecord(u"FAT32"), &fakes.registry);
    advanceOptions* page = road.openOptions();
    QVERIFY(page);
    QVERIFY(page->workerRunning());
    QVERIFY(!child<QWidget>(page, "backButton")->isEnabled());
    QVERIFY(!child<QWidget>(page, "nextButton")->isEnabled());
    QVERIFY(child<QWidget>(page, "stopButton")->isVisible());
    QTRY_VERIFY(fakes.log.searching.load());  // the pause holds the search itself
    screenshot(&road.wizard, QStringLiteral("advance_options_searching"));
    child<QAbstractButton>(page, "pauseButton")->click();
    QTRY_COMPARE(page->statusText(), QStringLiteral("Pause button pressed"));
    child<QAbstractButton>(page, "stopButton")->click();
    QTRY_COMPARE(page->statusText(), QStringLiteral("stop button pressed"));
    QVERIFY(child<QWidget>(page, "backButton")->isEnabled());
    QVERIFY(child<QWidget>(page, "nextButton")->isEnabled());
    QVERIFY(page->workerRunning());  // still held by the pause

    child<QAbstractButton>(page, "backButton")->click();
    // Back has returned: the search had ended before it did.
    QVERIFY(!fakes.log.searching.load());
    QCOMPARE(fakes.log.searches.load(), 1);
    settlePages();
    QCOMPARE(road.wizard.currentPage(), road.modes);
    QCOMPARE(fakes.log.destroyed.load(), 1);
    QVERIFY(!fakes.log.destroyedWhileSearching.load());
    for (const QString& text : road.answers.texts) QVERIFY2(!text.startsWith(QLatin1String("Number of")), qPrintable(text));
}

// Next right after Stop waits for the search to end and scans with what it found.
void AdvancedRoadTest::stopThenNextTakesWhatWasFound() {
    FakeAdvancedParsers fakes;
    fakes.log.finds = threeCopies(true);
    fakes.log.blockUntilStopped = true;
    AdvancedRoad road({}, advancedRecord(u"exFAT"), &fakes.registry);
    advanceOptions* page = road.openOptions();
    QVERIFY(page);
    child<QAbstractButton>(page, "stopButton")->click();
    VolumeScanDlg* scan = road.nextToScan(page);
    QVERIFY(scan);
    QVERIFY(!fakes.log.searching.load());
    QVERIFY(waitScanPage(scan));
    QCOMPARE(fakes.log.runs.size(), std::size_t(1));
    QCOMPARE(fakes.log.runs[0].advancedHeapIndex, 0);
    QCOMPARE(topRows(scan).value(0), QStringLiteral("COPY0_SPC256_HEAP0"));
}

// Back on the scan page keeps the options page with its parser and finds; Next with other
// rows makes a second pass over the same parser with the new choice.
void AdvancedRoadTest::secondPassUsesTheNewChoice() {
    FakeAdvancedParsers fakes;
    fakes.log.finds = threeCopies(true);
    AdvancedRoad road({}, advancedRecord(u"exFAT"), &fakes.registry);
    advanceOptions* page = road.openOptions();
    QVERIFY(page);
    QVERIFY(waitSearch(page));
    VolumeScanDlg* scan = road.nextToScan(page);
    QVERIFY(scan);
    QVERIFY(waitScanPage(scan));
    QCOMPARE(topRows(scan).value(0), QStringLiteral("COPY0_SPC256_HEAP0"));

    child<QAbstractButton>(scan, "backButton")->click();
    settlePages();
    QCOMPARE(road.wizard.currentPage(), page);
    QCOMPARE(child<QComboBox>(page, "copiesCombo")->count(), 3);
    child<QComboBox>(page, "copiesCombo")->setCurrentIndex(2);
    child<QComboBox>(page, "clustersCombo")->setCurrentIndex(2);
    child<QComboBox>(page, "heapsCombo")->setCurrentIndex(1);
    scan = road.nextToScan(page);
    QVERIFY(scan);
    QVERIFY(waitScanPage(scan));
    QCOMPARE(fakes.log.runs.size(), std::size_t(2));
    QCOMPARE(fakes.log.runs[1].advancedCopyIndex, 2);
    QCOMPARE(fakes.log.runs[1].advancedSectorsPerCluster, 65536);  // shift 16
    QCOMPARE(fakes.log.runs[1].advancedHeapIndex, 1);
    QCOMPARE(topRows(scan), QStringList({"COPY2_SPC65536_HEAP1", "readme.txt"}));
    QCOMPARE(fakes.log.made.load(), 1);
    QCOMPARE(fakes.log.searches.load(), 1);
    QCOMPARE(fakes.log.destroyed.load(), 0);
}

// The close box asks first; No keeps the search running, Yes stops it.
void AdvancedRoadTest::closeBoxAsksFirst() {
    FakeAdvancedParsers fakes;
    fakes.log.blockUntilStopped = true;
    fakes.log.lingerMs = 0;
    int quits = 0;
    AdvancedRoad road({}, advancedRecord(u"NTFS"), &fakes.registry);
    road.wizard.onQuit = [&] { ++quits; };
    advanceOptions* page = road.openOptions();
    QVERIFY(page);
    road.answers.script(false);
    road.wizard.close();
    QCOMPARE(road.answers.questions.value(0), QStringLiteral("Do you want to Close Application ?"));
    QCOMPARE(quits, 0);
    QVERIFY(page->workerRunning());
    road.answers.script(true);
    road.wizard.close();
    QCOMPARE(road.answers.questions.size(), 2);
    QCOMPARE(quits, 1);
    QCOMPARE(page->statusText(), QStringLiteral("All thread Stopped"));
    QTRY_VERIFY(!fakes.log.searching.load());
}

QTEST_MAIN(AdvancedRoadTest)
#include "advanced_road_qtest.moc"
