#pragma once
// Partition discovery: the partition tables (MBR with its extended boot records, or GPT)
// and the surface scan for the boot sectors of lost volumes.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/device/volume_record.h"

namespace dravonel {

// The discovery object of one run. Results are appended to `records` (the volume list
// page's vector); status lines and progress go to `sink`.
class Partition {
public:
    // Deep scan: 1 = continue after a found volume's last sector, 0 = test every sector.
    std::uint8_t skipVolumeSize = 1;
    // Deep scan range in sectors; 0 means "not set".
    std::int64_t customStart = 0;
    std::int64_t customEnd = 0;
    // 1 = read the disk as GPT (the GPT signature itself plays no part in the choice).
    std::uint8_t gptMode = 0;
    StopFlag stopRequested{0};
    // Deep scan: sectors of the scanned area that could not be read (the scan went on
    // past them), set when it ends.
    std::int64_t unreadableSectors = 0;

    std::vector<VolumeRecord>* records = nullptr;
    ScanSink* sink = nullptr;
    WorkerControl* control = nullptr;
    // A deep-scan find, as it is appended (the page inserts a row at the top of its list).
    std::function<void(const VolumeRecord&)> onFound;
    // true when a deep scan starts, false when it ends however it ends (the volume list
    // page keeps its filtering off while the scan runs).
    std::function<void(bool running)> onRunningChanged;

    void status(std::u16string_view text) const {
        if (sink) sink->status(text);
    }
};

// Reads the partition tables of the device open in `reader` and appends one record per
// partition. Returns 0 when the tables were read, otherwise the error code (errno, or EIO
// when the read just came up short) of the read that failed; the records appended so far
// stay. Leaves the reader's baseOffset at 0.
std::uint32_t discoverPartitions(readWriteInterface& reader, Partition& partition);

// Walks the device (or the custom range) in 1 MiB blocks and tests every 512-byte sector
// for the start of an NTFS, FAT, exFAT, HFS+ or ext2/3/4 volume. Returns 0 normally, the error code
// of a block read that failed. Stops within one sector of a stop request. Reads with the
// reader's positional reads only. (deep_scan.cpp; the run object is DeepScanRun.)
// clearStop false: the caller cleared stopRequested before handing the scan to a worker,
// so a Stop pressed in between still counts.
std::uint32_t deepScan(Partition& partition, readWriteInterface& reader, bool clearStop = true);

// Sector `sector` holds an exFAT boot sector (0xEB, 0x3C|0x58|0x76, "EXFA" at 3).
bool isExFatBootSector(readWriteInterface& reader, std::int64_t sector);
// Sector `sector` + 2 starts with the HFS+ volume header signature 'H', '+', 0x00 (or
// HFSX's 'H', 'X', 0x00).
bool isHfsPlusVolume(readWriteInterface& reader, std::int64_t sector);
// Sector `sector` starts an ext2/3/4 volume: its primary superblock 1024 bytes on has the
// magic 0xEF53, a block size of 1-64 KiB and counts consistent with its groups.
bool isExtVolume(readWriteInterface& reader, std::int64_t sector);

// The volume a boot sector describes, as the surface scan classifies it.
struct BootSectorFind {
    std::u16string fileSystem;   // "NTFS", "FAT32", "FAT16", "UNKNOWN", "FAT64", "HFS+", "extX"
    std::u16string statusText;   // the status line of the find
    std::int64_t sizeBytes = 0;
    std::int64_t startOffsetBytes = 0;  // relative to the tested sector (HFS+, ext: -1024)
};
// Classifies one 512-byte sector; nothing when it starts no known volume. `ntfsCount` is
// the number of NTFS volumes found before this one (for "found NTFS %d...").
std::optional<BootSectorFind> classifyBootSector(const std::uint8_t* sector, int ntfsCount);

// Where the volume of a boot sector found at byte `at` starts and how far it reaches.
// NTFS, FAT32 and exFAT sectors are read as the copy their volume keeps of its boot
// sector (NTFS: in its last sector; FAT32: the backup field's sector, 6 by default;
// exFAT: 12 sectors on) when the first MFT record or the first FAT lies where the copy's
// reading puts it, else as the original. An NTFS volume spans its counted sectors and
// the copy after them. (deep_scan_starts.cpp)
struct VolumeStart {
    std::int64_t startByte = 0;
    std::int64_t extentBytes = 0;
    bool fromBackup = false;
    bool confirmed = false;  // the volume's own structure was found where the sector says
};
VolumeStart settleVolumeStart(const readWriteInterface& reader, const std::uint8_t* sector, std::int64_t at,
                              const BootSectorFind& find);
// The start of the volume whose boot sector copy (or HFS+ alternate header) `sector`
// would be, found at byte `at`; nothing for kinds without a copy.
std::optional<std::int64_t> backupOwnerStart(const std::uint8_t* sector, std::int64_t at, const BootSectorFind& find);

// The file-system word a volume starts with at startSector ("NTFS", "FAT32", "FAT16",
// "FAT64", "HFS+", "extX"); empty when none is recognised or sector startSector cannot be
// read. Reads relative to the reader's baseOffset.
std::string fileSystemAt(const readWriteInterface& reader, std::int64_t startSector);
// The size in bytes the file system at startSector gives itself (boot sector, superblock
// or volume header); 0 when none is there.
std::int64_t volumeBytesAt(const readWriteInterface& reader, std::int64_t startSector);

// A source without a partition table (a card or stick imaged whole): sector 0 is a file
// system's own first sector. Answers its one volume, named G0, with the size its file system gives itself;
// nothing when sector 0 starts no known file system. Reads at absolute offsets; leaves
// the reader's baseOffset at 0.
std::optional<VolumeRecord> bareVolume(readWriteInterface& reader);

}  // namespace dravonel
