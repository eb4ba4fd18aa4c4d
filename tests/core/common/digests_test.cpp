#include "core/common/digests.h"

#include <gtest/gtest.h>

#include <string>

namespace dravonel::test {
namespace {

// The published test vectors (RFC 1321, FIPS 180), fed whole and in uneven pieces.
TEST(Digests, PublishedVectorsWholeAndInPieces) {
    struct Case {
        std::string text;
        const char* md5;
        const char* sha1;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t(1) << 30, std::size_t(7), std::size_t(64), std::size_t(65)}) {
            Md5 md5;
            Sha1 sha1;
            for (std::size_t at = 0; at < c.text.size(); at += piece) {
                const std::size_t n = std::min(piece, c.text.size() - at);
                md5.update(reinterpret_cast<const std::uint8_t*>(c.text.data()) + at, n);
                sha1.update(reinterpret_cast<const std::uint8_t*>(c.text.data()) + at, n);
            }
            EXPECT_EQ(md5.hex(), c.md5) << c.text.size() << " in pieces of " << piece;
            EXPECT_EQ(sha1.hex(), c.sha1) << c.text.size() << " in pieces of " << piece;
        }
    }
}

}  // namespace
}  // namespace dravonel::test
