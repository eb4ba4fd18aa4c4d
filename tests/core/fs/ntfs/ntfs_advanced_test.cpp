// The advanced road on NTFS: the search for copies of the $MFT record and the MFT read
// along the chosen copy, driven as the advanced-options page and the scan page drive
// them (AdvancedSearch, then a VolumeScan in Advanced mode that borrows its parser), on
// ntfs_wrong_mft.img: mkntfs and ntfs-3g, then both boot sectors given wrong MFT and
// mirror cluster numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/common/byte_reader.h"
#include "core/common/text.h"
#include "core/scan/advanced_search.h"
#include "core/scan/volume_scan.h"
#include "core/fs/volume_test_support.h"

namespace dravonel::test {
namespace {

const nlohmann::json& manifest() {
    static const nlohmann::json m = loadManifest("ntfs_wrong_mft.json");
    return m;
}
std::uint64_t manifestValue(const char* key) { return manifest()[key].get<std::uint64_t>(); }

// Records what the runs say; calls hook with every status and position first.
struct HookSink final : ScanSink {
    std::function<void(std::u16string_view)> onStatus;
    std::function<void(std::int64_t)> onPosition;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    std::vector<std::int64_t> positions;
    std::vector<std::u16string> statuses;
    void setRange(std::int64_t low, std::int64_t high) override { ranges.emplace_back(low, high); }
    void setPosition(std::int64_t pos) override {
        positions.push_back(pos);
        if (onPosition) onPosition(pos);
    }
    void status(std::u16string_view text) override {
        statuses.emplace_back(text);
        if (onStatus) onStatus(text);
    }
    bool said(std::u16string_view text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
};

// One volume taken along the advanced road: the search, then as many scans as the
// user asks for with the same parser.
struct AdvancedRoad {
    std::unique_ptr<readWriteInterface> reader;
    HookSink sink;
    ScriptedPrompt prompt;
    VolumeRecord record;
    std::unique_ptr<AdvancedSearch> search;
    CTriStateTree tree;
    std::unique_ptr<VolumeScan> scan;

    explicit AdvancedRoad(std::vector<std::uint8_t> bytes, std::vector<SectorRange> bad = {}) {
        const std::size_t size = bytes.size();
        if (bad.empty()) reader = std::make_unique<MemoryReadSeek>(std::move(bytes));
        else reader = std::make_unique<FaultyMemoryReadSeek>(std::move(bytes), std::move(bad));
        reader->open("");
        record.fileSystem = u"NTFS";
        record.name = u"G0";
        record.sizeMbText = u16(std::to_string(size >> 20));
    }
    const AdvancedFinds& find(int maxCopies = 0) {
        ScanOptions options;
        options.maxCopies = maxCopies;
        search = std::make_unique<AdvancedSearch>(record, reader.get(), sink, prompt, ParserRegistry::standard(), options);
        EXPECT_TRUE(search->start());
        search->runWorker();
        return search->finds();
    }
    RunOutcome::Kind rebuild(int copy = 0, int sectorsPerCluster = 0) {
        ScanOptions options;
        options.advancedCopyIndex = copy;
        options.advancedSectorsPerCluster = sectorsPerCluster;
        scan.reset();
        scan = std::make_unique<VolumeScan>(record, RecoveryMode::Advanced, tree, reader.get(), sink, prompt,
                                            ParserRegistry::standard(), options);
        scan->borrowParser(search->parser());
        EXPECT_TRUE(scan->start());
        scan->runWorker();
        return scan->outcome().kind;
    }
    // Every entry below "ROOT" by its path, walked through the parser's children.
    std::map<std::string, EntryRef> listing() const {
        std::map<std::string, EntryRef> out;
        RecoveredVolume& v = *scan->volume();
        std::function<void(EntryRef, const std::string&, int)> walk = [&](EntryRef ref, const std::string& path,
                                                                          int depth) {
            out.emplace(path, ref);
            if (depth > 64 || out.size() > 100000 || !v.isFolder(ref)) return;
            v.forEachChild(ref, [&](EntryRef c) {
                walk(c, path + "/" + toUtf8(v.name(c)), depth + 1);
                return true;
            });
        };
        const TreeItem top = tree.root();
        if (top == kNoItem) return out;
        for (TreeItem i = tree.firstChild(top); i != kNoItem; i = tree.nextSibling(i))
            if (!tree.isPlaceholder(i)) walk(tree.itemData(i), toUtf8(tree.getItemText(i)), 0);
        return out;
    }
    // Every entry's path with what saving it gives ("folder" for folders, else the
    // save status and the bytes' SHA-256).
    std::map<std::string, std::string> savedDigests() {
        std::map<std::string, std::string> out;
        for (const auto& [path, ref] : listing()) {
            if (scan->volume()->isFolder(ref)) {
                out[path] = "folder";
                continue;
            }
            RecordingWriter w;
            const SaveStatus status = scan->volume()->saveEntry(ref, w);
            out[path] = std::to_string(int(status)) + " " + w.sha256();
        }
        return out;
    }
    // The manifest's files that the rebuilt tree holds and saves byte-exact.
    std::size_t exactFiles() {
        const auto files = listing();
        std::size_t exact = 0;
        for (const auto& f : manifest()["files"]) {
            const auto it = files.find(f["path"].get<std::string>());
            if (it == files.end()) continue;
            RecordingWriter w;
            if (scan->volume()->saveEntry(it->second, w) == SaveStatus::Saved && w.sha256() == f["sha256"]) ++exact;
        }
        return exact;
    }
};

std::vector<std::uint8_t> fixture() { return fixtureBytes("ntfs_wrong_mft.img"); }

// The run list of the $MFT record at position: the byte offset of its first run's
// cluster field and that field's width (the record's $DATA attribute, read at its
// named offsets).
std::pair<std::size_t, unsigned> firstRunCluster(const std::vector<std::uint8_t>& image, std::size_t position) {
    const std::uint8_t* r = image.data() + position;
    std::size_t at = le16(r, 0x14);
    while (at + 8 < 1024 && le32(r, at) != 0xFFFFFFFF) {
        if (le32(r, at) == 0x80 && r[at + 8] == 1) {
            const std::size_t runs = at + le16(r, at + 0x20);
            const unsigned header = r[runs];
            return {position + runs + 1 + (header & 0x0F), header >> 4};
        }
        at += le16(r, at + 4);
    }
    return {0, 0};
}

TEST(NtfsAdvanced, WrongMftClusterRebuildsTheWholeTreeFromTheMftsOwnCopy) {
    const std::size_t files = manifest()["files"].size();
    ASSERT_GE(files, 160u);
    {
        // The standard road follows the boot sector to the wrong cluster.
        AdvancedRoad standard(fixture());
        standard.scan = std::make_unique<VolumeScan>(standard.record, RecoveryMode::Standard, standard.tree,
                                                     standard.reader.get(), standard.sink, standard.prompt);
        ASSERT_TRUE(standard.scan->start());
        standard.scan->runWorker();
        EXPECT_EQ(standard.exactFiles(), 0u);
    }
    AdvancedRoad road(fixture());
    const AdvancedFinds& finds = road.find(10);  // the whole volume is searched
    EXPECT_EQ(road.search->outcome().kind, RunOutcome::Kind::Completed);
    // Only the volume's own $MFT: the mirror (no $Boot after it) and the $MFT of the NTFS
    // volume stored as Backups/usb_stick.img are not copies.
    EXPECT_EQ(finds.copies, std::vector<std::uint64_t>{manifestValue("mft_offset")});
    EXPECT_EQ(finds.clusterChoices, (std::vector<int>{4, 8, 2, 16, 32, 64}));
    ASSERT_EQ(finds.copyNotes.size(), 1u);
    EXPECT_EQ(finds.copyNotes[0], u"4 sectors per cluster, by the copy's own place");
    EXPECT_TRUE(road.sink.said(u"MFT ENTRY 1 Found.Parsing it ..."));
    EXPECT_TRUE(road.sink.said(u"Parsing done.Click next to continue."));
    EXPECT_EQ(road.prompt.messages.back(),
              u"Number of MFT-ENTRY found = 1 . Please select the choice from combo box and click Next button to proceed.");
    EXPECT_EQ(road.sink.ranges.front(), (std::pair<std::int64_t, std::int64_t>{0, 4}));
    EXPECT_EQ(road.sink.positions, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 4}));

    EXPECT_EQ(road.rebuild(), RunOutcome::Kind::Completed);
    EXPECT_EQ(road.prompt.messages.back(), kScanDoneText);
    EXPECT_EQ(road.exactFiles(), files);
    const auto listing = road.listing();
    EXPECT_TRUE(listing.count("Documents/Reports/2024"));
    EXPECT_TRUE(listing.count("Photos/Trip/panorama.jpg"));
}

TEST(NtfsAdvanced, OnIntactVolumesTheCopyGivesWhatTheBootSectorGives) {
    // Each cluster size mkntfs makes; the default choice is the one the copy's place
    // tells, and the tree read along the copy is the standard road's, byte for byte.
    struct Case {
        const char* image;
        int sectorsPerCluster;
    };
    for (const Case& c : {Case{"ntfs_basic.img", 8}, Case{"ntfs_512.img", 1}, Case{"ntfs_64k.img", 128},
                          Case{"ntfs_noboot.img", 8}}) {
        SCOPED_TRACE(c.image);
        AdvancedRoad road(fixtureBytes(c.image));
        const AdvancedFinds& finds = road.find();
        ASSERT_EQ(finds.copies.size(), 1u);
        ASSERT_FALSE(finds.clusterChoices.empty());
        EXPECT_EQ(finds.clusterChoices.front(), c.sectorsPerCluster);
        EXPECT_EQ(road.rebuild(), RunOutcome::Kind::Completed);
        EXPECT_EQ(road.prompt.messages.back(), kScanDoneText);
        const auto advanced = road.savedDigests();

        AdvancedRoad standard(fixtureBytes(c.image == std::string("ntfs_noboot.img") ? "ntfs_basic.img" : c.image));
        standard.scan = std::make_unique<VolumeScan>(standard.record, RecoveryMode::Standard, standard.tree,
                                                     standard.reader.get(), standard.sink, standard.prompt);
        ASSERT_TRUE(standard.scan->start());
        standard.scan->runWorker();
        EXPECT_GT(advanced.size(), 5u);
        EXPECT_EQ(advanced, standard.savedDigests());
    }
}

TEST(NtfsAdvanced, CopyChecksAndTheSearchLimit) {
    const std::uint64_t mft = manifestValue("mft_offset");
    // A copy of records 0-7 at 512 KiB: there the $MFT's first run (cluster 8) fits
    // 64 KiB clusters, so it is a copy a volume with that cluster size could hold.
    auto withSecondCopy = [mft] {
        std::vector<std::uint8_t> image = fixture();
        std::copy_n(image.begin() + std::ptrdiff_t(mft), 8 * 1024, image.begin() + 512 * 1024);
        return image;
    };
    struct Case {
        const char* what;
        std::function<std::vector<std::uint8_t>()> image;
        int maxCopies;
        std::vector<std::uint64_t> copies;
        std::vector<int> choices;
        std::vector<std::int64_t> positions;  // chunks read, then the end
    };
    const std::vector<std::int64_t> wholeVolume{0, 1, 2, 3, 4, 4};
    const std::vector<Case> cases = {
        {"a $MFT not at its first run's cluster for any cluster size is dropped",
         [mft] {
             std::vector<std::uint8_t> image = fixture();
             const auto [at, width] = firstRunCluster(image, mft);
             EXPECT_GE(width, 1u);
             image[at] += 1;  // cluster 9: 16384 bytes is no whole number of clusters
             return image;
         },
         3, {}, {8, 4, 2, 16, 32, 64}, wholeVolume},
        {"two copies in one chunk with max 1: the search ends at the first", withSecondCopy, 1, {mft},
         {4, 8, 2, 16, 32, 64}, {0, 4}},
        {"two copies in one chunk with max 3: both, each with its own cluster size", withSecondCopy, 3,
         {mft, 512 * 1024}, {4, 8, 2, 16, 32, 64, 128}, wholeVolume},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AdvancedRoad road(c.image());
        const AdvancedFinds& finds = road.find(c.maxCopies);
        EXPECT_EQ(finds.copies, c.copies);
        EXPECT_EQ(finds.clusterChoices, c.choices);
        EXPECT_EQ(road.sink.positions, c.positions);
        EXPECT_EQ(finds.copyNotes.size(), c.copies.size());
        if (c.copies.size() == 2) {
            EXPECT_EQ(finds.copyNotes[1], u"128 sectors per cluster, by the copy's own place (the boot sector says 4)");
        }
        if (c.copies.empty()) {
            // Nothing to rebuild from: said, not announced as done.
            EXPECT_EQ(road.rebuild(), RunOutcome::Kind::Completed);
            EXPECT_EQ(road.prompt.messages.back(), kAdvancedNothingText);
        }
    }
}

TEST(NtfsAdvanced, UnreadableSectorsInTheSearchedChunkLoseOnlyThemselves) {
    // Bad sectors in the first chunk, after the MFT: the rest of the chunk is searched.
    AdvancedRoad road(fixture(), {{4096, 8}, {40000, 16}});
    const AdvancedFinds& finds = road.find();
    EXPECT_EQ(finds.copies, std::vector<std::uint64_t>{manifestValue("mft_offset")});
}

TEST(NtfsAdvanced, StopEndsTheSearchKeepingWhatWasFound) {
    const std::uint64_t mft = manifestValue("mft_offset");
    struct Case {
        const char* what;
        bool atFirstPosition;  // else when the first copy is announced
        std::vector<std::uint64_t> copies;
    };
    for (const Case& c : {Case{"before the first chunk is read", true, {}},
                          Case{"after the first copy", false, {mft}}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> image = fixture();
        std::copy_n(image.begin() + std::ptrdiff_t(mft), 8 * 1024, image.begin() + 512 * 1024);
        AdvancedRoad road(std::move(image));
        bool pressed = false;
        auto press = [&] {
            if (pressed) return;
            pressed = true;
            road.search->stop();
        };
        if (c.atFirstPosition) road.sink.onPosition = [&](std::int64_t) { press(); };
        else road.sink.onStatus = [&](std::u16string_view t) {
            if (t == u"MFT ENTRY 1 Found.Parsing it ...") press();
        };
        const AdvancedFinds& finds = road.find(3);
        EXPECT_EQ(road.search->outcome().kind, RunOutcome::Kind::Stopped);
        EXPECT_EQ(finds.copies, c.copies);
        // The page still says what it found; the scan then starts with the flag clear.
        EXPECT_EQ(road.prompt.messages.back(), u"Number of MFT-ENTRY found = " + u16(std::to_string(c.copies.size())) +
                                                   u" . Please select the choice from combo box and click Next button to proceed.");
        road.sink.onPosition = nullptr;
        road.sink.onStatus = nullptr;
        EXPECT_EQ(road.rebuild(), RunOutcome::Kind::Completed);
        if (c.copies.empty()) {
            EXPECT_EQ(road.prompt.messages.back(), kAdvancedNothingText);
        } else {
            EXPECT_EQ(road.exactFiles(), manifest()["files"].size());
        }
    }
}

TEST(NtfsAdvanced, SecondPassStartsFromCleanState) {
    AdvancedRoad road(fixture());
    road.find();
    // First pass with a cluster size the copy does not fit: said, and its tree is wrong.
    EXPECT_EQ(road.rebuild(0, 8), RunOutcome::Kind::Completed);
    EXPECT_TRUE(road.sink.said(u"Warning: 8 sectors per cluster do not fit this MFT copy, whose own place says 4; "
                               u"files may come out wrong."));
    EXPECT_LT(road.exactFiles(), manifest()["files"].size());
    // Back, then Next with the copy's own cluster size: the same as a first pass.
    EXPECT_EQ(road.rebuild(0, 0), RunOutcome::Kind::Completed);
    const auto second = road.listing();
    EXPECT_EQ(road.exactFiles(), manifest()["files"].size());
    AdvancedRoad fresh(fixture());
    fresh.find();
    EXPECT_EQ(fresh.rebuild(0, 4), RunOutcome::Kind::Completed);
    EXPECT_EQ(fresh.listing(), second);
    // And a pass with a copy that does not exist finds nothing, keeping nothing of before.
    EXPECT_EQ(road.rebuild(5, 0), RunOutcome::Kind::Completed);
    EXPECT_EQ(road.prompt.messages.back(), kAdvancedNothingText);
    EXPECT_TRUE(road.listing().empty());
}

}  // namespace
}  // namespace dravonel::test
