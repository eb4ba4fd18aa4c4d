#include "core/partitions/partition.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "core/common/byte_reader.h"
#include "core/common/text.h"
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

bool isFatJump(const std::uint8_t* b) { return b[0] == 0xEB && (b[1] == 0x3C || b[1] == 0x58 || b[1] == 0x76); }

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
        if (boot[0] == 0xEB && boot[1] == 0x52 && le16(boot, 11) == 512) {
            const std::int64_t size = static_cast<std::int64_t>(le64(boot, 40) * 512);
            if (size >= 1048576) {
                append(p, makeRecord(u"NTFS", format16("%d   MB", static_cast<int>(size / 1048576)), first));
                ++ntfsCount;
                p.status(format16("found NTFS %d...", ntfsCount));
            }
        } else if (isFatJump(boot) && std::memcmp(boot + 3, "MSDO", 4) == 0) {
            const std::uint16_t sectorsPerFat = le16(boot, 22);
            std::u16string fs;
            std::int64_t size = 0;
            if (sectorsPerFat == 0) {
                fs = u"FAT32";
                p.status(u"found FAT 32...");
                size = static_cast<std::int64_t>(le32(boot, 32)) * 512;
            } else if (sectorsPerFat == 200 || sectorsPerFat == 256) {
                fs = u"FAT16";
                p.status(u"found FAT 16...");
                const std::uint16_t small = le16(boot, 19);
                size = (small != 0 ? static_cast<std::int64_t>(small) : static_cast<std::int64_t>(le32(boot, 32))) * 512;
            } else {
                fs = u"UNKNOWN";
                p.status(u"found unknown...");
            }
            if (size >= 1048576) append(p, makeRecord(fs, format16("%lld  MB", static_cast<long long>(size / 1048576)), first));
        } else if (isFatJump(boot) && std::memcmp(boot + 3, "EXFA", 4) == 0) {
            const std::uint64_t sectors = le64(boot, 72);
            const std::int64_t size = sectors > static_cast<std::uint64_t>(INT64_MAX / 512)
                                          ? INT64_MAX
                                          : static_cast<std::int64_t>(sectors * 512);
            p.status(u"found FAT 64...");
            if (size >= 1048576) append(p, makeRecord(u"FAT64", format16("%lld  MB", static_cast<long long>(size / 1048576)), first));
        } else {
            classified = false;
            std::u16string fs = isHfsPlusVolume(reader, first) ? std::u16string(u"HFS+")
                                : isExtVolume(reader, first)   ? std::u16string(u"extX")
                                                               : name;
            append(p, makeRecord(fs, format16("%lld", static_cast<long long>((last - first) / 2048)), first));
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
    return isFatJump(b) && std::memcmp(b + 3, "EXFA", 4) == 0;
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
    if (b[0] == 0xEB && b[1] == 0x52 && std::memcmp(b + 3, "NTFS", 4) == 0 && le16(b, 11) == 512) {
        const std::uint64_t sectors = le64(b, 40);
        const std::int64_t size =
            sectors > static_cast<std::uint64_t>(INT64_MAX / 512) ? INT64_MAX : static_cast<std::int64_t>(sectors * 512);
        return BootSectorFind{u"NTFS", format16("found NTFS %d...", ntfsCount + 1), size, 0};
    }
    if (isFatJump(b) && std::memcmp(b + 3, "MSDO", 4) == 0) {
        const std::uint16_t sectorsPerFat = le16(b, 22);
        if (sectorsPerFat == 0)
            return BootSectorFind{u"FAT32", u"found FAT 32...", static_cast<std::int64_t>(le32(b, 32)) * 512, 0};
        if (sectorsPerFat == 200 || sectorsPerFat == 256 || sectorsPerFat == 128) {
            const std::uint16_t small = le16(b, 19);
            const std::int64_t sectors = small != 0 ? small : static_cast<std::int64_t>(le32(b, 32));
            return BootSectorFind{u"FAT16", u"found FAT 16...", sectors * 512, 0};
        }
        return BootSectorFind{u"UNKNOWN", u"found unknown...", 0, 0};
    }
    if (isFatJump(b) && std::memcmp(b + 3, "EXFA", 4) == 0) {
        const std::uint64_t sectors = le64(b, 72);
        const std::int64_t size =
            sectors > static_cast<std::uint64_t>(INT64_MAX / 512) ? INT64_MAX : static_cast<std::int64_t>(sectors * 512);
        return BootSectorFind{u"FAT64", u"found FAT 64...", size, 0};
    }
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

std::uint32_t deepScan(Partition& p, readWriteInterface& reader) {
    constexpr std::int64_t kBlockBytes = 1048576;
    constexpr std::int64_t kBlockSectors = kBlockBytes / 512;
    if (p.onFilterEntriesEnabled) p.onFilterEntriesEnabled(false);
    p.status(u"Scanning partition.....");
    p.stopRequested.store(0);

    const std::int64_t startByte = p.customStart > 0 ? p.customStart * 512 : 0;
    const std::int64_t endByte = p.customEnd > 0 ? p.customEnd * 512 : -1;
    const std::int64_t totalSectors = reader.deviceSectorCount;
    if (p.sink) p.sink->setRange(0, 1000);
    std::vector<std::uint8_t> buffer(kBlockBytes, 0);
    std::int64_t P = startByte;
    std::int64_t S = p.customStart > 0 ? p.customStart : 0;
    int found = 0;
    int ntfsCount = 0;
    std::uint32_t result = 0;

    auto finish = [&]() {
        if (p.onFilterEntriesEnabled) p.onFilterEntriesEnabled(true);
    };

    bool seekOk = reader.seek(P, 0);
    while (seekOk && S < totalSectors) {
        if (p.control) p.control->checkPoint();
        errno = 0;
        std::int64_t testable = kBlockSectors;
        if (!reader.read(buffer.data(), static_cast<std::uint32_t>(kBlockBytes))) {
            // The last block of a device that is not a whole number of MiB arrives short:
            // test the sectors that arrived, then end normally. Any other failure ends the
            // scan with the read's error code.
            const std::int64_t remaining = totalSectors - S;
            if (remaining > 0 && remaining < kBlockSectors) {
                testable = remaining;
            } else {
                result = readError();
                break;
            }
        }
        if (endByte >= 0 && endByte < P) break;
        std::int64_t i = 0;
        bool stopped = false;
        while (i < kBlockSectors) {
            if (p.stopRequested.load(std::memory_order_relaxed)) {
                stopped = true;
                break;
            }
            if (i < testable) {
                const std::uint8_t* b = buffer.data() + i * 512;
                // Quick reject: every volume start begins with 0xEB or 'H', or carries
                // the ext magic at 56.
                if (b[0] == 0xEB || b[0] == 'H' || (b[56] == 0x53 && b[57] == 0xEF)) {
                    if (auto f = classifyBootSector(b, ntfsCount)) {
                        const std::int64_t X = P + i * 512;
                        const std::int64_t sizeMb = f->sizeBytes / 1048576;
                        bool record = false;
                        // An HFS+ header sits 1024 bytes into its volume, so one in the first
                        // two sectors of the device describes no volume.
                        if (f->fileSystem == u"HFS+") record = sizeMb >= 1 && sizeMb <= 20971519 && X >= 1024;
                        else if (f->fileSystem == u"extX") record = f->sizeBytes >= 1048576 && X >= 1024;
                        else record = f->sizeBytes >= 1048576;
                        if (record) {
                            if (f->fileSystem == u"NTFS") ++ntfsCount;
                            VolumeRecord r;
                            r.fileSystem = f->fileSystem;
                            r.name = format16("%d", found++);
                            r.sizeMbText = f->fileSystem == u"NTFS" ? format16("%d   MB", static_cast<int>(sizeMb))
                                                                     : format16("%lld  MB", static_cast<long long>(sizeMb));
                            r.startSector = (X + f->startOffsetBytes) / 512;
                            if (p.records) p.records->push_back(r);
                            if (p.onFound) p.onFound(r);
                            p.status(f->statusText);
                        }
                        // The skip counts from the volume's start, which lies before the
                        // tested sector for HFS+ and ext.
                        if (p.skipVolumeSize == 1 && f->sizeBytes >= 1048576)
                            i += (f->sizeBytes + f->startOffsetBytes) / 512;
                        if (p.stopRequested.load()) {
                            stopped = true;
                            break;
                        }
                    }
                }
            }
            ++i;
        }
        if (stopped) {
            p.status(u"Scanned Partitions");
            break;
        }
        if (testable < kBlockSectors) {
            S = totalSectors;
            if (p.sink) p.sink->setPosition(1000);
            break;
        }
        S += i;
        P += i * 512;
        if (p.sink && totalSectors > 0) p.sink->setPosition(S >= totalSectors ? 1000 : S * 1000 / totalSectors);
        seekOk = reader.seek(P, 0);
    }
    finish();
    return result;
}

}  // namespace dravonel
