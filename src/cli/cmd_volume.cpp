// list, recover and search: the result tree of one volume, saving marked items, and the
// search by name pattern, as the scan page offers them.
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/options.h"
#include "cli/volume_cli.h"
#include "core/common/output_file.h"
#include "core/common/text.h"
#include "core/scan/result_view.h"
#include "core/scan/save_walk.h"
#include "core/scan/search_walk.h"

namespace dravonel::cli {

namespace {

struct Row {
    std::string path;
    bool folder = false;
    bool deleted = false;
    std::uint64_t size = 0;
    EntryTexts texts;
    EntryTimes times;
};

Row rowOf(CTriStateTree& tree, RecoveredVolume& volume, TreeItem item, const std::string& path) {
    Row r;
    r.path = path;
    r.folder = tree.image(item) == ItemImage::Folder;
    const TRISTATETREEDATA* data = tree.findItemData(item);
    r.deleted = data && data->textColour == kRedTextColour;
    const EntryRef ref = tree.itemData(item);
    if (volume.isValidEntry(ref)) {
        r.size = volume.sizeBytes(ref);
        r.texts = volume.texts(ref);
        r.times = volume.times(ref);
    }
    return r;
}

nlohmann::json jsonOf(const Row& r) {
    return {{"path", r.path},
            {"type", r.folder ? "folder" : "file"},
            {"deleted", r.deleted},
            {"size", r.size},
            {"sizeText", toUtf8(r.texts.size)},
            {"created", toUtf8(r.texts.created)},
            {"accessed", toUtf8(r.texts.accessed)},
            {"modified", toUtf8(r.texts.modified)},
            {"accessedTime", isoTime(r.times.accessed)},
            {"modifiedTime", isoTime(r.times.modified)},
            {"attributes", toUtf8(r.texts.attributes)}};
}

// A path for a plain line: a control character in a name (a tab or a line break would
// split the line) is shown as '?'. The JSON form keeps names exactly.
std::string plainPath(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return out;
}

// Prints rows as they come: tab-separated lines, or one JSON array.
class RowPrinter {
public:
    explicit RowPrinter(bool json) : json_(json) {
        if (json_) std::fputs("[", stdout);
    }
    void print(const Row& r) {
        if (json_) {
            std::fputs(first_ ? "\n  " : ",\n  ", stdout);
            std::fputs(jsonOf(r).dump().c_str(), stdout);
        } else {
            std::fprintf(stdout, "%c\t%c\t%llu\t%s\n", r.folder ? 'D' : 'F', r.deleted ? '*' : '-',
                         static_cast<unsigned long long>(r.size), plainPath(r.path).c_str());
        }
        first_ = false;
    }
    ~RowPrinter() {
        if (json_) std::fputs(first_ ? "]\n" : "\n]\n", stdout);
        std::fflush(stdout);
    }

private:
    bool json_;
    bool first_ = true;
};

// The items whose path (texts below the top-level item joined with "/") is path.
std::vector<TreeItem> itemsAt(CTriStateTree& tree, RecoveredVolume& volume, const std::string& path) {
    ResultView view(tree, volume);
    std::vector<TreeItem> level{tree.root()};
    std::stringstream parts(path);
    std::string part;
    bool any = false;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        any = true;
        const std::u16string want = fromUtf8(part);
        std::vector<TreeItem> next;
        for (TreeItem at : level) {
            if (at != tree.root()) view.insertChildren(at);
            for (TreeItem c = tree.firstChild(at); c != kNoItem; c = tree.nextSibling(c))
                if (!tree.isPlaceholder(c) && tree.getItemText(c) == want) next.push_back(c);
        }
        level = std::move(next);
    }
    return any ? level : std::vector<TreeItem>{};
}

}  // namespace

int runList(const ListOptions& o) {
    TerminalSink sink;
    CliPrompt prompt;
    ScannedVolume scanned;
    const int rc = scanSelectedVolume(o.selection, scanned, sink, prompt);
    if (rc != kExitOk && rc != kExitStopped) return rc;
    {
        RowPrinter printer(o.json);
        forEachItemOpened(scanned.tree, *scanned.volume, [&](TreeItem item, const std::string& path) {
            printer.print(rowOf(scanned.tree, *scanned.volume, item, path));
        });
    }
    if (rc == kExitStopped || interrupted()) {
        reportError("stopped: the list holds what was found before Ctrl-C");
        return kExitStopped;
    }
    return scanned.metadataLost ? kExitFailed : kExitOk;
}

int runRecover(const RecoverOptions& o) {
    TerminalSink sink;
    CliPrompt prompt;
    ScannedVolume scanned;
    const int rc = scanSelectedVolume(o.selection, scanned, sink, prompt,
                                      [&o] { return prepareOutputFolder(o.out, o.allowSameDevice); });
    if (rc == kExitStopped) {
        reportError("stopped before saving");
        return kExitStopped;
    }
    if (rc != kExitOk) return rc;
    CTriStateTree& tree = scanned.tree;
    const TreeItem root = tree.root();
    if (o.paths.empty()) {
        tree.setCheck(root, true);
    } else {
        tree.setCheck(root, false);
        for (const std::string& p : o.paths) {
            const auto items = itemsAt(tree, *scanned.volume, p);
            if (items.empty()) {
                reportError("no such file or folder in the volume: " + p);
                return kExitFailed;
            }
            for (TreeItem item : items) tree.setCheck(item, true);
        }
    }
    SaveRun run(tree, *scanned.volume, sink, prompt);
    run.outputFolder = std::filesystem::absolute(o.out);
    run.stopPressed = &scanned.scan->stopPressed();
    prompt.answer = !o.skipDeleted;
    if (!run.hasMarkedItems(nullptr)) return kExitFailed;
    run.run(nullptr);
    sink.finish();
    const SaveCounts& c = run.counts();
    const bool stopped = interrupted();
    auto relative = [&o](const std::filesystem::path& p) {
        std::error_code ec;
        const auto r = std::filesystem::relative(p, std::filesystem::absolute(o.out), ec);
        return (ec || r.empty() ? p : std::filesystem::path(o.out) / r).string();
    };
    if (o.json) {
        nlohmann::json damaged = nlohmann::json::array(), failed = nlohmann::json::array(),
                       renamed = nlohmann::json::array();
        for (const SaveProblem& p : run.problems()) {
            if (p.status == SaveStatus::Saved)
                renamed.push_back({{"path", relative(p.path)}, {"name", p.reason}});
            else if (p.status == SaveStatus::Damaged)
                damaged.push_back({{"path", relative(p.path)},
                                   {"unreadableSectors", p.unreadableSectors},
                                   {"reason", problemText(p)}});
            else
                failed.push_back({{"path", relative(p.path)}, {"reason", p.reason}});
        }
        const nlohmann::json summary{{"saved", c.saved},     {"damaged", c.damaged},
                                     {"skipped", c.skipped}, {"failed", c.failed},
                                     {"unreadableSectors", c.unreadableSectors},
                                     {"stopped", stopped},   {"damagedFiles", damaged},
                                     {"failedFiles", failed}, {"renamedFiles", renamed}};
        std::printf("%s\n", summary.dump(2).c_str());
    } else {
        for (const SaveProblem& p : run.problems()) {
            if (p.status == SaveStatus::Saved) {
                std::cerr << "saved as " << plainPath(relative(p.path)) << ": " << plainPath(p.reason) << '\n';
                continue;
            }
            const std::string text = problemText(p);
            std::cerr << (p.status == SaveStatus::Damaged ? "damaged: " : "failed: ") << plainPath(relative(p.path))
                      << (text.empty() ? std::string() : ": " + text) << '\n';
        }
        std::printf("%s\n", countsText(c).c_str());
    }
    std::fflush(stdout);
    if (stopped) {
        reportError("stopped: files not reached before Ctrl-C were not saved");
        return kExitStopped;
    }
    return c.failed == 0 && c.damaged == 0 && !scanned.metadataLost ? kExitOk : kExitFailed;
}

int runSearch(const SearchOptions& o) {
    TerminalSink sink;
    CliPrompt prompt;
    ScannedVolume scanned;
    int rc = scanSelectedVolume(o.selection, scanned, sink, prompt);
    if (rc != kExitOk && rc != kExitStopped) return rc;
    FileList hits;
    if (rc == kExitOk) {
        SearchRun run(scanned.tree, *scanned.volume, sink, prompt);
        run.stopPressed = &scanned.scan->stopPressed();
        const bool finished = run.run(fromUtf8(o.pattern), hits);
        sink.finish();
        if (interrupted()) rc = kExitStopped;
        else if (!finished) return kExitFailed;
    }
    RowPrinter printer(o.json);
    for (const FileListRow& h : hits.rows) {
        Row r;
        // The path below the root, as list prints it.
        for (std::size_t i = 1; i < h.pathParts.size(); ++i) {
            if (i > 1) r.path += '/';
            r.path += toUtf8(h.pathParts[i]);
        }
        r.deleted = scanned.volume->isDeleted(h.entry);
        r.size = scanned.volume->sizeBytes(h.entry);
        r.texts = h.texts;
        r.times = scanned.volume->times(h.entry);
        printer.print(r);
    }
    if (rc == kExitStopped) reportError("stopped: the hits are those found before Ctrl-C");
    if (rc == kExitOk && scanned.metadataLost) return kExitFailed;
    return rc;
}

}  // namespace dravonel::cli
