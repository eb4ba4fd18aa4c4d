#include "cli/raw_volume.h"

namespace dravonel::cli {

std::optional<CarveArea> chooseVolume(readWriteInterface&, int, Prompt& prompt) {
    // Partition discovery is not part of this build yet.
    prompt.message(u"volume discovery is not available; use --start-sector and --size-mb");
    return std::nullopt;
}

}  // namespace dravonel::cli
