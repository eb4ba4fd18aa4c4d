// The ext parser on damaged copies of a real image: every walk ends, damage is reported
// as damage, and a volume whose primary superblock is gone is read from a backup.
#include <gtest/gtest.h>

#include "core/common/byte_reader.h"
#include "core/fs/ext/ext_scan_parser.h"
#include "core/fs/volume_test_support.h"

namespace dravonel::test {
namespace {

namespace ino = ext_format::inode;

void put16(std::vector<std::uint8_t>& b, std::uint64_t at, std::uint16_t v) {
    b[at] = std::uint8_t(v);
    b[at + 1] = std::uint8_t(v >> 8);
}
void put32(std::vector<std::uint8_t>& b, std::uint64_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}

// A clean scan of ext4_4k, to learn where things are.
struct Layout {
    std::vector<std::uint8_t> bytes = fixtureBytes("ext4_4k.img");
    std::unique_ptr<ScannedVolume> clean;
    Layout() {
        clean = std::make_unique<ScannedVolume>(bytes, u"extX", makeExtScanParser);
        clean->run();
    }
    ext2Class& ext() { return static_cast<ExtScanParser&>(*clean->parser).parser(); }
    // Byte position of an inode in the image.
    std::uint64_t inodePos(const std::string& path) {
        const std::uint32_t n = static_cast<std::uint32_t>(clean->listing().at(path)) + 1;
        const auto& sb = *ext().superblock;
        return ext().groups[(n - 1) / sb.inodesPerGroup].inodeTable * sb.blockSize +
               std::uint64_t((n - 1) % sb.inodesPerGroup) * sb.inodeSize;
    }
};

struct SaveResult {
    SaveStatus status;
    std::uint64_t size, unreadable;
};

SaveResult saveFrom(std::vector<std::uint8_t> bytes, const std::string& path) {
    ScannedVolume v(std::move(bytes), u"extX", makeExtScanParser);
    v.run();
    RecordingWriter w;
    const SaveStatus s = v.save(v.listing().at(path), w);
    return {s, w.bytes.size(), w.unreadable};
}

TEST(ExtCorruption, DamagedExtentTreesEndAndReportDamageOfTheFilesLength) {
    Layout l;
    const std::uint64_t inode = l.inodePos("fragmented.bin");
    const std::uint64_t root = inode + ino::kBlock;
    const std::uint32_t bs = l.ext().blockSize;
    const std::uint64_t leaf = std::uint64_t(le32(l.bytes.data(), root + 12 + 4)) * bs;
    ASSERT_EQ(le16(l.bytes.data(), root + 6), 1u);  // a depth-1 tree in the fixture
    const struct {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> damage;
    } cases[] = {
        {"index node points at itself", [&](auto& b) {
             put16(b, leaf + 6, 1);                        // claims depth 1 ...
             put32(b, leaf + 12 + 4, std::uint32_t(leaf / bs));  // ... and points at itself
         }},
        {"root deeper than five levels", [&](auto& b) { put16(b, root + 6, 7); }},
        {"leaf node without its magic", [&](auto& b) { put16(b, leaf, 0); }},
        {"index beyond the volume", [&](auto& b) { put32(b, root + 12 + 4, 0x7FFFFFFF); }},
        {"extent beyond the volume", [&](auto& b) { put32(b, leaf + 12 + 8, 0x7FFFFFF0); }},
    };
    for (const auto& c : cases) {
        auto bytes = l.bytes;
        c.damage(bytes);
        const SaveResult r = saveFrom(std::move(bytes), "fragmented.bin");
        EXPECT_EQ(r.status, SaveStatus::Damaged) << c.what;
        EXPECT_EQ(r.size, 94208u) << c.what;
        EXPECT_GT(r.unreadable, 0u) << c.what;
    }
}

TEST(ExtCorruption, ADirectoryRecordOfLengthZeroEndsThatBlockOnly) {
    Layout l;
    const auto before = l.clean->listing();
    // Find the "deeper" folder's block and zero the record length of its first entry.
    auto& ext = l.ext();
    const auto inode = ext.readInode(static_cast<std::uint32_t>(before.at("Docs/nested/deeper")) + 1);
    ASSERT_TRUE(inode);
    const auto runs = ext.blockRuns(*inode, 1);
    ASSERT_EQ(runs.size(), 1u);
    auto bytes = l.bytes;
    put16(bytes, runs[0].physical * ext.blockSize + 4, 0);
    ScannedVolume v(std::move(bytes), u"extX", makeExtScanParser);
    EXPECT_EQ(v.run().kind, ScanOutcome::Kind::Completed);
    const auto after = v.listing();
    EXPECT_EQ(after.count("Docs/nested/deeper/deep.txt"), 0u);
    EXPECT_EQ(after.size(), before.size() - 1);
}

TEST(ExtCorruption, AVolumeWithoutItsPrimarySuperblockIsReadFromTheBackupOfGroupOne) {
    Layout l;
    auto bytes = l.bytes;
    put16(bytes, 1024 + ext_format::superblock::kMagic, 0);
    ScannedVolume v(std::move(bytes), u"extX", makeExtScanParser);
    v.run();
    auto& ext = static_cast<ExtScanParser&>(*v.parser).parser();
    EXPECT_EQ(ext.superblockPosition, 2048u * 4096u);
    EXPECT_EQ(v.listing().size(), l.clean->listing().size());
}

TEST(ExtCorruption, SuperblocksThatDescribeNoVolumeAreRejected) {
    Layout l;
    const std::uint64_t sb = 1024;
    const struct {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        int width;
    } cases[] = {
        {"block size of 128 KiB", ext_format::superblock::kLogBlockSize, 7, 4},
        {"no blocks per group", ext_format::superblock::kBlocksPerGroup, 0, 4},
        {"more blocks per group than a bitmap holds", ext_format::superblock::kBlocksPerGroup, 4096 * 8 + 8, 4},
        {"inode count beyond the groups", ext_format::superblock::kInodeCount, 0xFFFFFFF0, 4},
        {"64-byte descriptors of size 48", ext_format::superblock::kDescSize, 48, 2},
        {"inode size 100", ext_format::superblock::kInodeSize, 100, 2},
    };
    for (const auto& c : cases) {
        auto bytes = l.bytes;
        if (c.width == 2) put16(bytes, sb + c.at, std::uint16_t(c.value));
        else put32(bytes, sb + c.at, c.value);
        EXPECT_FALSE(ext_format::decodeSuperblock(bytes.data() + sb, 1024)) << c.what;
    }
    EXPECT_TRUE(ext_format::decodeSuperblock(l.bytes.data() + sb, 1024));
}

TEST(ExtFormat, GroupCountIncludesAPartialLastGroupAndRecordLengthsOf64KiBBlocks) {
    std::vector<std::uint8_t> b(1024, 0);
    put16(b, ext_format::superblock::kMagic, ext_format::kMagic);
    put32(b, ext_format::superblock::kBlockCountLo, 8191);  // 1 KiB blocks from block 1
    put32(b, ext_format::superblock::kFirstDataBlock, 1);
    put32(b, ext_format::superblock::kBlocksPerGroup, 2048);
    put32(b, ext_format::superblock::kInodesPerGroup, 128);
    put32(b, ext_format::superblock::kInodeCount, 4 * 128);
    const auto s = ext_format::decodeSuperblock(b.data(), b.size());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->groupCount, 4u);  // 8190 blocks: three of 2048 and one of 2046
    EXPECT_EQ(s->blockSize, 1024u);
    EXPECT_EQ(ext_format::recordLength(12, 4096), 12u);
    EXPECT_EQ(ext_format::recordLength(65535, 65536), 65536u);
    EXPECT_EQ(ext_format::recordLength(0, 65536), 65536u);
    EXPECT_EQ(ext_format::recordLength(0x0001, 65536), 0x10000u);
}

TEST(ExtCorruption, AStopEndsTheScanAndASaveEarly) {
    Layout l;
    ScannedVolume v(l.bytes, u"extX", makeExtScanParser);
    v.parser->stopFlag() = 1;
    EXPECT_EQ(v.run().kind, ScanOutcome::Kind::Stopped);
    RecordingWriter w;
    EXPECT_EQ(l.clean->parser->stopFlag().load(), 0);
    l.clean->parser->stopFlag() = 1;
    EXPECT_EQ(l.clean->save(l.clean->listing().at("Pictures/big.bin"), w), SaveStatus::Stopped);
}

}  // namespace
}  // namespace dravonel::test
