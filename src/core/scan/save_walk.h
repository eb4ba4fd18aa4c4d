#pragma once
// Saving marked items: the walk over the checked items of the result tree (folders whose
// children were never opened are saved straight from the parser's records), the walk
// over checked search rows, and the quick save of a double-clicked file. Folder paths
// are rebuilt below the chosen output folder with std::filesystem; the process's current
// directory is never changed. Works for every parser through RecoveredVolume: the walk
// asks only its const queries, and saveEntry for each file.
//
// Threads: a save runs on the page's worker (startWorker) or on the calling thread
// (runWorker, run). It reads the tree and the list directly, so while it runs the page
// keeps both disabled (its thread only reads them, to paint).
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <unordered_map>
#include <unordered_set>

#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/scan/output_names.h"
#include "core/model/recovered_volume.h"
#include "core/scan/result_view.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// Folders nested deeper than this below a saved or searched folder are left out (no
// real path is that deep; a damaged volume can link folders into endless chains).
constexpr int kMaxFolderDepth = 1024;

// Files of one folder record and everything below it (a folder adds its own count, every
// other child adds 1). Folders already on the way down are not entered again.
std::int64_t countFilesUnder(const RecoveredVolume& volume, EntryRef folder);

// What became of one file written by writeEntryFile.
struct SaveDetail {
    std::filesystem::path written;  // the file made (target, or its numbered form)
    std::string reason;             // why it failed: the system's text or the guard's refusal
    std::uint64_t unreadableSectors = 0;
    std::string damage;             // the parser's notes of why the file is not whole
    int error = 0;                  // errno of the failure, 0 when none
    std::string renamedFrom;        // the name the output refused, when written under a portable one
};

// Writes one entry into target through the core's output file: created anew without
// following links (when target exists, the first free "stem (n).ext" is made instead:
// nothing that is there is replaced), the parser's bytes, the entry's times stamped on
// the open file. A name the output's file system refuses (a FAT32 or exFAT stick and
// "a:b.txt") is replaced by its portableName, and detail says so. A failed or stopped file
// is removed (only ever the one this call made).
// Unreadable sectors written as zeros are added to *unreadableSectors when given.
SaveStatus writeEntryFile(RecoveredVolume& volume, EntryRef ref, const std::filesystem::path& target,
                          std::uint64_t* unreadableSectors = nullptr, SaveDetail* detail = nullptr);

// Where target's file goes when the output's file system refused its name with error:
// the same folder, the name made portable (shortened too after ENAMETOOLONG). Empty when
// error is no refusal of the name or the portable name is the same.
std::filesystem::path portableTarget(const std::filesystem::path& target, int error);

// A file that was not saved whole, or was saved under another name, for the closing
// report (a quick save's result uses the same shape for every status).
struct SaveProblem {
    std::filesystem::path path;  // where it was (or would have been) written
    // Damaged or Failed; Saved for a file or folder written under a portable name
    SaveStatus status = SaveStatus::Failed;
    // Failed: why; Damaged: the parser's notes (may be empty); Saved: the refused name
    std::string reason;
    std::uint64_t unreadableSectors = 0;     // Damaged: sectors written as zeros
};

// What the closing report says of a problem file, after its path: the failure's reason,
// or for a damaged file the parser's notes and the unreadable sectors written as zeros
// (never "0 unreadable sectors").
std::string problemText(const SaveProblem& problem);

struct SaveCounts {
    std::int64_t saved = 0;    // files written
    std::int64_t skipped = 0;  // deleted files not wanted, entries never written
    std::int64_t failed = 0;   // files the parser could not write, rows whose folders failed
    std::int64_t damaged = 0;             // files written with zeros where data could not be read
    std::uint64_t unreadableSectors = 0;  // sectors written as zeros in damaged files
};

// What a save says when its output folder filled up or went away: "The disk of FOLDER is
// full: N files saved, M not saved. Free some space or choose another folder." (for
// ENOSPC and EDQUOT; otherwise that it can no longer be written to, and why).
std::string outputLostText(const std::filesystem::path& folder, int error, std::int64_t saved, std::int64_t notSaved);

// The closing report's count line: "saved N, damaged D, skipped S, failed F".
std::string countsText(const SaveCounts& counts);

// One line of the closing report: "damaged: PATH: TEXT" or "failed: PATH: TEXT" (without
// ": TEXT" when problemText is empty), or "saved as PATH: NAME" for a file written under a
// portable name. PATH is relative to folder when the file lies below it, else the whole
// path.
std::string problemLine(const SaveProblem& problem, const std::filesystem::path& folder);

// How a save ended, with what it wrote: damaged files and the unreadable sectors written
// as zeros in them are part of every save's outcome. A save whose output filled up or
// went away ends Failed at once, with outputLostText as its message.
struct SaveOutcome : RunOutcome {
    SaveCounts counts;
};

class SaveRun {
public:
    SaveRun(CTriStateTree& tree, RecoveredVolume& volume, ScanSink& sink, Prompt& prompt)
        : tree_(tree), volume_(volume), entries_(volume), view_(tree, volume), sink_(sink), prompt_(prompt) {}
    // A running worker is stopped and waited for.
    ~SaveRun();
    SaveRun(const SaveRun&) = delete;
    SaveRun& operator=(const SaveRun&) = delete;

    // Where files go; every save path starts from it. Kept between runs.
    std::filesystem::path outputFolder;
    // True when the user answered No to "Do you want to Save Deleted Files?".
    bool skipDeletedFiles = false;
    // The page's stop flag; a walk ends before its next item when it is set. When null
    // the run's own flag is used.
    StopFlag* stopPressed = nullptr;
    // Pause and resume between items; may be null.
    WorkerControl* control = nullptr;
    // The save progress line ("File size: N kb" while a file is written, empty after).
    ScanSink* progressLine = nullptr;

    // The Save button's test: true when a tree item or (with search rows shown) a row is
    // checked; otherwise "Please select File or Folder to save".
    bool hasMarkedItems(const FileList* list);
    // The save worker: asks "Do you want to Save Deleted Files?", saves the checked tree
    // items and then the checked search rows, shows "work done....." and the status
    // "Saving Completed..". A Stop pressed at any time after start() ends it. Does nothing and answers false when outputFolder is empty
    // (the folder choice was cancelled) or nothing is marked. start() and runWorker() on
    // the calling thread.
    bool run(const FileList* list);

    // The run object's shape, as the scan page drives it.
    // The page's slot (one run at a time per page); set before start. May stay null.
    void usePageSlot(RunSlot* slot) { claim_.setSlot(slot); }
    // Called on the worker when the run has ended; outcome() is set and the slot is free
    // again. It must not wait for the page's thread.
    std::function<void(const SaveOutcome&)> onFinished;
    // Takes the page's slot and clears the stop flags (the page's and the parser's), so no
    // Stop of an earlier run lingers. False, with "Please wait for other process to
    // complete", while another run of the page holds the slot.
    bool start();
    // The save worker above on the calling thread; list (may be null) must stay as it is
    // until the run has ended. Ends with the outcome: Refused ("" for no folder, or the
    // text shown), Stopped or Completed, always with the counts; both stop flags are clear
    // afterwards.
    void runWorker(const FileList* list);
    // runWorker on a thread of its own; wait() joins it.
    void startWorker(const FileList* list);
    void wait();
    // Pause adds one suspension, Resume removes one (the walk stands still before its next
    // item); Stop sets the page's and the parser's stop flags (the file being written ends
    // early, the walk before its next item).
    void pause();
    void resume();
    void stop();
    bool running() const { return running_.load() != 0; }
    const SaveOutcome& outcome() const { return outcome_; }

    // The walks; each may be used alone after outputFolder is set.
    void saveCheckedTreeItems();
    void saveCheckedUnder(TreeItem item);
    void saveTreeItem(TreeItem item);
    void saveFolderFromRecords(TreeItem item);
    void saveFolderRecords(EntryRef folder, const std::filesystem::path& path, std::int64_t& counter);
    // The output folder for item's parent: each ancestor below the top-level item, made
    // inside the previous one; a level that cannot be made is left out.
    std::filesystem::path buildAncestorFolders(TreeItem item);
    // The folder for a disk name inside path, made when missing; empty when it could not
    // be made.
    // A folder made here is remembered with ref (when given): once the run has written
    // everything, it gets the times the volume records for that folder.
    std::filesystem::path makeFolderIn(std::u16string_view name, const std::filesystem::path& path,
                                       std::optional<EntryRef> ref = std::nullopt);
    void saveCheckedSearchRows(const FileList& list);
    // Makes the folders of a hit's path (every part but the first, the root, and the last,
    // the file) below path and extends path; on failure "cant create folder %s " and false.
    bool makeFolderPath(std::filesystem::path& path, const std::vector<std::u16string>& parts);

    // A double click on a tree item: a folder is listed as a label click lists it; a file
    // is saved at once (deleted or not) into outputFolder, which is asked for through
    // chooseFolder when none was chosen yet ("select output folder" when none is given).
    // True when a file was written; the file is added to counts() (damaged and unreadable
    // sectors included). When a file was tried and result is given, it says how: the path
    // written (its numbered form when the name was taken), the status and, for a damaged
    // or failed file, the reason and unreadable sectors (problemText gives the text);
    // result is left as it is when nothing was tried. Runs on the calling thread.
    bool quickSave(TreeItem item, FileList& list, const std::function<std::filesystem::path()>& chooseFolder,
                   SaveProblem* result = nullptr);

    const SaveCounts& counts() const { return counts_; }
    // The damaged and failed files of the last run, and those saved under a portable
    // name, in the order they were met.
    const std::vector<SaveProblem>& problems() const { return problems_; }

private:
    StopFlag& pageStop() { return stopPressed ? *stopPressed : ownStop_; }
    bool stopped() const { return (stopPressed ? *stopPressed : ownStop_).load() != 0; }
    void checkPoint() {
        if (control) control->checkPoint();
        thread_.control.checkPoint();
    }
    void finish(SaveOutcome outcome);
    void count(SaveStatus status);
    // Writes one file entry into folder, with the skips of saving. full is shown.
    void saveFileEntry(EntryRef ref, const std::filesystem::path& folder);
    void saveFolderRecordsAt(EntryRef folder, const std::filesystem::path& path, std::int64_t& counter, int depth);

    CTriStateTree& tree_;
    RecoveredVolume& volume_;        // saveEntry and the stop flag
    const RecoveredVolume& entries_;  // every other question
    ResultView view_;
    ScanSink& sink_;
    Prompt& prompt_;
    StopFlag ownStop_{0};
    OutputNames names_;
    SaveCounts counts_;
    std::vector<SaveProblem> problems_;
    std::vector<std::pair<std::filesystem::path, EntryRef>> madeFolders_;
    void stampMadeFolders();
    std::unordered_map<TreeItem, std::filesystem::path> itemFolders_;
    std::unordered_set<EntryRef> descent_;
    // Set when the output filled up or went away: errno, the files from then on, and the
    // folder that was written to.
    int outputLost_ = 0;
    std::int64_t notSaved_ = 0;
    SlotClaim claim_;
    SaveOutcome outcome_;
    StopFlag running_{0};
    bool workerStarted_ = false;
    RunThread thread_;
};

}  // namespace dravonel
