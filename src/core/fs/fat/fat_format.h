#pragma once
// On-disk layout of FAT12/16, FAT32 and exFAT volumes: named offsets into the boot sector
// and the 32-byte directory slots, and the boot-sector tests that partition discovery,
// the deep partition scan and the parsers share. Only common/ is included here, so the
// partition code may use it without depending on the parsers.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/common/byte_reader.h"

namespace dravonel::fat_format {

constexpr std::size_t kBootSectorBytes = 512;
constexpr std::size_t kSlotBytes = 32;

// BIOS parameter block of FAT12/16/32 (offsets into sector 0, little-endian).
namespace boot_sector {
constexpr std::size_t kJump = 0;               // 0xEB, then 0x3C / 0x58 / 0x76
constexpr std::size_t kOemName = 3;            // 8 bytes
constexpr std::size_t kBytesPerSector = 11;    // u16
constexpr std::size_t kSectorsPerCluster = 13; // u8
constexpr std::size_t kReservedSectors = 14;   // u16
constexpr std::size_t kFatCount = 16;          // u8
constexpr std::size_t kRootEntryCount = 17;    // u16, FAT12/16 only
constexpr std::size_t kTotalSectors16 = 19;    // u16, 0 when the 32-bit count is used
constexpr std::size_t kMedia = 21;             // u8, also the low byte of the first FAT entry
constexpr std::size_t kSectorsPerFat16 = 22;   // u16, 0 on FAT32
constexpr std::size_t kTotalSectors32 = 32;    // u32
constexpr std::size_t kSectorsPerFat32 = 36;   // u32, FAT32 only
constexpr std::size_t kRootCluster = 44;       // u32, FAT32 only
constexpr std::size_t kBackupBootSector = 50;  // u16, FAT32 only: sector of the boot sector's copy
constexpr std::size_t kSignature = 510;        // 0x55, 0xAA
}  // namespace boot_sector

// exFAT boot sector.
namespace exfat_boot {
constexpr std::size_t kFileSystemName = 3;      // "EXFAT   "
constexpr std::size_t kVolumeLength = 72;       // u64, sectors
constexpr std::size_t kFatOffset = 80;          // u32, sectors
constexpr std::size_t kFatLength = 84;          // u32, sectors
constexpr std::size_t kHeapOffset = 88;         // u32, sectors
constexpr std::size_t kClusterCount = 92;       // u32
constexpr std::size_t kRootCluster = 96;        // u32
constexpr std::size_t kBytesPerSectorShift = 108;    // u8
constexpr std::size_t kSectorsPerClusterShift = 109; // u8
constexpr std::size_t kNumberOfFats = 110;          // u8
}  // namespace exfat_boot

// FAT directory slot.
namespace slot {
constexpr std::size_t kName = 0;           // 11 bytes: 8 name + 3 extension
constexpr std::size_t kAttributes = 11;    // u8
constexpr std::size_t kCaseFlags = 12;     // u8
constexpr std::size_t kCreationTenths = 13;// u8
constexpr std::size_t kCreationTime = 14;  // u16, DOS time
constexpr std::size_t kCreationDate = 16;  // u16, DOS date
constexpr std::size_t kAccessDate = 18;    // u16
constexpr std::size_t kClusterHigh = 20;   // u16
constexpr std::size_t kWriteTime = 22;     // u16
constexpr std::size_t kWriteDate = 24;     // u16
constexpr std::size_t kClusterLow = 26;    // u16
constexpr std::size_t kSize = 28;          // u32
// A long-name slot (attribute 0x0F) holds 13 UTF-16 characters in three pieces.
constexpr std::size_t kLongName1 = 1;   // 5 characters
constexpr std::size_t kLongName2 = 14;  // 6 characters
constexpr std::size_t kLongName3 = 28;  // 2 characters
// Long-name slot: byte 0 is the sequence number (0x40 marks the last slot of the name),
// byte 13 the checksum of the short name it belongs to.
constexpr std::size_t kLongNameOrdinal = 0;
constexpr std::size_t kLongNameChecksum = 13;
constexpr std::uint8_t kLastLongSlot = 0x40;
// Case bits of byte 12: the base name, the extension is shown in lower case.
constexpr std::uint8_t kLowerCaseBase = 0x08;
constexpr std::uint8_t kLowerCaseExtension = 0x10;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kLongNameAttributes = 0x0F;
constexpr std::uint8_t kVolumeLabelBit = 0x08;
constexpr std::uint8_t kDirectoryBit = 0x10;
}  // namespace slot

// exFAT directory entries (32 bytes; the type byte's bit 7 is "in use").
namespace exfat_entry {
constexpr std::uint8_t kFile = 0x85, kFileDeleted = 0x05;
constexpr std::uint8_t kStream = 0xC0, kStreamDeleted = 0x40;
constexpr std::uint8_t kName = 0xC1, kNameDeleted = 0x41;
constexpr std::uint8_t kBitmap = 0x81;
// File entry.
constexpr std::size_t kSecondaryCount = 1;    // u8: entries of the set after this one
constexpr std::size_t kAttributes = 4;        // u16
constexpr std::size_t kCreateTimestamp = 8;   // u32, DOS date (high) and time (low)
constexpr std::size_t kModifyTimestamp = 12;  // u32
constexpr std::size_t kAccessTimestamp = 16;  // u32
constexpr std::size_t kCreate10ms = 20;
constexpr std::size_t kModify10ms = 21;
constexpr std::size_t kCreateUtcOffset = 22;
constexpr std::size_t kModifyUtcOffset = 23;
constexpr std::size_t kAccessUtcOffset = 24;
// Stream extension entry.
constexpr std::size_t kFlags = 1;             // bit 0 allocation possible, bit 1 no FAT chain
constexpr std::size_t kNameLength = 3;
constexpr std::size_t kValidDataLength = 8;   // u64
constexpr std::size_t kFirstCluster = 20;     // u32 (also in the allocation bitmap entry)
constexpr std::size_t kDataLength = 24;       // u64 (also in the allocation bitmap entry)
constexpr std::uint8_t kNoFatChain = 0x02;
// File name entry: 15 UTF-16 characters.
constexpr std::size_t kNameChars = 2;
constexpr std::size_t kCharsPerNameEntry = 15;
// A name is at most 255 characters: 17 name entries.
constexpr std::size_t kMaxNameEntries = 17;
}  // namespace exfat_entry

// The jump instruction every FAT and exFAT boot sector starts with.
inline bool hasFatJump(const std::uint8_t* b) {
    return b[boot_sector::kJump] == 0xEB && (b[1] == 0x3C || b[1] == 0x58 || b[1] == 0x76);
}

inline bool isPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A parameter block as formatting tools write it: 512, 1024, 2048 or 4096 bytes per
// sector; a power-of-two sectors per cluster; at least one reserved sector; one or more
// FATs; the 0x55AA signature. Any OEM name.
inline bool hasValidParameterBlock(const std::uint8_t* b) {
    const std::uint16_t bps = le16(b, boot_sector::kBytesPerSector);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return false;
    if (!isPowerOfTwo(b[boot_sector::kSectorsPerCluster])) return false;
    if (le16(b, boot_sector::kReservedSectors) < 1) return false;
    if (b[boot_sector::kFatCount] < 1) return false;
    return b[boot_sector::kSignature] == 0x55 && b[boot_sector::kSignature + 1] == 0xAA;
}

// The two FAT flavours the parsers read, told apart by the 16-bit sectors-per-FAT field
// (0 on FAT32).
enum class FatFlavour { None, Fat16, Fat32 };

// Boot-sector test of the FAT16 and FAT32 parsers: the OEM names they were written for
// ("MSDOS"; FAT32 also "BSD"), or any valid parameter block.
inline FatFlavour parserFlavour(const std::uint8_t* b) {
    const bool msdos = std::memcmp(b + boot_sector::kOemName, "MSDOS", 5) == 0;
    const bool bsd = std::memcmp(b + boot_sector::kOemName, "BSD", 3) == 0;
    const bool valid = hasValidParameterBlock(b);
    if (le16(b, boot_sector::kSectorsPerFat16) != 0) return (msdos || valid) ? FatFlavour::Fat16 : FatFlavour::None;
    return (msdos || bsd || valid) ? FatFlavour::Fat32 : FatFlavour::None;
}

// Boot-sector test of partition discovery and the deep partition scan: the jump, then
// "MSDO" at the OEM name or a valid parameter block.
inline bool isFatBootSector(const std::uint8_t* b) {
    if (!hasFatJump(b)) return false;
    return std::memcmp(b + boot_sector::kOemName, "MSDO", 4) == 0 || hasValidParameterBlock(b);
}

// What partition discovery and the deep partition scan make of a FAT boot sector: FAT32
// when the 16-bit sectors-per-FAT field is 0; FAT16 when it is not and the parameter
// block is valid, or (for an "MSDO" sector with a block that is not) when it holds one
// of the FAT sizes the tables were written for; None otherwise ("UNKNOWN").
// sizeBytes: the total-sector field (16-bit, or 32-bit when that is 0) times the sector
// size (512 unless a valid block says otherwise). A small FAT32 volume with large sectors
// (mkfs.fat -S 2048 on a card of a few dozen MiB) keeps its count in the 16-bit field.
struct FatDiscovery {
    FatFlavour flavour = FatFlavour::None;
    std::int64_t sizeBytes = 0;
    bool fat12 = false;  // a FAT16-style block whose cluster count makes it FAT12
};

// A FAT12/16 parameter block with fewer than 4,085 clusters describes FAT12 (12-bit FAT
// entries): the cluster count, not a label, tells the two apart.
inline bool isFat12(const std::uint8_t* b) {
    const std::uint32_t bps = le16(b, boot_sector::kBytesPerSector);
    const std::uint32_t spc = b[boot_sector::kSectorsPerCluster];
    const std::uint32_t sectorsPerFat = le16(b, boot_sector::kSectorsPerFat16);
    if (bps == 0 || spc == 0 || sectorsPerFat == 0) return false;
    std::uint64_t total = le16(b, boot_sector::kTotalSectors16);
    if (total == 0) total = le32(b, boot_sector::kTotalSectors32);
    const std::uint64_t rootSectors = (std::uint64_t(le16(b, boot_sector::kRootEntryCount)) * 32 + bps - 1) / bps;
    const std::uint64_t meta = le16(b, boot_sector::kReservedSectors) +
                               std::uint64_t(b[boot_sector::kFatCount]) * sectorsPerFat + rootSectors;
    if (total <= meta) return false;
    return (total - meta) / spc < 4085;
}
inline FatDiscovery discoverFat(const std::uint8_t* b, bool deepScan) {
    FatDiscovery d;
    const bool valid = hasValidParameterBlock(b);
    const std::int64_t unit = valid ? le16(b, boot_sector::kBytesPerSector) : 512;
    const std::uint16_t sectorsPerFat = le16(b, boot_sector::kSectorsPerFat16);
    const std::uint16_t small = le16(b, boot_sector::kTotalSectors16);
    const std::int64_t total = small != 0 ? std::int64_t(small) : std::int64_t(le32(b, boot_sector::kTotalSectors32));
    if (sectorsPerFat == 0) {
        d.flavour = FatFlavour::Fat32;
        d.sizeBytes = total * unit;
        return d;
    }
    const bool writtenSize = sectorsPerFat == 200 || sectorsPerFat == 256 || (deepScan && sectorsPerFat == 128);
    if (!valid && !writtenSize) return d;
    d.flavour = FatFlavour::Fat16;
    d.fat12 = valid && isFat12(b);
    d.sizeBytes = total * unit;
    return d;
}

// exFAT: the jump and "EXFA" at offset 3 (discovery); the parser wants "EXFAT".
inline bool isExFatBootSector(const std::uint8_t* b) {
    return hasFatJump(b) && std::memcmp(b + exfat_boot::kFileSystemName, "EXFA", 4) == 0;
}

}  // namespace dravonel::fat_format
