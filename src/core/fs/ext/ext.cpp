#include "core/fs/ext/ext.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"

namespace dravonel {

namespace {

namespace sbf = ext_format::superblock;
namespace gd = ext_format::group_desc;
namespace ino = ext_format::inode;
namespace ext = ext_format::extent;
namespace de = ext_format::dirent;

// Inode tables and file data are read in pieces of at most this many bytes.
constexpr std::size_t kChunkBytes = 1 << 20;
// The inode bytes kept per inode: the 128-byte base and the extra fields up to the
// access time's nanoseconds (0x8C + 4) and a little beyond.
constexpr std::size_t kInodeKeep = 256;

// The bytes of a file or folder kept in its inode (inline data): the 60-byte block area,
// then the value of its "system.data" attribute, cut at its size.
std::vector<std::uint8_t> inlineData(const std::vector<std::uint8_t>& inode, std::uint64_t size) {
    const std::uint8_t* in = inode.data();
    const auto value = ext_format::inlineDataValue(in, inode.size());
    const std::size_t extra = value ? value->second : 0;
    std::vector<std::uint8_t> data(ino::kBlockBytes + extra);
    std::memcpy(data.data(), in + ino::kBlock, ino::kBlockBytes);
    if (extra) std::memcpy(data.data() + ino::kBlockBytes, in + value->first, extra);
    if (data.size() > size) data.resize(std::size_t(size));
    return data;
}

// Names are UTF-8 on volumes of today; a name that is not valid UTF-8 is read as
// Windows-1252, so that every byte still shows as a character.
bool validUtf8(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = p[i];
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::u16string decodeName(const std::uint8_t* p, std::size_t n) {
    if (validUtf8(p, n)) return fromUtf8(std::string_view(reinterpret_cast<const char*>(p), n));
    return fromWindows1252(std::span<const std::uint8_t>(p, n));
}

std::u16string localText(std::int64_t seconds) {
    const auto local = unixTimeToLocal(seconds);
    return local ? formatDateTime(*local) : std::u16string();
}

}  // namespace

ext2Class::ext2Class(const VolumeRecord& v, TreeSink* t, readWriteInterface* r, ScanSink* s, WorkerControl* c)
    : volume(v), tree(t), reader(r), sink(s), workerControl(c) {}

bool ext2Class::stopRequested() const { return stopFlag.load(std::memory_order_relaxed) != 0; }

void ext2Class::status(std::u16string_view text) const {
    if (sink) sink->status(text);
}

void ext2Class::checkPoint() const {
    if (workerControl) workerControl->checkPoint();
}

bool ext2Class::readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count) const {
    return reader && reader->readAtUnsigned(position, dest, count);
}

bool ext2Class::readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count,
                        std::vector<SectorRange>* unreadable) const {
    return reader && reader->readAtUnsigned(position, dest, count, unreadable);
}

bool ext2Class::readInto(EntryWriter& out, std::uint64_t position, std::uint8_t* buffer, std::size_t count,
                       bool& complete) const {
    return copyAsRead(reader, position, buffer, count, out, complete);
}

std::optional<ExtRun> extentLeafRun(const std::uint8_t* e, std::uint64_t logicalBlocks, std::uint64_t usable) {
    const std::uint64_t logical = le32(e, ext::kLeafBlock);
    std::uint32_t len = le16(e, ext::kLeafLen);
    ExtRun::Kind kind = ExtRun::Kind::Data;
    if (len > ext::kUninitLimit) {
        len -= ext::kUninitLimit;
        kind = ExtRun::Kind::Uninitialised;
    }
    if (logical >= logicalBlocks || len == 0) return std::nullopt;
    len = std::uint32_t(std::min<std::uint64_t>(len, logicalBlocks - logical));
    const std::uint64_t start = le32(e, ext::kLeafStartLo) | (std::uint64_t(le16(e, ext::kLeafStartHi)) << 32);
    if (kind == ExtRun::Kind::Data && (start == 0 || start >= usable || len > usable - start))
        kind = ExtRun::Kind::Unreadable;
    return ExtRun{logical, start, len, kind};
}

// Blocks that can be read: those the superblock counts and the source holds.
std::uint64_t ext2Class::usableBlocks() const {
    if (!superblock || blockSize == 0) return 0;
    std::uint64_t sourceBytes = volumeSize;
    if (reader && reader->deviceSectorCount > 0) {
        const std::int64_t device = reader->deviceSectorCount * kSectorBytes - reader->baseOffset;
        if (device > 0) sourceBytes = std::max<std::uint64_t>(sourceBytes, std::uint64_t(device));
    }
    return std::min<std::uint64_t>(superblock->blockCount, (sourceBytes + blockSize - 1) / blockSize);
}

bool ext2Class::attachReader(readWriteInterface* r) {
    reader = r;
    if (!reader) return false;
    const std::int64_t mb = sizeMbValue(volume.sizeMbText);
    volumeSize = mb > 0 && mb < (INT64_MAX >> 20) ? std::uint64_t(mb) << 20 : 0;
    // A volume under 1 MiB has the size text "0": it reaches to the source's end.
    if (volumeSize == 0 && reader->deviceSectorCount > 0) {
        const std::int64_t device = reader->deviceSectorCount * kSectorBytes - reader->baseOffset;
        if (device > 0) volumeSize = std::uint64_t(device);
    }
    return true;
}

bool ext2Class::readSuperblock() {
    superblock.reset();
    if (!reader || volumeSize <= 1536) return false;
    // The primary copy is at 1024; further on, a copy is looked for sector by sector (a
    // volume whose first blocks were overwritten keeps copies at the start of later
    // groups). The volume is read a chunk at a time and tested in memory.
    std::vector<std::uint8_t> chunk(std::size_t(std::min<std::uint64_t>(kChunkBytes, volumeSize)) + ext_format::kSuperblockBytes);
    for (std::uint64_t base = ext_format::kSuperblockOffset; base + ext_format::kSuperblockBytes <= volumeSize;
         base += kChunkBytes) {
        if (stopRequested()) break;
        checkPoint();
        const std::size_t want = std::size_t(std::min<std::uint64_t>(chunk.size(), volumeSize - base));
        std::fill_n(chunk.begin(), want, 0);
        std::vector<SectorRange> unreadable;  // a sector that cannot be read hides no copy beside it
        readBytes(base, chunk.data(), want, &unreadable);
        for (std::size_t at = 0; at < kChunkBytes && at + ext_format::kSuperblockBytes <= want; at += 512) {
            if (le16(chunk.data(), at + sbf::kMagic) != ext_format::kMagic) continue;
            auto s = ext_format::decodeSuperblock(chunk.data() + at, ext_format::kSuperblockBytes);
            if (!s) continue;
            superblock = s;
            superblockPosition = base + at;
            blockSize = s->blockSize;
            groupCount = s->groupCount;
            return true;
        }
    }
    return false;
}

bool ext2Class::readGroupDescriptors() {
    groups.clear();
    if (!superblock) return false;
    const auto& s = *superblock;
    // The table starts in the block after the superblock's block.
    const std::uint64_t tableStart = (superblockPosition / blockSize + 1) * std::uint64_t(blockSize);
    const std::uint64_t tableBytes = std::uint64_t(groupCount) * s.descSize;
    // The table lives inside the volume: a count that would not fit is damage.
    if (tableBytes == 0 || tableBytes > std::max<std::uint64_t>(volumeSize, usableBlocks() * blockSize)) return false;
    std::vector<std::uint8_t> table;
    try {
        table.assign(tableBytes, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    descriptorsFromBackup = descriptorsUnreadable = 0;
    std::vector<bool> lostDescriptor(groupCount, false);
    // Reads the descriptors of groups [first, first + count) from position; those in
    // sectors that cannot be read come from the first backup position that gives them
    // (each the place of descriptor `first` in a copy), and those no copy gives are lost
    // alone. False when the reader refuses the position (it lies beyond the source).
    auto readPiece = [&](std::uint64_t first, std::uint64_t count, std::uint64_t position,
                         const std::vector<std::uint64_t>& backups) {
        const std::uint64_t bytes = count * s.descSize;
        std::uint8_t* piece = table.data() + first * s.descSize;
        for (std::uint64_t done = 0; done < bytes; done += kChunkBytes) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunkBytes, bytes - done));
            std::vector<SectorRange> unreadable;
            if (readBytes(position + done, piece + done, n, &unreadable)) continue;
            if (unreadable.empty()) return false;
            const std::int64_t from = reader->baseOffset + std::int64_t(position + done);
            for (const auto& [b, e] : unreadableSpans(unreadable, from, from + std::int64_t(n))) {
                const std::uint64_t lo = (done + std::uint64_t(b)) / s.descSize;
                const std::uint64_t hi = std::min<std::uint64_t>(count, (done + std::uint64_t(e) + s.descSize - 1) / s.descSize);
                for (std::uint64_t k = lo; k < hi; ++k) {
                    std::uint8_t* d = piece + k * s.descSize;
                    bool fromBackup = false;
                    for (const std::uint64_t backup : backups) {
                        std::vector<SectorRange> again;
                        if (backup != position && readBytes(backup + k * s.descSize, d, s.descSize, &again)) {
                            fromBackup = true;
                            break;
                        }
                    }
                    if (fromBackup) {
                        ++descriptorsFromBackup;
                    } else {
                        std::memset(d, 0, s.descSize);
                        lostDescriptor[first + k] = true;
                        ++descriptorsUnreadable;
                    }
                }
            }
        }
        return true;
    };
    // Without meta_bg (and for the meta-groups before the first one) the table starts in
    // the block after the superblock's, its backup in group 1 just after the superblock
    // copy there.
    const std::uint64_t perBlock = std::max<std::uint64_t>(1, blockSize / s.descSize);
    const std::uint64_t contiguous =
        s.hasMetaBg() ? std::min<std::uint64_t>(groupCount, std::uint64_t(s.firstMetaBg) * perBlock) : groupCount;
    const std::uint64_t backupStart =
        (std::uint64_t(s.firstDataBlock) + s.blocksPerGroup + 1) * std::uint64_t(blockSize);
    if (contiguous > 0 && !readPiece(0, contiguous, tableStart, {backupStart})) return false;
    // With meta_bg every later meta-group of perBlock groups keeps its descriptors in one
    // block at the start of its first group (after a superblock copy there), with copies in
    // its second and last groups.
    auto descriptorBlockOf = [&](std::uint64_t g) {
        return (std::uint64_t(s.firstDataBlock) + g * s.blocksPerGroup + (s.groupHasSuperblock(g) ? 1 : 0)) *
               std::uint64_t(blockSize);
    };
    for (std::uint64_t first = contiguous; first < groupCount && !stopRequested(); first += perBlock) {
        const std::uint64_t count = std::min<std::uint64_t>(perBlock, groupCount - first);
        std::vector<std::uint64_t> backups;
        if (first + 1 < groupCount) backups.push_back(descriptorBlockOf(first + 1));
        if (perBlock > 2 && first + perBlock - 1 < groupCount) backups.push_back(descriptorBlockOf(first + perBlock - 1));
        if (!readPiece(first, count, descriptorBlockOf(first), backups))
            for (std::uint64_t k = 0; k < count; ++k) {
                lostDescriptor[first + k] = true;
                ++descriptorsUnreadable;
            }
    }
    groups.resize(groupCount);
    const std::uint64_t blocks = s.blockCount;
    for (std::uint32_t g = 0; g < groupCount; ++g) {
        const std::uint8_t* d = table.data() + std::size_t(g) * s.descSize;
        Group& group = groups[g];
        group.inodeTable = le32(d, gd::kInodeTableLo);
        group.blockBitmap = le32(d, gd::kBlockBitmapLo);
        group.inodeBitmap = le32(d, gd::kInodeBitmapLo);
        if (s.keepsUninitMarks()) group.flags = le16(d, gd::kFlags);
        std::uint32_t unused = le16(d, gd::kItableUnusedLo);
        if (s.is64Bit()) {
            group.blockBitmap |= std::uint64_t(le32(d, gd::kBlockBitmapHi)) << 32;
            group.inodeBitmap |= std::uint64_t(le32(d, gd::kInodeBitmapHi)) << 32;
            group.inodeTable |= std::uint64_t(le32(d, gd::kInodeTableHi)) << 32;
            unused |= std::uint32_t(le16(d, gd::kItableUnusedHi)) << 16;
        }
        group.usedInodes = s.inodesPerGroup;
        if (s.keepsUninitMarks()) {
            if (le16(d, gd::kFlags) & gd::kFlagInodeUninit) group.usedInodes = 0;
            else if (unused <= s.inodesPerGroup) group.usedInodes = s.inodesPerGroup - unused;
        }
        // A table that starts outside the volume holds nothing that can be read.
        if (group.inodeTable == 0 || group.inodeTable >= blocks) group.usedInodes = 0;
        if (lostDescriptor[g]) {
            group.inodeTable = 0;
            group.usedInodes = 0;
        }
    }
    return true;
}

bool ext2Class::parseGroups() {
    if (sink) sink->setRange(0, groupCount);
    for (std::uint32_t g = 0; g < groups.size(); ++g) {
        if (stopRequested()) break;
        if ((g & 255) == 0 || g + 1 == groups.size()) {
            status(format16("parsing group %d  of %d ", static_cast<int>(g + 1), static_cast<int>(groupCount)));
            if (sink) sink->setPosition(g + 1);
        }
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> ext2Class::readInode(std::uint32_t n) const {
    if (!superblock || n == 0 || n > superblock->inodeCount) return std::nullopt;
    const std::uint32_t g = (n - 1) / superblock->inodesPerGroup;
    const std::uint32_t index = (n - 1) % superblock->inodesPerGroup;
    if (g >= groups.size() || groups[g].inodeTable == 0 || groups[g].inodeTable >= superblock->blockCount)
        return std::nullopt;
    const std::size_t keep = std::min<std::size_t>(kInodeKeep, superblock->inodeSize);
    std::vector<std::uint8_t> bytes(kInodeKeep, 0);
    const std::uint64_t pos = groups[g].inodeTable * blockSize + std::uint64_t(index) * superblock->inodeSize;
    if (!readBytes(pos, bytes.data(), keep)) return std::nullopt;
    return bytes;
}

std::optional<std::uint32_t> ext2Class::takeExtraKey() {
    if (!superblock) return std::nullopt;
    if (nextExtraKey_ == 0) nextExtraKey_ = std::max<std::uint64_t>(superblock->inodeCount, ext_format::kFirstInodeRev0);
    if (nextExtraKey_ >= 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(nextExtraKey_++);
}

void ext2Class::nameEntry(std::uint32_t n, std::u16string name, std::int64_t parentKey, std::uint8_t fileType) {
    std::uint32_t key = n - 1;
    if (entries.count(key)) {
        // A further name of a file (a hard link) is listed too, under a key of its own;
        // a folder has one name (a second one is damage and would make a loop).
        if (fileType == de::kFileTypeDirectory) return;
        const auto extra = takeExtraKey();
        if (!extra) return;
        key = *extra;
    }
    ExtEntry e;
    e.name = std::move(name);
    e.key = key;
    e.inode = n;
    e.parent = parentKey;
    e.direntType = fileType;
    entries.emplace(key, std::move(e));
}

void ext2Class::walkDirectory(std::uint32_t dirInode, const std::uint8_t* inodeBytes, std::uint64_t& blockBudget) {
    const auto& s = *superblock;
    std::uint64_t size = le32(inodeBytes, ino::kSizeLo) | (std::uint64_t(le32(inodeBytes, ino::kSizeHi)) << 32);
    // Entries of the root folder hang under ROOT; those of any other folder under it.
    const std::int64_t parentKey = dirInode == ext_format::kRootInode ? kRootKey : std::int64_t(dirInode) - 1;
    // One run of directory records (a block, or a piece of an inline folder).
    auto walkRecords = [&](const std::uint8_t* data, std::uint32_t bytes, std::uint32_t unit) {
        std::uint32_t off = 0;
        while (off + de::kName <= bytes) {
            const std::uint32_t n = le32(data, off + de::kInode);
            const std::uint32_t recLen = ext_format::recordLength(le16(data, off + de::kRecLen), unit);
            const std::uint8_t nameLen = data[off + de::kNameLen];
            // A record shorter than its header and name, not 4-aligned or past the
            // block ends this block's walk.
            if (recLen < de::kName + nameLen || (recLen & 3) != 0 || recLen > bytes - off) break;
            if (n != 0 && n <= s.inodeCount && nameLen > 0) {
                const std::uint8_t* name = data + off + de::kName;
                const bool dot = nameLen == 1 && name[0] == '.';
                const bool dotDot = nameLen == 2 && name[0] == '.' && name[1] == '.';
                const std::uint8_t type = s.hasFileType() ? data[off + de::kFileType] : 0;
                if (dot) {
                    // The root's own "." shows under ROOT as an entry named ".".
                    if (dirInode == ext_format::kRootInode && n == ext_format::kRootInode)
                        nameEntry(n, u".", kRootKey, type);
                } else if (!dotDot && (n >= s.firstInode)) {
                    nameEntry(n, decodeName(name, nameLen), parentKey, type);
                }
            }
            off += recLen;
        }
    };
    std::vector<std::uint8_t> inode(inodeBytes, inodeBytes + kInodeKeep);
    if (le32(inodeBytes, ino::kFlags) & ino::kFlagInlineData) {
        // A small folder kept in the inode: its parent's inode number, then records over
        // the rest of the block area, and more records in the inline-data attribute.
        const std::vector<std::uint8_t> data = inlineData(inode, size);
        if (data.size() > 4) {
            const std::uint32_t first = std::uint32_t(std::min<std::size_t>(data.size(), ino::kBlockBytes));
            walkRecords(data.data() + 4, first - 4, first - 4);
            if (data.size() > first)
                walkRecords(data.data() + first, std::uint32_t(data.size() - first), std::uint32_t(data.size() - first));
        }
        return;
    }
    const std::uint64_t logicalBlocks = std::min<std::uint64_t>((size + blockSize - 1) / blockSize, blockBudget);
    if (logicalBlocks == 0) return;
    const std::vector<ExtRun> runs = blockRuns(inode, logicalBlocks);
    std::vector<std::uint8_t> block(blockSize);
    for (const ExtRun& run : runs) {
        if (run.kind != ExtRun::Kind::Data) continue;
        for (std::uint64_t k = 0; k < run.count; ++k) {
            if (blockBudget == 0 || stopRequested()) return;
            --blockBudget;
            std::vector<SectorRange> unreadable;
            if (!readBytes((run.physical + k) * blockSize, block.data(), blockSize, &unreadable)) {
                // Its records chain through the whole block: the block's names are lost.
                ++folderBlocksUnreadable;
                continue;
            }
            walkRecords(block.data(), blockSize, blockSize);
        }
    }
}

std::vector<std::u16string> ext2Class::readLosses() const {
    std::vector<std::u16string> out;
    auto number = [](std::uint64_t n) { return fromUtf8(std::to_string(n)); };
    if (descriptorsFromBackup > 0)
        out.push_back(number(descriptorsFromBackup) + u" group descriptors read from the backup of group 1");
    if (descriptorsUnreadable > 0) out.push_back(number(descriptorsUnreadable) + u" group descriptors could not be read");
    if (inodesUnreadable > 0) out.push_back(number(inodesUnreadable) + u" inodes could not be read");
    if (folderBlocksUnreadable > 0) out.push_back(number(folderBlocksUnreadable) + u" folder blocks could not be read");
    return out;
}

bool ext2Class::parseInodes() {
    entries.clear();
    nextExtraKey_ = 0;
    freedInodes.clear();
    inodesUnreadable = folderBlocksUnreadable = 0;
    if (!superblock) return false;
    const auto& s = *superblock;
    const std::uint64_t total = s.inodeCount;
    if (sink) sink->setRange(0, static_cast<std::int64_t>(total));
    // Directory blocks read on the whole volume stay within the blocks it holds (twice
    // over, for folders that share blocks on a damaged volume).
    std::uint64_t blockBudget = usableBlocks() * 2 + 16;
    const std::size_t perChunk =
        std::min<std::size_t>(std::max<std::size_t>(1, kChunkBytes / s.inodeSize), s.inodesPerGroup);
    std::vector<std::uint8_t> chunk(perChunk * s.inodeSize);
    for (std::uint32_t g = 0; g < groups.size() && !stopRequested(); ++g) {
        const std::uint64_t first = std::uint64_t(g) * s.inodesPerGroup;
        status(format16("parsing inode entry %lld  of %lld ", static_cast<long long>(first + 1),
                        static_cast<long long>(total)));
        if (sink) sink->setPosition(static_cast<std::int64_t>(first));
        const Group& group = groups[g];
        for (std::uint32_t i = 0; i < group.usedInodes && !stopRequested();) {
            checkPoint();
            const std::uint32_t count = std::uint32_t(std::min<std::uint64_t>(perChunk, group.usedInodes - i));
            const std::uint64_t pos = group.inodeTable * blockSize + std::uint64_t(i) * s.inodeSize;
            const std::size_t chunkBytes = std::size_t(count) * s.inodeSize;
            // Inodes in sectors that cannot be read are lost alone.
            std::vector<SectorRange> unreadable;
            std::vector<std::pair<std::int64_t, std::int64_t>> lost;
            if (!readBytes(pos, chunk.data(), chunkBytes, &unreadable)) {
                if (unreadable.empty()) {
                    inodesUnreadable += count;
                    i += count;
                    continue;
                }
                const std::int64_t from = reader->baseOffset + std::int64_t(pos);
                lost = unreadableSpans(unreadable, from, from + std::int64_t(chunkBytes));
            }
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::int64_t inodeAt = std::int64_t(k) * s.inodeSize;
                bool inLost = false;
                for (const auto& [b, e] : lost) inLost = inLost || (inodeAt < e && b < inodeAt + std::int64_t(s.inodeSize));
                if (inLost) {
                    ++inodesUnreadable;
                    continue;
                }
                const std::uint8_t* in = chunk.data() + std::size_t(k) * s.inodeSize;
                const std::uint32_t n = static_cast<std::uint32_t>(first + i + k + 1);
                // Inodes a delete left behind (a deletion time, or a type without links).
                if (n >= s.firstInode && (le32(in, ino::kDtime) != 0 ||
                                          (le16(in, ino::kMode) != 0 && le16(in, ino::kLinksCount) == 0)))
                    freedInodes.push_back(n);
                if ((le16(in, ino::kMode) & ino::kTypeMask) != ino::kTypeDirectory) continue;
                if (le16(in, ino::kLinksCount) == 0) continue;  // a deleted folder
                if (n != ext_format::kRootInode && n < s.firstInode) continue;
                std::uint8_t copy[kInodeKeep] = {};
                std::memcpy(copy, in, std::min<std::size_t>(kInodeKeep, s.inodeSize));
                walkDirectory(n, copy, blockBudget);
            }
            i += count;
        }
    }
    status(format16("parsed inode entry %lld  of %lld ", static_cast<long long>(total), static_cast<long long>(total)));
    if (sink) sink->setPosition(static_cast<std::int64_t>(total));
    return !entries.empty();
}

bool ext2Class::buildRootEntry() {
    status(u"clearing vector....");
    // The mode, size and times of every named inode, read in key order (so group by
    // group), each run of named inodes that lie close together in one read.
    const auto& s = *superblock;
    const std::uint32_t perChunk =
        std::uint32_t(std::min<std::size_t>(std::max<std::size_t>(1, kChunkBytes / s.inodeSize), s.inodesPerGroup));
    const std::size_t keep = std::min<std::size_t>(kInodeKeep, s.inodeSize);
    std::vector<std::uint8_t> chunk;
    std::uint64_t chunkFirst = 0, chunkCount = 0;  // inode numbers [first, first + count) in chunk
    std::vector<std::uint8_t> one(kInodeKeep, 0);
    auto inodeBytes = [&](std::uint32_t n, std::map<std::uint32_t, ExtEntry>::iterator at) -> const std::uint8_t* {
        if (n >= chunkFirst && n < chunkFirst + chunkCount) {
            std::memcpy(one.data(), chunk.data() + (n - chunkFirst) * s.inodeSize, keep);
            return one.data();
        }
        const std::uint32_t g = (n - 1) / s.inodesPerGroup;
        const std::uint32_t index = (n - 1) % s.inodesPerGroup;
        if (g >= groups.size() || groups[g].inodeTable == 0 || groups[g].inodeTable >= s.blockCount) return nullptr;
        // Up to the last named inode of the same piece of the group's table.
        const std::uint32_t windowEnd = std::min<std::uint32_t>(s.inodesPerGroup, (index / perChunk + 1) * perChunk);
        std::uint32_t last = index;
        for (auto next = at; next != entries.end() && next->first < s.inodeCount; ++next) {
            const std::uint32_t m = next->first + 1;
            if ((m - 1) / s.inodesPerGroup != g || (m - 1) % s.inodesPerGroup >= windowEnd) break;
            last = (m - 1) % s.inodesPerGroup;
        }
        chunk.assign(std::size_t(last - index + 1) * s.inodeSize, 0);
        const std::uint64_t pos = groups[g].inodeTable * blockSize + std::uint64_t(index) * s.inodeSize;
        chunkFirst = chunkCount = 0;
        if (!readBytes(pos, chunk.data(), chunk.size())) {
            // Read one by one: only the inodes in unreadable sectors are lost.
            const auto single = readInode(n);
            if (!single) return nullptr;
            one = *single;
            return one.data();
        }
        chunkFirst = n;
        chunkCount = last - index + 1;
        std::memcpy(one.data(), chunk.data(), keep);
        return one.data();
    };
    for (auto it = entries.begin(); it != entries.end();) {
        if (stopRequested()) break;
        ExtEntry& e = it->second;
        const std::uint32_t n = e.inodeNumber();
        // A further name of an inode takes what its first name read.
        auto first = n - 1 != it->first ? entries.find(n - 1) : entries.end();
        if (first != entries.end() && first->second.stamps.kept) {
            e.mode = first->second.mode;
            e.size = first->second.size;
            e.stamps = first->second.stamps;
        } else if (n != 0 && n <= s.inodeCount) {
            if (const std::uint8_t* in = inodeBytes(n, it)) keepInodeFields(e, in);
        }
        // An inode without a type (never written, or cleared) takes the directory
        // entry's file type, as far as it says folder or file.
        if ((e.mode & ino::kTypeMask) == 0) {
            if (e.direntType == de::kFileTypeDirectory) e.mode = ino::kTypeDirectory;
            else if (e.direntType == de::kFileTypeRegular) e.mode = ino::kTypeRegular;
        }
        ++it;
    }
    ExtEntry root;
    root.name = u"ROOT";
    root.key = kRootKey;
    root.mode = ino::kTypeDirectory;
    entries[kRootKey] = std::move(root);  // inode 3 is reserved: nothing may take ROOT's key
    return true;
}

bool ext2Class::linkParentChild() {
    status(u"Maintaining Parent Child....");
    const std::int64_t total = static_cast<std::int64_t>(entries.size());
    if (sink) sink->setRange(0, total);
    std::int64_t position = 0;
    for (auto& [key, e] : entries) {
        ++position;
        if ((position & 1023) == 0 || position == total) {
            status(format16("Maintaining Parent Child for record %lld of %lld....", static_cast<long long>(position),
                            static_cast<long long>(total)));
            if (sink) sink->setPosition(position);
            checkPoint();
        }
        if (stopRequested()) break;
        if (e.parent < 1 || e.parent == std::int64_t(key)) continue;
        auto p = entries.find(static_cast<std::uint32_t>(e.parent));
        if (p == entries.end()) continue;
        ExtEntry& parent = p->second;
        if (parent.firstChild < 0) {
            parent.firstChild = key;
        } else {
            auto last = entries.find(static_cast<std::uint32_t>(parent.lastChild));
            if (last == entries.end()) continue;
            last->second.nextSibling = key;
        }
        parent.lastChild = key;
    }
    return true;
}

void ext2Class::fillTreeRoots() {
    status(u"filling root entries in  tree....");
    if (!tree) return;
    rootItem = tree->insertItem(u"ROOT", ItemImage::Folder, kNoItem, kRootKey);
    if (rootItem == kNoItem) return;
    const ExtEntry& root = entries.at(kRootKey);
    std::unordered_set<std::int64_t> seen;
    for (std::int64_t c = root.firstChild; c >= 0 && seen.insert(c).second;) {
        auto it = entries.find(static_cast<std::uint32_t>(c));
        if (it == entries.end()) break;
        const ExtEntry& e = it->second;
        if (e.isShown()) {
            const TreeItem item = tree->insertItem(e.name, e.isFolder() ? ItemImage::Folder : ItemImage::File, rootItem, e.key);
            if (e.deleted && item != kNoItem) tree->setItemTextRed(item);
        }
        c = e.nextSibling;
    }
    tree->setCheck(rootItem, true);
    tree->expand(rootItem, ExpandCode::Expand);
}

const ExtEntry* ext2Class::entry(std::uint32_t key) const {
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
}

std::u16string ext2Class::permissionText(std::uint16_t mode) {
    static const struct {
        std::uint16_t bit;
        const char16_t* text;
    } kBits[] = {{0x001, u"-OE"}, {0x002, u"-OW"}, {0x004, u"-OR"}, {0x008, u"-GE"}, {0x010, u"-GW"},
                 {0x020, u"-GR"}, {0x040, u"-UE"}, {0x080, u"-UW"}, {0x100, u"-UR"}};
    std::u16string text;
    for (const auto& b : kBits)
        if (mode & b.bit) text += b.text;
    return text;
}

void ext2Class::keepInodeFields(ExtEntry& e, const std::uint8_t* in) const {
    e.mode = le16(in, ino::kMode);
    e.size = le32(in, ino::kSizeLo) | (std::uint64_t(le32(in, ino::kSizeHi)) << 32);
    ExtEntry::Stamps& t = e.stamps;
    t.kept = true;
    t.extra = superblock->inodeSize > 128 && le16(in, ino::kExtraIsize) >= ino::kAtimeExtra + 4 - 128;
    t.ctime = le32(in, ino::kCtime);
    t.atime = le32(in, ino::kAtime);
    t.mtime = le32(in, ino::kMtime);
    t.ctimeExtra = t.extra ? le32(in, ino::kCtimeExtra) : 0;
    t.atimeExtra = t.extra ? le32(in, ino::kAtimeExtra) : 0;
    t.mtimeExtra = t.extra ? le32(in, ino::kMtimeExtra) : 0;
}

namespace {

// The few inode bytes the time texts read, from an entry's kept fields.
std::vector<std::uint8_t> stampBytes(const ExtEntry& e, std::uint32_t inodeSize) {
    std::vector<std::uint8_t> in(kInodeKeep, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) in[at + i] = std::uint8_t(v >> (8 * i));
    };
    in[ino::kMode] = std::uint8_t(e.mode);
    in[ino::kMode + 1] = std::uint8_t(e.mode >> 8);
    const ExtEntry::Stamps& t = e.stamps;
    put32(ino::kCtime, t.ctime);
    put32(ino::kAtime, t.atime);
    put32(ino::kMtime, t.mtime);
    if (t.extra && inodeSize > 128) {
        const std::uint16_t extra = ino::kAtimeExtra + 4 - 128;
        in[ino::kExtraIsize] = std::uint8_t(extra);
        in[ino::kExtraIsize + 1] = std::uint8_t(extra >> 8);
        put32(ino::kCtimeExtra, t.ctimeExtra);
        put32(ino::kAtimeExtra, t.atimeExtra);
        put32(ino::kMtimeExtra, t.mtimeExtra);
    }
    return in;
}

}  // namespace

ExtTimesText ext2Class::timesText(std::uint32_t key) const {
    const ExtEntry* e = entry(key);
    if (!e) return {};
    if (e->stamps.kept && key != kRootKey && !e->deleted) return timesText(stampBytes(*e, superblock->inodeSize));
    const std::uint32_t n = key == kRootKey ? ext_format::kRootInode : e->inodeNumber();
    const auto inode = readInode(n);
    return inode ? timesText(*inode) : ExtTimesText{};
}

ExtTimesText ext2Class::timesText(const std::vector<std::uint8_t>& inode) const {
    ExtTimesText t;
    if (!superblock || inode.size() < kInodeKeep) return t;
    const std::uint8_t* in = inode.data();
    const bool extra = superblock->inodeSize > 128 && le16(in, ino::kExtraIsize) >= ino::kAtimeExtra + 4 - 128;
    auto seconds = [&](std::size_t field, std::size_t extraField) {
        return ext_format::extendedSeconds(le32(in, field), extra ? le32(in, extraField) : 0);
    };
    t.changed = localText(seconds(ino::kCtime, ino::kCtimeExtra));
    t.accessed = localText(seconds(ino::kAtime, ino::kAtimeExtra));
    t.modified = localText(seconds(ino::kMtime, ino::kMtimeExtra));
    t.permissions = permissionText(le16(in, ino::kMode));
    return t;
}

std::u16string ext2Class::sizeText(std::uint32_t key) const {
    const ExtEntry* e = entry(key);
    return formatSize(e ? static_cast<std::int64_t>(std::min<std::uint64_t>(e->size, INT64_MAX)) : 0);
}

EntryTimes ext2Class::entryTimes(std::uint32_t key) const {
    const ExtEntry* e = entry(key);
    if (!e) return {};
    if (e->stamps.kept && key != kRootKey && !e->deleted) return entryTimes(stampBytes(*e, superblock->inodeSize));
    const auto inode = readInode(key == kRootKey ? ext_format::kRootInode : e->inodeNumber());
    return inode ? entryTimes(*inode) : EntryTimes{};
}

EntryTimes ext2Class::entryTimes(const std::vector<std::uint8_t>& inode) const {
    EntryTimes times;
    if (!superblock || inode.size() < kInodeKeep) return times;
    const std::uint8_t* in = inode.data();
    const bool extra = superblock->inodeSize > 128 && le16(in, ino::kExtraIsize) >= ino::kAtimeExtra + 4 - 128;
    auto stamp = [&](std::size_t field, std::size_t extraField) {
        const std::uint32_t x = extra ? le32(in, extraField) : 0;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(ext_format::extendedSeconds(le32(in, field), x));
        ts.tv_nsec = extra && ext_format::extraNanoseconds(x) < 1000000000u ? long(ext_format::extraNanoseconds(x)) : 0;
        return ts;
    };
    times.accessed = stamp(ino::kAtime, ino::kAtimeExtra);
    times.modified = stamp(ino::kMtime, ino::kMtimeExtra);
    return times;
}

void ext2Class::addRun(std::vector<ExtRun>& runs, ExtRun run) const {
    if (run.count == 0) return;
    if (!runs.empty()) {
        ExtRun& last = runs.back();
        if (last.kind == run.kind && last.logical + last.count == run.logical &&
            (run.kind != ExtRun::Kind::Data || last.physical + last.count == run.physical)) {
            last.count += run.count;
            return;
        }
    }
    runs.push_back(run);
}

void ext2Class::mapRuns(std::uint64_t pointer, int level, std::uint64_t& logical, std::uint64_t logicalBlocks,
                        std::vector<ExtRun>& runs, std::uint64_t& budget) const {
    // `level` 0 is a data block; 1-3 an indirect block whose pointers lead `level` - 1 deeper.
    const std::uint64_t perBlock = blockSize / 4;
    std::uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    if (logical >= logicalBlocks) return;
    const std::uint64_t covered = std::min<std::uint64_t>(span, logicalBlocks - logical);
    if (pointer == 0) {  // a hole
        logical += covered;
        return;
    }
    if (pointer >= usableBlocks() || budget == 0) {
        addRun(runs, {logical, 0, covered, ExtRun::Kind::Unreadable});
        logical += covered;
        return;
    }
    if (level == 0) {
        --budget;
        addRun(runs, {logical, pointer, 1, ExtRun::Kind::Data});
        logical += 1;
        return;
    }
    --budget;
    std::vector<std::uint8_t> block(blockSize);
    if (!readBytes(pointer * blockSize, block.data(), blockSize)) {
        addRun(runs, {logical, 0, covered, ExtRun::Kind::Unreadable});
        logical += covered;
        return;
    }
    for (std::uint64_t i = 0; i < perBlock && logical < logicalBlocks; ++i)
        mapRuns(le32(block.data(), i * 4), level - 1, logical, logicalBlocks, runs, budget);
}

bool ext2Class::extentRuns(const std::uint8_t* node, std::size_t nodeBytes, int depth, std::uint64_t logicalBlocks,
                           std::vector<ExtRun>& runs, std::unordered_set<std::uint64_t>& visited, std::uint64_t& budget) const {
    if (nodeBytes < ext::kHeaderBytes || le16(node, ext::kHeaderMagic) != ext::kMagic) return false;
    const std::uint16_t nodeDepth = le16(node, ext::kHeaderDepth);
    // The root gives the depth; every level below must be exactly one less, which also
    // ends a node that points back up the tree.
    if (nodeDepth > ext::kMaxDepth || (depth >= 0 && nodeDepth != depth)) return false;
    const std::size_t count =
        std::min<std::size_t>(le16(node, ext::kHeaderEntries), (nodeBytes - ext::kHeaderBytes) / ext::kEntryBytes);
    const std::uint64_t usable = usableBlocks();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = node + ext::kHeaderBytes + i * ext::kEntryBytes;
        if (nodeDepth == 0) {
            const std::optional<ExtRun> run = extentLeafRun(e, logicalBlocks, usable);
            if (!run) continue;
            if (budget < run->count) return true;
            budget -= run->count;
            runs.push_back(*run);
        } else {
            const std::uint64_t child =
                le32(e, ext::kIndexLeafLo) | (std::uint64_t(le16(e, ext::kIndexLeafHi)) << 32);
            // What this index entry covers, up to the next one: lost when the node below
            // cannot be had (out of the volume, unreadable, not a node of the next level,
            // or one already walked, which would loop).
            auto lost = [&] {
                const std::uint64_t from = le32(e, ext::kIndexBlock);
                std::uint64_t to = logicalBlocks;
                if (i + 1 < count) to = std::min<std::uint64_t>(to, le32(e + ext::kEntryBytes, ext::kIndexBlock));
                if (from < to) runs.push_back({from, 0, to - from, ExtRun::Kind::Unreadable});
            };
            if (child == 0 || child >= usable || budget == 0 || !visited.insert(child).second) {
                lost();
                continue;
            }
            --budget;
            std::vector<std::uint8_t> block(blockSize);
            if (!readBytes(child * blockSize, block.data(), blockSize) ||
                !extentRuns(block.data(), blockSize, nodeDepth - 1, logicalBlocks, runs, visited, budget))
                lost();
        }
    }
    return true;
}

std::vector<ExtRun> ext2Class::blockRuns(const std::vector<std::uint8_t>& inode, std::uint64_t logicalBlocks) const {
    std::vector<ExtRun> runs;
    if (!superblock || inode.size() < ino::kBlock + ino::kBlockBytes || logicalBlocks == 0) return runs;
    // No file maps more blocks than the volume holds.
    std::uint64_t budget = usableBlocks() + 1;
    const std::uint8_t* area = inode.data() + ino::kBlock;
    if (le32(inode.data(), ino::kFlags) & ino::kFlagExtents) {
        std::unordered_set<std::uint64_t> visited;
        if (!extentRuns(area, ino::kBlockBytes, -1, logicalBlocks, runs, visited, budget))
            runs.assign(1, ExtRun{0, 0, logicalBlocks, ExtRun::Kind::Unreadable});
        // Runs that claim the same logical blocks twice keep the first (the save walk
        // skips what it delivered already).
        std::stable_sort(runs.begin(), runs.end(), [](const ExtRun& a, const ExtRun& b) { return a.logical < b.logical; });
        return runs;
    }
    std::uint64_t logical = 0;
    for (std::size_t i = 0; i < ino::kDirectBlocks && logical < logicalBlocks; ++i)
        mapRuns(le32(area, i * 4), 0, logical, logicalBlocks, runs, budget);
    for (int level = 1; level <= 3 && logical < logicalBlocks; ++level)
        mapRuns(le32(area, (ino::kDirectBlocks + level - 1) * 4), level, logical, logicalBlocks, runs, budget);
    return runs;
}

SaveStatus ext2Class::saveEntry(std::uint32_t key, EntryWriter& out) const {
    const ExtEntry* e = entry(key);
    if (!e || !e->isFile() || !superblock) return SaveStatus::Failed;
    const auto inodeBytes = readInode(e->inodeNumber());
    if (!inodeBytes) return SaveStatus::Failed;
    return saveInode(*inodeBytes, e->mode, out);
}

SaveStatus ext2Class::saveInode(const std::vector<std::uint8_t>& inode, std::uint16_t mode, EntryWriter& out,
                                const std::vector<ExtRun>* givenRuns) const {
    if (!superblock || inode.size() < kInodeKeep) return SaveStatus::Failed;
    const std::uint8_t* in = inode.data();
    const std::uint64_t size = le32(in, ino::kSizeLo) | (std::uint64_t(le32(in, ino::kSizeHi)) << 32);
    const std::uint32_t flags = le32(in, ino::kFlags);
    // A short link target, or inline data, lives in the inode's 60-byte block area.
    const bool fastLink = (mode & ino::kTypeMask) == ino::kTypeSymlink && ext_format::isFastSymlink(in, blockSize);
    if (fastLink || (flags & ino::kFlagInlineData)) {
        const std::vector<std::uint8_t> data = fastLink ? std::vector<std::uint8_t>(in + ino::kBlock, in + ino::kBlock + std::min<std::uint64_t>(size, ino::kBlockBytes))
                                                        : inlineData(inode, size);
        if (!out.write(data.data(), data.size())) return SaveStatus::Failed;
        // What the inode does not hold (a value kept beyond the inode bytes read) is lost.
        if (size > data.size() && !out.writeUnreadable(size - data.size())) return SaveStatus::Failed;
        return size > data.size() ? SaveStatus::Damaged : SaveStatus::Saved;
    }
    // Logical block numbers are 32-bit: nothing lies beyond 2^32 blocks.
    const std::uint64_t maxBytes = (std::uint64_t(1) << 32) * blockSize;
    const std::uint64_t fileBytes = std::min(size, maxBytes);
    const std::uint64_t logicalBlocks = (fileBytes + blockSize - 1) / blockSize;
    const std::vector<ExtRun> runs = givenRuns ? *givenRuns : blockRuns(inode, logicalBlocks);

    bool damaged = size > fileBytes;
    std::uint64_t done = 0;  // bytes delivered
    std::vector<std::uint8_t> buffer;
    auto deliverZeros = [&](std::uint64_t upTo, bool unreadable) {
        if (upTo <= done) return true;
        const std::uint64_t n = upTo - done;
        done = upTo;
        if (unreadable) damaged = true;
        return unreadable ? out.writeUnreadable(n) : out.writeHole(n);
    };
    for (const ExtRun& run : runs) {
        if (stopRequested()) return SaveStatus::Stopped;
        const std::uint64_t runStart = run.logical * blockSize;
        if (runStart >= fileBytes) break;
        const std::uint64_t runEnd = std::min(fileBytes, (run.logical + run.count) * blockSize);
        if (runEnd <= done) continue;  // overlaps what was delivered already
        if (!deliverZeros(runStart, false)) return SaveStatus::Failed;
        if (run.kind != ExtRun::Kind::Data) {
            if (!deliverZeros(runEnd, run.kind == ExtRun::Kind::Unreadable)) return SaveStatus::Failed;
            continue;
        }
        while (done < runEnd) {
            if (stopRequested()) return SaveStatus::Stopped;
            checkPoint();
            const std::uint64_t blockIndex = (done / blockSize) - run.logical;
            const std::uint64_t inBlock = done % blockSize;
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kChunkBytes - (kChunkBytes % blockSize), runEnd - done));
            if (buffer.size() < n) buffer.resize(n);
            const std::uint64_t pos = (run.physical + blockIndex) * blockSize + inBlock;
            // A piece that does not read whole loses only its unreadable sectors.
            bool complete = true;
            if (!readInto(out, pos, buffer.data(), n, complete)) return SaveStatus::Failed;
            if (!complete) damaged = true;
            done += n;
        }
    }
    // A tail beyond the last mapped block is a hole.
    if (!deliverZeros(fileBytes, false)) return SaveStatus::Failed;
    if (size > fileBytes) return SaveStatus::Damaged;
    return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
}

}  // namespace dravonel
