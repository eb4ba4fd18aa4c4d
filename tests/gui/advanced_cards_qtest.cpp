// The wizard's Advanced road over real accidents, as a user takes it: Recovery mode →
// Advanced (with "Is Drive Formated..?" on a FAT card) → the advanced-options page's
// search → Next → the scan page → Save, on a FAT32 and an exFAT card quick-formatted
// after photos were written, a FAT32 card whose photo folder was deleted whole, a FAT16
// card whose boot sector was zeroed and an NTFS volume whose boot sectors point the MFT
// at a wrong cluster (tools/make_advanced_*_fixtures.sh).
#include <QComboBox>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "core/scan/volume_scan.h"
#include "gui/tri_state_tree_view.h"
#include "advanced_road_support.h"
#include "gui_test_support.h"

using namespace dravonel;
using namespace dravonel::gui_test;

namespace {

QString sha256Of(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return QString::fromLatin1(h.result().toHex());
}

}  // namespace

class AdvancedCardsTest : public QObject {
    Q_OBJECT
private slots:
    void cardComesBackThroughTheWizard_data();
    void cardComesBackThroughTheWizard();
};

void AdvancedCardsTest::cardComesBackThroughTheWizard_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("formatted");
    // Files that must come back byte-exact: at their own path, or (a formatted card, whose
    // folders may be lost with the new root) by name anywhere, at least this share.
    QTest::addColumn<bool>("atTheirPaths");
    QTest::addColumn<double>("share");
    QTest::newRow("FAT32 formatted") << "fat32_formatted_card" << "FAT32" << true << false << 0.9;
    QTest::newRow("exFAT formatted") << "exfat_formatted_card" << "exFAT" << false << false << 0.9;
    QTest::newRow("FAT32 folder deleted") << "fat_deleted_folder" << "FAT32" << false << false << 0.9;
    QTest::newRow("FAT16 zeroed boot") << "fat16_zeroed_boot" << "FAT16" << false << true << 1.0;
    QTest::newRow("NTFS wrong MFT") << "ntfs_wrong_mft" << "NTFS" << false << true << 1.0;
}

void AdvancedCardsTest::cardComesBackThroughTheWizard() {
    QFETCH(QString, image);
    QFETCH(QString, fileSystem);
    QFETCH(bool, formatted);
    QFETCH(bool, atTheirPaths);
    QFETCH(double, share);
    const QString path = fixture((image + QStringLiteral(".img")).toUtf8().constData());
    const QByteArray mib = QByteArray::number(QFileInfo(path).size() / (1 << 20));
    AdvancedRoad road(path, advancedRecord(reinterpret_cast<const char16_t*>(fileSystem.utf16()), 0, mib.constData()));
    advanceOptions* page = road.openOptions(QStringLiteral("3"), formatted);
    QVERIFY(page);
    QVERIFY(waitSearch(page));
    auto* copies = page->findChild<QComboBox*>(QStringLiteral("copiesCombo"));
    QVERIFY(copies && copies->count() >= 1);
    screenshot(&road.wizard, QStringLiteral("advance_options_card_") + image);

    VolumeScanDlg* scan = road.nextToScan(page);
    QVERIFY(scan);
    QVERIFY(waitScanPage(scan));
    QCOMPARE(scan->statusText(), QString::fromUtf16(kScanDoneText));
    TriStateTreeModel* model = scan->treeView()->treeModel();
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QTemporaryDir out;
    scan->chooseFolder = [&] { return out.path(); };
    scan->findChild<QAbstractButton*>(QStringLiteral("saveButton"))->click();
    QVERIFY(waitScanPage(scan));

    // What came out, by name and content.
    QSet<QString> saved;
    for (QDirIterator it(out.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString file = it.next();
        saved.insert(QFileInfo(file).fileName() + QLatin1Char('\t') + sha256Of(file));
    }
    QFile manifestFile(fixture((image + QStringLiteral(".json")).toUtf8().constData()));
    QVERIFY(manifestFile.open(QIODevice::ReadOnly));
    const QJsonArray files = QJsonDocument::fromJson(manifestFile.readAll()).object().value(QStringLiteral("files")).toArray();
    QVERIFY(!files.isEmpty());
    int exact = 0;
    for (const QJsonValue& v : files) {
        const QJsonObject f = v.toObject();
        const QString rel = f.value(QStringLiteral("path")).toString();
        const QString sha = f.value(QStringLiteral("sha256")).toString();
        const bool back = atTheirPaths ? sha256Of(out.filePath(rel)) == sha
                                       : saved.contains(QFileInfo(rel).fileName() + QLatin1Char('\t') + sha);
        if (back) ++exact;
        else if (share >= 1.0) qWarning("not back: %s", qPrintable(rel));
    }
    QVERIFY2(exact >= share * files.size(),
             qPrintable(QStringLiteral("%1 of %2 byte-exact").arg(exact).arg(files.size())));
}

QTEST_MAIN(AdvancedCardsTest)
#include "advanced_cards_qtest.moc"
