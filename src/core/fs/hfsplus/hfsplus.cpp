#include "core/fs/hfsplus/hfsplus.h"

#include <algorithm>
#include <cstring>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"

namespace dravonel {

namespace {

namespace vh = hfsplus_format::volume_header;
namespace fk = hfsplus_format::fork;
namespace nd = hfsplus_format::node;
namespace hr = hfsplus_format::header_record;
namespace ck = hfsplus_format::catalog_key;
namespace cr = hfsplus_format::catalog_record;
namespace ek = hfsplus_format::extent_key;

// The deep scan reads the volume in pieces of this size (plus one node of overlap).
constexpr std::uint64_t kScanChunkBytes = 16u << 20;
// File data is delivered in pieces of at most this size.
constexpr std::size_t kDataChunkBytes = 1u << 20;

bool powerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::vector<HfsExtent> decodeExtents(const std::uint8_t* p) {
    std::vector<HfsExtent> out;
    for (std::size_t i = 0; i < fk::kExtentCount; ++i) {
        const HfsExtent e{be32(p, i * fk::kExtentBytes), be32(p, i * fk::kExtentBytes + 4)};
        if (e.count == 0) break;  // the list ends at the first empty extent
        out.push_back(e);
    }
    return out;
}

std::optional<std::int64_t> unixSeconds(std::uint32_t hfsDate) {
    if (hfsDate == 0) return std::nullopt;
    return std::int64_t(hfsDate) - hfsplus_format::kEpochOffset;
}

std::u16string dateText(std::uint32_t hfsDate) {
    const auto s = unixSeconds(hfsDate);
    if (!s) return {};
    const auto local = unixTimeToLocal(*s);
    return local ? formatDateTime(*local) : std::u16string();
}

}  // namespace

std::vector<std::uint32_t> hfsRecordOffsets(const std::vector<std::uint8_t>& node) {
    std::vector<std::uint32_t> out;
    if (node.size() < nd::kDescriptorBytes + 2) return out;
    const std::size_t size = node.size();
    const std::size_t count = std::min<std::size_t>(be16(node.data(), nd::kNumRecords), (size - nd::kDescriptorBytes) / 2);
    const std::size_t tableStart = size - 2 * count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t off = be16(node.data(), size - 2 * (i + 1));
        if (off >= nd::kDescriptorBytes && off < tableStart) out.push_back(off);
    }
    return out;
}

HFSP::HFSP(const VolumeRecord& v, TreeSink* t, readWriteInterface* r, ScanSink* s, WorkerControl* c)
    : volume(v), tree(t), reader(r), sink(s), workerControl(c) {}

bool HFSP::stopRequested() const { return stopFlag.load(std::memory_order_relaxed) != 0; }

void HFSP::status(std::u16string_view text) const {
    if (sink) sink->status(text);
}

void HFSP::checkPoint() const {
    if (workerControl) workerControl->checkPoint();
}

bool HFSP::readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count) const {
    return reader && reader->readAtUnsigned(position, dest, count);
}

bool HFSP::readBytes(std::uint64_t position, std::uint8_t* dest, std::size_t count,
                        std::vector<SectorRange>* unreadable) const {
    return reader && reader->readAtUnsigned(position, dest, count, unreadable);
}

bool HFSP::readInto(EntryWriter& out, std::uint64_t position, std::uint8_t* buffer, std::size_t count,
                       bool& complete) const {
    return copyAsRead(reader, position, buffer, count, out, complete);
}

std::uint64_t HFSP::sourceBytes() const {
    std::uint64_t bytes = volumeSize;
    if (reader && reader->deviceSectorCount > 0) {
        const std::int64_t device = reader->deviceSectorCount * kSectorBytes - reader->baseOffset;
        if (device > 0) bytes = std::max<std::uint64_t>(bytes, std::uint64_t(device));
    }
    return bytes;
}

bool HFSP::attachReader(readWriteInterface* r) {
    reader = r;
    const std::int64_t mb = sizeMbValue(volume.sizeMbText);
    volumeSize = mb > 0 && mb < (INT64_MAX >> 20) ? std::uint64_t(mb) << 20 : 0;
    if (tree) {
        rootItem = tree->insertItem(u"ROOT", ItemImage::Folder, kNoItem, kTopRef);
        tree->setCheck(rootItem, true);
        tree->expand(rootItem, ExpandCode::Expand);
    }
    return true;
}

bool HFSP::readVolumeHeader(std::uint64_t offset) {
    if (!reader) return false;
    std::uint8_t h[hfsplus_format::kVolumeHeaderBytes] = {};
    readBytes(offset + hfsplus_format::kVolumeHeaderOffset, h, sizeof h);
    blockSize = be32(h, vh::kBlockSize);
    totalBlocks = be32(h, vh::kTotalBlocks);
    // An allocation block is a power of two of at least 512 bytes; anything else leaves
    // nothing to read (the size itself decides, not the signature, so that a header whose
    // first bytes were hit can still be read).
    if (!powerOfTwo(blockSize) || blockSize < 512 || blockSize > (1u << 26)) {
        blockSize = 0;
        return true;
    }
    auto fork = [&](std::size_t at) {
        Fork f;
        f.logicalSize = be64(h, at + fk::kLogicalSize);
        f.totalBlocks = be32(h, at + fk::kTotalBlocks);
        f.extents = decodeExtents(h + at + fk::kExtents);
        return f;
    };
    catalogFork = fork(vh::kCatalogFile);
    extentsFork = fork(vh::kExtentsFile);
    return true;
}

std::optional<std::uint64_t> HFSP::forkPosition(const Fork& f, std::uint64_t offset) const {
    for (const HfsExtent& e : f.extents) {
        const std::uint64_t bytes = std::uint64_t(e.count) * blockSize;
        if (offset < bytes) return std::uint64_t(e.start) * blockSize + offset;
        offset -= bytes;
    }
    return std::nullopt;
}

bool HFSP::readFork(const Fork& f, std::uint64_t offset, std::uint8_t* dest, std::size_t count,
                    std::vector<SectorRange>* unreadable) const {
    if (blockSize == 0) return false;
    while (count > 0) {
        const auto pos = forkPosition(f, offset);
        if (!pos) return false;
        // Bytes up to the end of this allocation block are contiguous.
        const std::size_t n = std::size_t(std::min<std::uint64_t>(count, blockSize - offset % blockSize));
        if (!(unreadable ? readBytes(*pos, dest, n, unreadable) : readBytes(*pos, dest, n))) return false;
        dest += n;
        offset += n;
        count -= n;
    }
    return true;
}

bool HFSP::readHeaderNode(const Fork& f, std::uint32_t& nodeSize, std::uint32_t& totalNodes, bool kindMatters) const {
    nodeSize = totalNodes = 0;
    std::uint8_t h[nd::kDescriptorBytes + 32] = {};
    if (!readFork(f, 0, h, sizeof h)) return false;
    if (kindMatters && static_cast<std::int8_t>(h[nd::kKind]) != nd::kHeader) return false;
    nodeSize = be16(h, nd::kDescriptorBytes + hr::kNodeSize);
    totalNodes = be32(h, nd::kDescriptorBytes + hr::kTotalNodes);
    if (!powerOfTwo(nodeSize) || nodeSize < nd::kMinSize || nodeSize > nd::kMaxSize) {
        nodeSize = 0;
        return false;
    }
    // Nodes lie within the file's extents: a count beyond them is cut there.
    std::uint64_t covered = 0;
    for (const HfsExtent& e : f.extents) covered += std::uint64_t(e.count) * blockSize;
    totalNodes = std::uint32_t(std::min<std::uint64_t>(totalNodes, covered / nodeSize));
    return totalNodes > 0;
}

std::vector<HfsExtent> HFSP::completeExtents(std::uint32_t fileId, std::uint8_t forkType, std::vector<HfsExtent> list,
                                             std::uint32_t wanted) const {
    std::uint64_t have = 0;
    for (const HfsExtent& e : list) have += e.count;
    // Each overflow record starts at the file block where the list ends; a record found
    // once more (a loop) or missing ends the list.
    for (std::size_t rounds = 0; have < wanted && rounds <= overflow.size(); ++rounds) {
        if (have > 0xFFFFFFFFu) break;
        auto it = overflow.find({fileId, forkType, static_cast<std::uint32_t>(have)});
        if (it == overflow.end() || it->second.empty()) break;
        for (const HfsExtent& e : it->second) {
            list.push_back(e);
            have += e.count;
        }
    }
    return list;
}

bool HFSP::readExtentsTree() {
    overflow.clear();
    if (blockSize == 0 || !readHeaderNode(extentsFork, extentsNodeSize, extentsTotalNodes)) return false;
    std::vector<std::uint8_t> node(extentsNodeSize);
    for (std::uint32_t n = 1; n < extentsTotalNodes && !stopRequested(); ++n) {
        checkPoint();
        if (!readFork(extentsFork, std::uint64_t(n) * extentsNodeSize, node.data(), node.size())) continue;
        if (static_cast<std::int8_t>(node[nd::kKind]) != nd::kLeaf) continue;
        for (std::uint32_t off : hfsRecordOffsets(node)) {
            if (off + ek::kBytes + fk::kExtentCount * fk::kExtentBytes > node.size()) continue;
            if (be16(node.data(), off + ek::kKeyLength) < ek::kBytes - 2) continue;
            const std::uint8_t* p = node.data() + off;
            overflow.emplace(std::make_tuple(be32(p, ek::kFileId), p[ek::kForkType], be32(p, ek::kStartBlock)),
                             decodeExtents(p + ek::kBytes));
        }
    }
    // The catalog may have grown beyond its eight extents in the volume header.
    catalogFork.extents = completeExtents(hfsplus_format::kCatalogFileId, ek::kDataFork, catalogFork.extents,
                                          catalogFork.totalBlocks);
    return true;
}

bool HFSP::readCatalogTree() {
    leafNodes.clear();
    catalogNodesUnreadable = 0;
    deep = false;
    // A damaged kind byte in the catalog's header node costs only that byte: its node
    // size and node count are still what the walk needs.
    if (blockSize == 0 || !readHeaderNode(catalogFork, catalogNodeSize, catalogTotalNodes, false)) return false;
    if (sink) sink->setRange(0, catalogTotalNodes);
    std::uint8_t d[nd::kDescriptorBytes];
    for (std::uint32_t n = 1; n < catalogTotalNodes && !stopRequested(); ++n) {
        checkPoint();
        const std::uint64_t at = std::uint64_t(n) * catalogNodeSize;
        std::vector<SectorRange> unreadable;
        if (!readFork(catalogFork, at, d, sizeof d, &unreadable)) {
            if (!unreadable.empty()) ++catalogNodesUnreadable;
            continue;
        }
        if (static_cast<std::int8_t>(d[nd::kKind]) == nd::kLeaf && be16(d, nd::kNumRecords) != 0) leafNodes.push_back(at);
        if ((n & 255) == 0 && sink) sink->setPosition(n);
    }
    return true;
}

bool HFSP::scanCatalogTree() {
    leafNodes.clear();
    deep = true;
    if (blockSize == 0 || !readHeaderNode(catalogFork, catalogNodeSize, catalogTotalNodes, false)) {
        status(u"BlockSize not valid .Aborting..");
        return false;
    }
    // Catalog nodes start at node-size steps within the catalog file, which starts on an
    // allocation block: test every block, or every node when nodes are smaller.
    const std::uint64_t step = std::min<std::uint64_t>(catalogNodeSize, blockSize);
    const std::uint64_t claimed = std::min<std::uint64_t>(std::uint64_t(totalBlocks) * blockSize, sourceBytes());
    const std::uint64_t scanBytes = std::max(volumeSize, claimed);
    if (scanBytes < catalogNodeSize) {
        status(u"BlockSize not valid .Aborting..");
        return false;
    }
    if (sink) sink->setRange(0, static_cast<std::int64_t>(scanBytes / blockSize));
    std::vector<std::uint8_t> chunk(std::size_t(std::min<std::uint64_t>(kScanChunkBytes, scanBytes)) + catalogNodeSize);
    const std::size_t ns = catalogNodeSize;
    for (std::uint64_t base = 0; base + ns <= scanBytes && !stopRequested(); base += kScanChunkBytes) {
        checkPoint();
        const std::size_t want = std::size_t(std::min<std::uint64_t>(chunk.size(), scanBytes - base));
        std::fill_n(chunk.begin(), want, 0);
        readBytes(base, chunk.data(), want);
        for (std::size_t at = 0; at < kScanChunkBytes && at + ns <= want; at += step) {
            const std::uint8_t* p = chunk.data() + at;
            if (p[nd::kKind] != 0xFF || p[nd::kHeight] == 0) continue;
            if (be16(p, ns - 2) != nd::kDescriptorBytes) continue;
            const std::uint16_t records = be16(p, nd::kNumRecords);
            if (records == 0 || records > 999) continue;
            // The node is kept where it was found (not at a multiple of the node size
            // from the volume start: the catalog need not start on one).
            leafNodes.push_back(base + at);
        }
        if (sink) sink->setPosition(static_cast<std::int64_t>((base + kScanChunkBytes) / blockSize));
    }
    return true;
}

void HFSP::decodeLeaf(const std::vector<std::uint8_t>& node, std::uint64_t position) {
    const std::size_t size = node.size();
    for (std::uint32_t off : hfsRecordOffsets(node)) {
        if (off + ck::kName > size) continue;
        const std::uint16_t keyLength = be16(node.data(), off + ck::kKeyLength);
        const std::size_t rec = std::size_t(off) + 2 + keyLength;
        if (keyLength < ck::kName - 2 || rec + 2 > size) continue;
        const std::uint32_t parent = be32(node.data(), off + ck::kParentId);
        const std::uint16_t nameLength = be16(node.data(), off + ck::kNameLength);
        std::u16string name;
        if (nameLength >= 1 && nameLength <= ck::kMaxName && ck::kName + 2 * std::size_t(nameLength) <= 2 + std::size_t(keyLength)) {
            name.resize(nameLength);
            for (std::size_t i = 0; i < nameLength; ++i) name[i] = char16_t(be16(node.data(), off + ck::kName + 2 * i));
        }
        const std::int16_t type = static_cast<std::int16_t>(be16(node.data(), rec + cr::kType));
        const std::size_t need = type == cr::kFile ? cr::kFileBytes : cr::kFolderBytes;
        if ((type != cr::kFolder && type != cr::kFile) || rec + need > size) continue;
        const std::uint8_t* r = node.data() + rec;
        HfsEntry e;
        e.type = static_cast<std::uint16_t>(type);
        e.parentId = parent;
        e.id = be32(r, cr::kId);
        e.name = std::move(name);
        e.nodePosition = position;
        e.recordOffset = off;
        e.createDate = be32(r, cr::kCreateDate);
        e.contentModDate = be32(r, cr::kContentModDate);
        e.attributeModDate = be32(r, cr::kAttributeModDate);
        e.accessDate = be32(r, cr::kAccessDate);
        e.fileMode = be16(r, cr::kFileMode);
        if (type == cr::kFile) {
            e.logicalSize = be64(r, cr::kDataFork + fk::kLogicalSize);
            e.totalBlocks = be32(r, cr::kDataFork + fk::kTotalBlocks);
            e.extents = decodeExtents(r + cr::kDataFork + fk::kExtents);
        }
        // Folder ID 0 and IDs that equal the sentinels name nothing; a second record of
        // an ID keeps the first.
        if (e.id == 0 || e.id >= HfsEntry::kNone - 1) continue;
        entries.emplace(e.id, std::move(e));
    }
}

bool HFSP::readCatalogRecords() {
    entries.clear();
    if (catalogNodeSize == 0) return true;
    if (sink) sink->setRange(0, static_cast<std::int64_t>(leafNodes.size()));
    std::vector<std::uint8_t> node(catalogNodeSize);
    for (std::size_t i = 0; i < leafNodes.size() && !stopRequested(); ++i) {
        checkPoint();
        if (sink && (i & 255) == 0) sink->setPosition(static_cast<std::int64_t>(i));
        std::fill(node.begin(), node.end(), 0);
        std::vector<SectorRange> unreadable;
        const bool ok = deep ? readBytes(leafNodes[i], node.data(), node.size())
                             : readFork(catalogFork, leafNodes[i], node.data(), node.size(), &unreadable);
        if (!ok) {
            // A node's records are found through offsets at its end: it is lost whole.
            if (!unreadable.empty()) ++catalogNodesUnreadable;
            continue;
        }
        const auto pos = deep ? std::optional<std::uint64_t>(leafNodes[i]) : forkPosition(catalogFork, leafNodes[i]);
        decodeLeaf(node, pos.value_or(0));
    }
    return true;
}

bool HFSP::linkParentChild() {
    status(u"Maintaining Parent Child....");
    const std::int64_t total = static_cast<std::int64_t>(entries.size());
    if (sink) sink->setRange(0, total);
    if (!deep) {
        std::int64_t position = 0;
        for (auto& [id, e] : entries) {
            ++position;
            if ((position & 1023) == 0 || position == total) {
                status(format16("Maintaining Parent Child for record %lld of %lld....", static_cast<long long>(position),
                                static_cast<long long>(total)));
                if (sink) sink->setPosition(position);
                checkPoint();
            }
            if (stopRequested()) break;
            // The root folder hangs below nothing.
            if (id == hfsplus_format::kRootFolderId || e.parentId < 1 || e.parentId == id) continue;
            auto p = entries.find(e.parentId);
            if (p == entries.end() || !p->second.isFolder() || p->second.parentId == id) continue;
            e.nextSibling = p->second.firstChild;
            p->second.firstChild = id;
        }
        return true;
    }
    if (entries.empty()) return true;
    const std::uint32_t highest = entries.rbegin()->first;
    if (highest <= 1 || highest + 1 >= HfsEntry::kNone - 1) return true;
    orphanId = highest + 1;
    HfsEntry orphan;
    orphan.type = cr::kFolder;
    orphan.id = orphanId;
    orphan.parentId = hfsplus_format::kRootFolderId;
    orphan.name = u"ORPHAN_ENTRY";
    std::uint32_t current = 0;  // the folder that files go into, 0 before the first folder
    for (auto& [id, e] : entries) {
        if (stopRequested()) break;
        if (e.isFolder()) {
            e.nextSibling = orphan.firstChild;
            orphan.firstChild = id;
            e.parentId = orphanId;
            current = id;
        } else {
            // A file goes into its own folder when that folder's record was found; the
            // rest into the nearest folder of a lower ID, as the deep scan finds them.
            auto own = e.parentId != id ? entries.find(e.parentId) : entries.end();
            const bool ownFound = own != entries.end() && own->second.isFolder();
            HfsEntry& folder = ownFound ? own->second : current ? entries.at(current) : orphan;
            e.nextSibling = folder.firstChild;
            folder.firstChild = id;
        }
    }
    entries.emplace(orphanId, std::move(orphan));
    return true;
}

bool HFSP::fillTree() {
    if (!tree) return true;
    std::int64_t position = 0;
    for (const auto& [id, e] : entries) {
        if (stopRequested()) break;
        ++position;
        if (e.parentId != hfsplus_format::kRootFolderId) continue;
        // Deep: every file hangs in a folder (its own or a nearest one) below ORPHAN_ENTRY;
        // a file of the root folder is not shown a second time at the top.
        if (deep && !e.isFolder()) continue;
        status(format16(e.isFolder() ? "found folder at Node %lld" : "found file at Node %lld",
                        static_cast<long long>(position)));
        tree->insertItem(e.name, e.isFolder() ? ItemImage::Folder : ItemImage::File, rootItem, id);
    }
    tree->setCheck(rootItem, true);
    tree->expand(rootItem, ExpandCode::Expand);
    return true;
}

const HfsEntry* HFSP::entry(std::uint32_t id) const {
    auto it = entries.find(id);
    return it == entries.end() ? nullptr : &it->second;
}

std::u16string HFSP::permissionText(std::uint16_t mode) {
    static const struct {
        std::uint16_t bit;
        const char16_t* text;
    } kBits[] = {{0x040, u"-Owner:X"}, {0x080, u"-Owner:W"}, {0x100, u"-Owner:R"}, {0x001, u"-OX"}, {0x002, u"-OW"},
                 {0x004, u"-OR"},      {0x008, u"-GX"},      {0x010, u"-GW"},      {0x020, u"-GR"}};
    std::u16string text;
    for (const auto& b : kBits)
        if (mode & b.bit) text += b.text;
    return text;
}

HfsTimesText HFSP::timesText(std::uint32_t id) const {
    HfsTimesText t;
    const HfsEntry* e = entry(id);
    if (!e) return t;
    t.created = dateText(e->createDate);
    t.accessed = dateText(e->accessDate);
    t.modified = dateText(e->contentModDate);
    t.permissions = permissionText(e->fileMode);
    return t;
}

std::u16string HFSP::sizeText(std::uint32_t id) const {
    const HfsEntry* e = entry(id);
    return formatSize(e ? static_cast<std::int64_t>(std::min<std::uint64_t>(e->logicalSize, INT64_MAX)) : 0);
}

EntryTimes HFSP::entryTimes(std::uint32_t id) const {
    EntryTimes t;
    const HfsEntry* e = entry(id);
    if (!e) return t;
    auto stamp = [](std::uint32_t date) -> std::optional<timespec> {
        const auto s = unixSeconds(date);
        if (!s) return std::nullopt;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(*s);
        return ts;
    };
    t.accessed = stamp(e->accessDate);
    // The content-modification date is the file's last write (the attribute date
    // changes with every rename or permission change).
    t.modified = stamp(e->contentModDate);
    return t;
}

SaveStatus HFSP::saveEntry(std::uint32_t id, EntryWriter& out) const {
    const HfsEntry* e = entry(id);
    if (!e || e->isFolder() || blockSize == 0) return SaveStatus::Failed;
    if (e->logicalSize == 0) return SaveStatus::Saved;  // an empty file is saved empty
    const std::vector<HfsExtent> extents =
        completeExtents(e->id, ek::kDataFork, e->extents, e->totalBlocks);
    std::uint64_t allocated = 0;
    for (const HfsExtent& x : extents) allocated += std::uint64_t(x.count) * blockSize;
    // What the record's block count holds, within the volume; a size beyond it is damage
    // and not written.
    const std::uint64_t recordBytes = std::min<std::uint64_t>(e->totalBlocks, totalBlocks) * std::uint64_t(blockSize);
    const std::uint64_t size = std::min(e->logicalSize, recordBytes);
    bool damaged = e->logicalSize > size;
    std::uint64_t done = 0;
    std::vector<std::uint8_t> buffer;
    for (const HfsExtent& x : extents) {
        if (done >= size) break;
        const std::uint64_t bytes = std::min<std::uint64_t>(std::uint64_t(x.count) * blockSize, size - done);
        const bool inside = std::uint64_t(x.start) + x.count <= totalBlocks;
        for (std::uint64_t off = 0; off < bytes;) {
            if (stopRequested()) return SaveStatus::Stopped;
            checkPoint();
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kDataChunkBytes, bytes - off));
            if (buffer.size() < n) buffer.resize(n);
            bool complete = false;
            if (inside) {
                if (!readInto(out, std::uint64_t(x.start) * blockSize + off, buffer.data(), n, complete))
                    return SaveStatus::Failed;
            } else if (!out.writeUnreadable(n)) {
                return SaveStatus::Failed;
            }
            if (!complete) damaged = true;
            off += n;
        }
        done += bytes;
    }
    // Blocks the record counts but no extent found: lost.
    if (done < size) {
        damaged = true;
        if (!out.writeUnreadable(size - done)) return SaveStatus::Failed;
    }
    return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
}

}  // namespace dravonel
