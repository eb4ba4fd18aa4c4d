// Deleted ext4 files brought back from the journal, on a volume written and emptied
// through the kernel driver (tools/make_ext_journal_fixtures.sh), and the journal's
// structures on crafted blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "core/common/byte_reader.h"
#include "core/fs/ext/ext_journal.h"
#include "core/fs/ext/ext_scan_parser.h"
#include "core/fs/volume_test_support.h"

namespace dravonel::test {
namespace {

namespace ej = ext_journal;

std::unique_ptr<ScannedVolume> scanImage(const std::string& image) {
    auto v = std::make_unique<ScannedVolume>(fixtureBytes(image), u"extX", makeExtScanParser);
    v->run();
    return v;
}

const ExtUndelete& undeleteOf(ScannedVolume& v) { return static_cast<ExtScanParser&>(*v.parser).undelete(); }

// The volumes: ext4 (extents, metadata checksums, 4 KiB blocks) and ext3 (block maps,
// 1 KiB blocks, no journal checksums), each with the folders deleted on the way to its
// files and the folders that stay, and a deleted file of its root folder.
struct JournalVolumeCase {
    const char* image;
    std::vector<std::string> deletedFolders, liveFolders;
    std::u16string deletedInRoot;
    bool tagChecksums;
    std::size_t tagBytes;
};
const JournalVolumeCase kJournalVolumes[] = {
    // Project's inode serves a new file now and src's a deleted later one: their names
    // come from the journal alone.
    {"ext4_journal", {"Project", "Project/src", "Project/src/lib"}, {"docs", "docs/notes", "photos", "keep"},
     u"big.bin", true, 16},
    {"ext3_journal", {"dir", "dir/sub"}, {"keep"}, u"small.bin", false, 8},
};

class ExtJournalVolume : public ::testing::TestWithParam<JournalVolumeCase> {};

TEST_P(ExtJournalVolume, EveryDeletedFileIsListedAtItsPathAndSavedWholeUnlessOtherFilesHoldItsBlocks) {
    const JournalVolumeCase& c = GetParam();
    auto scanned = scanImage(std::string(c.image) + ".img");
    ScannedVolume& v = *scanned;
    ASSERT_EQ(v.outcome.kind, ScanOutcome::Kind::Completed);
    const auto listing = v.listing();
    const auto manifest = loadManifest(std::string(c.image) + ".json");
    int whole = 0;
    std::size_t superseded = 0;
    for (const auto& d : manifest["deleted"]) {
        const std::string path = d["path"];
        SCOPED_TRACE(path);
        if (d["superseded"].get<bool>()) {
            // A later deleted file took its inode: nothing of it is claimed.
            EXPECT_EQ(listing.count(path), 0u);
            ++superseded;
            continue;
        }
        ASSERT_EQ(listing.count(path), 1u);
        const EntryRef ref = listing.at(path);
        EXPECT_TRUE(v.parser->isDeleted(ref));
        EXPECT_FALSE(v.parser->isFolder(ref));
        EXPECT_EQ(v.parser->sizeBytes(ref), d["size"].get<std::uint64_t>());
        RecordingWriter w;
        const SaveStatus status = v.save(ref, w);
        if (d["overwritten"].get<bool>()) {
            // Another file holds some of its blocks now: saved, never claimed whole.
            EXPECT_EQ(status, SaveStatus::Damaged);
            ASSERT_EQ(w.damageNotes.size(), 1u);
            EXPECT_NE(w.damageNotes[0].find("overwritten by other files"), std::string::npos);
        } else {
            EXPECT_EQ(status, SaveStatus::Saved);
            EXPECT_TRUE(w.damageNotes.empty());
            EXPECT_EQ(w.sha256(), d["sha256"].get<std::string>());
            ++whole;
        }
    }
    EXPECT_GE(whole, 3);
    for (const std::string& folder : c.deletedFolders) {
        ASSERT_EQ(listing.count(folder), 1u) << folder;
        EXPECT_TRUE(v.parser->isFolder(listing.at(folder))) << folder;
        EXPECT_TRUE(v.parser->isDeleted(listing.at(folder))) << folder;
    }
    for (const std::string& folder : c.liveFolders) EXPECT_FALSE(v.parser->isDeleted(listing.at(folder))) << folder;
    EXPECT_EQ(undeleteOf(v).recoveredFiles, manifest["deleted"].size() - superseded);
}

TEST_P(ExtJournalVolume, NothingIsClaimedBeyondTheDeletedFilesAndLiveFilesStayAsTheyWere) {
    const JournalVolumeCase& c = GetParam();
    auto scanned = scanImage(std::string(c.image) + ".img");
    ScannedVolume& v = *scanned;
    const auto listing = v.listing();
    const auto manifest = loadManifest(std::string(c.image) + ".json");
    std::set<std::string> deleted, live;
    for (const auto& d : manifest["deleted"])
        if (!d["superseded"].get<bool>()) deleted.insert(d["path"].get<std::string>());
    for (const auto& d : manifest["live"]) {
        const std::string path = d["path"];
        live.insert(path);
        ASSERT_EQ(listing.count(path), 1u) << path;
        EXPECT_FALSE(v.parser->isDeleted(listing.at(path))) << path;
        RecordingWriter w;
        EXPECT_EQ(v.save(listing.at(path), w), SaveStatus::Saved) << path;
        EXPECT_EQ(w.sha256(), d["sha256"].get<std::string>()) << path;
    }
    for (const auto& [path, ref] : listing) {
        if (v.parser->isFolder(ref)) continue;
        if (v.parser->isDeleted(ref)) EXPECT_EQ(deleted.count(path), 1u) << "claimed: " << path;
        else EXPECT_EQ(live.count(path), 1u) << "live: " << path;
    }
    // Red in the tree: the deleted entries of the root folder.
    const TreeItem root = v.tree.root();
    bool red = false;
    for (TreeItem item = v.tree.firstChild(root); item != kNoItem; item = v.tree.nextSibling(item))
        if (v.tree.getItemText(item) == c.deletedInRoot) red = v.tree.findItemData(item)->textColour == kRedTextColour;
    EXPECT_TRUE(red);
    // The deleted inodes are those fls -d names, and every one is accounted for: none is
    // left over for the status line. What is brought back is one of them.
    const ExtUndelete& u = undeleteOf(v);
    std::set<std::uint32_t> flsDeleted;
    for (const auto& n : manifest["fls_deleted_inodes"]) flsDeleted.insert(n.get<std::uint32_t>());
    EXPECT_EQ(u.deletedInodes, flsDeleted.size());
    EXPECT_EQ(u.deletedInodes, u.recoveredFiles + u.recoveredFolders);
    const auto& ext = static_cast<ExtScanParser&>(*v.parser).parser();
    for (const auto& [path, ref] : listing) {
        if (u.recovered(static_cast<std::uint32_t>(ref))) {
            EXPECT_EQ(flsDeleted.count(ext.entry(static_cast<std::uint32_t>(ref))->inodeNumber()), 1u) << path;
        }
    }
}

TEST_P(ExtJournalVolume, TheJournalReadsWholeWithItsTagChecksumsMatching) {
    const JournalVolumeCase& c = GetParam();
    auto scanned = scanImage(std::string(c.image) + ".img");
    const ExtUndelete& u = undeleteOf(*scanned);
    ASSERT_TRUE(u.journalRead);
    const ej::Contents& j = u.journal;
    EXPECT_EQ(j.sb.version, 2);
    EXPECT_EQ(j.sb.csumV3(), c.tagChecksums);
    EXPECT_EQ(j.sb.tagBytes(), c.tagBytes);
    EXPECT_EQ(j.sb.start, 0u);  // a clean journal: its transactions lie before the log's start
    EXPECT_GE(j.transactions, 2u);
    EXPECT_EQ(j.uncommitted, 0u);
    // With checksums, every tag's matches (CRC-32C as the journal chains it).
    EXPECT_EQ(j.mismatched, 0u);
    EXPECT_GT(j.copies.size(), 5u);
    for (std::size_t i = 1; i < j.copies.size(); ++i)
        EXPECT_FALSE(ej::sequenceBefore(j.copies[i].sequence, j.copies[i - 1].sequence));
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExtJournalVolume, ::testing::ValuesIn(kJournalVolumes),
                         [](const auto& info) { return std::string(info.param.image); });

// Docs/gone.txt, deleted on volumes that keep no copy of it in use: ext2 has no journal;
// on ext4_1k the only journalled copy of its inode is the one the delete wrote.
TEST(ExtJournalNoCopy, NothingIsClaimedAndTheStatusLineSaysWhatCouldNotBeRecovered) {
    const struct {
        const char* image;
        bool journal;
        const char16_t* status;
    } cases[] = {
        {"ext2_1k.img", false,
         u"1 deleted files could not be recovered (the volume keeps no journal); raw recovery may still find their data"},
        {"ext4_1k.img", true,
         u"1 deleted files could not be recovered (the journal holds no copy of them); raw recovery may still find "
         u"their data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        auto scanned = scanImage(c.image);
        ScannedVolume& v = *scanned;
        const ExtUndelete& u = undeleteOf(v);
        EXPECT_EQ(u.journalRead, c.journal);
        EXPECT_EQ(u.recoveredFiles + u.recoveredFolders, 0u);
        for (const auto& [path, ref] : v.listing()) EXPECT_FALSE(v.parser->isDeleted(ref)) << path;
        EXPECT_EQ(u.deletedInodes, 1u);
        EXPECT_NE(std::find(v.sink.statuses.begin(), v.sink.statuses.end(), std::u16string(c.status)),
                  v.sink.statuses.end());
    }
}

// A journal of 1 KiB blocks in memory.
struct CraftedJournal {
    static constexpr std::uint32_t kBs = 1024;
    std::vector<std::uint8_t> bytes;
    ej::Superblock sb;
    explicit CraftedJournal(std::uint32_t blocks, std::uint32_t incompat = 0, std::uint32_t sequence = 10)
        : bytes(std::size_t(blocks) * kBs, 0) {
        sb.version = 2;
        sb.blockSize = kBs;
        sb.maxLen = blocks;
        sb.first = 1;
        sb.sequence = sequence;
        sb.incompat = incompat;
    }
    std::uint8_t* block(std::uint32_t i) { return bytes.data() + std::size_t(i) * kBs; }
    static void be32put(std::uint8_t* p, std::uint32_t v) {
        p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8), p[3] = std::uint8_t(v);
    }
    void header(std::uint32_t i, std::uint32_t type, std::uint32_t seq) {
        be32put(block(i), ej::kMagic);
        be32put(block(i) + 4, type);
        be32put(block(i) + 8, seq);
    }
    // A descriptor with tags of the 8-byte form (no checksums, 32-bit).
    void descriptor(std::uint32_t i, std::uint32_t seq, const std::vector<std::pair<std::uint32_t, std::uint16_t>>& tags) {
        header(i, ej::header::kDescriptor, seq);
        std::size_t at = 12;
        for (std::size_t k = 0; k < tags.size(); ++k) {
            std::uint16_t flags = tags[k].second;
            if (k + 1 == tags.size()) flags |= ej::tag::kFlagLastTag;
            if (k > 0) flags |= ej::tag::kFlagSameUuid;
            be32put(block(i) + at, tags[k].first);
            block(i)[at + 6] = std::uint8_t(flags >> 8);
            block(i)[at + 7] = std::uint8_t(flags);
            at += 8 + (k == 0 ? 16 : 0);
        }
    }
    ej::Contents scan() {
        return ej::scanJournal(sb, sb.maxLen, [this](std::uint32_t i, std::uint8_t* d) {
            std::memcpy(d, block(i), kBs);
            return true;
        });
    }
};

TEST(ExtJournalStructures, TagSizesFollowTheFeatures) {
    const struct {
        std::uint32_t incompat;
        std::size_t bytes;
    } cases[] = {{0, 8},
                 {ej::superblock::kIncompat64Bit, 12},
                 {ej::superblock::kIncompatCsumV2, 10},
                 {ej::superblock::kIncompatCsumV2 | ej::superblock::kIncompat64Bit, 14},
                 {ej::superblock::kIncompatCsumV3, 16},
                 {ej::superblock::kIncompatCsumV3 | ej::superblock::kIncompat64Bit, 16}};
    for (const auto& c : cases) {
        ej::Superblock sb;
        sb.incompat = c.incompat;
        EXPECT_EQ(sb.tagBytes(), c.bytes) << c.incompat;
    }
}

TEST(ExtJournalStructures, DescriptorTagsOfEveryFormEndAtTheLastTagFlag) {
    // Checksum version 3 with 64-bit numbers: a tag with its UUID, one with the same
    // UUID and a high part, one flagged last; what follows is not read.
    CraftedJournal j(4, ej::superblock::kIncompatCsumV3 | ej::superblock::kIncompat64Bit);
    std::uint8_t* b = j.block(1);
    j.header(1, ej::header::kDescriptor, 10);
    auto tag3 = [&](std::size_t at, std::uint32_t lo, std::uint32_t hi, std::uint32_t flags) {
        CraftedJournal::be32put(b + at, lo);
        CraftedJournal::be32put(b + at + 4, flags);
        CraftedJournal::be32put(b + at + 8, hi);
        CraftedJournal::be32put(b + at + 12, 0xABCD1234);
    };
    tag3(12, 100, 0, ej::tag::kFlagEscape);
    tag3(12 + 16 + 16, 200, 1, ej::tag::kFlagSameUuid);
    tag3(12 + 32 + 16, 300, 0, ej::tag::kFlagSameUuid | ej::tag::kFlagLastTag);
    tag3(12 + 48 + 16, 400, 0, ej::tag::kFlagSameUuid);
    const auto tags = ej::decodeDescriptor(b, j.sb);
    ASSERT_EQ(tags.size(), 3u);
    EXPECT_EQ(tags[0].fsBlock, 100u);
    EXPECT_TRUE(tags[0].flags & ej::tag::kFlagEscape);
    EXPECT_EQ(tags[1].fsBlock, (std::uint64_t(1) << 32) | 200u);
    EXPECT_EQ(tags[2].fsBlock, 300u);
    EXPECT_EQ(tags[2].checksum, 0xABCD1234u);
    // Without the last-tag flag, tags end before the block's checksum tail.
    CraftedJournal k(4, ej::superblock::kIncompatCsumV3);
    std::uint8_t* f = k.block(1);
    for (std::size_t at = 12; at + 16 <= CraftedJournal::kBs; at += 16) {
        CraftedJournal::be32put(f + at, 7);
        CraftedJournal::be32put(f + at + 4, ej::tag::kFlagSameUuid);
    }
    EXPECT_EQ(ej::decodeDescriptor(f, k.sb).size(), (CraftedJournal::kBs - 12 - 4) / 16);
}

TEST(ExtJournalStructures, RevokeRecordsAreReadIn32Or64Bits) {
    for (const bool wide : {false, true}) {
        CraftedJournal j(2, wide ? ej::superblock::kIncompat64Bit : 0);
        std::uint8_t* b = j.block(1);
        j.header(1, ej::header::kRevoke, 10);
        const std::size_t rec = wide ? 8 : 4;
        CraftedJournal::be32put(b + 12, std::uint32_t(16 + 3 * rec));
        for (std::uint32_t k = 0; k < 3; ++k) CraftedJournal::be32put(b + 16 + k * rec + (wide ? 4 : 0), 50 + k);
        EXPECT_EQ(ej::decodeRevoke(b, j.sb), (std::vector<std::uint64_t>{50, 51, 52})) << wide;
    }
}

TEST(ExtJournalStructures, TransactionsAnywhereInTheRingAreFoundAndOverwrittenDataIsNot) {
    const struct {
        const char* name;
        bool laterAtFirst;  // a later transaction was written from the ring's first block on
        std::vector<std::uint64_t> expected;
    } cases[] = {
        {"wrapped data kept", false, {70, 71, 72}},
        {"wrapped data written over", true, {70}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Ring blocks 1-7: transaction 9's descriptor at 6, data at 7, 1 and 2, commit at 3.
        CraftedJournal j(8, 0, 10);
        j.descriptor(6, 9, {{70, 0}, {71, 0}, {72, ej::tag::kFlagEscape}});
        j.header(3, ej::header::kCommit, 9);
        // Stale blocks of a transaction out of range, and an uncommitted one.
        j.descriptor(4, 9 + 5000, {{90, 0}});
        j.descriptor(5, 8, {{91, 0}});
        if (c.laterAtFirst) j.header(1, ej::header::kCommit, 10);
        const auto contents = j.scan();
        std::vector<std::uint64_t> blocks;
        for (const auto& copy : contents.copies) blocks.push_back(copy.fsBlock);
        EXPECT_EQ(blocks, c.expected);
        EXPECT_EQ(contents.uncommitted, 1u);
        ASSERT_FALSE(contents.copies.empty());
        EXPECT_EQ(contents.copies[0].journalBlock, 7u);
        if (!c.laterAtFirst) {
            EXPECT_EQ(contents.copies[1].journalBlock, 1u);
            EXPECT_EQ(contents.copies[2].journalBlock, 2u);
            EXPECT_TRUE(contents.copies[2].escaped);
        }
    }
}

TEST(ExtJournalStructures, SuperblocksOutsideTheFormatAreRefused) {
    std::vector<std::uint8_t> b(1024, 0);
    auto put = [&](std::size_t at, std::uint32_t v) { CraftedJournal::be32put(b.data() + at, v); };
    put(0, ej::kMagic), put(4, ej::header::kSuperblockV2), put(0x0C, 4096), put(0x10, 1024), put(0x14, 1);
    ASSERT_TRUE(ej::decodeSuperblock(b.data(), b.size()));
    const struct {
        std::size_t at;
        std::uint32_t value;
    } bad[] = {{4, ej::header::kDescriptor}, {0x0C, 3000}, {0x0C, 512}, {0x14, 0}, {0x10, 1}, {0x1C, 5000}};
    for (const auto& c : bad) {
        auto copy = b;
        CraftedJournal::be32put(copy.data() + c.at, c.value);
        EXPECT_FALSE(ej::decodeSuperblock(copy.data(), copy.size())) << c.at;
    }
}

}  // namespace
}  // namespace dravonel::test
