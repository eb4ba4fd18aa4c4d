#include "core/device/surface_walk.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace dravonel {
namespace {

// A source whose every byte is its offset's low byte, so a chunk shows where it came from.
std::vector<std::uint8_t> counted(std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes);
    for (std::size_t i = 0; i < bytes; ++i) v[i] = static_cast<std::uint8_t>(i / 512);
    return v;
}

// Reads fail from a given offset on.
struct FailingFrom final : MemoryReadSeek {
    FailingFrom(std::vector<std::uint8_t> b, std::int64_t from) : MemoryReadSeek(std::move(b)), from_(from) {}
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
        if (offset + count > from_) {
            errno = EIO;
            return false;
        }
        return MemoryReadSeek::readAt(offset, dest, count);
    }
    std::int64_t from_;
};

struct Seen {
    std::int64_t offset, size, span;
    bool operator==(const Seen&) const = default;
};

struct WalkCase {
    const char* name;
    std::int64_t sourceBytes, begin, end, chunk, lookahead, lastStart;
    // What the visitor answers for a chunk (given offset and size); default: right after it.
    std::function<std::int64_t(std::int64_t, std::int64_t)> next;
    std::vector<Seen> seen;
    std::vector<std::int64_t> progress;
    SurfaceWalker::End end_;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

const WalkCase kWalks[] = {
    {"WholeChunksThenAShortLastOne", 5 * 1024, 0, 5 * 1024, 2048, 0, -1, nullptr,
     {{0, 2048, 2048}, {2048, 2048, 2048}, {4096, 1024, 1024}}, {2048, 4096, 5120}, SurfaceWalker::End::Completed},
    {"AnAreaInsideTheSource", 8 * 1024, 1024, 4096, 2048, 0, -1, nullptr,
     {{1024, 2048, 2048}, {3072, 1024, 1024}}, {3072, 4096}, SurfaceWalker::End::Completed},
    {"SkipAheadPastTheNextChunk", 8 * 1024, 0, 8 * 1024, 1024, 0, -1,
     [](std::int64_t at, std::int64_t) { return at == 0 ? 5 * 512 : at + 1024; },
     {{0, 1024, 1024}, {2560, 1024, 1024}, {3584, 1024, 1024}, {4608, 1024, 1024}, {5632, 1024, 1024},
      {6656, 1024, 1024}, {7680, 512, 512}},
     {2560, 3584, 4608, 5632, 6656, 7680, 8192}, SurfaceWalker::End::Completed},
    {"AnAnswerThatStandsStillGoesOnAfterTheChunk", 4 * 1024, 0, 4 * 1024, 2048, 0, -1,
     [](std::int64_t at, std::int64_t) { return at; },
     {{0, 2048, 2048}, {2048, 2048, 2048}}, {2048, 4096}, SurfaceWalker::End::Completed},
    {"AnAnswerThatStepsBackGoesOnAfterTheChunk", 4 * 1024, 0, 4 * 1024, 2048, 0, -1,
     [](std::int64_t, std::int64_t) { return std::int64_t{0}; },
     {{0, 2048, 2048}, {2048, 2048, 2048}}, {2048, 4096}, SurfaceWalker::End::Completed},
    {"LookaheadIsReadWithTheChunkButNotSteppedOver", 4 * 1024, 0, 4 * 1024, 2048, 512, -1, nullptr,
     {{0, 2048, 2560}, {2048, 2048, 2048}}, {2048, 4096}, SurfaceWalker::End::Completed},
    {"TheChunkHoldingTheLastStartIsReadWhole", 8 * 1024, 0, 8 * 1024, 2048, 0, 2048, nullptr,
     {{0, 2048, 2048}, {2048, 2048, 2048}}, {2048, 4096}, SurfaceWalker::End::Completed},
    {"TheVisitorEndsTheWalk", 8 * 1024, 0, 8 * 1024, 2048, 0, -1,
     [](std::int64_t at, std::int64_t size) { return at == 2048 ? kStopWalk : at + size; },
     {{0, 2048, 2048}, {2048, 2048, 2048}}, {2048}, SurfaceWalker::End::Stopped},
    {"AnEmptyArea", 8 * 1024, 4096, 4096, 2048, 0, -1, nullptr, {}, {}, SurfaceWalker::End::Completed},
    {"ANegativeStart", 8 * 1024, -512, 4096, 2048, 0, -1, nullptr, {}, {}, SurfaceWalker::End::Completed},
};

class SurfaceWalks : public ::testing::TestWithParam<WalkCase> {};

TEST_P(SurfaceWalks, DeliverEveryChunkOnceWithItsBytes) {
    const WalkCase& c = GetParam();
    MemoryReadSeek reader(counted(static_cast<std::size_t>(c.sourceBytes)));
    SurfaceWalker walker;
    walker.chunkBytes = c.chunk;
    walker.lookaheadBytes = c.lookahead;
    walker.lastChunkStart = c.lastStart;
    std::vector<std::int64_t> progress;
    walker.onProgress = [&](std::int64_t next) { progress.push_back(next); };
    std::vector<Seen> seen;
    const auto result = walker.walk(reader, c.begin, c.end, [&](const SurfaceChunk& chunk) {
        seen.push_back({chunk.offset, chunk.size, static_cast<std::int64_t>(chunk.bytes.size())});
        // The bytes are the source's at the chunk's offset.
        for (std::size_t i = 0; i < chunk.bytes.size(); i += 512)
            EXPECT_EQ(chunk.bytes[i], static_cast<std::uint8_t>((chunk.offset + i) / 512));
        return c.next ? c.next(chunk.offset, chunk.size) : chunk.offset + chunk.size;
    });
    EXPECT_EQ(seen, c.seen);
    EXPECT_EQ(progress, c.progress);
    EXPECT_EQ(result.end, c.end_);
    EXPECT_EQ(reader.readCalls.load(), static_cast<std::int64_t>(c.seen.size())) << "one request per chunk";
}

INSTANTIATE_TEST_SUITE_P(Cases, SurfaceWalks, ::testing::ValuesIn(kWalks),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SurfaceWalk, AReadThatFailsEndsTheWalkWithItsErrorAndAStopEndsItBeforeTheNextChunk) {
    FailingFrom reader(counted(8192), 4096);
    SurfaceWalker walker;
    walker.chunkBytes = 2048;
    int chunks = 0;
    auto result = walker.walk(reader, 0, 8192, [&](const SurfaceChunk& c) {
        ++chunks;
        return c.offset + c.size;
    });
    EXPECT_EQ(result.end, SurfaceWalker::End::ReadFailed);
    EXPECT_EQ(result.errorCode, static_cast<std::uint32_t>(EIO));
    EXPECT_EQ(result.position, 4096);
    EXPECT_EQ(chunks, 2);

    MemoryReadSeek whole(counted(8192));
    StopFlag stop{0};
    walker.stop = &stop;
    chunks = 0;
    result = walker.walk(whole, 0, 8192, [&](const SurfaceChunk& c) {
        if (++chunks == 2) stop.store(1);
        return c.offset + c.size;
    });
    EXPECT_EQ(result.end, SurfaceWalker::End::Stopped);
    EXPECT_EQ(chunks, 2);
    EXPECT_EQ(whole.readCalls.load(), 2);
}

TEST(SurfaceWalk, PerMilleIsTruncatedAndBounded) {
    EXPECT_EQ(perMille(0, 1000), 0);
    EXPECT_EQ(perMille(1999, 4000), 499);
    EXPECT_EQ(perMille(5000, 4000), 1000);
    EXPECT_EQ(perMille(10, 0), 0);
    EXPECT_EQ(perMille(INT64_MAX - 1, INT64_MAX), 999);
}

}  // namespace
}  // namespace dravonel
