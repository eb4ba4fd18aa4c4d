#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/common/text.h"
#include "core/partitions/partition.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

struct ScanResult {
    std::vector<VolumeRecord> records;
    test::RecordingSink sink;
    std::vector<bool> filterStates;
    std::uint32_t rc = 0;
};

ScanResult scan(readWriteInterface& reader, std::uint8_t skip, std::int64_t start = 0, std::int64_t end = 0,
                int stopAfterFinds = -1) {
    ScanResult r;
    Partition p;
    p.skipVolumeSize = skip;
    p.customStart = start;
    p.customEnd = end;
    p.records = &r.records;
    p.sink = &r.sink;
    p.onRunningChanged = [&](bool running) { r.filterStates.push_back(!running); };
    p.onFound = [&](const VolumeRecord&) {
        if (stopAfterFinds >= 0 && static_cast<int>(r.records.size()) >= stopAfterFinds) p.stopRequested.store(1);
    };
    r.rc = deepScan(p, reader);
    return r;
}

std::vector<std::pair<std::u16string, std::int64_t>> found(const ScanResult& r) {
    std::vector<std::pair<std::u16string, std::int64_t>> out;
    for (const auto& v : r.records) out.emplace_back(v.fileSystem, v.startSector);
    return out;
}

TEST(DeepScan, SkipModeListsEachVolumeOnceAndNoSkipFindsBackupBootSectors) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("mbr_disk.img").string()));
    const auto skipped = scan(reader, 1);
    EXPECT_EQ(skipped.rc, 0u);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    EXPECT_EQ(found(skipped), (V{{u"NTFS", 2048}, {u"FAT16", 18432}, {u"FAT64", 88064}, {u"extX", 106496},
                                 {u"FAT32", 124928}}));
    EXPECT_EQ(skipped.records[0].name, u"0");
    EXPECT_EQ(skipped.records[0].sizeMbText, u"7   MB");
    EXPECT_EQ(skipped.records[1].sizeMbText, u"32  MB");
    EXPECT_EQ(skipped.records[3].name, u"3");
    EXPECT_EQ(skipped.records[3].sizeMbText, u"8  MB");  // from the ext superblock

    const auto every = scan(reader, 0);
    // NTFS keeps its backup boot sector in the volume's last sector; exFAT its backup
    // boot region 12 sectors on; FAT32 its backup boot sector 6 sectors on. Testing every
    // sector meets them all, and each is known for the copy of a volume already listed.
    EXPECT_EQ(found(every), found(skipped));
    EXPECT_EQ(every.sink.statuses.front(), u"Scanning partition.....");
    EXPECT_EQ(every.sink.statuses[1], u"found NTFS 1...");
    EXPECT_EQ(every.sink.statuses[2], u"found FAT 16...");
    EXPECT_EQ(every.sink.ranges.front(), std::make_pair(std::int64_t{0}, std::int64_t{1000}));
    EXPECT_EQ(every.sink.positions.back(), 1000);
    EXPECT_EQ(every.filterStates, (std::vector<bool>{false, true}));
}

TEST(DeepScan, FindsHfsPlusByItsVolumeHeader) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("gpt_disk.img").string()));
    const auto r = scan(reader, 1, 160000);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    EXPECT_EQ(found(r), (V{{u"HFS+", 165888}}));
    EXPECT_EQ(r.records[0].sizeMbText, u"2  MB");
}

TEST(DeepScan, CustomRangeTestsTheWholeBlockOfTheEndSectorAndNoMore) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("mbr_disk.img").string()));
    // Start at 16384: the block 16384..18431 holds the NTFS backup (18431), which names
    // the volume's true start; end sector 16384 lies in that first block, so it is tested
    // completely and the FAT16 volume at 18432 (the next block) is not.
    const auto r = scan(reader, 0, 16384, 16384);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    EXPECT_EQ(found(r), (V{{u"NTFS", 2048}}));

    const auto beyond = scan(reader, 1, reader.deviceSectorCount + 10);
    EXPECT_TRUE(beyond.records.empty());
    EXPECT_EQ(beyond.filterStates, (std::vector<bool>{false, true}));
}

TEST(DeepScan, StopEndsTheScanWithinOneSectorKeepingTheRows) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("mbr_disk.img").string()));
    // No-skip mode: the FAT16 volume would be the next find.
    const auto r = scan(reader, 0, 0, 0, 1);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.sink.statuses.back(), u"Scanned Partitions");
}

// A sector image with volume boot sectors planted at chosen places.
std::vector<std::uint8_t> diskWith(std::size_t bytes) { return std::vector<std::uint8_t>(bytes, 0); }
void plantNtfs(std::vector<std::uint8_t>& d, std::size_t sector, std::uint64_t sectors) {
    std::uint8_t* b = d.data() + sector * 512;
    b[0] = 0xEB; b[1] = 0x52;
    std::memcpy(b + 3, "NTFS    ", 8);
    b[11] = 0x00; b[12] = 0x02;
    std::memcpy(b + 40, &sectors, 8);
}
void plantHfs(std::vector<std::uint8_t>& d, std::size_t sector, std::uint32_t blockSize, std::uint32_t blocks) {
    std::uint8_t* b = d.data() + sector * 512;
    b[0] = 'H'; b[1] = '+'; b[2] = 0; b[3] = 4;
    for (int i = 0; i < 4; ++i) {
        b[40 + i] = std::uint8_t(blockSize >> (24 - 8 * i));
        b[44 + i] = std::uint8_t(blocks >> (24 - 8 * i));
    }
}

// Volumes with the structures that tell a boot sector from its copy: NTFS with its
// first MFT record and its copy in the sector after the counted ones, FAT32 with its
// first FAT and the copy the backup field names, exFAT with its FAT and its backup boot
// region 12 sectors on. `lostPrimary` zeroes the volume's own boot sector. Volumes of
// larger sectors count their structures in their own sector size.
enum class Kind { Ntfs, Fat32, ExFat, Hfs };
struct Planted {
    Kind kind;
    std::size_t sectors;  // the volume's extent, in the disk's 512-byte sectors
    bool lostPrimary = false;
    std::size_t sectorBytes = 512;  // the volume's own (NTFS, FAT32, exFAT)
};
void put16(std::uint8_t* b, std::size_t at, std::uint16_t v) { b[at] = std::uint8_t(v); b[at + 1] = std::uint8_t(v >> 8); }
void put32(std::uint8_t* b, std::size_t at, std::uint32_t v) { for (int k = 0; k < 4; ++k) b[at + k] = std::uint8_t(v >> (8 * k)); }
void put64(std::uint8_t* b, std::size_t at, std::uint64_t v) { for (int k = 0; k < 8; ++k) b[at + k] = std::uint8_t(v >> (8 * k)); }
const char16_t* kindName(Kind k) {
    switch (k) {
        case Kind::Ntfs: return u"NTFS";
        case Kind::Fat32: return u"FAT32";
        case Kind::ExFat: return u"FAT64";
        case Kind::Hfs: return u"HFS+";
    }
    return u"";
}
void plantVolume(std::vector<std::uint8_t>& d, std::size_t start, const Planted& v) {
    std::uint8_t* base = d.data() + start * 512;
    std::uint8_t boot[512] = {};
    const std::size_t bps = v.sectorBytes;
    const std::size_t own = v.sectors * 512 / bps;  // the extent in the volume's sectors
    std::size_t copyAt = 0;                         // in the volume's sectors
    switch (v.kind) {
        case Kind::Ntfs: {
            boot[0] = 0xEB; boot[1] = 0x52; boot[2] = 0x90;
            std::memcpy(boot + 3, "NTFS    ", 8);
            put16(boot, 11, std::uint16_t(bps));
            boot[13] = 8;
            put64(boot, 40, own - 1);
            put64(boot, 48, 4);  // MFT at cluster 4: sector 32
            // Its first records, numbered, each at least a sector long.
            for (std::uint32_t n = 0; n < 4; ++n) {
                std::uint8_t* record = base + 32 * bps + n * std::max<std::size_t>(1024, bps);
                std::memcpy(record, "FILE", 4);
                put16(record, 4, 0x30);
                put32(record, 0x2C, n);
            }
            copyAt = own - 1;
            break;
        }
        case Kind::Fat32: {
            boot[0] = 0xEB; boot[1] = 0x58; boot[2] = 0x90;
            std::memcpy(boot + 3, "MSWIN4.1", 8);
            put16(boot, 11, std::uint16_t(bps));
            boot[13] = 1;
            put16(boot, 14, 32);  // reserved sectors
            boot[16] = 2;
            boot[21] = 0xF8;
            put32(boot, 32, std::uint32_t(own));
            put32(boot, 36, 16);
            put32(boot, 44, 2);
            put16(boot, 50, 6);
            const std::uint8_t fat[8] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
            std::memcpy(base + 32 * bps, fat, 8);
            std::memcpy(base + 48 * bps, fat, 8);
            // Sector 6 of the first FAT begins with end-of-chain entries that read like a
            // FAT's start to the original's rule applied to the copy.
            std::memcpy(base + 38 * bps, fat, 8);
            copyAt = 6;
            break;
        }
        case Kind::ExFat: {
            boot[0] = 0xEB; boot[1] = 0x76; boot[2] = 0x90;
            std::memcpy(boot + 3, "EXFAT   ", 8);
            put64(boot, 72, own);
            put32(boot, 80, 24);  // FAT offset
            put32(boot, 84, 8);
            boot[108] = std::uint8_t(std::countr_zero(bps));
            boot[109] = 3;
            const std::uint8_t fat[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            std::memcpy(base + 24 * bps, fat, 8);
            copyAt = 12;
            break;
        }
        case Kind::Hfs: {
            // Header 1024 bytes in, alternate 1024 bytes before the end; 512-byte blocks.
            plantHfs(d, start + 2, 512, std::uint32_t(v.sectors));
            plantHfs(d, start + v.sectors - 2, 512, std::uint32_t(v.sectors));
            return;
        }
    }
    boot[510] = 0x55; boot[511] = 0xAA;
    if (!v.lostPrimary) std::memcpy(base, boot, 512);
    std::memcpy(base + copyAt * bps, boot, 512);
}

TEST(DeepScan, ListsEachVolumeOnceAtItsTrueStartWhetherItsBootSectorOrItsCopyIsFound) {
    struct Case {
        const char* what;
        std::size_t first;  // start of the first volume; each next one starts at the previous end
        std::vector<Planted> volumes;
    };
    const Case cases[] = {
        {"all intact", 2048, {{Kind::Ntfs, 4096}, {Kind::Fat32, 4096}, {Kind::ExFat, 4096}, {Kind::Ntfs, 4096}}},
        {"every primary lost", 2048,
         {{Kind::Ntfs, 4096, true}, {Kind::Fat32, 4096, true}, {Kind::ExFat, 4096, true}, {Kind::Ntfs, 4096, true}}},
        {"lost and intact mixed", 0,
         {{Kind::Fat32, 3000, true}, {Kind::Ntfs, 5000}, {Kind::ExFat, 2500, true}, {Kind::Fat32, 2100}}},
        {"after HFS+", 100, {{Kind::Hfs, 4096}, {Kind::Ntfs, 2049, true}, {Kind::Hfs, 2048}, {Kind::Fat32, 2048, true}}},
        {"across a block end", 1500, {{Kind::ExFat, 2048, true}, {Kind::Ntfs, 2100, true}, {Kind::Fat32, 2400}}},
        {"sectors of 1024 to 4096 bytes", 2048,
         {{Kind::Ntfs, 4096, true, 4096}, {Kind::Fat32, 4096, true, 2048}, {Kind::ExFat, 4096, true, 4096},
          {Kind::Fat32, 3072, false, 1024}, {Kind::Ntfs, 4096, false, 2048}, {Kind::ExFat, 2048, false, 2048}}},
        // Records of a sector's size: the copy's reading of the second volume's boot
        // sector meets the first volume's record 1.
        {"equal NTFS volumes of 4096- and 1024-byte sectors", 2048,
         {{Kind::Ntfs, 4096, false, 4096}, {Kind::Ntfs, 4096, false, 4096}, {Kind::Ntfs, 4096, false, 1024},
          {Kind::Ntfs, 4096, false, 1024}}},
    };
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::size_t total = c.first;
        for (const auto& v : c.volumes) total += v.sectors;
        auto d = diskWith((total + 2048) * 512);
        V expected;
        std::size_t at = c.first;
        for (const auto& v : c.volumes) {
            plantVolume(d, at, v);
            expected.emplace_back(kindName(v.kind), std::int64_t(at));
            at += v.sectors;
        }
        for (std::uint8_t skip : {1, 0}) {
            SCOPED_TRACE(skip ? "skipping" : "every sector");
            MemoryReadSeek reader(d);
            EXPECT_EQ(found(scan(reader, skip)), expected);
        }
    }
}

TEST(DeepScan, TestsTheSectorsOfAShortLastBlock) {
    // 1.5 MiB device: the second block arrives short; its volume is found all the same.
    auto d = diskWith(1572864);
    plantNtfs(d, 2500, 4096);
    MemoryReadSeek reader(d);
    const auto r = scan(reader, 1);
    EXPECT_EQ(r.rc, 0u);
    ASSERT_EQ(r.records.size(), 1u);
    EXPECT_EQ(r.records[0].startSector, 2500);
    EXPECT_EQ(r.filterStates.back(), true);
}

TEST(DeepScan, SizeRulesAndSkipsPastTheBlock) {
    auto d = diskWith(4 * 1048576);
    plantHfs(d, 10, 65536, 0xFFFFFFFF);  // claims 256 TiB: more than 20971519 MiB
    plantNtfs(d, 100, 1000);            // under 1 MiB: not listed, not skipped
    plantNtfs(d, 200, 4095);            // 2 MiB - 512: listed, skip carries past block 0
    plantNtfs(d, 2100, 4096);           // inside the skipped range: not seen
    plantNtfs(d, 4400, 4096);           // after the skip
    MemoryReadSeek reader(d);
    const auto r = scan(reader, 1);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    // The rejected HFS+ header still skips its claimed size: nothing after it is seen.
    EXPECT_EQ(found(r), V{});

    plantHfs(d, 10, 0, 0);
    MemoryReadSeek again(d);
    EXPECT_EQ(found(scan(again, 1)), (V{{u"NTFS", 200}, {u"NTFS", 4400}}));
    MemoryReadSeek every(d);
    EXPECT_EQ(found(scan(every, 0)), (V{{u"NTFS", 200}, {u"NTFS", 2100}, {u"NTFS", 4400}}));
}

TEST(DeepScan, ReadsOneRequestPerMebibyte) {
    MemoryReadSeek reader(diskWith(8 * 1048576));
    scan(reader, 1);
    EXPECT_EQ(reader.readCalls, 8);
}

}  // namespace
}  // namespace dravonel

namespace dravonel {
namespace {

TEST(DeepScanExt, FindsAnExtVolumeByItsPrimarySuperblockNotItsBackupsAndSkipsFromItsStart) {
    // ext2_4k: 12 MiB, 4 KiB blocks, a backup superblock at the start of group 1 (8 MiB on).
    const auto ext = test::fixtureBytes("ext2_4k.img");
    std::vector<std::uint8_t> d(2048 * 512 + ext.size() + 2 * 1048576, 0);
    std::copy(ext.begin(), ext.end(), d.begin() + 2048 * 512);
    // As for every kind, the skip goes on at the first sector after the volume's end,
    // where this NTFS volume starts; counted from the superblock it would pass it.
    const std::size_t after = 2048 + ext.size() / 512;
    plantNtfs(d, after, 4096);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    MemoryReadSeek skip(d);
    const auto r = scan(skip, 1);
    EXPECT_EQ(found(r), (V{{u"extX", 2048}, {u"NTFS", std::int64_t(after)}}));
    EXPECT_EQ(r.records[0].sizeMbText, u"12  MB");
    EXPECT_EQ(r.sink.statuses[1], u"found ext2...");
    MemoryReadSeek every(d);
    EXPECT_EQ(found(scan(every, 0)), (V{{u"extX", 2048}, {u"NTFS", std::int64_t(after)}}));
}

}  // namespace
}  // namespace dravonel
