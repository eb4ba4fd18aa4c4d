#pragma once
// One volume: a partition found on a disk, a mounted volume, or a row added by hand. It
// lives with the device layer because the drive list makes records of mounted volumes;
// partition discovery makes the others.
#include <cstdint>
#include <string>

namespace dravonel {

struct VolumeRecord {
    std::u16string fileSystem;  // compared without regard to case
    std::u16string rootPath;    // mount point of a mounted volume; empty for partitions
    std::u16string name;        // "G0", "G1", ...; the device path for mounted volumes
    std::u16string sizeMbText;  // size in MiB, read by its leading decimal digits
    std::int64_t startSector = 0;  // first 512-byte sector on the device
};

}  // namespace dravonel
