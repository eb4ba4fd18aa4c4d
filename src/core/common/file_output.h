#pragma once
// Writing to output files (never to a source).
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace dravonel {

// Writes all count bytes, retrying after signals and partial writes; false on an error.
inline bool writeAll(int fd, const std::uint8_t* data, std::size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace dravonel
