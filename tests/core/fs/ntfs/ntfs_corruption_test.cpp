// Damaged images must neither crash the NTFS parser nor make it loop: random bytes of a
// real MFT (and now and then of the boot sector) are overwritten, then the volume is
// scanned, listed and its smaller files saved. Seeded, so every run sees the same damage.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "core/fs/ntfs/ntfs.h"
#include "core/fs/ntfs/ntfs_test_support.h"

namespace dravonel::test {
namespace {

TEST(NtfsCorruption, RandomDamageToTheMftIsSurvived) {
    const std::vector<std::uint8_t> pristine = fixtureBytes("ntfs_basic.img");
    ASSERT_FALSE(pristine.empty());
    const std::uint64_t mft = ntfsManifest()["ntfs_basic.img"]["mftOffset"];
    std::mt19937_64 rng(20261209);
    const auto dir = makeTempDir("ntfs-corrupt");
    for (int iteration = 0; iteration < 40; ++iteration) {
        std::vector<std::uint8_t> bytes = pristine;
        const int damage = 1 + int(rng() % 64);
        for (int k = 0; k < damage; ++k) {
            // Mostly inside the first 120 records; headers and attribute headers get hit often.
            const std::uint64_t at = mft + rng() % (120 * 1024);
            bytes[at] = std::uint8_t(rng());
        }
        if (iteration % 4 == 3) bytes[0x0B + rng() % 0x2D] = std::uint8_t(rng());
        ScannedImage img("ntfs_basic.img", "16", std::move(bytes));
        img.scan(iteration % 5 == 4 ? 3 : 1);
        const auto& entries = img.parser->entries;
        int saved = 0;
        for (std::uint64_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].hasName) continue;
            img.parser->sizeText(i);
            img.parser->timesText(i);
            // Saving is bounded here by the test only: a damaged size can name terabytes of
            // sparse zeros, which the user would stop.
            if (saved < 40 && !entries[i].isFolder() && img.parser->dataSize(i) <= (8u << 20)) {
                saveToFile(*img.parser, i, dir / "out");
                ++saved;
            }
        }
        // Chains stay finite and inside the list.
        for (std::uint64_t i = 0; i < entries.size(); ++i) EXPECT_LE(img.children(i).size(), entries.size());
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace dravonel::test
