#include "core/fs/ntfs/ntfs_format.h"

#include <algorithm>

#include "core/common/byte_reader.h"

namespace dravonel::ntfs_format {

bool hasFileSignature(std::span<const std::uint8_t> b) {
    return b.size() >= 4 && b[0] == 'F' && b[1] == 'I' && b[2] == 'L' && b[3] == 'E';
}

std::size_t recordBytesFromBoot(std::span<const std::uint8_t> boot, std::uint64_t clusterBytes) {
    if (boot.size() <= boot_sector::kRecordSize) return 0;
    const auto v = static_cast<std::int8_t>(boot[boot_sector::kRecordSize]);
    if (v < 0) return v < -31 ? 0 : usableRecordBytes(std::uint64_t(1) << unsigned(-v));
    return clusterBytes > kMaxRecordBytes ? 0 : usableRecordBytes(std::uint64_t(v) * clusterBytes);
}

FixupResult applyFixups(std::span<std::uint8_t> record) {
    FixupResult result;
    const std::size_t size = std::min(record.size(), kMaxRecordBytes);
    if (size < 8) return result;
    // The words are taken from the record as read, so later replacements cannot feed
    // earlier ones even when the array overlaps a sector end.
    RecordBuffer asRead{};
    std::copy_n(record.begin(), size, asRead.begin());
    const std::size_t usaOffset = le16(asRead.data(), mft_record::kUsaOffset);
    const std::size_t usaCount = le16(asRead.data(), mft_record::kUsaCount);
    if (usaOffset >= size || usaOffset + 2 > size) return result;
    const std::uint16_t sequence = le16(asRead.data(), usaOffset);
    for (std::size_t i = 1; i < usaCount; ++i) {
        const std::size_t sectorEnd = kFixupSectorBytes * i;
        if (sectorEnd > size) break;
        const std::size_t wordAt = usaOffset + 2 * i;
        if (wordAt + 2 > size) break;
        if (le16(asRead.data(), sectorEnd - 2) != sequence) result.sequenceMismatch = true;
        record[sectorEnd - 2] = asRead[wordAt];
        record[sectorEnd - 1] = asRead[wordAt + 1];
        ++result.sectorsFixed;
    }
    return result;
}

std::optional<std::uint64_t> AttributeHeader::u64(std::size_t at) const {
    return FieldReader(header).le<std::uint64_t>(at);
}
std::optional<std::uint32_t> AttributeHeader::u32(std::size_t at) const {
    return FieldReader(header).le<std::uint32_t>(at);
}
std::optional<std::uint16_t> AttributeHeader::u16(std::size_t at) const {
    return FieldReader(header).le<std::uint16_t>(at);
}
std::uint32_t AttributeHeader::type() const { return u32(attribute::kType).value_or(attribute::kEnd); }
std::uint16_t AttributeHeader::length() const {
    return std::uint16_t(u32(attribute::kLength).value_or(0) & 0xFFFF);
}
bool AttributeHeader::nonResident() const {
    return header.size() > attribute::kNonResident && header[attribute::kNonResident] != 0;
}
std::uint16_t AttributeHeader::flags() const { return u16(attribute::kFlags).value_or(0); }

std::vector<AttributeHeader> walkAttributes(std::span<const std::uint8_t> record) {
    std::vector<AttributeHeader> list;
    const auto first = FieldReader(record).le<std::uint16_t>(mft_record::kFirstAttribute);
    if (!first) return list;
    std::size_t offset = *first;
    while (offset < record.size()) {
        AttributeHeader a;
        a.offset = offset;
        const std::size_t copy = std::min(attribute::kHeaderCopyBytes, record.size() - offset);
        a.header.assign(record.begin() + std::ptrdiff_t(offset), record.begin() + std::ptrdiff_t(offset + copy));
        const std::uint32_t type = a.type();
        const std::uint16_t length = a.length();
        list.push_back(std::move(a));
        if (length == 0 || type == attribute::kEnd) break;
        offset += length;
    }
    return list;
}

std::vector<Run> decodeRuns(std::span<const std::uint8_t> bytes, std::uint64_t streamClusters) {
    std::vector<Run> runs;
    RunDecodeState state;
    decodeRunList(bytes, streamClusters, state, [&](const Run& r) { runs.push_back(r); });
    return runs;
}

Lznt1Result lznt1Decompress(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
    constexpr std::size_t kChunkOutput = 4096;
    Lznt1Result result;
    std::size_t in = 0;
    std::size_t out = 0;
    auto finish = [&](int code, bool damaged = false) {
        result.code = code;
        result.produced = out;
        result.damaged = damaged;
        return result;
    };
    bool firstChunk = true;
    std::size_t chunkStart = 0;
    while (true) {
        if (out >= output.size()) return finish(in >= input.size() ? 0 : 1);
        if (input.size() - in < 2) return finish(0);
        const std::uint16_t header = le16(input.data(), in);
        if ((header & 0x0FFF) == 0) return finish(0);
        // A chunk that follows a short one still starts 4096 bytes after that one began.
        if (!firstChunk && out - chunkStart < kChunkOutput) {
            const std::size_t padEnd = std::min(chunkStart + kChunkOutput, output.size());
            std::fill(output.begin() + std::ptrdiff_t(out), output.begin() + std::ptrdiff_t(padEnd), 0);
            out = padEnd;
            if (out >= output.size()) return finish(1);
        }
        firstChunk = false;
        chunkStart = out;
        // Chunk size includes its 2-byte header: low 12 bits + 3.
        const std::size_t chunkBytes = std::size_t(header & 0x0FFF) + 3;
        const std::size_t chunkEnd = in + chunkBytes;
        if (chunkEnd > input.size()) return finish(1, true);
        std::size_t pos = in + 2;
        if ((header & 0x8000) == 0) {
            // A stored chunk: its bytes as they are.
            const std::size_t n = std::min(chunkEnd - pos, output.size() - out);
            std::copy_n(input.begin() + std::ptrdiff_t(pos), n, output.begin() + std::ptrdiff_t(out));
            out += n;
            if (n < chunkEnd - pos) return finish(1);
            in = chunkEnd;
            continue;
        }
        while (pos < chunkEnd) {
            const std::uint8_t flags = input[pos++];
            for (int bit = 0; bit < 8 && pos < chunkEnd; ++bit) {
                if (out >= output.size()) return finish(1);
                if ((flags & (1u << bit)) == 0) {
                    output[out++] = input[pos++];
                    continue;
                }
                if (chunkEnd - pos < 2) return finish(1, true);
                const std::uint16_t token = le16(input.data(), pos);
                pos += 2;
                // The split between displacement and length follows how much of this
                // chunk is already out: 12 length bits up to 16 bytes, one fewer per doubling.
                if (out == chunkStart) return finish(1, true);  // nothing to refer back to
                unsigned lengthBits = 12;
                for (std::size_t produced = out - chunkStart - 1; produced >= 0x10 && lengthBits > 4; produced >>= 1)
                    --lengthBits;
                const std::size_t length = std::size_t(token & ((1u << lengthBits) - 1)) + 3;
                const std::size_t displacement = std::size_t(token >> lengthBits) + 1;
                if (displacement > out - chunkStart) return finish(1, true);
                for (std::size_t k = 0; k < length; ++k) {
                    if (out >= output.size()) return finish(1);
                    output[out] = output[out - displacement];
                    ++out;
                }
            }
        }
        in = chunkEnd;
    }
}

std::u16string attributeWord(std::uint32_t fileNameFlags) {
    const std::uint16_t f = std::uint16_t(fileNameFlags & 0xFFFF);
    std::u16string word;
    if (f & 0x0001) word += u"-R";
    if (f & 0x0002) word += u"-H";
    if (f & 0x0200) word += u"-S";
    if (f & 0x0020) word += u"-A";
    if (f & 0x0800) word += u"-C";
    if (f & 0x4000) word += u"-E";
    return word;
}

}  // namespace dravonel::ntfs_format
