#pragma once
// Text conversions. The system keeps names as UTF-16 (std::u16string) and shows and
// writes them as UTF-8; 8-bit on-disk names are Windows-1252.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dravonel {

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string toUtf8(std::u16string_view text);
// UTF-8 to UTF-16; malformed bytes become U+FFFD.
std::u16string fromUtf8(std::string_view text);
// Shorthand for the system's own ASCII/UTF-8 texts.
inline std::u16string u16(std::string_view text) { return fromUtf8(text); }

// Windows-1252 bytes to UTF-16 (the five unassigned bytes map to the C1 code points,
// as Windows does).
std::u16string fromWindows1252(std::span<const std::uint8_t> bytes);
std::u16string fromWindows1252(std::string_view bytes);
// UTF-16 to Windows-1252; characters with no equivalent become '?'.
std::string toWindows1252(std::u16string_view text);

// UTF-16LE code units from an on-disk buffer (count units starting at bytes[0]).
std::u16string fromUtf16Le(const std::uint8_t* bytes, std::size_t units);

// printf into a 255-character buffer and widen: the system's fixed texts are built so.
std::u16string format16(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format8(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Cut white space (space, tab, CR, LF) at the ends.
std::u16string trimRight(std::u16string_view text);
std::u16string trimLeft(std::u16string_view text);
std::u16string trim(std::u16string_view text);

// Compare without regard to ASCII case.
bool equalsNoCase(std::u16string_view a, std::u16string_view b);
bool equalsNoCase(std::string_view a, std::string_view b);

}  // namespace dravonel
