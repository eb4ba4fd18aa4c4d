#pragma once
// The ext3/ext4 journal (JBD2) as the kernel writes it: its superblock (version 1 or 2),
// descriptor blocks and their tags (32- or 64-bit block numbers; the tag sizes of
// checksum versions 2 and 3; the "same UUID", "escaped" and "last tag" flags), revoke
// blocks and commit blocks. All journal fields are big-endian.
//
// The journal is a ring of blocks; what a transaction wrote stays there until the ring
// comes round again, long after the transaction was written back to its home blocks.
// scanJournal finds every transaction still present anywhere in the ring (not only those
// after the log's start) and lists the copies of volume blocks each holds, newest
// transaction last. Everything here works on journal blocks handed in by the caller,
// who reads them through the sector reader; nothing reads a device. Only an internal
// journal (a file of the volume) is read: a journal on a device of its own is not.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace dravonel::ext_journal {

constexpr std::uint32_t kMagic = 0xC03B3998;
// The journal's own inode on the volume.
constexpr std::uint32_t kJournalInode = 8;

namespace header {
constexpr std::size_t kMagic = 0x00;      // be32
constexpr std::size_t kBlockType = 0x04;  // be32
constexpr std::size_t kSequence = 0x08;   // be32
constexpr std::size_t kBytes = 12;
constexpr std::uint32_t kDescriptor = 1;
constexpr std::uint32_t kCommit = 2;
constexpr std::uint32_t kSuperblockV1 = 3;
constexpr std::uint32_t kSuperblockV2 = 4;
constexpr std::uint32_t kRevoke = 5;
}  // namespace header

namespace superblock {
constexpr std::size_t kBlockSize = 0x0C;   // be32
constexpr std::size_t kMaxLen = 0x10;      // be32: blocks in the journal
constexpr std::size_t kFirst = 0x14;       // be32: first block of the log
constexpr std::size_t kSequence = 0x18;    // be32: first transaction expected in the log
constexpr std::size_t kStart = 0x1C;       // be32: block of that transaction, 0 when clean
constexpr std::size_t kCompat = 0x24;      // be32 (version 2)
constexpr std::size_t kIncompat = 0x28;    // be32 (version 2)
constexpr std::size_t kRoCompat = 0x2C;    // be32 (version 2)
constexpr std::size_t kUuid = 0x30;        // 16 bytes
constexpr std::size_t kNumFcBlocks = 0x54; // be32: fast-commit blocks at the journal's end
constexpr std::size_t kBytes = 0x100;

constexpr std::uint32_t kIncompatRevoke = 0x01;
constexpr std::uint32_t kIncompat64Bit = 0x02;
constexpr std::uint32_t kIncompatAsyncCommit = 0x04;
constexpr std::uint32_t kIncompatCsumV2 = 0x08;
constexpr std::uint32_t kIncompatCsumV3 = 0x10;
constexpr std::uint32_t kIncompatFastCommit = 0x20;
constexpr std::uint32_t kDefaultFcBlocks = 256;
}  // namespace superblock

namespace tag {
constexpr std::size_t kBlockNr = 0x00;        // be32
// Without checksum version 3: be16 checksum at 4, be16 flags at 6, be32 high at 8.
constexpr std::size_t kChecksum16 = 0x04;
constexpr std::size_t kFlags16 = 0x06;
constexpr std::size_t kBlockNrHi = 0x08;
// Checksum version 3: be32 flags at 4, be32 high at 8, be32 checksum at 12.
constexpr std::size_t kFlags32 = 0x04;
constexpr std::size_t kChecksum32 = 0x0C;
constexpr std::size_t kUuidBytes = 16;
constexpr std::uint32_t kFlagEscape = 0x1;    // the block began with the magic, stored as zeros
constexpr std::uint32_t kFlagSameUuid = 0x2;  // no UUID follows the tag
constexpr std::uint32_t kFlagDeleted = 0x4;
constexpr std::uint32_t kFlagLastTag = 0x8;
}  // namespace tag

namespace revoke {
constexpr std::size_t kCount = 0x0C;  // be32: bytes used in the block, the header included
constexpr std::size_t kRecords = 0x10;
}  // namespace revoke

// Checksum versions 2 and 3 keep a 4-byte checksum at the end of descriptor and revoke
// blocks.
constexpr std::size_t kBlockTailBytes = 4;

struct Superblock {
    int version = 0;  // 1 or 2
    std::uint32_t blockSize = 0;
    std::uint32_t maxLen = 0;
    std::uint32_t first = 0;
    std::uint32_t sequence = 0;
    std::uint32_t start = 0;
    std::uint32_t incompat = 0;
    std::uint8_t uuid[16] = {};
    std::uint32_t fastCommitBlocks = 0;

    bool is64Bit() const { return (incompat & superblock::kIncompat64Bit) != 0; }
    bool csumV2() const { return (incompat & superblock::kIncompatCsumV2) != 0; }
    bool csumV3() const { return (incompat & superblock::kIncompatCsumV3) != 0; }
    bool hasTail() const { return csumV2() || csumV3(); }
    // Bytes of one tag, the UUID that may follow it not counted.
    std::size_t tagBytes() const;
    // One past the last block of the log ring (fast-commit blocks lie beyond it).
    std::uint32_t logEnd() const { return maxLen - fastCommitBlocks; }
};

// Decodes the journal's block 0: the magic, a version-1 or version-2 superblock type,
// a block size of 1-64 KiB, a ring that starts at block 1 or later and ends within
// maxLen. Nothing otherwise.
std::optional<Superblock> decodeSuperblock(const std::uint8_t* b, std::size_t size);

struct BlockHeader {
    std::uint32_t type = 0;
    std::uint32_t sequence = 0;
};
// The header of a journal block when it starts with the magic.
std::optional<BlockHeader> decodeHeader(const std::uint8_t* b, std::size_t size);

struct Tag {
    std::uint64_t fsBlock = 0;
    std::uint32_t flags = 0;
    std::uint32_t checksum = 0;  // 16 bits with checksum version 2, 32 with version 3
};
// The tags of a descriptor block, up to the one flagged last or the end of the block
// (less its checksum tail).
std::vector<Tag> decodeDescriptor(const std::uint8_t* block, const Superblock& sb);
// The volume blocks a revoke block names.
std::vector<std::uint64_t> decodeRevoke(const std::uint8_t* block, const Superblock& sb);

// CRC-32C as the journal chains it (no inversion at either end).
std::uint32_t crc32cRaw(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
// Whether a data block's bytes, as stored in the journal, match its tag's checksum
// (true without tag checksums).
bool tagChecksumMatches(const Superblock& sb, std::uint32_t sequence, const Tag& t, const std::uint8_t* data);

// One copy of a volume block held in the journal.
struct BlockCopy {
    std::uint64_t fsBlock = 0;
    std::uint32_t journalBlock = 0;  // where the copy lies in the journal
    std::uint32_t sequence = 0;      // the transaction that wrote it
    bool escaped = false;            // its first four bytes are the magic, stored as zeros
};

struct Revocation {
    std::uint64_t fsBlock = 0;
    std::uint32_t sequence = 0;
};

struct Contents {
    Superblock sb;
    // Copies of committed transactions, oldest transaction first (by sequence, counted
    // from the oldest still present), in journal order within one.
    std::vector<BlockCopy> copies;
    std::vector<Revocation> revocations;
    std::uint32_t descriptors = 0;
    std::uint32_t transactions = 0;   // committed ones with copies
    std::uint32_t uncommitted = 0;    // descriptors whose commit is gone
    std::uint32_t mismatched = 0;     // copies dropped: overwritten since (checksum or position)
};

// Reads journal block `index` (0 = the journal superblock) into dest (sb.blockSize
// bytes); false when it cannot be read.
using BlockReader = std::function<bool(std::uint32_t index, std::uint8_t* dest)>;

// Reads every block of the log ring once, takes every descriptor, commit and revoke block
// whose sequence lies within one ring's worth of transactions of the superblock's, and
// keeps the copies of transactions whose commit block is present and whose data were
// not written over since. journalBlocks is what the journal file maps (blocks beyond it
// are not read). stop is polled between blocks.
Contents scanJournal(const Superblock& sb, std::uint32_t journalBlocks, const BlockReader& read,
                     const std::function<bool()>& stop = {});

// Whether sequence a comes before b (sequences wrap at 2^32).
inline bool sequenceBefore(std::uint32_t a, std::uint32_t b) { return std::int32_t(a - b) < 0; }

}  // namespace dravonel::ext_journal
