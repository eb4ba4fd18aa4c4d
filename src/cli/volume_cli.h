#pragma once
// What list, recover and search share: choosing the volume (a row of the disk's volumes,
// or one described by hand), scanning it into a result tree, and walking that tree as if
// every folder had been opened.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/cli_support.h"
#include "cli/options.h"
#include "core/device/sector_reader.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/advanced_search.h"
#include "core/scan/volume_scan.h"

namespace dravonel::cli {

// One scanned volume: the reader on SOURCE, the result tree and the scan. While it
// lives, Ctrl-C acts as the page's Stop button (the scan, a save or a search ends early
// and what was found so far is printed).
struct ScannedVolume {
    ScannedVolume() = default;
    ScannedVolume(const ScannedVolume&) = delete;
    ScannedVolume& operator=(const ScannedVolume&) = delete;
    FileReadSeek reader;
    CTriStateTree tree;
    // The advanced road's search; its parser is lent to the scan (so it outlives it).
    std::unique_ptr<AdvancedSearch> search;
    std::unique_ptr<VolumeScan> scan;
    RecoveredVolume* volume = nullptr;
    // The scan could not read part of the volume's structures (said on stderr): what is
    // listed may be short, so the command does not end with success.
    bool metadataLost = false;
    std::optional<StopOnInterrupt> interrupt;
};

// Opens SOURCE, chooses the volume (afterOpen, when given, runs once SOURCE is open and
// may end the command with its status) and runs the scan to its end. Returns kExitOk
// when the volume was scanned, kExitStopped after Ctrl-C, kExitFailed when it could not
// be (the message is on stderr, "no NTFS file system at sector N of SOURCE" when the
// volume holds none). Throws UsageError for a selection that names no area of SOURCE.
int scanSelectedVolume(const VolumeSelection& selection, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                       const std::function<int()>& afterOpen = {});

// Opens SOURCE, chooses the volume and runs the advanced road's search on it, looking
// for up to maxCopies copies (out.search holds the finds). kExitOk when the search ran
// (it may have found nothing), kExitStopped after Ctrl-C, kExitFailed when it could not
// run (the message is on stderr). A volume with no advanced road is a usage error.
int searchSelectedVolume(const VolumeSelection& selection, ScannedVolume& out, TerminalSink& sink, Prompt& prompt,
                         std::int64_t maxCopies, const std::function<int()>& afterOpen = {});

// Visits every item below the tree's first top-level item, depth first in tree order,
// opening each folder (its children are inserted) before its children are visited.
// path is the item texts below the top-level item joined with "/". A folder whose entry
// already stands among its ancestors (a damaged volume's loop) is not opened again.
void forEachItemOpened(CTriStateTree& tree, RecoveredVolume& volume,
                       const std::function<void(TreeItem, const std::string& path)>& visit);

}  // namespace dravonel::cli
