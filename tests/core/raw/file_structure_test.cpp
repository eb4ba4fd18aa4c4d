// The structure walkers over real files (tests/fixtures/carve_samples.*, made by
// tools/make_carve_samples.py), alone and carved from an image; hostile fields; the
// fuzz target's seed corpus.
#include "core/raw/file_structure.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "../../../fuzz/structure_walkers_entry.h"
#include "core/raw/carved_save.h"
#include "raw_test_support.h"
#include "support/sha256_digest.h"

namespace dravonel::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Sample {
    std::string name, type;
    Bytes bytes;
    std::string sha256;
};

const std::vector<Sample>& samples() {
    static const std::vector<Sample> all = [] {
        std::ifstream in(fixturePath("carve_samples.json"));
        const auto m = nlohmann::json::parse(in);
        const auto blob = fixtureBytes("carve_samples.bin");
        std::vector<Sample> out;
        for (const auto& s : m["samples"]) {
            const std::size_t at = s["offset"], len = s["length"];
            out.push_back({s["name"], s["type"], Bytes(blob.begin() + at, blob.begin() + at + len), s["sha256"]});
        }
        return out;
    }();
    return all;
}

std::optional<std::int64_t> walk(FileStructure kind, const Bytes& data, std::int64_t limit) {
    const ByteReadFn read = [&](std::int64_t offset, std::uint8_t* out, std::size_t n) -> std::size_t {
        if (offset < 0 || offset >= static_cast<std::int64_t>(data.size())) return 0;
        n = std::min<std::size_t>(n, data.size() - static_cast<std::size_t>(offset));
        std::memcpy(out, data.data() + offset, n);
        return n;
    };
    return walkFileStructure(kind, read, limit);
}

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string shaOf(const std::uint8_t* p, std::size_t n) {
    return sha256Hex(std::string_view(reinterpret_cast<const char*>(p), n));
}

// Walkers that read through the file's content (not only size fields) see a truncation.
// (MP3 frames carry no check: a cut inside the last frame is not seen.)
bool readsThrough(FileStructure kind) {
    switch (kind) {
        case FileStructure::Jpeg: case FileStructure::Png: case FileStructure::Gif: case FileStructure::Zip:
        case FileStructure::Pdf: case FileStructure::Ogg: case FileStructure::Gzip:
        case FileStructure::SevenZip: case FileStructure::Rar: return true;
        default: return false;
    }
}

TEST(FileStructureWalk, RealFilesEndWhereTheyEnd) {
    std::mt19937 rng(7);
    ASSERT_GE(samples().size(), 20u);
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const FileStructure kind = structureForExtension(u16(s.type));
        ASSERT_NE(kind, FileStructure::None);
        const auto length = static_cast<std::int64_t>(s.bytes.size());
        // Followed by random bytes, and followed at once by another copy of itself.
        const Bytes withTail = s.bytes + randomBytes(rng, 8192);
        EXPECT_EQ(walk(kind, withTail, static_cast<std::int64_t>(withTail.size())), length);
        // (A chained Ogg stream or a second gzip member right after the end is, by their
        // formats, part of the same file.)
        if (kind != FileStructure::Ogg && kind != FileStructure::Gzip)
            EXPECT_EQ(walk(kind, s.bytes + s.bytes, 2 * length), length);
        // Exactly at the limit, and one byte short of it.
        EXPECT_EQ(walk(kind, s.bytes, length), length);
        const auto shortLimit = walk(kind, withTail, length - 1);
        if (shortLimit) EXPECT_LE(*shortLimit, length - 1);
        // Truncated: never past the limit; never the whole size when the walker reads the
        // content (a size field alone cannot tell).
        const std::int64_t cut = length * 2 / 5;
        const Bytes truncated(s.bytes.begin(), s.bytes.begin() + cut);
        const auto t = walk(kind, truncated + randomBytes(rng, 4096), cut + 4096);
        if (t) EXPECT_LE(*t, cut + 4096);
        if (t && readsThrough(kind)) EXPECT_NE(*t, length);
    }
}

TEST(FileStructureWalk, JpegThumbnailAndPdfUpdateDoNotEndTheFileEarly) {
    for (const Sample& s : samples()) {
        if (s.name != "jpeg_thumbnail" && s.name != "pdf_update") continue;
        const std::string text(s.bytes.begin(), s.bytes.end());
        // Each holds its ending mark twice: a thumbnail's EOI, the first revision's %%EOF.
        const std::string mark = s.name == "pdf_update" ? "%%EOF" : "\xFF\xD9";
        ASSERT_NE(text.find(mark), text.rfind(mark)) << s.name;
        EXPECT_EQ(walk(structureForExtension(u16(s.type)), s.bytes, 1 << 20), static_cast<std::int64_t>(s.bytes.size()));
    }
}

struct HostileCase {
    const char* name;
    FileStructure kind;
    Bytes bytes;
};

Bytes be32b(std::uint32_t v) { return {Bytes::value_type(v >> 24), Bytes::value_type(v >> 16), Bytes::value_type(v >> 8), Bytes::value_type(v)}; }
Bytes le32b(std::uint32_t v) { return {Bytes::value_type(v), Bytes::value_type(v >> 8), Bytes::value_type(v >> 16), Bytes::value_type(v >> 24)}; }
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::vector<HostileCase> hostileCases() {
    std::vector<HostileCase> c;
    c.push_back({"png chunk length at its maximum", FileStructure::Png,
                 text("\x89PNG\r\n\x1A\n") + be32b(0x7FFFFFFF) + text("IHDR")});
    c.push_back({"png chunk length with the top bit set", FileStructure::Png,
                 text("\x89PNG\r\n\x1A\n") + be32b(0xFFFFFFF4) + text("IHDR")});
    c.push_back({"jpeg segment length below 2", FileStructure::Jpeg, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}});
    c.push_back({"jpeg scan that never ends", FileStructure::Jpeg,
                 Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02} + Bytes(60000, 0x00)});
    c.push_back({"gif sub-blocks to the limit", FileStructure::Gif, text("GIF89a") + Bytes(7, 0) + Bytes{0x21, 0xF9} + Bytes(70000, 0xFF)});
    Bytes zip = le32b(0x04034B50) + Bytes(14, 0) + le32b(0xFFFFFFF0) + Bytes(8, 0);
    c.push_back({"zip entry larger than the limit", FileStructure::Zip, zip});
    Bytes tiffLoop = text("II*\0") + le32b(8) + Bytes{1, 0} + Bytes{0x11, 0x01, 4, 0} + le32b(1) + le32b(0) + le32b(8);
    c.push_back({"tiff IFD that points at itself", FileStructure::Tiff, tiffLoop});
    Bytes tiffBack = text("II*\0") + le32b(4);
    c.push_back({"tiff IFD inside the header", FileStructure::Tiff, tiffBack});
    Bytes tiffStrips = text("II*\0") + le32b(8) + Bytes{2, 0} + Bytes{0x11, 0x01, 4, 0} + le32b(1) + le32b(0xFFFFFF00) +
                       Bytes{0x17, 0x01, 4, 0} + le32b(1) + le32b(0x1000) + le32b(0);
    c.push_back({"tiff strip past the limit", FileStructure::Tiff, tiffStrips});
    c.push_back({"riff size past the limit", FileStructure::Riff, text("RIFF") + le32b(0xFFFFFFF0) + text("WAVE")});
    c.push_back({"iso box with a 64-bit size near the top", FileStructure::IsoMedia,
                 be32b(1) + text("ftyp") + Bytes{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}});
    c.push_back({"iso box shorter than its header", FileStructure::IsoMedia, be32b(4) + text("ftyp") + Bytes(32, 0)});
    c.push_back({"ebml size near the top", FileStructure::Ebml,
                 Bytes{0x1A, 0x45, 0xDF, 0xA3, 0x01, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}});
    c.push_back({"mp3 tag size past the limit", FileStructure::Mp3, text("ID3\x03") + Bytes{0, 0, 0x7F, 0x7F, 0x7F, 0x7F}});
    Bytes sqlite = text(std::string("SQLite format 3\0", 16)) + Bytes{0x00, 0x01} + Bytes(10, 0) + be32b(0xFFFFFFFF) + Bytes(68, 0);
    c.push_back({"sqlite page count times page size overflowing", FileStructure::Sqlite, sqlite});
    Bytes ole(1024, 0);
    std::memcpy(ole.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    ole[30] = 9;
    ole[44] = 1;
    for (int i = 0; i < 4; ++i) ole[76 + i] = 0;        // FAT in sector 0
    ole[68] = 0, ole[72] = 0xFF, ole[73] = 0xFF;        // a long DIFAT chain that loops on sector 0
    c.push_back({"ole DIFAT chain that loops", FileStructure::Ole, ole});
    Bytes rar = text("Rar!\x1A\x07") + Bytes{0x00} + Bytes{0, 0, 0x74, 0x00, 0x81, 0x24, 0x00} + le32b(0xFFFFFFFF) + Bytes(40, 0);
    c.push_back({"rar file block past the limit", FileStructure::Rar, rar});
    Bytes ogg = text("OggS") + Bytes{0, 2} + Bytes(20, 0) + Bytes{255} + Bytes(255, 255);
    c.push_back({"ogg page past the limit", FileStructure::Ogg, ogg});
    return c;
}

TEST(FileStructureWalk, HostileFieldsEndTheWalkWithinTheLimit) {
    for (const auto& h : hostileCases()) {
        SCOPED_TRACE(h.name);
        const std::int64_t limit = static_cast<std::int64_t>(h.bytes.size()) + 1000;
        const auto found = walk(h.kind, h.bytes, limit);
        if (found) EXPECT_LE(*found, limit);
        EXPECT_NE(found, std::optional<std::int64_t>(limit)) << "ran to the limit";
        // The same bytes followed by a much larger readable area stay bounded too.
        const auto wide = walk(h.kind, h.bytes + Bytes(100000, 0), 50000);
        if (wide) EXPECT_LE(*wide, 50000);
    }
}

TEST(FileStructureWalk, SeedCorpusReplays) {
    const fs::path corpus = fs::path(DRAVONEL_SOURCE_DIR) / "fuzz" / "corpus" / "structure_walkers";
    int files = 0;
    for (const auto& e : fs::directory_iterator(corpus)) {
        const auto bytes = readFileBytes(e.path());
        fuzzStructureWalkers(bytes.data(), bytes.size());
        ++files;
    }
    EXPECT_GE(files, 20);
    for (const auto& h : hostileCases()) {
        Bytes input{static_cast<std::uint8_t>(h.kind)};
        input = input + h.bytes;
        fuzzStructureWalkers(input.data(), input.size());
    }
}

// Every sample carved from one image with the default signature table: each at a sector
// start, followed at once (next sector) by the next one; then truncated copies, each
// followed by random filler.
TEST(FileStructureCarve, DefaultTypesAreSavedByteExactAndTruncatedOnesAreEstimatedAndBounded) {
    std::vector<SignatureEntry> defaults;
    ASSERT_EQ(readSignatureFile(fs::path(DRAVONEL_CLI_PATH).parent_path() / "FileSetting.txt", 0, defaults),
              SignatureFileStatus::Loaded);
    std::mt19937 rng(11);
    Bytes img = randomBytes(rng, 64 * 1024);
    // Filler sectors that happen to start with a signature would add files: they are
    // cleared at their first byte.
    auto clearStarts = [&](std::size_t from) {
        for (std::size_t s = (from + 511) / 512 * 512; s + 512 <= img.size(); s += 512) img[s] = 0x00;
    };
    clearStarts(0);
    auto alignTo = [&](std::size_t unit) {
        const Bytes pad = randomBytes(rng, (unit - img.size() % unit) % unit);
        const std::size_t from = img.size();
        img = img + pad;
        clearStarts(from);
    };
    struct Placed { const Sample* s; std::int64_t at; std::int64_t cut; };
    std::vector<Placed> whole, cut;
    for (const Sample& s : samples()) {
        alignTo(512);
        whole.push_back({&s, static_cast<std::int64_t>(img.size()), 0});
        img = img + s.bytes;
    }
    for (const Sample& s : samples()) {
        alignTo(4096);
        const auto keep = static_cast<std::int64_t>(s.bytes.size()) * 2 / 5;
        cut.push_back({&s, static_cast<std::int64_t>(img.size()), keep});
        img.insert(img.end(), s.bytes.begin(), s.bytes.begin() + keep);
        const std::size_t from = img.size();
        img = img + randomBytes(rng, 3000);
        clearStarts(from);
    }
    alignTo(512);
    img = img + Bytes(8192, 0);

    CarveRun run(img, {});
    run.engine.signatures = defaults;
    run.run();
    const auto& found = run.engine.found();
    auto at = [&](std::int64_t start) -> const FoundFile* {
        for (const auto& f : found)
            if (f.start == start) return &f;
        return nullptr;
    };
    for (const auto& p : whole) {
        SCOPED_TRACE(p.s->name);
        const FoundFile* f = at(p.at);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->size, static_cast<std::int64_t>(p.s->bytes.size()));
        EXPECT_FALSE(f->sizeEstimated);
        EXPECT_EQ(savedLength(run.engine, *f), f->size);
        EXPECT_EQ(shaOf(img.data() + f->start, static_cast<std::size_t>(f->size)), p.s->sha256);
    }
    for (std::size_t i = 0; i < cut.size(); ++i) {
        const auto& p = cut[i];
        SCOPED_TRACE(p.s->name + " truncated");
        const FoundFile* f = at(p.at);
        ASSERT_NE(f, nullptr);
        const std::int64_t next = i + 1 < cut.size() ? cut[i + 1].at : static_cast<std::int64_t>(img.size());
        EXPECT_LE(f->start + f->size, next);  // never into the next file
        EXPECT_LE(f->size, run.engine.rules()[f->rule].approxFileSize);
        // Either estimated, or a whole earlier revision / end mark within what was kept.
        if (!f->sizeEstimated && readsThrough(structureForExtension(u16(p.s->type)))) EXPECT_LE(f->size, p.cut);
    }
    // Files of one walk never overlap.
    for (std::size_t i = 1; i < found.size(); ++i) {
        std::vector<const FoundFile*> sorted;
        for (const auto& f : found) sorted.push_back(&f);
        std::sort(sorted.begin(), sorted.end(), [](auto a, auto b) { return a->start < b->start; });
        for (std::size_t k = 1; k < sorted.size(); ++k)
            EXPECT_LE(sorted[k - 1]->start + savedLength(run.engine, *sorted[k - 1]), sorted[k]->start);
        break;
    }
}

}  // namespace
}  // namespace dravonel::test
