#include "cli/volume_cli.h"

#include <iostream>
#include <vector>

#include "core/common/text.h"
#include "core/partitions/partition.h"
#include "core/scan/result_view.h"

namespace dravonel::cli {

namespace {

// True when found (what the volume's first sectors hold) is the file system wanted.
bool sameFileSystem(const std::string& wanted, const std::string& found) {
    const FileSystemKind w = fileSystemKind(fromUtf8(wanted));
    const FileSystemKind f = fileSystemKind(fromUtf8(found));
    if (w == f) return true;
    // FAT12/16 and FAT32 boot sectors are told apart by fields a damaged volume may get
    // wrong; either FAT parser may be asked for either.
    const auto fat = [](FileSystemKind k) { return k == FileSystemKind::Fat16 || k == FileSystemKind::Fat32; };
    return fat(w) && fat(f);
}

std::string noFileSystemText(const std::string& fs, std::int64_t sector, const std::string& source,
                             const std::string& found) {
    std::string text = "no " + fs + " file system at sector " + std::to_string(sector) + " of " + source;
    if (!found.empty()) text += " (it holds " + found + "; give --fs " + found + ")";
    return text;
}

}  // namespace

int scanSelectedVolume(const VolumeSelection& s, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                       const std::function<int()>& afterOpen) {
    if (!s.volumeIndex && s.fileSystem.empty()) throw UsageError("give --volume INDEX or --fs FS");
    if (const int rc = openSource(out.reader, s.source); rc != kExitOk) return rc;
    out.reader.prompt = &prompt;
    VolumeRecord record;
    if (s.volumeIndex) {
        std::string why;
        const auto records = discoverVolumes(out.reader, s.table, &sink, why, s.source);
        sink.finish();
        if (*s.volumeIndex >= static_cast<std::int64_t>(records.size())) {
            if (!why.empty()) reportError(why);
            else reportError("no volume with index " + std::to_string(*s.volumeIndex) + " (" +
                             std::to_string(records.size()) + " found on " + s.source + ")");
            if (records.empty() && why.find("partition table") != std::string::npos)
                reportError("describe the volume by hand with --fs (and --start-sector)");
            return kExitFailed;
        }
        record = records[static_cast<std::size_t>(*s.volumeIndex)];
        if (record.startSector < 0 || record.startSector >= out.reader.deviceSectorCount) {
            reportError("volume " + toUtf8(record.name) + " starts at sector " + std::to_string(record.startSector) +
                        ", beyond the end of " + s.source + " (" + std::to_string(out.reader.deviceSectorCount) +
                        " sectors)");
            return kExitFailed;
        }
    } else {
        const SectorArea area = clampArea(out.reader, s.source, s.startSector, s.sizeMb);
        record.fileSystem = fromUtf8(s.fileSystem);
        record.name = u"G0";
        record.startSector = area.startSector;
        record.sizeMbText = u16(std::to_string(area.sectors / 2048));
    }
    const std::string fs = toUtf8(record.fileSystem);
    const RecoveryMode mode = s.mode == "deep" ? RecoveryMode::Deep : RecoveryMode::Standard;
    // Standard reads the volume's own first sectors: when they hold another file system
    // (or none) the scan could only come back empty. Deep looks for what is left of a
    // damaged volume, so it runs whatever sector 0 holds.
    const std::string found = fileSystemAt(out.reader, record.startSector);
    const bool known = fileSystemKind(record.fileSystem) != FileSystemKind::None;
    if (mode == RecoveryMode::Standard && known && !sameFileSystem(fs, found)) {
        reportError(noFileSystemText(fs, record.startSector, s.source, found));
        return kExitFailed;
    }
    if (afterOpen)
        if (const int rc = afterOpen(); rc != kExitOk) return rc;
    ScanOptions options;
    options.oemCodePage = s.codePage;
    out.scan = std::make_unique<VolumeScan>(record, mode, out.tree, &out.reader, sink, prompt,
                                            ParserRegistry::standard(), options);
    if (!out.scan->start()) return kExitFailed;
    out.interrupt.emplace(std::initializer_list<StopFlag*>{&out.scan->volume()->stopFlag(), &out.scan->stopPressed()});
    out.scan->runWorker();
    out.volume = out.scan->volume();
    sink.finish();
    if (!out.volume) return kExitFailed;
    if (out.scan->outcome().kind == ScanOutcome::Kind::Refused) return kExitFailed;
    if (interrupted() || out.scan->outcome().kind == ScanOutcome::Kind::Stopped) return kExitStopped;
    const TreeItem top = out.tree.root();
    bool any = false;
    if (top != kNoItem)
        for (TreeItem c = out.tree.firstChild(top); c != kNoItem && !any; c = out.tree.nextSibling(c))
            any = !out.tree.isPlaceholder(c);
    if (!any && mode != RecoveryMode::Standard) {
        reportError(noFileSystemText(fs, record.startSector, s.source, found == fs ? std::string() : found));
        return kExitFailed;
    }
    return kExitOk;
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
        if (interrupted()) return;
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
