// list, recover and search: the result tree of one volume, saving marked items, and the
// search by name pattern, as the scan page offers them.
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/commands.h"
#include "cli/volume_cli.h"
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

void addVolumeCommands(CLI::App& app, int& exitCode) {
    struct ListOptions {
        VolumeSelection selection;
        bool json = false;
    };
    auto lopt = std::make_shared<ListOptions>();
    auto* list = app.add_subcommand("list", "Every folder and file of a volume's result tree");
    addVolumeSelection(list, lopt->selection);
    list->add_flag("--json", lopt->json, "Print JSON");
    list->callback([lopt, &exitCode] {
        TerminalSink sink;
        CliPrompt prompt;
        ScannedVolume scanned;
        if ((exitCode = scanSelectedVolume(lopt->selection, scanned, sink, prompt)) != 0) return;
        RowPrinter printer(lopt->json);
        forEachItemOpened(scanned.tree, *scanned.volume, [&](TreeItem item, const std::string& path) {
            printer.print(rowOf(scanned.tree, *scanned.volume, item, path));
        });
        exitCode = 0;
    });

    struct RecoverOptions {
        VolumeSelection selection;
        std::string out;
        bool skipDeleted = false;
        std::vector<std::string> paths;
    };
    auto ropt = std::make_shared<RecoverOptions>();
    auto* recover = app.add_subcommand("recover", "Save the volume's files (or the given paths) below a folder");
    addVolumeSelection(recover, ropt->selection);
    recover->add_option("--out", ropt->out, "Output folder (made when missing)")->required();
    recover->add_flag("--skip-deleted", ropt->skipDeleted, "Do not save deleted files");
    recover->add_option("--path", ropt->paths, "A file or folder path as list prints it (repeatable)");
    recover->callback([ropt, &exitCode] {
        TerminalSink sink;
        CliPrompt prompt;
        ScannedVolume scanned;
        if ((exitCode = scanSelectedVolume(ropt->selection, scanned, sink, prompt)) != 0) return;
        if (interrupted()) {
            std::cerr << "stopped before saving\n";
            exitCode = 1;
            return;
        }
        CTriStateTree& tree = scanned.tree;
        const TreeItem root = tree.root();
        if (ropt->paths.empty()) {
            tree.setCheck(root, true);
        } else {
            tree.setCheck(root, false);
            for (const std::string& p : ropt->paths) {
                const auto items = itemsAt(tree, *scanned.volume, p);
                if (items.empty()) {
                    std::cerr << "no such file or folder in the volume: " << p << '\n';
                    exitCode = 1;
                    return;
                }
                for (TreeItem item : items) tree.setCheck(item, true);
            }
        }
        std::error_code ec;
        std::filesystem::create_directories(ropt->out, ec);
        if (!std::filesystem::is_directory(ropt->out)) {
            std::cerr << "cannot make the output folder " << ropt->out << '\n';
            exitCode = 1;
            return;
        }
        SaveRun run(tree, *scanned.volume, sink, prompt);
        run.outputFolder = std::filesystem::absolute(ropt->out);
        run.stopPressed = &scanned.scan->stopPressed();
        prompt.answer = !ropt->skipDeleted;
        if (!run.hasMarkedItems(nullptr)) {
            exitCode = 1;
            return;
        }
        run.run(nullptr);
        sink.finish();
        const SaveCounts& c = run.counts();
        std::printf("saved %lld, skipped %lld, failed %lld\n", static_cast<long long>(c.saved),
                    static_cast<long long>(c.skipped), static_cast<long long>(c.failed));
        std::fflush(stdout);
        exitCode = c.failed == 0 && !interrupted() ? 0 : 1;
    });

    struct SearchOptions {
        VolumeSelection selection;
        std::string pattern;
        bool json = false;
    };
    auto sopt = std::make_shared<SearchOptions>();
    auto* search = app.add_subcommand("search", "Files whose name matches a regular expression");
    addVolumeSelection(search, sopt->selection);
    search->add_option("--pattern", sopt->pattern, "ECMAScript regular expression, case-insensitive")->required();
    search->add_flag("--json", sopt->json, "Print JSON");
    search->callback([sopt, &exitCode] {
        TerminalSink sink;
        CliPrompt prompt;
        ScannedVolume scanned;
        if ((exitCode = scanSelectedVolume(sopt->selection, scanned, sink, prompt)) != 0) return;
        FileList hits;
        SearchRun run(scanned.tree, *scanned.volume, sink, prompt);
        run.stopPressed = &scanned.scan->stopPressed();
        const bool finished = run.run(fromUtf8(sopt->pattern), hits);
        sink.finish();
        if (!finished) {
            exitCode = 1;
            return;
        }
        RowPrinter printer(sopt->json);
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
            printer.print(r);
        }
        exitCode = 0;
    });
}

}  // namespace dravonel::cli
