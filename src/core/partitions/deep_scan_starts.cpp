// Where a volume found by its boot sector really starts. NTFS, FAT32 and exFAT keep a
// copy of their boot sector inside the volume (NTFS in its last sector, FAT32 the number
// of sectors its backup field names, exFAT 12 sectors on, all counted in the volume's own
// sector size, which may be 512 to 4096 bytes); a copy read as a start would
// put the volume late. Which one a sector is, is settled by where the volume's own
// structures lie as that sector describes them: the first MFT record, or the first FAT.
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <limits>

#include "core/common/byte_reader.h"
#include "core/fs/fat/fat_format.h"
#include "core/fs/ntfs/ntfs_format.h"
#include "core/partitions/partition.h"

namespace dravonel {

namespace {

constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int64_t>::max();
namespace nb = ntfs_format::boot_sector;
namespace fb = fat_format::boot_sector;
namespace xb = fat_format::exfat_boot;

// a + b for non-negative b, or nothing past the largest offset.
std::optional<std::int64_t> plus(std::int64_t a, std::uint64_t b) {
    if (a < 0 || b > std::uint64_t(kMaxOffset - a)) return std::nullopt;
    return a + std::int64_t(b);
}

// a x b as an offset, or nothing when it does not fit.
std::optional<std::uint64_t> times(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::uint64_t(kMaxOffset) / a) return std::nullopt;
    return a * b;
}

bool readBytes(const readWriteInterface& reader, std::optional<std::int64_t> at, std::uint8_t* dest, std::uint32_t n) {
    return at && *at >= 0 && reader.readAt(*at, dest, n);
}

// The first MFT record at `at`: its "FILE" signature and, in the layout that numbers
// records, number 0. A record one sector further on (records of a sector's size, as on
// 4Kn disks) must not pass for it: it is what a volume's own boot sector read as the copy
// of the next, equally large volume's points at.
bool mftRecordAt(const readWriteInterface& reader, std::optional<std::int64_t> at) {
    namespace mr = ntfs_format::mft_record;
    std::uint8_t b[mr::kRecordNumber + 4];
    if (!readBytes(reader, at, b, sizeof b) || !ntfs_format::hasFileSignature(std::span<const std::uint8_t>(b, 4)))
        return false;
    return le16(b, mr::kUsaOffset) < mr::kRecordNumberLayoutUsa || le32(b, mr::kRecordNumber) == 0;
}

// The first FAT at `at`: its first entry is the media byte followed by set bits (FAT32:
// the entry's 28 bits; exFAT: all 32).
bool fatStartAt(const readWriteInterface& reader, std::optional<std::int64_t> at, std::uint8_t media, bool exfat) {
    std::uint8_t b[4];
    if (!readBytes(reader, at, b, 4)) return false;
    if (b[0] != media || b[1] != 0xFF || b[2] != 0xFF) return false;
    return exfat ? b[3] == 0xFF : (b[3] & 0x0F) == 0x0F;
}

// Cluster bytes of an NTFS boot sector (values above 0x80 encode 2^(256 - value)
// sectors); 0 when the field is damaged.
std::uint64_t ntfsClusterBytes(const std::uint8_t* b) {
    const std::uint64_t bps = le16(b, nb::kBytesPerSector);
    const std::uint8_t spc = b[nb::kSectorsPerCluster];
    if (spc > 0x80) return 256u - spc > 24 ? 0 : bps << (256u - spc);
    return bps * spc;
}

// Where a kind keeps its boot sector's copy and the structure that tells the two apart,
// both counted from the volume's start.
struct Rule {
    std::int64_t backBytes = 0;
    std::uint64_t structureBytes = 0;
};

}  // namespace

VolumeStart settleVolumeStart(const readWriteInterface& reader, const std::uint8_t* b, std::int64_t at,
                              const BootSectorFind& find) {
    VolumeStart v;
    v.startByte = at + find.startOffsetBytes;
    v.extentBytes = find.sizeBytes;
    if (at < 0) return v;

    std::optional<Rule> rule;
    std::function<bool(std::optional<std::int64_t>)> structureAt;
    if (find.fileSystem == u"NTFS") {
        // The backup sits in the sector after the counted ones: the volume spans T + 1,
        // in the volume's own sector size (which may be larger than the device's 512).
        const std::uint64_t bps = nb::sectorBytesOf(b);
        const std::uint64_t total = le64(b, nb::kTotalSectors);
        const auto back = bps ? times(total, bps) : std::nullopt;
        const auto extent = back ? plus(*back, bps) : std::nullopt;
        if (extent) v.extentBytes = *extent;
        const auto mft = times(le64(b, nb::kMftCluster), ntfsClusterBytes(b));
        if (back && mft) rule = Rule{std::int64_t(*back), *mft};
        structureAt = [&](std::optional<std::int64_t> p) { return mftRecordAt(reader, p); };
    } else if (find.fileSystem == u"FAT32") {
        const std::uint64_t bps = fat_format::hasValidParameterBlock(b) ? le16(b, fb::kBytesPerSector) : 512;
        std::uint64_t backup = le16(b, fb::kBackupBootSector);
        if (backup == 0 || backup == 0xFFFF) backup = 6;
        const std::uint64_t reserved = le16(b, fb::kReservedSectors);
        if (backup < reserved) rule = Rule{std::int64_t(backup * bps), reserved * bps};
        const std::uint8_t media = b[fb::kMedia];
        structureAt = [&, media](std::optional<std::int64_t> p) { return fatStartAt(reader, p, media, false); };
    } else if (find.fileSystem == u"FAT64") {
        const unsigned shift = b[xb::kBytesPerSectorShift];
        const std::uint64_t bps = shift >= 9 && shift <= 12 ? (1u << shift) : 512;
        const auto fat = times(le32(b, xb::kFatOffset), bps);
        if (fat) rule = Rule{std::int64_t(12 * bps), *fat};
        structureAt = [&](std::optional<std::int64_t> p) { return fatStartAt(reader, p, 0xF8, true); };
    }
    if (!rule) return v;

    // The copy's reading first: for an original it points into the volume's own reserved
    // area (or before the volume), where no such structure lies, while the original's
    // reading of a copy points into the middle of the FAT, which may look like its start.
    if (at >= rule->backBytes) {
        const std::int64_t start = at - rule->backBytes;
        if (structureAt(plus(start, rule->structureBytes))) {
            v.startByte = start;
            v.fromBackup = true;
            v.confirmed = true;
            return v;
        }
    }
    v.confirmed = structureAt(plus(at, rule->structureBytes));
    return v;
}

std::optional<std::int64_t> backupOwnerStart(const std::uint8_t* b, std::int64_t at, const BootSectorFind& find) {
    if (find.fileSystem == u"NTFS") {
        const std::uint64_t bps = nb::sectorBytesOf(b);
        const auto back = bps ? times(le64(b, nb::kTotalSectors), bps) : std::nullopt;
        if (back && at >= std::int64_t(*back)) return at - std::int64_t(*back);
    } else if (find.fileSystem == u"FAT32") {
        const std::uint64_t bps = fat_format::hasValidParameterBlock(b) ? le16(b, fb::kBytesPerSector) : 512;
        std::uint64_t backup = le16(b, fb::kBackupBootSector);
        if (backup == 0 || backup == 0xFFFF) backup = 6;
        if (at >= std::int64_t(backup * bps)) return at - std::int64_t(backup * bps);
    } else if (find.fileSystem == u"FAT64") {
        const unsigned shift = b[xb::kBytesPerSectorShift];
        const std::int64_t bps = shift >= 9 && shift <= 12 ? (1 << shift) : 512;
        if (at >= 12 * bps) return at - 12 * bps;
    } else if (find.fileSystem == u"HFS+") {
        // The alternate volume header lies 1024 bytes before the volume's end.
        const std::int64_t end = at + 1024;
        if (find.sizeBytes > 0 && end >= find.sizeBytes) return end - find.sizeBytes;
    }
    return std::nullopt;
}

}  // namespace dravonel
