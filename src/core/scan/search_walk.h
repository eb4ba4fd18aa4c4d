#pragma once
// Search by name pattern over every file the parser found, whether or not its folder was
// ever opened in the result tree. The pattern is an ECMAScript regular expression,
// case-insensitive, matched anywhere in a name (a search, not a whole-name match) after
// the name is turned into Windows-1252. Only files become hits.
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/platform.h"
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

class SearchRun {
public:
    SearchRun(CTriStateTree& tree, RecoveredVolume& volume, ScanSink& sink, Prompt& prompt)
        : tree_(tree), volume_(volume), view_(tree, volume), sink_(sink), prompt_(prompt) {}

    // The page's stop flag (between top-level items); the parser's stopFlag ends a folder
    // walk. When null the run's own flag is used.
    StopFlag* stopPressed = nullptr;
    WorkerControl* control = nullptr;

    // The search worker: empties list and fills it with hit rows. An invalid pattern
    // shows "such characters are not allowed for search.Try again with different
    // pattern." and ends the run (answering false, without "Searching Finished");
    // otherwise "Searching Finished" follows (also for an empty pattern and after Stop).
    bool run(std::u16string_view pattern, FileList& list);

    // Walks one folder record's descendants: every file whose name matches adds a row
    // with path parts = parts + name. counter counts the rows of this run.
    void searchRecords(EntryRef folder, const std::vector<std::u16string>& parts, std::int64_t& counter);
    std::int64_t hits() const { return hits_; }

private:
    void searchFolder(TreeItem item, std::vector<std::u16string> parts, std::int64_t& counter);
    void searchRecordsAt(EntryRef folder, std::vector<std::u16string>& parts, std::int64_t& counter, int depth);
    void addHit(EntryRef ref, std::vector<std::u16string> parts, std::int64_t& counter);
    bool stopped() const { return (stopPressed ? *stopPressed : ownStop_).load() != 0; }

    CTriStateTree& tree_;
    RecoveredVolume& volume_;
    ResultView view_;
    ScanSink& sink_;
    Prompt& prompt_;
    StopFlag ownStop_{0};
    std::optional<std::regex> expression_;
    FileList* list_ = nullptr;
    std::int64_t hits_ = 0;
    std::unordered_set<EntryRef> descent_;
};

}  // namespace dravonel
