#pragma once
// Search by name pattern over every file the parser found, whether or not its folder was
// ever opened in the result tree. The pattern is an ECMAScript regular expression,
// case-insensitive, matched anywhere in a name (a search, not a whole-name match) after
// the name is turned into Windows-1252. Only files become hits. The walk asks only the
// parser's const queries.
//
// Threads: a search runs on the page's worker (startWorker) or on the calling thread
// (runWorker, run). It reads the tree and fills the list directly, so while it runs the
// page keeps the tree disabled and shows the list only after the outcome.
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/model/recovered_volume.h"
#include "core/scan/result_view.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// The compiled form of a search pattern; nothing when the pattern is not a valid
// expression.
std::optional<std::regex> compileSearchPattern(std::u16string_view pattern);
// True when the expression matches any part of name (name in Windows-1252).
bool nameMatches(const std::regex& expression, std::u16string_view name);
// The hit's path as shown: its parts joined with "/".
std::u16string joinHitPath(const std::vector<std::u16string>& parts);

// How a search ended, with its number of hits.
struct SearchOutcome : RunOutcome {
    std::int64_t hits = 0;
};

class SearchRun {
public:
    SearchRun(CTriStateTree& tree, RecoveredVolume& volume, ScanSink& sink, Prompt& prompt)
        : tree_(tree), volume_(volume), parserStop_(volume.stopFlag()), view_(tree, volume), sink_(sink),
          prompt_(prompt) {}
    // A running worker is stopped and waited for.
    ~SearchRun();
    SearchRun(const SearchRun&) = delete;
    SearchRun& operator=(const SearchRun&) = delete;

    // The page's stop flag (between top-level items); the parser's stopFlag ends a folder
    // walk. When null the run's own flag is used.
    StopFlag* stopPressed = nullptr;
    WorkerControl* control = nullptr;

    // The search worker: empties list and fills it with hit rows. An invalid pattern
    // shows "such characters are not allowed for search.Try again with different
    // pattern." and ends the run (answering false, without "Searching Finished");
    // otherwise "Searching Finished" follows (also for an empty pattern and after Stop).
    // start() and runWorker() on the calling thread.
    bool run(std::u16string_view pattern, FileList& list);

    // The run object's shape, as the scan page drives it.
    // The page's slot (one run at a time per page); set before start. May stay null.
    void usePageSlot(RunSlot* slot) { claim_.setSlot(slot); }
    // Called on the worker when the run has ended; outcome() is set and the slot is free
    // again. It must not wait for the page's thread.
    std::function<void(const SearchOutcome&)> onFinished;
    // Takes the page's slot and clears the stop flags (the page's and the parser's), so a
    // Stop of an earlier run cannot end this one. False, with "Please wait for other
    // process to complete", while another run of the page holds the slot.
    bool start();
    // The search worker above on the calling thread; list belongs to the run until it has
    // ended. Outcome: Refused for a pattern that is not a valid expression (with its
    // text), Stopped or Completed, with the hits; both stop flags are clear afterwards.
    void runWorker(std::u16string pattern, FileList& list);
    // runWorker on a thread of its own; wait() joins it.
    void startWorker(std::u16string pattern, FileList& list);
    void wait();
    // Pause and Resume count as on the scan; Stop sets the page's and the parser's flags.
    void pause();
    void resume();
    void stop();
    bool running() const { return running_.load() != 0; }
    const SearchOutcome& outcome() const { return outcome_; }

    // Walks one folder record's descendants: every file whose name matches adds a row
    // with path parts = parts + name. counter counts the rows of this run.
    void searchRecords(EntryRef folder, const std::vector<std::u16string>& parts, std::int64_t& counter);
    std::int64_t hits() const { return hits_; }

private:
    void searchFolder(TreeItem item, std::vector<std::u16string> parts, std::int64_t& counter);
    void searchRecordsAt(EntryRef folder, std::vector<std::u16string>& parts, std::int64_t& counter, int depth);
    void addHit(EntryRef ref, std::vector<std::u16string> parts, std::int64_t& counter);
    StopFlag& pageStop() { return stopPressed ? *stopPressed : ownStop_; }
    bool stopped() const { return (stopPressed ? *stopPressed : ownStop_).load() != 0; }
    void checkPoint() {
        if (control) control->checkPoint();
        thread_.control.checkPoint();
    }
    void finish(SearchOutcome outcome);

    CTriStateTree& tree_;
    const RecoveredVolume& volume_;
    StopFlag& parserStop_;
    ResultView view_;
    ScanSink& sink_;
    Prompt& prompt_;
    StopFlag ownStop_{0};
    std::optional<std::regex> expression_;
    FileList* list_ = nullptr;
    std::int64_t hits_ = 0;
    std::unordered_set<EntryRef> descent_;
    SlotClaim claim_;
    SearchOutcome outcome_;
    StopFlag running_{0};
    bool workerStarted_ = false;
    RunThread thread_;
};

}  // namespace dravonel
