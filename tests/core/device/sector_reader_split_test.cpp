// How the reader delivers what a failing source can give: a failed read is split down to
// single sectors, readable ones arrive, unreadable ones come back as zeros and as ranges,
// and what is known unreadable is never asked for again.
#include <gtest/gtest.h>

#include "core/device/sector_reader.h"

namespace dravonel {
namespace {

std::vector<std::uint8_t> patterned(std::int64_t sectors) {
    std::vector<std::uint8_t> v(static_cast<std::size_t>(sectors * kSectorBytes));
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(1 + (i / 512) * 7 + i % 13);
    return v;
}

struct SplitCase {
    const char* name;
    std::int64_t sourceSectors;
    std::vector<SectorRange> bad;     // absolute
    std::int64_t base;                // baseOffset in bytes
    std::int64_t offset, count;       // the read, bytes relative to base
    bool ok;
    std::vector<SectorRange> unreadable;
    std::int64_t reads;               // readAt calls the read costs
    std::int64_t readsAgain;          // and the same read once more
};

class SectorSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SectorSplit, DeliversReadableSectorsAndReportsTheRest) {
    const SplitCase& c = GetParam();
    const std::vector<std::uint8_t> source = patterned(c.sourceSectors);
    FaultyMemoryReadSeek reader(source, c.bad);
    reader.baseOffset = c.base;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "first read" : "read again");
        std::vector<std::uint8_t> dest(static_cast<std::size_t>(c.count), 0xEE);
        std::vector<SectorRange> unreadable;
        const std::int64_t before = reader.readCalls, failedBefore = reader.failedReads;
        EXPECT_EQ(reader.readAt(c.offset, dest.data(), std::uint32_t(c.count), &unreadable), c.ok);
        EXPECT_EQ(unreadable, c.unreadable);
        EXPECT_EQ(reader.readCalls - before, pass == 0 ? c.reads : c.readsAgain);
        // Nothing known unreadable is touched a second time.
        if (pass == 1) {
            EXPECT_EQ(reader.failedReads - failedBefore, 0);
        }
        const std::int64_t begin = c.base + c.offset;
        const auto spans = unreadableSpans(unreadable, begin, begin + c.count);
        for (std::int64_t i = 0; i < c.count; ++i) {
            bool lost = false;
            for (const auto& [b, e] : spans) lost = lost || (i >= b && i < e);
            const std::int64_t at = begin + i;
            const std::uint8_t want = lost || at >= std::int64_t(source.size()) ? 0 : source[std::size_t(at)];
            ASSERT_EQ(dest[std::size_t(i)], want) << "byte " << i;
        }
    }
    EXPECT_EQ(reader.knownUnreadable(), c.unreadable);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, SectorSplit,
    ::testing::Values(
        SplitCase{"NoBadSectorOneRead", 16, {}, 0, 0, 8 * 512, true, {}, 1, 1},
        SplitCase{"BadSectorAwayFromTheRead", 16, {{12, 2}}, 0, 0, 8 * 512, true, {}, 1, 1},
        SplitCase{"OneBadSectorInside", 16, {{3, 1}}, 0, 0, 8 * 512, false, {{3, 1}}, 9, 2},
        SplitCase{"BadFirstSector", 16, {{0, 1}}, 0, 0, 8 * 512, false, {{0, 1}}, 9, 1},
        SplitCase{"BadLastSector", 16, {{7, 1}}, 0, 0, 8 * 512, false, {{7, 1}}, 9, 1},
        SplitCase{"AllBad", 16, {{0, 4}}, 0, 0, 4 * 512, false, {{0, 4}}, 5, 0},
        SplitCase{"BadRunStraddlesTheReadStart", 16, {{2, 4}}, 0, 4 * 512, 4 * 512, false, {{4, 2}}, 5, 1},
        SplitCase{"BadRunStraddlesTheReadEnd", 16, {{6, 4}}, 0, 4 * 512, 4 * 512, false, {{6, 2}}, 5, 1},
        SplitCase{"RangesAreAbsolute", 16, {{5, 1}}, 2 * 512, 2 * 512, 2 * 512, false, {{5, 1}}, 3, 1},
        SplitCase{"TwoSeparateBadSectors", 16, {{1, 1}, {6, 1}}, 0, 0, 8 * 512, false, {{1, 1}, {6, 1}}, 9, 3},
        SplitCase{"UnalignedReadLosesOnlyItsBadSector", 16, {{1, 1}}, 0, 100, 1000, false, {{1, 1}}, 4, 2},
        SplitCase{"PastTheSourceEnd", 8, {}, 0, 6 * 512, 4 * 512, false, {{8, 2}}, 5, 1},
        SplitCase{"SingleSectorBad", 16, {{9, 1}}, 0, 9 * 512, 512, false, {{9, 1}}, 1, 0},
        // A large read: sixteen pieces, then the failing piece sector by sector; the bad
        // run costs one failed read for the whole, one for its piece, one per sector.
        SplitCase{"RunOfEightInALargeRead", 2048, {{1000, 8}}, 0, 0, 2048 * 512, false, {{1000, 8}}, 1 + 16 + 128, 2},
        SplitCase{"BadRunAcrossTwoPieces", 2048, {{1020, 8}}, 0, 0, 2048 * 512, false, {{1020, 8}}, 1 + 16 + 256, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SectorSplitOnce, AFailedBlockIsReportedWholeAndSplitLater) {
    FaultyMemoryReadSeek reader(patterned(16), {{3, 1}});
    std::vector<std::uint8_t> dest(8 * 512, 0xEE);
    std::vector<SectorRange> failed;
    EXPECT_FALSE(reader.readAtOnce(0, dest.data(), std::uint32_t(dest.size()), &failed));
    EXPECT_EQ(reader.readCalls, 1);
    EXPECT_EQ(failed, (std::vector<SectorRange>{{0, 8}}));
    EXPECT_EQ(dest, std::vector<std::uint8_t>(dest.size(), 0));
    EXPECT_TRUE(reader.knownUnreadable().empty());  // which sector is bad is not known yet

    std::vector<SectorRange> unreadable;
    EXPECT_FALSE(reader.readAt(0, dest.data(), std::uint32_t(dest.size()), &unreadable));
    EXPECT_EQ(unreadable, (std::vector<SectorRange>{{3, 1}}));
    // Once known, a block over the bad sector is not read at all.
    const std::int64_t before = reader.readCalls;
    failed.clear();
    EXPECT_FALSE(reader.readAtOnce(2 * 512, dest.data(), 4 * 512, &failed));
    EXPECT_EQ(reader.readCalls, before);
    EXPECT_EQ(failed, (std::vector<SectorRange>{{2, 4}}));
    EXPECT_TRUE(reader.readAtOnce(8 * 512, dest.data(), 4 * 512, &failed));
}

TEST(SectorSplitStop, AStopEndsASplitReadAtItsNextPieceWithoutTakingTheRestForUnreadable) {
    // Every sector of the read is bad; the Stop is pressed after the first failed pieces.
    struct StopsAfter final : FaultyMemoryReadSeek {
        using FaultyMemoryReadSeek::FaultyMemoryReadSeek;
        StopFlag* stop = nullptr;
        bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
            if (failedReads >= 3 && stop) *stop = 1;
            return FaultyMemoryReadSeek::readAt(offset, dest, count);
        }
        using readWriteInterface::readAt;
    };
    StopsAfter reader(patterned(2048), {{0, 2048}});
    StopFlag stop{0};
    reader.stop = &stop;
    std::vector<std::uint8_t> dest(2048 * 512, 0xEE);
    std::vector<SectorRange> unreadable;
    {
        const SplitStopScope scope(&reader, &stop);
        EXPECT_FALSE(reader.readAt(0, dest.data(), std::uint32_t(dest.size()), &unreadable));
    }
    EXPECT_EQ(reader.splitStop.load(), nullptr);
    EXPECT_LE(reader.readCalls, 4);  // not the 2,065 reads of the whole split
    EXPECT_EQ(unreadable, (std::vector<SectorRange>{{0, 2048}}));
    EXPECT_EQ(dest, std::vector<std::uint8_t>(dest.size(), 0));
    // Only what was tried alone is known unreadable; the rest is tried again later.
    EXPECT_LT(sectorCount(reader.knownUnreadable()), 2048);
}

TEST(SectorRanges, AddKeepsThemAscendingAndMerged) {
    struct Case {
        std::vector<SectorRange> add, want;
    };
    const Case cases[] = {
        {{{5, 1}, {6, 2}}, {{5, 3}}},
        {{{8, 1}, {2, 1}, {5, 1}}, {{2, 1}, {5, 1}, {8, 1}}},
        {{{2, 1}, {6, 1}, {3, 3}}, {{2, 5}}},
        {{{4, 4}, {5, 1}}, {{4, 4}}},
        {{{4, 1}, {0, 10}}, {{0, 10}}},
        {{{4, 0}}, {}},
    };
    for (const Case& c : cases) {
        std::vector<SectorRange> ranges;
        for (const SectorRange& r : c.add) addSectorRange(ranges, r);
        EXPECT_EQ(ranges, c.want);
        std::int64_t n = 0;
        for (const SectorRange& r : c.want) n += r.count;
        EXPECT_EQ(sectorCount(ranges), n);
    }
}

}  // namespace
}  // namespace dravonel
