#pragma once
// The area a carve walks when a volume is chosen by its index in the partition list.
#include <cstdint>
#include <optional>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"

namespace dravonel::cli {

struct CarveArea {
    std::int64_t startSector = 0;  // 512-byte sectors from the source's start
    std::int64_t sizeMb = 0;       // MiB, the leading number of the volume's size text
};

// The volume of the given index (0 for G0) among those partition discovery lists for the
// source, its tables read as MBR or, with gpt, as GPT; nothing (with a message through the
// prompt) when there is no such volume. Leaves the reader's baseOffset at 0.
std::optional<CarveArea> chooseVolume(readWriteInterface& reader, int index, bool gpt, Prompt& prompt);

}  // namespace dravonel::cli
