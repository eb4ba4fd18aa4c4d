// The FAT12/16 and FAT32 advanced road on cards made by mkfs.fat + mtools: a card
// quick-formatted after it was filled, a card whose boot sector was zeroed and a card
// whose photo folder was deleted whole. The search finds the FAT starts and the cluster
// sizes to offer, the scan lent the search's parser rebuilds the tree, and the files come
// back by name with their bytes; the entry and FAT-start tests take what real writers
// write and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "core/common/byte_reader.h"
#include "core/common/text.h"
#include "core/fs/fat/fat_scan_parser.h"
#include "core/scan/advanced_search.h"
#include "core/scan/volume_scan.h"
#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

struct Collect final : EntryWriter {
    std::string bytes;
    std::string damage;
    bool write(const std::uint8_t* d, std::size_t n) override {
        bytes.append(reinterpret_cast<const char*>(d), n);
        return true;
    }
    bool writeHole(std::uint64_t n) override {
        bytes.append(n, '\0');
        return true;
    }
    bool writeUnreadable(std::uint64_t n) override {
        bytes.append(n, '\0');
        return true;
    }
    std::uint64_t written() const override { return bytes.size(); }
    void noteDamage(const std::string& reason) override { damage += reason + ";"; }
};

// The search over one image, then any number of scans lent its parser.
struct Advanced {
    MemoryReadSeek reader;
    RecordingSink sink;
    ScriptedPrompt prompt;
    VolumeRecord record;
    std::unique_ptr<AdvancedSearch> search;
    std::unique_ptr<CTriStateTree> tree;
    std::unique_ptr<VolumeScan> scan;

    // sizeMb: the volume's size as the volume list gives it (0: the image's).
    Advanced(std::vector<std::uint8_t> bytes, const char16_t* fs, ScanOptions options = {}, bool stopFirst = false,
             std::size_t sizeMb = 0)
        : reader(std::move(bytes)) {
        reader.open("");
        record.fileSystem = fs;
        record.sizeMbText = u16(std::to_string(sizeMb ? sizeMb : reader.bytes().size() >> 20));
        search = std::make_unique<AdvancedSearch>(record, &reader, sink, prompt, ParserRegistry::standard(), options);
        if (!search->start()) return;
        if (stopFirst) search->stop();
        search->runWorker();
    }
    const AdvancedFinds& finds() const { return search->finds(); }
    // One pass of the scan page with these choices.
    void rebuild(ScanOptions options) {
        scan.reset();
        tree = std::make_unique<CTriStateTree>();
        scan = std::make_unique<VolumeScan>(record, RecoveryMode::Advanced, *tree, &reader, sink, prompt,
                                            ParserRegistry::standard(), options);
        scan->borrowParser(search->parser());
        if (scan->start()) scan->runWorker();
    }
    RecoveredVolume& volume() { return *scan->volume(); }
    // Every entry below the top-level items, by path ("a/b/c").
    std::map<std::u16string, EntryRef> paths() {
        std::map<std::u16string, EntryRef> out;
        std::vector<std::pair<EntryRef, std::u16string>> stack;
        for (TreeItem i = tree->firstChild(tree->root()); i != kNoItem; i = tree->nextSibling(i))
            if (volume().isValidEntry(tree->itemData(i))) stack.emplace_back(tree->itemData(i), tree->getItemText(i));
        while (!stack.empty()) {
            auto [ref, path] = stack.back();
            stack.pop_back();
            if (!out.emplace(path, ref).second) continue;
            volume().forEachChild(ref, [&](EntryRef c) {
                stack.emplace_back(c, path + u"/" + volume().name(c));
                return true;
            });
        }
        return out;
    }
};

nlohmann::json manifest(const std::string& image) {
    std::ifstream in(fixturePath(image + ".json"));
    return nlohmann::json::parse(in)["files"];
}

std::u16string baseName(const std::u16string& path) { return path.substr(path.rfind(u'/') + 1); }

struct Tally {
    int files = 0, byName = 0, exact = 0, underFolder = 0;
};

// Each manifest file looked for by its own name anywhere in the tree (folder placement
// counted apart) and saved; exact when every byte matches.
Tally tally(Advanced& a, const nlohmann::json& files, const std::string& only = {}) {
    const auto paths = a.paths();
    Tally t;
    for (const auto& f : files) {
        const std::string path = f["path"].get<std::string>();
        if (!only.empty() && path.rfind(only, 0) != 0) continue;
        ++t.files;
        const std::u16string want = fromUtf8(path);
        const std::u16string name = baseName(want);
        const std::u16string folder = want.substr(0, want.rfind(u'/') + 1);
        const std::pair<const std::u16string, EntryRef>* hit = nullptr;
        for (const auto& p : paths)
            if (baseName(p.first) == name && !a.volume().isFolder(p.second)) {
                // Prefer the copy filed under its own folder.
                if (!hit || p.first.size() >= folder.size()) hit = &p;
                if (p.first.size() >= want.size() && p.first.compare(p.first.size() - want.size(), want.size(), want) == 0)
                    break;
            }
        if (!hit) {
            if (std::getenv("DRAVONEL_TEST_VERBOSE")) {
                std::cout << "missing " << path << "\n";
                for (const auto& p : paths) std::cout << "  " << toUtf8(p.first) << "\n";
            }
            continue;
        }
        ++t.byName;
        // Under its own folder: the last two parts of the path agree (a folder whose own
        // entry was lost is found under "ORPHAN ENTRY").
        const std::u16string& got = hit->first;
        const std::size_t cut = want.rfind(u'/', want.rfind(u'/') - 1);
        const std::u16string tail = want.rfind(u'/') == std::u16string::npos ? want
                                    : cut == std::u16string::npos            ? u"/" + want
                                                                             : want.substr(cut);
        if (got == want || (got.size() >= tail.size() && got.compare(got.size() - tail.size(), tail.size(), tail) == 0))
            ++t.underFolder;
        Collect out;
        a.volume().saveEntry(hit->second, out);
        if (sha256Hex(out.bytes) == f["sha256"].get<std::string>()) ++t.exact;
    }
    return t;
}

// ---------------------------------------------------------------- the three cards

TEST(FatAdvanced, FormattedFat32CardGivesBackItsPhotosByName) {
    const nlohmann::json files = manifest("fat32_formatted_card");
    // The "Is Drive Formated..?" box, and the road's own default (the FAT shows every
    // cluster free: files are read on from consecutive clusters and said to be so).
    for (const bool formatted : {true, false}) {
        ScanOptions options;
        options.formattedDriveFlag = formatted;
        Advanced a(fixtureBytes("fat32_formatted_card.img"), u"FAT32", options);
        ASSERT_EQ(a.search->outcome().kind, RunOutcome::Kind::Completed);
        // mkfs.fat's two FATs; the boot sector's cluster size (1 sector) first.
        ASSERT_EQ(a.finds().copies.size(), 2u);
        EXPECT_EQ(a.finds().copies[0], 32u * 512);
        ASSERT_FALSE(a.finds().clusterChoices.empty());
        EXPECT_EQ(a.finds().clusterChoices[0], 1);
        EXPECT_EQ(a.finds().clusterChoices, (std::vector<int>{1, 2, 4, 16, 32, 64, 8}));
        a.rebuild(options);
        ASSERT_NE(a.scan->volume(), nullptr);
        EXPECT_EQ(a.scan->outcome().kind, ScanOutcome::Kind::Completed);
        const Tally t = tally(a, files);
        std::cout << "fat32_formatted_card (formatted box " << formatted << "): " << t.byName << "/" << t.files
                  << " by name, " << t.exact << " byte-exact, " << t.underFolder << " under their folder\n";
        EXPECT_GE(t.exact * 10, t.files * 9);
        EXPECT_GE(t.byName * 10, t.files * 9);
        // The old root is gone with the format: the folders found hang under "ORPHAN ENTRY".
        const auto paths = a.paths();
        EXPECT_TRUE(paths.count(u"ORPHAN ENTRY/100CANON")) << "no 100CANON";
        EXPECT_TRUE(paths.count(u"ORPHAN ENTRY/101CANON")) << "no 101CANON";
        EXPECT_TRUE(std::find(a.sink.statuses.begin(), a.sink.statuses.end(),
                              u"Maintaining TreeStructure for Tree Control") != a.sink.statuses.end());
        // A photo that lay in two pieces (from the card's last clusters on into a hole
        // near its start) is read on from consecutive clusters up to the volume's end: it
        // is said to be possibly incomplete and is not taken for whole.
        int fragmented = 0;
        for (const auto& f : files) {
            if (f["contiguous"].get<bool>()) continue;
            ++fragmented;
            const std::u16string name = baseName(fromUtf8(f["path"].get<std::string>()));
            const auto it = paths.find(u"ORPHAN ENTRY/101CANON/" + name);
            ASSERT_NE(it, paths.end()) << toUtf8(name);
            Collect out;
            EXPECT_EQ(a.volume().saveEntry(it->second, out), SaveStatus::Damaged) << toUtf8(name);
            EXPECT_NE(out.damage.find("possibly incomplete"), std::string::npos) << out.damage;
            EXPECT_LE(out.bytes.size(), f["size"].get<std::size_t>());
            EXPECT_NE(sha256Hex(out.bytes), f["sha256"].get<std::string>()) << toUtf8(name);
        }
        EXPECT_GE(fragmented, 1);
        if (!formatted) {
            // A photo of several clusters is read past the FAT's free mark and said to be
            // possibly incomplete.
            const auto it = paths.find(u"ORPHAN ENTRY/100CANON/IMG_0001.JPG");
            ASSERT_NE(it, paths.end());
            Collect out;
            EXPECT_EQ(a.volume().saveEntry(it->second, out), SaveStatus::Damaged);
            EXPECT_NE(out.damage.find("possibly incomplete"), std::string::npos) << out.damage;
        }
    }
}

TEST(FatAdvanced, Fat16CardWithZeroedBootSectorKeepsItsTree) {
    Advanced a(fixtureBytes("fat16_zeroed_boot.img"), u"FAT16");
    ASSERT_EQ(a.search->outcome().kind, RunOutcome::Kind::Completed);
    // Both FATs, one sector apart by the FAT's length; the cluster size the folder heads
    // agree on (mkfs.fat -s 4) first, then the usual list without it again.
    ASSERT_EQ(a.finds().copies.size(), 2u);
    EXPECT_GT(a.finds().copies[1], a.finds().copies[0]);
    EXPECT_EQ(a.finds().clusterChoices, (std::vector<int>{4, 8, 16, 2, 32, 64, 128}));
    a.rebuild({});
    const nlohmann::json files = manifest("fat16_zeroed_boot");
    const auto paths = a.paths();
    int exact = 0;
    for (const auto& f : files) {
        const std::u16string want = fromUtf8(f["path"].get<std::string>());
        const auto it = paths.find(want);
        ASSERT_NE(it, paths.end()) << toUtf8(want);
        Collect out;
        EXPECT_EQ(a.volume().saveEntry(it->second, out), SaveStatus::Saved) << toUtf8(want);
        if (sha256Hex(out.bytes) == f["sha256"].get<std::string>()) ++exact;
    }
    std::cout << "fat16_zeroed_boot: " << exact << "/" << files.size() << " byte-exact under their paths\n";
    EXPECT_EQ(exact, int(files.size()));
    EXPECT_TRUE(std::find(a.sink.statuses.begin(), a.sink.statuses.end(),
                          u"Maintaining Tree Structure for Tree Control") != a.sink.statuses.end());
}

TEST(FatAdvanced, DeletedPhotoFolderComesBackByName) {
    Advanced a(fixtureBytes("fat_deleted_folder.img"), u"FAT32");
    ASSERT_EQ(a.finds().copies.size(), 2u);
    a.rebuild({});
    const nlohmann::json files = manifest("fat_deleted_folder");
    const Tally t = tally(a, files, "Holiday 2026/");
    int contiguous = 0;
    for (const auto& f : files) contiguous += f["path"].get<std::string>().rfind("Holiday 2026/", 0) == 0 && f["contiguous"].get<bool>();
    std::cout << "fat_deleted_folder: " << t.byName << "/" << t.files << " of the deleted folder by name, " << t.exact
              << " byte-exact (" << contiguous << " contiguous), " << t.underFolder << " under their folder\n";
    EXPECT_GE(t.byName * 10, t.files * 9);
    EXPECT_GE(t.exact, contiguous * 9 / 10);
    const Tally kept = tally(a, files, "DCIM/");
    EXPECT_EQ(kept.exact, kept.files);
}

// The undelete cards (FAT12, FAT16, FAT32, photos and folders deleted, files written
// over): with the boot sector intact, and zeroed, the advanced road lists every entry the
// Standard road lists, at its path, with the same bytes.
struct Card {
    const char* file;
    const char16_t* fs;
    bool zeroBoot;
};

class FatAdvancedCards : public ::testing::TestWithParam<Card> {};

TEST_P(FatAdvancedCards, ListsWhatTheStandardRoadLists) {
    const Card card = GetParam();
    std::vector<std::uint8_t> bytes = fixtureBytes(card.file);
    if (card.zeroBoot) std::fill(bytes.begin(), bytes.begin() + 512, std::uint8_t(0));
    // The Standard road over the intact image is the reference.
    MemoryReadSeek reader(fixtureBytes(card.file));
    reader.open("");
    CTriStateTree tree;
    RecordingSink sink;
    ScriptedPrompt prompt;
    VolumeRecord record;
    record.fileSystem = card.fs;
    record.sizeMbText = u16(std::to_string(reader.bytes().size() >> 20));
    VolumeScan standard(record, RecoveryMode::Standard, tree, &reader, sink, prompt, ParserRegistry::standard(), {});
    ASSERT_TRUE(standard.start());
    standard.runWorker();
    std::map<std::u16string, std::string> want;
    {
        std::vector<std::pair<EntryRef, std::u16string>> stack;
        for (TreeItem i = tree.firstChild(tree.root()); i != kNoItem; i = tree.nextSibling(i))
            stack.emplace_back(tree.itemData(i), tree.getItemText(i));
        RecoveredVolume& v = *standard.volume();
        while (!stack.empty()) {
            auto [ref, path] = stack.back();
            stack.pop_back();
            Collect out;
            if (!v.isFolder(ref)) v.saveEntry(ref, out);
            want[path] = sha256Hex(out.bytes);
            v.forEachChild(ref, [&](EntryRef c) {
                stack.emplace_back(c, path + u"/" + v.name(c));
                return true;
            });
        }
    }
    ASSERT_GT(want.size(), 50u);

    Advanced a(std::move(bytes), card.fs);
    ASSERT_GE(a.finds().copies.size(), 2u);
    a.rebuild({});
    const auto paths = a.paths();
    int same = 0;
    for (const auto& [path, digest] : want) {
        const auto it = paths.find(path);
        if (it == paths.end()) {
            ADD_FAILURE() << "not listed: " << toUtf8(path);
            continue;
        }
        Collect out;
        if (!a.volume().isFolder(it->second)) a.volume().saveEntry(it->second, out);
        EXPECT_EQ(sha256Hex(out.bytes), digest) << toUtf8(path);
        ++same;
    }
    std::cout << card.file << (card.zeroBoot ? " (boot zeroed)" : "") << ": " << same << "/" << want.size()
              << " of the Standard road's entries; " << paths.size() << " entries on the advanced road\n";
    // The folder of 250 long-named photos deleted whole: its files come back by name.
    std::ifstream in(fixturePath("card_fixtures.json"));
    const nlohmann::json files = nlohmann::json::parse(in)[card.file]["files"];
    const Tally mountains = tally(a, files, "Mountains/");
    std::cout << "  Mountains/ (deleted whole): " << mountains.byName << "/" << mountains.files << " by name, "
              << mountains.exact << " byte-exact\n";
    EXPECT_GE(mountains.byName * 10, mountains.files * 9);
}

INSTANTIATE_TEST_SUITE_P(Cards, FatAdvancedCards,
                         ::testing::Values(Card{"card_fat12.img", u"FAT12", false}, Card{"card_fat12.img", u"FAT12", true},
                                           Card{"card_fat16.img", u"FAT16", false}, Card{"card_fat16.img", u"FAT16", true},
                                           Card{"card_fat32.img", u"FAT32", false}, Card{"card_fat32.img", u"FAT32", true}));

// ---------------------------------------------------------------- passes and stops

TEST(FatAdvanced, SecondPassStartsCleanAndAnotherCopyGivesTheSameTree) {
    Advanced a(fixtureBytes("fat16_zeroed_boot.img"), u"FAT16");
    ASSERT_EQ(a.finds().copies.size(), 2u);
    a.rebuild({});
    std::map<std::u16string, std::uint64_t> first;
    for (const auto& [path, ref] : a.paths()) first[path] = a.volume().sizeBytes(ref);
    ASSERT_GT(first.size(), 20u);
    // A pass with a wrong cluster size, then the other FAT copy, then the first again.
    ScanOptions wrong;
    wrong.advancedSectorsPerCluster = 16;
    a.rebuild(wrong);
    for (const int copy : {1, 0}) {
        ScanOptions options;
        options.advancedCopyIndex = copy;
        a.rebuild(options);
        std::map<std::u16string, std::uint64_t> again;
        for (const auto& [path, ref] : a.paths()) again[path] = a.volume().sizeBytes(ref);
        EXPECT_EQ(again, first) << "copy " << copy;
    }
}

TEST(FatAdvanced, StopEndsTheSearchAndTheScan) {
    Advanced a(fixtureBytes("fat32_formatted_card.img"), u"FAT32", {}, true);
    EXPECT_EQ(a.search->outcome().kind, RunOutcome::Kind::Stopped);
    EXPECT_TRUE(a.finds().copies.empty());

    Advanced b(fixtureBytes("fat32_formatted_card.img"), u"FAT32");
    ASSERT_EQ(b.finds().copies.size(), 2u);
    b.tree = std::make_unique<CTriStateTree>();
    b.scan = std::make_unique<VolumeScan>(b.record, RecoveryMode::Advanced, *b.tree, &b.reader, b.sink, b.prompt,
                                          ParserRegistry::standard(), ScanOptions{});
    b.scan->borrowParser(b.search->parser());
    ASSERT_TRUE(b.scan->start());
    b.scan->stop();
    b.scan->runWorker();
    EXPECT_EQ(b.scan->outcome().kind, ScanOutcome::Kind::Stopped);
}

// A Stop during the surface scan ends the scan, not the road: the entries found before it
// are still collected, shown and saved (the tree came out empty before), and the outcome
// says the scan was stopped.
TEST(FatAdvanced, AStopDuringTheSurfaceScanKeepsWhatItFound) {
    struct StopEarly final : ScanSink {
        VolumeScan* scan = nullptr;
        bool pressed = false;
        void setRange(std::int64_t, std::int64_t high) override { last = high; }
        void setPosition(std::int64_t pos) override {
            // After the first piece of the surface (the photos lie in the card's first MiBs).
            if (!pressed && scan && last > 0 && pos > 0) {
                pressed = true;
                scan->stop();
            }
        }
        void status(std::u16string_view) override {}
        std::int64_t last = 0;
    };
    for (const auto& [image, fs] : {std::pair<const char*, const char16_t*>{"fat32_formatted_card.img", u"FAT32"},
                                    std::pair<const char*, const char16_t*>{"exfat_formatted_card.img", u"exFAT"}}) {
        SCOPED_TRACE(image);
        Advanced a(fixtureBytes(image), fs);
        ASSERT_FALSE(a.finds().copies.empty());
        a.rebuild({});
        const std::size_t whole = a.paths().size();
        StopEarly sink;
        a.tree = std::make_unique<CTriStateTree>();
        a.scan = std::make_unique<VolumeScan>(a.record, RecoveryMode::Advanced, *a.tree, &a.reader, sink, a.prompt,
                                              ParserRegistry::standard(), ScanOptions{});
        sink.scan = a.scan.get();
        a.scan->borrowParser(a.search->parser());
        ASSERT_TRUE(a.scan->start());
        a.scan->runWorker();
        ASSERT_TRUE(sink.pressed);
        EXPECT_EQ(a.scan->outcome().kind, ScanOutcome::Kind::Stopped);
        const auto found = a.paths();
        EXPECT_GT(found.size(), 0u);
        EXPECT_LE(found.size(), whole);  // exFAT reaches its folders from the root without the rest
        std::size_t saved = 0;
        for (const auto& [path, ref] : found) {
            if (a.volume().isFolder(ref)) continue;
            Collect w;
            const SaveStatus st = a.volume().saveEntry(ref, w);
            saved += st == SaveStatus::Saved || st == SaveStatus::Damaged;
        }
        EXPECT_GT(saved, 0u);
    }
}

TEST(FatAdvanced, SearchKeepsInsideTheVolume) {
    // What lies after the volume (the next partition) is not the volume's: a FAT start
    // there is not offered.
    std::vector<std::uint8_t> bytes = fixtureBytes("fat16_zeroed_boot.img");
    const std::size_t end = bytes.size();
    bytes.resize(end + (1u << 20), 0);
    const std::uint8_t marks[] = {0xF8, 0xFF, 0xFF, 0xFF};
    std::copy(std::begin(marks), std::end(marks), bytes.begin() + std::ptrdiff_t(end));
    Advanced a(std::move(bytes), u"FAT16", {}, false, end >> 20);
    ASSERT_EQ(a.finds().copies.size(), 2u);
    for (const std::uint64_t c : a.finds().copies) EXPECT_LT(c, end);
}

TEST(FatAdvanced, SearchStopsAtItsLimit) {
    for (const int limit : {1, 2}) {
        ScanOptions options;
        options.maxCopies = limit;
        Advanced a(fixtureBytes("fat16_zeroed_boot.img"), u"FAT16", options);
        EXPECT_EQ(a.finds().copies.size(), std::size_t(limit));
    }
}

// ---------------------------------------------------------------- entry and FAT tests

// A parser with a known cluster count, for the slot and sector tests alone.
struct Probe : FatClass {
    Probe(int bits, const ScanContext& c) : FatClass(bits, c) { clusterLimit_ = 5000; }
};

std::array<std::uint8_t, 32> slot(const char* name11, std::uint8_t attributes) {
    std::array<std::uint8_t, 32> s{};
    std::memcpy(s.data(), name11, 11);
    s[11] = attributes;
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        s[at] = std::uint8_t(v);
        s[at + 1] = std::uint8_t(v >> 8);
    };
    put16(22, (13 << 11) | (45 << 5) | 10);      // write time 13:45:20
    put16(24, ((2024 - 1980) << 9) | (6 << 5) | 9);  // write date 2024-06-09
    put16(26, 100);                                // first cluster
    s[28] = 0x00;
    s[29] = 0x10;  // 4096 bytes
    return s;
}

TEST(FatAdvanced, EntryTestTakesWhatWritersWrite) {
    VolumeRecord record;
    record.sizeMbText = u"64";
    const ScanContext context{record};
    struct Case {
        const char* what;
        std::function<void(std::array<std::uint8_t, 32>&)> change;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"mtools: no tenths, no creation or access date", [](auto&) {}, true},
        {"full stamps", [](auto& s) { s[13] = 199; s[14] = 0x20; s[16] = 0x21; s[17] = 0x58; s[18] = 0x21; s[19] = 0x58; }, true},
        {"leading underscore", [](auto& s) { std::memcpy(s.data(), "_DSC0001JPG", 11); }, true},
        {"dash", [](auto& s) { std::memcpy(s.data(), "A-B     TXT", 11); }, true},
        {"read-only file", [](auto& s) { s[11] = 0x21; }, true},
        {"hidden system file without archive bit", [](auto& s) { s[11] = 0x06; }, true},
        {"deleted", [](auto& s) { s[0] = 0xE5; }, true},
        {"folder", [](auto& s) { s[11] = 0x10; s[28] = s[29] = 0; }, true},
        {"lower-case flags", [](auto& s) { s[12] = 0x18; }, true},
        {"volume label", [](auto& s) { s[11] = 0x08; }, false},
        {"tenths past 199", [](auto& s) { s[13] = 200; }, false},
        {"no write date", [](auto& s) { s[24] = s[25] = 0; }, false},
        {"write hour 24", [](auto& s) { s[23] = std::uint8_t(24 << 3); }, false},
        {"creation month 13", [](auto& s) { s[16] = 0xA1; s[17] = 0x59; }, false},
        {"forbidden character", [](auto& s) { s[3] = '*'; }, false},
        {"control character", [](auto& s) { s[5] = 0x07; }, false},
        {"unknown case bits", [](auto& s) { s[12] = 0x01; }, false},
        {"attribute bits no system sets", [](auto& s) { s[11] = 0x60; }, false},
        {"cluster past the volume", [](auto& s) { s[26] = 0x88; s[27] = 0x13; }, false},
        {"folder with a size", [](auto& s) { s[11] = 0x10; }, false},
        {"empty slot", [](auto& s) { s[0] = 0; }, false},
    };
    for (const int bits : {16, 32}) {
        Probe p(bits, context);
        for (const Case& c : cases) {
            auto s = slot("IMG_0001JPG", 0x20);
            c.change(s);
            EXPECT_EQ(p.looksLikeEntry(s.data()), c.accepted) << c.what << " (FAT" << bits << ")";
        }
        // FAT12/16 keep no high cluster half.
        auto s = slot("IMG_0001JPG", 0x20);
        s[20] = 1;
        EXPECT_EQ(p.looksLikeEntry(s.data()), false) << "high cluster half, FAT" << bits;
    }
    // Long-name slots: sequence, no cluster, characters then U+0000 and U+FFFF padding.
    Probe p(32, context);
    std::array<std::uint8_t, 32> lfn{};
    lfn[0] = 0x41;
    lfn[11] = 0x0F;
    const char16_t text[] = u"Beach";
    const std::size_t chars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t k = 0; k < 13; ++k) {
        const std::uint16_t c = k < 5 ? std::uint16_t(text[k]) : k == 5 ? 0 : 0xFFFF;
        lfn[chars[k]] = std::uint8_t(c);
        lfn[chars[k] + 1] = std::uint8_t(c >> 8);
    }
    EXPECT_TRUE(p.looksLikeEntry(lfn.data()));
    auto bad = lfn;
    bad[20] = 0x41;  // a character after the end
    EXPECT_FALSE(p.looksLikeEntry(bad.data()));
    bad = lfn;
    bad[26] = 5;  // a cluster
    EXPECT_FALSE(p.looksLikeEntry(bad.data()));
    bad = lfn;
    bad[0] = 0x55;  // sequence 21
    EXPECT_FALSE(p.looksLikeEntry(bad.data()));
}

TEST(FatAdvanced, FatStartTestTakesEveryWritersMarks) {
    VolumeRecord record;
    record.sizeMbText = u"64";
    const ScanContext context{record};
    struct Case {
        int bits;
        std::vector<std::uint8_t> head;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}, true},   // mkfs.fat
        {32, {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},   // others
        {32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x07}, true},   // pulled while mounted
        {32, {0xF0, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x03}, true},   // dirty, with errors
        {32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x00}, false},
        {32, {0x12, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}, false},  // no media byte
        {32, {0xF8, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}, false},
        {16, {0xF8, 0xFF, 0xFF, 0xFF}, true},
        {16, {0xF8, 0xFF, 0xFF, 0x7F}, true},  // clean bit clear
        {16, {0xF8, 0xFF, 0xFF, 0x3F}, true},
        {16, {0xF8, 0xFF, 0xFF, 0x00}, true},  // FAT12 on a small volume
        {16, {0xF8, 0xFF, 0xFE, 0xFF}, false},
        {16, {0x00, 0xFF, 0xFF, 0xFF}, false},
    };
    for (const Case& c : cases) {
        Probe p(c.bits, context);
        std::array<std::uint8_t, 512> sector{};
        std::copy(c.head.begin(), c.head.end(), sector.begin());
        EXPECT_EQ(p.looksLikeFatStart(sector.data()), c.accepted) << "FAT" << c.bits << " case " << (&c - cases.data());
    }
    // Three bytes of FAT12 marks are not enough on a volume too large for FAT12.
    VolumeRecord large;
    large.sizeMbText = u"2048";
    Probe p(16, ScanContext{large});
    std::array<std::uint8_t, 512> sector{0xF8, 0xFF, 0xFF, 0x00};
    EXPECT_FALSE(p.looksLikeFatStart(sector.data()));
}

}  // namespace
}  // namespace dravonel::test
