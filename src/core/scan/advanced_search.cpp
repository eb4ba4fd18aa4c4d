#include "core/scan/advanced_search.h"

#include <string>

#include "core/common/text.h"

namespace dravonel {

namespace {

std::u16string number(std::size_t n) { return u16(std::to_string(n)); }

}  // namespace

AdvancedSearch::AdvancedSearch(VolumeRecord volume, readWriteInterface* reader, ScanSink& sink, Prompt& prompt,
                               const ParserRegistry& registry, ScanOptions options)
    : volume_(std::move(volume)), reader_(reader), sink_(sink), prompt_(prompt), registry_(registry), options_(options) {}

AdvancedSearch::~AdvancedSearch() {
    if (parser_) parser_->stopFlag() = 1;
    stopPressed_ = 1;
    thread_.control.release();
    thread_.join();
    if (reader_ && parser_) {
        const StopFlag* mine = &parser_->stopFlag();
        reader_->splitStop.compare_exchange_strong(mine, nullptr);
    }
}

bool AdvancedSearch::refuse(std::u16string text) {
    prompt_.message(text);
    outcome_ = RunOutcome::refused(std::move(text));
    parser_.reset();
    running_ = 0;
    claim_.release();
    return false;
}

bool AdvancedSearch::start() {
    if (running() || !claim_.claim()) return refuseBusy(prompt_, outcome_);
    running_ = 1;
    stopPressed_ = 0;
    thread_.control.reset();
    outcome_ = {};
    kind_ = fileSystemKind(volume_.fileSystem);
    if (kind_ == FileSystemKind::None || !registry_.has(kind_)) return refuse(u"not a valid drive.");
    if (!reader_) return refuse(u"Please Restart the program to re begin necessary initialization...");
    ScanContext context{volume_, nullptr, reader_, &sink_, &prompt_, &thread_.control, options_};
    parser_ = registry_.make(kind_, context);
    if (!parser_) return refuse(u"not a valid drive.");
    if (!parser_->supportsMode(RecoveryMode::Advanced))
        return refuse(std::u16string(fileSystemKindText(kind_)) + u" volumes have no Advanced recovery road.");
    const std::u16string selected = parser_->selectedText();
    if (!selected.empty()) sink_.status(selected);
    parser_->stopFlag() = 0;
    reader_->baseOffset = volume_.startSector * kSectorBytes;
    reader_->splitStop = &parser_->stopFlag();
    return true;
}

void AdvancedSearch::runWorker() {
    if (!parser_ || !running()) return;
    thread_.control.checkPoint();
    outcome_ = parser_->findAdvancedCopies(options_.maxCopies > 0 ? options_.maxCopies : 3);
    thread_.control.checkPoint();
    if (stopPressed_.load() != 0 && outcome_.kind == RunOutcome::Kind::Completed) outcome_ = RunOutcome::stopped();
    if (outcome_.kind != RunOutcome::Kind::Refused) {
        prompt_.message(advancedFoundMessage(kind_, finds()));
        const std::u16string done = advancedDoneStatus(kind_);
        if (!done.empty() && !(kind_ == FileSystemKind::Fat32 && finds().copies.empty())) sink_.status(done);
    }
    // The scan that borrows the parser starts with its flag clear; until then a Stop
    // pressed here stays visible in the outcome only.
    parser_->stopFlag() = 0;
    running_ = 0;
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void AdvancedSearch::startWorker() {
    if (!parser_ || !running() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this] { runWorker(); });
}

void AdvancedSearch::wait() { thread_.join(); }

void AdvancedSearch::pause() {
    if (thread_.launched()) thread_.pause(sink_);
}

void AdvancedSearch::resume() {
    if (thread_.launched()) thread_.resume(sink_);
}

void AdvancedSearch::stop() {
    if (!parser_) return;
    sink_.status(u"stop button pressed");
    parser_->stopFlag() = 1;
    stopPressed_ = 1;
}

const AdvancedFinds& AdvancedSearch::finds() const {
    static const AdvancedFinds none;
    return parser_ ? parser_->advancedFinds() : none;
}

std::u16string advancedCopyRowText(FileSystemKind kind, std::size_t i) {
    switch (kind) {
        case FileSystemKind::Ntfs: return u"MFT_ENTRY:" + number(i);
        case FileSystemKind::Fat32: return u"FAT32_ENTRY:" + number(i);
        case FileSystemKind::ExFat: return u"FAT64_ENTRY:" + number(i);
        default: return u"FAT_ENTRY:" + number(i);
    }
}

std::u16string advancedHeapRowText(std::size_t i) { return u"HEAP_OFFSET_ENTRY:" + number(i); }

std::u16string advancedCopiesLabel(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Fat16: return u"Total fat16 Entries Found:";
        case FileSystemKind::ExFat: return u"Total fat64 Entries Found:";
        default: return u"TFS :";
    }
}

std::u16string advancedFoundMessage(FileSystemKind kind, const AdvancedFinds& finds) {
    const std::u16string n = number(finds.copies.size());
    const std::u16string tail = u" . Please select the choice from combo box and click Next button to proceed.";
    switch (kind) {
        case FileSystemKind::Ntfs: return u"Number of MFT-ENTRY found = " + n + tail;
        case FileSystemKind::Fat32:
            if (finds.copies.empty()) return u"NO FAT  FAT32-ENTRY found ..";
            return u"Number of FAT32-ENTRY found = " + n + tail;
        case FileSystemKind::ExFat:
            return u"Number of FAT64-ENTRY found = " + n + u" and Number of HeapOffset-ENTRY found =  " +
                   number(finds.heaps.size()) +
                   u"  . Please select the choice from ( Entry and Heap ) Combobox and click Next button to proceed.";
        default: return u"Number of FAT-ENTRY found = " + n + tail;
    }
}

std::u16string advancedDoneStatus(FileSystemKind kind) {
    return kind == FileSystemKind::Ntfs ? u"Parsing done.Click next to continue." : u"Parsing done.Click Next to continue.";
}

}  // namespace dravonel
