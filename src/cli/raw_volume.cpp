#include "cli/raw_volume.h"

#include <vector>

#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/partitions/partition.h"

namespace dravonel::cli {

std::optional<CarveArea> chooseVolume(readWriteInterface& reader, int index, bool gpt, Prompt& prompt) {
    std::vector<VolumeRecord> records;
    Partition partition;
    partition.gptMode = gpt ? 1 : 0;
    partition.records = &records;
    // A failed read ends discovery; the volumes listed before it can still be chosen.
    discoverPartitions(reader, partition);
    reader.baseOffset = 0;
    if (index < 0 || static_cast<std::size_t>(index) >= records.size()) {
        prompt.message(format16("no volume with index %d (%zu found)", index, records.size()));
        return std::nullopt;
    }
    const VolumeRecord& r = records[static_cast<std::size_t>(index)];
    return CarveArea{r.startSector, sizeMbValue(r.sizeMbText)};
}

}  // namespace dravonel::cli
