// The NTFS parser on real images made by tools/make_ntfs_fixtures.sh (mkntfs + ntfs-3g);
// ntfs_fixtures.json records what each holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "core/common/time_convert.h"
#include "core/fs/ntfs/ntfs.h"
#include "core/fs/ntfs/ntfs_test_support.h"

namespace dravonel::test {
namespace {

std::string utf8(const std::u16string& s) { return toUtf8(s); }

// The names of the hard-linked file: each record shows only the last name it holds, so
// which of them appear depends on how the writer spread them over records.
bool isLinkName(const std::string& path) { return path.rfind("links/", 0) == 0; }

struct ImageCase {
    const char* image;
    const char* sizeMb;
};

class NtfsStandardScan : public ::testing::TestWithParam<ImageCase> {};

// A manifest file in the tree: at its path, or, for one whose folder record now holds
// something else, by its name under ORPHAN_ENTRY.
std::optional<std::uint64_t> locate(const ScannedImage& img, const nlohmann::json& f) {
    const std::string path = f["path"];
    if (!f.value("orphan", false)) return img.find(path);
    return img.find(path.substr(path.rfind('/') + 1), img.parser->orphanIndex);
}

TEST_P(NtfsStandardScan, TreeHoldsTheNamesFoldersAndDeletedMarksOfTheVolume) {
    ScannedImage img(GetParam().image, GetParam().sizeMb);
    img.scan(1);
    ASSERT_LT(img.parser->rootIndex, img.parser->entries.size());
    EXPECT_EQ(img.parser->rootIndex, 5u);
    for (const auto& f : ntfsManifest()[GetParam().image]["files"]) {
        const std::string path = f["path"];
        if (isLinkName(path)) continue;  // the other names of one hard-linked file
        const auto idx = locate(img, f);
        ASSERT_TRUE(idx) << path;
        const MftEntry& e = img.parser->entries[*idx];
        EXPECT_EQ(e.isFolder(), f.value("folder", false)) << path;
        EXPECT_EQ(e.isDeleted(), f["deleted"].get<bool>()) << path;
    }
}

TEST_P(NtfsStandardScan, SavedFilesMatchTheManifestByteForByte) {
    ScannedImage img(GetParam().image, GetParam().sizeMb);
    img.scan(1);
    const auto dir = makeTempDir("ntfs-save");
    int saved = 0;
    for (const auto& f : ntfsManifest()[GetParam().image]["files"]) {
        if (f.value("folder", false) || isLinkName(f["path"])) continue;
        const std::string path = f["path"];
        const auto idx = locate(img, f);
        ASSERT_TRUE(idx) << path;
        const auto out = dir / std::to_string(*idx);
        ASSERT_TRUE(saveToFile(*img.parser, *idx, out)) << path;
        const auto bytes = readFileBytes(out);
        EXPECT_EQ(bytes.size(), f["size"].get<std::size_t>()) << path;
        EXPECT_EQ(sha256Hex(bytes), f["sha256"].get<std::string>()) << path;
        EXPECT_EQ(img.parser->dataSize(*idx), f["size"].get<std::uint64_t>()) << path;
        ++saved;
    }
    EXPECT_GE(saved, 3);
    EXPECT_TRUE(img.prompt.messages.empty());
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsStandardScan,
                         ::testing::Values(ImageCase{"ntfs_basic.img", "16"}, ImageCase{"ntfs_512.img", "8"},
                                           ImageCase{"ntfs_64k.img", "16"}, ImageCase{"ntfs_streams.img", "4"}),
                         [](const auto& info) {
                             const std::string name = info.param.image;
                             return name.substr(5, name.size() - 9);  // "ntfs_" ... ".img"
                         });

TEST(NtfsStandardScanBasic, TopLevelFollowsRecordOrderWithOrphanFolderLastAndDeletedInRed) {
    ScannedImage img("ntfs_basic.img", "16");
    img.scan(1);
    const TreeItem root = img.tree.root();
    ASSERT_NE(root, kNoItem);
    EXPECT_EQ(img.tree.getItemText(root), u"ROOT");
    std::vector<std::u16string> texts;
    std::vector<std::uint64_t> data;
    for (TreeItem i = img.tree.firstChild(root); i != kNoItem; i = img.tree.nextSibling(i)) {
        texts.push_back(img.tree.getItemText(i));
        data.push_back(img.tree.itemData(i));
        const MftEntry& e = img.parser->entries[img.tree.itemData(i)];
        EXPECT_EQ(img.tree.findItemData(i)->textColour == kRedTextColour, e.isDeleted()) << utf8(texts.back());
        EXPECT_EQ(img.tree.image(i) == ItemImage::Folder, e.isFolder()) << utf8(texts.back());
    }
    ASSERT_GE(texts.size(), 6u);
    // Records 1-4 come first (their parent, record 5, comes later); record 0 is never a child.
    EXPECT_EQ(texts[0], u"$MFTMirr");
    EXPECT_EQ(data[0], 1u);
    EXPECT_EQ(texts[1], u"$LogFile");
    EXPECT_EQ(texts.back(), u"ORPHAN_ENTRY");
    EXPECT_EQ(data.back(), img.parser->orphanIndex);
    EXPECT_TRUE(std::find(texts.begin(), texts.end(), u".") == texts.end());
    for (std::size_t k = 1; k + 1 < data.size(); ++k) EXPECT_LT(data[k - 1], data[k]) << "record order";
    const auto gone = std::find(texts.begin(), texts.end(), u"gone.txt");
    ASSERT_NE(gone, texts.end());
}

// The files above exercise each saving road; this pins that they really do.
TEST(NtfsStandardScanBasic, FixtureFilesTakeTheRoadsTheyAreMeantFor) {
    ScannedImage img("ntfs_basic.img", "16");
    img.scan(1);
    auto position = [&](const char* path) {
        const auto idx = img.find(path);
        EXPECT_TRUE(idx) << path;
        return idx ? img.parser->dataPosition(*idx) : 0;
    };
    EXPECT_EQ(img.parser->dataStream(position("compressed/packed.txt")).label, u"Compressed");
    EXPECT_EQ(img.parser->dataStream(position("compressed/mixed.bin")).label, u"Compressed");
    EXPECT_EQ(img.parser->dataStream(position("resident.txt")).residency, 'R');
    const auto sparseRuns = img.parser->runsOf(position("sparse.bin"), 0x80);
    EXPECT_TRUE(std::any_of(sparseRuns.begin(), sparseRuns.end(), [](const auto& r) { return r.start == 0; }));
    EXPECT_GT(img.parser->runsOf(position("multi.bin"), 0x80).size(), 0u);
    // fragmented.bin: its name sits in an extension record; the base record keeps the
    // first extent and names a second record through a non-resident attribute list.
    const auto frag = img.find("fragmented.bin");
    ASSERT_TRUE(frag);
    EXPECT_NE(img.parser->dataPosition(*frag), img.parser->entries[*frag].diskPosition);
    EXPECT_GE(img.parser->dataExtents(img.parser->dataEntry(*frag)).size(), 2u);
    // The hard-linked file: the attribute list holds names; its $DATA stays in the base record.
    const auto links = img.find("links");
    ASSERT_TRUE(links);
    const auto linked = img.children(*links);
    ASSERT_FALSE(linked.empty());
    EXPECT_TRUE(img.parser->dataExtents(img.parser->dataEntry(linked.front())).empty());
}

TEST(NtfsStandardScanBasic, DeletedFolderKeepsItsChildrenAndTimesComeFromStandardInformation) {
    ScannedImage img("ntfs_basic.img", "16");
    img.scan(1);
    const auto deldir = img.find("deldir");
    ASSERT_TRUE(deldir);
    EXPECT_TRUE(img.parser->entries[*deldir].isDeleted());
    const auto kids = img.children(*deldir);
    ASSERT_EQ(kids.size(), 2u);
    EXPECT_EQ(img.parser->entries[kids[0]].name, u"inside1.txt");
    const auto resident = img.find("resident.txt");
    ASSERT_TRUE(resident);
    const NtfsTimesText t = img.parser->timesText(*resident);
    // "MM/DD/YYYY  hh:mm AM|PM" in local time (TZ=UTC in the tests).
    ASSERT_EQ(t.modified.size(), 20u) << utf8(t.modified);
    EXPECT_EQ(t.modified.substr(10, 2), u"  ");
    EXPECT_EQ(t.attributes, u"-A");
    EXPECT_EQ(img.parser->sizeText(*resident), u"300 Bytes");
    // The saved file carries the recorded last-write time.
    const auto dir = makeTempDir("ntfs-times");
    ASSERT_TRUE(saveToFile(*img.parser, *resident, dir / "r.txt"));
    struct stat st{};
    ASSERT_EQ(::stat((dir / "r.txt").c_str(), &st), 0);
    const NtfsTimes raw = img.parser->times(img.parser->entries[*resident].diskPosition);
    EXPECT_EQ(std::int64_t(st.st_mtim.tv_sec), std::int64_t((raw.modified - kFileTimeUnixEpoch) / 10000000));
    std::filesystem::remove_all(dir);
}

TEST(NtfsStandardScanBasic, HardLinkedFileSavesItsDataUnderEveryNameShown) {
    ScannedImage img("ntfs_basic.img", "16");
    img.scan(1);
    std::string targetSha;
    for (const auto& f : ntfsManifest()["ntfs_basic.img"]["files"])
        if (f["path"] == "links/target.bin") targetSha = f["sha256"];
    const auto links = img.find("links");
    ASSERT_TRUE(links);
    const auto dir = makeTempDir("ntfs-links");
    const auto kids = img.children(*links);
    ASSERT_FALSE(kids.empty());
    for (std::uint64_t k : kids) {
        ASSERT_TRUE(saveToFile(*img.parser, k, dir / "x"));
        EXPECT_EQ(sha256Hex(readFileBytes(dir / "x")), targetSha) << utf8(img.parser->entries[k].name);
    }
    std::filesystem::remove_all(dir);
}

TEST(NtfsStandardScanBasic, FolderWithDataStreamGivesTheDirectoryMessage) {
    ScannedImage img("ntfs_basic.img", "16");
    img.scan(1);
    const auto dir = makeTempDir("ntfs-folder");
    // Record 5 (".") and "$Extend" have no $DATA; the root has none, so use a folder
    // whose kind is forced: the message depends only on kind 'D' and a $DATA attribute.
    const auto multi = img.find("multi.bin");
    ASSERT_TRUE(multi);
    img.parser->entries[*multi].kind = 'D';
    ASSERT_TRUE(saveToFile(*img.parser, *multi, dir / "m"));
    ASSERT_EQ(img.prompt.messages.size(), 1u);
    EXPECT_EQ(img.prompt.messages[0], u"This is  multi.bin directory .Please specify file names ");
    EXPECT_EQ(std::filesystem::file_size(dir / "m"), 0u);
    std::filesystem::remove_all(dir);
}

// ntfs_noboot.img with the boot sector's copy in the volume's last sector zeroed too.
std::vector<std::uint8_t> bothBootSectorsGone() {
    auto bytes = fixtureBytes("ntfs_noboot.img");
    std::fill(bytes.end() - 512, bytes.end(), std::uint8_t(0));
    return bytes;
}

TEST(NtfsDamagedImages, BootSectorWipedReadsItsCopyInTheLastSector) {
    // With the volume's size from its table row, and without one (the source's end).
    for (const char* sizeMb : {"16", "0"}) {
        ScannedImage img("ntfs_noboot.img", sizeMb);
        img.scan(1);
        EXPECT_NE(std::find(img.sink.statuses.begin(), img.sink.statuses.end(),
                            u"boot sector damaged; using its backup copy"),
                  img.sink.statuses.end()) << sizeMb;
        EXPECT_NE(std::find(img.sink.statuses.begin(), img.sink.statuses.end(),
                            u"boot sector is fine.Getting run of mft entry..."),
                  img.sink.statuses.end()) << sizeMb;
        for (const auto& f : ntfsManifest()["ntfs_basic.img"]["files"]) {
            if (isLinkName(f["path"])) continue;
            EXPECT_TRUE(img.find(f["path"])) << f["path"];
        }
    }
}

TEST(NtfsDamagedImages, BootSectorWipedFindsTheMftByScanningAndBuildsTheSameTree) {
    ScannedImage img("ntfs_noboot.img", "16", bothBootSectorsGone());
    img.scan(1);
    EXPECT_TRUE(img.parser->mftKnown);
    EXPECT_EQ(img.parser->clusterSize, 4096u);
    EXPECT_NE(std::find(img.sink.statuses.begin(), img.sink.statuses.end(),
                        u"boot sector corrupt.Scanning for first mft entry..."),
              img.sink.statuses.end());
    for (const auto& f : ntfsManifest()["ntfs_basic.img"]["files"]) {
        if (isLinkName(f["path"])) continue;
        EXPECT_TRUE(img.find(f["path"])) << f["path"];
    }
    const auto multi = img.find("multi.bin");
    ASSERT_TRUE(multi);
    const auto dir = makeTempDir("ntfs-noboot");
    ASSERT_TRUE(saveToFile(*img.parser, *multi, dir / "m"));
    EXPECT_EQ(std::filesystem::file_size(dir / "m"), 10000u);
    std::filesystem::remove_all(dir);
}

TEST(NtfsDamagedImages, BootSectorWipedWithoutSizeGivesFalse) {
    ScannedImage img("ntfs_noboot.img", "0", bothBootSectorsGone());
    EXPECT_FALSE(img.parser->readBootSector());
}

TEST(NtfsDamagedImages, CopySearchFindsTheMftButNotItsMirrorAndReadsAlongIt) {
    ScannedImage img("ntfs_noboot.img", "16");
    img.parser->addTreeRoot();
    img.parser->readBootSector();
    ASSERT_EQ(img.parser->findMftCopies(3), 1);
    EXPECT_EQ(img.parser->foundMfts[0].diskPosition, ntfsManifest()["ntfs_basic.img"]["mftOffset"].get<std::uint64_t>());
    EXPECT_EQ(img.parser->foundMfts[0].name, u"$MFT");
    EXPECT_EQ(img.parser->freeNames(), 1);
    img.parser->entries.clear();
    img.parser->recoveryMode = 2;
    ASSERT_TRUE(img.parser->useFoundMft(0));
    img.parser->clusterSize = 8 * 512;  // the user's sectors-per-cluster choice
    img.parser->readMftEntries();
    img.parser->buildEntryTree();
    EXPECT_TRUE(img.find("dir1/dir2/dir3/deep.txt"));
    EXPECT_FALSE(img.parser->useFoundMft(5));
}

TEST(NtfsDamagedImages, MftStartDamagedDeepScanPlacesFilesAtTheirPaths) {
    {
        ScannedImage standard("ntfs_mftdamaged.img", "16");
        standard.scan(1);
        EXPECT_TRUE(standard.parser->mftRuns.empty());
        ScannedImage copies("ntfs_mftdamaged.img", "16");
        copies.parser->readBootSector();
        EXPECT_EQ(copies.parser->findMftCopies(3), 0);
    }
    ScannedImage img("ntfs_mftdamaged.img", "16");
    img.scan(3);
    const auto& entries = img.parser->entries;
    for (const char* n : {"multi.bin", "resident.txt", "dir1/dir2/dir3/deep.txt", "gone.txt", "deldir/inside2.txt"})
        EXPECT_TRUE(img.find(n)) << n;
    // The MFT's own record was destroyed; only the mirror's copy of record 0 is found,
    // and every record number is kept once (a hard link's further names are entries of
    // their own over the same record).
    const std::uint64_t mftOffset = ntfsManifest()["ntfs_basic.img"]["mftOffset"];
    std::set<std::uint64_t> numbers;
    for (std::uint64_t i = 0; i < img.parser->orphanIndex; ++i) {
        const MftEntry& e = entries[i];
        if (e.name == u"$MFT") {
            EXPECT_NE(e.diskPosition, mftOffset);
        }
        if (!e.isFileRecord() || e.linkOf != 0) continue;
        EXPECT_TRUE(numbers.insert(e.recordNumber).second) << e.recordNumber;
        EXPECT_EQ(img.parser->recordIndex(e.recordNumber), i);
    }
    // Data of a deep-found record saves as it is.
    const auto multi = img.find("multi.bin");
    ASSERT_TRUE(multi);
    const auto dir = makeTempDir("ntfs-deep");
    ASSERT_TRUE(saveToFile(*img.parser, *multi, dir / "m"));
    for (const auto& f : ntfsManifest()["ntfs_basic.img"]["files"])
        if (f["path"] == "multi.bin") {
            EXPECT_EQ(sha256Hex(readFileBytes(dir / "m")), f["sha256"]);
        }
    std::filesystem::remove_all(dir);
}

// Every named entry's path below ROOT, folders marked with a trailing '/'.
std::map<std::string, std::uint64_t> allPaths(const ScannedImage& img) {
    std::map<std::string, std::uint64_t> out;
    std::vector<std::pair<std::uint64_t, std::string>> todo{{img.parser->rootIndex, ""}};
    while (!todo.empty()) {
        auto [at, prefix] = todo.back();
        todo.pop_back();
        for (std::uint64_t c : img.children(at)) {
            const MftEntry& e = img.parser->entries[c];
            const std::string path = prefix + utf8(e.name);
            if (!out.emplace(path, c).second) continue;
            if (e.isFolder()) todo.emplace_back(c, path + "/");
        }
    }
    return out;
}

// Deep mode on an undamaged volume: every in-use file at the path standard mode gives
// it, once (the mirror's copies of the first records do not come twice), and the
// deleted ones where they were too.
TEST_P(NtfsStandardScan, DeepScanGivesTheSamePathsAsTheStandardScan) {
    ScannedImage standard(GetParam().image, GetParam().sizeMb);
    standard.scan(1);
    ScannedImage deep(GetParam().image, GetParam().sizeMb);
    deep.scan(3);
    const auto a = allPaths(standard), b = allPaths(deep);
    for (const auto& [path, index] : a) {
        EXPECT_TRUE(b.count(path)) << path;
        if (b.count(path)) {
            EXPECT_EQ(standard.parser->dataSize(index), deep.parser->dataSize(b.at(path))) << path;
        }
    }
    EXPECT_EQ(a.size(), b.size());
}

// A 64 KiB image whose boot sector claims 2^40 sectors, whose $MFT claims 2^31-1
// clusters and which holds a record numbered 0xFFFFFFF0: nothing beyond the source is
// read, allocated for or written.
TEST(NtfsDamagedImages, CraftedSizesAreBoundedByTheSource) {
    for (int mode : {1, 3}) {
        ScannedImage img("ntfs_crafted.img", "1");
        img.scan(mode);
        EXPECT_EQ(img.parser->volumeSize, 65536u) << mode;
        EXPECT_LE(img.parser->entries.size(), 65536u / 1024 + 2) << mode;
        const auto far = img.find("far.txt", img.parser->orphanIndex);
        ASSERT_TRUE(far) << mode;
        if (mode == 3) {
            EXPECT_EQ(img.parser->recordIndex(0xFFFFFFF0u), far);
        }
        // The $MFT record's data: the clusters the image holds, then the run list is
        // found out as damaged instead of 8 TiB of zeros being written.
        const auto dir = makeTempDir("ntfs-crafted");
        {
            OutputFile out;
            ASSERT_TRUE(out.create(dir / "mft"));
            EXPECT_EQ(img.parser->saveEntry(0, out), SaveStatus::Damaged) << mode;
            EXPECT_LE(out.written(), 2u * 65536) << mode;
            out.discard();
        }
        std::filesystem::remove_all(dir);
    }
}

// A sink that sets the parser's stop flag once a given status text has been seen.
struct StoppingSink final : ScanSink {
    ntfs* parser = nullptr;
    std::u16string trigger;
    int statuses = 0;
    void setRange(std::int64_t, std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void status(std::u16string_view text) override {
        ++statuses;
        if (text.substr(0, trigger.size()) == trigger) parser->stopFlag = 1;
    }
};

TEST(NtfsStop, StopWhileTheMftIsReadEndsBeforeTheNextPieceAndTheTreeIsStillBuilt) {
    ScannedImage img("ntfs_basic.img", "16");
    StoppingSink stopper;
    stopper.parser = img.parser.get();
    stopper.trigger = u"parsing ";
    img.parser->addTreeRoot();
    img.parser->readBootSector();
    img.parser->locateMft();
    img.parser->sink = &stopper;
    img.parser->readMftEntries();
    EXPECT_TRUE(img.parser->entries.empty());
    img.parser->buildEntryTree();
    EXPECT_EQ(img.parser->orphanIndex, 0u);
    EXPECT_EQ(img.tree.itemCount(), 1u);  // only ROOT: nothing was read
}

TEST(NtfsStop, StopBeforeDeepScanFindsNothingAndStopBeforeCopySearchIsCleared) {
    ScannedImage img("ntfs_basic.img", "16");
    img.parser->readBootSector();
    img.parser->stopFlag = 1;
    EXPECT_FALSE(img.parser->scanForMftRecords());
    EXPECT_TRUE(img.parser->entries.empty());
    EXPECT_EQ(img.parser->findMftCopies(3), 0);
    EXPECT_EQ(img.parser->stopFlag.load(), 0);
}

TEST(NtfsStop, PausedWorkerControlHoldsTheScanUntilResumed) {
    ScannedImage img("ntfs_basic.img", "16");
    WorkerControl control;
    img.parser->workerControl = &control;
    img.parser->readBootSector();
    img.parser->locateMft();
    control.pause();
    std::thread worker([&] { img.parser->readMftEntries(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::size_t whilePaused = img.parser->entries.size();
    EXPECT_LE(whilePaused, 4u);  // at most the first cluster's records
    control.resume();
    worker.join();
    EXPECT_GT(img.parser->entries.size(), 100u);
}

}  // namespace
}  // namespace dravonel::test
