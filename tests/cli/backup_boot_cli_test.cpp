#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <vector>

#include "support/sha256_digest.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

using test::fileText;

nlohmann::json backupManifest() {
    std::ifstream in(test::fixturePath("backup_fixtures.json"));
    return nlohmann::json::parse(in);
}

// Every lost volume is listed once, at its true start, by the surface scan; one without
// any boot sector is not, and a scan that lists nothing exits 1.
TEST(BackupBootCli, DeepScanListsEachVolumeOnceAtItsTrueStart) {
    const auto manifest = backupManifest();
    for (auto it = manifest.begin(); it != manifest.end(); ++it) {
        const std::string image = it.key();
        const auto& m = it.value();
        SCOPED_TRACE(image);
        std::string expected;
        int n = 0;
        for (const auto& v : m["volumes"]) {
            if (!v.value("listed", true)) continue;
            const auto fs = v["fileSystem"].get<std::string>();
            const long long mb = v["sectors"].get<long long>() / 2048 - (fs == "NTFS" ? 1 : 0);
            expected += std::to_string(n++) + "\t" + fs + "\t" + std::to_string(mb) + (fs == "NTFS" ? "   MB\t" : "  MB\t") +
                        std::to_string(v["startSector"].get<long long>()) + "\n";
        }
        const auto r = test::runCli({"deep-scan", test::fixturePath(image).string()});
        EXPECT_EQ(r.exitCode, n > 0 ? 0 : 1) << r.err;
        EXPECT_EQ(r.out, expected);
    }
}

// Files come back byte-exact through the boot sector's copy where the boot sector is gone,
// from volumes whose sectors are larger than 512 bytes (whose copy, MFT and FATs lie at
// multiples of their own sector size), and from an NTFS volume without any boot sector
// (found by the search for its MFT, or by deep mode's scan of its records, which runs
// whatever the boot sector holds).
TEST(BackupBootCli, RecoverReadsThroughTheBootSectorCopy) {
    const auto manifest = backupManifest();
    struct Case {
        const char* image;
        int volume;                  // in the manifest's list
        const char* mode = nullptr;  // --mode
    };
    const Case cases[] = {
        {"lost_ntfs_disk.img", 0},         {"lost_fat32.img", 0},
        {"lost_exfat.img", 0},             {"lost_fat32_2k.img", 0},
        {"lost_ntfs_4k.img", 0},           {"lost_exfat_4k.img", 0},
        {"bigsector_disk.img", 0},         {"bigsector_disk.img", 1},
        {"lost_ntfs_disk.img", 0, "deep"}, {"lost_ntfs_noboot_disk.img", 0, "standard"},
        {"lost_ntfs_noboot_disk.img", 0, "deep"}, {"lost_ntfs_4k.img", 0, "deep"},
    };
    for (const auto& [image, volume, mode] : cases) {
        SCOPED_TRACE(std::string(image) + " volume " + std::to_string(volume) + (mode ? std::string(" ") + mode : ""));
        const auto& v = manifest[image]["volumes"][volume];
        const auto dir = test::makeTempDir("backup-boot");
        const std::string fs = v["fileSystem"] == "FAT64" ? "exfat" : v["fileSystem"].get<std::string>();
        std::vector<std::string> args{"recover", test::fixturePath(image).string(), "--fs", fs, "--start-sector",
                                      std::to_string(v["startSector"].get<long long>()), "--out", (dir / "out").string()};
        if (mode) args.insert(args.end(), {"--mode", mode});
        const auto r = test::runCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::filesystem::path root = dir / "out";
        for (const auto& f : manifest[image]["files"]) {
            // Saved below the volume's root folder, however the parser names it.
            std::filesystem::path found;
            for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
                const auto rel = e.path().generic_string();
                const auto want = "/" + f["path"].get<std::string>();
                if (rel.size() >= want.size() && rel.compare(rel.size() - want.size(), want.size(), want) == 0) found = e.path();
            }
            ASSERT_FALSE(found.empty()) << f["path"];
            EXPECT_EQ(test::sha256Hex(fileText(found)), f["sha256"].get<std::string>()) << f["path"];
        }
        std::filesystem::remove_all(dir);
    }
}

// The sector of a boot sector's copy is no volume start: nothing is saved, exit 1, and the
// message names the volume the copy belongs to (NTFS after its search for the MFT; FAT32
// and exFAT before their parsers take the copy for the volume's own boot sector).
TEST(BackupBootCli, NothingFoundExitsOne) {
    const auto dir = test::makeTempDir("backup-none");
    struct Case {
        const char* image;
        const char* fs;
        const char* sector;
        const char* searched;  // what the parser looked for, when it ran
    };
    const Case cases[] = {
        {"lost_ntfs_disk.img", "ntfs", "18431", "no MFT record found"},
        {"lost_ntfs_4k.img", "ntfs", "16376", "no MFT record found"},
        {"lost_fat32.img", "fat32", "6", nullptr},
        {"lost_fat32_2k.img", "fat32", "24", nullptr},
        {"lost_exfat_4k.img", "exfat", "96", nullptr},
    };
    const auto manifest = backupManifest();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.image) + " at " + c.sector);
        const auto out = dir / (std::string(c.image) + c.sector);
        const auto r = test::runCli({"recover", test::fixturePath(c.image).string(), "--fs", c.fs, "--start-sector",
                                     c.sector, "--out", out.string()});
        EXPECT_EQ(r.exitCode, 1);
        if (c.searched) {
            EXPECT_NE(r.err.find(c.searched), std::string::npos) << r.err;
        }
        const std::string owner = std::to_string(manifest[c.image]["volumes"][0]["startSector"].get<long long>());
        EXPECT_NE(r.err.find("sector " + std::string(c.sector) +
                             " holds the copy of the boot sector of a volume starting at sector " + owner),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(!std::filesystem::exists(out) || std::filesystem::is_empty(out));
    }
    const auto none = test::runCli({"deep-scan", test::fixturePath("lost_ntfs_disk.img").string(), "--start-sector", "19000"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no volume found"), std::string::npos) << none.err;
    std::filesystem::remove_all(dir);
}

// HFS+ in an MBR partition of type 0xAF, and an HFSX (case-sensitive) volume: listed as
// HFS+ volumes and read by the same parser, every file byte-exact.
TEST(HfsVariantsCli, ListedAndSavedLikeHfsPlus) {
    struct Case {
        const char* image;
        const char* row;
        std::vector<std::string> volume;
    };
    const Case cases[] = {
        {"hfs_mbr_disk.img", "G0\tHFS+\t1   MB\t2048\n", {"--volume", "0"}},
        {"hfsx.img", "G0\tHFS+\t1   MB\t0\n", {"--fs", "hfs+"}},
    };
    std::ifstream in(test::fixturePath("hfsplus_files.json"));
    const auto manifest = nlohmann::json::parse(in);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const auto rows = test::runCli({"partitions", test::fixturePath(c.image).string()});
        EXPECT_EQ(rows.exitCode, 0) << rows.err;
        EXPECT_EQ(rows.out, c.row);
        const auto dir = test::makeTempDir("hfs-variant");
        std::vector<std::string> args{"recover", test::fixturePath(c.image).string()};
        args.insert(args.end(), c.volume.begin(), c.volume.end());
        args.insert(args.end(), {"--out", (dir / "out").string()});
        const auto r = test::runCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        int files = 0;
        for (const auto& item : manifest["items"]) {
            if (item["kind"] != "file") continue;
            ++files;
            const auto saved = dir / "out" / item["path"].get<std::string>();
            EXPECT_EQ(test::sha256Hex(fileText(saved)), item["sha256"].get<std::string>()) << saved;
        }
        EXPECT_EQ(files, 5);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
}  // namespace dravonel
