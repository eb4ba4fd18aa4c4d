#pragma once
// One scan of one volume, as the scan page runs it: choosing the parser by the volume's
// file system, the parser's scan steps in their fixed order on a worker, the completion
// (placeholders for the top-level folders, "Scanning processing done.Select save button
// to save the data."), and pause, resume and stop while it runs.
//
// Threads: the page's thread owns the tree and calls start, startWorker, pause, resume,
// stop and wait. With useOwnerThread the worker never touches the tree itself: the
// parser inserts through a BlockingTreeSink and the completion's tree work runs through
// the same owner call. Without it (the CLI, tests that run on one thread) the worker
// calls the tree directly.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/common/owner_calls.h"
#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/model/blocking_tree_sink.h"
#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/parser_registry.h"

namespace dravonel {

// The completion text of every scan.
inline constexpr char16_t kScanDoneText[] = u"Scanning processing done.Select save button to save the data.";
// The completion of a scan that did not find the file system's own structures where the
// volume says they are (an NTFS boot sector pointing at no MFT, an ext start without a
// superblock): nothing was recovered, which is not "done". The hint follows when the
// parser has the Advanced road.
inline constexpr char16_t kStructureNotFoundText[] =
    u"Nothing was recovered: the file system's structures were not found where the volume's boot sector says they are.";
inline constexpr char16_t kTryAdvancedText[] = u" The Advanced road searches the whole volume for copies of them.";
// The completion of an Advanced scan that found no file or folder with the choices made.
inline constexpr char16_t kAdvancedNothingText[] =
    u"Nothing was recovered with these choices. Go Back and choose another copy or cluster size.";

class VolumeScan {
public:
    // reader may be null (then start answers the restart message). Parsers come from
    // registry (tests give a table of their own); treeSink, when given, is where the
    // worker inserts (the GUI's hand-over to the tree's thread), otherwise the tree itself.
    VolumeScan(VolumeRecord volume, RecoveryMode mode, CTriStateTree& tree, readWriteInterface* reader,
               ScanSink& sink, Prompt& prompt, const ParserRegistry& registry = ParserRegistry::standard(),
               ScanOptions options = {}, TreeSink* treeSink = nullptr);
    ~VolumeScan();
    VolumeScan(const VolumeScan&) = delete;
    VolumeScan& operator=(const VolumeScan&) = delete;

    // Page start-up: sets scanRunning, prepares the tree (check boxes with tri-state
    // propagation), chooses the parser by the volume's file system and hands it the
    // volume. False for a dead end: "not a valid drive." for an unknown file system, a
    // message that the kind cannot be scanned yet for the parsers not built or the mode
    // the parser does not run, or "Please Restart the program to re begin necessary
    // initialization..." without a reader. A dead end leaves the scan not running.
    // Refused with "Please wait for other process to complete" while another run of the
    // page holds the page's slot. The reader's baseOffset is set to the volume's start
    // here, and the stop flags are cleared here, before any worker runs.
    bool start();
    // The call that runs work on the tree's thread and waits for it (the GUI's event
    // loop, an OwnerCallQueue); set before start (the parser is made there). The parser
    // then inserts through a BlockingTreeSink over the tree.
    void useOwnerThread(OwnerCall runOnOwner);
    // Advanced mode: the parser the advanced search made and searched with (it stays the
    // caller's and must outlive this scan); set before start. start gives it this scan's
    // tree, sinks, control and options and runs the advanced scan on it.
    void borrowParser(ScanParser* parser) { borrowed_ = parser; }
    // The page's slot (one run at a time per page); set before start. May stay null.
    void usePageSlot(RunSlot* slot) { claim_.setSlot(slot); }
    // Called on the worker when the run has ended (after the completion text); outcome()
    // is set and the page's slot is free again. It must not wait for the page's thread.
    std::function<void(const ScanOutcome&)> onFinished;
    // The parser's run for the mode, then the completion: expand placeholders, the
    // recycle-bin names (also after a Stop, for what was found), "Scanning processing
    // done.Select save button to save the data.". A run the parser refused (a boot sector
    // that is not the file system's) ends with the parser's message alone. Runs on the
    // calling thread; does nothing after a dead end. The outcome is kept (outcome()).
    void runWorker();
    // runWorker on a thread of its own; wait() joins it.
    void startWorker();
    void wait();

    // The page's buttons. Pause adds one suspension and Resume removes one; the worker
    // stands still at its next check point while any remain. Stop sets the parser's
    // stopFlag and stopPressed (nothing after a dead end). Their status texts reach the
    // sink from the caller's thread while the worker may be writing its own, so a sink
    // used with startWorker must take calls from both threads.
    void pause();
    void resume();
    void stop();

    bool scanRunning() const { return scanRunning_.load() != 0; }
    bool deadEnd() const { return !parserChosen_; }
    // How the last run ended (Refused after a dead end, with its text).
    const ScanOutcome& outcome() const { return outcome_; }
    FileSystemKind kind() const { return kind_; }
    RecoveryMode mode() const { return mode_; }
    // The parsed volume; null after a dead end.
    RecoveredVolume* volume() { return parser_; }
    ScanParser* parser() { return parser_; }
    WorkerControl& control() { return thread_.control; }
    StopFlag& stopPressed() { return stopPressed_; }
    CTriStateTree& tree() { return tree_; }
    const VolumeRecord& record() const { return volume_; }
    // What the run could not read: the parser's losses with their counts, then
    // "unreadable sectors: N" for every sector its reads found unreadable. Each was also
    // shown on the status line. Empty when every read of the run succeeded.
    const std::vector<std::u16string>& readLosses() const { return readLosses_; }

private:
    void completeScan();
    // Sectors of the volume's area the reader knows to be unreadable.
    std::int64_t unreadableInVolume() const;
    bool refuse(std::u16string text, bool asMessage = true);

    VolumeRecord volume_;
    RecoveryMode mode_;
    CTriStateTree& tree_;
    readWriteInterface* reader_;
    std::vector<std::u16string> readLosses_;
    ScanSink& sink_;
    Prompt& prompt_;
    const ParserRegistry& registry_;
    ScanOptions options_;
    TreeSink* treeSink_;
    OwnerCall runOnOwner_;
    std::unique_ptr<BlockingTreeSink> ownerSink_;
    FileSystemKind kind_ = FileSystemKind::None;
    std::unique_ptr<ScanParser> owned_;
    ScanParser* borrowed_ = nullptr;
    ScanParser* parser_ = nullptr;  // owned_ or borrowed_
    ScanOutcome outcome_;
    bool parserChosen_ = false;
    bool workerStarted_ = false;
    SlotClaim claim_;
    StopFlag scanRunning_{0};
    StopFlag stopPressed_{0};
    RunThread thread_;
};

}  // namespace dravonel
