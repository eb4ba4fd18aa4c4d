#include "core/fs/ext/ext_undelete.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <unordered_set>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"

namespace dravonel {

namespace {

namespace ino = ext_format::inode;
namespace ext = ext_format::extent;
namespace de = ext_format::dirent;
namespace gd = ext_format::group_desc;

// Inode bytes kept per copy (as the parser keeps them).
constexpr std::size_t kInodeKeep = 256;
// Candidate copies looked at per inode, newest first.
constexpr std::size_t kMaxTries = 64;
// Span comparisons when files brought back are checked for shared blocks.
constexpr std::uint64_t kMaxComparisons = 1u << 22;

std::uint64_t inodeSize(const std::uint8_t* in) {
    return le32(in, ino::kSizeLo) | (std::uint64_t(le32(in, ino::kSizeHi)) << 32);
}

bool isFastLink(const std::uint8_t* in, std::uint32_t blockSize) { return ext_format::isFastSymlink(in, blockSize); }

// An inode copy of a file, link or folder in use: links, no deletion time, and something
// to read: a non-empty extent tree or block map, inline data or a link's text, or an
// empty regular file.
bool wasInUse(const std::uint8_t* in, std::uint32_t blockSize) {
    const std::uint16_t type = le16(in, ino::kMode) & ino::kTypeMask;
    if (type != ino::kTypeRegular && type != ino::kTypeDirectory && type != ino::kTypeSymlink) return false;
    if (le16(in, ino::kLinksCount) == 0 || le32(in, ino::kDtime) != 0) return false;
    const std::uint32_t flags = le32(in, ino::kFlags);
    const std::uint8_t* area = in + ino::kBlock;
    if (flags & ino::kFlagInlineData) return type != ino::kTypeDirectory;
    if (isFastLink(in, blockSize)) return inodeSize(in) > 0;
    if (flags & ino::kFlagExtents) {
        if (le16(area, ext::kHeaderMagic) != ext::kMagic) return false;
        if (le16(area, ext::kHeaderEntries) > 0) return true;
    } else {
        for (std::size_t i = 0; i < ino::kBlockBytes; i += 4)
            if (le32(area, i) != 0) return true;
    }
    return type == ino::kTypeRegular && inodeSize(in) == 0;
}

// The entries of a directory block when the whole block reads as one: records that chain
// from its start exactly to its end, each at least its header and name long, names
// without '/' or NUL, inode numbers within the volume. Nothing otherwise.
struct DirRecord {
    std::uint32_t inode;
    const std::uint8_t* name;
    std::uint8_t nameLen;
    std::uint8_t fileType;
};

// The directory entry's file type of an inode's mode.
std::uint8_t fileTypeOf(std::uint16_t mode) {
    switch (mode & ino::kTypeMask) {
    case ino::kTypeRegular: return de::kFileTypeRegular;
    case ino::kTypeDirectory: return de::kFileTypeDirectory;
    case ino::kTypeSymlink: return de::kFileTypeSymlink;
    default: return 0;
    }
}
bool parseDirectoryBlock(const std::uint8_t* b, std::uint32_t blockSize, const ext_format::Superblock& s,
                         std::vector<DirRecord>& out) {
    out.clear();
    std::uint32_t off = 0;
    while (off < blockSize) {
        if (off + de::kName > blockSize) return false;
        const std::uint32_t n = le32(b, off + de::kInode);
        const std::uint32_t rec = ext_format::recordLength(le16(b, off + de::kRecLen), blockSize);
        const std::uint8_t nameLen = b[off + de::kNameLen];
        if (rec < de::kName || (rec & 3) != 0 || rec > blockSize - off) return false;
        if (n != 0) {
            if (n > s.inodeCount || nameLen == 0 || de::kName + std::uint32_t(nameLen) > rec) return false;
            if (s.hasFileType() && (b[off + de::kFileType] == 0 || b[off + de::kFileType] > 7)) return false;
            const std::uint8_t* name = b + off + de::kName;
            for (std::uint8_t i = 0; i < nameLen; ++i)
                if (name[i] == 0 || name[i] == '/') return false;
            out.push_back({n, name, nameLen, s.hasFileType() ? b[off + de::kFileType] : std::uint8_t(0)});
        }
        off += rec;
    }
    return off == blockSize;
}

// Entries a delete left behind in the room a record's length now covers beyond its own
// name (the kernel merges a removed entry into the one before it).
void hiddenRecords(const std::uint8_t* b, std::uint32_t blockSize, const ext_format::Superblock& s,
                   std::vector<DirRecord>& out) {
    out.clear();
    std::uint32_t off = 0;
    while (off + de::kName <= blockSize) {
        const std::uint32_t rec = ext_format::recordLength(le16(b, off + de::kRecLen), blockSize);
        if (rec < de::kName || rec > blockSize - off) return;
        const std::uint32_t end = off + rec;
        std::uint32_t g = off + ((de::kName + b[off + de::kNameLen] + 3u) & ~3u);
        while (g + de::kName <= end) {
            const std::uint32_t n = le32(b, g + de::kInode);
            const std::uint8_t nameLen = b[g + de::kNameLen];
            const std::uint8_t type = s.hasFileType() ? b[g + de::kFileType] : 0;
            bool ok = n >= s.firstInode && n <= s.inodeCount && nameLen > 0 && g + de::kName + nameLen <= end &&
                      (!s.hasFileType() || (type >= 1 && type <= 7));
            for (std::uint8_t i = 0; ok && i < nameLen; ++i) ok = b[g + de::kName + i] != 0 && b[g + de::kName + i] != '/';
            if (!ok) {
                g += 4;
                continue;
            }
            out.push_back({n, b + g + de::kName, nameLen, type});
            g += (de::kName + nameLen + 3u) & ~3u;
        }
        off = end;
    }
}

bool isDot(const DirRecord& r) { return r.nameLen == 1 && r.name[0] == '.'; }
bool isDotDot(const DirRecord& r) { return r.nameLen == 2 && r.name[0] == '.' && r.name[1] == '.'; }

}  // namespace

std::int64_t ExtUndelete::sequenceKey(std::uint32_t sequence) const {
    return std::int32_t(sequence - journal.sb.sequence);
}

bool ExtUndelete::readJournalBlock(std::uint32_t index, std::uint8_t* dest) const {
    auto it = std::upper_bound(journalRuns_.begin(), journalRuns_.end(), std::uint64_t(index),
                               [](std::uint64_t v, const ExtRun& r) { return v < r.logical; });
    if (it == journalRuns_.begin()) return false;
    --it;
    if (it->kind != ExtRun::Kind::Data || index >= it->logical + it->count) return false;
    const std::uint64_t pos = (it->physical + (index - it->logical)) * p_.blockSize;
    return p_.reader && p_.reader->readAtUnsigned(pos, dest, p_.blockSize);
}

bool ExtUndelete::readCopy(std::size_t copy, std::uint8_t* dest) const {
    const ext_journal::BlockCopy& c = journal.copies[copy];
    if (!readJournalBlock(c.journalBlock, dest)) return false;
    if (c.escaped) {
        dest[0] = std::uint8_t(ext_journal::kMagic >> 24);
        dest[1] = std::uint8_t(ext_journal::kMagic >> 16);
        dest[2] = std::uint8_t(ext_journal::kMagic >> 8);
        dest[3] = std::uint8_t(ext_journal::kMagic);
    }
    return true;
}

bool ExtUndelete::blockAsOf(std::uint64_t b, std::uint32_t sequence, std::uint8_t* dest) {
    auto it = copiesOf_.find(b);
    if (it != copiesOf_.end()) {
        for (auto c = it->second.rbegin(); c != it->second.rend(); ++c)
            if (sequenceKey(journal.copies[*c].sequence) <= sequenceKey(sequence) && readCopy(*c, dest)) return true;
    }
    // The volume's own block only while no live file holds it: a block used again holds
    // someone else's bytes, not this file's map.
    if (blockInUse(b)) return false;
    return p_.reader && p_.reader->readAtUnsigned(b * p_.blockSize, dest, p_.blockSize);
}

bool ExtUndelete::readJournal() {
    const auto& s = *p_.superblock;
    if (!s.hasJournal() || s.journalInode == 0) return false;  // none, or on a device of its own
    const auto inode = p_.readInode(s.journalInode);
    if (!inode) return false;
    const std::uint64_t blocks = std::min<std::uint64_t>(inodeSize(inode->data()) / p_.blockSize,
                                                         std::min<std::uint64_t>(p_.usableBlocks(), 0xFFFFFFFFu));
    if (blocks < 2) return false;
    journalBlocks_ = static_cast<std::uint32_t>(blocks);
    journalRuns_ = p_.blockRuns(*inode, blocks);
    std::vector<std::uint8_t> block(p_.blockSize);
    if (!readJournalBlock(0, block.data())) return false;
    const auto jsb = ext_journal::decodeSuperblock(block.data(), block.size());
    if (!jsb || jsb->blockSize != p_.blockSize) return false;
    journal = ext_journal::scanJournal(*jsb, journalBlocks_,
                                       [this](std::uint32_t i, std::uint8_t* d) { return readJournalBlock(i, d); },
                                       [this] {
                                           if (p_.workerControl) p_.workerControl->checkPoint();
                                           return p_.stopFlag.load() != 0;
                                       });
    for (std::size_t i = 0; i < journal.copies.size(); ++i) copiesOf_[journal.copies[i].fsBlock].push_back(i);
    return true;
}

const std::vector<std::uint8_t>* ExtUndelete::bitmap(std::uint32_t group, bool blocks) {
    const auto key = std::make_pair(group, blocks);
    auto it = bitmaps_.find(key);
    if (it != bitmaps_.end()) return it->second.empty() ? nullptr : &it->second;
    std::vector<std::uint8_t> bits;
    const auto& g = p_.groups[group];
    const std::uint64_t at = blocks ? g.blockBitmap : g.inodeBitmap;
    if (at != 0 && at < p_.superblock->blockCount) {
        bits.assign(p_.blockSize, 0);
        if (!p_.reader || !p_.reader->readAtUnsigned(at * p_.blockSize, bits.data(), bits.size())) bits.clear();
    }
    auto& slot = bitmaps_[key];
    slot = std::move(bits);
    return slot.empty() ? nullptr : &slot;
}

// In use: a set bit; outside the volume or with an unreadable bitmap, in use as well (it
// cannot be shown free). A group whose bitmap was never written holds no file data.
bool ExtUndelete::blockInUse(std::uint64_t b) {
    const auto& s = *p_.superblock;
    if (b < s.firstDataBlock || b >= s.blockCount) return true;
    const std::uint64_t rel = b - s.firstDataBlock;
    const std::uint64_t g = rel / s.blocksPerGroup;
    if (g >= p_.groups.size()) return true;
    if (p_.groups[g].flags & gd::kFlagBlockUninit) return false;
    const auto* bits = bitmap(static_cast<std::uint32_t>(g), true);
    if (!bits) return true;
    const std::uint64_t bit = rel % s.blocksPerGroup;
    return ((*bits)[bit / 8] >> (bit % 8)) & 1;
}

// Free: a clear bit in the inode bitmap, or a set one whose inode has no links and a
// deletion time (deleted while it was still open). An unreadable bitmap leaves the
// inode itself to say.
bool ExtUndelete::inodeFree(std::uint32_t n) {
    const auto& s = *p_.superblock;
    const std::uint32_t g = (n - 1) / s.inodesPerGroup;
    if (g >= p_.groups.size()) return false;
    if (p_.groups[g].flags & gd::kFlagInodeUninit) return true;
    if (const auto* bits = bitmap(g, false)) {
        const std::uint32_t bit = (n - 1) % s.inodesPerGroup;
        if (bit / 8 < bits->size() && !(((*bits)[bit / 8] >> (bit % 8)) & 1)) return true;
    }
    const auto now = p_.readInode(n);
    return now && le16(now->data(), ino::kLinksCount) == 0 && le32(now->data(), ino::kDtime) != 0;
}

void ExtUndelete::collectCandidates(std::map<std::uint32_t, std::vector<Candidate>>& candidates) {
    const auto& s = *p_.superblock;
    const std::uint64_t tableBlocks = (std::uint64_t(s.inodesPerGroup) * s.inodeSize + p_.blockSize - 1) / p_.blockSize;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> tables;  // first block, group
    for (std::uint32_t g = 0; g < p_.groups.size(); ++g)
        if (p_.groups[g].inodeTable != 0) tables.emplace_back(p_.groups[g].inodeTable, g);
    std::sort(tables.begin(), tables.end());
    const std::uint32_t perBlock = p_.blockSize / s.inodeSize;
    std::vector<std::uint8_t> block(p_.blockSize);
    std::unordered_map<std::uint32_t, bool> freeNow;
    for (std::size_t i = 0; i < journal.copies.size(); ++i) {
        if (p_.stopFlag.load() != 0) return;
        const std::uint64_t b = journal.copies[i].fsBlock;
        auto t = std::upper_bound(tables.begin(), tables.end(), std::make_pair(b, UINT32_MAX));
        if (t == tables.begin()) continue;
        --t;
        if (b >= t->first + tableBlocks) continue;
        if (!readCopy(i, block.data())) continue;
        const std::uint64_t firstSlot = (b - t->first) * perBlock;
        for (std::uint32_t k = 0; k < perBlock; ++k) {
            const std::uint64_t slot = firstSlot + k;
            if (slot >= s.inodesPerGroup) break;
            const std::uint64_t n = std::uint64_t(t->second) * s.inodesPerGroup + slot + 1;
            if (n < s.firstInode || n > s.inodeCount) continue;
            const std::uint8_t* in = block.data() + std::size_t(k) * s.inodeSize;
            if (!wasInUse(in, p_.blockSize)) continue;
            const auto number = static_cast<std::uint32_t>(n);
            if (p_.isEntry(number - 1)) continue;  // a live entry names it
            auto f = freeNow.find(number);
            if (f == freeNow.end()) f = freeNow.emplace(number, inodeFree(number)).first;
            if (f->second) candidates[number].push_back({i, k * std::uint32_t(s.inodeSize)});
        }
    }
}

void ExtUndelete::collectNames() {
    std::vector<std::uint8_t> block(p_.blockSize);
    std::vector<DirRecord> records, hidden;
    const auto& s = *p_.superblock;
    for (std::size_t i = 0; i < journal.copies.size(); ++i) {
        if (p_.stopFlag.load() != 0) return;
        if (!readCopy(i, block.data())) continue;
        if (!parseDirectoryBlock(block.data(), p_.blockSize, s, records)) continue;
        const ext_journal::BlockCopy& c = journal.copies[i];
        const std::uint32_t owner = !records.empty() && isDot(records.front()) ? records.front().inode : 0;
        // Names of removed entries: the last resort of a brought-back inode.
        hiddenRecords(block.data(), p_.blockSize, s, hidden);
        for (const DirRecord& r : hidden) {
            auto rec = recovered_.find(r.inode - 1);
            if (rec == recovered_.end()) continue;
            if (s.hasFileType() && r.fileType != fileTypeOf(le16(rec->second.inode.data(), ino::kMode))) continue;
            auto it = hiddenNames_.find(r.inode);
            if (it != hiddenNames_.end() && sequenceKey(c.sequence) < sequenceKey(it->second.sequence)) continue;
            hiddenNames_[r.inode] =
                Name{c.sequence, c.fsBlock, owner, fromUtf8(std::string_view(reinterpret_cast<const char*>(r.name), r.nameLen))};
        }
        for (const DirRecord& r : records) {
            if (isDot(r) || isDotDot(r) || r.inode < s.firstInode) continue;
            const std::string_view raw(reinterpret_cast<const char*>(r.name), r.nameLen);
            auto keep = [&](std::unordered_map<std::uint32_t, Name>& into) {
                auto it = into.find(r.inode);
                // Copies come oldest first: a later one replaces the name.
                if (it == into.end()) it = into.emplace(r.inode, Name{}).first;
                else if (sequenceKey(c.sequence) < sequenceKey(it->second.sequence)) return;
                it->second = Name{c.sequence, c.fsBlock, owner, fromUtf8(raw)};
            };
            // A folder's name, for the paths of what it held.
            if (!s.hasFileType() || r.fileType == de::kFileTypeDirectory) keep(folderNames_);
            // A brought-back inode's name, from an entry of its own kind (an entry of another
            // kind named an earlier or later use of the inode).
            auto rec = recovered_.find(r.inode - 1);
            if (rec == recovered_.end()) continue;
            if (s.hasFileType() && r.fileType != fileTypeOf(le16(rec->second.inode.data(), ino::kMode))) continue;
            keep(names_);
        }
    }
    for (auto& [n, name] : hiddenNames_) names_.emplace(n, name);  // where no live entry named it
}

std::uint32_t ExtUndelete::countDeletedInodes() {
    std::uint32_t count = 0;
    for (std::uint32_t n : p_.freedInodes) {
        if (p_.stopFlag.load() != 0) break;
        if (inodeFree(n)) ++count;
    }
    return count;
}

std::vector<ExtRun> ExtUndelete::runsAsOf(const std::vector<std::uint8_t>& inode, std::uint32_t sequence) {
    std::vector<ExtRun> runs;
    const std::uint8_t* in = inode.data();
    const std::uint64_t size = std::min<std::uint64_t>(inodeSize(in), (std::uint64_t(1) << 32) * p_.blockSize);
    const std::uint64_t logicalBlocks = (size + p_.blockSize - 1) / p_.blockSize;
    if (logicalBlocks == 0) return runs;
    std::uint64_t budget = p_.usableBlocks() + 1;
    const std::uint8_t* area = in + ino::kBlock;
    if (le32(in, ino::kFlags) & ino::kFlagExtents) {
        std::vector<std::uint64_t> visited;
        extentRuns(area, ino::kBlockBytes, -1, logicalBlocks, sequence, runs, visited, budget);
        std::stable_sort(runs.begin(), runs.end(), [](const ExtRun& a, const ExtRun& b) { return a.logical < b.logical; });
        return runs;
    }
    std::uint64_t logical = 0;
    for (std::size_t i = 0; i < ino::kDirectBlocks && logical < logicalBlocks; ++i)
        mapRuns(le32(area, i * 4), 0, logical, logicalBlocks, sequence, runs, budget);
    for (int level = 1; level <= 3 && logical < logicalBlocks; ++level)
        mapRuns(le32(area, (ino::kDirectBlocks + level - 1) * 4), level, logical, logicalBlocks, sequence, runs, budget);
    return runs;
}

void ExtUndelete::extentRuns(const std::uint8_t* node, std::size_t bytes, int depth, std::uint64_t logicalBlocks,
                             std::uint32_t sequence, std::vector<ExtRun>& runs, std::vector<std::uint64_t>& visited,
                             std::uint64_t& budget) {
    if (bytes < ext::kHeaderBytes || le16(node, ext::kHeaderMagic) != ext::kMagic) return;
    const std::uint16_t nodeDepth = le16(node, ext::kHeaderDepth);
    if (nodeDepth > ext::kMaxDepth || (depth >= 0 && nodeDepth != depth)) return;
    const std::size_t count =
        std::min<std::size_t>(le16(node, ext::kHeaderEntries), (bytes - ext::kHeaderBytes) / ext::kEntryBytes);
    const std::uint64_t usable = p_.usableBlocks();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = node + ext::kHeaderBytes + i * ext::kEntryBytes;
        if (nodeDepth == 0) {
            const std::optional<ExtRun> run = extentLeafRun(e, logicalBlocks, usable);
            if (!run) continue;
            if (budget < run->count) return;
            budget -= run->count;
            runs.push_back(*run);
        } else {
            const std::uint64_t child = le32(e, ext::kIndexLeafLo) | (std::uint64_t(le16(e, ext::kIndexLeafHi)) << 32);
            if (child == 0 || child >= usable || budget == 0 || visited.size() > usable ||
                std::find(visited.begin(), visited.end(), child) != visited.end())
                continue;  // what it covered stays unmapped
            visited.push_back(child);
            --budget;
            std::vector<std::uint8_t> block(p_.blockSize);
            // The index node as it was when this copy of the inode was written.
            if (blockAsOf(child, sequence, block.data()))
                extentRuns(block.data(), block.size(), nodeDepth - 1, logicalBlocks, sequence, runs, visited, budget);
        }
    }
}

void ExtUndelete::mapRuns(std::uint64_t pointer, int level, std::uint64_t& logical, std::uint64_t logicalBlocks,
                          std::uint32_t sequence, std::vector<ExtRun>& runs, std::uint64_t& budget) {
    const std::uint64_t perBlock = p_.blockSize / 4;
    std::uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock;
    if (logical >= logicalBlocks) return;
    const std::uint64_t covered = std::min<std::uint64_t>(span, logicalBlocks - logical);
    if (pointer == 0) {  // a hole, or a map the delete cleared: left unmapped
        logical += covered;
        return;
    }
    if (pointer >= p_.usableBlocks() || budget == 0) {
        runs.push_back({logical, 0, covered, ExtRun::Kind::Unreadable});
        logical += covered;
        return;
    }
    --budget;
    if (level == 0) {
        if (!runs.empty() && runs.back().kind == ExtRun::Kind::Data &&
            runs.back().logical + runs.back().count == logical && runs.back().physical + runs.back().count == pointer)
            ++runs.back().count;
        else
            runs.push_back({logical, pointer, 1, ExtRun::Kind::Data});
        logical += 1;
        return;
    }
    // The indirect block as it was when this copy of the inode was written (the delete
    // clears the volume's own).
    std::vector<std::uint8_t> block(p_.blockSize);
    if (!blockAsOf(pointer, sequence, block.data())) {
        runs.push_back({logical, 0, covered, ExtRun::Kind::Unreadable});
        logical += covered;
        return;
    }
    for (std::uint64_t i = 0; i < perBlock && logical < logicalBlocks; ++i)
        mapRuns(le32(block.data(), i * 4), level - 1, logical, logicalBlocks, sequence, runs, budget);
}

// Two files brought back that map the same block cannot both hold it: it went to the one
// whose copy is newer (the other's blocks were used again and freed since). The older
// copy's file is damaged by what they share, both are when their copies are of one time.
void ExtUndelete::markSharedBlocks() {
    struct Span {
        std::uint64_t start, end;
        std::uint32_t key;
    };
    std::vector<Span> spans;
    for (const auto& [key, r] : recovered_) {
        if ((le16(r.inode.data(), ino::kMode) & ino::kTypeMask) == ino::kTypeDirectory) continue;
        for (const ExtRun& run : r.runs)
            if (run.kind == ExtRun::Kind::Data) spans.push_back({run.physical, run.physical + run.count, key});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    std::map<std::uint32_t, std::uint64_t> sharedBlocks;
    std::vector<Span> active;
    // Overlaps are rare; a volume made of them is damaged, and past a bound every span that
    // starts inside another is taken as shared whole.
    std::uint64_t comparisons = 0, maxEnd = 0;
    for (const Span& sp : spans) {
        if (comparisons > kMaxComparisons) {
            if (sp.start < maxEnd) sharedBlocks[sp.key] += sp.end - sp.start;
            maxEnd = std::max(maxEnd, sp.end);
            continue;
        }
        maxEnd = std::max(maxEnd, sp.end);
        std::erase_if(active, [&](const Span& a) { return a.end <= sp.start; });
        comparisons += active.size() + 1;
        for (const Span& a : active) {
            if (a.key == sp.key) continue;
            const std::uint64_t blocks = std::min(a.end, sp.end) - sp.start;
            const std::int64_t ka = sequenceKey(recovered_.at(a.key).sequence);
            const std::int64_t ks = sequenceKey(recovered_.at(sp.key).sequence);
            if (ka <= ks) sharedBlocks[a.key] += blocks;
            if (ks <= ka) sharedBlocks[sp.key] += blocks;
        }
        active.push_back(sp);
    }
    for (const auto& [key, blocks] : sharedBlocks) {
        Recovered& r = recovered_.at(key);
        const std::uint64_t size = inodeSize(r.inode.data());
        r.overwrittenBytes = std::min(size, r.overwrittenBytes + blocks * p_.blockSize);
    }
}

void ExtUndelete::run() {
    if (!p_.superblock || p_.groups.empty()) return;
    const auto& s = *p_.superblock;
    journalRead = readJournal();
    std::map<std::uint32_t, std::vector<Candidate>> candidates;
    if (journalRead) collectCandidates(candidates);

    // The copy each inode is brought back from: for files the newest whose blocks no live
    // file holds now, else the newest (then damaged); for folders the newest.
    std::vector<std::uint8_t> block(p_.blockSize);
    // Blocks looked at over all candidates stay within a few times what the volume holds
    // (every inode's newest copy gets its turn; older copies only while the budget lasts).
    std::uint64_t budget = 4 * (p_.usableBlocks() + journal.copies.size()) + 4096;
    for (auto& [n, list] : candidates) {
        if (p_.stopFlag.load() != 0) break;
        std::optional<Recovered> chosen, newest;
        std::size_t tries = 0;
        for (auto c = list.rbegin(); c != list.rend() && tries < kMaxTries && (!newest || budget > 0); ++c, ++tries) {
            if (!readCopy(c->copy, block.data())) continue;
            Recovered r;
            r.inode.assign(kInodeKeep, 0);
            std::memcpy(r.inode.data(), block.data() + c->offset, std::min<std::size_t>(kInodeKeep, s.inodeSize));
            r.sequence = journal.copies[c->copy].sequence;
            const std::uint8_t* in = r.inode.data();
            const std::uint16_t type = le16(in, ino::kMode) & ino::kTypeMask;
            // Older copies count only while they are of the same use of the inode as the
            // newest (its name is the newest one's: same generation, same kind) and of its
            // last size (a copy from before the file was written is not the file).
            if (newest && (le32(in, ino::kGeneration) != le32(newest->inode.data(), ino::kGeneration) ||
                           type != (le16(newest->inode.data(), ino::kMode) & ino::kTypeMask) ||
                           inodeSize(in) != inodeSize(newest->inode.data())))
                continue;
            const std::uint64_t size = inodeSize(in);
            const bool inInode = isFastLink(in, p_.blockSize) || (le32(in, ino::kFlags) & ino::kFlagInlineData);
            if (!inInode) {
                r.runs = runsAsOf(r.inode, r.sequence);
                // What the copy maps, and what of that other files hold now.
                const std::uint64_t bs = p_.blockSize;
                const std::uint64_t fileBytes = std::min<std::uint64_t>(size, (std::uint64_t(1) << 32) * bs);
                std::uint64_t mapped = 0, next = 0;
                for (const ExtRun& run : r.runs) {
                    const std::uint64_t from = std::max(run.logical, next), to = run.logical + run.count;
                    if (to <= from) continue;
                    const std::uint64_t bytes = std::min(to * bs, fileBytes) - std::min(from * bs, fileBytes);
                    if (run.kind != ExtRun::Kind::Unreadable) mapped += bytes;
                    if (run.kind == ExtRun::Kind::Data && type != ino::kTypeDirectory) {
                        for (std::uint64_t l = from; l < to && l * bs < fileBytes; ++l) {
                            if (budget > 0) --budget;
                            if (blockInUse(run.physical + (l - run.logical)))
                                r.overwrittenBytes += std::min(bs, fileBytes - l * bs);
                        }
                    }
                    next = to;
                }
                r.unmappedBytes = fileBytes - std::min(mapped, fileBytes);
            }
            if (!newest) newest = r;
            if (type == ino::kTypeDirectory || (r.overwrittenBytes == 0 && r.unmappedBytes == 0)) {
                chosen = std::move(r);
                break;
            }
        }
        if (!chosen) chosen = std::move(newest);
        if (chosen) recovered_.emplace(n - 1, std::move(*chosen));
    }

    markSharedBlocks();

    // Names and folders.
    if (!recovered_.empty()) collectNames();
    std::unordered_map<std::uint64_t, std::uint32_t> blockOwner;  // directory block -> folder inode
    {
        std::unordered_set<std::uint64_t> wanted;
        for (const auto& [n, name] : names_) wanted.insert(name.fsBlock);
        for (const auto& [n, name] : folderNames_) wanted.insert(name.fsBlock);
        auto claim = [&](std::uint32_t folder, const std::vector<ExtRun>& runs) {
            for (const ExtRun& run : runs) {
                if (run.kind != ExtRun::Kind::Data) continue;
                for (std::uint64_t k = 0; k < run.count && !wanted.empty(); ++k)
                    if (wanted.erase(run.physical + k)) blockOwner.emplace(run.physical + k, folder);
            }
        };
        // Live folders first (the root and every named folder), then folders brought back.
        std::vector<std::uint32_t> liveFolders{ext_format::kRootInode};
        for (const auto& [key, e] : p_.entries)
            if (key != ext2Class::kRootKey && e.isFolder() && !e.deleted) liveFolders.push_back(e.inodeNumber());
        for (std::uint32_t f : liveFolders) {
            if (wanted.empty() || p_.stopFlag.load() != 0) break;
            const auto inode = p_.readInode(f);
            if (!inode) continue;
            const std::uint64_t size = inodeSize(inode->data());
            claim(f, p_.blockRuns(*inode, (size + p_.blockSize - 1) / p_.blockSize));
        }
        for (const auto& [key, r] : recovered_)
            if ((le16(r.inode.data(), ino::kMode) & ino::kTypeMask) == ino::kTypeDirectory) claim(key + 1, r.runs);
    }

    // The entries, each under its former folder: a live one, one brought back, or one
    // whose inode serves another file now but whose name the journal still holds (shown
    // as a deleted folder of its own, so that the path stays as the user knew it).
    std::uint64_t nextGhost = s.inodeCount;  // keys past every inode's
    std::map<std::uint32_t, std::int64_t> ghostOf;  // folder inode -> its entry's key
    std::function<std::int64_t(const Name&, int)> folderOf;
    // sameLive: whether a live folder of that inode number is the one that held the block.
    std::function<std::int64_t(std::uint32_t, int, bool)> folderKey = [&](std::uint32_t owner, int depth,
                                                                          bool sameLive) -> std::int64_t {
        if (owner == ext_format::kRootInode) return ext2Class::kRootKey;
        if (owner < s.firstInode || owner > s.inodeCount) return -1;
        const std::uint32_t key = owner - 1;
        if (auto r = recovered_.find(key);
            r != recovered_.end() && (le16(r->second.inode.data(), ino::kMode) & ino::kTypeMask) == ino::kTypeDirectory)
            return key;
        if (auto g = ghostOf.find(owner); g != ghostOf.end()) return g->second;
        const ExtEntry* e = p_.entry(key);
        if (e && e->isFolder() && !e->deleted && sameLive) return key;
        auto name = folderNames_.find(owner);
        if (name == folderNames_.end() || depth > 64 || nextGhost >= 0xFFFFFFFFull) return -1;
        const auto ghostKey = static_cast<std::uint32_t>(nextGhost++);
        ghostOf[owner] = ghostKey;  // before its own parent: a loop ends here
        ExtEntry ghost;
        ghost.key = ghostKey;
        ghost.name = name->second.text;
        ghost.mode = ino::kTypeDirectory;
        ghost.deleted = true;
        ghost.parent = folderOf(name->second, depth + 1);
        ghosts_.push_back(ghostKey);
        p_.entries.emplace(ghostKey, std::move(ghost));
        return ghostKey;
    };
    folderOf = [&](const Name& name, int depth) -> std::int64_t {
        auto b = blockOwner.find(name.fsBlock);
        if (name.owner == 0) return b == blockOwner.end() ? -1 : folderKey(b->second, depth, true);
        // The block's own "." names the folder; a live folder of that number that does not
        // hold the block now is a later use of the inode.
        return folderKey(name.owner, depth, b != blockOwner.end() && b->second == name.owner);
    };
    std::map<std::uint32_t, std::int64_t> parents;
    for (const auto& [key, r] : recovered_) {
        auto it = names_.find(key + 1);
        std::int64_t parent = it == names_.end() ? -1 : folderOf(it->second, 0);
        if (parent == std::int64_t(key)) parent = -1;
        parents[key] = parent;
    }
    // A chain of folders brought back must reach a live folder; one that loops goes to
    // "ORPHAN_ENTRY".
    for (auto& [key, parent] : parents) {
        std::int64_t at = parent;
        std::size_t steps = 0;
        while (at >= 0 && parents.count(static_cast<std::uint32_t>(at)) && steps <= parents.size()) {
            at = parents[static_cast<std::uint32_t>(at)];
            ++steps;
        }
        if (steps > parents.size()) parent = -1;
    }
    // A parent that is no entry at all would leave its children unreachable.
    for (auto& [key, parent] : parents)
        if (parent >= 0 && !p_.isEntry(static_cast<std::uint32_t>(parent)) &&
            !recovered_.count(static_cast<std::uint32_t>(parent)))
            parent = -1;
    bool needOrphans = false;
    for (auto& [key, parent] : parents) needOrphans |= parent < 0;
    for (std::uint32_t g : ghosts_) needOrphans |= p_.entries.at(g).parent < 0;
    if (needOrphans) {
        // "ORPHAN_ENTRY" takes a key of the reserved inodes that no entry holds.
        for (std::uint32_t k = ext2Class::kRootKey + 1; k + 1 < s.firstInode && k < ext_format::kFirstInodeRev0; ++k)
            if (!p_.isEntry(k) && !recovered_.count(k)) {
                orphanKey = k;
                break;
            }
        if (orphanKey != 0) {
            ExtEntry orphan;
            orphan.name = u"ORPHAN_ENTRY";
            orphan.key = orphanKey;
            orphan.parent = ext2Class::kRootKey;
            orphan.mode = ino::kTypeDirectory;
            p_.entries.emplace(orphanKey, std::move(orphan));
        }
    }
    for (std::uint32_t g : ghosts_) {
        ExtEntry& ghost = p_.entries.at(g);
        if (ghost.parent < 0) ghost.parent = orphanKey ? std::int64_t(orphanKey) : -1;
    }
    for (auto it = recovered_.begin(); it != recovered_.end();) {
        const std::uint32_t key = it->first;
        const std::int64_t parent = parents[key] >= 0 ? parents[key] : (orphanKey ? std::int64_t(orphanKey) : -1);
        if (parent < 0) {
            it = recovered_.erase(it);
            continue;
        }
        ExtEntry e;
        e.key = key;
        e.parent = parent;
        e.mode = le16(it->second.inode.data(), ino::kMode);
        e.size = inodeSize(it->second.inode.data());
        e.deleted = true;
        auto name = names_.find(key + 1);
        e.name = name != names_.end() && !name->second.text.empty()
                     ? name->second.text
                     : format16("inode %u", static_cast<unsigned>(key + 1));
        if (e.isFolder()) ++recoveredFolders;
        else ++recoveredFiles;
        p_.entries.emplace(key, std::move(e));
        ++it;
    }

    deletedInodes = countDeletedInodes();
    const std::uint32_t back = recoveredFiles + recoveredFolders;
    const std::uint32_t lost = deletedInodes > back ? deletedInodes - back : 0;
    if (p_.sink && back > 0)
        p_.sink->status(format16("recovered %u deleted files and %u deleted folders from the journal",
                                 static_cast<unsigned>(recoveredFiles), static_cast<unsigned>(recoveredFolders)));
    if (p_.sink && lost > 0) {
        const char* why = !s.hasJournal()           ? "the volume keeps no journal"
                          : s.journalInode == 0     ? "the journal is on another device"
                          : !journalRead            ? "the journal cannot be read"
                                                    : "the journal holds no copy of them";
        p_.sink->status(format16("%u deleted files could not be recovered (%s); raw recovery may still find their data",
                                 static_cast<unsigned>(lost), why));
    }
}

const ExtUndelete::Recovered* ExtUndelete::recovered(std::uint32_t key) const {
    auto it = recovered_.find(key);
    return it == recovered_.end() ? nullptr : &it->second;
}

SaveStatus ExtUndelete::save(std::uint32_t key, EntryWriter& out) const {
    const Recovered* r = recovered(key);
    const ExtEntry* e = p_.entry(key);
    if (!r || !e || !e->isFile()) return SaveStatus::Failed;
    const SaveStatus status = p_.saveInode(r->inode, e->mode, out, &r->runs);
    if (status != SaveStatus::Saved && status != SaveStatus::Damaged) return status;
    const std::uint64_t size = inodeSize(r->inode.data());
    if (r->overwrittenBytes > 0)
        out.noteDamage(groupedNumber(r->overwrittenBytes) + " of " + groupedNumber(size) +
                       " bytes overwritten by other files");
    if (r->unmappedBytes > 0)
        out.noteDamage(groupedNumber(r->unmappedBytes) + " of " + groupedNumber(size) +
                       " bytes not mapped by the journal's copy of the inode");
    return r->overwrittenBytes > 0 || r->unmappedBytes > 0 ? SaveStatus::Damaged : status;
}

}  // namespace dravonel
