#pragma once
// What list, recover and search share: choosing the volume (a row of the partition
// tables, or one described by hand), scanning it into a result tree, and walking that
// tree as if every folder had been opened.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/cli_support.h"
#include "core/device/sector_reader.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/volume_scan.h"

namespace dravonel::cli {

struct VolumeSelection {
    std::string source;
    int volumeIndex = -1;
    bool gpt = false;
    std::string fileSystem;
    std::int64_t startSector = 0;
    std::int64_t sizeMb = -1;
    std::string mode = "standard";
};

// Adds SOURCE, --volume, --gpt, --fs, --start-sector, --size-mb and --mode to sub.
void addVolumeSelection(CLI::App* sub, VolumeSelection& selection);

// Messages on stderr, except the completion texts the GUI shows in a box at the end of a
// run (the CLI's own output says the same); questions take a fixed answer.
class CliPrompt final : public Prompt {
public:
    void message(std::u16string_view text) override;
    bool question(std::u16string_view) override { return answer; }
    bool answer = true;
};

// One scanned volume: the reader on SOURCE, the result tree and the scan. While it
// lives, Ctrl-C acts as the page's Stop button (the scan, a save or a search ends early
// and what was found so far is printed).
struct ScannedVolume {
    ScannedVolume() = default;
    ~ScannedVolume();
    ScannedVolume(const ScannedVolume&) = delete;
    ScannedVolume& operator=(const ScannedVolume&) = delete;
    FileReadSeek reader;
    CTriStateTree tree;
    std::unique_ptr<VolumeScan> scan;
    RecoveredVolume* volume = nullptr;
};

// True once Ctrl-C was pressed during a command.
bool interrupted();

// Opens SOURCE, chooses the volume and runs the scan to its end. Returns 0 when the
// volume was scanned, 1 when it could not be (the message is on stderr); throws
// CLI::ValidationError for a selection that names no volume.
int scanSelectedVolume(const VolumeSelection& selection, ScannedVolume& out, TerminalSink& sink, Prompt& prompt);

// Visits every item below the tree's first top-level item, depth first in tree order,
// opening each folder (its children are inserted) before its children are visited.
// path is the item texts below the top-level item joined with "/". A folder whose entry
// already stands among its ancestors (a damaged volume's loop) is not opened again.
void forEachItemOpened(CTriStateTree& tree, RecoveredVolume& volume,
                       const std::function<void(TreeItem, const std::string& path)>& visit);

}  // namespace dravonel::cli
