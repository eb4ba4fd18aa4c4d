#include "core/partitions/partition.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/common/text.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

struct Row {
    std::u16string fileSystem, sizeMbText;
    std::int64_t startSector;
    bool operator==(const Row&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Row& r) {
    return os << toUtf8(r.fileSystem) << "|" << toUtf8(r.sizeMbText) << "|" << r.startSector;
}

std::vector<Row> rows(const std::vector<VolumeRecord>& records) {
    std::vector<Row> out;
    for (const auto& r : records) out.push_back({r.fileSystem, r.sizeMbText, r.startSector});
    return out;
}

struct Discovery {
    std::vector<VolumeRecord> records;
    test::RecordingSink sink;
    std::uint32_t rc = 0;
};

Discovery discover(readWriteInterface& reader, bool gpt) {
    Discovery d;
    Partition p;
    p.gptMode = gpt ? 1 : 0;
    p.records = &d.records;
    p.sink = &d.sink;
    d.rc = discoverPartitions(reader, p);
    return d;
}

TEST(PartitionTables, MbrWalkFollowsTheExtendedChainAndStopsAtTheExtendedSlot) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("mbr_disk.img").string()));
    reader.baseOffset = 12345;  // discovery resets it
    const auto d = discover(reader, false);
    EXPECT_EQ(d.rc, 0u);
    // The primary in slot 4 (sector 253952) comes after the extended entry: not reached.
    const std::vector<Row> expected = {
        {u"NTFS", u"8   MB", 2048},   {u"FAT16", u"33   MB", 18432}, {u"FAT64", u"8   MB", 88064},
        {u"extX", u"8   MB", 106496}, {u"FAT32", u"40   MB", 124928},
    };
    EXPECT_EQ(rows(d.records), expected);
    for (std::size_t i = 0; i < d.records.size(); ++i) EXPECT_EQ(d.records[i].name, format16("G%zu", i));
    const std::vector<std::u16string> statuses = {u"found NTFS 1...", u"found FAT 16...", u"found FAT64...",
                                                  u"found extx...", u"found FAT 32..."};
    EXPECT_EQ(d.sink.statuses, statuses);
    EXPECT_EQ(reader.baseOffset, 0);
}

TEST(PartitionTables, GptWalkNamesFileSystemsAndSkipsReservedAndTinyNtfs) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("gpt_disk.img").string()));
    const auto d = discover(reader, true);
    EXPECT_EQ(d.rc, 0u);
    const std::vector<Row> expected = {
        {u"NTFS", u"7   MB", 34816},                {u"FAT32", u"40  MB", 51200}, {u"FAT64", u"8  MB", 133120},
        {u"extX", u"7", 149504}, {u"HFS+", u"15", 165888},
    };
    EXPECT_EQ(rows(d.records), expected);
}

TEST(PartitionTables, GptDiskReadAsMbrShowsTheProtectiveEntry) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("gpt_disk.img").string()));
    const auto d = discover(reader, false);
    ASSERT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.records[0].fileSystem, u"Unknown");
    EXPECT_EQ(d.records[0].startSector, 1);
}

// In-memory disks for the cases no partitioning tool writes.
void putEntry(std::vector<std::uint8_t>& disk, std::int64_t tableSector, int slot, std::uint8_t type,
              std::uint32_t lba, std::uint32_t count) {
    std::uint8_t* e = disk.data() + tableSector * 512 + 446 + 16 * slot;
    e[4] = type;
    std::memcpy(e + 8, &lba, 4);  // little-endian host
    std::memcpy(e + 12, &count, 4);
    disk[tableSector * 512 + 510] = 0x55;
    disk[tableSector * 512 + 511] = 0xAA;
}

TEST(PartitionTables, EmptyFirstSlotEndsTheWalk) {
    std::vector<std::uint8_t> disk(64 * 512, 0);
    putEntry(disk, 0, 1, 0x83, 8, 8);
    MemoryReadSeek reader(disk);
    EXPECT_TRUE(discover(reader, false).records.empty());
}

TEST(PartitionTables, ExtendedChainStopsAfterFiftyRecords) {
    std::vector<std::uint8_t> disk(256 * 512, 0);
    putEntry(disk, 0, 0, 0x05, 10, 200);
    // 60 chained EBRs at sectors 10, 12, 14 ... each with one logical partition and a link.
    for (int k = 0; k < 60; ++k) {
        putEntry(disk, 10 + 2 * k, 0, 0x83, 1, 1);
        putEntry(disk, 10 + 2 * k, 1, 0x05, static_cast<std::uint32_t>(2 * (k + 1)), 2);
    }
    MemoryReadSeek reader(disk);
    const auto d = discover(reader, false);
    ASSERT_EQ(d.records.size(), 50u);
    EXPECT_EQ(d.records[0].startSector, 11);
    EXPECT_EQ(d.records[49].startSector, 10 + 2 * 49 + 1);
}

TEST(PartitionTables, FailedReadEndsDiscoveryKeepingWhatWasFound) {
    std::vector<std::uint8_t> disk(32 * 512, 0);
    putEntry(disk, 0, 0, 0x07, 4, 8);  // NTFS primary
    putEntry(disk, 0, 1, 0x0F, 1000, 8);  // extended chain beyond the end of the disk
    MemoryReadSeek reader(disk);
    const auto d = discover(reader, false);
    EXPECT_NE(d.rc, 0u);
    ASSERT_EQ(d.records.size(), 1u);
    EXPECT_EQ(d.records[0].fileSystem, u"NTFS");
}

TEST(PartitionTables, GptFatWithUnusualFatSizeIsUnknownAndNotListed) {
    std::vector<std::uint8_t> disk(64 * 512, 0);
    std::memcpy(disk.data() + 512, "EFI PART", 8);
    disk[512 + 72] = 2;  // entry array at sector 2
    std::uint8_t* e = disk.data() + 1024;
    e[0] = 0xA2;  // type GUID start without a 0x30 byte
    e[32] = 40;   // first LBA 40
    e[40] = 60;   // last LBA 60
    std::uint8_t* b = disk.data() + 40 * 512;
    b[0] = 0xEB; b[1] = 0x3C;
    std::memcpy(b + 3, "MSDOS5.0", 8);
    b[22] = 100;  // sectors per FAT neither 200 nor 256
    b[19] = 0x00; b[20] = 0x80;  // 32768 sectors
    MemoryReadSeek reader(disk);
    const auto d = discover(reader, true);
    EXPECT_TRUE(d.records.empty());
    ASSERT_EQ(d.sink.statuses.size(), 1u);
    EXPECT_EQ(d.sink.statuses[0], u"found unknown...");
}

TEST(PartitionTables, BootSectorTests) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(test::fixturePath("gpt_disk.img").string()));
    EXPECT_TRUE(isExFatBootSector(reader, 133120));
    EXPECT_FALSE(isExFatBootSector(reader, 34816));
    EXPECT_TRUE(isHfsPlusVolume(reader, 165888));
    EXPECT_FALSE(isHfsPlusVolume(reader, 149504));
    EXPECT_FALSE(isHfsPlusVolume(reader, 1LL << 40));  // past the end: read fails
}

}  // namespace
}  // namespace dravonel
