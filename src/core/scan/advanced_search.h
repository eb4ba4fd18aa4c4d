#pragma once
// The first half of the advanced road, as the advanced-options page runs it: a parser is
// made for the chosen volume and searches the whole volume for copies of its central
// structure (FAT starts, exFAT cluster-heap starts, copies of the NTFS $MFT record),
// with pause, resume and stop while it runs. The same parser object is then lent to the
// scan (VolumeScan::borrowParser), which rebuilds the tree from the user's choice among
// what was found. The texts the page shows for the finds are here too, so the wizard
// and the command line say the same.
//
// Threads: the page's thread calls start, startWorker, pause, resume, stop and wait; the
// search runs on the worker (or on the calling thread through runWorker). The finds are
// read once the run has ended.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/model/scan_parser.h"
#include "core/scan/parser_registry.h"

namespace dravonel {

class AdvancedSearch {
public:
    // options.maxCopies bounds the search (<= 0: 3); the other choices are the scan's.
    AdvancedSearch(VolumeRecord volume, readWriteInterface* reader, ScanSink& sink, Prompt& prompt,
                   const ParserRegistry& registry = ParserRegistry::standard(), ScanOptions options = {});
    // Stops a search still running and waits for it: the parser is freed only after.
    ~AdvancedSearch();
    AdvancedSearch(const AdvancedSearch&) = delete;
    AdvancedSearch& operator=(const AdvancedSearch&) = delete;

    // Page start-up: chooses the parser by the volume's file system. False for a dead end
    // (said through the prompt and kept as a Refused outcome): "not a valid drive.", a
    // file system without the advanced road, "Please Restart the program to re begin
    // necessary initialization..." without a reader, or another run of the page busy.
    // The stop flag is cleared here, never by the worker, so a Stop pressed while the
    // worker starts is kept.
    bool start();
    // The search, then the page's end: the found-count message through the prompt and
    // "Parsing done.Click Next to continue." (NTFS: "...next...") on the status line.
    void runWorker();
    void startWorker();
    void wait();
    void pause();
    void resume();
    // "stop button pressed": the search ends at its next check, keeping what it found.
    void stop();

    void usePageSlot(RunSlot* slot) { claim_.setSlot(slot); }
    std::function<void(const RunOutcome&)> onFinished;

    bool running() const { return running_.load() != 0; }
    const RunOutcome& outcome() const { return outcome_; }
    FileSystemKind kind() const { return kind_; }
    const VolumeRecord& record() const { return volume_; }
    // The parser that searched (null after a dead end): lend it to the scan.
    ScanParser* parser() { return parser_.get(); }
    const AdvancedFinds& finds() const;
    WorkerControl& control() { return thread_.control; }

private:
    bool refuse(std::u16string text);

    VolumeRecord volume_;
    readWriteInterface* reader_;
    ScanSink& sink_;
    Prompt& prompt_;
    const ParserRegistry& registry_;
    ScanOptions options_;
    FileSystemKind kind_ = FileSystemKind::None;
    std::unique_ptr<ScanParser> parser_;
    RunOutcome outcome_;
    bool workerStarted_ = false;
    SlotClaim claim_;
    StopFlag running_{0};
    StopFlag stopPressed_{0};
    RunThread thread_;
};

// The row text of copy i: "MFT_ENTRY:%d", "FAT_ENTRY:%d" (FAT12/16), "FAT32_ENTRY:%d",
// "FAT64_ENTRY:%d" (exFAT).
std::u16string advancedCopyRowText(FileSystemKind kind, std::size_t i);
// "HEAP_OFFSET_ENTRY:%d".
std::u16string advancedHeapRowText(std::size_t i);
// The label of the copies list: "TFS :", "Total fat16 Entries Found:" (FAT12/16),
// "Total fat64 Entries Found:" (exFAT).
std::u16string advancedCopiesLabel(FileSystemKind kind);
// The message at the search's end ("Number of FAT32-ENTRY found = 2 . Please select ...",
// "NO FAT  FAT32-ENTRY found .." when a FAT32 search found none).
std::u16string advancedFoundMessage(FileSystemKind kind, const AdvancedFinds& finds);
// The status line at the search's end.
std::u16string advancedDoneStatus(FileSystemKind kind);

}  // namespace dravonel
