#include "core/raw/file_structure.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "core/common/byte_reader.h"

namespace dravonel {

namespace {

constexpr std::int64_t kChunk = 65536;

// Buffered, bounded access to the file's bytes: every read stays below the limit.
class Cursor {
public:
    Cursor(const ByteReadFn& read, std::int64_t limit) : read_(read), limit_(limit > 0 ? limit : 0) {
        buf_.resize(static_cast<std::size_t>(kChunk));
    }
    std::int64_t limit() const { return limit_; }

    // n bytes at `at` (n at most one chunk), or null when they reach past the limit or
    // cannot be read. The pointer is valid until the next call.
    const std::uint8_t* view(std::int64_t at, std::int64_t n) {
        if (at < 0 || n < 0 || n > kChunk || at > limit_ - n) return nullptr;
        if (at >= start_ && at + n <= start_ + len_) return buf_.data() + (at - start_);
        const std::int64_t want = std::min(kChunk, limit_ - at);
        start_ = at;
        len_ = static_cast<std::int64_t>(read_(at, buf_.data(), static_cast<std::size_t>(want)));
        if (len_ < 0 || len_ > want) len_ = 0;
        return len_ >= n ? buf_.data() : nullptr;
    }
    // Up to want bytes at `at` (at most one chunk, below the limit): got says how many
    // could be read; null when none.
    const std::uint8_t* some(std::int64_t at, std::int64_t want, std::int64_t& got) {
        got = 0;
        if (at < 0 || at >= limit_ || want <= 0) return nullptr;
        want = std::min({want, kChunk, limit_ - at});
        if (!(at >= start_ && at + want <= start_ + len_)) {
            const std::int64_t fetch = std::min(kChunk, limit_ - at);
            start_ = at;
            len_ = static_cast<std::int64_t>(read_(at, buf_.data(), static_cast<std::size_t>(fetch)));
            if (len_ < 0 || len_ > fetch) len_ = 0;
        }
        got = std::min(want, start_ + len_ - at);
        return got > 0 ? buf_.data() + (at - start_) : nullptr;
    }
    std::optional<std::uint8_t> byte(std::int64_t at) {
        const std::uint8_t* p = view(at, 1);
        return p ? std::optional<std::uint8_t>(*p) : std::nullopt;
    }
    bool equals(std::int64_t at, std::string_view text) {
        const std::uint8_t* p = view(at, static_cast<std::int64_t>(text.size()));
        return p && std::memcmp(p, text.data(), text.size()) == 0;
    }
    // First position p in [from, to) where text occurs whole below the limit and within
    // the readable bytes; -1 when none.
    std::int64_t find(std::int64_t from, std::int64_t to, std::string_view text) {
        const auto len = static_cast<std::int64_t>(text.size());
        to = std::min(to, limit_ - len + 1);
        while (from < to) {
            const std::int64_t want = std::min(kChunk, to - from + len - 1);
            std::int64_t got = 0;
            const std::uint8_t* v = some(from, want, got);
            if (!v || got < len) return -1;
            const std::uint8_t* p = v;
            const std::uint8_t* end = v + (got - len + 1);
            while (p < end) {
                p = static_cast<const std::uint8_t*>(std::memchr(p, text[0], static_cast<std::size_t>(end - p)));
                if (!p) break;
                if (std::memcmp(p, text.data(), text.size()) == 0) return from + (p - v);
                ++p;
            }
            from += got - len + 1;
        }
        return -1;
    }

private:
    const ByteReadFn& read_;
    std::int64_t limit_;
    std::vector<std::uint8_t> buf_;
    std::int64_t start_ = 0;
    std::int64_t len_ = 0;
};

using Size = std::optional<std::int64_t>;

bool fits(std::int64_t at, std::uint64_t length, std::int64_t limit) {
    return at >= 0 && at <= limit && length <= static_cast<std::uint64_t>(limit - at);
}

// JPEG: marker segments (each FF xx + a big-endian length that counts itself), entropy-
// coded data after every SOS up to the next marker that is not a restart marker or a
// stuffed FF 00; the file ends with the EOI (FF D9) that follows a scan. Segments are
// stepped over by their lengths, so a thumbnail inside APP1 cannot end the file.
Size walkJpeg(Cursor& c) {
    const std::uint8_t* h = c.view(0, 3);
    if (!h || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF) return {};
    std::int64_t pos = 2;
    bool sawScan = false;
    for (;;) {
        const std::uint8_t* m = c.view(pos, 2);
        if (!m || m[0] != 0xFF) return {};
        const std::uint8_t marker = m[1];
        if (marker == 0xFF) {  // fill byte before a marker
            pos += 1;
            continue;
        }
        if (marker == 0xD9) return sawScan ? Size(pos + 2) : Size();
        if (marker == 0xD8 || marker == 0x00) return {};
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        const std::uint8_t* l = c.view(pos + 2, 2);
        if (!l) return {};
        const std::uint16_t length = be16(l, 0);
        if (length < 2) return {};
        pos += 2 + length;
        if (marker != 0xDA) continue;
        sawScan = true;
        // Entropy-coded data: the next FF not followed by 00 or a restart marker.
        for (;;) {
            const std::int64_t ff = c.find(pos, c.limit(), "\xFF");
            if (ff < 0) return {};
            const auto next = c.byte(ff + 1);
            if (!next) return {};
            if (*next == 0x00 || (*next >= 0xD0 && *next <= 0xD7)) {
                pos = ff + 2;
            } else if (*next == 0xFF) {
                pos = ff + 1;
            } else {
                pos = ff;
                break;
            }
        }
    }
}

// PNG: the 8-byte signature, then chunks (length, type, data, CRC) from IHDR to IEND.
Size walkPng(Cursor& c) {
    if (!c.equals(0, "\x89PNG\r\n\x1A\n")) return {};
    std::int64_t pos = 8;
    bool first = true;
    for (;;) {
        const std::uint8_t* h = c.view(pos, 8);
        if (!h) return {};
        const std::uint32_t length = be32(h, 0);
        if (length > 0x7FFFFFFFu) return {};
        for (int i = 4; i < 8; ++i)
            if (!((h[i] >= 'A' && h[i] <= 'Z') || (h[i] >= 'a' && h[i] <= 'z'))) return {};
        if (first && std::memcmp(h + 4, "IHDR", 4) != 0) return {};
        const bool end = std::memcmp(h + 4, "IEND", 4) == 0;
        if (!fits(pos, 12ull + length, c.limit())) return {};
        pos += 12 + static_cast<std::int64_t>(length);
        if (end) return pos;
        first = false;
    }
}

// GIF: header and logical screen descriptor, global colour table, then extension blocks
// (21), images (2C) and their sub-blocks, up to the trailer 3B.
Size walkGif(Cursor& c) {
    const std::uint8_t* h = c.view(0, 13);
    if (!h || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return {};
    std::int64_t pos = 13;
    if (h[10] & 0x80) pos += 3ll << ((h[10] & 7) + 1);
    auto skipSubBlocks = [&]() {
        for (;;) {
            const auto n = c.byte(pos);
            if (!n) return false;
            pos += 1 + *n;
            if (*n == 0) return true;
        }
    };
    for (;;) {
        const auto b = c.byte(pos);
        if (!b) return {};
        if (*b == 0x3B) return pos + 1;
        if (*b == 0x21) {
            pos += 2;
            if (!skipSubBlocks()) return {};
        } else if (*b == 0x2C) {
            const std::uint8_t* d = c.view(pos, 10);
            if (!d) return {};
            const std::uint8_t flags = d[9];
            pos += 10;
            if (flags & 0x80) pos += 3ll << ((flags & 7) + 1);
            pos += 1;  // LZW minimum code size
            if (!skipSubBlocks()) return {};
        } else {
            return {};
        }
    }
}

// BMP: the file size at offset 2, with the reserved words zero, a known DIB header size
// at 14 and the pixel data offset at 10 inside the file.
Size walkBmp(Cursor& c) {
    const std::uint8_t* h = c.view(0, 18);
    if (!h || h[0] != 'B' || h[1] != 'M' || le32(h, 6) != 0) return {};
    const std::uint32_t size = le32(h, 2);
    const std::uint32_t pixels = le32(h, 10);
    const std::uint32_t dib = le32(h, 14);
    static constexpr std::uint32_t kDibSizes[] = {12, 16, 40, 52, 56, 64, 108, 124};
    if (std::find(std::begin(kDibSizes), std::end(kDibSizes), dib) == std::end(kDibSizes)) return {};
    if (pixels < 14 + dib || pixels > size || !fits(0, size, c.limit())) return {};
    return static_cast<std::int64_t>(size);
}

// RIFF (WAV, AVI, WebP): 8 + the size field at offset 4; an AVI over 1 GiB continues in
// RIFF "AVIX" chunks that follow at once.
Size walkRiff(Cursor& c) {
    const std::uint8_t* h = c.view(0, 12);
    if (!h || std::memcmp(h, "RIFF", 4) != 0) return {};
    for (int i = 8; i < 12; ++i)
        if (h[i] < 0x20 || h[i] > 0x7E) return {};
    const bool avi = std::memcmp(h + 8, "AVI ", 4) == 0;
    const std::uint32_t size = le32(h, 4);
    if (size < 4 || !fits(0, 8ull + size, c.limit())) return {};
    std::int64_t end = 8 + static_cast<std::int64_t>(size);
    while (avi) {
        const std::uint8_t* x = c.view(end, 12);
        if (!x || std::memcmp(x, "RIFF", 4) != 0 || std::memcmp(x + 8, "AVIX", 4) != 0) break;
        const std::uint32_t more = le32(x, 4);
        if (more < 4 || !fits(end, 8ull + more, c.limit())) break;
        end += 8 + static_cast<std::int64_t>(more);
    }
    return end;
}

constexpr std::uint32_t kZipLocal = 0x04034B50, kZipCentral = 0x02014B50, kZipEnd = 0x06054B50,
                        kZip64End = 0x06064B50, kZip64Locator = 0x07064B50;

// ZIP (and Office Open XML): local entries stepped over by their sizes, the central
// directory entry by entry, the ZIP64 end records, then the end-of-central-directory
// record and its comment. Entries whose sizes follow their data (flag bit 3) cannot be
// stepped over: the end record is then searched for and accepted when its central
// directory ends right before it.
Size walkZip(Cursor& c) {
    std::int64_t pos = 0;
    auto sigAt = [&](std::int64_t at) -> std::optional<std::uint32_t> {
        const std::uint8_t* p = c.view(at, 4);
        return p ? std::optional<std::uint32_t>(le32(p, 0)) : std::nullopt;
    };
    auto endRecord = [&](std::int64_t at) -> Size {
        const std::uint8_t* e = c.view(at, 22);
        if (!e) return {};
        const std::uint16_t comment = le16(e, 20);
        if (!fits(at, 22ull + comment, c.limit())) return {};
        return at + 22 + comment;
    };
    auto sig = sigAt(pos);
    if (!sig || *sig != kZipLocal) return {};
    bool searchEnd = false;
    while (sig && *sig == kZipLocal) {
        const std::uint8_t* h = c.view(pos, 30);
        if (!h) return {};
        const std::uint16_t flags = le16(h, 6);
        const std::uint32_t packed = le32(h, 18);
        if ((flags & 8) || packed == 0xFFFFFFFFu) {
            searchEnd = true;
            break;
        }
        const std::uint64_t step = 30ull + le16(h, 26) + le16(h, 28) + packed;
        if (!fits(pos, step, c.limit())) return {};
        pos += static_cast<std::int64_t>(step);
        sig = sigAt(pos);
    }
    if (!searchEnd) {
        while (sig && *sig == kZipCentral) {
            const std::uint8_t* h = c.view(pos, 46);
            if (!h) return {};
            const std::uint64_t step = 46ull + le16(h, 28) + le16(h, 30) + le16(h, 32);
            if (!fits(pos, step, c.limit())) return {};
            pos += static_cast<std::int64_t>(step);
            sig = sigAt(pos);
        }
        if (sig && *sig == kZip64End) {
            const std::uint8_t* h = c.view(pos, 12);
            if (!h) return {};
            const std::uint64_t step = 12ull + le64(h, 4);
            if (step < 56 || !fits(pos, step, c.limit())) return {};
            pos += static_cast<std::int64_t>(step);
            sig = sigAt(pos);
            if (sig && *sig == kZip64Locator) {
                pos += 20;
                sig = sigAt(pos);
            }
        }
        if (sig && *sig == kZipEnd) return endRecord(pos);
    }
    // Search for an end record that closes this archive's central directory.
    for (std::int64_t from = pos;;) {
        const std::int64_t at = c.find(from, c.limit(), "PK\x05\x06");
        if (at < 0) return {};
        const std::uint8_t* e = c.view(at, 22);
        if (!e) return {};
        const std::uint64_t cdSize = le32(e, 12), cdOffset = le32(e, 16);
        bool closes = cdOffset + cdSize == static_cast<std::uint64_t>(at);
        if (!closes && (cdOffset == 0xFFFFFFFFu || cdSize == 0xFFFFFFFFu) && at >= 20) {
            const auto loc = sigAt(at - 20);
            closes = loc && *loc == kZip64Locator;
        }
        if (closes) {
            if (const Size end = endRecord(at)) return end;
        }
        from = at + 1;
    }
}

bool isPdfSpace(std::uint8_t b) { return b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\f' || b == 0; }

// After a %%EOF: does what follows continue the same PDF (an incremental update, or the
// main part of a linearised file)? It does when, after white space, it opens with an
// object ("12 0 obj"), a cross-reference table ("xref") or a comment other than a new
// file's "%PDF-".
bool continuesPdf(Cursor& c, std::int64_t pos) {
    for (int i = 0; i < 64; ++i) {
        const auto b = c.byte(pos);
        if (!b) return false;
        if (!isPdfSpace(*b)) break;
        ++pos;
    }
    if (c.equals(pos, "xref")) return true;
    if (c.equals(pos, "%")) return !c.equals(pos, "%PDF-");
    std::int64_t p = pos;
    for (int part = 0; part < 2; ++part) {
        std::int64_t digits = 0;
        while (digits < 12) {
            const auto b = c.byte(p);
            if (!b || *b < '0' || *b > '9') break;
            ++p;
            ++digits;
        }
        if (digits == 0 || !c.equals(p, " ")) return false;
        ++p;
    }
    return c.equals(p, "obj");
}

// PDF: the end of the line that holds the last %%EOF of the file's chain: the first
// %%EOF, then each one that ends an incremental update appended right after it.
Size walkPdf(Cursor& c) {
    if (!c.equals(0, "%PDF-")) return {};
    Size best;
    std::int64_t from = 5;
    for (;;) {
        const std::int64_t e = c.find(from, c.limit(), "%%EOF");
        if (e < 0) break;
        std::int64_t end = e + 5;
        if (c.equals(end, "\r\n")) end += 2;
        else if (c.equals(end, "\n") || c.equals(end, "\r")) end += 1;
        best = end;
        if (!continuesPdf(c, end)) break;
        from = end;
    }
    return best;
}

// TIFF: the furthest byte that the IFD chain, sub-IFDs (EXIF, GPS, SubIFDs), values
// stored outside their entries, strips, tiles and an embedded JPEG refer to.
Size walkTiff(Cursor& c) {
    const std::uint8_t* h = c.view(0, 8);
    if (!h) return {};
    bool little;
    if (h[0] == 'I' && h[1] == 'I' && le16(h, 2) == 42) little = true;
    else if (h[0] == 'M' && h[1] == 'M' && be16(h, 2) == 42) little = false;
    else return {};
    auto u16 = [&](const std::uint8_t* p, std::size_t at) { return little ? le16(p, at) : be16(p, at); };
    auto u32 = [&](const std::uint8_t* p, std::size_t at) { return little ? le32(p, at) : be32(p, at); };
    auto typeSize = [](std::uint16_t type) -> std::uint64_t {
        switch (type) {
            case 1: case 2: case 6: case 7: return 1;
            case 3: case 8: return 2;
            case 4: case 9: case 11: case 13: return 4;
            case 5: case 10: case 12: case 16: case 17: case 18: return 8;
            default: return 0;
        }
    };
    struct Array { std::uint16_t type = 0; std::uint64_t count = 0; std::int64_t at = 0; };
    // Value i of an array of SHORT or LONG values.
    auto value = [&](const Array& a, std::uint64_t i) -> std::optional<std::uint64_t> {
        const std::uint64_t width = a.type == 3 ? 2 : 4;
        const std::uint8_t* p = c.view(a.at + static_cast<std::int64_t>(i * width), static_cast<std::int64_t>(width));
        if (!p) return {};
        return width == 2 ? u16(p, 0) : u32(p, 0);
    };
    constexpr std::uint64_t kMaxValues = 1u << 20;
    constexpr std::size_t kMaxIfds = 4096;

    std::int64_t extent = 8;
    std::vector<std::uint32_t> queue{u32(h, 4)};
    std::set<std::uint32_t> seen;
    while (!queue.empty()) {
        const std::int64_t ifd = queue.back();
        queue.pop_back();
        if (!seen.insert(static_cast<std::uint32_t>(ifd)).second) continue;
        if (seen.size() > kMaxIfds || ifd < 8) return {};
        const std::uint8_t* n = c.view(ifd, 2);
        if (!n) return {};
        const std::uint16_t entries = u16(n, 0);
        const std::uint64_t ifdBytes = 2ull + 12ull * entries + 4;
        if (entries == 0 || !fits(ifd, ifdBytes, c.limit())) return {};
        extent = std::max(extent, ifd + static_cast<std::int64_t>(ifdBytes));
        Array offsets[3], counts[3];  // strips, tiles, embedded JPEG
        for (std::uint16_t i = 0; i < entries; ++i) {
            const std::int64_t at = ifd + 2 + 12ll * i;
            const std::uint8_t* e = c.view(at, 12);
            if (!e) return {};
            const std::uint16_t tag = u16(e, 0), type = u16(e, 2);
            const std::uint64_t count = u32(e, 4);
            const std::uint64_t width = typeSize(type);
            if (width == 0) continue;
            if (count > static_cast<std::uint64_t>(c.limit())) return {};
            const std::uint64_t bytes = count * width;
            Array a{type, count, at + 8};
            if (bytes > 4) {
                a.at = u32(e, 8);
                if (!fits(a.at, bytes, c.limit())) return {};
                extent = std::max(extent, a.at + static_cast<std::int64_t>(bytes));
            }
            if ((type == 3 || type == 4 || type == 13) && count <= kMaxValues) {
                switch (tag) {
                    case 273: offsets[0] = a; break;
                    case 279: counts[0] = a; break;
                    case 324: offsets[1] = a; break;
                    case 325: counts[1] = a; break;
                    case 513: offsets[2] = a; break;
                    case 514: counts[2] = a; break;
                    case 330: case 34665: case 34853: case 40965:
                        if (type != 3)
                            for (std::uint64_t k = 0; k < count && k < 256; ++k)
                                if (const auto v = value(a, k)) queue.push_back(static_cast<std::uint32_t>(*v));
                        break;
                    default: break;
                }
            }
        }
        for (int k = 0; k < 3; ++k) {
            const std::uint64_t pieces = std::min(offsets[k].count, counts[k].count);
            for (std::uint64_t i = 0; i < pieces; ++i) {
                const auto o = value(offsets[k], i), n2 = value(counts[k], i);
                if (!o || !n2) return {};
                if (!fits(static_cast<std::int64_t>(*o), *n2, c.limit())) return {};
                extent = std::max(extent, static_cast<std::int64_t>(*o + *n2));
            }
        }
        const std::uint8_t* next = c.view(ifd + 2 + 12ll * entries, 4);
        if (!next) return {};
        if (const std::uint32_t nextIfd = u32(next, 0); nextIfd != 0) queue.push_back(nextIfd);
    }
    return extent;
}

// Compound file (OLE: DOC, XLS, PPT, MSI): the header's sector size and FAT sector list
// (109 in the header, the rest in the DIFAT chain); the file holds every sector up to the
// highest one the FAT marks as used. Sector n lies at (n + 1) x sector size.
Size walkOle(Cursor& c) {
    const std::uint8_t* h = c.view(0, 512);
    if (!h || std::memcmp(h, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) != 0) return {};
    const std::uint16_t shift = le16(h, 30);
    if (shift != 9 && shift != 12) return {};
    const std::int64_t sector = std::int64_t{1} << shift;
    const std::int64_t maxSectors = c.limit() / sector;
    const std::uint32_t fatCount = le32(h, 44);
    std::uint32_t difat = le32(h, 68);
    const std::uint32_t difatCount = le32(h, 72);
    if (fatCount == 0 || fatCount > maxSectors || difatCount > maxSectors) return {};
    std::vector<std::uint32_t> fat;
    fat.reserve(fatCount);
    for (std::uint32_t i = 0; i < 109 && fat.size() < fatCount; ++i) fat.push_back(le32(h, 76 + 4 * i));
    std::int64_t highest = 0;
    for (std::uint32_t d = 0; d < difatCount && fat.size() < fatCount; ++d) {
        if (difat >= maxSectors) return {};
        highest = std::max<std::int64_t>(highest, difat);
        const std::uint8_t* s = c.view((difat + 1ll) * sector, sector);
        if (!s) return {};
        const std::int64_t perSector = sector / 4 - 1;
        for (std::int64_t i = 0; i < perSector && fat.size() < fatCount; ++i) fat.push_back(le32(s, 4 * i));
        difat = le32(s, static_cast<std::size_t>(4 * perSector));
    }
    if (fat.size() < fatCount) return {};
    const std::int64_t perFat = sector / 4;
    for (std::size_t f = 0; f < fat.size(); ++f) {
        if (fat[f] >= maxSectors) return {};
        highest = std::max<std::int64_t>(highest, fat[f]);
        const std::uint8_t* s = c.view((fat[f] + 1ll) * sector, sector);
        if (!s) return {};
        for (std::int64_t i = perFat - 1; i >= 0; --i) {
            if (le32(s, static_cast<std::size_t>(4 * i)) != 0xFFFFFFFFu) {
                highest = std::max<std::int64_t>(highest, static_cast<std::int64_t>(f) * perFat + i);
                break;
            }
        }
    }
    const std::int64_t size = (highest + 2) * sector;
    if (size > c.limit()) return {};
    return size;
}

// SQLite: page size (offset 16, big-endian; 1 means 65 536) x the page count at 28, which
// is valid when the version-valid-for number at 92 equals the change counter at 24.
Size walkSqlite(Cursor& c) {
    const std::uint8_t* h = c.view(0, 100);
    if (!h || std::memcmp(h, "SQLite format 3\0", 16) != 0) return {};
    std::uint32_t page = be16(h, 16);
    if (page == 1) page = 65536;
    if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return {};
    const std::uint32_t pages = be32(h, 28);
    if (pages == 0 || be32(h, 92) != be32(h, 24)) return {};
    const std::uint64_t size = std::uint64_t{page} * pages;
    if (!fits(0, size, c.limit())) return {};
    return static_cast<std::int64_t>(size);
}

// ISO base media (MP4, MOV, HEIC, M4A, 3GP): top-level boxes from the leading ftyp; the
// file ends before the first header that is not a top-level box.
Size walkIsoMedia(Cursor& c) {
    static constexpr const char* kTopLevel[] = {"moov", "mdat", "free", "skip", "wide", "meta", "moof", "mfra",
                                                "uuid", "pdin", "styp", "sidx", "ssix", "prft", "emsg", "pnot",
                                                "PICT", "junk", "udta"};
    std::int64_t pos = 0;
    bool content = false;
    for (bool first = true;; first = false) {
        const std::uint8_t* h = c.view(pos, 8);
        if (!h) {
            if (first) return {};
            break;
        }
        const bool known = first ? std::memcmp(h + 4, "ftyp", 4) == 0
                                 : std::any_of(std::begin(kTopLevel), std::end(kTopLevel),
                                               [&](const char* t) { return std::memcmp(h + 4, t, 4) == 0; });
        if (!known) {
            if (first) return {};
            break;
        }
        std::uint64_t size = be32(h, 0);
        std::uint64_t header = 8;
        if (size == 1) {
            const std::uint8_t* large = c.view(pos + 8, 8);
            if (!large) return {};
            size = be64(large, 0);
            header = 16;
        } else if (size == 0) {
            return {};  // "to the end of the file": the end is what is sought
        }
        if (size < header || !fits(pos, size, c.limit())) return {};
        if (std::memcmp(h + 4, "moov", 4) == 0 || std::memcmp(h + 4, "meta", 4) == 0 ||
            std::memcmp(h + 4, "moof", 4) == 0)
            content = true;
        pos += static_cast<std::int64_t>(size);
    }
    return content ? Size(pos) : Size();
}

// An EBML variable-length number at `at`: its value (with the length marker removed for
// sizes, kept for IDs), its length in bytes and whether it is the reserved "unknown".
struct Vint {
    std::uint64_t value = 0;
    int length = 0;
    bool unknown = false;
};
std::optional<Vint> readVint(Cursor& c, std::int64_t at, bool id) {
    const auto first = c.byte(at);
    if (!first || *first == 0) return {};
    int length = 1;
    while (!(*first & (0x80 >> (length - 1)))) ++length;
    if (id && length > 4) return {};
    const std::uint8_t* p = c.view(at, length);
    if (!p) return {};
    Vint v;
    v.length = length;
    std::uint64_t value = id ? *first : (*first & (0xFFu >> length));
    bool allOnes = value == (0xFFu >> length);
    for (int i = 1; i < length; ++i) {
        value = (value << 8) | p[i];
        allOnes = allOnes && p[i] == 0xFF;
    }
    v.value = value;
    v.unknown = !id && allOnes;
    return v;
}

// Matroska / WebM: the EBML header element, then the Segment with its size (a segment
// of unknown size cannot be measured this way).
Size walkEbml(Cursor& c) {
    std::int64_t pos = 0;
    bool sawHeader = false;
    for (int elements = 0; elements < 64; ++elements) {
        const auto id = readVint(c, pos, true);
        if (!id) return {};
        const auto size = readVint(c, pos + id->length, false);
        if (!size || size->unknown) return {};
        const std::uint64_t step = std::uint64_t(id->length) + size->length + size->value;
        if (!fits(pos, step, c.limit())) return {};
        if (!sawHeader) {
            if (id->value != 0x1A45DFA3) return {};
            sawHeader = true;
        } else if (id->value == 0x18538067) {
            return pos + static_cast<std::int64_t>(step);
        } else if (id->value != 0xEC && id->value != 0xBF) {  // Void, CRC-32
            return {};
        }
        pos += static_cast<std::int64_t>(step);
    }
    return {};
}

// Ogg: pages (27-byte header, lacing table, body) until every logical stream that began
// (BOS flag 2) has ended (EOS flag 4); a chained stream that begins at once continues the
// file.
Size walkOgg(Cursor& c) {
    std::map<std::uint32_t, bool> streams;  // serial -> ended
    std::int64_t pos = 0;
    for (;;) {
        const std::uint8_t* h = c.view(pos, 27);
        if (!h || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return {};
        const std::uint8_t flags = h[5];
        const std::uint32_t serial = le32(h, 14);
        const std::uint8_t segments = h[26];
        const std::uint8_t* lacing = c.view(pos + 27, segments);
        if (!lacing) return {};
        std::int64_t body = 0;
        for (int i = 0; i < segments; ++i) body += lacing[i];
        if (flags & 2) {
            if (streams.size() >= 256) return {};
            streams[serial] = false;
        } else if (!streams.count(serial)) {
            return {};
        }
        if (flags & 4) streams[serial] = true;
        pos += 27 + segments + body;
        if (pos > c.limit()) return {};
        if (std::all_of(streams.begin(), streams.end(), [](const auto& s) { return s.second; })) {
            const std::uint8_t* next = c.view(pos, 27);
            if (!next || std::memcmp(next, "OggS", 4) != 0 || !(next[5] & 2)) return pos;
            streams.clear();
        }
    }
}

std::uint32_t crcOf(const std::uint8_t* p, std::size_t n, std::uint32_t crc = 0) {
    return static_cast<std::uint32_t>(::crc32(crc, p, static_cast<uInt>(n)));
}

// 7z: the 32-byte signature header (its CRC checked) gives the next header's offset
// after it and its size; the next header is the end of the archive.
Size walkSevenZip(Cursor& c) {
    const std::uint8_t* h = c.view(0, 32);
    if (!h || std::memcmp(h, "7z\xBC\xAF\x27\x1C", 6) != 0) return {};
    if (crcOf(h + 12, 20) != le32(h, 8)) return {};
    const std::uint64_t offset = le64(h, 12), size = le64(h, 20);
    const std::uint32_t crc = le32(h, 28);
    if (offset > static_cast<std::uint64_t>(c.limit()) || !fits(32 + static_cast<std::int64_t>(offset), size, c.limit()))
        return {};
    const std::int64_t start = 32 + static_cast<std::int64_t>(offset);
    std::uint32_t got = 0;
    for (std::int64_t done = 0; done < static_cast<std::int64_t>(size);) {
        const std::int64_t n = std::min<std::int64_t>(kChunk, static_cast<std::int64_t>(size) - done);
        const std::uint8_t* p = c.view(start + done, n);
        if (!p) return {};
        got = crcOf(p, static_cast<std::size_t>(n), got);
        done += n;
    }
    if (got != crc) return {};
    return start + static_cast<std::int64_t>(size);
}

std::optional<std::pair<std::uint64_t, int>> rar5Vint(Cursor& c, std::int64_t at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 10; ++i) {
        const auto b = c.byte(at + i);
        if (!b) return {};
        value |= std::uint64_t(*b & 0x7F) << (7 * i);
        if (!(*b & 0x80)) return std::make_pair(value, i + 1);
    }
    return {};
}

// RAR: blocks from the signature to the end-of-archive block. RAR 4: 7-byte block
// headers (CRC, type, flags, size) plus the data size of file and service blocks; RAR 5:
// CRC, header size, type and flags as variable-length numbers, plus the data size.
Size walkRar(Cursor& c) {
    using namespace std::string_view_literals;
    if (c.equals(0, "Rar!\x1A\x07\x01\x00"sv)) {
        std::int64_t pos = 8;
        for (;;) {
            const auto headerSize = rar5Vint(c, pos + 4);
            if (!headerSize || headerSize->first == 0 || headerSize->first > (1u << 21)) return {};
            const std::int64_t header = pos + 4 + headerSize->second;
            const auto type = rar5Vint(c, header);
            if (!type) return {};
            const auto flags = rar5Vint(c, header + type->second);
            if (!flags) return {};
            std::int64_t at = header + type->second + flags->second;
            std::uint64_t data = 0;
            if (flags->first & 1) {
                const auto extra = rar5Vint(c, at);
                if (!extra) return {};
                at += extra->second;
            }
            if (flags->first & 2) {
                const auto d = rar5Vint(c, at);
                if (!d) return {};
                data = d->first;
            }
            if (type->first < 1 || type->first > 5) return {};
            const std::uint64_t step = 4ull + headerSize->second + headerSize->first;
            if (!fits(pos, step, c.limit()) || !fits(pos + static_cast<std::int64_t>(step), data, c.limit()))
                return {};
            pos += static_cast<std::int64_t>(step + data);
            if (type->first == 5) return pos;
        }
    }
    if (!c.equals(0, "Rar!\x1A\x07\x00"sv)) return {};
    std::int64_t pos = 7;
    for (;;) {
        const std::uint8_t* h = c.view(pos, 7);
        if (!h) return {};
        const std::uint8_t type = h[2];
        const std::uint16_t flags = le16(h, 3);
        const std::uint16_t headSize = le16(h, 5);
        if (type < 0x72 || type > 0x7B || headSize < 7) return {};
        std::uint64_t data = 0;
        if (flags & 0x8000) {
            const std::uint8_t* a = c.view(pos + 7, 4);
            if (!a || headSize < 11) return {};
            data = le32(a, 0);
            if ((type == 0x74 || type == 0x7A) && (flags & 0x100)) {
                const std::uint8_t* high = c.view(pos + 32, 4);
                if (!high || headSize < 36) return {};
                data |= std::uint64_t(le32(high, 0)) << 32;
            }
        }
        const std::uint64_t step = headSize + data;
        if (!fits(pos, step, c.limit())) return {};
        pos += static_cast<std::int64_t>(step);
        if (type == 0x7B) return pos;
    }
}

// gzip: each member's deflate stream decoded (the output is discarded) to learn where it
// ends; its 8-byte trailer follows. Members that follow at once belong to the file.
Size walkGzip(Cursor& c) {
    const std::uint8_t* h = c.view(0, 3);
    if (!h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8) return {};
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return {};
    struct End {
        z_stream* z;
        ~End() { inflateEnd(z); }
    } end{&zs};
    std::vector<std::uint8_t> out(static_cast<std::size_t>(kChunk));
    constexpr std::uint64_t kMaxOutput = std::uint64_t{1} << 32;  // a bomb is not followed
    std::uint64_t produced = 0;
    std::int64_t pos = 0;  // file offset of zs.next_in
    for (;;) {
        int ret = Z_OK;
        while (ret != Z_STREAM_END) {
            if (zs.avail_in == 0) {
                std::int64_t n = 0;
                const std::uint8_t* p = c.some(pos, kChunk, n);
                if (!p) return {};
                zs.next_in = const_cast<Bytef*>(p);
                zs.avail_in = static_cast<uInt>(n);
            }
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            const uInt before = zs.avail_in;
            ret = inflate(&zs, Z_NO_FLUSH);
            pos += before - zs.avail_in;
            produced += out.size() - zs.avail_out;
            if ((ret != Z_OK && ret != Z_STREAM_END) || produced > kMaxOutput) return {};
        }
        // The view that fed zlib may be replaced by the peek below; nothing of it is kept.
        zs.avail_in = 0;
        const std::uint8_t* next = c.view(pos, 3);
        if (!next || next[0] != 0x1F || next[1] != 0x8B || next[2] != 8) return pos;
        if (inflateReset(&zs) != Z_OK) return pos;
    }
}

// The length of the MPEG audio frame whose header is h, or 0 when h is not one. key
// receives the version, layer and sample-rate bits, which stay the same in one file.
int mpegFrameLength(const std::uint8_t* h, std::uint32_t& key) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return 0;
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return 0;
    static constexpr int kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // V1 L1
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // V1 L2
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // V1 L3
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // V2 L1
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // V2 L2, L3
    };
    static constexpr int kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    const bool v1 = version == 3;
    const int row = v1 ? (layer == 3 ? 0 : layer == 2 ? 1 : 2) : (layer == 3 ? 3 : 4);
    const int bitrate = kBitrates[row][bitrateIndex] * 1000;
    const int rate = kRates[v1 ? 0 : version == 2 ? 1 : 2][rateIndex];
    key = (std::uint32_t(h[1]) << 8) | (h[2] & 0x0C);
    if (layer == 3) return (12 * bitrate / rate + padding) * 4;
    if (layer == 1 && !v1) return 72 * bitrate / rate + padding;
    return 144 * bitrate / rate + padding;
}

// MP3: ID3v2 tags (syncsafe size, optional footer), zero padding, then MPEG audio frames
// of one version, layer and sample rate, then an optional APE and ID3v1 tag.
Size walkMp3(Cursor& c) {
    std::int64_t pos = 0;
    while (c.equals(pos, "ID3")) {
        const std::uint8_t* h = c.view(pos, 10);
        if (!h || h[3] < 2 || h[3] > 4) return {};
        std::uint64_t size = 0;
        for (int i = 6; i < 10; ++i) {
            if (h[i] & 0x80) return {};
            size = (size << 7) | h[i];
        }
        const std::uint64_t step = 10 + size + ((h[5] & 0x10) ? 10 : 0);
        if (!fits(pos, step, c.limit())) return {};
        pos += static_cast<std::int64_t>(step);
    }
    for (int i = 0; i < 65536; ++i) {
        const auto b = c.byte(pos);
        if (!b || *b != 0) break;
        ++pos;
    }
    std::uint32_t firstKey = 0;
    int frames = 0;
    for (;;) {
        const std::uint8_t* h = c.view(pos, 4);
        if (!h) break;
        std::uint32_t key = 0;
        const int length = mpegFrameLength(h, key);
        if (length < 4 || (frames > 0 && key != firstKey)) break;
        if (!fits(pos, static_cast<std::uint64_t>(length), c.limit())) break;
        if (frames == 0) firstKey = key;
        ++frames;
        pos += length;
    }
    if (frames < 2) return {};
    if (c.equals(pos, "APETAGEX")) {
        const std::uint8_t* a = c.view(pos, 32);
        if (a && (le32(a, 20) & 0x20000000u) && fits(pos, 32ull + le32(a, 12), c.limit()))
            pos += 32 + static_cast<std::int64_t>(le32(a, 12));
    }
    if (c.equals(pos, "TAG") && fits(pos, 128, c.limit())) pos += 128;
    return pos;
}

}  // namespace

FileStructure structureForExtension(std::u16string_view extension) {
    std::string ext;
    for (const char16_t ch : extension) {
        if (ch > 0x7F) return FileStructure::None;
        ext += static_cast<char>(ch >= u'A' && ch <= u'Z' ? ch - u'A' + u'a' : ch);
    }
    static const std::map<std::string, FileStructure> kByExtension = {
        {"jpg", FileStructure::Jpeg},  {"jpeg", FileStructure::Jpeg}, {"jpe", FileStructure::Jpeg},
        {"jfif", FileStructure::Jpeg}, {"png", FileStructure::Png},   {"gif", FileStructure::Gif},
        {"bmp", FileStructure::Bmp},   {"wav", FileStructure::Riff},  {"avi", FileStructure::Riff},
        {"webp", FileStructure::Riff}, {"zip", FileStructure::Zip},   {"docx", FileStructure::Zip},
        {"xlsx", FileStructure::Zip},  {"pptx", FileStructure::Zip},  {"odt", FileStructure::Zip},
        {"ods", FileStructure::Zip},   {"odp", FileStructure::Zip},   {"jar", FileStructure::Zip},
        {"apk", FileStructure::Zip},   {"epub", FileStructure::Zip},  {"pdf", FileStructure::Pdf},
        {"tif", FileStructure::Tiff},  {"tiff", FileStructure::Tiff}, {"doc", FileStructure::Ole},
        {"xls", FileStructure::Ole},   {"ppt", FileStructure::Ole},   {"msi", FileStructure::Ole},
        {"msg", FileStructure::Ole},   {"db", FileStructure::Sqlite}, {"sqli", FileStructure::Sqlite},
        {"mp4", FileStructure::IsoMedia}, {"m4a", FileStructure::IsoMedia}, {"m4v", FileStructure::IsoMedia},
        {"mov", FileStructure::IsoMedia}, {"heic", FileStructure::IsoMedia}, {"heif", FileStructure::IsoMedia},
        {"3gp", FileStructure::IsoMedia}, {"mkv", FileStructure::Ebml}, {"webm", FileStructure::Ebml},
        {"ogg", FileStructure::Ogg},   {"oga", FileStructure::Ogg},   {"ogv", FileStructure::Ogg},
        {"opus", FileStructure::Ogg},  {"7z", FileStructure::SevenZip}, {"rar", FileStructure::Rar},
        {"gz", FileStructure::Gzip},   {"tgz", FileStructure::Gzip},  {"mp3", FileStructure::Mp3},
    };
    const auto it = kByExtension.find(ext);
    return it == kByExtension.end() ? FileStructure::None : it->second;
}

const char* structureName(FileStructure kind) {
    switch (kind) {
        case FileStructure::None: return "none";
        case FileStructure::Jpeg: return "jpeg";
        case FileStructure::Png: return "png";
        case FileStructure::Gif: return "gif";
        case FileStructure::Bmp: return "bmp";
        case FileStructure::Riff: return "riff";
        case FileStructure::Zip: return "zip";
        case FileStructure::Pdf: return "pdf";
        case FileStructure::Tiff: return "tiff";
        case FileStructure::Ole: return "ole";
        case FileStructure::Sqlite: return "sqlite";
        case FileStructure::IsoMedia: return "isomedia";
        case FileStructure::Ebml: return "ebml";
        case FileStructure::Ogg: return "ogg";
        case FileStructure::SevenZip: return "7z";
        case FileStructure::Rar: return "rar";
        case FileStructure::Gzip: return "gzip";
        case FileStructure::Mp3: return "mp3";
    }
    return "none";
}

std::optional<std::int64_t> walkFileStructure(FileStructure kind, const ByteReadFn& read, std::int64_t limit) {
    if (limit <= 0 || !read) return {};
    try {
        Cursor c(read, limit);
        Size size;
        switch (kind) {
            case FileStructure::None: return {};
            case FileStructure::Jpeg: size = walkJpeg(c); break;
            case FileStructure::Png: size = walkPng(c); break;
            case FileStructure::Gif: size = walkGif(c); break;
            case FileStructure::Bmp: size = walkBmp(c); break;
            case FileStructure::Riff: size = walkRiff(c); break;
            case FileStructure::Zip: size = walkZip(c); break;
            case FileStructure::Pdf: size = walkPdf(c); break;
            case FileStructure::Tiff: size = walkTiff(c); break;
            case FileStructure::Ole: size = walkOle(c); break;
            case FileStructure::Sqlite: size = walkSqlite(c); break;
            case FileStructure::IsoMedia: size = walkIsoMedia(c); break;
            case FileStructure::Ebml: size = walkEbml(c); break;
            case FileStructure::Ogg: size = walkOgg(c); break;
            case FileStructure::SevenZip: size = walkSevenZip(c); break;
            case FileStructure::Rar: size = walkRar(c); break;
            case FileStructure::Gzip: size = walkGzip(c); break;
            case FileStructure::Mp3: size = walkMp3(c); break;
        }
        if (size && (*size <= 0 || *size > limit)) return {};
        return size;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

}  // namespace dravonel
