#pragma once
// Little- and big-endian field readers over byte buffers. Every on-disk field is read
// through these at a named offset; nothing casts a struct over a buffer.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dravonel {

// Reads fixed-width unsigned fields from a byte buffer of unknown length; answers
// nothing when the field does not fit.
class FieldReader {
public:
    explicit FieldReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    template <std::unsigned_integral T> std::optional<T> le(std::size_t at) const { return get<T>(at, false); }
    template <std::unsigned_integral T> std::optional<T> be(std::size_t at) const { return get<T>(at, true); }
    std::size_t size() const { return bytes_.size(); }

private:
    template <class T> std::optional<T> get(std::size_t at, bool big) const {
        if (at > bytes_.size() || bytes_.size() - at < sizeof(T)) return std::nullopt;
        T v = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            v |= T(T(bytes_[at + i]) << (8 * (big ? sizeof(T) - 1 - i : i)));
        return v;
    }
    std::span<const std::uint8_t> bytes_;
};

// Plain readers for buffers known to hold the field (a whole sector read as a whole);
// the caller guarantees at + width <= buffer size.
inline std::uint16_t le16(const std::uint8_t* p, std::size_t at) {
    return std::uint16_t(p[at] | (p[at + 1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p, std::size_t at) {
    return std::uint32_t(p[at]) | (std::uint32_t(p[at + 1]) << 8) | (std::uint32_t(p[at + 2]) << 16) |
           (std::uint32_t(p[at + 3]) << 24);
}
inline std::uint64_t le64(const std::uint8_t* p, std::size_t at) {
    return std::uint64_t(le32(p, at)) | (std::uint64_t(le32(p, at + 4)) << 32);
}
inline std::uint16_t be16(const std::uint8_t* p, std::size_t at) {
    return std::uint16_t((p[at] << 8) | p[at + 1]);
}
inline std::uint32_t be32(const std::uint8_t* p, std::size_t at) {
    return (std::uint32_t(p[at]) << 24) | (std::uint32_t(p[at + 1]) << 16) | (std::uint32_t(p[at + 2]) << 8) |
           std::uint32_t(p[at + 3]);
}
inline std::uint64_t be64(const std::uint8_t* p, std::size_t at) {
    return (std::uint64_t(be32(p, at)) << 32) | std::uint64_t(be32(p, at + 4));
}

}  // namespace dravonel
