#include "core/device/drive_list.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "core/common/byte_reader.h"
#include "core/common/text.h"

namespace dravonel {

namespace {

std::string readTrimmed(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) return {};
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescapeMountField(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out.push_back(static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::u16string systemFileSystemName(const std::string& type, const std::vector<std::uint8_t>& boot) {
    const bool haveBoot = boot.size() >= 512;
    if (type == "ntfs" || type == "ntfs3") return u"NTFS";
    if (type == "fuseblk") {
        if (haveBoot && std::equal(boot.begin() + 3, boot.begin() + 8, "EXFAT")) return u"exFAT";
        return u"NTFS";
    }
    if (type == "vfat" || type == "msdos") {
        // 16-bit sectors per FAT at offset 22 is 0 on FAT32.
        if (haveBoot && le16(boot.data(), 22) == 0) return u"FAT32";
        return u"FAT";
    }
    if (type == "exfat") return u"exFAT";
    if (type == "ext2" || type == "ext3" || type == "ext4") return u"extX";
    if (type == "hfsplus") return u"HFS+";
    return fromUtf8(type);
}

}  // namespace

DriveListRoots systemRoots() {
    DriveListRoots roots;
    roots.volumeBytes = [](const std::string& mountPoint) -> std::int64_t {
        struct statvfs st {};
        if (::statvfs(mountPoint.c_str(), &st) != 0) return 0;
        return static_cast<std::int64_t>(st.f_blocks) * static_cast<std::int64_t>(st.f_frsize);
    };
    roots.bootSector = [](const std::string& device) {
        std::vector<std::uint8_t> b(512);
        const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return std::vector<std::uint8_t>{};
        const ssize_t n = ::pread(fd, b.data(), b.size(), 0);
        ::close(fd);
        if (n != 512) b.clear();
        return b;
    };
    return roots;
}

std::vector<PhysicalDrive> listPhysicalDrives(const DriveListRoots& roots) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(roots.sysBlock, ec)) {
        const std::string name = entry.path().filename().string();
        if (startsWith(name, "ram") || startsWith(name, "zram")) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::vector<PhysicalDrive> drives;
    for (const auto& name : names) {
        const std::filesystem::path dir = std::filesystem::path(roots.sysBlock) / name;
        const std::string sizeText = readTrimmed(dir / "size");  // 512-byte sectors
        std::int64_t sectors = 0;
        try {
            sectors = sizeText.empty() ? 0 : std::stoll(sizeText);
        } catch (...) {
            sectors = 0;
        }
        if (startsWith(name, "loop") && sectors == 0) continue;
        PhysicalDrive d;
        d.number = static_cast<int>(drives.size());
        d.devicePath = (std::filesystem::path(roots.dev) / name).string();
        d.sizeBytes = sectors * 512;
        // SCSI and SATA disks name their model (and vendor), NVMe disks their model, SD and
        // MMC cards a product name. A virtio disk has only its bus's vendor number
        // ("0x1af4"), and SATA disks the bus word "ATA": neither names the drive.
        std::string vendor = readTrimmed(dir / "device" / "vendor");
        if (startsWith(vendor, "0x") || vendor == "ATA") vendor.clear();
        std::string model = readTrimmed(dir / "device" / "model");
        if (model.empty()) model = readTrimmed(dir / "device" / "name");
        std::string text = model.empty() ? std::string() : vendor.empty() ? model : vendor + " " + model;
        d.text = fromUtf8(text.empty() ? d.devicePath : text);
        drives.push_back(std::move(d));
    }
    return drives;
}

std::vector<VolumeRecord> listMountedVolumes(const DriveListRoots& roots) {
    std::vector<VolumeRecord> volumes;
    std::ifstream in(roots.mountInfo);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string f; fields >> f;) parts.push_back(f);
        const auto dash = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 5 || dash == parts.end() || std::distance(dash, parts.end()) < 3) continue;
        const std::string mountPoint = unescapeMountField(parts[4]);
        const std::string type = *(dash + 1);
        const std::string source = unescapeMountField(*(dash + 2));
        if (!startsWith(source, "/dev/")) continue;  // block devices only
        if (!seen.insert(source).second) continue;
        VolumeRecord r;
        const auto boot = roots.bootSector ? roots.bootSector(source) : std::vector<std::uint8_t>{};
        r.fileSystem = systemFileSystemName(type, boot);
        r.rootPath = fromUtf8(mountPoint);
        r.name = fromUtf8(source);
        const std::int64_t bytes = roots.volumeBytes ? roots.volumeBytes(mountPoint) : 0;
        r.sizeMbText = format16("%d  MB", static_cast<int>(bytes >> 20));
        r.startSector = 0;
        volumes.push_back(std::move(r));
    }
    return volumes;
}

}  // namespace dravonel
