// Containers written by ewfacquire and qemu-img, and a split raw set, read back as the raw
// disk they were made from (tools/make_container_fixtures.sh); damaged sets say why.
#include "core/device/image_container.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;

nlohmann::json manifest() {
    std::ifstream in(fixturePath("container_fixtures.json"));
    return nlohmann::json::parse(in);
}

// The whole media, read in pieces that cross chunk and segment borders.
std::string media(const ImageContainer& image) {
    std::string bytes(std::size_t(image.mediaBytes()), '\0');
    constexpr std::uint32_t kPiece = 96 * 1024 + 512;
    for (std::int64_t at = 0; at < image.mediaBytes(); at += kPiece) {
        const auto n = std::uint32_t(std::min<std::int64_t>(kPiece, image.mediaBytes() - at));
        EXPECT_TRUE(image.readAt(at, reinterpret_cast<std::uint8_t*>(bytes.data()) + at, n)) << at;
    }
    return bytes;
}

struct ContainerCase {
    const char* file;
    ImageFormat format;
    std::size_t files;
};

class Containers : public ::testing::TestWithParam<ContainerCase> {};

TEST_P(Containers, ReadBackAsTheRawDisk) {
    const ContainerCase c = GetParam();
    const auto m = manifest();
    EXPECT_EQ(detectImageFormat(fixturePath(c.file).string()), c.format);
    std::string error;
    const auto image = openImageContainer(fixturePath(c.file).string(), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->format(), c.format);
    EXPECT_EQ(image->files().size(), c.files);
    const bool child = std::string(c.file) == "container_child.qcow2";
    const auto& want = child ? m["child"] : m;
    EXPECT_EQ(image->mediaBytes(), want["bytes"].get<std::int64_t>());
    EXPECT_EQ(sha256Hex(media(*image)), want["sha256"].get<std::string>());
    // Past the media's end: zeros, and said.
    std::uint8_t tail[1024];
    std::memset(tail, 0xAB, sizeof tail);
    EXPECT_FALSE(image->readAt(image->mediaBytes() - 512, tail, sizeof tail));
    EXPECT_EQ(tail[1023], 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Containers,
                         ::testing::Values(ContainerCase{"container_ewf.E01", ImageFormat::Ewf, 4},
                                           ContainerCase{"container.vhd", ImageFormat::Vhd, 1},
                                           ContainerCase{"container_fixed.vhd", ImageFormat::Vhd, 1},
                                           ContainerCase{"container.vhdx", ImageFormat::Vhdx, 1},
                                           ContainerCase{"container.vmdk", ImageFormat::Vmdk, 1},
                                           ContainerCase{"container.qcow2", ImageFormat::Qcow, 1},
                                           ContainerCase{"container_child.qcow2", ImageFormat::Qcow, 2},
                                           ContainerCase{"container_split.001", ImageFormat::SplitRaw, 4}),
                         [](const auto& info) {
                             std::string n = info.param.file;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(Containers, APlainImageAndALaterSegmentAreReadDirectly) {
    std::string error;
    EXPECT_EQ(openImageContainer(fixturePath("hfs_mbr_disk.img").string(), error), nullptr);
    EXPECT_TRUE(error.empty()) << error;
    EXPECT_EQ(detectImageFormat(fixturePath("container_split.002").string()), ImageFormat::Raw);
}

// A damaged set: copies of the fixtures with a piece gone or changed.
struct DamageCase {
    const char* name;
    std::vector<const char*> copied;  // files copied into a folder of their own; the first is opened
    void (*damage)(const fs::path& folder);
    const char* said;  // part of the message
};

void truncateTo(const fs::path& file, std::uintmax_t bytes) { fs::resize_file(file, bytes); }

TEST(DamagedContainers, SayWhatIsMissingOrWrongWithThePath) {
    const DamageCase cases[] = {
        {"child without its backing file", {"container_child.qcow2"}, [](const fs::path&) {}, "container.qcow2"},
        {"E01 set missing a segment",
         {"container_ewf.E01", "container_ewf.E02", "container_ewf.E04"},
         [](const fs::path&) {},
         "container_ewf.E01"},
        {"truncated QCOW2", {"container.qcow2"}, [](const fs::path& d) { truncateTo(d / "container.qcow2", 100); },
         "container.qcow2"},
        {"VHD footer that lies",
         {"container_fixed.vhd"},
         [](const fs::path& d) {
             // The disk size in the footer (offset 48 of the last sector) made absurd.
             std::fstream f(d / "container_fixed.vhd", std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(-512 + 40, std::ios::end);
             const char huge[16] = {char(0x7f), char(0xff), char(0xff), char(0xff), char(0xff), char(0xff),
                                    char(0xff), char(0xff), char(0x7f), char(0xff), char(0xff), char(0xff),
                                    char(0xff), char(0xff), char(0xff), char(0xff)};
             f.write(huge, sizeof huge);
         },
         "container_fixed.vhd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = makeTempDir("container-damage");
        for (const char* f : c.copied) fs::copy_file(fixturePath(f), dir / f);
        c.damage(dir);
        std::string error;
        const auto image = openImageContainer((dir / c.copied.front()).string(), error);
        if (image) {
            // Opened after all: then every read past what is there is said, never a crash.
            std::string bytes(std::size_t(std::min<std::int64_t>(image->mediaBytes(), 4 << 20)), '\0');
            bool all = true;
            for (std::int64_t at = 0; at + 65536 <= std::int64_t(bytes.size()); at += 65536)
                all = image->readAt(at, reinterpret_cast<std::uint8_t*>(bytes.data()) + at, 65536) && all;
            EXPECT_FALSE(all) << "a damaged container read whole";
        } else {
            EXPECT_NE(error.find(c.said), std::string::npos) << error;
            EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
        }
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace dravonel::test
