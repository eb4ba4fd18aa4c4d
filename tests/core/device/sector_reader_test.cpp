#include "core/device/sector_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>

#include "support/test_support.h"

namespace dravonel {
namespace {

class SectorReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::makeTempDir("reader");
        path_ = dir_ / "image.bin";
        bytes_.resize(1000);
        std::iota(bytes_.begin(), bytes_.end(), 0);
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_, path_;
    std::vector<std::uint8_t> bytes_;
};

TEST_F(SectorReaderTest, MissingPathShowsInvalidHandleAndKeepsSectorCount) {
    FileReadSeek reader;
    test::ScriptedPrompt prompt;
    reader.prompt = &prompt;
    ASSERT_TRUE(reader.open(path_.string()));
    EXPECT_EQ(reader.deviceSectorCount, 1);  // 1000 bytes, rounded down
    EXPECT_FALSE(reader.open((dir_ / "nope.img").string()));
    ASSERT_EQ(prompt.messages.size(), 1u);
    EXPECT_EQ(prompt.messages[0], u"invalid handle ...");
    EXPECT_EQ(reader.deviceSectorCount, 1);
}

TEST_F(SectorReaderTest, ShortReadDeliversWhatArrivedThenZeros) {
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(path_.string()));
    std::vector<std::uint8_t> dest(1024, 0xAA);
    ASSERT_TRUE(reader.seek(512));
    EXPECT_FALSE(reader.read(dest.data(), 1024));
    for (int i = 0; i < 488; ++i) ASSERT_EQ(dest[i], bytes_[512 + i]) << i;
    for (int i = 488; i < 1024; ++i) ASSERT_EQ(dest[i], 0) << i;

    // Nothing arrives past the end: false, and the destination is left untouched.
    std::vector<std::uint8_t> untouched(512, 0x5C);
    ASSERT_TRUE(reader.seek(4096));
    EXPECT_FALSE(reader.read(untouched.data(), 512));
    EXPECT_EQ(untouched, std::vector<std::uint8_t>(512, 0x5C));
}

TEST_F(SectorReaderTest, BaseOffsetIsAddedToEverySeek) {
    std::vector<std::uint8_t> disk(2 * 1048576, 0);
    disk[1048576] = 0x42;
    disk[1048576 + 512] = 0x43;
    MemoryReadSeek reader(disk);
    reader.baseOffset = 2048 * 512;
    std::uint8_t sector[512];
    ASSERT_TRUE(reader.seek(0));
    ASSERT_TRUE(reader.read(sector, 512));
    EXPECT_EQ(sector[0], 0x42);
    ASSERT_TRUE(reader.read(sector, 512));  // reads go on from where the last one ended
    EXPECT_EQ(sector[0], 0x43);
    EXPECT_FALSE(reader.seek(-1048577));  // a negative device position is refused

    FileReadSeek file;
    ASSERT_TRUE(file.open(path_.string()));
    file.baseOffset = 512;
    ASSERT_TRUE(file.seek(0));
    EXPECT_EQ(file.position(), 512);
}

TEST_F(SectorReaderTest, OpensSourcesReadOnly) {
    // The reader must never hold a writable descriptor: a read-only file opens all the same
    // and stays unchanged after reads.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_read);
    FileReadSeek reader;
    ASSERT_TRUE(reader.open(path_.string()));
    std::uint8_t sector[512];
    reader.read(sector, 512);
    EXPECT_EQ(test::readFileBytes(path_), bytes_);
}

}  // namespace
}  // namespace dravonel

namespace dravonel::test {
namespace {

// A positional read sees the base offset but leaves the shared position alone, on both
// readers; a position past the 64-bit range is refused instead of wrapping.
TEST(PositionalRead, IgnoresTheSharedPositionAndRefusesOverflow) {
    std::vector<std::uint8_t> bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i / 512 + 1);
    const std::filesystem::path path = makeTempDir("read-at") / "img";
    {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    FileReadSeek file;
    ASSERT_TRUE(file.open(path.string()));
    MemoryReadSeek memory(bytes);
    for (readWriteInterface* r : {static_cast<readWriteInterface*>(&file), static_cast<readWriteInterface*>(&memory)}) {
        r->baseOffset = 1024;
        ASSERT_TRUE(r->seek(0));
        std::uint8_t sector[512] = {};
        ASSERT_TRUE(r->readAt(512, sector, 512));
        EXPECT_EQ(sector[0], 4);
        ASSERT_TRUE(r->read(sector, 512));
        EXPECT_EQ(sector[0], 3) << "readAt moved the shared position";
        EXPECT_FALSE(r->readAt(INT64_MAX, sector, 512));
        EXPECT_FALSE(r->readAt(-2048, sector, 512));
        EXPECT_FALSE(r->readAt(3072, sector, 512)) << "past the end";
    }
}

}  // namespace
}  // namespace dravonel::test
