#pragma once
// On-disk NTFS structures decoded from byte buffers: MFT record header and
// update-sequence fixups, the attribute walk, file-name content, run lists and LZNT1
// compression units. Nothing here reads a device; the parser does the reading.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravonel::ntfs_format {

// MFT records are 1024 bytes on volumes of 512-byte sectors; a volume formatted with
// larger sectors keeps records of at least one sector (4096 bytes on 4Kn disks), its boot
// sector says how large. Fixups work in 512-byte pieces whatever the sector size.
constexpr std::size_t kRecordBytes = 1024;
constexpr std::size_t kMaxRecordBytes = 4096;
constexpr std::size_t kFixupSectorBytes = 512;

namespace boot_sector {
constexpr std::size_t kOemId = 0x03;              // 4 bytes "NTFS"
constexpr std::size_t kBytesPerSector = 0x0B;     // u16
constexpr std::size_t kSectorsPerCluster = 0x0D;  // u8
constexpr std::size_t kTotalSectors = 0x28;       // u64
constexpr std::size_t kMftCluster = 0x30;         // u64
constexpr std::size_t kMftMirrorCluster = 0x38;   // u64
constexpr std::size_t kRecordSize = 0x40;         // i8: clusters per MFT record, or 2^-n bytes when negative
}  // namespace boot_sector

namespace mft_record {
constexpr std::size_t kSignature = 0x00;       // 4 bytes "FILE"
constexpr std::size_t kUsaOffset = 0x04;       // u16
constexpr std::size_t kUsaCount = 0x06;        // u16: sequence number + one word per sector
constexpr std::size_t kFirstAttribute = 0x14;  // u16
constexpr std::size_t kSequence = 0x10;        // u16: bumped each time the record is freed
constexpr std::size_t kFlags = 0x16;           // u16: 0x0001 = in use
constexpr std::size_t kBaseRecord = 0x20;      // u64: base record reference (0 in a base record)
constexpr std::size_t kRecordNumber = 0x2C;    // u32: the record's own number (NTFS 3.1 layout)
constexpr std::size_t kRecordNumberLayoutUsa = 0x30;  // update-sequence offset of records with 0x2C
constexpr std::size_t kAllocatedBytes = 0x1C;  // u32: the record's own size
constexpr std::uint16_t kInUse = 0x0001;
}  // namespace mft_record

namespace attribute {
constexpr std::size_t kType = 0x00;           // u32
constexpr std::size_t kLength = 0x04;         // u32, low 16 bits used
constexpr std::size_t kNonResident = 0x08;    // u8
constexpr std::size_t kNameLength = 0x09;     // u8: characters of the attribute's name; 0 = unnamed
constexpr std::size_t kFlags = 0x0C;          // u16
constexpr std::size_t kContentLength = 0x10;  // u32 (resident)
constexpr std::size_t kContentOffset = 0x14;  // u16 (resident)
constexpr std::size_t kStartVcn = 0x10;       // u64 (non-resident)
constexpr std::size_t kLastVcn = 0x18;        // u64 (non-resident)
constexpr std::size_t kRunListOffset = 0x20;  // u16 (non-resident)
constexpr std::size_t kCompressionUnit = 0x22;  // u16 (non-resident), log2 clusters
constexpr std::size_t kAllocatedSize = 0x28;  // u64 (non-resident)
constexpr std::size_t kDataSize = 0x30;       // u64 (non-resident)
constexpr std::size_t kHeaderCopyBytes = 64;

constexpr std::uint32_t kStandardInformation = 0x10;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kFileName = 0x30;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kEnd = 0xFFFFFFFF;

constexpr std::uint16_t kFlagCompressed = 0x0001;
constexpr std::uint16_t kFlagEncrypted = 0x4000;
}  // namespace attribute

namespace file_name {
constexpr std::size_t kParent = 0x00;         // u64; low 48 bits = parent record number
constexpr std::size_t kAllocatedSize = 0x28;  // u64
constexpr std::size_t kFlags = 0x38;          // u32
constexpr std::size_t kNameLength = 0x40;     // u8, characters
constexpr std::size_t kNamespace = 0x41;      // u8: 0 POSIX, 1 Win32, 2 DOS (the 8.3 twin), 3 Win32 and DOS
constexpr std::size_t kName = 0x42;           // UTF-16LE
constexpr std::uint8_t kNamespaceDos = 2;
constexpr std::uint32_t kDirectoryFlag = 0x10000000;
}  // namespace file_name

namespace standard_information {
constexpr std::size_t kCreated = 0x00;   // u64 FILETIME
constexpr std::size_t kModified = 0x08;  // u64 FILETIME
constexpr std::size_t kAccessed = 0x18;  // u64 FILETIME
}  // namespace standard_information

namespace attribute_list_entry {
constexpr std::size_t kType = 0x00;        // u32
constexpr std::size_t kLength = 0x04;      // u16
constexpr std::size_t kNameLength = 0x06;  // u8
constexpr std::size_t kRecordLow = 0x10;   // u32
constexpr std::size_t kRecordHigh = 0x14;  // u16
}  // namespace attribute_list_entry

using Record = std::array<std::uint8_t, kRecordBytes>;
// Room for a record of any size this system reads; the volume's record size says how much
// of it is the record.
using RecordBuffer = std::array<std::uint8_t, kMaxRecordBytes>;

// A record size this system reads: 1024, 2048 or 4096 bytes; 0 for anything else.
constexpr std::size_t usableRecordBytes(std::uint64_t bytes) {
    return bytes == 1024 || bytes == 2048 || bytes == 4096 ? std::size_t(bytes) : 0;
}
// The record size a boot sector gives for a cluster size (field kRecordSize), or 0.
std::size_t recordBytesFromBoot(std::span<const std::uint8_t> boot, std::uint64_t clusterBytes);

// True when the first four bytes of bytes are "FILE".
bool hasFileSignature(std::span<const std::uint8_t> bytes);

// What fixing up a record found.
struct FixupResult {
    int sectorsFixed = 0;       // sector ends replaced
    bool sequenceMismatch = false;  // a sector end differed from the sequence number (torn write)
};
// Replaces the last two bytes of each 512-byte piece of the record (at most
// kMaxRecordBytes of it) with the word from the update-sequence array (u16 at 0x04 = array offset, u16 at 0x06 = word count).
// Sectors beyond the record and array words beyond the record are left alone. A torn
// sector is still fixed up; the mismatch is only reported.
FixupResult applyFixups(std::span<std::uint8_t> record);

// One attribute met by the attribute walk: where it starts in the record and a copy of
// its header (at most 64 bytes, fewer at the record end).
struct AttributeHeader {
    std::size_t offset = 0;
    std::vector<std::uint8_t> header;
    std::uint32_t type() const;
    std::uint16_t length() const;  // low 16 bits of the u32 at 0x04
    bool nonResident() const;
    std::uint16_t flags() const;
    std::optional<std::uint64_t> u64(std::size_t at) const;
    std::optional<std::uint32_t> u32(std::size_t at) const;
    std::optional<std::uint16_t> u16(std::size_t at) const;
};
// Walks the attributes from the first-attribute offset (u16 at 0x14), advancing by the
// low 16 bits of each length. Ends after an attribute of length 0 or type 0xFFFFFFFF, and
// when the next offset is beyond the record; every offset visited grows, so it ends.
std::vector<AttributeHeader> walkAttributes(std::span<const std::uint8_t> record);

// A run of clusters: start cluster (0 = sparse, no place on disk) and cluster count.
struct Run {
    std::int32_t start = 0;
    std::uint32_t count = 0;
    bool operator==(const Run&) const = default;
};
// The accumulators of one run-list decoding call: the current cluster number (32-bit)
// and the cumulative cluster count. They carry over between attributes of one call.
struct RunDecodeState {
    std::int32_t currentCluster = 0;
    std::uint64_t cumulativeClusters = 0;
    bool ended = false;  // a header with length size 0 was met
};
// Decodes one mapping-pair array. Each run whose cumulative count stays within
// streamClusters is handed to emit; later ones are decoded and dropped. A header byte
// whose length size is 0, or a field that runs past the bytes, ends the decoding.
template <class Emit>
void decodeRunList(std::span<const std::uint8_t> bytes, std::uint64_t streamClusters, RunDecodeState& state,
                   Emit&& emit);
// Convenience: all runs of one array.
std::vector<Run> decodeRuns(std::span<const std::uint8_t> bytes, std::uint64_t streamClusters);

// What LZNT1 decompression of one compression unit produced.
struct Lznt1Result {
    int code = 0;             // 0 done; 1 input or output exhausted early
    std::size_t produced = 0;  // bytes written to output
    bool damaged = false;     // a chunk ran past the input, or a token past its chunk or before its start
};
// Decompresses LZNT1 chunks from input into output, never beyond output.size() and never
// reading beyond input.size(). Every chunk but the last stands for 4096 bytes: one that
// decodes shorter is padded with zeros so the chunks after it keep their places.
Lznt1Result lznt1Decompress(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);

// The "-R-H-S-A-C-E" attribute word of the low 16 bits of the file-name flags.
std::u16string attributeWord(std::uint32_t fileNameFlags);

// ---- template body ----
template <class Emit>
void decodeRunList(std::span<const std::uint8_t> bytes, std::uint64_t streamClusters, RunDecodeState& state,
                   Emit&& emit) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint8_t h = bytes[at];
        const unsigned lengthSize = h & 0x0F;
        const unsigned offsetSize = h >> 4;
        if (lengthSize == 0) {
            state.ended = true;
            return;
        }
        ++at;
        if (bytes.size() - at < std::size_t(lengthSize) + offsetSize) {
            // A pair that does not fit the attribute: the list is damaged here.
            state.ended = true;
            return;
        }
        std::uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize && i < 8; ++i) length |= std::uint64_t(bytes[at + i]) << (8 * i);
        // Only the low 32 bits of the length are used.
        const std::uint32_t length32 = std::uint32_t(length);
        at += lengthSize;
        std::int32_t start = 0;
        if (offsetSize > 0) {
            std::uint64_t raw = 0;
            for (unsigned i = 0; i < offsetSize && i < 8; ++i) raw |= std::uint64_t(bytes[at + i]) << (8 * i);
            if (offsetSize < 8 && (bytes[at + offsetSize - 1] & 0x80)) raw |= ~std::uint64_t(0) << (8 * offsetSize);
            const std::uint32_t delta = std::uint32_t(raw);  // low 32 bits, two's complement
            state.currentCluster = std::int32_t(std::uint32_t(state.currentCluster) + delta);
            start = state.currentCluster;
            at += offsetSize;
        }
        state.cumulativeClusters += length32;
        if (state.cumulativeClusters <= streamClusters) emit(Run{start, length32});
    }
}

}  // namespace dravonel::ntfs_format

// How partition discovery and the surface scan know an NTFS boot sector: the jump
// instruction 0xEB 0x52 at 0x00, "NTFS" at kOemId and a sector size of 512, 1024, 2048 or
// 4096 bytes at kBytesPerSector (4096 on 4Kn disks, mkntfs -s).
namespace dravonel::ntfs_format::boot_sector {
constexpr std::size_t kJump = 0x00;  // 2 bytes
constexpr std::uint8_t kJumpOpcode = 0xEB;
constexpr std::uint8_t kJumpOffset = 0x52;
constexpr char kOemIdText[] = "NTFS";  // 4 bytes at kOemId
constexpr std::uint16_t kSectorBytes = 512;
constexpr std::uint16_t kMaxSectorBytes = 4096;

// The sector size a boot sector gives, or 0 when it is none of the sizes above.
inline std::uint32_t sectorBytesOf(const std::uint8_t* b) {
    const std::uint32_t bps = std::uint32_t(b[kBytesPerSector]) | std::uint32_t(b[kBytesPerSector + 1]) << 8;
    return bps == 512 || bps == 1024 || bps == 2048 || bps == 4096 ? bps : 0;
}
}  // namespace dravonel::ntfs_format::boot_sector
