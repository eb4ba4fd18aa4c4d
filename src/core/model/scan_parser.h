#pragma once
// The one interface through which a scan drives a file-system parser, whatever the file
// system: which recovery modes it supports, and a run that reports how it ended. Each
// file system's adapter lives in its own folder (src/core/fs/<kind>/) and is reached
// only through the parser registry (src/core/scan/parser_registry.h).
#include <cstdint>
#include <string>
#include <vector>
#include <string_view>

#include "core/common/platform.h"
#include "core/common/run_support.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"
#include "core/model/recovered_volume.h"
#include "core/model/tree_sink.h"

namespace dravonel {

// The recovery modes of the recovery-mode page.
enum class RecoveryMode : int { None = -1, Standard = 1, Advanced = 2, Deep = 3 };

// The parser classes a volume's file system leads to.
enum class FileSystemKind { None, Ntfs, Fat32, Fat16, Ext, ExFat, HfsPlus };

// The kind for a `fileSystem` text, compared without regard to case: "ntfs"; "fat32";
// "fat16", "fat12" or "fat"; "extX"; "fat64" or "exFat"; "HFS+". None for any other text.
FileSystemKind fileSystemKind(std::u16string_view fileSystem);

// The choices the pages keep for a scan: the recovery-mode page's "Is Drive Formated..?"
// box and copies edit, and the advanced-options page's picks. They travel with the scan,
// never in process-wide state.
struct ScanOptions {
    bool formattedDriveFlag = false;
    // The OEM code page FAT short names are read in (437, 850, 852, 866 or 932).
    int oemCodePage = 437;
    // Copies of the central structure the advanced surface scan looks for (<= 0: 3).
    int maxCopies = 0;
    // Advanced road: the chosen copy (index into AdvancedFinds::copies), the chosen
    // cluster size in sectors per cluster, for every kind (an exFAT shift s is 2^s here;
    // 0: the parser's default, the first of AdvancedFinds::clusterChoices) and, for exFAT,
    // the chosen cluster-heap start (index into AdvancedFinds::heaps; -1: the parser's
    // default).
    int advancedCopyIndex = 0;
    int advancedSectorsPerCluster = 0;
    int advancedHeapIndex = -1;
};

// What the advanced road's search found on a volume whose boot sector cannot be
// trusted: the copies of its central structure (FAT starts; NTFS: $MFT records followed
// by $Boot), for exFAT the cluster-heap starts, and the cluster sizes to offer. Kept in
// the parser, so the same parser object then rebuilds the tree from the user's choice.
struct AdvancedFinds {
    // Volume-relative byte offsets, in the order found.
    std::vector<std::uint64_t> copies;
    std::vector<std::uint64_t> heaps;
    // Sectors per cluster (exFAT: the cluster shift) in the order offered; the first is
    // the default (the boot sector's when it is valid, else the most plausible found).
    std::vector<int> clusterChoices;
    // A note per copy (same index), empty when there is nothing to say: what the copy
    // itself tells of the cluster size, for example.
    std::vector<std::u16string> copyNotes;
};

// What a scan page hands a parser.
struct ScanContext {
    const VolumeRecord& volume;
    TreeSink* tree = nullptr;
    readWriteInterface* reader = nullptr;
    ScanSink* sink = nullptr;
    Prompt* prompt = nullptr;
    WorkerControl* control = nullptr;
    ScanOptions options{};
};

// How a parser's run ended: Completed, Stopped, or Refused with the written message
// (already sent through the prompt or the status line). The outcome every run object
// reports (core/common/run_support.h).
using ScanOutcome = RunOutcome;

class ScanParser : public RecoveredVolume {
public:
    // True when the parser can run mode (Standard, Advanced, Deep).
    virtual bool supportsMode(RecoveryMode mode) const = 0;
    // The status text the scan page shows when the parser is chosen
    // ("ntfs partition selected...." and the like); may be empty.
    virtual std::u16string selectedText() const { return {}; }
    // The parser's scan sequence for mode on the calling (worker) thread: reads the
    // volume, fills the result tree's top level. The caller has set the reader's
    // baseOffset to the volume start and cleared the stop flag; the run polls
    // stopFlag() and the worker control's check point. It does not add the expand
    // placeholders or the completion text: the scan object does.
    virtual ScanOutcome run(RecoveryMode mode) = 0;
    // Gives an entry a new name in the parser's own records (the recycle-bin pass, after
    // the run). False when ref names no entry or the parser keeps names it cannot change.
    virtual bool rename(EntryRef ref, std::u16string text) { return false; }
    // What the last run could not read of the volume's own structures, one text per kind
    // of loss with its count ("3 MFT records could not be read"); empty when all was read.
    virtual std::vector<std::u16string> readLosses() const { return {}; }

    // The advanced road, for parsers that support RecoveryMode::Advanced. The search (the
    // advanced-options page's worker): reads what it needs of the volume and fills
    // advancedFinds(), looking for up to maxCopies copies (<= 0: 3); polls stopFlag()
    // (Stopped keeps what was found) and reports progress through the sink. The scan in
    // Advanced mode (run) then uses ScanContext::options' choices among them.
    virtual ScanOutcome findAdvancedCopies(int maxCopies) {
        (void)maxCopies;
        return ScanOutcome::refused(u"This recovery mode is not available for this file system.");
    }
    virtual const AdvancedFinds& advancedFinds() const {
        static const AdvancedFinds none;
        return none;
    }
    // A parser made for the advanced search is handed to the scan page, which rebuilds
    // the tree with the same object: it takes the scan's tree, sinks, worker control and
    // choices (the volume and the reader stay the same). Parsers without the Advanced road
    // need not take them.
    virtual void rebind(const ScanContext& context) { (void)context; }
};

}  // namespace dravonel
