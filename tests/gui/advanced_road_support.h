#pragma once
// The wizard's Advanced road for tests: a road from a stand-in volume list through the
// recovery-mode page to the advanced-options page and the scan page, an answerer for the
// message boxes on the way, and a fake parser whose search "finds" what the test says
// and whose Advanced scan lists files named after the choices it was given. A test over
// a real image passes no registry (the build's own parsers read it).
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/common/text.h"
#include "core/model/scan_parser.h"
#include "core/model/tree_sink.h"
#include "core/scan/parser_registry.h"
#include "gui/pages/advance_options.h"
#include "gui/pages/parce_mode_ntfs_dlg.h"
#include "gui/pages/volume_scan_dlg.h"
#include "gui/save_report_dialog.h"
#include "gui/wizard.h"

namespace dravonel::gui_test {

// Answers every message box while a test runs: questions get the next scripted answer
// (Yes when the script is empty), messages get Ok; all texts are recorded.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer() {
        timer_.setInterval(5);
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }
    void script(bool yes) { answers_.push_back(yes); }
    QStringList texts;
    QStringList questions;

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        texts << box->text();
        if (box->standardButtons().testFlag(QMessageBox::Yes)) {
            questions << box->text();
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
    QTimer timer_;
    std::deque<bool> answers_;
};

// What the fake parsers were asked and how their lives went. Written on the workers,
// read by the test once the page's worker has ended.
struct FakeAdvancedLog {
    // What the search "finds".
    AdvancedFinds finds;
    // The search runs until the page's Stop, then takes lingerMs more to end (so a Back
    // that did not wait would free the parser under it).
    bool blockUntilStopped = false;
    int lingerMs = 100;
    std::atomic<int> made{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> searches{0};
    std::atomic<bool> searching{false};
    std::atomic<bool> destroyedWhileSearching{false};
    int maxCopies = 0;
    // The options of each Advanced scan, in order.
    std::vector<ScanOptions> runs;
};

// The folder an Advanced scan over the fake lists: named after the choices it was given.
inline std::u16string fakeChoiceFolder(const ScanOptions& o) {
    return u"COPY" + u16(std::to_string(o.advancedCopyIndex)) + u"_SPC" +
           u16(std::to_string(o.advancedSectorsPerCluster)) + u"_HEAP" + u16(std::to_string(o.advancedHeapIndex));
}

// A parser with the Advanced road that reads nothing: ROOT holds the choice folder (with
// "photo1.jpg" and "notes.txt", whose bytes name the choices) and "readme.txt".
class FakeAdvancedParser final : public ScanParser {
public:
    FakeAdvancedParser(const ScanContext& context, FakeAdvancedLog& log) : log_(log) {
        bind(context);
        ++log_.made;
    }
    ~FakeAdvancedParser() override {
        if (log_.searching.load()) log_.destroyedWhileSearching = true;
        ++log_.destroyed;
    }

    bool supportsMode(RecoveryMode mode) const override { return mode != RecoveryMode::Deep; }
    ScanOutcome findAdvancedCopies(int maxCopies) override {
        log_.searching = true;
        ++log_.searches;
        log_.maxCopies = maxCopies;
        if (sink_) sink_->setRange(0, 100);
        if (log_.blockUntilStopped) {
            while (stop_.load() == 0) {
                if (control_) control_->checkPoint();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(log_.lingerMs));
        }
        finds_ = log_.finds;
        if (sink_) sink_->setPosition(100);
        const bool stopped = stop_.load() != 0;
        log_.searching = false;
        return stopped ? ScanOutcome::stopped() : ScanOutcome::completed();
    }
    const AdvancedFinds& advancedFinds() const override { return finds_; }
    void rebind(const ScanContext& context) override { bind(context); }

    ScanOutcome run(RecoveryMode mode) override {
        if (mode != RecoveryMode::Advanced) return ScanOutcome::completed();
        log_.runs.push_back(options_);
        // Each pass starts from nothing.
        entries_.clear();
        entries_.push_back({u".", true, {}, {}});
        const std::string choice = toUtf8(fakeChoiceFolder(options_));
        const EntryRef folder = add(1, fakeChoiceFolder(options_), true, {});
        add(folder, u"photo1.jpg", false, "photo bytes of " + choice + "\n");
        add(folder, u"notes.txt", false, "notes of " + choice + "\n");
        add(1, u"readme.txt", false, "found with the fake parser\n");
        if (!tree_) return ScanOutcome::completed();
        const TreeItem root = tree_->insertItem(u"ROOT", ItemImage::Folder);
        for (EntryRef c : entries_[0].children)
            tree_->insertItem(entries_[c - 1].name, entries_[c - 1].folder ? ItemImage::Folder : ItemImage::File, root, c);
        return ScanOutcome::completed();
    }

    bool isValidEntry(EntryRef ref) const override { return ref >= 1 && ref <= entries_.size(); }
    bool isFolder(EntryRef ref) const override { return entries_[ref - 1].folder; }
    bool hasChildren(EntryRef ref) const override { return !entries_[ref - 1].children.empty(); }
    bool isDeleted(EntryRef) const override { return false; }
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override {
        for (EntryRef c : entries_[folder - 1].children)
            if (!visit(c)) return;
    }
    std::u16string name(EntryRef ref) const override { return entries_[ref - 1].name; }
    std::uint64_t sizeBytes(EntryRef ref) const override { return entries_[ref - 1].data.size(); }
    EntryTexts texts(EntryRef ref) const override {
        return {u"01/02/2024  10:00 AM", u"01/02/2024  10:00 AM", u"01/02/2024  10:00 AM", u"A",
                u16(std::to_string(sizeBytes(ref)) + " Bytes")};
    }
    EntryTimes times(EntryRef) const override { return {}; }
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override {
        const std::string& data = entries_[ref - 1].data;
        return out.write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()) ? SaveStatus::Saved
                                                                                          : SaveStatus::Failed;
    }
    StopFlag& stopFlag() override { return stop_; }

private:
    struct Entry {
        std::u16string name;
        bool folder = false;
        std::string data;
        std::vector<EntryRef> children;
    };
    void bind(const ScanContext& context) {
        tree_ = context.tree;
        sink_ = context.sink;
        control_ = context.control;
        options_ = context.options;
    }
    EntryRef add(EntryRef parent, std::u16string name, bool folder, std::string data) {
        entries_.push_back({std::move(name), folder, std::move(data), {}});
        const EntryRef ref = entries_.size();
        entries_[parent - 1].children.push_back(ref);
        return ref;
    }

    FakeAdvancedLog& log_;
    TreeSink* tree_ = nullptr;
    ScanSink* sink_ = nullptr;
    WorkerControl* control_ = nullptr;
    ScanOptions options_;
    AdvancedFinds finds_;
    std::vector<Entry> entries_;
    StopFlag stop_{0};
};

// The fake for every kind with an Advanced road; the log and the registry outlive the road.
struct FakeAdvancedParsers {
    FakeAdvancedLog log;
    ParserRegistry registry;
    FakeAdvancedParsers() {
        for (FileSystemKind kind : {FileSystemKind::Ntfs, FileSystemKind::Fat16, FileSystemKind::Fat32, FileSystemKind::ExFat})
            registry.add(kind, [this](const ScanContext& c) { return std::make_unique<FakeAdvancedParser>(c, log); });
    }
};

// Stands in for the volume list: the page that hands its selected record on.
class AdvancedRecordPage : public WizardPage {
public:
    AdvancedRecordPage(Wizard& wizard, VolumeRecord record)
        : WizardPage(wizard, kTemplateVolumeList, nullptr), record_(std::move(record)) {}
    const VolumeRecord* selectedRecord() const override { return &record_; }

private:
    VolumeRecord record_;
};

inline VolumeRecord advancedRecord(const char16_t* fileSystem, std::int64_t startSector = 0, const char* sizeMb = "64") {
    VolumeRecord r;
    r.fileSystem = fileSystem;
    r.name = u"G0";
    r.sizeMbText = fromUtf8(sizeMb);
    r.startSector = startSector;
    return r;
}

// The wizard up to the recovery-mode page, reading image (an unopened reader when empty),
// its parsers from registry (the build's own when null).
struct AdvancedRoad {
    Wizard wizard;
    BoxAnswerer answers;
    AdvancedRecordPage* volumeList = nullptr;
    ParceModeNtfsDlg* modes = nullptr;

    AdvancedRoad(const QString& image, const VolumeRecord& record, const ParserRegistry* registry = nullptr) {
        wizard.onQuit = [] {};
        wizard.resize(1100, 720);
        wizard.state().parsers = registry;
        FileReadSeek& reader = wizard.state().freshReader();
        if (!image.isEmpty()) reader.open(image.toStdString());
        volumeList = new AdvancedRecordPage(wizard, record);
        wizard.start(volumeList);
        modes = new ParceModeNtfsDlg(wizard, volumeList);
        wizard.openNext(modes);
        wizard.show();
    }
    // Advanced on the recovery-mode page with the copies edit and (FAT) the formatted box,
    // then Next: the advanced-options page with its search started (null if not opened).
    advanceOptions* openOptions(const QString& maxCopies = QStringLiteral("3"), bool formatted = false) {
        modes->findChild<QAbstractButton*>(QStringLiteral("advancedRadio"))->click();
        modes->findChild<QLineEdit*>(QStringLiteral("maxCopiesEdit"))->setText(maxCopies);
        auto* box = modes->findChild<QCheckBox*>(QStringLiteral("formattedCheck"));
        if (formatted && box->isVisibleTo(modes)) box->setChecked(true);
        modes->findChild<QAbstractButton*>(QStringLiteral("nextButton"))->click();
        return qobject_cast<advanceOptions*>(wizard.currentPage());
    }
    // Next on the advanced-options page: the scan page in Advanced mode (null if not opened).
    VolumeScanDlg* nextToScan(advanceOptions* options) {
        options->findChild<QAbstractButton*>(QStringLiteral("nextButton"))->click();
        return qobject_cast<VolumeScanDlg*>(wizard.currentPage());
    }
};

// Waits for the options page's search to end (true at once when none runs).
inline bool waitSearch(advanceOptions* page, int ms = 60000) {
    if (!page->workerRunning()) return true;
    QSignalSpy done(page, &advanceOptions::searchFinished);
    return done.wait(ms);
}

// Waits for the scan page's scan, save or search to end.
inline bool waitScanPage(VolumeScanDlg* page, int ms = 60000) {
    if (!page->workerRunning()) return true;
    QSignalSpy done(page, &VolumeScanDlg::workerFinished);
    return done.wait(ms);
}

// Lets Back's deferred page deletion happen.
inline void settlePages() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

}  // namespace dravonel::gui_test
