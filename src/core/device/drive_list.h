#pragma once
// What the machine contains: physical drives (whole disks under /sys/block) and mounted
// volumes (block devices in /proc/self/mountinfo). Roots are injectable so tests run on
// a fake tree.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/device/volume_record.h"

namespace dravonel {

struct PhysicalDrive {
    int number = 0;           // n of the n-th whole disk in name order
    std::string devicePath;   // "/dev/sda"
    // The drive's model text ("Samsung SSD 860", "WDC WD10EZEX", an SD card's product
    // name), with the vendor when it names one; the device path when there is none.
    std::u16string text;
    std::int64_t sizeBytes = 0;
};

struct DriveListRoots {
    std::string sysBlock = "/sys/block";
    std::string dev = "/dev";
    std::string mountInfo = "/proc/self/mountinfo";
    // Total bytes of the file system mounted at a path; 0 when unknown.
    std::function<std::int64_t(const std::string&)> volumeBytes;
    // The first 512 bytes of a device (to tell FAT32 from FAT and NTFS from exFAT behind
    // fuseblk); empty when unreadable.
    std::function<std::vector<std::uint8_t>(const std::string&)> bootSector;
};

DriveListRoots systemRoots();

// Whole disks in name order, without ram*, zram* and empty loop* devices.
std::vector<PhysicalDrive> listPhysicalDrives(const DriveListRoots& roots);

// Mounted block devices: fileSystem in the system's words ("NTFS", "FAT32", "FAT",
// "exFAT", "extX", "HFS+", or the mount's own type), rootPath = mount point, name = the
// device path, sizeMbText = "%d  MB", startSector 0. A device mounted twice is listed once.
std::vector<VolumeRecord> listMountedVolumes(const DriveListRoots& roots);

}  // namespace dravonel
