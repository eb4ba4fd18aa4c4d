#include "core/scan/save_walk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/common/formats.h"
#include "core/common/output_file.h"
#include "core/common/text.h"

namespace dravonel {

namespace {

std::int64_t countBelow(const RecoveredVolume& volume, EntryRef folder, std::unordered_set<EntryRef>& descent,
                        int depth) {
    if (depth >= kMaxFolderDepth || !descent.insert(folder).second) return 0;
    std::int64_t n = 0;
    volume.forEachChild(folder, [&](EntryRef child) {
        if (volume.isFolder(child)) n += countBelow(volume, child, descent, depth + 1);
        else ++n;
        return true;
    });
    descent.erase(folder);
    return n;
}

std::u16string shownPath(const std::filesystem::path& p) { return fromUtf8(p.string()); }

// Names eCryptfs and other stacked file systems still take, when the output refused a
// longer one.
constexpr std::size_t kShortNameBytes = 143;

}  // namespace

std::filesystem::path portableTarget(const std::filesystem::path& target, int error) {
    if (!nameRefused(error, target)) return {};
    std::string name = portableName(target.filename().string());
    if (error == ENAMETOOLONG && name.size() > kShortNameBytes) {
        const std::size_t dot = name.rfind('.');
        const std::size_t ext = dot == std::string::npos || dot == 0 || name.size() - dot > 16 ? 0 : name.size() - dot;
        name = cutUtf8(name.substr(0, name.size() - ext), kShortNameBytes - ext) + name.substr(name.size() - ext);
    }
    if (name == target.filename().string()) return {};
    return target.parent_path() / name;
}

namespace {

}  // namespace

SaveStatus writeEntryFile(RecoveredVolume& volume, EntryRef ref, const std::filesystem::path& target,
                          std::uint64_t* unreadableSectors, SaveDetail* detail) {
    SaveDetail local;
    SaveDetail& d = detail ? *detail : local;
    d = {};
    d.written = target;
    OutputFile file;
    if (!file.createNew(target)) {
        const int refused = file.error();
        const std::filesystem::path portable = portableTarget(target, refused);
        if (portable.empty() || !file.createNew(portable)) {
            d.reason = file.errorText();
            d.error = file.error();
            return SaveStatus::Failed;
        }
        d.renamedFrom = target.filename().string();
    }
    d.written = file.path();
    const SaveStatus status = volume.saveEntry(ref, file);
    if (status == SaveStatus::Failed || status == SaveStatus::Stopped) {
        // A stopped file is cut short: it is not kept as if it were the file.
        if (status == SaveStatus::Failed) {
            d.reason = file.error() != 0 ? file.errorText() : file.damage();
            d.error = file.error();
        }
        file.discard();
        return status;
    }
    const EntryTimes t = volume.times(ref);
    file.stampTimes(t.accessed, t.modified);
    d.unreadableSectors = file.unreadableSectors();
    d.damage = file.damage();
    if (unreadableSectors) *unreadableSectors += file.unreadableSectors();
    if (!file.close()) {
        d.reason = file.errorText();
        d.error = file.error();
        file.discard();
        return SaveStatus::Failed;
    }
    // Zeros written in place of unreadable data make the file damaged, whatever the
    // parser answered.
    if (status == SaveStatus::Saved && (d.unreadableSectors > 0 || !d.damage.empty())) return SaveStatus::Damaged;
    return status;
}

std::string problemText(const SaveProblem& p) {
    if (p.status != SaveStatus::Damaged) return p.reason;
    std::string text = p.reason;
    if (p.unreadableSectors > 0) {
        if (!text.empty()) text += "; ";
        text += std::to_string(p.unreadableSectors) + " unreadable sectors written as zeros";
    }
    return text.empty() ? std::string("not every byte could be recovered") : text;
}

std::string outputLostText(const std::filesystem::path& folder, int error, std::int64_t saved, std::int64_t notSaved) {
    const std::string counts = groupedNumber(std::uint64_t(saved)) + " files saved, " +
                               groupedNumber(std::uint64_t(notSaved)) + " not saved.";
    if (error == ENOSPC || error == EDQUOT)
        return "The disk of " + folder.string() + " is full: " + counts + " Free some space or choose another folder.";
    return "The disk of " + folder.string() + " can no longer be written to (" + std::strerror(error) + "): " + counts +
           " Choose another folder.";
}

std::string countsText(const SaveCounts& c) {
    return "saved " + std::to_string(c.saved) + ", damaged " + std::to_string(c.damaged) + ", skipped " +
           std::to_string(c.skipped) + ", failed " + std::to_string(c.failed);
}

std::string problemLine(const SaveProblem& p, const std::filesystem::path& folder) {
    std::filesystem::path shown = p.path;
    if (!folder.empty()) {
        const std::filesystem::path below = p.path.lexically_relative(folder);
        if (!below.empty() && *below.begin() != "..") shown = below;
    }
    if (p.status == SaveStatus::Saved) return "saved as " + shown.string() + ": " + p.reason;
    const std::string text = problemText(p);
    return (p.status == SaveStatus::Damaged ? "damaged: " : "failed: ") + shown.string() +
           (text.empty() ? std::string() : ": " + text);
}

std::int64_t countFilesUnder(const RecoveredVolume& volume, EntryRef folder) {
    std::unordered_set<EntryRef> descent;
    return countBelow(volume, folder, descent, 0);
}

bool SaveRun::hasMarkedItems(const FileList* list) {
    if (tree_.countChecked() > 0) return true;
    if (list && list->listShowsSearch && list->anyChecked() && !stopped()) return true;
    prompt_.message(u"Please select File or Folder to save");
    return false;
}

SaveRun::~SaveRun() {
    if (running() && thread_.launched()) {
        pageStop() = 1;
        volume_.stopFlag() = 1;
    }
}

bool SaveRun::run(const FileList* list) {
    if (!start()) return false;
    runWorker(list);
    return outcome_.kind != RunOutcome::Kind::Refused;
}

bool SaveRun::start() {
    if (running() || !claim_.claim()) return refuseBusy(prompt_, outcome_);
    running_ = 1;
    workerStarted_ = false;
    thread_.control.reset();
    outcome_ = {};
    pageStop() = 0;
    volume_.stopFlag() = 0;
    return true;
}

void SaveRun::finish(SaveOutcome outcome) {
    outcome.counts = counts_;
    outcome_ = std::move(outcome);
    // The stop belonged to this run: later saves and searches start clean.
    pageStop() = 0;
    volume_.stopFlag() = 0;
    running_ = 0;
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void SaveRun::runWorker(const FileList* list) {
    if (!running()) return;
    counts_ = {};
    SaveOutcome outcome;
    if (outputFolder.empty()) {
        outcome.kind = RunOutcome::Kind::Refused;
        finish(std::move(outcome));
        return;
    }
    const bool rows = list && list->listShowsSearch && list->anyChecked();
    if (tree_.countChecked() == 0 && !rows) {
        prompt_.message(u"Please select items to save");
        outcome.kind = RunOutcome::Kind::Refused;
        outcome.message = u"Please select items to save";
        finish(std::move(outcome));
        return;
    }
    skipDeletedFiles = !prompt_.question(u"Do you want to Save Deleted Files?");
    sink_.setPosition(0);
    // The stop flags were cleared by start(): a Stop pressed since then must hold.
    names_.clear();
    itemFolders_.clear();
    counts_ = {};
    problems_.clear();
    madeFolders_.clear();
    outputLost_ = 0;
    notSaved_ = 0;
    saveCheckedTreeItems();
    if (list && list->listShowsSearch) saveCheckedSearchRows(*list);
    stampMadeFolders();
    if (outputLost_ != 0) {
        // Said once, for the whole save, instead of once for every file after it.
        outcome.kind = RunOutcome::Kind::Failed;
        outcome.errorCode = static_cast<std::uint32_t>(outputLost_);
        outcome.message = fromUtf8(outputLostText(outputFolder, outputLost_, counts_.saved + counts_.damaged, notSaved_));
        prompt_.message(outcome.message);
    } else if (stopped() || volume_.stopFlag().load() != 0) {
        outcome.kind = RunOutcome::Kind::Stopped;
    }
    prompt_.message(u"work done.....");
    pageStop() = 0;
    sink_.status(u"Saving Completed..");
    finish(std::move(outcome));
}

void SaveRun::startWorker(const FileList* list) {
    if (!running() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this, list] { runWorker(list); });
}

void SaveRun::wait() { thread_.join(); }

void SaveRun::pause() {
    if (running()) thread_.pause(sink_);
}

void SaveRun::resume() {
    if (running()) thread_.resume(sink_);
}

void SaveRun::stop() {
    if (!running()) return;
    // The text before the flags, as on the scan (the worker may write its own at once).
    sink_.status(u"stop button pressed.Please wait for the process to be stopped.");
    volume_.stopFlag() = 1;
    pageStop() = 1;
}

void SaveRun::count(SaveStatus status) {
    switch (status) {
        case SaveStatus::Saved: ++counts_.saved; break;
        case SaveStatus::Damaged: ++counts_.damaged; break;
        case SaveStatus::Stopped: break;  // cut short by the stop and removed: not saved
        case SaveStatus::Failed: ++counts_.failed; break;
    }
}

void SaveRun::saveCheckedTreeItems() {
    const TreeItem top = tree_.root();
    if (top != kNoItem) saveCheckedUnder(top);
}

void SaveRun::saveCheckedUnder(TreeItem item) {
    for (TreeItem child = tree_.firstChild(item); child != kNoItem && !stopped(); child = tree_.nextSibling(child)) {
        checkPoint();
        if (stopped()) break;  // a Stop pressed while paused
        if (tree_.isPlaceholder(child)) continue;
        const TreeItem first = tree_.firstChild(child);
        if (first != kNoItem) {
            if (tree_.getCheck(child) && tree_.isPlaceholder(first)) saveFolderFromRecords(child);
            else saveCheckedUnder(child);
        } else if (tree_.getCheck(child)) {
            saveTreeItem(child);
        }
    }
}

std::filesystem::path SaveRun::makeFolderIn(std::u16string_view name, const std::filesystem::path& path,
                                           std::optional<EntryRef> ref) {
    if (outputLost_ != 0) return {};  // nothing more can be made there
    std::filesystem::path made = names_.folderPath(path, outputName(name));
    if (!made.empty() && ref && names_.lastFolderMade()) madeFolders_.emplace_back(made, *ref);
    if (!made.empty() && !names_.lastFolderRenamedFrom().empty())
        problems_.push_back({made, SaveStatus::Saved, names_.lastFolderRenamedFrom(), 0});
    return made;
}

void SaveRun::stampMadeFolders() {
    // Last, so that no later write into a folder moves its times again. Only folders this
    // run made: a folder that was there before keeps its own times.
    for (const auto& [path, ref] : madeFolders_) {
        if (!volume_.isValidEntry(ref)) continue;
        const EntryTimes t = volume_.times(ref);
        if (!t.accessed && !t.modified) continue;
        timespec stamps[2];
        stamps[0] = t.accessed ? *t.accessed : timespec{0, UTIME_OMIT};
        stamps[1] = t.modified ? *t.modified : timespec{0, UTIME_OMIT};
        ::utimensat(AT_FDCWD, path.c_str(), stamps, AT_SYMLINK_NOFOLLOW);
    }
    madeFolders_.clear();
}

std::filesystem::path SaveRun::buildAncestorFolders(TreeItem item) {
    std::vector<TreeItem> chain;  // the item's parent up to just below the top level
    for (TreeItem a = tree_.parent(item); a != kNoItem && tree_.parent(a) != kNoItem; a = tree_.parent(a))
        chain.push_back(a);
    std::filesystem::path path = outputFolder;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        auto known = itemFolders_.find(*it);
        if (known != itemFolders_.end()) {
            path = known->second;
            continue;
        }
        const std::u16string name = trim(tree_.getItemText(*it));
        EntryRef ref = 0;
        const bool hasEntry = view_.entryOf(*it, ref);
        std::filesystem::path made =
            name.empty() ? path : makeFolderIn(name, path, hasEntry ? std::optional<EntryRef>(ref) : std::nullopt);
        if (!made.empty()) path = made;  // a level that cannot be made is left out
        itemFolders_.emplace(*it, path);
    }
    return path;
}

void SaveRun::saveFileEntry(EntryRef ref, const std::filesystem::path& folder) {
    if (outputLost_ != 0) {
        // The output is full or gone: the rest is counted, not tried file by file.
        if (!entries_.isNeverSaved(ref) && !(skipDeletedFiles && entries_.isDeleted(ref))) {
            ++counts_.failed;
            ++notSaved_;
        } else {
            ++counts_.skipped;
        }
        return;
    }
    const std::filesystem::path full = names_.filePath(folder, outputName(entries_.name(ref)));
    sink_.status(u"saving File  " + shownPath(full));
    if (progressLine)
        progressLine->status(format16("File size: %ld kb", static_cast<long>(entries_.sizeBytes(ref) / 1024)));
    if (entries_.isNeverSaved(ref) || (skipDeletedFiles && entries_.isDeleted(ref))) {
        ++counts_.skipped;
    } else {
        SaveDetail detail;
        const SaveStatus status = writeEntryFile(volume_, ref, full, &counts_.unreadableSectors, &detail);
        if ((status == SaveStatus::Saved || status == SaveStatus::Damaged) && !detail.renamedFrom.empty())
            problems_.push_back({detail.written, SaveStatus::Saved, detail.renamedFrom, 0});
        switch (status) {
            case SaveStatus::Saved: ++counts_.saved; break;
            case SaveStatus::Damaged:
                ++counts_.damaged;
                problems_.push_back({detail.written, SaveStatus::Damaged, detail.damage, detail.unreadableSectors});
                break;
            case SaveStatus::Stopped: break;  // cut short by the stop and removed: not saved
            case SaveStatus::Failed:
                ++counts_.failed;
                problems_.push_back({detail.written, SaveStatus::Failed, detail.reason, 0});
                if (outputLost(detail.error)) {
                    outputLost_ = detail.error;
                    notSaved_ = 1;
                }
                break;
        }
    }
    if (progressLine) progressLine->status(u"");
}

void SaveRun::saveTreeItem(TreeItem item) {
    EntryRef ref = 0;
    if (!view_.entryOf(item, ref)) return;
    const std::filesystem::path folder = buildAncestorFolders(item);
    if (entries_.isFolder(ref)) {
        // A checked folder without children: the folder itself is what is saved.
        makeFolderIn(tree_.getItemText(item), folder, ref);
        return;
    }
    saveFileEntry(ref, folder);
}

void SaveRun::saveFolderFromRecords(TreeItem item) {
    if (outputFolder.empty()) {
        prompt_.message(u"select output folder");
        return;
    }
    EntryRef ref = 0;
    if (!view_.entryOf(item, ref)) return;
    std::filesystem::path path = buildAncestorFolders(item);
    const std::u16string name = trim(tree_.getItemText(item));
    if (!name.empty()) {
        const std::filesystem::path made = makeFolderIn(name, path, ref);
        if (!made.empty()) path = made;
    }
    if (!entries_.isFolder(ref)) return;
    const std::int64_t n = countFilesUnder(entries_, ref);
    sink_.setRange(0, n);
    std::int64_t counter = 0;
    saveFolderRecords(ref, path, counter);
    sink_.setPosition(n);
}

void SaveRun::saveFolderRecords(EntryRef folder, const std::filesystem::path& path, std::int64_t& counter) {
    descent_.clear();
    saveFolderRecordsAt(folder, path, counter, 0);
}

void SaveRun::saveFolderRecordsAt(EntryRef folder, const std::filesystem::path& path, std::int64_t& counter,
                                  int depth) {
    if (depth >= kMaxFolderDepth || !descent_.insert(folder).second) return;
    entries_.forEachChild(folder, [&](EntryRef child) {
        if (stopped()) return false;
        checkPoint();
        if (stopped()) return false;
        sink_.setPosition(counter);
        if (entries_.isFolder(child)) {
            const std::u16string name = trim(entries_.name(child));
            std::filesystem::path below = path;
            if (!name.empty()) {
                const std::filesystem::path made = makeFolderIn(name, path, child);
                if (!made.empty()) below = made;
            }
            saveFolderRecordsAt(child, below, counter, depth + 1);
        } else {
            ++counter;
            saveFileEntry(child, path);
        }
        return !stopped();
    });
    descent_.erase(folder);
}

bool SaveRun::makeFolderPath(std::filesystem::path& path, const std::vector<std::u16string>& parts) {
    std::filesystem::path grown = path;
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
        const std::filesystem::path made = makeFolderIn(parts[i], grown);
        if (made.empty()) {
            prompt_.message(format16("cant create folder %s ", outputName(parts[i]).c_str()));
            return false;
        }
        grown = made;
    }
    path = grown;
    return true;
}

void SaveRun::saveCheckedSearchRows(const FileList& list) {
    for (const FileListRow& row : list.rows) {
        if (stopped()) break;
        checkPoint();
        if (stopped()) break;
        if (!row.checked || !entries_.isValidEntry(row.entry)) continue;
        std::filesystem::path path = outputFolder;
        if (!makeFolderPath(path, row.pathParts)) {
            ++counts_.failed;
            problems_.push_back({path / outputName(volume_.name(row.entry)), SaveStatus::Failed,
                                 "its folder could not be made", 0});
            continue;
        }
        saveFileEntry(row.entry, path);
    }
}

bool SaveRun::quickSave(TreeItem item, FileList& list, const std::function<std::filesystem::path()>& chooseFolder,
                        SaveProblem* result) {
    if (view_.isFolderItem(item)) {
        view_.labelClicked(item, list);
        return false;
    }
    EntryRef ref = 0;
    if (!view_.entryOf(item, ref)) return false;
    if (outputFolder.empty() && chooseFolder) outputFolder = chooseFolder();
    if (outputFolder.empty()) {
        prompt_.message(u"select output folder");
        return false;
    }
    if (entries_.isNeverSaved(ref)) return false;
    const std::filesystem::path full = outputFolder / outputName(entries_.name(ref));
    SaveDetail detail;
    const SaveStatus status = writeEntryFile(volume_, ref, full, &counts_.unreadableSectors, &detail);
    count(status);
    if (result) {
        *result = {detail.written, status, {}, 0};
        if (status == SaveStatus::Damaged) {
            result->reason = detail.damage;
            result->unreadableSectors = detail.unreadableSectors;
        } else if (status == SaveStatus::Failed) {
            result->reason = detail.reason;
        }
    }
    return status == SaveStatus::Saved || status == SaveStatus::Damaged;
}

}  // namespace dravonel
