#include "core/common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/common/file_output.h"

namespace dravonel {

OutputFile::~OutputFile() { close(); }

bool OutputFile::create(const std::filesystem::path& target) {
    close();
    written_ = 0;
    unreadableSectors_ = 0;
    error_ = 0;
    created_ = false;
    fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ >= 0) {
        created_ = true;
    } else if (errno == EEXIST) {
        fd_ = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    }
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    path_ = target;
    return true;
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
        path_.clear();
    }
}

}  // namespace dravonel
