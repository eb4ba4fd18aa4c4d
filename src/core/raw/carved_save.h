#pragma once
// Saving carved files: each ticked file item of the raw tree is written below the output
// folder as RAW RECOVERY/<category (count)>/<item text>, from the byte range the carving
// engine recorded: exactly its size when the file's own structure gave it, else in whole
// MiBs and then the rest rounded up to whole sectors.
#include <cstdint>
#include <filesystem>
#include <string>

#include "core/common/entry_writer.h"
#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/raw/carving_engine.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// Damaged: written whole, but with zeros where sectors could not be read.
enum class CarvedSaveResult { Saved, Damaged, NotInList, CouldNotOpen, WriteFailed, Stopped };

// The bytes saving writes for a found file: its size when known; an estimated size
// rounded up to whole sectors. Never past the volume's end.
std::int64_t savedLength(const myJpg& engine, const FoundFile& file);

// Where an item is saved: the output folder, the texts of the item's ancestors from the
// tree's top down and the item's own text, each trimmed of surrounding white space and
// made a safe path component, so the path never leaves the output folder.
std::filesystem::path carvedItemPath(const CTriStateTree& tree, TreeItem item, const std::filesystem::path& outputFolder);

// Copies the bytes saving writes for file (savedLength, from file.start on the volume)
// into out, one engine block at a time; sectors that cannot be read go as unreadable
// zeros. Answers Stopped when stop was set before a block, WriteFailed when out refused a
// block or no buffer could be had, Damaged when sectors could not be read, Saved
// otherwise. Reads at volume-relative positions. The Save walk and the wizard's preview
// read a carved file through this.
CarvedSaveResult copyCarvedFile(const myJpg& engine, readWriteInterface& reader, const FoundFile& file,
                                EntryWriter& out, const StopFlag& stop);

// Saves one file item. Shows "Saving File: " + the item's text as status. The item data
// is the index of the file in the engine's found list; an index outside it saves nothing
// (NotInList). "File could not be opened.." when the file's size is not above 0 or the
// target cannot be created; "File could not be written.." when a write fails. Stopped
// when stop was set during the copy (the file keeps what was written). The reader is
// read from the file's start (volume-relative: the reader's baseOffset applies). Only the
// sectors that cannot be read are lost: they are written as zeros, counted in
// *unreadableSectors when given, and the item is Damaged.
CarvedSaveResult saveCarvedItem(const myJpg& engine, readWriteInterface& reader, const CTriStateTree& tree,
                                TreeItem item, const std::filesystem::path& outputFolder, const StopFlag& stop,
                                ScanSink* sink, Prompt* prompt, std::uint64_t* unreadableSectors = nullptr);

struct CarvedSaveSummary {
    std::int64_t saved = 0;
    std::int64_t failed = 0;
    std::int64_t damaged = 0;               // saved with unreadable sectors as zeros
    std::uint64_t unreadableSectors = 0;    // of the damaged files
    bool stopped = false;
};

// "N files saved with M unreadable sectors written as zeros".
std::string damagedCarvedText(const CarvedSaveSummary& summary);

// The Save worker's walk: from the first child of the raw tree's root, depth first, a
// category item (folder) is entered and a checked file item is saved; progress runs from
// 0 to the number of checked file items. The walk ends early when stop is set. Ends with
// the status "Saving Finished" and the message "work done", after a message saying how many
// files lost unreadable sectors when any did.
CarvedSaveSummary saveCheckedCarvedItems(const myJpg& engine, readWriteInterface& reader, const CTriStateTree& tree,
                                         const std::filesystem::path& outputFolder, const StopFlag& stop,
                                         ScanSink* sink, Prompt* prompt, WorkerControl* control);

}  // namespace dravonel
