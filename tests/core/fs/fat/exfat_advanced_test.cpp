// The exFAT advanced road on cards made with mkfs.exfat and exfat-fuse
// (tools/make_advanced_exfat_fixtures.sh): a card quick-formatted after it was filled,
// and a card whose photo folder was removed whole. The search finds the FAT and the heap
// (also with both boot sectors gone), the scan rebuilds the folders from the surface,
// and saving brings the photos back under their names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "core/common/text.h"
#include "core/model/tri_state_tree.h"
#include "core/scan/advanced_search.h"
#include "core/scan/save_walk.h"
#include "core/scan/volume_scan.h"
#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

nlohmann::json manifestOf(const std::string& stem) {
    std::ifstream in(fixturePath(stem + ".json"));
    return nlohmann::json::parse(in);
}

VolumeRecord exfatRecord(std::size_t bytes) {
    VolumeRecord record;
    record.fileSystem = u"exFAT";
    record.sizeMbText = u16(std::to_string(bytes >> 20));
    return record;
}

// The search, then one or more Advanced scans over the same parser, each saved whole
// into a fresh folder.
struct AdvancedRoad {
    std::unique_ptr<MemoryReadSeek> reader;
    VolumeRecord record;
    LockedRecordingSink sink;
    LockedPrompt prompt;
    std::unique_ptr<AdvancedSearch> search;

    explicit AdvancedRoad(std::vector<std::uint8_t> bytes, std::unique_ptr<MemoryReadSeek> custom = nullptr)
        : reader(custom ? std::move(custom) : std::make_unique<MemoryReadSeek>(std::move(bytes))) {
        reader->open("");
        record = exfatRecord(reader->bytes().size());
    }
    bool runSearch(bool stopFirst = false) {
        search = std::make_unique<AdvancedSearch>(record, reader.get(), sink, prompt);
        if (!search->start()) return false;
        if (stopFirst) search->stop();
        search->runWorker();
        return true;
    }
    struct Pass {
        CTriStateTree tree;
        ScanOutcome outcome;
        std::map<std::string, std::string> saved;  // path below the output folder -> sha256
        std::vector<std::string> damage;
    };
    std::unique_ptr<Pass> scan(ScanOptions options, bool stopFirst = false) {
        auto pass = std::make_unique<Pass>();
        VolumeScan scan(record, RecoveryMode::Advanced, pass->tree, reader.get(), sink, prompt,
                        ParserRegistry::standard(), options);
        scan.borrowParser(search->parser());
        if (!scan.start()) return pass;
        if (stopFirst) scan.stop();
        scan.runWorker();
        pass->outcome = scan.outcome();
        if (pass->tree.root() == kNoItem || scan.volume() == nullptr) return pass;
        const fs::path out = makeTempDir("exfat-advanced");
        pass->tree.setCheck(pass->tree.root(), true);
        SaveRun save(pass->tree, *scan.volume(), sink, prompt);
        save.outputFolder = out;
        if (save.hasMarkedItems(nullptr)) save.run(nullptr);
        for (const auto& p : save.problems()) pass->damage.push_back(p.path.string() + ": " + p.reason);
        for (const auto& e : fs::recursive_directory_iterator(out))
            if (e.is_regular_file())
                pass->saved[fs::relative(e.path(), out).generic_string()] = sha256Hex(fileText(e.path()));
        fs::remove_all(out);
        return pass;
    }
};

// Saved files by name: (folder it lies in, sha256).
std::multimap<std::string, std::pair<std::string, std::string>> byName(const AdvancedRoad::Pass& pass) {
    std::multimap<std::string, std::pair<std::string, std::string>> out;
    for (const auto& [path, sha] : pass.saved) {
        const fs::path p(path);
        out.emplace(p.filename().string(), std::make_pair(p.parent_path().filename().string(), sha));
    }
    return out;
}

struct Recovery {
    int exact = 0;            // files saved byte-exact under their own name
    int underFolder = 0;      // ... in a folder of their own folder's name
    int contiguousMissed = 0; // contiguous files not saved byte-exact
    int files = 0;
};

Recovery recoveryOf(const AdvancedRoad::Pass& pass, const nlohmann::json& manifest, const std::string& under = "") {
    Recovery r;
    const auto names = byName(pass);
    for (const auto& f : manifest["files"]) {
        const fs::path path(f["path"].get<std::string>());
        if (!under.empty() && path.parent_path().generic_string() != under) continue;
        ++r.files;
        bool exact = false, inFolder = false;
        auto [b, e] = names.equal_range(path.filename().string());
        for (auto it = b; it != e; ++it) {
            if (it->second.second != f["sha256"].get<std::string>()) continue;
            exact = true;
            inFolder = inFolder || it->second.first == path.parent_path().filename().string();
        }
        r.exact += exact;
        r.underFolder += inFolder;
        if (f["contiguous"].get<bool>() && !exact) ++r.contiguousMissed;
    }
    return r;
}

TEST(ExFatAdvanced, SearchFindsTheFatAndTheHeapWithOrWithoutTheBootSectors) {
    const nlohmann::json m = manifestOf("exfat_formatted_card");
    const auto& g = m["geometry"];
    for (const bool bootZeroed : {false, true}) {
        std::vector<std::uint8_t> bytes = fixtureBytes("exfat_formatted_card.img");
        if (bootZeroed) {
            // Both boot regions' first sectors gone.
            std::fill(bytes.begin(), bytes.begin() + 512, 0);
            std::fill(bytes.begin() + 12 * 512, bytes.begin() + 13 * 512, 0);
        }
        AdvancedRoad road(std::move(bytes));
        ASSERT_TRUE(road.runSearch());
        EXPECT_EQ(road.search->outcome().kind, RunOutcome::Kind::Completed);
        const AdvancedFinds& finds = road.search->finds();
        ASSERT_FALSE(finds.copies.empty()) << bootZeroed;
        EXPECT_EQ(finds.copies.front(), g["fatOffset"].get<std::uint64_t>());
        ASSERT_FALSE(finds.heaps.empty()) << bootZeroed;
        EXPECT_EQ(finds.heaps.front(), g["heapOffset"].get<std::uint64_t>()) << bootZeroed;
        ASSERT_EQ(finds.clusterChoices.size(), 17u);
        EXPECT_EQ(finds.clusterChoices.front(), g["clusterShift"].get<int>()) << bootZeroed;
        const auto statuses = road.sink.statusesNow();
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"Finding Fat64 entries...."), statuses.end());
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"found fat entry  1 "), statuses.end());
        const auto messages = road.prompt.messagesNow();
        ASSERT_FALSE(messages.empty());
        EXPECT_NE(messages.back().find(u"Number of FAT64-ENTRY found = 1"), std::u16string::npos);
    }
}

// The card quick-formatted with mkfs.exfat: the new FAT and bitmap know none of the old
// files, so they come back read as consecutive clusters up to their size, noted as
// possibly incomplete; the folders whose entries lay outside the root come back under
// "ORPHAN ENTRY", with their own names. Also with both boot sectors gone, and with the
// files' entries saying their clusters are chained in the FAT (as writers that never set
// the no-FAT-chain flag leave them): the new FAT chains nothing.
TEST(ExFatAdvanced, FormattedCardGivesBackItsPhotosByName) {
    const nlohmann::json m = manifestOf("exfat_formatted_card");
    for (const int variant : {0, 1, 2}) {
        const bool bootZeroed = variant == 1;
        std::vector<std::uint8_t> bytes = fixtureBytes("exfat_formatted_card.img");
        if (bootZeroed) {
            std::fill(bytes.begin(), bytes.begin() + 512, 0);
            std::fill(bytes.begin() + 12 * 512, bytes.begin() + 13 * 512, 0);
        }
        if (variant == 2) {
            for (std::size_t at = m["geometry"]["heapOffset"].get<std::size_t>(); at + 64 <= bytes.size(); at += 32)
                if ((bytes[at] & 0x7F) == 0x05 && (bytes[at + 32] & 0x7F) == 0x40 && bytes[at + 33] == 0x03)
                    bytes[at + 33] = 0x01;
        }
        AdvancedRoad road(std::move(bytes));
        ASSERT_TRUE(road.runSearch());
        const auto pass = road.scan({});
        EXPECT_EQ(pass->outcome.kind, ScanOutcome::Kind::Completed);
        const Recovery r = recoveryOf(*pass, m);
        EXPECT_EQ(r.files, 33);
        EXPECT_GE(r.exact * 10, r.files * 9) << r.exact << " of " << r.files << " variant " << variant;
        EXPECT_EQ(r.contiguousMissed, 0);
        // The photos of DCIM/100CANON lie in their folder (its entry was in DCIM's cluster).
        const Recovery canon = recoveryOf(*pass, m, "DCIM/100CANON");
        EXPECT_EQ(canon.underFolder, canon.exact);
        bool orphanFolder = false;
        for (const auto& [path, sha] : pass->saved) orphanFolder = orphanFolder || path.find("ORPHAN ENTRY/") != std::string::npos;
        EXPECT_TRUE(orphanFolder);
        // Said, not hidden: the files were not known to the FAT or the bitmap.
        EXPECT_FALSE(pass->damage.empty());
        bool noted = false;
        for (const auto& d : pass->damage) noted = noted || d.find("possibly incomplete") != std::string::npos;
        EXPECT_TRUE(noted);
        const auto statuses = road.sink.statusesNow();
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"Maintaining TreeStructure for Tree Control"), statuses.end());
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), u"found Entry 1 "), statuses.end());
    }
}

TEST(ExFatAdvanced, SecondPassStartsCleanAndOtherChoicesLeadElsewhere) {
    AdvancedRoad road(fixtureBytes("exfat_formatted_card.img"));
    ASSERT_TRUE(road.runSearch());
    const auto first = road.scan({});
    ASSERT_FALSE(first->saved.empty());
    // Another cluster size gives another (poorer) result; back to the default gives the
    // first result again, file for file.
    ScanOptions other;
    other.advancedSectorsPerCluster = 32;  // shift 5
    const auto second = road.scan(other);
    EXPECT_NE(second->saved, first->saved);
    const auto third = road.scan({});
    EXPECT_EQ(third->saved, first->saved);
    // A heap index beyond the list leads to no collection: nothing recovered, said so.
    ScanOptions noHeap;
    noHeap.advancedHeapIndex = 7;
    const std::size_t before = road.prompt.messagesNow().size();
    const auto fourth = road.scan(noHeap);
    EXPECT_TRUE(fourth->saved.empty());
    const auto messages = road.prompt.messagesNow();
    ASSERT_GT(messages.size(), before);
    EXPECT_EQ(messages[before], kAdvancedNothingText);
}

TEST(ExFatAdvanced, StopEndsTheSearchAndTheScan) {
    AdvancedRoad stopped(fixtureBytes("exfat_formatted_card.img"));
    ASSERT_TRUE(stopped.runSearch(true));
    EXPECT_EQ(stopped.search->outcome().kind, RunOutcome::Kind::Stopped);
    EXPECT_TRUE(stopped.search->finds().copies.empty());

    AdvancedRoad road(fixtureBytes("exfat_formatted_card.img"));
    ASSERT_TRUE(road.runSearch());
    const auto pass = road.scan({}, true);
    EXPECT_EQ(pass->outcome.kind, ScanOutcome::Kind::Stopped);
    EXPECT_TRUE(pass->saved.empty());
}

// The command line's advanced road on the formatted card: the same photos, saved.
TEST(ExFatAdvanced, CommandLineRecoversTheFormattedCard) {
    const nlohmann::json m = manifestOf("exfat_formatted_card");
    const fs::path out = makeTempDir("exfat-advanced-cli");
    const CliResult r = runCli({"recover", fixturePath("exfat_formatted_card.img").string(), "--fs", "exfat", "--mode",
                                "advanced", "--out", (out / "saved").string()});
    // Files read past what the FAT and bitmap vouch for are reported damaged.
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("possibly incomplete"), std::string::npos) << r.err;
    std::map<std::string, std::string> saved;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file()) saved[fs::relative(e.path(), out / "saved").generic_string()] = sha256Hex(fileText(e.path()));
    int exact = 0;
    for (const auto& f : m["files"]) {
        const std::string name = fs::path(f["path"].get<std::string>()).filename().string();
        for (const auto& [path, sha] : saved)
            if (fs::path(path).filename() == name && sha == f["sha256"].get<std::string>()) {
                ++exact;
                break;
            }
    }
    EXPECT_GE(exact * 10, int(m["files"].size()) * 9) << exact;
    EXPECT_TRUE(saved.count("ORPHAN ENTRY/100CANON/IMG_0001.JPG")) << r.out;
    fs::remove_all(out);
}

// Unreadable sectors in the middle of the card (over one photo) cost that photo only.
TEST(ExFatAdvanced, UnreadableSectorsAreSkipped) {
    const nlohmann::json m = manifestOf("exfat_formatted_card");
    const std::uint64_t heap = m["geometry"]["heapOffset"].get<std::uint64_t>();
    // 64 sectors (32 KiB) 1 MiB into the heap.
    const std::int64_t bad = std::int64_t(heap + (1u << 20)) / 512;
    AdvancedRoad road({}, std::make_unique<FaultyMemoryReadSeek>(fixtureBytes("exfat_formatted_card.img"),
                                                                 std::vector<SectorRange>{{bad, 64}}));
    ASSERT_TRUE(road.runSearch());
    ASSERT_FALSE(road.search->finds().heaps.empty());
    const auto pass = road.scan({});
    const Recovery r = recoveryOf(*pass, m);
    EXPECT_GE(r.exact, 30);
    EXPECT_LT(r.exact, r.files);
}

// The card whose photo folder was removed with rm -r: its files' entry sets are still in
// the folder's cluster, marked deleted; the surface scan finds them by name.
TEST(ExFatAdvanced, DeletedFolderFilesFoundByName) {
    const nlohmann::json m = manifestOf("exfat_deleted_folder");
    AdvancedRoad road(fixtureBytes("exfat_deleted_folder.img"));
    ASSERT_TRUE(road.runSearch());
    EXPECT_EQ(road.search->finds().heaps.front(), m["geometry"]["heapOffset"].get<std::uint64_t>());
    const auto pass = road.scan({});
    const Recovery canon = recoveryOf(*pass, m, "DCIM/100CANON");
    EXPECT_EQ(canon.files, 25);
    EXPECT_GE(canon.exact * 10, canon.files * 9) << canon.exact;
    EXPECT_EQ(canon.contiguousMissed, 0);
    EXPECT_EQ(canon.underFolder, canon.exact);
    // The live folder's photos come back too, in their folder below the root.
    const Recovery holiday = recoveryOf(*pass, m, "Holiday");
    EXPECT_EQ(holiday.exact, holiday.files);
    EXPECT_EQ(holiday.underFolder, holiday.files);
}

// Crafted entry sets on the formatted card: folders that claim 2^64-byte lengths, that
// name the root's cluster or their own, and a set cut by the volume's end. The scan ends,
// with bounded work, and the photos outside the crafted area still come back.
TEST(ExFatAdvanced, CraftedEntrySetsEndTheScan) {
    const nlohmann::json m = manifestOf("exfat_formatted_card");
    const std::uint64_t heap = m["geometry"]["heapOffset"].get<std::uint64_t>();
    std::vector<std::uint8_t> bytes = fixtureBytes("exfat_formatted_card.img");
    const std::size_t from = std::size_t(heap + (3u << 20)), to = from + (256u << 10);
    std::uint32_t cluster = static_cast<std::uint32_t>((from - heap) / 4096 + 2);
    for (std::size_t at = from; at + 96 <= to; at += 96) {
        std::uint8_t* f = bytes.data() + at;
        std::fill(f, f + 96, 0);
        f[0] = 0x85; f[1] = 2; f[4] = 0x10;  // a folder
        std::uint8_t* s = f + 32;
        s[0] = 0xC0; s[1] = (at / 96) % 2 ? 0x03 : 0x01; s[3] = 1;
        const std::uint32_t first = (at / 96) % 3 == 0 ? 2 : (at / 96) % 3 == 1 ? 5 : cluster;
        for (int k = 0; k < 4; ++k) s[20 + k] = static_cast<std::uint8_t>(first >> (8 * k));
        for (int k = 8; k < 16; ++k) s[k] = 0xFF;
        for (int k = 24; k < 32; ++k) s[k] = 0xFF;
        std::uint8_t* n = f + 64;
        n[0] = 0xC1; n[2] = 'x';
        if ((at + 96) / 4096 != at / 4096) ++cluster;
    }
    // The last slot of the volume begins a set that has no room for its stream entry.
    std::fill(bytes.end() - 32, bytes.end(), 0);
    bytes[bytes.size() - 32] = 0x85;
    bytes[bytes.size() - 31] = 2;
    bytes[bytes.size() - 28] = 0x20;
    AdvancedRoad road(std::move(bytes));
    ASSERT_TRUE(road.runSearch());
    const auto pass = road.scan({});
    EXPECT_EQ(pass->outcome.kind, ScanOutcome::Kind::Completed);
    EXPECT_GE(recoveryOf(*pass, m).exact, 20);
}

}  // namespace
}  // namespace dravonel::test
