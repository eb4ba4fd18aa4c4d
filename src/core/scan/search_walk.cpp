#include "core/scan/search_walk.h"

#include "core/common/text.h"
#include "core/scan/save_walk.h"

namespace dravonel {

std::optional<std::regex> compileSearchPattern(std::u16string_view pattern) {
    try {
        return std::regex(toWindows1252(pattern), std::regex::ECMAScript | std::regex::icase);
    } catch (const std::regex_error&) {
        return std::nullopt;
    }
}

bool nameMatches(const std::regex& expression, std::u16string_view name) {
    const std::string narrow = toWindows1252(name);
    try {
        return std::regex_search(narrow, expression);
    } catch (const std::regex_error&) {
        // Too complex for this name (the library's own limits): no match.
        return false;
    }
}

std::u16string joinHitPath(const std::vector<std::u16string>& parts) {
    std::u16string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += u'/';
        out += parts[i];
    }
    return out;
}

SearchRun::~SearchRun() {
    if (running() && thread_.launched()) {
        pageStop() = 1;
        parserStop_ = 1;
    }
}

bool SearchRun::run(std::u16string_view pattern, FileList& list) {
    if (!start()) return false;
    runWorker(std::u16string(pattern), list);
    return outcome_.kind != RunOutcome::Kind::Refused;
}

bool SearchRun::start() {
    if (running() || !claim_.claim()) return refuseBusy(prompt_, outcome_);
    running_ = 1;
    workerStarted_ = false;
    thread_.control.reset();
    outcome_ = {};
    pageStop() = 0;
    parserStop_ = 0;
    return true;
}

void SearchRun::finish(SearchOutcome outcome) {
    outcome.hits = hits_;
    outcome_ = std::move(outcome);
    // The stop belonged to this run.
    pageStop() = 0;
    parserStop_ = 0;
    list_ = nullptr;
    running_ = 0;
    claim_.release();
    if (onFinished) onFinished(outcome_);
}

void SearchRun::runWorker(std::u16string pattern, FileList& list) {
    if (!running()) return;
    list.rows.clear();
    list.listShowsSearch = true;
    list_ = &list;
    hits_ = 0;
    SearchOutcome outcome;
    if (!pattern.empty()) {
        expression_ = compileSearchPattern(pattern);
        if (!expression_) {
            const char16_t* text = u"such characters are not allowed for search.Try again with different pattern.";
            prompt_.message(text);
            outcome.kind = RunOutcome::Kind::Refused;
            outcome.message = text;
            finish(std::move(outcome));
            return;
        }
        const TreeItem top = tree_.root();
        std::int64_t counter = 0;
        if (top != kNoItem) {
            const std::vector<std::u16string> rootParts{trim(tree_.getItemText(top))};
            for (TreeItem child = tree_.firstChild(top); child != kNoItem && !stopped();
                 child = tree_.nextSibling(child)) {
                checkPoint();
                if (stopped()) break;  // a Stop pressed while paused
                if (tree_.isPlaceholder(child)) continue;
                if (tree_.hasChildren(child)) {
                    searchFolder(child, rootParts, counter);
                } else {
                    // A file at the top level, or a folder without children; only files are hits.
                    EntryRef ref = 0;
                    if (view_.entryOf(child, ref) && !volume_.isFolder(ref) &&
                        nameMatches(*expression_, volume_.name(ref))) {
                        std::vector<std::u16string> parts = rootParts;
                        addHit(ref, parts, counter);
                    }
                }
            }
        }
    }
    if (stopped()) outcome.kind = RunOutcome::Kind::Stopped;
    pageStop() = 0;
    prompt_.message(u"Searching Finished");
    sink_.status(u"Searching Finished");
    finish(std::move(outcome));
}

void SearchRun::startWorker(std::u16string pattern, FileList& list) {
    if (!running() || workerStarted_) return;
    workerStarted_ = true;
    thread_.launch([this, pattern = std::move(pattern), &list]() mutable { runWorker(std::move(pattern), list); });
}

void SearchRun::wait() { thread_.join(); }

void SearchRun::pause() {
    if (running()) thread_.pause(sink_);
}

void SearchRun::resume() {
    if (running()) thread_.resume(sink_);
}

void SearchRun::stop() {
    if (!running()) return;
    sink_.status(u"stop button pressed.Please wait for the process to be stopped.");
    parserStop_ = 1;
    pageStop() = 1;
}

void SearchRun::searchFolder(TreeItem item, std::vector<std::u16string> parts, std::int64_t& counter) {
    EntryRef ref = 0;
    if (view_.entryOf(item, ref) && volume_.isFolder(ref)) {
        parts.push_back(trim(tree_.getItemText(item)));
        const std::int64_t n = countFilesUnder(volume_, ref);
        sink_.setRange(0, n);
        searchRecords(ref, parts, counter);
        sink_.setPosition(n);
    }
    // A Stop that ended this folder must not linger in the parser; the top-level loop
    // ends on the page's own flag.
    parserStop_ = 0;
}

void SearchRun::searchRecords(EntryRef folder, const std::vector<std::u16string>& parts, std::int64_t& counter) {
    if (!expression_) return;
    std::vector<std::u16string> path = parts;
    descent_.clear();
    searchRecordsAt(folder, path, counter, 0);
}

void SearchRun::searchRecordsAt(EntryRef folder, std::vector<std::u16string>& parts, std::int64_t& counter,
                                int depth) {
    if (depth >= kMaxFolderDepth || !descent_.insert(folder).second) return;
    volume_.forEachChild(folder, [&](EntryRef child) {
        if (parserStop_.load() != 0) return false;
        checkPoint();
        if (parserStop_.load() != 0) return false;
        sink_.setPosition(counter);
        const std::u16string name = volume_.name(child);
        if (volume_.isFolder(child)) {
            const std::u16string cut = trim(name);
            if (!cut.empty() && cut != u".") {
                parts.push_back(cut);
                searchRecordsAt(child, parts, counter, depth + 1);
                parts.pop_back();
            }
        } else if (nameMatches(*expression_, name)) {
            std::vector<std::u16string> hitParts = parts;
            addHit(child, std::move(hitParts), counter);
        }
        return parserStop_.load() == 0;
    });
    descent_.erase(folder);
}

void SearchRun::addHit(EntryRef ref, std::vector<std::u16string> parts, std::int64_t& counter) {
    parts.push_back(volume_.name(ref));
    FileListRow row;
    row.text = joinHitPath(parts);
    row.texts = volume_.texts(ref);
    row.entry = ref;
    row.pathParts = std::move(parts);
    if (list_) list_->rows.push_back(std::move(row));
    ++counter;
    ++hits_;
    sink_.status(format16("searched file %lld", static_cast<long long>(counter)));
}

}  // namespace dravonel
