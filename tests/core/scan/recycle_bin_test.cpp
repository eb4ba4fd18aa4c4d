// Recycle-bin names at the end of a scan: "$R" files of NTFS, FAT32 and exFAT images get
// the names their "$I" companions (versions 1 and 2) recorded; the companion decoding.
#include "core/scan/recycle_bin.h"

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "core/scan/volume_scan.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

// Records statuses; presses the scan's Stop when the parser writes stopAt.
struct StoppingSink final : ScanSink {
    std::u16string stopAt;
    VolumeScan* scan = nullptr;
    std::vector<std::u16string> statuses;
    void setRange(std::int64_t, std::int64_t) override {}
    void setPosition(std::int64_t) override {}
    void status(std::u16string_view text) override {
        statuses.emplace_back(text);
        if (scan && !stopAt.empty() && text == stopAt) scan->stop();
    }
};

// The names below each recycle-bin folder of a scanned image, after the pass. With
// stopAt, Stop is pressed when the parser writes that status.
std::vector<std::u16string> recycledNames(const char* image, const char16_t* fs, std::u16string stopAt = {},
                                          ScanOutcome::Kind expected = ScanOutcome::Kind::Completed) {
    FileReadSeek reader;
    EXPECT_TRUE(reader.open(fixturePath(image).string()));
    CTriStateTree tree;
    StoppingSink sink;
    ScriptedPrompt prompt;
    VolumeRecord record;
    record.fileSystem = fs;
    record.sizeMbText = u16(std::to_string(reader.length >> 20));
    VolumeScan scan(record, RecoveryMode::Standard, tree, &reader, sink, prompt);
    sink.stopAt = std::move(stopAt);
    sink.scan = &scan;
    EXPECT_TRUE(scan.start());
    scan.runWorker();
    EXPECT_EQ(scan.outcome().kind, expected) << image;
    EXPECT_EQ(prompt.messages, std::vector<std::u16string>{kScanDoneText}) << image;
    RecoveredVolume& v = *scan.volume();
    std::vector<std::u16string> names;
    for (TreeItem i = tree.firstChild(tree.root()); i != kNoItem; i = tree.nextSibling(i)) {
        if (tree.getItemText(i) != u"$RECYCLE.BIN") continue;
        v.forEachChild(tree.itemData(i), [&](EntryRef user) {
            v.forEachChild(user, [&](EntryRef f) {
                names.push_back(v.name(user) + u"/" + v.name(f));
                return true;
            });
            return true;
        });
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RecycleBin, RecycledFilesGetTheirFormerNames) {
    const std::u16string fatUser = u"S-1-5-21-1004336348-1177238915-682003330-1001/";
    struct Case {
        const char* image;
        const char16_t* fs;
        std::vector<std::u16string> names;
    } cases[] = {
        {"fat32_win.img", u"FAT32",
         {fatUser + u"$IA1B2C3.txt", fatUser + u"$ID4E5F6.jpg", fatUser + u"$RZZZZZZ.dat",
          fatUser + u"Budget plan 2024.txt", fatUser + u"cat.jpg"}},
        {"exfat.img", u"exFAT",
         {fatUser + u"$I0Q1W2E.doc", fatUser + u"$I9X8Y7Z", fatUser + u"Draft — final.doc", fatUser + u"Old"}},
        // Two users' companions of the same name do not mix.
        {"ntfs_recycle.img", u"NTFS",
         {u"S-1-5-21-1-1-1-1001/$IAAAAAA.txt", u"S-1-5-21-1-1-1-1001/Letter to Bob.txt",
          u"S-1-5-21-1-1-1-1002/$IAAAAAA.txt", u"S-1-5-21-1-1-1-1002/reply.txt"}},
    };
    for (auto& c : cases) {
        std::sort(c.names.begin(), c.names.end());
        EXPECT_EQ(recycledNames(c.image, c.fs), c.names) << c.image;
    }
}

TEST(RecycleBin, AStoppedScanStillRestoresTheNamesFoundSoFar) {
    // Stop pressed once the tree is built: the run ends Stopped, and the completion still
    // reads the companions (the stop is over by then) and renames the "$R" files.
    const std::u16string user = u"S-1-5-21-1004336348-1177238915-682003330-1001/";
    std::vector<std::u16string> expected{user + u"$IA1B2C3.txt", user + u"$ID4E5F6.jpg", user + u"$RZZZZZZ.dat",
                                         user + u"Budget plan 2024.txt", user + u"cat.jpg"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(recycledNames("fat32_win.img", u"FAT32", u"Tree Structure Created.", ScanOutcome::Kind::Stopped),
              expected);
}

std::vector<std::uint8_t> companion(std::uint64_t version, std::u16string path, std::size_t padTo = 0) {
    std::vector<std::uint8_t> b(24, 0);
    for (int i = 0; i < 8; ++i) b[std::size_t(i)] = std::uint8_t(version >> (8 * i));
    if (version == 2) {
        const std::uint32_t n = std::uint32_t(path.size() + 1);
        for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(n >> (8 * i)));
    }
    path.push_back(0);
    for (char16_t c : path) {
        b.push_back(std::uint8_t(c));
        b.push_back(std::uint8_t(c >> 8));
    }
    if (b.size() < padTo) b.resize(padTo, 0);
    return b;
}

TEST(RecycleBin, CompanionVersions) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::optional<std::u16string> name;
    } cases[] = {
        {companion(1, u"C:\\a\\b\\report.docx", 544), u"report.docx"},
        {companion(2, u"C:\\Users\\x\\Ünïcode name.txt"), u"Ünïcode name.txt"},
        {companion(1, u"nobackslash.txt"), u"nobackslash.txt"},
        // Version 2 read as version 1 would start at the length field: not a name.
        {companion(3, u"C:\\x.txt"), std::nullopt},
        {companion(2, u"C:\\folder\\"), std::nullopt},
        {companion(1, u"C:\\big.txt", 2048), std::nullopt},
        {std::vector<std::uint8_t>(10, 1), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(formerNameFromCompanion(c.bytes), c.name);
    // A version-2 length beyond the companion stops at its end.
    auto truncated = companion(2, u"C:\\cut.txt");
    truncated[24] = 0xFF;
    truncated.resize(truncated.size() - 2);
    EXPECT_EQ(formerNameFromCompanion(truncated), std::optional<std::u16string>(u"cut.txt"));
}

}  // namespace
}  // namespace dravonel::test
