// The NTFS parser over small volumes built in memory: MFT reading geometry, cluster
// sizes, entry placement and orphans, the deep-mode grouping, and the saving methods.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/common/formats.h"
#include "core/common/time_convert.h"
#include "core/fs/ntfs/ntfs.h"
#include "core/fs/ntfs/ntfs_test_support.h"

namespace dravonel::test {
namespace {

namespace nf = ntfs_format;

// Builds one 1024-byte MFT record with update-sequence protection, as a writer would.
struct RecordBuilder {
    nf::Record r{};
    std::size_t at = 0x38;
    explicit RecordBuilder(std::uint16_t flags = 1, std::uint16_t sequence = 0) {
        std::memcpy(r.data(), "FILE", 4);
        put16(0x04, 0x30);
        put16(0x06, 3);
        put16(0x10, sequence);
        put16(0x30, 0x0001);
        put16(0x14, 0x38);
        put16(0x16, flags);
    }
    void put16(std::size_t o, std::uint16_t v) { r[o] = std::uint8_t(v); r[o + 1] = std::uint8_t(v >> 8); }
    void put32(std::size_t o, std::uint32_t v) { for (int i = 0; i < 4; ++i) r[o + i] = std::uint8_t(v >> (8 * i)); }
    void put64(std::size_t o, std::uint64_t v) { for (int i = 0; i < 8; ++i) r[o + i] = std::uint8_t(v >> (8 * i)); }
    std::size_t resident(std::uint32_t type, const std::vector<std::uint8_t>& content, std::uint16_t flags = 0) {
        const std::size_t start = at;
        const std::uint32_t length = std::uint32_t((0x18 + content.size() + 7) & ~std::size_t(7));
        put32(start, type);
        put32(start + 4, length);
        put16(start + 0x0C, flags);
        put32(start + 0x10, std::uint32_t(content.size()));
        put16(start + 0x14, 0x18);
        std::copy(content.begin(), content.end(), r.begin() + std::ptrdiff_t(start + 0x18));
        at += length;
        return start + 0x18;
    }
    // nameSpace: 1 Win32 (as Windows writes a long name), 2 DOS (its 8.3 twin), 0 POSIX.
    void fileName(const std::u16string& name, std::uint64_t parent, bool folder, int lengthOverride = -1,
                  std::uint8_t nameSpace = 1) {
        std::vector<std::uint8_t> c(0x42 + 2 * name.size(), 0);
        for (int i = 0; i < 8; ++i) c[i] = std::uint8_t(parent >> (8 * i));
        const std::uint32_t flags = (folder ? 0x10000000u : 0u) | 0x20u;
        for (int i = 0; i < 4; ++i) c[0x38 + i] = std::uint8_t(flags >> (8 * i));
        c[0x40] = std::uint8_t(lengthOverride >= 0 ? lengthOverride : int(name.size()));
        c[0x41] = nameSpace;
        for (std::size_t i = 0; i < name.size(); ++i) {
            c[0x42 + 2 * i] = std::uint8_t(name[i]);
            c[0x43 + 2 * i] = std::uint8_t(name[i] >> 8);
        }
        resident(0x30, c);
    }
    void nonResident(std::uint32_t type, const std::vector<std::uint8_t>& runs, std::uint64_t lastVcn,
                     std::uint64_t dataSize, std::uint16_t flags = 0, std::uint16_t unit = 0) {
        const std::size_t start = at;
        const std::uint32_t length = std::uint32_t((0x40 + runs.size() + 7) & ~std::size_t(7));
        put32(start, type);
        put32(start + 4, length);
        r[start + 8] = 1;
        put16(start + 0x0C, flags);
        put64(start + 0x10, 0);
        put64(start + 0x18, lastVcn);
        put16(start + 0x20, 0x40);
        put16(start + 0x22, unit);
        put64(start + 0x28, (lastVcn + 1) * 4096);
        put64(start + 0x30, dataSize);
        put64(start + 0x38, dataSize);
        std::copy(runs.begin(), runs.end(), r.begin() + std::ptrdiff_t(start + 0x40));
        at += length;
    }
    // Ends the attribute list and protects the sector ends with the sequence number.
    nf::Record finish() {
        put32(at, 0xFFFFFFFF);
        for (int i = 1; i <= 2; ++i) {
            const std::size_t end = 512 * std::size_t(i) - 2;
            r[0x30 + 2 * i] = r[end];
            r[0x31 + 2 * i] = r[end + 1];
            put16(end, 0x0001);
        }
        return r;
    }
};

constexpr std::uint64_t kMftCluster = 4;  // the synthetic volumes keep their MFT at cluster 4

// A 4096-byte-cluster volume without a boot sector; records go at kMftCluster.
struct Volume {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1 << 20, 0);
    // Writes r as MFT record `number` (its number field at 0x2C set), or at `at` bytes.
    void record(std::uint64_t number, nf::Record r, std::uint64_t at = 0) {
        for (int i = 0; i < 4; ++i) r[0x2C + i] = std::uint8_t(number >> (8 * i));
        std::copy(r.begin(), r.end(), bytes.begin() + std::ptrdiff_t(at ? at : kMftCluster * 4096 + number * 1024));
    }
    void cluster(std::uint64_t number, const std::vector<std::uint8_t>& data) {
        std::copy(data.begin(), data.end(), bytes.begin() + std::ptrdiff_t(number * 4096));
    }
};

// Reads records 0..count-1 along a synthetic MFT run and builds the tree.
ScannedImage scanned(Volume& v, std::uint32_t records, int mode = 1) {
    ScannedImage img("", "1", v.bytes);
    img.parser->addTreeRoot();
    img.parser->readBootSector();
    img.parser->recoveryMode = mode;
    img.parser->clusterSize = 4096;
    img.parser->mftRuns = {{std::int32_t(kMftCluster), (records + 3) / 4}};
    img.parser->mftKnown = true;
    img.parser->runListPending = false;
    img.parser->readMftEntries();
    img.parser->entries.resize(records);
    img.parser->buildEntryTree();
    return img;
}

nf::Record named(const std::u16string& name, std::uint64_t parent, bool folder = false, std::uint16_t flags = 1,
                 std::uint16_t sequence = 0) {
    RecordBuilder b(flags, sequence);
    b.fileName(name, parent, folder);
    return b.finish();
}

std::vector<std::u16string> names(const ScannedImage& img, const std::vector<std::uint64_t>& idx) {
    std::vector<std::u16string> out;
    for (auto i : idx) out.push_back(img.parser->entries[i].name);
    return out;
}

TEST(NtfsPlacing, LinksByParentInRecordOrderAndGathersOrphans) {
    Volume v;
    v.record(0, named(u"$MFT", 5));
    v.record(1, named(u"a", 5));
    v.record(2, named(u"notdir", 5));
    v.record(3, named(u"child-of-file", 2));
    v.record(4, named(u"far", 999));
    v.record(5, named(u".", 5, true));
    v.record(6, named(u"sub", 5, true));
    {
        RecordBuilder b;
        b.fileName(u"LONGNA~1", 6, false, -1, 2);
        b.fileName(u"long name", 6, false);
        v.record(7, b.finish());
    }
    v.record(8, named(u"in-later-folder", 9));
    v.record(9, named(u"dir9", 6, true));
    {
        RecordBuilder b;
        b.fileName(u"bad", 6, false, 255);
        v.record(10, b.finish());
    }
    v.record(11, named(u"del", 6, false, 0));
    v.record(12, named(u"x", 4));  // under "far", which is a file: orphan
    ScannedImage img = scanned(v, 13);
    const auto& e = img.parser->entries;
    ASSERT_EQ(img.parser->rootIndex, 5u);
    EXPECT_EQ(names(img, img.children(5)), (std::vector<std::u16string>{u"a", u"notdir", u"sub", u"ORPHAN_ENTRY"}));
    EXPECT_EQ(names(img, img.children(6)), (std::vector<std::u16string>{u"long name", u"dir9", u"del"}));
    EXPECT_EQ(names(img, img.children(9)), (std::vector<std::u16string>{u"in-later-folder"}));
    EXPECT_EQ(img.children(img.parser->orphanIndex), (std::vector<std::uint64_t>{12, 4, 3}));
    EXPECT_FALSE(e[10].hasName);
    EXPECT_EQ(e[7].parent, 6u);
    EXPECT_TRUE(e[11].isDeleted());
    // Top level of the result tree: the root's chain, deleted entries in red.
    std::vector<std::u16string> top;
    for (TreeItem i = img.tree.firstChild(img.tree.root()); i; i = img.tree.nextSibling(i)) top.push_back(img.tree.getItemText(i));
    EXPECT_EQ(top, (std::vector<std::u16string>{u"a", u"notdir", u"sub", u"ORPHAN_ENTRY"}));
}

TEST(NtfsPlacing, WithoutARootEveryNamedEntryShowsUnderOrphanEntry) {
    Volume v;
    v.record(1, named(u"a", 9));  // parent beyond the entry count
    v.record(2, named(u"b", 3));  // parent record holds nothing
    ScannedImage img = scanned(v, 4);
    EXPECT_EQ(img.parser->rootIndex, img.parser->entries.size());
    const TreeItem first = img.tree.firstChild(img.tree.root());
    ASSERT_NE(first, kNoItem);
    EXPECT_EQ(img.tree.getItemText(first), u"ORPHAN_ENTRY");
    EXPECT_EQ(img.tree.nextSibling(first), kNoItem);
    EXPECT_EQ(names(img, img.children(img.parser->orphanIndex)), (std::vector<std::u16string>{u"b", u"a"}));

    Volume empty;
    ScannedImage none = scanned(empty, 4);
    EXPECT_EQ(none.tree.itemCount(), 1u);  // only ROOT
}

// The parent reference's sequence number decides whether the folder record still is the
// folder the name was written in.
TEST(NtfsPlacing, ParentSequenceNumberDecidesBetweenFolderAndOrphan) {
    Volume v;
    v.record(5, named(u".", 5, true, 3, 5));
    v.record(6, named(u"live", 5, true, 1, 4));                 // in use, sequence 4
    v.record(7, named(u"gone", 5, true, 0, 3));                 // deleted folder, bumped to 3
    v.record(8, named(u"file", 5, false, 1, 2));
    v.record(10, named(u"kept", 6 | (4ULL << 48)));             // same sequence: placed
    v.record(11, named(u"stale", 6 | (3ULL << 48), false, 0));  // folder reused since: orphan
    v.record(12, named(u"inside", 7 | (2ULL << 48), false, 0)); // deleted with its folder: placed
    v.record(13, named(u"late", 7 | (1ULL << 48), false, 0));   // two frees ago: orphan
    v.record(14, named(u"onfile", 8 | (2ULL << 48), false, 0)); // parent record is a file: orphan
    v.record(15, named(u"nocheck", 6));                         // sequence 0: not checked
    v.record(16, named(u"self", 16));                           // its own parent, not the root: orphan
    ScannedImage img = scanned(v, 17);
    EXPECT_EQ(names(img, img.children(6)), (std::vector<std::u16string>{u"kept", u"nocheck"}));
    EXPECT_EQ(names(img, img.children(7)), (std::vector<std::u16string>{u"inside"}));
    EXPECT_EQ(names(img, img.children(img.parser->orphanIndex)),
              (std::vector<std::u16string>{u"self", u"onfile", u"late", u"stale"}));
}

TEST(NtfsPlacing, FoldersThatNameEachOtherAsParentStillShowUnderOrphanEntry) {
    Volume v;
    v.record(5, named(u".", 5, true));
    v.record(6, named(u"x", 7, true));
    v.record(7, named(u"y", 6, true));
    v.record(8, named(u"in-y", 7));
    ScannedImage img = scanned(v, 9);
    // The loop is cut once: one of the folders goes under ORPHAN_ENTRY, the other
    // folder and the file stay below it.
    const auto top = img.children(img.parser->orphanIndex);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(img.children(top[0]).size(), 2u);
    std::size_t reachable = 0;
    std::vector<std::uint64_t> todo{img.parser->rootIndex};
    while (!todo.empty() && reachable < 100) {
        const auto at = todo.back();
        todo.pop_back();
        for (auto c : img.children(at)) {
            ++reachable;
            todo.push_back(c);
        }
    }
    EXPECT_EQ(reachable, 4u);  // ORPHAN_ENTRY, x, y, in-y
}

TEST(NtfsOrphans, StandardModeListsOrphansInReverseIndexOrder) {
    ScannedImage img("", "1", std::vector<std::uint8_t>(4096, 0));
    auto& e = img.parser->entries;
    e.resize(31);
    for (std::uint64_t i = 0; i < e.size(); ++i) {
        e[i].signature = {'F', 'I', 'L', 'E'};
        e[i].ownIndex = i;
        e[i].hasName = true;
        e[i].name = u"e" + fromUtf8(std::to_string(i));
    }
    e[5].name = u".";
    e[5].kind = 'D';
    for (std::uint64_t i : {10, 20, 30}) e[i].orphan = 1;
    img.parser->addTreeRoot();
    img.parser->buildEntryTree();
    EXPECT_EQ(img.children(img.parser->orphanIndex), (std::vector<std::uint64_t>{30, 20, 10}));
}

// Deep mode finds records anywhere, twice where the MFT has a mirror, and older freed
// copies; each number is kept once and placed under its parent by number.
TEST(NtfsDeepMode, RecordsAreKeptOncePerNumberAndPlacedByTheirOwnNumbers) {
    Volume v;
    v.record(5, named(u".", 5, true, 3, 5));
    v.record(9, named(u"sub", 5 | (5ULL << 48), true, 3, 2));
    v.record(12, named(u"inner.txt", 9 | (2ULL << 48), false, 1, 1));
    v.record(1, named(u"$MFTMirr", 5));
    v.record(1, named(u"$MFTMirr", 5), 200 * 1024);               // the mirror's copy
    v.record(12, named(u"old-inner.txt", 9, false, 0, 0), 300 * 1024);  // an older, freed copy
    v.record(40, named(u"lost.txt", 33), 400 * 1024);             // parent never found
    ScannedImage img("", "1", v.bytes);
    img.scan(3);
    const auto& e = img.parser->entries;
    EXPECT_TRUE(img.find("sub/inner.txt"));
    EXPECT_TRUE(img.find("$MFTMirr"));
    std::size_t mirrors = 0;
    for (const auto& m : e) mirrors += m.name == u"$MFTMirr";
    EXPECT_EQ(mirrors, 1u);
    for (const auto& m : e) EXPECT_NE(m.name, u"old-inner.txt");
    EXPECT_EQ(names(img, img.children(img.parser->orphanIndex)), (std::vector<std::u16string>{u"lost.txt"}));
    EXPECT_EQ(img.tree.getItemText(img.tree.firstChild(img.tree.root())), u"$MFTMirr");
}

// ---------------------------------------------------------------- geometry

struct GeometryCase {
    std::uint64_t clusterBytes;
    ntfs_format::Run run;
    std::vector<std::uint64_t> positions;
};

class NtfsMftGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(NtfsMftGeometry, RecordsPerClusterFollowTheClusterSize) {
    ScannedImage img("", "1", std::vector<std::uint8_t>(1 << 20, 0));
    img.parser->readBootSector();
    img.parser->clusterSize = GetParam().clusterBytes;
    img.parser->mftRuns = {GetParam().run};
    img.parser->mftKnown = true;
    img.parser->runListPending = false;
    img.parser->readMftEntries();
    std::vector<std::uint64_t> positions;
    for (const auto& e : img.parser->entries) positions.push_back(e.diskPosition);
    EXPECT_EQ(positions, GetParam().positions);
}

INSTANTIATE_TEST_SUITE_P(Ntfs, NtfsMftGeometry,
                         ::testing::Values(GeometryCase{512, {16, 8}, {8192, 9216, 10240, 11264}},
                                           GeometryCase{4096, {1, 1}, {4096, 5120, 6144, 7168}},
                                           GeometryCase{65536, {1, 1}, [] {
                                                            std::vector<std::uint64_t> p;
                                                            for (int i = 0; i < 64; ++i) p.push_back(65536 + 1024 * i);
                                                            return p;
                                                        }()}));

struct ClusterCase {
    std::uint16_t bytesPerSector;
    std::uint8_t sectorsPerCluster;
    std::uint64_t clusterBytes;
};
class NtfsClusterSize : public ::testing::TestWithParam<ClusterCase> {};

TEST_P(NtfsClusterSize, ComesFromTheBootSector) {
    std::vector<std::uint8_t> bytes(1 << 16, 0);
    std::memcpy(bytes.data() + 3, "NTFS    ", 8);
    bytes[0x0B] = std::uint8_t(GetParam().bytesPerSector);
    bytes[0x0C] = std::uint8_t(GetParam().bytesPerSector >> 8);
    bytes[0x0D] = GetParam().sectorsPerCluster;
    bytes[0x28] = 0x80;  // 128 sectors
    ScannedImage img("", "0", bytes);
    EXPECT_TRUE(img.parser->readBootSector());
    EXPECT_EQ(img.parser->volumeSize, 128u * 512);
    EXPECT_EQ(img.parser->clusterSizeFromBoot(), GetParam().clusterBytes);
}

INSTANTIATE_TEST_SUITE_P(Ntfs, NtfsClusterSize,
                         ::testing::Values(ClusterCase{512, 1, 512}, ClusterCase{512, 8, 4096},
                                           ClusterCase{512, 128, 65536}, ClusterCase{4096, 1, 4096},
                                           ClusterCase{512, 0xF4, 512u << 12}, ClusterCase{512, 0xF8, 512u << 8}));

TEST(NtfsClusterSizeWithoutBoot, IsFourKibAndSizeComesFromTheVolumeRecord) {
    ScannedImage img("", "3", std::vector<std::uint8_t>(4 << 20, 0));
    EXPECT_TRUE(img.parser->readBootSector());
    EXPECT_EQ(img.parser->volumeSize, 3u << 20);
    // A volume record larger than the source is cut to the source.
    ScannedImage small("", "3", std::vector<std::uint8_t>(4096, 0));
    EXPECT_TRUE(small.parser->readBootSector());
    EXPECT_EQ(small.parser->volumeSize, 4096u);
    EXPECT_EQ(img.parser->clusterSizeFromBoot(), 512u * 0);  // a zeroed boot sector: 0 * 0
    img.parser->bootSector.reset();
    EXPECT_EQ(img.parser->clusterSizeFromBoot(), 4096u);
}

// ---------------------------------------------------------------- saving

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

struct Saved {
    bool ok = false;
    SaveStatus status = SaveStatus::Failed;
    std::vector<std::uint8_t> bytes;
    std::vector<std::u16string> messages;
    bool exists = false;
};

Saved save(Volume& v, const nf::Record& file, bool stopWhileWriting = false) {
    v.record(5, named(u".", 5, true));
    v.record(6, file);
    ScannedImage img = scanned(v, 7);
    const auto dir = makeTempDir("ntfs-synthetic");
    Saved s;
    {
        // Stands for a Stop pressed while the file is being written.
        struct StopOnFirstWrite final : EntryWriter {
            OutputFile& file;
            StopFlag* flag = nullptr;
            explicit StopOnFirstWrite(OutputFile& f) : file(f) {}
            bool write(const std::uint8_t* data, std::size_t count) override {
                if (flag) *flag = 1;
                return file.write(data, count);
            }
            bool writeHole(std::uint64_t count) override { return file.writeHole(count); }
            bool writeUnreadable(std::uint64_t count) override { return file.writeUnreadable(count); }
            std::uint64_t written() const override { return file.written(); }
            int errorNumber() const override { return file.errorNumber(); }
        };
        OutputFile out;
        StopOnFirstWrite writer(out);
        if (stopWhileWriting) writer.flag = &img.parser->stopFlag;
        EXPECT_TRUE(out.create(dir / "out"));
        s.status = img.parser->saveEntry(6, writer);
        s.ok = s.status != SaveStatus::Failed;
        if (s.ok) {
            EXPECT_TRUE(out.close());
        }
        else out.discard();
    }
    s.exists = std::filesystem::exists(dir / "out");
    if (s.exists) s.bytes = readFileBytes(dir / "out");
    s.messages = img.prompt.messages;
    std::filesystem::remove_all(dir);
    return s;
}

TEST(NtfsSaving, ResidentDataAcrossTheSectorEndComesFromTheFixedUpRecord) {
    Volume v;
    RecordBuilder b;
    b.fileName(u"r.txt", 5, false);
    const auto data = pattern(400, 3);
    const std::size_t contentAt = b.resident(0x80, data);
    ASSERT_LT(contentAt, 510u);
    ASSERT_GT(contentAt + data.size(), 512u);
    const Saved s = save(v, b.finish());
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.bytes, data);
}

TEST(NtfsSaving, PlainFileIsCutAtItsDataSize) {
    Volume v;
    const auto data = pattern(3 * 4096, 9);
    v.cluster(20, data);
    RecordBuilder b;
    b.fileName(u"p.bin", 5, false);
    b.nonResident(0x80, {0x11, 0x03, 20, 0x00}, 2, 10000);
    const Saved s = save(v, b.finish());
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.bytes, std::vector<std::uint8_t>(data.begin(), data.begin() + 10000));
}

TEST(NtfsSaving, SparseRunsAndClustersOutsideTheVolumeReadAsZeros) {
    Volume v;
    const auto a = pattern(4096, 1), c = pattern(4096, 2);
    v.cluster(20, a);
    v.cluster(21, c);
    RecordBuilder b;
    b.fileName(u"s.bin", 5, false);
    // cluster 20, 2 sparse clusters, cluster 21, then one cluster far beyond the volume.
    b.nonResident(0x80, {0x11, 0x01, 20, 0x01, 0x02, 0x11, 0x01, 0x01, 0x31, 0x01, 0x00, 0x00, 0x10, 0x00}, 4, 5 * 4096 - 100);
    const Saved s = save(v, b.finish());
    ASSERT_TRUE(s.ok);
    std::vector<std::uint8_t> expect = a;
    expect.resize(3 * 4096, 0);
    expect.insert(expect.end(), c.begin(), c.end());
    expect.resize(5 * 4096 - 100, 0);
    EXPECT_EQ(s.bytes, expect);
    EXPECT_EQ(s.status, SaveStatus::Damaged);  // the cluster past the volume could not be read
}

// A compressed unit of 16 chunks, each one literal and one back-reference of 4095 bytes.
std::vector<std::uint8_t> compressedUnit(std::uint8_t letter) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t chunk[] = {0x03, 0xB0, 0x02, letter, 0xFC, 0x0F};
        out.insert(out.end(), std::begin(chunk), std::end(chunk));
    }
    return out;
}

TEST(NtfsSaving, CompressedStreamDecidesEachUnitByItsClusterNumbers) {
    Volume v;
    v.cluster(30, compressedUnit('A'));  // unit 0: 5 clusters stored, 11 sparse
    const auto raw = pattern(16 * 4096, 5);
    v.cluster(40, raw);                  // unit 1: 16 clusters, stored uncompressed
    v.cluster(60, compressedUnit('B'));  // unit 3: compressed, cut at the data size
    RecordBuilder b;
    b.fileName(u"c.bin", 5, false);
    b.nonResident(0x80, {0x11, 5, 30, 0x01, 11, 0x11, 16, 10, 0x01, 16, 0x11, 1, 20, 0x01, 15, 0x00}, 63,
                  3 * 65536 + 1000, 0x0001, 4);
    const Saved s = save(v, b.finish());
    ASSERT_TRUE(s.ok);
    std::vector<std::uint8_t> expect(3 * 65536 + 1000, 0);
    std::fill_n(expect.begin(), 65536, 'A');
    std::copy(raw.begin(), raw.end(), expect.begin() + 65536);
    std::fill(expect.begin() + 3 * 65536, expect.end(), 'B');
    ASSERT_EQ(s.bytes.size(), expect.size());
    EXPECT_TRUE(s.bytes == expect);
}

// Units that decode short keep the next unit in its place; a unit that does not decode
// leaves zeros in its place and the file reported damaged.
TEST(NtfsSaving, CompressedUnitsKeepTheirPlacesAndBadUnitsAreDamage) {
    const std::vector<std::uint8_t> shortUnit = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20};  // "abcabcabc"
    const std::vector<std::uint8_t> badUnit = {0x02, 0xB0, 0x01, 0x00, 0x00};                    // refers before the start
    struct Case {
        const char* name;
        std::vector<std::uint8_t> first;
        SaveStatus status;
        std::string firstBytes;
    } cases[] = {
        {"short unit", shortUnit, SaveStatus::Saved, "abcabcabc"},
        {"undecodable unit", badUnit, SaveStatus::Damaged, ""},
    };
    for (const Case& c : cases) {
        Volume v;
        v.cluster(30, c.first);
        v.cluster(40, compressedUnit('B'));
        RecordBuilder b;
        b.fileName(u"c.bin", 5, false);
        // unit 0: cluster 30 + 15 sparse; unit 1: cluster 40 + 15 sparse.
        b.nonResident(0x80, {0x11, 1, 30, 0x01, 15, 0x11, 1, 10, 0x01, 15, 0x00}, 31, 65536 + 5000, 0x0001, 4);
        const Saved s = save(v, b.finish());
        EXPECT_EQ(s.status, c.status) << c.name;
        std::vector<std::uint8_t> expect(c.firstBytes.begin(), c.firstBytes.end());
        expect.resize(65536, 0);
        expect.resize(65536 + 5000, 'B');
        EXPECT_TRUE(s.bytes == expect) << c.name;
    }
}

TEST(NtfsSaving, StopFinishesTheFileBeingWritten) {
    Volume v;
    const auto data = pattern(3 * 4096, 9);
    v.cluster(20, data);
    RecordBuilder b;
    b.fileName(u"p.bin", 5, false);
    b.nonResident(0x80, {0x11, 0x03, 20, 0x00}, 2, 10000);
    const Saved s = save(v, b.finish(), true);
    EXPECT_EQ(s.status, SaveStatus::Saved);
    EXPECT_EQ(s.bytes, std::vector<std::uint8_t>(data.begin(), data.begin() + 10000));

    // A stop seen before the file is begun writes nothing.
    Volume w;
    w.record(5, named(u".", 5, true));
    w.record(6, b.finish());
    ScannedImage img = scanned(w, 7);
    img.parser->stopFlag = 1;
    const auto dir = makeTempDir("ntfs-stopped");
    OutputFile out;
    ASSERT_TRUE(out.create(dir / "out"));
    EXPECT_EQ(img.parser->saveEntry(6, out), SaveStatus::Stopped);
    EXPECT_EQ(out.written(), 0u);
    out.discard();
    std::filesystem::remove_all(dir);
}

TEST(NtfsSaving, CompressedAndSparseFlagsTogetherSaveAsPlainData) {
    Volume v;
    const auto data = pattern(4096, 4);
    v.cluster(20, data);
    RecordBuilder b;
    b.fileName(u"cs.bin", 5, false);
    b.nonResident(0x80, {0x11, 0x01, 20, 0x00}, 0, 4096, 0x8001, 4);
    const Saved s = save(v, b.finish());
    EXPECT_EQ(s.bytes, data);
}

TEST(NtfsSaving, RecordThatIsNotAFileRecordIsRefusedAndLeavesNoFile) {
    Volume v;
    RecordBuilder b;
    b.fileName(u"x", 5, false);
    nf::Record r = b.finish();
    v.record(5, named(u".", 5, true));
    v.record(6, r);
    ScannedImage img = scanned(v, 7);
    ASSERT_TRUE(img.parser->entries[6].hasName);
    // The record is overwritten after the scan (the source changed under us).
    std::memset(img.reader->bytes().data() + kMftCluster * 4096 + 6 * 1024, 0, 4);
    const auto dir = makeTempDir("ntfs-invalid");
    EXPECT_FALSE(saveToFile(*img.parser, 6, dir / "x"));
    EXPECT_FALSE(std::filesystem::exists(dir / "x"));
    EXPECT_EQ(img.prompt.messages, (std::vector<std::u16string>{u"not a valid entry..."}));
    EXPECT_FALSE(saveToFile(*img.parser, 999, dir / "y"));
    std::filesystem::remove_all(dir);
}

TEST(NtfsSaving, WriteFailureIsReportedAsFailure) {
    Volume v;
    RecordBuilder b;
    b.fileName(u"r.txt", 5, false);
    b.resident(0x80, pattern(100, 1));
    v.record(5, named(u".", 5, true));
    v.record(6, b.finish());
    ScannedImage img = scanned(v, 7);
    // An output that takes nothing, as a full disk does (output files are never opened
    // over an existing name, so /dev/full cannot stand in).
    struct FullWriter final : EntryWriter {
        bool write(const std::uint8_t*, std::size_t) override { return false; }
        bool writeHole(std::uint64_t) override { return false; }
        bool writeUnreadable(std::uint64_t) override { return false; }
        std::uint64_t written() const override { return 0; }
        int errorNumber() const override { return ENOSPC; }
    } full;
    EXPECT_EQ(img.parser->saveEntry(6, full), SaveStatus::Failed);
    // The save names the file and the reason once in its report; no box per file that
    // the worker would wait on.
    EXPECT_TRUE(img.prompt.messages.empty());
}

TEST(NtfsTexts, SizeAndTimesOfASyntheticRecord) {
    Volume v;
    RecordBuilder b;
    std::vector<std::uint8_t> si(48, 0);
    const std::uint64_t t = 133000000000000000ULL;  // 2022-06-19 UTC
    for (int i = 0; i < 8; ++i) {
        si[i] = std::uint8_t(t >> (8 * i));
        si[8 + i] = std::uint8_t((t + 36000000000ULL) >> (8 * i));  // modified one hour later
        si[0x18 + i] = std::uint8_t((t + 72000000000ULL) >> (8 * i));
    }
    b.resident(0x10, si);
    b.fileName(u"t.txt", 5, false);
    b.resident(0x80, pattern(300, 1));
    v.record(5, named(u".", 5, true));
    v.record(6, b.finish());
    ScannedImage img = scanned(v, 7);
    EXPECT_EQ(img.parser->sizeText(6), u"300 Bytes");
    const NtfsTimesText texts = img.parser->timesText(6);
    const auto c = fileTimeToLocal(t);
    ASSERT_TRUE(c);
    EXPECT_EQ(texts.created, formatDateTime(*c));
    EXPECT_NE(texts.modified, texts.created);
    EXPECT_EQ(texts.attributes, u"-A");
}

}  // namespace
}  // namespace dravonel::test
