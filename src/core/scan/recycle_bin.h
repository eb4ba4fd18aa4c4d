#pragma once
// Recycle-bin names: at the end of an NTFS, FAT32 or exFAT scan, each "$R" file of a
// "$RECYCLE.BIN" folder gets back the name it had before it was deleted, read from its
// "$I" companion. The companion is read through the parser's own save operation into
// memory; nothing is written to disk.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// Companions are small; one of 2048 bytes or more is not read.
constexpr std::size_t kMaxCompanionBytes = 2048;

// The former file name a "$I" companion records: the part of its stored path after the
// last '\'. Version 1 (8-byte version field 1) keeps the path from byte 24, version 2
// its length in characters at byte 24 and the path from byte 28; both end at a zero
// character. Nothing for another version, a companion too short or too long, or an
// empty name.
std::optional<std::u16string> formerNameFromCompanion(std::span<const std::uint8_t> companion);

// The pass itself, over the items directly under the tree's first top-level item: every
// folder item named exactly "$RECYCLE.BIN" or "$RECYCLEBIN" serves itself and each of its
// child folders (one per user). Within one served folder, each "$I" companion names the
// "$R" file whose name is the companion's with "$I" replaced by "$R" (FAT32 and exFAT
// names compared without trailing white space). Only the parser's records change. Returns
// the number of entries renamed; does nothing for other file systems.
std::size_t restoreRecycledNames(const CTriStateTree& tree, ScanParser& parser, FileSystemKind kind);

}  // namespace dravonel
