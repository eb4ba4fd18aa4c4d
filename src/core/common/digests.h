#pragma once
// MD5 and SHA-1 of a stream of bytes, for comparing a disk image's media with the hashes
// its imager stored (not for anything that needs a secure hash).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace dravonel {

class Md5 {
public:
    Md5();
    void update(const std::uint8_t* data, std::size_t count);
    // Lower-case hex of the digest; the object is spent afterwards.
    std::string hex();

private:
    void block(const std::uint8_t* b);
    std::array<std::uint32_t, 4> h_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t used_ = 0;
    std::uint64_t bytes_ = 0;
};

class Sha1 {
public:
    Sha1();
    void update(const std::uint8_t* data, std::size_t count);
    std::string hex();

private:
    void block(const std::uint8_t* b);
    std::array<std::uint32_t, 5> h_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t used_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace dravonel
