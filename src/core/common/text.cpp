#include "core/common/text.h"

#include <cstdarg>
#include <cstdio>

namespace dravonel {

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t len = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > text.size()) {
                len = 1;
            } else {
                std::uint32_t v = b & (0x7F >> len);
                bool ok = true;
                for (std::size_t k = 1; k < len; ++k) {
                    unsigned char cont = static_cast<unsigned char>(text[i + k]);
                    if ((cont & 0xC0) != 0x80) { ok = false; break; }
                    v = (v << 6) | (cont & 0x3F);
                }
                static constexpr std::uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
                if (ok && v >= kMin[len] && v <= 0x10FFFF && !(v >= 0xD800 && v <= 0xDFFF)) {
                    c = v;
                } else {
                    len = 1;
                }
            }
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
        i += len;
    }
    return out;
}

namespace {
// Windows-1252 bytes 0x80-0x9F; the unassigned ones keep their C1 code points.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
}  // namespace

std::u16string fromWindows1252(std::span<const std::uint8_t> bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (std::uint8_t b : bytes) out.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : char16_t(b));
    return out;
}

std::u16string fromWindows1252(std::string_view bytes) {
    return fromWindows1252(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string toWindows1252(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out.push_back(char(c));
            continue;
        }
        char mapped = '?';
        for (int k = 0; k < 32; ++k) {
            if (kCp1252High[k] == c) { mapped = char(0x80 + k); break; }
        }
        out.push_back(mapped);
    }
    return out;
}

std::u16string fromUtf16Le(const std::uint8_t* bytes, std::size_t units) {
    std::u16string out(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) out[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return out;
}

std::string format8(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::u16string format16(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return fromUtf8(buf);
}

namespace {
bool isSpace16(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
char16_t lower16(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; }
}  // namespace

std::u16string trimRight(std::u16string_view text) {
    std::size_t end = text.size();
    while (end > 0 && isSpace16(text[end - 1])) --end;
    return std::u16string(text.substr(0, end));
}

std::u16string trimLeft(std::u16string_view text) {
    std::size_t start = 0;
    while (start < text.size() && isSpace16(text[start])) ++start;
    return std::u16string(text.substr(start));
}

std::u16string trim(std::u16string_view text) { return trimLeft(trimRight(text)); }

bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower16(a[i]) != lower16(b[i])) return false;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return equalsNoCase(fromUtf8(a), fromUtf8(b)); }

}  // namespace dravonel
