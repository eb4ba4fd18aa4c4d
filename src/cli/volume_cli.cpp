#include "cli/volume_cli.h"

#include <csignal>
#include <iostream>
#include <vector>

#include "core/common/text.h"
#include "core/partitions/partition.h"
#include "core/scan/result_view.h"
#include "core/scan/save_walk.h"

namespace dravonel::cli {

namespace {

// The stop flags Ctrl-C sets: the parser's and the page's (both lock-free atomics, so
// setting them from the handler is safe).
StopFlag* gParserStop = nullptr;
StopFlag* gPageStop = nullptr;
volatile std::sig_atomic_t gInterrupted = 0;

void onInterrupt(int) {
    gInterrupted = 1;
    if (gParserStop) gParserStop->store(1);
    if (gPageStop) gPageStop->store(1);
}

}  // namespace

bool interrupted() { return gInterrupted != 0; }

ScannedVolume::~ScannedVolume() {
    std::signal(SIGINT, SIG_DFL);
    gParserStop = nullptr;
    gPageStop = nullptr;
}

void addVolumeSelection(CLI::App* sub, VolumeSelection& s) {
    sub->add_option("SOURCE", s.source, "Device path or disk image")->required();
    auto* volume = sub->add_option("--volume", s.volumeIndex, "Row INDEX of the partition tables (Standard scan)")
                       ->check(CLI::NonNegativeNumber);
    auto* gpt = sub->add_flag("--gpt", s.gpt, "Read the disk as GPT");
    auto* fs = sub->add_option("--fs", s.fileSystem, "File system of a volume described by hand (NTFS, FAT32, ...)");
    auto* start = sub->add_option("--start-sector", s.startSector, "First 512-byte sector of the volume (default 0)")
                      ->check(CLI::NonNegativeNumber);
    auto* size = sub->add_option("--size-mb", s.sizeMb, "Size of the volume in MiB (default: to the end of SOURCE)")
                     ->check(CLI::NonNegativeNumber);
    sub->add_option("--mode", s.mode, "Scan mode")->check(CLI::IsMember({"standard", "deep"}));
    volume->excludes(fs);
    gpt->needs(volume);
    start->needs(fs);
    size->needs(fs);
}

void CliPrompt::message(std::u16string_view text) {
    if (text == kScanDoneText || text == u"work done....." || text == u"Searching Finished") return;
    std::cerr << toUtf8(text) << '\n';
}

int scanSelectedVolume(const VolumeSelection& s, ScannedVolume& out, TerminalSink& sink, Prompt& prompt) {
    if (s.volumeIndex < 0 && s.fileSystem.empty()) throw CLI::ValidationError("give --volume INDEX or --fs FS");
    out.reader.prompt = &prompt;
    if (!out.reader.open(s.source)) {
        prompt.message(u"file not opened..");
        return 1;
    }
    VolumeRecord record;
    if (s.volumeIndex >= 0) {
        std::vector<VolumeRecord> records;
        Partition partition;
        partition.gptMode = s.gpt ? 1 : 0;
        partition.records = &records;
        discoverPartitions(out.reader, partition);
        if (static_cast<std::size_t>(s.volumeIndex) >= records.size()) {
            prompt.message(format16("no volume with index %d (%zu found)", s.volumeIndex, records.size()));
            return 1;
        }
        record = records[static_cast<std::size_t>(s.volumeIndex)];
    } else {
        record.fileSystem = fromUtf8(s.fileSystem);
        record.name = u"G0";
        record.startSector = s.startSector;
        std::int64_t sizeMb = s.sizeMb;
        if (sizeMb < 0) {
            const std::int64_t sectors = out.reader.deviceSectorCount - s.startSector;
            sizeMb = sectors > 0 ? sectors * kSectorBytes / (1024 * 1024) : 0;
        }
        record.sizeMbText = u16(std::to_string(sizeMb));
    }
    const RecoveryMode mode = s.mode == "deep" ? RecoveryMode::Deep : RecoveryMode::Standard;
    out.scan = std::make_unique<VolumeScan>(record, mode, out.tree, &out.reader, sink, prompt);
    if (!out.scan->start()) return 1;
    gParserStop = &out.scan->volume()->stopFlag();
    gPageStop = &out.scan->stopPressed();
    std::signal(SIGINT, onInterrupt);
    out.scan->runWorker();
    out.volume = out.scan->volume();
    sink.finish();
    return out.volume ? 0 : 1;
}

void forEachItemOpened(CTriStateTree& tree, RecoveredVolume& volume,
                       const std::function<void(TreeItem, const std::string& path)>& visit) {
    const TreeItem top = tree.root();
    if (top == kNoItem) return;
    ResultView view(tree, volume);
    struct Pending {
        TreeItem item;
        std::string parentPath;
    };
    std::vector<Pending> stack;
    auto pushChildren = [&](TreeItem parent, const std::string& path) {
        std::vector<TreeItem> children;
        for (TreeItem c = tree.firstChild(parent); c != kNoItem; c = tree.nextSibling(c))
            if (!tree.isPlaceholder(c)) children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({*it, path});
    };
    auto onAncestorChain = [&](TreeItem item) {
        const std::uint64_t data = tree.itemData(item);
        for (TreeItem a = tree.parent(item); a != kNoItem; a = tree.parent(a))
            if (tree.itemData(a) == data) return true;
        return false;
    };
    pushChildren(top, "");
    while (!stack.empty()) {
        const Pending p = stack.back();
        stack.pop_back();
        const std::string text = toUtf8(tree.getItemText(p.item));
        const std::string path = p.parentPath.empty() ? text : p.parentPath + "/" + text;
        visit(p.item, path);
        if (view.isFolderItem(p.item) && !onAncestorChain(p.item)) {
            view.insertChildren(p.item);
            pushChildren(p.item, path);
        }
    }
}

}  // namespace dravonel::cli
