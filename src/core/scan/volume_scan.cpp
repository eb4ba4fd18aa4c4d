#include "core/scan/volume_scan.h"

#include "core/common/text.h"
#include "core/scan/recycle_bin.h"
#include "core/scan/result_view.h"

namespace dravonel {

VolumeScan::VolumeScan(VolumeRecord volume, RecoveryMode mode, CTriStateTree& tree, readWriteInterface* reader,
                       ScanSink& sink, Prompt& prompt, const ParserRegistry& registry, ScanOptions options,
                       TreeSink* treeSink)
    : volume_(std::move(volume)),
      mode_(mode),
      tree_(tree),
      reader_(reader),
      sink_(sink),
      prompt_(prompt),
      registry_(registry),
      options_(options),
      treeSink_(treeSink ? treeSink : &tree) {}

VolumeScan::~VolumeScan() {
    if (thread_.launched() && scanRunning()) {
        if (parser_) parser_->stopFlag() = 1;
        stopPressed_ = 1;
        thread_.control.release();
        thread_.join();
    }
    // The reader outlives the parser and its flag.
    if (reader_ && parser_) {
        const StopFlag* mine = &parser_->stopFlag();
        reader_->splitStop.compare_exchange_strong(mine, nullptr);
    }
}

bool VolumeScan::refuse(std::u16string text, bool asMessage) {
    if (asMessage) prompt_.message(text);
    outcome_ = ScanOutcome::refused(std::move(text));
    scanRunning_ = 0;
    claim_.release();
    return false;
}

bool VolumeScan::start() {
    if (scanRunning() || !claim_.claim()) {
        prompt_.message(kWaitForOtherProcessText);
        outcome_ = ScanOutcome::refused(kWaitForOtherProcessText);
        return false;
    }
    scanRunning_ = 1;
    stopPressed_ = 0;
    thread_.control.reset();
    outcome_ = {};
    tree_.initialise();
    tree_.checkBoxes = true;
    tree_.triStatePropagation = true;
    kind_ = fileSystemKind(volume_.fileSystem);
    if (kind_ == FileSystemKind::None) {
        prompt_.message(u"not a valid drive.");
        sink_.status(u"Not a valid Drive .Go back");
        return refuse(u"not a valid drive.", false);
    }
    if (!registry_.has(kind_)) {
        const std::u16string text = std::u16string(fileSystemKindText(kind_)) + u" volumes cannot be scanned yet.";
        prompt_.message(text);
        sink_.status(text);
        return refuse(text, false);
    }
    if (!reader_) return refuse(u"Please Restart the program to re begin necessary initialization...");
    ScanContext context{volume_, treeSink_, reader_, &sink_, &prompt_, &thread_.control, options_};
    if (borrowed_ && mode_ == RecoveryMode::Advanced) {
        parser_ = borrowed_;
        parser_->rebind(context);
    } else {
        owned_ = registry_.make(kind_, context);
        parser_ = owned_.get();
    }
    if (!parser_) return refuse(u"not a valid drive.", false);  // no parser object: no worker
    if (!parser_->supportsMode(mode_)) {
        const std::u16string text =
            std::u16string(fileSystemKindText(kind_)) + u" volumes cannot be scanned in this recovery mode yet.";
        owned_.reset();
        parser_ = nullptr;
        sink_.status(text);
        return refuse(text);
    }
    const std::u16string selected = parser_->selectedText();
    if (!selected.empty()) sink_.status(selected);
    parser_->stopFlag() = 0;
    // Set before a worker exists: other threads read through the same reader.
    reader_->baseOffset = volume_.startSector * kSectorBytes;
    // The parser's flag is raised by the scan's and the save's Stop alike.
    reader_->splitStop = &parser_->stopFlag();
    parserChosen_ = true;
    return true;
}

void VolumeScan::runWorker() {
    if (!parserChosen_ || !scanRunning()) return;
    thread_.control.checkPoint();
    outcome_ = parser_->run(mode_);
    // What the run lost to read errors is said before the completion text.
    readLosses_ = parser_->readLosses();
    const std::int64_t unreadable = unreadableInVolume();
    if (unreadable > 0) readLosses_.push_back(u"unreadable sectors: " + u16(std::to_string(unreadable)));
    for (const std::u16string& text : readLosses_) sink_.status(text);
    thread_.control.checkPoint();  // a pause pressed during the run's last steps holds here
    if (stopPressed_.load() != 0 && outcome_.kind == ScanOutcome::Kind::Completed) outcome_ = ScanOutcome::stopped();
    completeScan();
}

std::int64_t VolumeScan::unreadableInVolume() const {
    if (!reader_) return 0;
    std::int64_t mib = 0;
    for (const char16_t c : volume_.sizeMbText) {
        if (c < u'0' || c > u'9' || mib > (INT64_MAX / 2048 - 9) / 10) break;
        mib = mib * 10 + (c - u'0');
    }
    const std::int64_t first = volume_.startSector;
    const std::int64_t end = mib > 0 && first <= INT64_MAX - mib * 2048 ? first + mib * 2048 : INT64_MAX;
    std::int64_t n = 0;
    for (const SectorRange& r : reader_->knownUnreadable()) n += std::max<std::int64_t>(0, std::min(end, r.end()) - std::max(first, r.first));
    return n;
}

void VolumeScan::startWorker() {
    if (!parserChosen_ || !scanRunning() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this] { runWorker(); });
}

void VolumeScan::wait() { thread_.join(); }

void VolumeScan::useOwnerThread(OwnerCall runOnOwner) {
    runOnOwner_ = std::move(runOnOwner);
    ownerSink_ = std::make_unique<BlockingTreeSink>(tree_, runOnOwner_);
    treeSink_ = ownerSink_.get();
}

void VolumeScan::completeScan() {
    // Tree work on the tree's own thread: the page's owner call when one was given,
    // else the tree sink's (a GUI's tree belongs to its window).
    auto onTreeThread = [this](const std::function<void()>& work) {
        if (runOnOwner_) runOnOwner_(work);
        else treeSink_->runOnTreeThread(work);
    };
    // A stop is over once the run has ended: the recycle-bin pass below reads companions
    // through the parser's save, and later saves and searches start clean.
    if (parser_) parser_->stopFlag() = 0;
    // A volume that failed its boot-sector test has said so (the parser's message); it
    // has no tree to complete and is not "done".
    if (outcome_.kind != ScanOutcome::Kind::Refused) {
        onTreeThread([this] {
            if (RecoveredVolume* v = volume()) ResultView(tree_, *v).addExpandPlaceholders();
        });
        // Recycled files get back their former names (NTFS, FAT32 and exFAT), on the
        // tree's thread like the placeholders; after a Stop, those found so far.
        if (parser_) onTreeThread([this] { restoreRecycledNames(tree_, *parser_, kind_); });
        // The advanced road rebuilds from the user's choices: a choice that leads nowhere
        // is said, not announced as done.
        bool found = true;
        if (mode_ == RecoveryMode::Advanced)
            onTreeThread([this, &found] {
                found = false;
                const TreeItem top = tree_.root();
                if (top != kNoItem)
                    for (TreeItem c = tree_.firstChild(top); c != kNoItem && !found; c = tree_.nextSibling(c))
                        found = !tree_.isPlaceholder(c);
            });
        std::u16string text = found ? kScanDoneText : kAdvancedNothingText;
        if (mode_ != RecoveryMode::Advanced && parser_ && !parser_->foundVolumeStructure() &&
            outcome_.kind == ScanOutcome::Kind::Completed) {
            text = kStructureNotFoundText;
            if (parser_->supportsMode(RecoveryMode::Advanced)) text += kTryAdvancedText;
        }
        prompt_.message(text);
        sink_.status(text);
    }
    scanRunning_ = 0;
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void VolumeScan::pause() {
    if (thread_.launched()) thread_.pause(sink_);
}

void VolumeScan::resume() {
    if (thread_.launched()) thread_.resume(sink_);
}

void VolumeScan::stop() {
    if (!parserChosen_) return;
    // The text goes out before the flags are set: once the worker sees them it may write
    // its own texts, and the two must not reach the sink at the same time.
    sink_.status(u"stop button pressed.Please wait for the process to be stopped.");
    parser_->stopFlag() = 1;
    stopPressed_ = 1;
}

}  // namespace dravonel
