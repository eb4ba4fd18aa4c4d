#include "core/common/digests.h"

#include <algorithm>
#include <cstring>

namespace dravonel {

namespace {

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Feeds data through blocks of 64 bytes, keeping the rest for the next call.
template <class Block>
void feed(std::array<std::uint8_t, 64>& pending, std::size_t& used, const std::uint8_t* data, std::size_t count,
          Block block) {
    if (used > 0) {
        const std::size_t n = std::min(count, 64 - used);
        std::memcpy(pending.data() + used, data, n);
        used += n;
        data += n;
        count -= n;
        if (used < 64) return;
        block(pending.data());
        used = 0;
    }
    for (; count >= 64; data += 64, count -= 64) block(data);
    std::memcpy(pending.data(), data, count);
    used = count;
}

// The padding both digests end with: 0x80, zeros, then the length in bits (little-endian
// for MD5, big-endian for SHA-1) in the last 8 bytes of a block.
template <class Update>
void pad(std::uint64_t bytes, bool bigEndian, Update update) {
    std::uint8_t tail[72] = {0x80};
    const std::size_t rest = bytes % 64;
    const std::size_t zeros = rest < 56 ? 56 - rest : 120 - rest;
    const std::uint64_t bits = bytes * 8;
    for (int i = 0; i < 8; ++i) tail[zeros + i] = std::uint8_t(bits >> (bigEndian ? 56 - 8 * i : 8 * i));
    update(tail, zeros + 8);
}

constexpr std::uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMd5Shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                               5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                               4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                               6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

}  // namespace

Md5::Md5() : h_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::block(const std::uint8_t* b) {
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = std::uint32_t(b[4 * i]) | std::uint32_t(b[4 * i + 1]) << 8 | std::uint32_t(b[4 * i + 2]) << 16 |
               std::uint32_t(b[4 * i + 3]) << 24;
    std::uint32_t a = h_[0], bb = h_[1], c = h_[2], d = h_[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        if (i < 16) {
            f = (bb & c) | (~bb & d);
            g = i;
        } else if (i < 32) {
            f = (d & bb) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = bb ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (bb | ~d);
            g = (7 * i) % 16;
        }
        const std::uint32_t next = d;
        d = c;
        c = bb;
        bb = bb + rotl(a + f + kMd5Sine[i] + m[g], kMd5Shift[i]);
        a = next;
    }
    h_[0] += a;
    h_[1] += bb;
    h_[2] += c;
    h_[3] += d;
}

void Md5::update(const std::uint8_t* data, std::size_t count) {
    bytes_ += count;
    feed(pending_, used_, data, count, [this](const std::uint8_t* b) { block(b); });
}

std::string Md5::hex() {
    pad(bytes_, false, [this](const std::uint8_t* t, std::size_t n) {
        feed(pending_, used_, t, n, [this](const std::uint8_t* b) { block(b); });
    });
    std::uint8_t out[16];
    for (int i = 0; i < 16; ++i) out[i] = std::uint8_t(h_[i / 4] >> (8 * (i % 4)));
    return hexOf(out, sizeof out);
}

Sha1::Sha1() : h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::block(const std::uint8_t* b) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t(b[4 * i]) << 24 | std::uint32_t(b[4 * i + 1]) << 16 | std::uint32_t(b[4 * i + 2]) << 8 |
               std::uint32_t(b[4 * i + 3]);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h_[0], bb = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (bb & c) | (~bb & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = bb ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (bb & c) | (bb & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = bb ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(bb, 30);
        bb = a;
        a = t;
    }
    h_[0] += a;
    h_[1] += bb;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
}

void Sha1::update(const std::uint8_t* data, std::size_t count) {
    bytes_ += count;
    feed(pending_, used_, data, count, [this](const std::uint8_t* b) { block(b); });
}

std::string Sha1::hex() {
    pad(bytes_, true, [this](const std::uint8_t* t, std::size_t n) {
        feed(pending_, used_, t, n, [this](const std::uint8_t* b) { block(b); });
    });
    std::uint8_t out[20];
    for (int i = 0; i < 20; ++i) out[i] = std::uint8_t(h_[i / 4] >> (24 - 8 * (i % 4)));
    return hexOf(out, sizeof out);
}

}  // namespace dravonel
