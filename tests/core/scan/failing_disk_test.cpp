// Volumes served by a source with unreadable sectors, the way a failing drive answers:
// saved files lose only the sectors that cannot be read, the count each reports is the
// number of its own sectors lost, and no unreadable sector is asked for twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/common/text.h"
#include "core/scan/volume_scan.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

struct Collect final : EntryWriter {
    std::string bytes;
    std::uint64_t unreadable = 0;
    bool write(const std::uint8_t* d, std::size_t n) override {
        bytes.append(reinterpret_cast<const char*>(d), n);
        return true;
    }
    bool writeHole(std::uint64_t n) override {
        bytes.append(n, '\0');
        return true;
    }
    bool writeUnreadable(std::uint64_t n) override {
        unreadable += (n + 511) / 512;
        bytes.append(n, '\0');
        return true;
    }
    std::uint64_t written() const override { return bytes.size(); }
};

// One volume scanned from a source with the given unreadable sectors.
struct FailingVolume {
    FaultyMemoryReadSeek reader;
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    std::unique_ptr<VolumeScan> scan;
    FailingVolume(std::vector<std::uint8_t> bytes, const char16_t* fs, std::int64_t sizeMb,
                  std::vector<SectorRange> bad = {})
        : reader(std::move(bytes), std::move(bad)) {
        reader.open("");
        VolumeRecord record;
        record.fileSystem = fs;
        record.sizeMbText = u16(std::to_string(sizeMb >= 0 ? sizeMb : std::int64_t(reader.bytes().size() >> 20)));
        scan = std::make_unique<VolumeScan>(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
        if (scan->start()) scan->runWorker();
    }
    RecoveredVolume& volume() { return *scan->volume(); }
    // Every entry below the top-level items, by path ("a/b/c").
    std::map<std::string, EntryRef> paths() {
        std::map<std::string, EntryRef> out;
        if (!scan->volume()) return out;
        std::vector<std::pair<EntryRef, std::string>> stack;
        for (TreeItem i = tree.firstChild(tree.root()); i != kNoItem; i = tree.nextSibling(i))
            if (volume().isValidEntry(tree.itemData(i)))
                stack.emplace_back(tree.itemData(i), toUtf8(tree.getItemText(i)));
        while (!stack.empty() && out.size() < 100000) {
            auto [ref, path] = stack.back();
            stack.pop_back();
            out[path] = ref;
            volume().forEachChild(ref, [&](EntryRef c) {
                stack.emplace_back(c, path + "/" + toUtf8(volume().name(c)));
                return true;
            });
        }
        return out;
    }
    // The entry whose path ends in suffix (the top items' texts vary by file system).
    std::optional<EntryRef> find(const std::string& suffix) {
        for (const auto& [path, ref] : paths())
            if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                (path.size() == suffix.size() || path[path.size() - suffix.size() - 1] == '/'))
                return ref;
        return std::nullopt;
    }
};

struct SaveCase {
    const char* name;
    const char* image;
    const char16_t* fs;
    std::int64_t sizeMb;
    const char* file;
    std::vector<std::int64_t> lostSectors;  // of the file, counted from its first byte
};

void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }

class FailingDiskSave : public ::testing::TestWithParam<SaveCase> {};

TEST_P(FailingDiskSave, AFileLosesOnlyItsUnreadableSectors) {
    const SaveCase& c = GetParam();
    const std::vector<std::uint8_t> image = fixtureBytes(c.image);
    std::string clean;
    std::int64_t cleanReads = 0;
    {
        FailingVolume v(image, c.fs, c.sizeMb);
        const auto ref = v.find(c.file);
        ASSERT_TRUE(ref) << c.file;
        Collect out;
        const std::int64_t before = v.reader.readCalls;
        ASSERT_EQ(v.volume().saveEntry(*ref, out), SaveStatus::Saved);
        cleanReads = v.reader.readCalls - before;
        clean = out.bytes;
    }
    ASSERT_GE(clean.size(), 8u * 512);
    // Where the file's first sectors lie: their bytes occur once on the source.
    const std::string_view whole(reinterpret_cast<const char*>(image.data()), image.size());
    const std::string_view head(clean.data(), 4096);
    const std::size_t at = whole.find(head);
    ASSERT_NE(at, std::string_view::npos);
    ASSERT_EQ(whole.find(head, at + 1), std::string_view::npos) << "the file's start is not unique";
    ASSERT_EQ(at % 512, 0u);

    std::vector<SectorRange> bad;
    std::uint64_t lostBytes = 0;
    std::string expected = clean;
    for (const std::int64_t s : c.lostSectors) {
        const std::size_t b = std::size_t(s) * 512;
        ASSERT_LT(b, clean.size());
        const std::size_t n = std::min<std::size_t>(512, clean.size() - b);
        // The sector must hold the file's bytes (the first fragment), or the case is wrong.
        ASSERT_EQ(whole.substr(at + b, n), std::string_view(clean).substr(b, n)) << "sector " << s;
        addSectorRange(bad, {std::int64_t(at / 512) + s, 1});
        std::fill(expected.begin() + std::ptrdiff_t(b), expected.begin() + std::ptrdiff_t(b + n), '\0');
        lostBytes += n;
    }

    FailingVolume v(image, c.fs, c.sizeMb, bad);
    const auto ref = v.find(c.file);
    ASSERT_TRUE(ref) << "the listing does not depend on the file's data";
    Collect out;
    const std::int64_t before = v.reader.readCalls, failedBefore = v.reader.failedReads;
    EXPECT_EQ(v.volume().saveEntry(*ref, out), SaveStatus::Damaged);
    EXPECT_EQ(out.unreadable, c.lostSectors.size());
    EXPECT_EQ(out.bytes.size(), clean.size());
    EXPECT_TRUE(out.bytes == expected) << "readable sectors must arrive, unreadable ones as zeros";
    EXPECT_LE(lostBytes, c.lostSectors.size() * 512);
    // Each unreadable sector costs at most three failed reads (the read, its piece, the
    // sector alone; a read is at most 2 MiB, so its pieces are 128 sectors or fewer), and
    // every read that fails leads to at most kSingleSectorSplit smaller ones.
    const std::int64_t failed = v.reader.failedReads - failedBefore;
    EXPECT_LE(failed, std::int64_t(c.lostSectors.size()) * 3);
    EXPECT_LE(v.reader.readCalls - before, cleanReads + kSingleSectorSplit * failed);

    // Saving again asks for no unreadable sector a second time.
    Collect again;
    const std::int64_t failedOnce = v.reader.failedReads;
    EXPECT_EQ(v.volume().saveEntry(*ref, again), SaveStatus::Damaged);
    EXPECT_EQ(v.reader.failedReads, failedOnce);
    EXPECT_TRUE(again.bytes == expected);
    EXPECT_EQ(again.unreadable, c.lostSectors.size());
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FailingDiskSave,
    ::testing::Values(
        SaveCase{"Fat32", "fat32_mkfs.img", u"FAT32", -1, "Docs/big.bin", {1, 3, 4, 78}},
        SaveCase{"ExFat", "exfat.img", u"exFAT", -1, "Music/Albums/track01.raw", {0, 2, 97}},
        SaveCase{"Ntfs", "ntfs_512.img", u"NTFS", -1, "folder/plain.bin", {1, 9, 10, 11}},
        SaveCase{"Ext4", "ext4_4k.img", u"extX", -1, "fragmented.bin", {1, 5, 6}},
        SaveCase{"HfsPlus", "hfsplus_files.img", u"HFS+", 2, "Folder A/Folder B/multi.bin", {1, 7, 8, 30}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dravonel::test

namespace dravonel::test {
namespace {

// Where a volume's structures lie, worked out from the image as the test needs them.
using BadSectorsOf = std::function<std::vector<SectorRange>(const std::vector<std::uint8_t>&)>;

// Sectors of MFT records first..first+count-1 of an NTFS image whose MFT starts contiguous.
BadSectorsOf mftRecords(std::int64_t first, std::int64_t count) {
    return [first, count](const std::vector<std::uint8_t>& img) {
        const std::int64_t sectorBytes = img[0x0B] | (img[0x0C] << 8);
        const std::int64_t cluster = sectorBytes * img[0x0D];
        std::int64_t mft = 0;
        for (int i = 7; i >= 0; --i) mft = (mft << 8) | img[0x30 + i];
        return std::vector<SectorRange>{{(mft * cluster + first * 1024) / 512, count * 2}};
    };
}

std::int64_t le(const std::vector<std::uint8_t>& img, std::size_t at, int bytes) {
    std::int64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | img[at + std::size_t(i)];
    return v;
}

// Sectors of the first FAT of a FAT12/16/32 image, from its sector `first` on.
BadSectorsOf firstFat(std::int64_t first, std::int64_t count) {
    return [first, count](const std::vector<std::uint8_t>& img) {
        return std::vector<SectorRange>{{le(img, 14, 2) + first, count}};
    };
}

// Sector k of FAT12/16's fixed root folder; on FAT32, of the clusters from the root's first.
BadSectorsOf fatRootSector(std::int64_t k) {
    return [k](const std::vector<std::uint8_t>& img) {
        const std::int64_t reserved = le(img, 14, 2), fats = img[16];
        const std::int64_t spf16 = le(img, 22, 2);
        const std::int64_t spf = spf16 ? spf16 : le(img, 36, 4);
        const std::int64_t fatEnd = reserved + fats * spf;
        if (spf16) return std::vector<SectorRange>{{fatEnd + k, 1}};
        const std::int64_t rootCluster = le(img, 44, 4), spc = img[13];
        return std::vector<SectorRange>{{fatEnd + (rootCluster - 2) * spc + k, 1}};
    };
}

// Sector k of an exFAT root folder's first cluster.
BadSectorsOf exfatRootSector(std::int64_t k) {
    return [k](const std::vector<std::uint8_t>& img) {
        const std::int64_t heap = le(img, 88, 4), root = le(img, 96, 4), spc = std::int64_t(1) << img[109];
        return std::vector<SectorRange>{{heap + (root - 2) * spc + k, 1}};
    };
}

std::int64_t be(const std::vector<std::uint8_t>& img, std::size_t at, int bytes) {
    std::int64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | img[at + std::size_t(i)];
    return v;
}

// The sector of an ext image's group descriptor table holding group 0's descriptor.
BadSectorsOf extDescriptors() {
    return [](const std::vector<std::uint8_t>& img) {
        const std::int64_t block = std::int64_t(1024) << le(img, 1024 + 24, 4);
        return std::vector<SectorRange>{{(1024 / block + 1) * block / 512, 1}};
    };
}

// The sector of group 0's inode table holding inode n (and its neighbours).
BadSectorsOf extInodeSector(std::int64_t n) {
    return [n](const std::vector<std::uint8_t>& img) {
        const std::int64_t block = std::int64_t(1024) << le(img, 1024 + 24, 4);
        const std::int64_t inodeSize = le(img, 1024 + 88, 2);
        const std::int64_t table = le(img, std::size_t((1024 / block + 1) * block + 8), 4);
        return std::vector<SectorRange>{{(table * block + (n - 1) * inodeSize) / 512, 1}};
    };
}

// Sector k of the first leaf node of an HFS+ catalog.
BadSectorsOf hfsFirstLeafSector(std::int64_t k) {
    return [k](const std::vector<std::uint8_t>& img) {
        const std::int64_t block = be(img, 1024 + 40, 4);
        const std::int64_t catalog = be(img, 1024 + 0x110 + 16, 4) * block;  // first extent
        const std::int64_t firstLeaf = be(img, std::size_t(catalog + 14 + 10), 4);
        const std::int64_t nodeSize = be(img, std::size_t(catalog + 14 + 18), 2);
        return std::vector<SectorRange>{{(catalog + firstLeaf * nodeSize) / 512 + k, 1}};
    };
}

struct LossCase {
    const char* name;
    const char* image;
    const char16_t* fs;
    std::int64_t sizeMb;
    BadSectorsOf bad;
    std::vector<std::u16string> said;  // the run's read losses, in order
    std::size_t lost;                  // listed paths no longer listed
};

void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class FailingDiskMetadata : public ::testing::TestWithParam<LossCase> {};

TEST_P(FailingDiskMetadata, OnlyTheEntriesInUnreadableSectorsAreLostAndThatIsSaid) {
    const LossCase& c = GetParam();
    const std::vector<std::uint8_t> image = fixtureBytes(c.image);
    FailingVolume clean(image, c.fs, c.sizeMb);
    ASSERT_TRUE(clean.scan->readLosses().empty());
    const auto cleanPaths = clean.paths();
    const std::vector<SectorRange> bad = c.bad(image);
    FailingVolume v(image, c.fs, c.sizeMb, bad);
    const auto paths = v.paths();
    std::vector<std::string> lost;
    for (const auto& [path, ref] : cleanPaths)
        if (!paths.count(path)) lost.push_back(path);
    EXPECT_EQ(lost.size(), c.lost) << ::testing::PrintToString(lost);
    EXPECT_EQ(v.scan->readLosses(), c.said);
    for (const std::u16string& text : c.said)
        EXPECT_NE(std::find(v.sink.statuses.begin(), v.sink.statuses.end(), text), v.sink.statuses.end()) << toUtf8(text);
    // No unreadable sector costs more failed reads than the split takes (at most three
    // levels for a read of up to 2 MiB, and the reads of metadata that touch it).
    EXPECT_LE(v.reader.failedReads, sectorCount(bad) * 13);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, FailingDiskMetadata,
    ::testing::Values(LossCase{"NtfsMftRecords", "ntfs_basic.img", u"NTFS", -1, mftRecords(64, 4),
                               {u"4 MFT records could not be read", u"unreadable sectors: 8"}, 4},
                      LossCase{"NtfsMftOwnRecordFromItsMirror", "ntfs_basic.img", u"NTFS", -1, mftRecords(0, 1),
                               {u"1 MFT records could not be read", u"unreadable sectors: 2"}, 0},
                      LossCase{"Fat32FirstFatFromItsCopy", "fat32_mkfs.img", u"FAT32", -1, firstFat(0, 8),
                               {u"8 sectors of the first FAT read from its copy", u"unreadable sectors: 8"}, 0},
                      LossCase{"Fat16FirstFatFromItsCopy", "fat16_mkfs.img", u"FAT16", -1, firstFat(0, 4),
                               {u"4 sectors of the first FAT read from its copy", u"unreadable sectors: 4"}, 0},
                      LossCase{"Fat32FolderSector", "fat32_mkfs.img", u"FAT32", -1, fatRootSector(2),
                               {u"1 folder sectors could not be read", u"unreadable sectors: 1"}, 2},
                      LossCase{"Fat16RootSector", "fat16_mkfs.img", u"FAT16", -1, fatRootSector(1),
                               {u"1 folder sectors could not be read", u"unreadable sectors: 1"}, 2},
                      LossCase{"ExFatRootSector", "exfat.img", u"exFAT", -1, exfatRootSector(0),
                               {u"1 folder sectors could not be read", u"unreadable sectors: 1"}, 13},
                      LossCase{"ExtDescriptorsFromBackup", "ext4_4k.img", u"extX", -1, extDescriptors(),
                               {u"6 group descriptors read from the backup of group 1", u"unreadable sectors: 1"}, 0},
                      LossCase{"ExtInodes", "ext4_4k.img", u"extX", -1, extInodeSector(13),
                               {u"2 inodes could not be read", u"unreadable sectors: 1"}, 2},
                      LossCase{"HfsCatalogNode", "hfsplus_files.img", u"HFS+", 2, hfsFirstLeafSector(1),
                               {u"1 catalog nodes could not be read", u"unreadable sectors: 1"}, 9}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dravonel::test
