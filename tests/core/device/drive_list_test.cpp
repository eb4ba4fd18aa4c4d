#include "core/device/drive_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <fstream>

#include "core/common/text.h"
#include "support/test_support.h"

namespace dravonel {
namespace {

void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

class DriveListTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test::makeTempDir("sysfs");
        roots_.sysBlock = (root_ / "block").string();
        roots_.dev = "/dev";
        roots_.mountInfo = (root_ / "mountinfo").string();
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::filesystem::path root_;
    DriveListRoots roots_;
};

TEST_F(DriveListTest, WholeDisksInNameOrderWithModelTexts) {
    write(root_ / "block/sdb/size", "2048\n");
    write(root_ / "block/sda/size", "1024\n");
    write(root_ / "block/sda/device/vendor", "ATA     \n");
    write(root_ / "block/sda/device/model", "  Samsung SSD 860  \n");
    write(root_ / "block/ram0/size", "8192\n");
    write(root_ / "block/zram0/size", "8192\n");
    write(root_ / "block/loop0/size", "0\n");
    write(root_ / "block/loop1/size", "100\n");
    const auto drives = listPhysicalDrives(roots_);
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].devicePath, "/dev/loop1");
    EXPECT_EQ(drives[0].text, u"/dev/loop1");  // no model: the device path
    EXPECT_EQ(drives[1].devicePath, "/dev/sda");
    EXPECT_EQ(drives[1].number, 1);
    EXPECT_EQ(drives[1].text, u"Samsung SSD 860");  // "ATA" is the bus, not the vendor
    EXPECT_EQ(drives[1].sizeBytes, 1024 * 512);
    EXPECT_EQ(drives[2].devicePath, "/dev/sdb");
}

// What each kind of disk says of itself in sysfs, and the name the list gives it.
TEST_F(DriveListTest, DrivesAreNamedByTheirModelNotABusNumber) {
    struct Case {
        const char* disk;
        const char* vendor;
        const char* model;
        const char* name;
        const char16_t* text;
    };
    const Case cases[] = {
        {"vda", "0x1af4", nullptr, nullptr, u"/dev/vda"},                  // virtio: a vendor number only
        {"sda", "ATA     ", "WDC WD10EZEX-08W", nullptr, u"WDC WD10EZEX-08W"},  // SATA behind the ATA bus word
        {"sdb", "SanDisk ", "Cruzer Blade    ", nullptr, u"SanDisk Cruzer Blade"},  // a USB stick's vendor
        {"nvme0n1", nullptr, "Samsung SSD 970 EVO 1TB", nullptr, u"Samsung SSD 970 EVO 1TB"},
        {"mmcblk0", nullptr, nullptr, "SD32G", u"SD32G"},                  // an SD card's product name
    };
    for (const Case& c : cases) {
        const std::filesystem::path dir = root_ / "block" / c.disk;
        write(dir / "size", "2048\n");
        if (c.vendor) write(dir / "device/vendor", std::string(c.vendor) + "\n");
        if (c.model) write(dir / "device/model", std::string(c.model) + "\n");
        if (c.name) write(dir / "device/name", std::string(c.name) + "\n");
    }
    const auto drives = listPhysicalDrives(roots_);
    ASSERT_EQ(drives.size(), std::size(cases));
    for (const Case& c : cases) {
        const std::string path = std::string("/dev/") + c.disk;
        const auto it = std::find_if(drives.begin(), drives.end(), [&](const PhysicalDrive& d) { return d.devicePath == path; });
        ASSERT_NE(it, drives.end()) << c.disk;
        EXPECT_EQ(toUtf8(it->text), toUtf8(c.text)) << c.disk;
        EXPECT_EQ(it->sizeBytes, 2048 * 512) << c.disk;
    }
}

TEST_F(DriveListTest, MountedBlockDevicesInTheSystemsWords) {
    write(root_ / "mountinfo",
          "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
          "30 22 0:5 / /proc rw - proc proc rw\n"
          "40 22 8:17 / /media/usb\\040stick rw,relatime shared:1 - vfat /dev/sdb1 rw\n"
          "41 22 8:18 / /media/win rw - fuseblk /dev/sdb2 rw\n"
          "42 22 8:19 / /media/x rw - exfat /dev/sdb3 rw\n"
          "43 22 8:1 / /bind rw - ext4 /dev/sda1 rw\n");
    roots_.volumeBytes = [](const std::string& mount) -> std::int64_t { return mount == "/" ? 3LL << 30 : 0; };
    roots_.bootSector = [](const std::string& dev) {
        std::vector<std::uint8_t> b(512, 0);
        if (dev == "/dev/sdb1") b[22] = 0;  // FAT32: 16-bit sectors per FAT is 0
        if (dev == "/dev/sdb2") std::memcpy(b.data() + 3, "NTFS    ", 8);
        return b;
    };
    const auto volumes = listMountedVolumes(roots_);
    ASSERT_EQ(volumes.size(), 4u);
    EXPECT_EQ(volumes[0].fileSystem, u"extX");
    EXPECT_EQ(volumes[0].rootPath, u"/");
    EXPECT_EQ(volumes[0].name, u"/dev/sda1");
    EXPECT_EQ(volumes[0].sizeMbText, u"3072  MB");
    EXPECT_EQ(volumes[1].fileSystem, u"FAT32");
    EXPECT_EQ(volumes[1].rootPath, u"/media/usb stick");
    EXPECT_EQ(volumes[2].fileSystem, u"NTFS");
    EXPECT_EQ(volumes[3].fileSystem, u"exFAT");
}

}  // namespace
}  // namespace dravonel
