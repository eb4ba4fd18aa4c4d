#pragma once
// On-disk HFS+ structures: the volume header, fork data, B-tree node descriptors and
// header records, catalog keys and records, extents-overflow keys. Every field is
// big-endian. Nothing here reads a device; the parser does the reading. Partition
// discovery uses the header test too, so this header includes only common/.
#include <cstddef>
#include <cstdint>

#include "core/common/byte_reader.h"

namespace dravonel::hfsplus_format {

// The volume header sits 1024 bytes into the volume.
constexpr std::uint64_t kVolumeHeaderOffset = 1024;
constexpr std::size_t kVolumeHeaderBytes = 512;
// Seconds between 1904-01-01 and 1970-01-01, both UTC: catalog dates count from 1904.
constexpr std::int64_t kEpochOffset = 2082844800;

namespace volume_header {
constexpr std::size_t kSignature = 0x00;    // u16 'H+' (0x482B) or 'HX' (0x4858)
constexpr std::size_t kVersion = 0x02;      // u16: 4 (HFS+) or 5 (HFSX)
constexpr std::size_t kBlockSize = 0x28;    // u32, allocation block size
constexpr std::size_t kTotalBlocks = 0x2C;  // u32
constexpr std::size_t kExtentsFile = 0xC0;  // fork data of the extents-overflow file
constexpr std::size_t kCatalogFile = 0x110; // fork data of the catalog file
constexpr std::uint16_t kSignaturePlus = 0x482B;
constexpr std::uint16_t kSignatureX = 0x4858;
}  // namespace volume_header

// True when b (at least 3 bytes) starts a volume header: 'H', then '+' (HFS+) or 'X'
// (HFSX, the case-sensitive variant read the same way), then the high byte of its
// version (0).
inline bool isVolumeHeaderStart(const std::uint8_t* b) {
    return b[0] == 'H' && (b[1] == '+' || b[1] == 'X') && b[2] == 0;
}

namespace fork {
constexpr std::size_t kLogicalSize = 0x00;  // u64
constexpr std::size_t kTotalBlocks = 0x0C;  // u32
constexpr std::size_t kExtents = 0x10;      // 8 x (start block u32, block count u32)
constexpr std::size_t kExtentCount = 8;
constexpr std::size_t kExtentBytes = 8;
constexpr std::size_t kBytes = 80;
}  // namespace fork

namespace node {
constexpr std::size_t kForwardLink = 0x00;  // u32
constexpr std::size_t kKind = 0x08;         // s8: -1 leaf, 0 index, 1 header, 2 map
constexpr std::size_t kHeight = 0x09;       // u8
constexpr std::size_t kNumRecords = 0x0A;   // u16
constexpr std::size_t kDescriptorBytes = 14;
constexpr std::int8_t kLeaf = -1;
constexpr std::int8_t kIndex = 0;
constexpr std::int8_t kHeader = 1;
constexpr std::int8_t kMap = 2;
// Node sizes a B-tree may have.
constexpr std::uint32_t kMinSize = 512;
constexpr std::uint32_t kMaxSize = 32768;
}  // namespace node

// The header record, right after node 0's descriptor.
namespace header_record {
constexpr std::size_t kNodeSize = 18;    // u16
constexpr std::size_t kTotalNodes = 22;  // u32
}  // namespace header_record

namespace catalog_key {
constexpr std::size_t kKeyLength = 0x00;  // u16, bytes after this field
constexpr std::size_t kParentId = 0x02;   // u32
constexpr std::size_t kNameLength = 0x06; // u16, UTF-16 units
constexpr std::size_t kName = 0x08;       // UTF-16 big-endian
constexpr std::size_t kMaxName = 255;
}  // namespace catalog_key

namespace catalog_record {
constexpr std::size_t kType = 0x00;               // s16
constexpr std::size_t kId = 0x08;                 // u32, folder or file ID
constexpr std::size_t kCreateDate = 0x0C;         // u32, seconds since 1904 UTC
constexpr std::size_t kContentModDate = 0x10;
constexpr std::size_t kAttributeModDate = 0x14;
constexpr std::size_t kAccessDate = 0x18;
constexpr std::size_t kFileMode = 0x2A;           // u16
constexpr std::size_t kDataFork = 0x58;           // fork data (files)
constexpr std::size_t kFolderBytes = 88;
constexpr std::size_t kFileBytes = 248;
constexpr std::int16_t kFolder = 1;
constexpr std::int16_t kFile = 2;
}  // namespace catalog_record

namespace extent_key {
constexpr std::size_t kKeyLength = 0x00;  // u16 (10)
constexpr std::size_t kForkType = 0x02;   // u8: 0 data, 0xFF resource
constexpr std::size_t kFileId = 0x04;     // u32
constexpr std::size_t kStartBlock = 0x08; // u32, first file block the record covers
constexpr std::size_t kBytes = 12;        // key length field included
constexpr std::uint8_t kDataFork = 0x00;
}  // namespace extent_key

// Catalog IDs with a fixed meaning.
constexpr std::uint32_t kRootParentId = 1;
constexpr std::uint32_t kRootFolderId = 2;
constexpr std::uint32_t kExtentsFileId = 3;
constexpr std::uint32_t kCatalogFileId = 4;

}  // namespace dravonel::hfsplus_format
