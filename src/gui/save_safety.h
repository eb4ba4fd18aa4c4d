#pragma once
// Checks made before anything is written into an output folder: whether the folder lives
// on the source being recovered (writing there can overwrite the very blocks that hold
// the lost files), and whether it has room for what is marked.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/device/volume_record.h"
#include "core/model/recovered_volume.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/result_view.h"

namespace dravonel {

// True when folder lies on source, judged by device numbers: source is an image file in
// the same file system as folder, or a block device that is folder's own device or a
// whole disk one of whose partitions holds folder. False when either cannot be examined.
bool folderIsOnSource(const std::filesystem::path& folder, const std::string& source);

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

namespace dravonel {

class WizardPage;

// The device or image file the wizard reads on page's road: the device path the
// scan-mode page opened (disk or image road), else the volume's own device path on the
// mounted-volume road; empty when neither is known.
std::string sourcePathOf(const WizardPage& page, const VolumeRecord& volume);

}  // namespace dravonel
