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
    // Each unreadable sector costs at most a halving's worth of failed reads (a read is
    // at most 2 MiB: 12 levels), and every read that fails leads to two smaller ones.
    const std::int64_t failed = v.reader.failedReads - failedBefore;
    EXPECT_LE(failed, std::int64_t(c.lostSectors.size()) * 13);
    EXPECT_LE(v.reader.readCalls - before, cleanReads + 2 * failed);

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
