#pragma once
// The OEM code pages short FAT names are written in: 437 (the default), 850, 852, 866
// (single-byte tables) and 932 (Shift-JIS, through the C library's converter).
#include <cstdint>
#include <span>
#include <string>

namespace dravonel {

constexpr int kDefaultOemCodePage = 437;

// True for 437, 850, 852, 866 and 932.
bool isSupportedOemCodePage(int codePage);
// Bytes in codePage to UTF-16; an unsupported code page is read as 437, and bytes that do
// not decode become U+FFFD.
std::u16string fromOemCodePage(std::span<const std::uint8_t> bytes, int codePage);

}  // namespace dravonel
