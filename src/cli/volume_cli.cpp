#include "cli/volume_cli.h"

#include <algorithm>
#include <climits>
#include <iostream>
#include <optional>
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

// What the scan looked for and did not find.
std::string lookedForText(const std::u16string& fileSystem, RecoveryMode mode) {
    switch (fileSystemKind(fileSystem)) {
        case FileSystemKind::Ntfs:
            return mode == RecoveryMode::Standard ? "no MFT record found (boot sector, its copy, then a search of the volume)"
                                                  : "no MFT record found on the volume";
        case FileSystemKind::Fat16:
        case FileSystemKind::Fat32:
        case FileSystemKind::ExFat: return "no file or folder entries found";
        default: return "nothing found";
    }
}

// The start of the volume whose boot sector copy lies in `sector`, when it is one. The
// volume lies before the sector, so the reader is asked from the device's start: the
// parser that ran left its base at the sector itself. Sector numbers are the device's
// 512-byte sectors whatever sector size the volume keeps.
std::optional<std::int64_t> bootSectorCopyOwner(readWriteInterface& reader, std::int64_t sector) {
    if (sector < 0 || sector > INT64_MAX / kSectorBytes) return std::nullopt;
    const std::int64_t base = reader.baseOffset;
    reader.baseOffset = 0;
    std::optional<std::int64_t> owner;
    std::uint8_t b[512] = {};
    const std::int64_t at = sector * kSectorBytes;
    if (reader.readAt(at, b, 512))
        if (const auto find = classifyBootSector(b, 0))
            if (const VolumeStart start = settleVolumeStart(reader, b, at, *find); start.fromBackup)
                owner = start.startByte / kSectorBytes;
    reader.baseOffset = base;
    return owner;
}

std::string copyOwnerText(std::int64_t sector, std::int64_t owner) {
    return "sector " + std::to_string(sector) + " holds the copy of the boot sector of a volume starting at sector " +
           std::to_string(owner) + " (give --start-sector " + std::to_string(owner) + ")";
}

// Opens SOURCE and chooses the volume: a row of its volumes, or the one described by hand.
int chooseVolume(const VolumeSelection& s, ScannedVolume& out, TerminalSink& sink, Prompt& prompt, VolumeRecord& chosen) {
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
    chosen = record;
    return kExitOk;
}

bool hasAdvancedRoad(FileSystemKind kind) {
    return kind == FileSystemKind::Ntfs || kind == FileSystemKind::Fat16 || kind == FileSystemKind::Fat32 ||
           kind == FileSystemKind::ExFat;
}

// The advanced choices asked for, checked against the volume's kind before anything is
// read; the sectors per cluster become what the parser takes.
void checkAdvancedChoices(const VolumeSelection& s, FileSystemKind kind) {
    const bool advanced = s.mode == "advanced";
    if (!advanced && (s.copy || s.sectorsPerCluster || s.heapCopy || s.formatted))
        throw UsageError("--copy, --sectors-per-cluster, --heap-copy and --formatted choose among what the advanced "
                         "road finds: give --mode advanced");
    if (!advanced) return;
    if (!hasAdvancedRoad(kind))
        throw UsageError("the advanced road is for NTFS, FAT12/16, FAT32 and exFAT volumes");
    if (s.heapCopy && kind != FileSystemKind::ExFat) throw UsageError("--heap-copy is for exFAT volumes");
    if (s.formatted && kind != FileSystemKind::Fat16 && kind != FileSystemKind::Fat32)
        throw UsageError("--formatted is for FAT12/16/32 volumes (on the advanced road exFAT files are read from "
                         "consecutive clusters anyway)");
    if (s.sectorsPerCluster) {
        const std::int64_t n = *s.sectorsPerCluster;
        const std::int64_t most = kind == FileSystemKind::ExFat ? 65536 : kind == FileSystemKind::Ntfs ? 4096 : 128;
        if (n < 1 || n > most || (n & (n - 1)) != 0)
            throw UsageError("--sectors-per-cluster " + std::to_string(n) + ": give a power of two from 1 to " +
                             std::to_string(most));
    }
}

int log2Of(std::int64_t n) {
    int shift = 0;
    while ((std::int64_t{1} << shift) < n) ++shift;
    return shift;
}

// Runs the advanced search over the chosen volume into out.search.
int runAdvancedSearch(const VolumeRecord& record, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                      ScanOptions options) {
    out.search = std::make_unique<AdvancedSearch>(record, &out.reader, sink, prompt, ParserRegistry::standard(), options);
    if (!out.search->start()) return kExitFailed;
    out.interrupt.emplace(std::initializer_list<StopFlag*>{&out.search->parser()->stopFlag()});
    out.search->runWorker();
    sink.finish();
    out.interrupt.reset();
    const RunOutcome::Kind kind = out.search->outcome().kind;
    if (kind == RunOutcome::Kind::Refused || kind == RunOutcome::Kind::Failed) return kExitFailed;
    if (interrupted() || kind == RunOutcome::Kind::Stopped) return kExitStopped;
    return kExitOk;
}

const char* copyWord(FileSystemKind kind) { return kind == FileSystemKind::Ntfs ? "MFT" : "FAT"; }

}  // namespace

int searchSelectedVolume(const VolumeSelection& s, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                         std::int64_t maxCopies, const std::function<int()>& afterOpen) {
    VolumeRecord record;
    if (const int rc = chooseVolume(s, out, sink, prompt, record); rc != kExitOk) return rc;
    if (!hasAdvancedRoad(fileSystemKind(record.fileSystem)))
        throw UsageError("the advanced road is for NTFS, FAT12/16, FAT32 and exFAT volumes (volume " +
                         toUtf8(record.name) + " holds " + toUtf8(record.fileSystem) + ")");
    if (afterOpen)
        if (const int rc = afterOpen(); rc != kExitOk) return rc;
    ScanOptions options;
    options.maxCopies = static_cast<int>(std::clamp<std::int64_t>(maxCopies, 1, INT_MAX));
    return runAdvancedSearch(record, out, sink, prompt, options);
}

int scanSelectedVolume(const VolumeSelection& s, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                       const std::function<int()>& afterOpen) {
    VolumeRecord record;
    if (const int rc = chooseVolume(s, out, sink, prompt, record); rc != kExitOk) return rc;
    const std::string fs = toUtf8(record.fileSystem);
    checkAdvancedChoices(s, fileSystemKind(record.fileSystem));
    const RecoveryMode mode = s.mode == "deep"       ? RecoveryMode::Deep
                              : s.mode == "advanced" ? RecoveryMode::Advanced
                                                     : RecoveryMode::Standard;
    // Standard reads the volume's own first sectors: when they hold another file system
    // (or none) the scan could only come back empty. Deep looks for what is left of a
    // damaged volume, so it runs whatever sector 0 holds.
    // A start that holds no boot sector at all is handed to the parser all the same: it
    // reads a boot sector's copy, or (NTFS) searches the volume for its MFT.
    const std::string found = fileSystemAt(out.reader, record.startSector);
    const bool known = fileSystemKind(record.fileSystem) != FileSystemKind::None;
    if (mode == RecoveryMode::Standard && known && !found.empty() && !sameFileSystem(fs, found)) {
        reportError(noFileSystemText(fs, record.startSector, s.source, found));
        return kExitFailed;
    }
    // The FAT32 and exFAT parsers would take a boot sector's copy for the volume's own
    // boot sector and read its structures from the wrong place (names and sizes of
    // nothing); the NTFS parser finds no MFT from there and says so after its search.
    const FileSystemKind kind = fileSystemKind(record.fileSystem);
    if (mode == RecoveryMode::Standard && (kind == FileSystemKind::Fat32 || kind == FileSystemKind::ExFat))
        if (const auto copy = bootSectorCopyOwner(out.reader, record.startSector)) {
            reportError(noFileSystemText(fs, record.startSector, s.source, std::string()) + ": " +
                        copyOwnerText(record.startSector, *copy));
            return kExitFailed;
        }
    if (afterOpen)
        if (const int rc = afterOpen(); rc != kExitOk) return rc;
    ScanOptions options;
    options.oemCodePage = s.codePage;
    std::string advancedText;  // the choices an advanced scan was made with
    if (mode == RecoveryMode::Advanced) {
        const std::int64_t copy = s.copy.value_or(0);
        options.maxCopies = static_cast<int>(std::max<std::int64_t>(3, std::min<std::int64_t>(copy + 1, INT_MAX)));
        if (const int rc = runAdvancedSearch(record, out, sink, prompt, options); rc != kExitOk) return rc;
        const AdvancedFinds& finds = out.search->finds();
        const FileSystemKind kind = out.search->kind();
        if (finds.copies.empty()) {
            reportError("no copy of the " + std::string(copyWord(kind)) + " found on volume " + toUtf8(record.name) +
                        " of " + s.source + ": the advanced road has nothing to rebuild the tree from");
            return kExitFailed;
        }
        if (copy >= static_cast<std::int64_t>(finds.copies.size())) {
            reportError("--copy " + std::to_string(copy) + ": the search found " + std::to_string(finds.copies.size()) +
                        " (see dravonel-cli copies)");
            return kExitFailed;
        }
        if (kind == FileSystemKind::ExFat) {
            if (finds.heaps.empty()) {
                reportError("no cluster heap found on volume " + toUtf8(record.name) + " of " + s.source);
                return kExitFailed;
            }
            if (s.heapCopy && *s.heapCopy >= static_cast<std::int64_t>(finds.heaps.size())) {
                reportError("--heap-copy " + std::to_string(*s.heapCopy) + ": the search found " +
                            std::to_string(finds.heaps.size()) + " (see dravonel-cli copies)");
                return kExitFailed;
            }
        }
        options.advancedCopyIndex = static_cast<int>(copy);
        options.advancedHeapIndex = s.heapCopy ? static_cast<int>(*s.heapCopy) : -1;
        options.formattedDriveFlag = s.formatted;
        if (s.sectorsPerCluster)
            options.advancedSectorsPerCluster = kind == FileSystemKind::ExFat ? log2Of(*s.sectorsPerCluster)
                                                                              : static_cast<int>(*s.sectorsPerCluster);
        advancedText = "copy " + std::to_string(copy) + " of the " + copyWord(kind);
    }
    out.scan = std::make_unique<VolumeScan>(record, mode, out.tree, &out.reader, sink, prompt,
                                            ParserRegistry::standard(), options);
    if (out.search) out.scan->borrowParser(out.search->parser());
    if (!out.scan->start()) return kExitFailed;
    out.interrupt.emplace(std::initializer_list<StopFlag*>{&out.scan->volume()->stopFlag(), &out.scan->stopPressed()});
    out.scan->runWorker();
    out.volume = out.scan->volume();
    sink.finish();
    for (const std::u16string& text : out.scan->readLosses()) reportError(toUtf8(text));
    out.metadataLost = !out.scan->readLosses().empty();
    if (!out.volume) return kExitFailed;
    if (out.scan->outcome().kind == ScanOutcome::Kind::Refused) return kExitFailed;
    if (interrupted() || out.scan->outcome().kind == ScanOutcome::Kind::Stopped) return kExitStopped;
    const TreeItem top = out.tree.root();
    bool any = false;
    if (top != kNoItem)
        for (TreeItem c = out.tree.firstChild(top); c != kNoItem && !any; c = out.tree.nextSibling(c))
            any = !out.tree.isPlaceholder(c);
    if (mode == RecoveryMode::Advanced && !any) {
        reportError("nothing recovered from volume " + toUtf8(record.name) + " of " + s.source + " with " +
                    advancedText + (s.sectorsPerCluster ? " and " + std::to_string(*s.sectorsPerCluster) +
                                                              " sectors per cluster"
                                                        : std::string()) +
                    " (dravonel-cli copies lists the other choices)");
        return kExitFailed;
    }
    if (!out.volume->foundVolumeStructure() || (!any && mode != RecoveryMode::Standard)) {
        std::string text = noFileSystemText(fs, record.startSector, s.source,
                                            found.empty() || sameFileSystem(fs, found) ? std::string() : found);
        text += ": " + lookedForText(record.fileSystem, mode);
        if (const auto copy = bootSectorCopyOwner(out.reader, record.startSector))
            text += "; " + copyOwnerText(record.startSector, *copy);
        reportError(text);
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
