#pragma once
// Checks made before anything is written into an output folder: whether the folder lives
// on the source being recovered (writing there can overwrite the very blocks that hold
// the lost files), and whether it has room for what is marked.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/common/platform.h"
#include "core/device/volume_record.h"
#include "core/model/recovered_volume.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/result_view.h"

namespace dravonel {

// Asks before a save into folder where the command line refuses one without
// --allow-same-device (SourceGuard::folderConflict over the sources this process opened):
// folder lies on a source device or one of its partitions, or folder holds a source image.
// Yes allows writing there for this save, as that option does; any other folder is accepted
// without a question and with the same-device permission withdrawn. Answers whether the
// save may go on.
bool outputFolderAccepted(const std::filesystem::path& folder, Prompt& prompt);

// Bytes free for an unprivileged writer in the file system of folder; nothing when it
// cannot be asked.
std::optional<std::uint64_t> freeBytesAt(const std::filesystem::path& folder);

// Bytes of every file a save would write: checked tree items (a checked folder whose
// children were never opened counted from the parser's records), then, when the list
// shows search hits, its checked rows. Deleted files are counted too.
std::uint64_t markedBytes(const CTriStateTree& tree, const RecoveredVolume& volume, const FileList* list);

// "12.34 MB" and the like, for the messages below.
std::u16string sizeText(std::uint64_t bytes);

}  // namespace dravonel
