// Reads of a failing source from several threads at once share what is known unreadable.
#include <gtest/gtest.h>

#include <thread>

#include "core/device/sector_reader.h"

namespace dravonel {
namespace {

TEST(SectorSplitThreads, ReadersOnSeveralThreadsShareWhatIsKnown) {
    FaultyMemoryReadSeek reader(std::vector<std::uint8_t>(256 * 512, 0x5A), {{10, 2}, {100, 1}, {200, 5}});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&reader] {
            std::vector<std::uint8_t> dest(64 * 512);
            for (int pass = 0; pass < 3; ++pass)
                for (std::int64_t at = 0; at < 256; at += 64) reader.readAt(at * 512, dest.data(), 64 * 512, nullptr);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(reader.knownUnreadable(), (std::vector<SectorRange>{{10, 2}, {100, 1}, {200, 5}}));
    EXPECT_EQ(reader.knownUnreadableCount(), 8);
}

}  // namespace
}  // namespace dravonel
