#include "core/fs/ext/ext_journal.h"

#include <algorithm>
#include <array>
#include <climits>
#include <unordered_set>

#include "core/common/byte_reader.h"

namespace dravonel::ext_journal {

namespace {

constexpr std::uint32_t kMinBlock = 1024;
constexpr std::uint32_t kMaxBlock = 65536;

std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[i] = c;
    }
    return t;
}

// Whether a sequence lies within one ring's worth of transactions of the superblock's:
// every transaction takes at least two blocks, so nothing older survives a full turn.
bool plausibleSequence(const Superblock& sb, std::uint32_t sequence, std::uint32_t ringBlocks) {
    const std::int64_t d = std::int32_t(sequence - sb.sequence);
    return d <= std::int64_t(ringBlocks) && d >= -std::int64_t(ringBlocks);
}

}  // namespace

std::size_t Superblock::tagBytes() const {
    if (csumV3()) return 16;
    std::size_t n = 12;  // block number, checksum, flags, high block number
    if (csumV2()) n += 2;
    return is64Bit() ? n : n - 4;
}

std::optional<Superblock> decodeSuperblock(const std::uint8_t* b, std::size_t size) {
    if (size < superblock::kBytes || be32(b, header::kMagic) != kMagic) return std::nullopt;
    Superblock s;
    const std::uint32_t type = be32(b, header::kBlockType);
    if (type == header::kSuperblockV1) s.version = 1;
    else if (type == header::kSuperblockV2) s.version = 2;
    else return std::nullopt;
    s.blockSize = be32(b, superblock::kBlockSize);
    if (s.blockSize < kMinBlock || s.blockSize > kMaxBlock || (s.blockSize & (s.blockSize - 1)) != 0) return std::nullopt;
    s.maxLen = be32(b, superblock::kMaxLen);
    s.first = be32(b, superblock::kFirst);
    s.sequence = be32(b, superblock::kSequence);
    s.start = be32(b, superblock::kStart);
    if (s.version == 2) {
        s.incompat = be32(b, superblock::kIncompat);
        std::copy_n(b + superblock::kUuid, 16, s.uuid);
        if (s.incompat & superblock::kIncompatFastCommit) {
            s.fastCommitBlocks = be32(b, superblock::kNumFcBlocks);
            if (s.fastCommitBlocks == 0) s.fastCommitBlocks = superblock::kDefaultFcBlocks;
        }
    }
    if (s.first == 0 || s.maxLen <= s.first || s.fastCommitBlocks >= s.maxLen - s.first) return std::nullopt;
    if (s.start != 0 && (s.start < s.first || s.start >= s.logEnd())) return std::nullopt;
    return s;
}

std::optional<BlockHeader> decodeHeader(const std::uint8_t* b, std::size_t size) {
    if (size < header::kBytes || be32(b, header::kMagic) != kMagic) return std::nullopt;
    return BlockHeader{be32(b, header::kBlockType), be32(b, header::kSequence)};
}

std::vector<Tag> decodeDescriptor(const std::uint8_t* block, const Superblock& sb) {
    std::vector<Tag> tags;
    const std::size_t tagBytes = sb.tagBytes();
    const std::size_t end = sb.blockSize - (sb.hasTail() ? kBlockTailBytes : 0);
    std::size_t at = header::kBytes;
    while (at + tagBytes <= end) {
        const std::uint8_t* t = block + at;
        Tag tag;
        tag.fsBlock = be32(t, tag::kBlockNr);
        if (sb.csumV3()) {
            tag.flags = be32(t, tag::kFlags32);
            tag.checksum = be32(t, tag::kChecksum32);
        } else {
            tag.flags = be16(t, tag::kFlags16);
            tag.checksum = be16(t, tag::kChecksum16);
        }
        if (sb.is64Bit()) tag.fsBlock |= std::uint64_t(be32(t, tag::kBlockNrHi)) << 32;
        at += tagBytes;
        // The first tag of a block carries the journal's UUID unless flagged otherwise;
        // the kernel writes it only there, but a UUID is skipped wherever it is flagged.
        if (!(tag.flags & tag::kFlagSameUuid)) at += tag::kUuidBytes;
        tags.push_back(tag);
        if (at > end) break;
        if (tag.flags & tag::kFlagLastTag) break;
    }
    return tags;
}

std::vector<std::uint64_t> decodeRevoke(const std::uint8_t* block, const Superblock& sb) {
    std::vector<std::uint64_t> blocks;
    const std::size_t recordBytes = sb.is64Bit() ? 8 : 4;
    const std::size_t limit = sb.blockSize - (sb.hasTail() ? kBlockTailBytes : 0);
    const std::size_t used = std::min<std::size_t>(be32(block, revoke::kCount), limit);
    for (std::size_t at = revoke::kRecords; at + recordBytes <= used; at += recordBytes)
        blocks.push_back(recordBytes == 8 ? be64(block, at) : be32(block, at));
    return blocks;
}

std::uint32_t crc32cRaw(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
    static const std::array<std::uint32_t, 256> table = makeCrcTable();
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

bool tagChecksumMatches(const Superblock& sb, std::uint32_t sequence, const Tag& t, const std::uint8_t* data) {
    if (!sb.csumV2() && !sb.csumV3()) return true;
    std::uint32_t crc = crc32cRaw(0xFFFFFFFFu, sb.uuid, sizeof sb.uuid);
    const std::uint8_t seq[4] = {std::uint8_t(sequence >> 24), std::uint8_t(sequence >> 16), std::uint8_t(sequence >> 8),
                                 std::uint8_t(sequence)};
    crc = crc32cRaw(crc, seq, 4);
    crc = crc32cRaw(crc, data, sb.blockSize);
    return sb.csumV3() ? crc == t.checksum : (crc & 0xFFFF) == t.checksum;
}

Contents scanJournal(const Superblock& sb, std::uint32_t journalBlocks, const BlockReader& read,
                     const std::function<bool()>& stop) {
    Contents c;
    c.sb = sb;
    const std::uint32_t end = std::min(sb.logEnd(), journalBlocks);
    if (end <= sb.first) return c;
    const std::uint32_t ring = end - sb.first;

    // Pass 1: every block's header, the descriptors' tags, revocations and commits.
    struct Found {
        std::uint32_t type = 0, sequence = 0;
    };
    std::vector<Found> headers(ring);  // type 0: no header
    struct Descriptor {
        std::uint32_t at, sequence;
        std::vector<Tag> tags;
    };
    std::vector<Descriptor> descriptors;
    std::unordered_set<std::uint32_t> committed;
    std::vector<std::uint8_t> block(sb.blockSize);
    for (std::uint32_t j = sb.first; j < end; ++j) {
        if (stop && stop()) return c;
        if (!read(j, block.data())) continue;
        const auto h = decodeHeader(block.data(), block.size());
        if (!h || !plausibleSequence(sb, h->sequence, ring)) continue;
        if (h->type != header::kDescriptor && h->type != header::kCommit && h->type != header::kRevoke) continue;
        headers[j - sb.first] = {h->type, h->sequence};
        if (h->type == header::kDescriptor) {
            ++c.descriptors;
            descriptors.push_back({j, h->sequence, decodeDescriptor(block.data(), sb)});
        } else if (h->type == header::kCommit) {
            committed.insert(h->sequence);
        } else {
            for (std::uint64_t b : decodeRevoke(block.data(), sb)) c.revocations.push_back({b, h->sequence});
        }
    }

    // The newest sequence among the headers from the ring's first block up to each block
    // (relative to the superblock's), for the test of wrapped data below.
    const std::uint32_t base = sb.sequence;
    std::vector<std::int32_t> newestUpTo(ring);
    std::int32_t newest = INT32_MIN;
    for (std::uint32_t k = 0; k < ring; ++k) {
        if (headers[k].type != 0) newest = std::max(newest, std::int32_t(headers[k].sequence - base));
        newestUpTo[k] = newest;
    }

    // Pass 2: the data blocks of committed transactions that are still theirs.
    std::unordered_set<std::uint32_t> withCopies;
    for (const Descriptor& d : descriptors) {
        if (stop && stop()) return c;
        if (!committed.count(d.sequence)) {
            ++c.uncommitted;
            continue;
        }
        // A tag count beyond the ring is damage: nothing wraps twice.
        const std::size_t count = std::min<std::size_t>(d.tags.size(), ring - 1);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t pos = std::uint64_t(d.at) + 1 + i;
            const bool wrapped = pos >= end;
            if (wrapped) pos = sb.first + (pos - end);
            const auto at = static_cast<std::uint32_t>(pos);
            // A data block never starts with the magic (such blocks are escaped): a header
            // there belongs to a later transaction.
            if (headers[at - sb.first].type != 0) {
                ++c.mismatched;
                continue;
            }
            const Tag& t = d.tags[i];
            if (sb.csumV2() || sb.csumV3()) {
                if (!read(at, block.data()) || !tagChecksumMatches(sb, d.sequence, t, block.data())) {
                    ++c.mismatched;
                    continue;
                }
            } else if (wrapped) {
                // Without checksums: the log restarts from its first block, so a later
                // transaction's header before this position means it was written over.
                if (newestUpTo[at - sb.first] > std::int32_t(d.sequence - base)) {
                    ++c.mismatched;
                    continue;
                }
            }
            c.copies.push_back({t.fsBlock, at, d.sequence, (t.flags & tag::kFlagEscape) != 0});
            withCopies.insert(d.sequence);
        }
    }
    c.transactions = static_cast<std::uint32_t>(withCopies.size());
    std::stable_sort(c.copies.begin(), c.copies.end(), [base](const BlockCopy& a, const BlockCopy& b) {
        return std::int32_t(a.sequence - base) < std::int32_t(b.sequence - base);
    });
    return c;
}

}  // namespace dravonel::ext_journal
