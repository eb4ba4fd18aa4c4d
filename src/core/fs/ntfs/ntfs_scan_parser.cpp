#include "core/fs/ntfs/ntfs_scan_parser.h"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace dravonel {

NtfsScanParser::NtfsScanParser(const ScanContext& c)
    : parser_(c.volume, c.tree, c.reader, c.sink, c.control), control_(c.control), sink_(c.sink), options_(c.options) {
    parser_.prompt = c.prompt;
}

bool NtfsScanParser::supportsMode(RecoveryMode mode) const {
    return mode == RecoveryMode::Standard || mode == RecoveryMode::Deep || mode == RecoveryMode::Advanced;
}

void NtfsScanParser::rebind(const ScanContext& c) {
    parser_.tree = c.tree;
    parser_.reader = c.reader;
    parser_.sink = c.sink;
    parser_.workerControl = c.control;
    parser_.prompt = c.prompt;
    control_ = c.control;
    sink_ = c.sink;
    options_ = c.options;
}

namespace {

// The sectors-per-cluster choices offered after the one the copy itself tells.
constexpr int kClusterChoices[] = {8, 4, 2, 16, 32, 64};

std::u16string sectorsText(std::uint64_t clusterBytes) { return u16(std::to_string(clusterBytes / 512)); }

}  // namespace

ScanOutcome NtfsScanParser::findAdvancedCopies(int maxCopies) {
    finds_ = AdvancedFinds{};
    if (control_) control_->checkPoint();
    if (parser_.tree) parser_.addTreeRoot();
    parser_.readBootSector();
    const std::int64_t n = parser_.findMftCopies(maxCopies > 0 ? maxCopies : 3);
    const std::uint64_t bootCluster = parser_.clusterSizeFromBoot();
    const bool bootValid = parser_.bootSector &&
                           std::equal(parser_.bootSector->begin() + 3, parser_.bootSector->begin() + 7, "NTFS");
    auto addChoice = [this](int spc) {
        if (spc > 0 && std::find(finds_.clusterChoices.begin(), finds_.clusterChoices.end(), spc) == finds_.clusterChoices.end())
            finds_.clusterChoices.push_back(spc);
    };
    // The first copy's own cluster size is the default; the others' follow the usual list.
    if (n > 0) addChoice(int(parser_.foundMftClusterBytes.front() / 512));
    for (const int spc : kClusterChoices) addChoice(spc);
    for (std::size_t i = 0; i < parser_.foundMfts.size(); ++i) {
        const std::uint64_t bytes = parser_.foundMftClusterBytes[i];
        addChoice(int(bytes / 512));
        finds_.copies.push_back(parser_.foundMfts[i].diskPosition);
        std::u16string note = sectorsText(bytes) + u" sectors per cluster, by the copy's own place";
        if (bootValid && bootCluster != bytes)
            note += u" (the boot sector says " + sectorsText(bootCluster) + u")";
        finds_.copyNotes.push_back(std::move(note));
    }
    return parser_.copySearchStopped || stopSeen() ? ScanOutcome::stopped() : ScanOutcome::completed();
}

ScanOutcome NtfsScanParser::runAdvanced() {
    if (control_) control_->checkPoint();
    // Every pass starts from clean state: nothing of an earlier pass's entries, tree
    // items or MFT run list stays.
    parser_.freeNames();
    parser_.clearEntries();
    if (parser_.tree) parser_.addTreeRoot();
    parser_.recoveryMode = static_cast<int>(RecoveryMode::Advanced);
    const std::size_t k = options_.advancedCopyIndex >= 0 ? std::size_t(options_.advancedCopyIndex) : parser_.foundMfts.size();
    parser_.useFoundMft(k);
    if (k < parser_.foundMftClusterBytes.size()) {
        const std::uint64_t own = parser_.foundMftClusterBytes[k];
        parser_.clusterSize = own;
        if (options_.advancedSectorsPerCluster > 0) {
            const std::uint64_t chosen = std::uint64_t(options_.advancedSectorsPerCluster) * 512;
            parser_.clusterSize = chosen;
            if (chosen != own && sink_)
                sink_->status(u"Warning: " + sectorsText(chosen) + u" sectors per cluster do not fit this MFT copy, "
                              u"whose own place says " + sectorsText(own) + u"; files may come out wrong.");
        }
    }
    if (control_) control_->checkPoint();
    parser_.readMftEntries();
    if (control_) control_->checkPoint();
    parser_.buildEntryTree();
    if (control_) control_->checkPoint();
    return stopSeen() ? ScanOutcome::stopped() : ScanOutcome::completed();
}

ScanOutcome NtfsScanParser::run(RecoveryMode mode) {
    if (!supportsMode(mode)) return ScanOutcome::refused(u"This recovery mode is not available for NTFS volumes yet.");
    auto checkPoint = [this] {
        if (control_) control_->checkPoint();
    };
    auto status = [this](std::u16string_view text) {
        if (sink_) sink_->status(text);
    };
    if (mode == RecoveryMode::Advanced) return runAdvanced();
    checkPoint();
    if (parser_.tree) parser_.addTreeRoot();
    parser_.readBootSector();
    parser_.recoveryMode = static_cast<int>(mode);
    checkPoint();
    if (mode == RecoveryMode::Deep) {
        status(u" scanning for mft entries in deep mode ....");
        parser_.scanForMftRecords();
    } else {
        status(u" ParsingBasedOnMFT is going on....");
        parser_.locateMft();
    }
    checkPoint();
    parser_.readMftEntries();
    checkPoint();
    parser_.buildEntryTree();
    checkPoint();
    return stopSeen() ? ScanOutcome::stopped() : ScanOutcome::completed();
}

bool NtfsScanParser::isValidEntry(EntryRef ref) const {
    return ref != 0 && ref < parser_.entries.size() && parser_.entries[ref].isFileRecord();
}

bool NtfsScanParser::isFolder(EntryRef ref) const { return isValidEntry(ref) && parser_.entries[ref].isFolder(); }

bool NtfsScanParser::hasChildren(EntryRef ref) const {
    if (!isValidEntry(ref)) return false;
    const std::uint64_t first = parser_.entries[ref].firstChild;
    return first > 0 && first < parser_.entries.size();
}

bool NtfsScanParser::isDeleted(EntryRef ref) const { return isValidEntry(ref) && parser_.entries[ref].isDeleted(); }

bool NtfsScanParser::isNeverSaved(EntryRef ref) const {
    return isValidEntry(ref) && parser_.entries[ref].name == u"$BadClus";
}

void NtfsScanParser::forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const {
    if (!hasChildren(folder)) return;
    const auto& entries = parser_.entries;
    std::uint64_t c = entries[folder].firstChild;
    // A chain ends at 0 or a value negative as a signed 64-bit number; a damaged chain
    // that loops is cut where an entry would come a second time.
    std::unordered_set<std::uint64_t> seen;
    while (c > 0 && static_cast<std::int64_t>(c) > 0 && c < entries.size()) {
        if (!seen.insert(c).second) break;
        if (entries[c].isFileRecord() && entries[c].hasName && !visit(c)) return;
        c = entries[c].nextSibling;
    }
}

bool NtfsScanParser::rename(EntryRef ref, std::u16string text) {
    if (!isValidEntry(ref)) return false;
    parser_.entries[ref].name = std::move(text);
    return true;
}

std::u16string NtfsScanParser::name(EntryRef ref) const {
    return isValidEntry(ref) ? parser_.entries[ref].name : std::u16string();
}

std::uint64_t NtfsScanParser::sizeBytes(EntryRef ref) const { return isValidEntry(ref) ? parser_.dataSize(ref) : 0; }

EntryTexts NtfsScanParser::texts(EntryRef ref) const {
    EntryTexts t;
    if (!isValidEntry(ref)) return t;
    const NtfsTimesText times = parser_.timesText(ref);
    t.created = times.created;
    t.accessed = times.accessed;
    t.modified = times.modified;
    t.attributes = times.attributes;
    t.size = parser_.sizeText(ref);
    return t;
}

EntryTimes NtfsScanParser::times(EntryRef ref) const {
    return isValidEntry(ref) ? parser_.entryTimes(ref) : EntryTimes{};
}

SaveStatus NtfsScanParser::saveEntry(EntryRef ref, EntryWriter& out) {
    return isValidEntry(ref) ? parser_.saveEntry(ref, out) : SaveStatus::Failed;
}

std::unique_ptr<ScanParser> makeNtfsScanParser(const ScanContext& context) {
    return std::make_unique<NtfsScanParser>(context);
}

bool NtfsScanParser::foundVolumeStructure() const {
    // The orphan folder the tree is given is no record read from the volume.
    const std::uint64_t synthetic = ~std::uint64_t(0);
    return std::any_of(parser_.entries.begin(), parser_.entries.end(), [&](const MftEntry& e) {
        return e.isFileRecord() && e.hasName && e.diskPosition != synthetic;
    });
}

}  // namespace dravonel
