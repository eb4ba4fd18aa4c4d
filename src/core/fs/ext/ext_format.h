#pragma once
// On-disk ext2/3/4 structures: the superblock, group descriptors, inodes, extent tree
// nodes and directory entries, as named offsets with small decoders over byte buffers.
// All fields are little-endian. Nothing here reads a device; the parser does the
// reading. Partition discovery uses the superblock test too, so this header includes
// only common/.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>

#include "core/common/byte_reader.h"

namespace dravonel::ext_format {

// The primary superblock sits 1024 bytes into the volume and is 1024 bytes long.
constexpr std::uint64_t kSuperblockOffset = 1024;
constexpr std::size_t kSuperblockBytes = 1024;
constexpr std::uint16_t kMagic = 0xEF53;
// The root folder's inode, and the first inode of ordinary files on revision-0 volumes.
constexpr std::uint32_t kRootInode = 2;
constexpr std::uint32_t kFirstInodeRev0 = 11;
constexpr std::uint16_t kInodeSizeRev0 = 128;

namespace superblock {
constexpr std::size_t kInodeCount = 0x00;       // u32
constexpr std::size_t kBlockCountLo = 0x04;     // u32
constexpr std::size_t kFirstDataBlock = 0x14;   // u32: 1 on 1 KiB-block volumes, else 0
constexpr std::size_t kLogBlockSize = 0x18;     // u32: block size = 1024 << this
constexpr std::size_t kBlocksPerGroup = 0x20;   // u32
constexpr std::size_t kInodesPerGroup = 0x28;   // u32
constexpr std::size_t kMagic = 0x38;            // u16 0xEF53
constexpr std::size_t kRevLevel = 0x4C;         // u32: 0 = fixed 128-byte inodes
constexpr std::size_t kFirstInode = 0x54;       // u32 (revision 1)
constexpr std::size_t kInodeSize = 0x58;        // u16 (revision 1)
constexpr std::size_t kBlockGroupNumber = 0x5A; // u16: the group holding this copy
constexpr std::size_t kFeatureCompat = 0x5C;    // u32
constexpr std::size_t kFeatureIncompat = 0x60;  // u32
constexpr std::size_t kFeatureRoCompat = 0x64;  // u32
constexpr std::size_t kJournalInode = 0xE0;     // u32: the journal's inode (internal journal)
constexpr std::size_t kJournalDevice = 0xE4;    // u32: the journal's device (external journal)
constexpr std::size_t kDescSize = 0xFE;         // u16 (64bit feature)
constexpr std::size_t kBlockCountHi = 0x150;    // u32 (64bit feature)

constexpr std::uint32_t kCompatHasJournal = 0x0004;
constexpr std::uint32_t kIncompatFileType = 0x0002;  // directory entries carry a file-type byte
constexpr std::uint32_t kIncompatExtents = 0x0040;
constexpr std::uint32_t kIncompat64Bit = 0x0080;     // 64-byte descriptors, 48-bit block numbers
constexpr std::uint32_t kRoCompatGdtCsum = 0x0010;   // descriptors' "uninitialised" marks are kept
constexpr std::uint32_t kRoCompatMetadataCsum = 0x0400;
}  // namespace superblock

namespace group_desc {
constexpr std::size_t kBlockBitmapLo = 0x00;    // u32
constexpr std::size_t kInodeBitmapLo = 0x04;    // u32
constexpr std::size_t kInodeTableLo = 0x08;     // u32
constexpr std::size_t kFlags = 0x12;            // u16
constexpr std::size_t kItableUnusedLo = 0x1C;   // u16
constexpr std::size_t kBlockBitmapHi = 0x20;    // u32 (64-byte descriptors)
constexpr std::size_t kInodeBitmapHi = 0x24;    // u32 (64-byte descriptors)
constexpr std::size_t kInodeTableHi = 0x28;     // u32 (64-byte descriptors)
constexpr std::size_t kItableUnusedHi = 0x32;   // u16 (64-byte descriptors)
constexpr std::size_t kSmallSize = 32;
constexpr std::size_t kLargeMin = 64;
constexpr std::uint16_t kFlagInodeUninit = 0x0001;  // no inode of the group is in use
constexpr std::uint16_t kFlagBlockUninit = 0x0002;  // the block bitmap was never written
}  // namespace group_desc

namespace inode {
constexpr std::size_t kMode = 0x00;        // u16
constexpr std::size_t kSizeLo = 0x04;      // u32
constexpr std::size_t kAtime = 0x08;       // u32, Unix seconds
constexpr std::size_t kCtime = 0x0C;       // u32, Unix seconds (inode change)
constexpr std::size_t kMtime = 0x10;       // u32, Unix seconds
constexpr std::size_t kDtime = 0x14;       // u32
constexpr std::size_t kLinksCount = 0x1A;  // u16
constexpr std::size_t kBlocksLo = 0x1C;    // u32, 512-byte units
constexpr std::size_t kFlags = 0x20;       // u32
constexpr std::size_t kBlock = 0x28;       // 60 bytes: block map or extent tree root
constexpr std::size_t kBlockBytes = 60;
constexpr std::size_t kGeneration = 0x64;  // u32: new with every use of the inode
constexpr std::size_t kFileAclLo = 0x68;   // u32: the extended-attribute block, 0 when none
constexpr std::size_t kSizeHi = 0x6C;      // u32
constexpr std::size_t kFileAclHi = 0x76;   // u16
constexpr std::size_t kExtraIsize = 0x80;  // u16: bytes in use beyond the first 128
constexpr std::size_t kCtimeExtra = 0x84;  // u32: low 2 bits extend the seconds, the rest nanoseconds
constexpr std::size_t kMtimeExtra = 0x88;
constexpr std::size_t kAtimeExtra = 0x8C;

constexpr std::uint16_t kTypeMask = 0xF000;
constexpr std::uint16_t kTypeFifo = 0x1000;
constexpr std::uint16_t kTypeCharDevice = 0x2000;
constexpr std::uint16_t kTypeDirectory = 0x4000;
constexpr std::uint16_t kTypeBlockDevice = 0x6000;
constexpr std::uint16_t kTypeRegular = 0x8000;
constexpr std::uint16_t kTypeSymlink = 0xA000;
constexpr std::uint16_t kTypeSocket = 0xC000;

constexpr std::uint32_t kFlagExtents = 0x00080000;
constexpr std::uint32_t kFlagInlineData = 0x10000000;
// Direct block pointers in the block map, then single, double and triple indirect.
constexpr std::size_t kDirectBlocks = 12;
}  // namespace inode

namespace extent {
constexpr std::uint16_t kMagic = 0xF30A;
constexpr std::size_t kHeaderMagic = 0x00;    // u16
constexpr std::size_t kHeaderEntries = 0x02;  // u16
constexpr std::size_t kHeaderMax = 0x04;      // u16
constexpr std::size_t kHeaderDepth = 0x06;    // u16
constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kEntryBytes = 12;
// Leaf entry.
constexpr std::size_t kLeafBlock = 0x00;    // u32, first logical block
constexpr std::size_t kLeafLen = 0x04;      // u16; above 32768: uninitialised, length - 32768
constexpr std::size_t kLeafStartHi = 0x06;  // u16
constexpr std::size_t kLeafStartLo = 0x08;  // u32
constexpr std::uint16_t kUninitLimit = 32768;
// Index entry.
constexpr std::size_t kIndexBlock = 0x00;   // u32, first logical block covered
constexpr std::size_t kIndexLeafLo = 0x04;  // u32
constexpr std::size_t kIndexLeafHi = 0x08;  // u16
// Trees deeper than this are damaged (the format needs at most 5 levels).
constexpr std::uint16_t kMaxDepth = 5;
}  // namespace extent

namespace dirent {
constexpr std::size_t kInode = 0x00;     // u32
constexpr std::size_t kRecLen = 0x04;    // u16
constexpr std::size_t kNameLen = 0x06;   // u8
constexpr std::size_t kFileType = 0x07;  // u8 with the file-type feature
constexpr std::size_t kName = 0x08;
constexpr std::uint8_t kFileTypeRegular = 1;
constexpr std::uint8_t kFileTypeDirectory = 2;
constexpr std::uint8_t kFileTypeSymlink = 7;
}  // namespace dirent

// Extended attributes kept in the inode itself, after its extra fields (at 128 + the
// extra size): a magic number, then entries, each naming its value by an offset from the
// first entry. A file or folder with inline data keeps what does not fit in the 60-byte
// block area in the value of "system.data".
namespace ixattr {
constexpr std::uint32_t kMagic = 0xEA020000;
constexpr std::size_t kHeaderBytes = 4;    // the magic
constexpr std::size_t kNameLen = 0x00;     // u8
constexpr std::size_t kNameIndex = 0x01;   // u8: 7 = "system."
constexpr std::size_t kValueOffset = 0x02;  // u16, from the first entry
constexpr std::size_t kValueInode = 0x04;  // u32: a value in an inode of its own when not 0
constexpr std::size_t kValueSize = 0x08;   // u32
constexpr std::size_t kName = 0x10;
constexpr std::uint8_t kIndexSystem = 7;
}  // namespace ixattr

// The value of the in-inode attribute "system.data" as [offset, offset + size) within
// the inode's first inodeBytes bytes; nothing when the inode keeps none (or it does not
// lie wholly within them).
inline std::optional<std::pair<std::size_t, std::size_t>> inlineDataValue(const std::uint8_t* inode,
                                                                          std::size_t inodeBytes) {
    if (inodeBytes < inode::kExtraIsize + 2) return std::nullopt;
    const std::size_t start = 128 + le16(inode, inode::kExtraIsize);
    if (start + ixattr::kHeaderBytes > inodeBytes || le32(inode, start) != ixattr::kMagic) return std::nullopt;
    const std::size_t first = start + ixattr::kHeaderBytes;
    std::size_t at = first;
    while (at + ixattr::kName <= inodeBytes && le32(inode, at) != 0) {
        const std::size_t nameLen = inode[at + ixattr::kNameLen];
        if (at + ixattr::kName + nameLen > inodeBytes) break;
        if (inode[at + ixattr::kNameIndex] == ixattr::kIndexSystem && nameLen == 4 &&
            std::memcmp(inode + at + ixattr::kName, "data", 4) == 0 && le32(inode, at + ixattr::kValueInode) == 0) {
            const std::size_t offset = first + le16(inode, at + ixattr::kValueOffset);
            const std::size_t size = le32(inode, at + ixattr::kValueSize);
            if (offset > inodeBytes || size > inodeBytes - offset) return std::nullopt;
            return std::make_pair(offset, size);
        }
        at += (ixattr::kName + nameLen + 3) & ~std::size_t(3);
    }
    return std::nullopt;
}

// True when a symbolic link keeps its target text in the inode's block area: no extents,
// no inline data, shorter than the area, and no block counted but its extended-attribute
// block (an old ext3 link with an ACL or a security label has one).
inline bool isFastSymlink(const std::uint8_t* in, std::uint32_t blockSize) {
    if ((le16(in, inode::kMode) & inode::kTypeMask) != inode::kTypeSymlink) return false;
    const std::uint64_t size = le32(in, inode::kSizeLo) | (std::uint64_t(le32(in, inode::kSizeHi)) << 32);
    if (size >= inode::kBlockBytes) return false;
    if (le32(in, inode::kFlags) & (inode::kFlagExtents | inode::kFlagInlineData)) return false;
    const bool attributeBlock = le32(in, inode::kFileAclLo) != 0 || le16(in, inode::kFileAclHi) != 0;
    const std::uint32_t counted = le32(in, inode::kBlocksLo);
    return counted == 0 || (attributeBlock && counted == blockSize / 512);
}

// The superblock fields the parser uses, decoded and checked.
struct Superblock {
    std::uint32_t inodeCount = 0;
    std::uint64_t blockCount = 0;
    std::uint32_t firstDataBlock = 0;
    std::uint32_t blockSize = 0;
    std::uint32_t blocksPerGroup = 0;
    std::uint32_t inodesPerGroup = 0;
    std::uint32_t firstInode = kFirstInodeRev0;
    std::uint16_t inodeSize = kInodeSizeRev0;
    std::uint16_t groupNumber = 0;
    std::uint32_t featureCompat = 0;
    std::uint32_t featureIncompat = 0;
    std::uint32_t featureRoCompat = 0;
    std::uint32_t journalInode = 0;
    std::uint32_t descSize = group_desc::kSmallSize;
    std::uint32_t groupCount = 0;  // including a last, partial group

    bool hasJournal() const { return (featureCompat & superblock::kCompatHasJournal) != 0; }
    bool hasFileType() const { return (featureIncompat & superblock::kIncompatFileType) != 0; }
    bool is64Bit() const { return (featureIncompat & superblock::kIncompat64Bit) != 0; }
    bool keepsUninitMarks() const {
        return (featureRoCompat & (superblock::kRoCompatGdtCsum | superblock::kRoCompatMetadataCsum)) != 0;
    }
};

// Decodes a superblock (at least the first 512 bytes of it: every field used lies
// there) and checks that it describes a volume: the magic, a block size of 1-64 KiB,
// groups that fit their bitmaps, an inode count that matches groups × inodes per group,
// an inode size that is a power of two from 128 up to the block size. Nothing otherwise.
inline std::optional<Superblock> decodeSuperblock(const std::uint8_t* b, std::size_t size) {
    using namespace superblock;
    if (size < 512) return std::nullopt;
    if (le16(b, superblock::kMagic) != ext_format::kMagic) return std::nullopt;
    Superblock s;
    const std::uint32_t logBlock = le32(b, kLogBlockSize);
    if (logBlock > 6) return std::nullopt;  // 1024 << 6 = 64 KiB
    s.blockSize = 1024u << logBlock;
    s.inodeCount = le32(b, kInodeCount);
    s.firstDataBlock = le32(b, kFirstDataBlock);
    s.blocksPerGroup = le32(b, kBlocksPerGroup);
    s.inodesPerGroup = le32(b, kInodesPerGroup);
    s.featureCompat = le32(b, kFeatureCompat);
    s.journalInode = le32(b, kJournalInode);
    s.featureIncompat = le32(b, kFeatureIncompat);
    s.featureRoCompat = le32(b, kFeatureRoCompat);
    s.groupNumber = le16(b, kBlockGroupNumber);
    s.blockCount = le32(b, kBlockCountLo);
    if (s.is64Bit()) s.blockCount |= std::uint64_t(le32(b, kBlockCountHi)) << 32;
    if (le32(b, kRevLevel) >= 1) {
        s.inodeSize = le16(b, kInodeSize);
        s.firstInode = le32(b, kFirstInode);
    }
    // One bitmap block describes 8 x block size blocks and inodes of a group.
    const std::uint64_t bitmapBits = std::uint64_t(s.blockSize) * 8;
    if (s.blocksPerGroup == 0 || s.blocksPerGroup > bitmapBits) return std::nullopt;
    if (s.inodesPerGroup == 0 || s.inodesPerGroup > bitmapBits) return std::nullopt;
    if (s.inodeSize < 128 || s.inodeSize > s.blockSize || (s.inodeSize & (s.inodeSize - 1)) != 0) return std::nullopt;
    if (s.firstDataBlock > 1 || s.blockCount <= s.firstDataBlock) return std::nullopt;
    if (s.blockCount >= (std::uint64_t(1) << 48)) return std::nullopt;
    const std::uint64_t groups = (s.blockCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
    if (groups == 0 || groups > 0xFFFFFFFFull) return std::nullopt;
    if (groups * s.inodesPerGroup != s.inodeCount) return std::nullopt;
    s.groupCount = static_cast<std::uint32_t>(groups);
    if (s.is64Bit()) {
        const std::uint16_t d = le16(b, kDescSize);
        if (d < group_desc::kLargeMin || d > 1024 || (d & (d - 1)) != 0) return std::nullopt;
        s.descSize = d;
    }
    if (s.firstInode <= kRootInode || s.firstInode > s.inodeCount) s.firstInode = kFirstInodeRev0;
    return s;
}

// A directory entry's record length: with 64 KiB blocks the on-disk values 0 and 65535
// stand for 65536, and the low two bits carry bits 16-17.
inline std::uint32_t recordLength(std::uint16_t onDisk, std::uint32_t blockSize) {
    if (blockSize < 65536) return onDisk;
    if (onDisk == 65535 || onDisk == 0) return blockSize;
    return (onDisk & 65532u) | ((onDisk & 3u) << 16);
}

// The seconds of an inode time with its extra field (the low two bits of the extra
// field extend the signed 32-bit seconds), and the nanoseconds.
inline std::int64_t extendedSeconds(std::uint32_t seconds, std::uint32_t extra) {
    return std::int64_t(std::int32_t(seconds)) + (std::int64_t(extra & 3u) << 32);
}
inline std::uint32_t extraNanoseconds(std::uint32_t extra) { return extra >> 2; }

}  // namespace dravonel::ext_format
