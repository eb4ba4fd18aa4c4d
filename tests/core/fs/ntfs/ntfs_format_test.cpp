// Decoding of NTFS on-disk structures from bytes: fixups, the attribute walk, run lists,
// LZNT1 compression units and the attribute word.
#include "core/fs/ntfs/ntfs_format.h"

#include <gtest/gtest.h>

#include <string>

namespace dravonel::ntfs_format {
namespace {

// ---------------------------------------------------------------- fixups

struct FixupCase {
    const char* name;
    std::uint16_t usaOffset;
    std::uint16_t usaCount;
    std::uint16_t sector1End;  // what the record holds at 510-511 before fixing
    int sectorsFixed;
    bool mismatch;
    bool firstFixed, secondFixed;
};

class Fixups : public ::testing::TestWithParam<FixupCase> {};

TEST_P(Fixups, ReplaceSectorEndsWithinTheRecordOnly) {
    const FixupCase& c = GetParam();
    Record r{};
    r[4] = std::uint8_t(c.usaOffset);
    r[5] = std::uint8_t(c.usaOffset >> 8);
    r[6] = std::uint8_t(c.usaCount);
    r[7] = std::uint8_t(c.usaCount >> 8);
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        if (at + 1 < r.size()) {
            r[at] = std::uint8_t(v);
            r[at + 1] = std::uint8_t(v >> 8);
        }
    };
    put16(c.usaOffset, 0x0007);           // sequence number
    put16(c.usaOffset + 2, 0xAABB);       // original end of sector 1
    put16(c.usaOffset + 4, 0xCCDD);       // original end of sector 2
    put16(510, c.sector1End);
    put16(1022, 0x0007);
    const FixupResult res = applyFixups(r);
    EXPECT_EQ(res.sectorsFixed, c.sectorsFixed) << c.name;
    EXPECT_EQ(res.sequenceMismatch, c.mismatch) << c.name;
    EXPECT_EQ(r[510] == 0xBB && r[511] == 0xAA, c.firstFixed) << c.name;
    EXPECT_EQ(r[1022] == 0xDD && r[1023] == 0xCC, c.secondFixed) << c.name;
}

const FixupCase kFixupCases[] = {
    {"two sectors", 0x30, 3, 0x0007, 2, false, true, true},
    {"torn first sector is still fixed up", 0x30, 3, 0x1234, 2, true, true, true},
    {"array claims more sectors than the record has", 0x30, 9, 0x0007, 2, false, true, true},
    {"only the sequence number", 0x30, 1, 0x0007, 0, false, false, false},
    {"no array", 0x30, 0, 0x0007, 0, false, false, false},
    {"array offset beyond the record", 0x0400, 3, 0x0007, 0, false, false, false},
    {"array at the record end: its second word does not fit", 0x3FC, 3, 0x0007, 1, false, false, false},
};
INSTANTIATE_TEST_SUITE_P(Ntfs, Fixups, ::testing::ValuesIn(kFixupCases));

// A 4096-byte record (volumes of 4096-byte sectors) has eight 512-byte pieces, all fixed
// up; the span given is the record, so nothing past it is touched.
TEST(FixupsLargeRecord, FixEveryPieceOfTheRecordAndNothingBeyond) {
    RecordBuffer r{};
    r[0x04] = 0x30;
    r[0x06] = 9;  // the sequence number and eight words
    r[0x30] = 0x07;
    for (std::size_t i = 1; i <= 8; ++i) {
        r[0x30 + 2 * i] = std::uint8_t(i);
        r[512 * i - 2] = 0x07;
    }
    EXPECT_EQ(applyFixups(r).sectorsFixed, 8);
    for (std::size_t i = 1; i <= 8; ++i) EXPECT_EQ(r[512 * i - 2], i) << i;

    RecordBuffer shortRecord = RecordBuffer{};
    shortRecord[0x04] = 0x30;
    shortRecord[0x06] = 9;
    shortRecord[0x30] = 0x07;
    shortRecord[0x32 + 2 * 2] = 0x55;  // the word for the third piece, past a 1024-byte record
    shortRecord[1534] = 0x07;
    EXPECT_EQ(applyFixups(std::span(shortRecord.data(), kRecordBytes)).sectorsFixed, 2);
    EXPECT_EQ(shortRecord[1534], 0x07);
}

// The record size field: clusters per record, or 2^-n bytes when negative; sizes this
// system does not read give 0.
TEST(RecordSizeFromBoot, DecodesBothFormsAndRefusesOtherSizes) {
    struct Case {
        std::uint8_t field;
        std::uint64_t cluster;
        std::size_t bytes;
    };
    const Case cases[] = {
        {0xF6, 4096, 1024},  // -10: 2^10, as mkntfs writes for 512-byte sectors
        {0x01, 4096, 4096},  // one cluster, as for 4096-byte sectors
        {0x02, 1024, 2048}, {0xF5, 4096, 2048}, {0xF4, 4096, 4096},
        {0x02, 4096, 0},     // 8 KiB
        {0xF3, 4096, 0},     // 8 KiB
        {0x00, 4096, 0},     {0x80, 4096, 0},   {0x01, 65536, 0},
    };
    for (const auto& c : cases) {
        std::uint8_t boot[512] = {};
        boot[boot_sector::kRecordSize] = c.field;
        EXPECT_EQ(recordBytesFromBoot(boot, c.cluster), c.bytes) << int(c.field) << " x " << c.cluster;
    }
}

// ---------------------------------------------------------------- attribute walk

Record recordWithAttributes(std::uint16_t first, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& attrs) {
    Record r{};
    r[0x14] = std::uint8_t(first);
    r[0x15] = std::uint8_t(first >> 8);
    std::size_t at = first;
    for (auto [type, length] : attrs) {
        if (at + 8 > r.size()) break;
        for (int i = 0; i < 4; ++i) r[at + i] = std::uint8_t(type >> (8 * i));
        for (int i = 0; i < 4; ++i) r[at + 4 + i] = std::uint8_t(length >> (8 * i));
        at += (length & 0xFFFF) ? (length & 0xFFFF) : 0x68;  // later headers where a reader would look
    }
    return r;
}

struct WalkCase {
    const char* name;
    std::uint16_t first;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> attrs;
    std::vector<std::size_t> offsets;
};

class AttributeWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(AttributeWalk, VisitsEachHeaderOnceAndEnds) {
    const WalkCase& c = GetParam();
    const Record r = recordWithAttributes(c.first, c.attrs);
    const auto list = walkAttributes(r);
    std::vector<std::size_t> offsets;
    for (const auto& a : list) {
        offsets.push_back(a.offset);
        EXPECT_LE(a.header.size(), 64u);
        EXPECT_LE(a.offset + a.header.size(), r.size());
    }
    EXPECT_EQ(offsets, c.offsets) << c.name;
}

const WalkCase kWalkCases[] = {
    {"standard record", 0x38, {{0x10, 0x60}, {0x30, 0x68}, {0x80, 0x48}, {0xFFFFFFFF, 0}}, {0x38, 0x98, 0x100, 0x148}},
    {"zero length ends the walk", 0x38, {{0x10, 0}, {0x30, 0x68}}, {0x38}},
    {"only the low 16 bits of the length count", 0x38, {{0x10, 0x10000}, {0x30, 0x68}}, {0x38}},
    {"length running past the record", 0x38, {{0x10, 0xFFFF}}, {0x38}},
    {"first attribute beyond the record", 0x400, {}, {}},
    {"header cut by the record end", 0x3FC, {{0x10, 0x60}}, {0x3FC}},
};
INSTANTIATE_TEST_SUITE_P(Ntfs, AttributeWalk, ::testing::ValuesIn(kWalkCases));

TEST(AttributeWalkHostile, TinyLengthsStillEndAtTheRecordEnd) {
    Record r{};
    r.fill(0x01);  // every attribute: type 0x01010101, length 0x0101
    r[0x14] = 0x10;
    r[0x15] = 0;
    const auto list = walkAttributes(r);
    EXPECT_LT(list.size(), 10u);
    Record ones{};
    ones.fill(0);
    ones[0x14] = 0x18;
    for (std::size_t at = 0x18; at + 8 <= ones.size(); at += 8) ones[at + 4] = 8;  // length 8, type 0
    EXPECT_EQ(walkAttributes(ones).size(), (1024u - 0x18) / 8);
}

// ---------------------------------------------------------------- run lists

struct RunCase {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint64_t streamClusters;
    std::vector<ntfs_format::Run> runs;
};

class RunLists : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunLists, DecodeAsTheMappingPairsSay) {
    const RunCase& c = GetParam();
    EXPECT_EQ(decodeRuns(c.bytes, c.streamClusters), c.runs) << c.name;
}

const RunCase kRunCases[] = {
    {"one run, one length and one offset byte", {0x11, 0x05, 0x10, 0x00}, 100, {{16, 5}}},
    {"terminator first", {0x00, 0x11, 0x05, 0x10}, 100, {}},
    {"negative offset moves backwards", {0x21, 0x03, 0x00, 0x01, 0x11, 0x02, 0xFF, 0x00}, 100, {{256, 3}, {255, 2}}},
    {"sparse run keeps the running cluster", {0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x02, 0x00}, 100,
     {{32, 4}, {0, 8}, {34, 2}}},
    {"runs beyond the stream's cluster count are dropped", {0x11, 0x04, 0x20, 0x11, 0x04, 0x10, 0x11, 0x01, 0x01, 0x00},
     5, {{32, 4}}},
    {"three-byte length", {0x13, 0x01, 0x00, 0x01, 0x05, 0x00}, 1u << 20, {{5, 65537}}},
    {"eight-byte length keeps its low 32 bits", {0x08, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x00}, 10, {{0, 2}}},
    {"four-byte negative offset", {0x11, 0x01, 0x10, 0x41, 0x01, 0xF0, 0xFF, 0xFF, 0xFF, 0x00}, 10, {{16, 1}, {0, 1}}},
    {"offset field cut by the end", {0x31, 0x04, 0x00}, 100, {}},
    {"pair cut after good runs", {0x11, 0x01, 0x10, 0xFF, 0x01}, 100, {{16, 1}}},
    {"no terminator", {0x11, 0x01, 0x10}, 100, {{16, 1}}},
};
INSTANTIATE_TEST_SUITE_P(Ntfs, RunLists, ::testing::ValuesIn(kRunCases));

TEST(RunListState, AccumulatorsCarryOverBetweenArraysOfOneCall) {
    RunDecodeState state;
    std::vector<ntfs_format::Run> runs;
    auto emit = [&](const ntfs_format::Run& r) { runs.push_back(r); };
    const std::vector<std::uint8_t> a = {0x11, 0x02, 0x10};
    const std::vector<std::uint8_t> b = {0x11, 0x02, 0x04, 0x00};
    decodeRunList(a, 4, state, emit);
    decodeRunList(b, 4, state, emit);
    EXPECT_EQ(runs, (std::vector<ntfs_format::Run>{{16, 2}, {20, 2}}));
    EXPECT_TRUE(state.ended);
}

// ---------------------------------------------------------------- LZNT1

struct LzntCase {
    const char* name;
    std::vector<std::uint8_t> input;
    std::size_t capacity;
    std::string output;
    int code;
    bool damaged = false;  // the data itself is malformed (not merely cut by a buffer)
};

class Lznt1 : public ::testing::TestWithParam<LzntCase> {};

TEST_P(Lznt1, DecodesWithinBothBuffers) {
    const LzntCase& c = GetParam();
    std::vector<std::uint8_t> out(c.capacity, 0xEE);
    const auto res = lznt1Decompress(c.input, out);
    EXPECT_EQ(std::string(out.begin(), out.begin() + std::ptrdiff_t(res.produced)), c.output) << c.name;
    EXPECT_EQ(res.code, c.code) << c.name;
    EXPECT_EQ(res.damaged, c.damaged) << c.name;
}

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> b) { return std::vector<std::uint8_t>(b.begin(), b.end()); }

std::vector<std::uint8_t> storedChunk(const std::string& data) {
    std::vector<std::uint8_t> v;
    const std::size_t field = data.size() + 2 - 3;
    v.push_back(std::uint8_t(field));
    v.push_back(std::uint8_t((field >> 8) & 0x0F) | 0x30);  // signature bits, stored (bit 15 clear)
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<std::uint8_t> kAbcTimesThree = bytesOf({0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20});

const LzntCase kLzntCases[] = {
    {"literals only", bytesOf({0x08, 0xB0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}), 64, "abcdefgh", 0},
    {"back-reference repeats", kAbcTimesThree, 64, "abcabcabc", 0},
    {"stored chunk of 4096 bytes", storedChunk(std::string(4096, 'q')), 8192, std::string(4096, 'q'), 0},
    {"short stored chunk is copied, not decoded", storedChunk("hello"), 64, "hello", 0},
    {"stored then compressed chunk", concat(storedChunk(std::string(4096, 'x')), kAbcTimesThree), 8192,
     std::string(4096, 'x') + "abcabcabc", 0},
    {"after 16 bytes the length field has 11 bits",
     bytesOf({0x15, 0xB0, 0x00, '0', '1', '2', '3', '4', '5', '6', '7', 0x00, '8', '9', 'A', 'B', 'C', 'D', 'E', 'F',
              0x02, 'G', 0x00, 0x80}),
     64, "0123456789ABCDEFG012", 0},
    {"zero header ends the input", concat(kAbcTimesThree, bytesOf({0x00, 0x00, 0x41, 0x42})), 64, "abcabcabc", 0},
    {"output capacity stops decoding", kAbcTimesThree, 4, "abca", 1},
    // A chunk that decodes short still stands for 4096 bytes when another follows it.
    {"short chunk padded before the next", concat(kAbcTimesThree, kAbcTimesThree), 8192,
     "abcabcabc" + std::string(4087, '\0') + "abcabcabc", 0},
    {"padding stops at the capacity", concat(kAbcTimesThree, kAbcTimesThree), 100, "abcabcabc" + std::string(91, '\0'), 1},
    {"reference before any output is damage", bytesOf({0x02, 0xB0, 0x01, 0x00, 0x00}), 64, "", 1, true},
    {"reference reaching before the chunk is damage", bytesOf({0x03, 0xB0, 0x02, 'a', 0x00, 0x70}), 64, "a", 1, true},
    {"chunk longer than the input", bytesOf({0xFF, 0xBF, 0x00, 'a'}), 64, "", 1, true},
    {"token cut by the chunk end", bytesOf({0x02, 0xB0, 0x02, 'a', 0x03}), 64, "a", 1, true},
};
INSTANTIATE_TEST_SUITE_P(Ntfs, Lznt1, ::testing::ValuesIn(kLzntCases));

// ---------------------------------------------------------------- attribute word

TEST(AttributeWordText, FollowsTheFixedOrder) {
    EXPECT_EQ(attributeWord(0x0021), u"-R-A");
    EXPECT_EQ(attributeWord(0x4A23), u"-R-H-S-A-C-E");
    EXPECT_EQ(attributeWord(0x10000000), u"");
}

}  // namespace
}  // namespace dravonel::ntfs_format
