#include <gtest/gtest.h>

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
    // boot region 12 sectors on; FAT32 its backup boot sector 6 sectors on (with the
    // name mkfs.fat wrote, found by its valid parameter block).
    EXPECT_EQ(found(every), (V{{u"NTFS", 2048}, {u"NTFS", 18431}, {u"FAT16", 18432}, {u"FAT64", 88064},
                               {u"FAT64", 88076}, {u"extX", 106496}, {u"FAT32", 124928}, {u"FAT32", 124934}}));
    EXPECT_EQ(every.sink.statuses.front(), u"Scanning partition.....");
    EXPECT_EQ(every.sink.statuses[2], u"found NTFS 2...");
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
    // Start at 16384: the block 16384..18431 holds the NTFS backup (18431); end sector
    // 16384 lies in that first block, so it is tested completely and the FAT16 volume at
    // 18432 (the next block) is not.
    const auto r = scan(reader, 0, 16384, 16384);
    using V = std::vector<std::pair<std::u16string, std::int64_t>>;
    EXPECT_EQ(found(r), (V{{u"NTFS", 18431}}));

    const auto beyond = scan(reader, 1, reader.deviceSectorCount + 10);
    EXPECT_TRUE(beyond.records.empty());
    EXPECT_EQ(beyond.filterStates, (std::vector<bool>{false, true}));
}

TEST(DeepScan, StopEndsTheScanWithinOneSectorKeepingTheRows) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("mbr_disk.img").string()));
    // No-skip mode: the backup boot sector of the NTFS volume would be the next find.
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
    // As for every kind, the skip lands on the volume's end and the scan goes on with the
    // sector after it; counted from the superblock it would pass this NTFS volume.
    const std::size_t after = 2048 + ext.size() / 512 + 1;
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
