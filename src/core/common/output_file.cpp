#include "core/common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "core/common/file_output.h"

namespace dravonel {

namespace {

struct GuardState {
    std::mutex lock;
    std::vector<SourceIdentity> sources;
    bool allowSameDevice = false;
    std::map<dev_t, dev_t> diskOf;  // a block device -> the whole disk it belongs to
};

GuardState& guard() {
    static GuardState state;
    return state;
}

// The whole disk a block device belongs to: the device itself unless sysfs marks it as a
// partition, then its parent disk ("/sys/dev/block/MAJ:MIN" is a link into the disk's
// folder, which holds the partition's folder). Called with the guard's lock held.
dev_t wholeDisk(GuardState& g, dev_t dev) {
    const auto known = g.diskOf.find(dev);
    if (known != g.diskOf.end()) return known->second;
    dev_t disk = dev;
    const std::filesystem::path node =
        "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::error_code ec;
    if (std::filesystem::exists(node / "partition", ec)) {
        const std::filesystem::path real = std::filesystem::canonical(node, ec);
        std::ifstream in(real.parent_path() / "dev");
        unsigned maj = 0, min = 0;
        char colon = 0;
        if (!ec && in >> maj >> colon >> min && colon == ':') disk = makedev(maj, min);
    }
    g.diskOf.emplace(dev, disk);
    return disk;
}

// The nearest existing ancestor of p (p itself when it exists), followed through links.
bool statExisting(std::filesystem::path p, struct stat& st) {
    std::error_code ec;
    p = std::filesystem::absolute(p, ec);
    for (;;) {
        if (::stat(p.c_str(), &st) == 0) return true;
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
}

std::string deviceRule(GuardState& g, const struct stat& folder, const std::filesystem::path& shown) {
    for (const SourceIdentity& s : g.sources) {
        if (s.blockDevice == 0) continue;
        if (folder.st_dev == s.blockDevice || wholeDisk(g, folder.st_dev) == s.blockDevice)
            return "the output folder " + shown.string() + " is on the source device " + s.path;
    }
    return {};
}

}  // namespace

void SourceGuard::protect(int fd, const std::string& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    SourceIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.blockDevice = S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    id.path = ec ? path : absolute.lexically_normal().string();
    for (const SourceIdentity& s : g.sources)
        if (s.device == id.device && s.inode == id.inode) return;
    g.sources.push_back(std::move(id));
}

void SourceGuard::reset() {
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    g.sources.clear();
    g.allowSameDevice = false;
}

void SourceGuard::allowSameDevice(bool allow) {
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    g.allowSameDevice = allow;
}

std::string SourceGuard::folderConflict(const std::filesystem::path& folder) {
    struct stat at {};
    if (!statExisting(folder, at)) return {};
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    if (g.allowSameDevice) return {};
    if (std::string text = deviceRule(g, at, folder); !text.empty()) return text;
    // A folder still to be made holds nothing yet.
    struct stat self {};
    if (::stat(folder.c_str(), &self) != 0) return {};
    for (const SourceIdentity& s : g.sources) {
        if (s.blockDevice != 0) continue;
        // Is folder one of the image's ancestors?
        std::filesystem::path up = std::filesystem::path(s.path).parent_path();
        for (;;) {
            struct stat st {};
            if (::stat(up.c_str(), &st) == 0 && st.st_dev == at.st_dev && st.st_ino == at.st_ino)
                return "the output folder " + folder.string() + " holds the source image " + s.path;
            if (!up.has_relative_path()) break;
            up = up.parent_path();
        }
    }
    return {};
}

std::string SourceGuard::targetConflict(const std::filesystem::path& folder) {
    struct stat at {};
    if (!statExisting(folder, at)) return {};
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    if (g.allowSameDevice) return {};
    return deviceRule(g, at, folder);
}

bool SourceGuard::isSource(const struct stat& st) {
    GuardState& g = guard();
    std::lock_guard<std::mutex> hold(g.lock);
    for (const SourceIdentity& s : g.sources) {
        if (st.st_dev == s.device && st.st_ino == s.inode) return true;
        if (S_ISBLK(st.st_mode) && s.blockDevice != 0 && st.st_rdev == s.blockDevice) return true;
    }
    return false;
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::filesystem::path& target) {
    close();
    written_ = 0;
    unreadableSectors_ = 0;
    error_ = 0;
    refusal_.clear();
    damage_.clear();
    created_ = false;
    path_.clear();
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    if (std::string conflict = SourceGuard::targetConflict(folder); !conflict.empty()) {
        refusal_ = std::move(conflict);
        error_ = EPERM;
        return false;
    }
    // O_EXCL: a file that was there before (the user's, or the source image itself) is
    // never opened, so it can be neither truncated nor removed. O_NOFOLLOW with O_EXCL: a
    // link planted at the name is not followed either.
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) {
        error_ = errno;
        // The name is taken; when by the source itself, say so (the numbered form is next).
        struct stat st {};
        if (error_ == EEXIST && ::lstat(target.c_str(), &st) == 0 && SourceGuard::isSource(st))
            refusal_ = target.string() + " is the source";
        return false;
    }
    created_ = true;
    path_ = target;
    return true;
}

bool OutputFile::createNew(const std::filesystem::path& target) {
    const std::string name = target.filename().string();
    for (unsigned n = 0; n < 10000; ++n) {
        const std::filesystem::path candidate = n == 0 ? target : target.parent_path() / numberedName(name, n);
        if (create(candidate)) return true;
        if (error_ != EEXIST) return false;
    }
    return false;
}

std::string OutputFile::errorText() const {
    if (!refusal_.empty()) return refusal_;
    return error_ ? std::strerror(error_) : std::string();
}

bool OutputFile::write(const std::uint8_t* data, std::size_t count) {
    if (fd_ < 0) return false;
    if (!writeAll(fd_, data, count)) {
        if (error_ == 0) error_ = errno ? errno : EIO;
        return false;
    }
    written_ += count;
    return true;
}

bool OutputFile::writeZeros(std::uint64_t count) {
    static const std::uint8_t zeros[65536] = {};
    while (count > 0) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(count, sizeof zeros));
        if (!write(zeros, n)) return false;
        count -= n;
    }
    return true;
}

void OutputFile::noteDamage(const std::string& reason) {
    if (reason.empty()) return;
    if (!damage_.empty()) damage_ += "; ";
    damage_ += reason;
}

bool OutputFile::writeHole(std::uint64_t count) { return writeZeros(count); }

bool OutputFile::writeUnreadable(std::uint64_t count) {
    unreadableSectors_ += (count + 511) / 512;
    return writeZeros(count);
}

void OutputFile::stampTimes(const std::optional<timespec>& accessed, const std::optional<timespec>& modified) {
    if (fd_ < 0) return;
    timespec stamps[2];
    stamps[0] = accessed ? *accessed : timespec{0, UTIME_OMIT};
    stamps[1] = modified ? *modified : timespec{0, UTIME_OMIT};
    ::futimens(fd_, stamps);
}

bool OutputFile::close() {
    if (fd_ < 0) return error_ == 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && error_ == 0) error_ = errno;
    return error_ == 0;
}

void OutputFile::discard() {
    close();
    if (created_ && !path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        created_ = false;
    }
}

std::string cutUtf8(const std::string& s, std::size_t limit) {
    if (s.size() <= limit) return s;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    return s.substr(0, end);
}

std::string portableName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool refused = c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*", ch) != nullptr;
        out.push_back(refused ? '_' : ch);
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    return out.empty() ? std::string("_") : out;
}

bool nameRefused(int error, const std::filesystem::path& target) {
    if (error == EINVAL || error == EILSEQ || error == ENAMETOOLONG) return true;
    if (error != ENOENT) return false;
    std::error_code ec;
    const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    return std::filesystem::is_directory(folder, ec);
}

bool outputLost(int error) {
    return error == ENOSPC || error == EDQUOT || error == EROFS || error == EIO || error == ENODEV;
}

std::string numberedName(const std::string& name, unsigned n) {
    const std::string suffix = " (" + std::to_string(n) + ")";
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    std::string stem = name.substr(0, dot);
    const std::string ext = name.substr(dot);
    if (stem.size() + suffix.size() + ext.size() > kMaxNameBytes)
        stem = cutUtf8(stem, kMaxNameBytes > suffix.size() + ext.size() ? kMaxNameBytes - suffix.size() - ext.size() : 0);
    return stem + suffix + ext;
}

}  // namespace dravonel
