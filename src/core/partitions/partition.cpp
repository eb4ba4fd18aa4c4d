#include "core/partitions/partition.h"

#include <algorithm>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

#include "core/common/byte_reader.h"
#include "core/common/text.h"
#include "core/fs/ntfs/ntfs_format.h"
#include "core/fs/fat/fat_format.h"
#include "core/fs/ext/ext_format.h"
#include "core/fs/hfsplus/hfsplus_format.h"

namespace dravonel {

namespace {

constexpr std::size_t kMbrTable = 446;   // four 16-byte entries
constexpr std::size_t kEntryType = 4;    // u8
constexpr std::size_t kEntryLba = 8;     // u32, first sector
constexpr std::size_t kEntryCount = 12;  // u32, sectors
constexpr int kMaxExtendedRecords = 50;

constexpr std::size_t kGptEntryLbaField = 72;  // u64 in the GPT header (sector 1)
constexpr std::size_t kGptEntrySize = 128;
constexpr std::size_t kGptArrayBytes = 10240;  // 80 entries read
constexpr std::size_t kGptEntryLimit = 9216;   // at most 72 entries used
constexpr std::size_t kGptFirstLba = 32;       // i64
constexpr std::size_t kGptLastLba = 40;        // i64
constexpr std::size_t kGptName = 56;           // 36 UTF-16 units

std::uint32_t readError() { return errno != 0 ? static_cast<std::uint32_t>(errno) : EIO; }

bool readAt(readWriteInterface& reader, std::int64_t offset, std::uint8_t* dest, std::uint32_t count) {
    errno = 0;
    if (!reader.seek(offset, 0)) return false;
    return reader.read(dest, count);
}

namespace ntfs_boot = ntfs_format::boot_sector;

// The NTFS jump instruction and a sector size NTFS is formatted with (the GPT walk asks
// no more).
bool hasNtfsJump(const std::uint8_t* b) {
    return b[ntfs_boot::kJump] == ntfs_boot::kJumpOpcode && b[ntfs_boot::kJump + 1] == ntfs_boot::kJumpOffset &&
           ntfs_boot::sectorBytesOf(b) != 0;
}

// count sectors of `unit` bytes, held at the largest offset instead of overflowing.
std::int64_t sectorsToBytes(std::uint64_t count, std::uint64_t unit) {
    return unit != 0 && count > static_cast<std::uint64_t>(INT64_MAX) / unit ? INT64_MAX
                                                                             : static_cast<std::int64_t>(count * unit);
}

// An NTFS volume's size as its boot sector counts it, in its own sector size.
std::int64_t ntfsSizeBytes(const std::uint8_t* b) {
    return sectorsToBytes(le64(b, ntfs_boot::kTotalSectors), ntfs_boot::sectorBytesOf(b));
}

// An exFAT volume's size: its length field in sectors of 2^shift bytes (512 to 4096).
std::int64_t exfatSizeBytes(const std::uint8_t* b) {
    const unsigned shift = b[fat_format::exfat_boot::kBytesPerSectorShift];
    return sectorsToBytes(le64(b, fat_format::exfat_boot::kVolumeLength), shift >= 9 && shift <= 12 ? 1u << shift : 512);
}


void append(Partition& p, VolumeRecord record) {
    if (!p.records) return;
    record.name = format16("G%d", static_cast<int>(p.records->size()));
    p.records->push_back(std::move(record));
}

VolumeRecord makeRecord(std::u16string fs, std::u16string sizeText, std::int64_t start) {
    VolumeRecord r;
    r.fileSystem = std::move(fs);
    r.sizeMbText = std::move(sizeText);
    r.startSector = start;
    return r;
}

// One primary or logical MBR entry's file system and status line. `logical` selects the
// texts of the extended walk.
struct TypeInfo {
    std::u16string fileSystem;
    std::u16string statusText;
};

TypeInfo classifyMbrType(std::uint8_t type, bool logical, bool exfat, int ntfsCount, bool ext = false) {
    switch (type) {
        case 0x01: return {u"FAT12", u""};
        case 0x04: case 0x06: case 0x0E: return {u"FAT16", u"found FAT 16..."};
        case 0x0B: case 0x0C: return {u"FAT32", u"found FAT 32..."};
        case 0x07:
            if (exfat) return {u"FAT64", u"found FAT64..."};
            return {u"NTFS", logical ? std::u16string(u"found NTFS...") : format16("found NTFS %d...", ntfsCount)};
        case 0x42:
            if (logical) break;
            return {u"NTFS", u"NTFS..."};
        case 0x83: return {u"extX", logical ? u"found extx..." : u"found ext2..."};
        case 0xAF: return {u"HFS+", u"found HFS+..."};
        default:
            // A type that says nothing, over an ext superblock.
            if (ext) return {u"extX", logical ? u"found extx..." : u"found ext2..."};
            break;
    }
    return {u"Unknown", u"found UNKNOWN..."};
}

bool knownMbrType(std::uint8_t type) {
    switch (type) {
        case 0x01: case 0x04: case 0x06: case 0x0E: case 0x0B: case 0x0C: case 0x07: case 0x42: case 0x83:
        case 0xAF:
            return true;
        default: return false;
    }
}

std::uint32_t walkGpt(readWriteInterface& reader, Partition& p, const std::uint8_t* head) {
    const std::int64_t arrayLba = static_cast<std::int64_t>(le64(head, 512 + kGptEntryLbaField));
    std::vector<std::uint8_t> array(kGptArrayBytes, 0);
    // A failed read of the entry array leaves what arrived (or zeros): the walk below then
    // ends at the first entry that is not a partition.
    if (arrayLba >= 0 && arrayLba < (INT64_MAX / 512)) readAt(reader, arrayLba * 512, array.data(), kGptArrayBytes);

    std::vector<std::size_t> entries;
    for (std::size_t off = 0; off < kGptEntryLimit; off += kGptEntrySize) {
        const std::uint8_t* e = array.data() + off;
        if (e[0] == 0x30 || e[1] == 0x30 || e[2] == 0x30 || e[3] == 0x30) break;
        if (static_cast<std::int64_t>(le64(e, kGptFirstLba)) <= 2) break;
        entries.push_back(off);
    }

    int ntfsCount = 0;
    std::uint8_t boot[512];
    for (std::size_t off : entries) {
        const std::uint8_t* e = array.data() + off;
        const std::int64_t first = static_cast<std::int64_t>(le64(e, kGptFirstLba));
        const std::int64_t last = static_cast<std::int64_t>(le64(e, kGptLastLba));
        std::u16string name = fromUtf16Le(e + kGptName, 36);
        name = name.substr(0, name.find(u'\0'));
        std::memset(boot, 0, sizeof boot);
        const bool ok = first < INT64_MAX / 512 && readAt(reader, first * 512, boot, 512);
        if (name == u"Microsoft reserved partition") continue;
        if (!ok) return readError();

        bool classified = true;
        if (hasNtfsJump(boot)) {
            const std::int64_t size = ntfsSizeBytes(boot);
            if (size >= 1048576) {
                append(p, makeRecord(u"NTFS", format16("%d   MB", static_cast<int>(size / 1048576)), first));
                ++ntfsCount;
                p.status(format16("found NTFS %d...", ntfsCount));
            }
        } else if (fat_format::isFatBootSector(boot)) {
            // "MSDO" at the OEM name, or any valid parameter block (mkfs.fat, MSWIN4.1,
            // cameras and phones write names of their own).
            const fat_format::FatDiscovery fat = fat_format::discoverFat(boot, false);
            std::u16string fs;
            std::int64_t size = 0;
            if (fat.flavour == fat_format::FatFlavour::Fat32) {
                fs = u"FAT32";
                p.status(u"found FAT 32...");
                size = fat.sizeBytes;
            } else if (fat.flavour == fat_format::FatFlavour::Fat16) {
                fs = fat.fat12 ? u"FAT12" : u"FAT16";
                p.status(u"found FAT 16...");
                size = fat.sizeBytes;
            } else {
                fs = u"UNKNOWN";
                p.status(u"found unknown...");
            }
            if (size >= 1048576) append(p, makeRecord(fs, format16("%lld  MB", static_cast<long long>(size / 1048576)), first));
        } else if (fat_format::isExFatBootSector(boot)) {
            const std::int64_t size = exfatSizeBytes(boot);
            p.status(u"found FAT 64...");
            if (size >= 1048576) append(p, makeRecord(u"FAT64", format16("%lld  MB", static_cast<long long>(size / 1048576)), first));
        } else {
            classified = false;
            std::u16string fs = isHfsPlusVolume(reader, first) ? std::u16string(u"HFS+")
                                : isExtVolume(reader, first)   ? std::u16string(u"extX")
                                                               : name;
            // A crafted entry may hold any two 64-bit numbers: the span is taken in unsigned
            // arithmetic, and an entry that ends before it starts spans nothing.
            const std::uint64_t span = last > first ? static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first) : 0;
            append(p, makeRecord(fs, format16("%lld", static_cast<long long>(span / 2048)), first));
        }
        if (classified && p.stopRequested.load()) break;
    }
    return 0;
}

std::uint32_t walkExtended(readWriteInterface& reader, Partition& p, std::int64_t extendedBase, int& ntfsCount) {
    std::int64_t currentLink = 0;
    std::uint8_t ebr[512];
    for (int record = 0; record < kMaxExtendedRecords; ++record) {
        reader.baseOffset = 0;
        const std::int64_t ebrSector = extendedBase + currentLink;
        if (!readAt(reader, ebrSector * 512, ebr, 512)) return readError();
        bool linked = false;
        for (int k = 0; k < 4; ++k) {
            const std::size_t at = kMbrTable + 16 * k;
            const std::uint8_t type = ebr[at + kEntryType];
            const std::uint32_t lba = le32(ebr, at + kEntryLba);
            const std::uint32_t count = le32(ebr, at + kEntryCount);
            if (type == 0x05 || type == 0x0F) {
                currentLink = lba;
                linked = true;
                break;
            }
            if (type == 0) return 0;
            const std::int64_t start = ebrSector + lba;
            bool exfat = false;
            if (type == 0x07) {
                exfat = isExFatBootSector(reader, start);
                if (!readAt(reader, ebrSector * 512, ebr, 512)) return readError();
                if (!exfat) ++ntfsCount;
            }
            const bool ext = !knownMbrType(type) && isExtVolume(reader, start);
            if (ext && !readAt(reader, ebrSector * 512, ebr, 512)) return readError();
            TypeInfo info = classifyMbrType(type, true, exfat, ntfsCount, ext);
            append(p, makeRecord(info.fileSystem, format16("%d   MB", static_cast<int>(count >> 11)), start));
            if (!info.statusText.empty()) p.status(info.statusText);
        }
        if (!linked) break;
    }
    return 0;
}

std::uint32_t walkMbr(readWriteInterface& reader, Partition& p) {
    std::uint8_t mbr[512];
    if (!readAt(reader, 0, mbr, 512)) return readError();
    int ntfsCount = 0;
    for (int k = 0; k < 4; ++k) {
        const std::size_t at = kMbrTable + 16 * k;
        const std::uint8_t type = mbr[at + kEntryType];
        const std::uint32_t lba = le32(mbr, at + kEntryLba);
        const std::uint32_t count = le32(mbr, at + kEntryCount);
        if (type == 0) return 0;
        if (type == 0x05 || type == 0x0F) return walkExtended(reader, p, lba, ntfsCount);
        bool exfat = false;
        if (type == 0x07) {
            exfat = isExFatBootSector(reader, lba);
            if (!readAt(reader, 0, mbr, 512)) return readError();
            if (!exfat) ++ntfsCount;
        }
        const bool ext = !knownMbrType(type) && isExtVolume(reader, lba);
        if (ext && !readAt(reader, 0, mbr, 512)) return readError();
        TypeInfo info = classifyMbrType(type, false, exfat, ntfsCount, ext);
        append(p, makeRecord(info.fileSystem, format16("%lld   MB", static_cast<long long>(count >> 11)), lba));
        if (!info.statusText.empty()) p.status(info.statusText);
    }
    return 0;
}

}  // namespace

bool isExFatBootSector(readWriteInterface& reader, std::int64_t sector) {
    std::uint8_t b[512];
    if (sector < 0 || sector > INT64_MAX / 512 || !readAt(reader, sector * 512, b, 512)) return false;
    return fat_format::isExFatBootSector(b);
}

bool isHfsPlusVolume(readWriteInterface& reader, std::int64_t sector) {
    std::uint8_t b[512];
    constexpr std::int64_t header = hfsplus_format::kVolumeHeaderOffset;
    if (sector < 0 || sector > (INT64_MAX - header) / 512 || !readAt(reader, sector * 512 + header, b, 512)) return false;
    return hfsplus_format::isVolumeHeaderStart(b);
}

bool isExtVolume(readWriteInterface& reader, std::int64_t sector) {
    std::uint8_t b[ext_format::kSuperblockBytes];
    constexpr std::int64_t at = ext_format::kSuperblockOffset;
    if (sector < 0 || sector > (INT64_MAX - at) / 512 || !readAt(reader, sector * 512 + at, b, sizeof b)) return false;
    const auto s = ext_format::decodeSuperblock(b, sizeof b);
    return s && s->groupNumber == 0;
}

std::uint32_t discoverPartitions(readWriteInterface& reader, Partition& partition) {
    reader.baseOffset = 0;
    std::vector<std::uint8_t> head(1024, 0);
    const bool headRead = readAt(reader, 0, head.data(), 1024);
    if (headRead && partition.gptMode == 1) return walkGpt(reader, partition, head.data());
    return walkMbr(reader, partition);
}

std::optional<BootSectorFind> classifyBootSector(const std::uint8_t* b, int ntfsCount) {
    if (hasNtfsJump(b) && std::memcmp(b + ntfs_boot::kOemId, ntfs_boot::kOemIdText, 4) == 0)
        return BootSectorFind{u"NTFS", format16("found NTFS %d...", ntfsCount + 1), ntfsSizeBytes(b), 0};
    if (fat_format::isFatBootSector(b)) {
        const fat_format::FatDiscovery fat = fat_format::discoverFat(b, true);
        if (fat.flavour == fat_format::FatFlavour::Fat32) return BootSectorFind{u"FAT32", u"found FAT 32...", fat.sizeBytes, 0};
        if (fat.flavour == fat_format::FatFlavour::Fat16)
            return BootSectorFind{fat.fat12 ? u"FAT12" : u"FAT16", u"found FAT 16...", fat.sizeBytes, 0};
        return BootSectorFind{u"UNKNOWN", u"found unknown...", 0, 0};
    }
    if (fat_format::isExFatBootSector(b)) return BootSectorFind{u"FAT64", u"found FAT 64...", exfatSizeBytes(b), 0};
    if (le16(b, ext_format::superblock::kMagic) == ext_format::kMagic) {
        // An ext superblock sits 1024 bytes into its volume; copies in later groups
        // (group number not 0) describe no volume start.
        const auto s = ext_format::decodeSuperblock(b, 512);
        if (s && s->groupNumber == 0) {
            const std::uint64_t bytes = s->blockCount * s->blockSize;  // below 2^48 x 2^16
            const std::int64_t size = bytes > std::uint64_t(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(bytes);
            return BootSectorFind{u"extX", u"found ext2...", size, -std::int64_t(ext_format::kSuperblockOffset)};
        }
    }
    if (hfsplus_format::isVolumeHeaderStart(b)) {
        // block size (u32 BE at 40) x total blocks (u32 BE at 44) can exceed a signed 64-bit
        const std::uint64_t product = std::uint64_t(be32(b, 40)) * std::uint64_t(be32(b, 44));
        const std::int64_t size = product > std::uint64_t(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(product);
        return BootSectorFind{u"HFS+", u"found HFS+...", size, -1024};
    }
    return std::nullopt;
}

std::int64_t volumeBytesAt(const readWriteInterface& reader, std::int64_t startSector) {
    if (startSector < 0 || startSector > INT64_MAX / kSectorBytes - 4) return 0;
    std::uint8_t b[2048] = {};
    if (!reader.readAt(startSector * kSectorBytes - reader.baseOffset, b, 512)) return 0;
    reader.readAt(startSector * kSectorBytes - reader.baseOffset + 512, b + 512, 1536);
    if (auto f = classifyBootSector(b, 0)) return f->sizeBytes;
    if (auto f = classifyBootSector(b + 1024, 0); f && (f->fileSystem == u"HFS+" || f->fileSystem == u"extX"))
        return f->sizeBytes;
    return 0;
}

std::string fileSystemAt(const readWriteInterface& reader, std::int64_t startSector) {
    if (startSector < 0 || startSector > INT64_MAX / kSectorBytes - 4) return {};
    std::uint8_t b[2048] = {};
    // Read what there is: a volume of a few sectors still has its first one.
    if (!reader.readAt(startSector * kSectorBytes - reader.baseOffset, b, 512)) return {};
    reader.readAt(startSector * kSectorBytes - reader.baseOffset + 512, b + 512, 1536);
    if (auto f = classifyBootSector(b, 0)) {
        const std::string fs = toUtf8(f->fileSystem);
        return fs == "UNKNOWN" ? "FAT16" : fs;
    }
    // HFS+ and ext2/3/4 keep their header 1024 bytes into the volume.
    if (auto f = classifyBootSector(b + 1024, 0); f && (f->fileSystem == u"HFS+" || f->fileSystem == u"extX"))
        return toUtf8(f->fileSystem);
    return {};
}

std::optional<VolumeRecord> bareVolume(readWriteInterface& reader) {
    reader.baseOffset = 0;
    const std::string fs = fileSystemAt(reader, 0);
    if (fs.empty()) return std::nullopt;
    VolumeRecord r;
    r.name = u"G0";
    r.fileSystem = fromUtf8(fs);
    r.startSector = 0;
    // The volume's own size, in the text a table row of its file system has; the
    // source's size when the boot sector does not tell.
    std::int64_t bytes = volumeBytesAt(reader, 0);
    if (bytes <= 0 || bytes / kSectorBytes > reader.deviceSectorCount) bytes = reader.deviceSectorCount * kSectorBytes;
    r.sizeMbText = format16("%lld   MB", static_cast<long long>(bytes / 1048576));
    return r;
}

}  // namespace dravonel
