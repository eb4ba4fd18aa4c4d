#include "core/fs/ntfs/ntfs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "core/common/byte_reader.h"
#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/common/time_convert.h"

namespace dravonel {

namespace nf = ntfs_format;

namespace {

constexpr std::uint64_t kScanChunkBytes = 0xA00000;  // 10 MiB
constexpr std::uint64_t kStepBytes = 512;
constexpr std::uint64_t kNoEntry = ~std::uint64_t(0);
constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;  // low 48 bits of a file reference
// Largest compression unit buffer a save allocates (the usual unit is 16 clusters).
constexpr std::uint64_t kMaxUnitBytes = 64ULL << 20;
// Base record reference of an extension record: u64 at 0x20 (0 in a base record).
constexpr std::size_t kBaseRecordReference = 0x20;
constexpr std::uint64_t kMaxClusterBytes = 2ULL << 20;

bool chainEnds(std::uint64_t next) { return next == 0 || std::int64_t(next) < 0; }

bool startsWith(const std::u16string& name, std::u16string_view prefix) {
    return name.size() >= prefix.size() && std::u16string_view(name).substr(0, prefix.size()) == prefix;
}


}  // namespace

ntfs::ntfs() = default;

ntfs::ntfs(const VolumeRecord& v, TreeSink* t, readWriteInterface* r, ScanSink* s, WorkerControl* c)
    : volume(v), tree(t), reader(r), sink(s), workerControl(c) {}

// ---------------------------------------------------------------- helpers

bool ntfs::stopRequested() {
    if (workerControl) workerControl->checkPoint();
    return stopFlag.load() != 0;
}

void ntfs::status(std::u16string_view text) {
    if (sink) sink->status(text);
}

bool ntfs::readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count) {
    if (!reader || position > std::uint64_t(INT64_MAX)) return false;
    if (!reader->seek(std::int64_t(position))) return false;
    // A short read delivers what arrived followed by zeros; nothing arrived leaves the
    // buffer as it was, so it is cleared first.
    std::memset(dest, 0, count);
    reader->read(dest, count);
    return true;
}

std::uint64_t ntfs::clusterSizeFromBoot() const {
    if (!bootSector) return 4096;
    const std::uint8_t* b = bootSector->data();
    const std::uint64_t bytesPerSector = le16(b, nf::boot_sector::kBytesPerSector);
    const std::uint8_t spc = b[nf::boot_sector::kSectorsPerCluster];
    // Values above 0x80 encode 2^(256 - value) sectors (clusters of 128 KiB and more).
    std::uint64_t size = 0;
    if (spc > 0x80) {
        const unsigned shift = 256u - spc;
        size = shift > 24 ? 0 : bytesPerSector << shift;
    } else {
        size = bytesPerSector * spc;
    }
    // NTFS clusters are at most 2 MiB; a larger product is a damaged field.
    return size > kMaxClusterBytes ? 4096 : size;
}

std::optional<nf::Record> ntfs::readRecord(std::uint64_t position) {
    nf::Record record{};
    if (!readAt(position, record.data(), nf::kRecordBytes)) return std::nullopt;
    return record;
}

// ---------------------------------------------------------------- boot sector, MFT

bool ntfs::addTreeRoot() {
    if (!tree) return true;
    rootItem = tree->insertItem(u"ROOT", ItemImage::Folder, kNoItem, 0);  // names no entry
    tree->setCheck(rootItem, true);
    tree->expand(rootItem, ExpandCode::Expand);
    return true;
}

bool ntfs::readBootSector() {
    std::array<std::uint8_t, 512> sector{};
    if (readAt(0, sector.data(), 512)) bootSector = sector;
    else bootSector = sector;  // an unreadable sector reads as zeros
    const std::uint8_t* b = bootSector->data();
    if (std::memcmp(b + nf::boot_sector::kOemId, "NTFS", 4) == 0) {
        const std::uint64_t sectors = le64(b, nf::boot_sector::kTotalSectors);
        volumeSize = sectors > (~std::uint64_t(0) / 512) ? 0 : sectors * 512;
    } else {
        const std::uint64_t mb = std::uint64_t(sizeMbValue(volume.sizeMbText));
        volumeSize = mb > (~std::uint64_t(0) >> 20) ? 0 : mb << 20;
    }
    return volumeSize != 0;
}

bool ntfs::locateMft() {
    clusterSize = clusterSizeFromBoot();
    const bool bootIsNtfs = bootSector && std::memcmp(bootSector->data() + nf::boot_sector::kOemId, "NTFS", 4) == 0;
    if (bootIsNtfs) {
        mftKnown = true;
        const std::uint64_t mftCluster = le64(bootSector->data(), nf::boot_sector::kMftCluster);
        if (clusterSize != 0 && mftCluster > std::uint64_t(INT64_MAX) / clusterSize) return true;
        const std::uint64_t position = mftCluster * clusterSize;
        if (!reader || !reader->seek(std::int64_t(position))) return true;
        status(u"boot sector is fine.Getting run of mft entry...");
        mftRuns = runsOf(position, nf::attribute::kData);
        status(u"Got run...");
        runListPending = false;
        return true;
    }
    status(u"boot sector corrupt.Scanning for first mft entry...");
    clusterSize = 4096;
    mftKnown = false;
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(kScanChunkBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (sink) sink->setRange(0, std::int64_t(volumeSize / kScanChunkBytes));
    for (std::uint64_t chunkOffset = 0; chunkOffset < volumeSize; chunkOffset += kScanChunkBytes) {
        if (stopRequested()) return false;
        const std::uint64_t chunkNumber = chunkOffset / kScanChunkBytes;
        if (sink && chunkNumber % 100 == 0) sink->setPosition(std::int64_t(chunkNumber));
        // Only the volume's own bytes are examined.
        const std::uint64_t span = std::min(kScanChunkBytes, volumeSize - chunkOffset);
        if (!readAt(chunkOffset, chunk.data(), std::uint32_t(span))) continue;
        for (std::uint64_t step = 0; step + kStepBytes <= span; step += kStepBytes) {
            if (!nf::hasFileSignature(std::span(chunk.data() + step, 4))) continue;
            MftEntry e;
            std::copy_n(chunk.data() + step, 4, e.signature.begin());
            e.diskPosition = chunkOffset + step;
            e.ownIndex = entries.size();
            entries.push_back(std::move(e));
            decodeEntry(entries.size() - 1);
            const MftEntry& found = entries.back();
            if (found.hasName && startsWith(found.name, u"$MF")) {
                status(u"found mft entry.getting its run ...");
                mftRuns = runsOf(found.diskPosition, nf::attribute::kData);
                status(u"got run ...");
                if (!mftRuns.empty()) {
                    mftKnown = true;
                    runListPending = false;
                    entries.clear();
                    lastChild_.clear();
                    return true;
                }
            }
        }
    }
    return false;
}

void ntfs::readMftEntries() {
    if (!mftKnown || stopFlag.load() != 0) return;
    if (clusterSize == 0) clusterSize = 4096;
    if (runListPending && !entries.empty()) {
        status(u"getting run of mft...");
        mftRuns = runsOf(entries[0].diskPosition, nf::attribute::kData);
        status(u"got run...");
    }
    // The entry list is filled afresh so that an entry's index is its record number.
    entries.clear();
    lastChild_.clear();
    // The MFT cannot hold more records than the volume has room for.
    const std::uint64_t maxRecords = volumeSize ? volumeSize / nf::kRecordBytes + 16 : ~std::uint64_t(0);
    for (const Run& run : mftRuns) {
        status(format16("parsing %d cluster of MFT run.", run.start));
        if (stopRequested()) return;
        if (run.start < 0) continue;
        const std::uint64_t recordsPerStep = clusterSize >= nf::kRecordBytes ? clusterSize / nf::kRecordBytes : 1;
        const std::uint64_t clustersPerStep = clusterSize >= nf::kRecordBytes ? 1 : (nf::kRecordBytes + clusterSize - 1) / clusterSize;
        for (std::uint64_t c = 0; c < run.count; c += clustersPerStep) {
            const std::uint64_t cluster = std::uint64_t(run.start) + c;
            const std::uint64_t position = cluster * clusterSize;
            if (volumeSize && position >= volumeSize) break;
            if (reader && reader->seek(std::int64_t(position))) {
                for (std::uint64_t r = 0; r < recordsPerStep; ++r) {
                    if (entries.size() >= maxRecords) return;
                    nf::Record record{};
                    reader->read(record.data(), nf::kRecordBytes);
                    MftEntry e;
                    std::copy_n(record.begin(), 4, e.signature.begin());
                    e.diskPosition = position + nf::kRecordBytes * r;
                    e.ownIndex = entries.size();
                    entries.push_back(std::move(e));
                }
            }
            if (stopRequested()) return;
        }
    }
}

// ---------------------------------------------------------------- record decoding

bool ntfs::decodeEntry(std::uint64_t index) {
    if (index >= entries.size()) return false;
    const auto record = readRecord(entries[index].diskPosition);
    if (!record) return false;
    const auto attributes = nf::walkAttributes(*record);
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    const std::uint16_t headerFlags = le16(record->data(), nf::mft_record::kFlags);
    bool parentTaken = false;
    for (const auto& a : attributes) {
        if (a.type() != nf::attribute::kFileName || a.nonResident()) continue;
        const std::size_t contentOffset = a.offset + a.u16(nf::attribute::kContentOffset).value_or(0);
        if (contentOffset >= nf::kRecordBytes) continue;
        const std::span<const std::uint8_t> content(fixed.data() + contentOffset, nf::kRecordBytes - contentOffset);
        const FieldReader fields(content);
        MftEntry& e = entries[index];
        const auto flags = fields.le<std::uint32_t>(nf::file_name::kFlags);
        if (!flags) continue;
        if (*flags & nf::file_name::kDirectoryFlag) e.kind = 'D';
        if (content.size() <= nf::file_name::kNameLength) continue;
        const std::size_t length = content[nf::file_name::kNameLength];
        if (length == 255) continue;
        if (nf::file_name::kName + 2 * length > content.size()) continue;  // name runs past the record
        e.name = fromUtf16Le(content.data() + nf::file_name::kName, length);
        e.hasName = true;
        e.recordFlags = headerFlags;
        e.allocatedSize = fields.le<std::uint64_t>(nf::file_name::kAllocatedSize).value_or(0);
        if (!parentTaken) {
            e.parent = fields.le<std::uint64_t>(nf::file_name::kParent).value_or(0) & kRecordNumberMask;
            parentTaken = true;
        }
        placeEntry(index);
    }
    return true;
}

std::vector<ntfs::Run> ntfs::runsOf(std::uint64_t position, std::uint32_t type) {
    std::vector<Run> runs;
    const auto record = readRecord(position);
    if (!record) return runs;
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    nf::RunDecodeState state;
    for (const auto& a : nf::walkAttributes(fixed)) {
        if (a.type() != type || !a.nonResident()) continue;
        const std::size_t runOffset = a.u16(nf::attribute::kRunListOffset).value_or(0);
        const std::size_t length = a.length();
        if (runOffset >= length) continue;
        const std::size_t begin = a.offset + runOffset;
        if (begin >= nf::kRecordBytes) continue;
        const std::size_t end = std::min<std::size_t>(a.offset + length, nf::kRecordBytes);
        const std::uint32_t startVcn = std::uint32_t(a.u64(nf::attribute::kStartVcn).value_or(0));
        const std::uint32_t lastVcn = std::uint32_t(a.u64(nf::attribute::kLastVcn).value_or(0));
        streamClusterCount = std::uint32_t(lastVcn - startVcn + 1);
        nf::decodeRunList(std::span<const std::uint8_t>(fixed.data() + begin, end - begin), streamClusterCount, state,
                          [&](const Run& r) { runs.push_back(r); });
        // A header byte 0x00 ends the whole decoding, later attributes included.
        if (state.ended) break;
    }
    return runs;
}

DataStreamDescriptor ntfs::dataStream(std::uint64_t position) {
    DataStreamDescriptor d;
    const auto record = readRecord(position);
    if (!record) return d;
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    for (const auto& a : nf::walkAttributes(fixed)) {
        if (a.type() != nf::attribute::kData) continue;
        hasData = true;
        const std::uint16_t flags = a.flags();
        d.attributeOffset = a.offset;
        if (a.nonResident()) {
            const std::uint16_t runOffset = a.u16(nf::attribute::kRunListOffset).value_or(0);
            d.contentOffset = runOffset;
            d.contentLength = a.length() > runOffset ? a.length() - runOffset : 0;
            d.compressionUnit = a.u16(nf::attribute::kCompressionUnit).value_or(0);
            d.startVcn = a.u64(nf::attribute::kStartVcn).value_or(0);
            d.lastVcn = a.u64(nf::attribute::kLastVcn).value_or(0);
            d.allocatedSize = a.u64(nf::attribute::kAllocatedSize).value_or(0);
            d.dataSize = a.u64(nf::attribute::kDataSize).value_or(0);
            d.residency = 'N';
            if (flags == nf::attribute::kFlagCompressed) d.label = u"Compressed";
            else if (flags == nf::attribute::kFlagEncrypted) d.label = u"Encrypted";
            else if (flags == 0) d.label = u"Normal";
            break;  // the first non-resident $DATA wins
        }
        d.contentOffset = std::uint32_t(a.offset + a.u16(nf::attribute::kContentOffset).value_or(0));
        d.contentLength = a.u32(nf::attribute::kContentLength).value_or(0);
        d.residency = 'R';
        d.dataSize = d.contentLength;
        if (flags == nf::attribute::kFlagEncrypted) d.label = u"Encrypted";
        else if (flags == 0) d.label = u"Normal";
    }
    return d;
}

bool ntfs::keepsDataElsewhere(std::uint64_t position) {
    const auto record = readRecord(position);
    if (!record) return false;
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    bool lastIsList = false;
    for (const auto& a : nf::walkAttributes(fixed)) {
        if (a.type() == nf::attribute::kAttributeList) lastIsList = true;
        else if (a.type() == nf::attribute::kData) lastIsList = false;
    }
    return lastIsList;
}

std::vector<std::uint64_t> ntfs::extentRecords(std::uint64_t position) {
    std::vector<std::uint64_t> extents;
    const auto record = readRecord(position);
    if (!record) return extents;
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    std::vector<std::uint8_t> list;
    for (const auto& a : nf::walkAttributes(fixed)) {
        if (a.type() != nf::attribute::kAttributeList) continue;
        if (!a.nonResident()) {
            const std::size_t offset = a.offset + a.u16(nf::attribute::kContentOffset).value_or(0);
            if (offset >= nf::kRecordBytes) break;
            const std::size_t length = std::min<std::size_t>(a.u32(nf::attribute::kContentLength).value_or(0),
                                                             nf::kRecordBytes - offset);
            list.assign(fixed.begin() + std::ptrdiff_t(offset), fixed.begin() + std::ptrdiff_t(offset + length));
        } else {
            // Read along its own run list, up to its data size and never beyond the volume.
            const std::uint64_t dataSize = a.u64(nf::attribute::kDataSize).value_or(0);
            const std::uint64_t cs = clusterSize ? clusterSize : 4096;
            const std::uint64_t limit = std::min<std::uint64_t>(dataSize, volumeSize ? volumeSize : dataSize);
            if (limit > (16ULL << 20)) break;  // an attribute list is never this large
            const auto runs = runsOf(position, nf::attribute::kAttributeList);
            std::vector<std::uint8_t> cluster(cs);
            for (const Run& r : runs) {
                for (std::uint64_t c = 0; c < r.count && list.size() < limit; ++c) {
                    std::fill(cluster.begin(), cluster.end(), 0);
                    if (r.start > 0) readAt((std::uint64_t(std::uint32_t(r.start)) + c) * cs, cluster.data(), std::uint32_t(cs));
                    const std::size_t n = std::size_t(std::min<std::uint64_t>(cs, limit - list.size()));
                    list.insert(list.end(), cluster.begin(), cluster.begin() + std::ptrdiff_t(n));
                }
            }
        }
        break;
    }
    namespace le = nf::attribute_list_entry;
    std::size_t at = 0;
    while (at + le::kRecordHigh + 2 <= list.size()) {
        const std::uint32_t type = le32(list.data(), at + le::kType);
        const std::uint16_t length = le16(list.data(), at + le::kLength);
        if (type == 0 || type == nf::attribute::kEnd || length == 0) break;
        // Only the unnamed data stream: named streams are other files' worth of data.
        if (type == nf::attribute::kData && list[at + le::kNameLength] == 0) {
            const std::uint64_t number = std::uint64_t(le32(list.data(), at + le::kRecordLow)) |
                                         (std::uint64_t(le16(list.data(), at + le::kRecordHigh)) << 32);
            extents.push_back(number);
        }
        at += length;
    }
    return extents;
}

NtfsTimes ntfs::times(std::uint64_t position) {
    NtfsTimes t;
    const auto record = readRecord(position);
    if (!record) return t;
    nf::Record fixed = *record;
    nf::applyFixups(fixed);
    for (const auto& a : nf::walkAttributes(*record)) {
        if (a.nonResident()) continue;
        const std::size_t offset = a.offset + a.u16(nf::attribute::kContentOffset).value_or(0);
        if (offset >= nf::kRecordBytes) continue;
        const FieldReader content(std::span<const std::uint8_t>(fixed.data() + offset, nf::kRecordBytes - offset));
        if (a.type() == nf::attribute::kStandardInformation) {
            t.created = content.le<std::uint64_t>(nf::standard_information::kCreated).value_or(0);
            t.modified = content.le<std::uint64_t>(nf::standard_information::kModified).value_or(0);
            t.accessed = content.le<std::uint64_t>(nf::standard_information::kAccessed).value_or(0);
        } else if (a.type() == nf::attribute::kFileName) {
            if (auto flags = content.le<std::uint32_t>(nf::file_name::kFlags)) t.attributes = nf::attributeWord(*flags);
        }
    }
    return t;
}

// ---------------------------------------------------------------- tree

void ntfs::placeEntry(std::uint64_t e) {
    const std::uint64_t count = entries.size();
    if (lastChild_.size() < count) lastChild_.resize(count, 0);
    MftEntry& E = entries[e];
    const std::uint64_t p = E.parent;
    if (p == e) return;  // the root folder is its own parent
    if (p < e) {
        if (entries[p].kind != 'D') {
            E.orphan = 1;
            return;
        }
        if (entries[p].firstChild == 0) {
            entries[p].firstChild = e;
            lastChild_[p] = e;
        }
        appendToParentChain(e);
        return;
    }
    E.nextSibling = 0;
    if (p < count) {
        if (entries[p].firstChild == 0) {
            entries[p].firstChild = e;
            lastChild_[p] = e;
        }
        appendToParentChain(e);
    } else {
        E.orphan = 1;
    }
}

void ntfs::appendToParentChain(std::uint64_t e) {
    const std::uint64_t count = entries.size();
    if (e >= count || e == 0) return;
    MftEntry& E = entries[e];
    const std::uint64_t p = E.parent;
    if (p >= count) return;
    const std::uint64_t f = p == 0 ? 0 : entries[p].firstChild;
    if (f == 0) {
        entries[p].firstChild = e;
        lastChild_[p] = e;
        return;
    }
    if (f >= count || !entries[f].isFileRecord()) return;
    if (entries[f].ownIndex == e || p == e) return;
    // The chain's last entry is kept per folder, so appending does not walk the chain;
    // the order is the order of placing, as a walk from the first child would give.
    std::uint64_t last = lastChild_[p] ? lastChild_[p] : f;
    if (last == e) return;
    entries[last].nextSibling = e;
    lastChild_[p] = e;
}

void ntfs::buildEntryTree() {
    if (mftKnown && stopFlag.load() == 0) {
        if (sink) sink->setRange(0, std::int64_t(entries.size()));
        for (std::uint64_t i = 0; i < entries.size(); ++i) {
            status(format16("parsing MFT entry %llu...", static_cast<unsigned long long>(i)));
            if (sink) sink->setPosition(std::int64_t(i));
            decodeEntry(i);
            if (stopRequested()) break;
        }
    }
    MftEntry orphanFolder;
    orphanFolder.signature = {'F', 'I', 'L', 'E'};
    orphanFolder.name = u"ORPHAN_ENTRY";
    orphanFolder.hasName = true;
    orphanFolder.kind = 'D';
    orphanFolder.recordFlags = 1;
    orphanFolder.ownIndex = entries.size();
    orphanFolder.diskPosition = kNoEntry;
    orphanIndex = entries.size();
    entries.push_back(std::move(orphanFolder));

    rootIndex = entries.size();
    for (std::uint64_t i = 0; i < entries.size(); ++i) {
        if (entries[i].hasName && entries[i].name == u".") {
            rootIndex = i;
            break;
        }
    }
    if (rootIndex < entries.size()) {
        MftEntry& o = entries[orphanIndex];
        o.parent = rootIndex;
        o.nextSibling = 0;
        o.ownIndex = orphanIndex;
        o.recordFlags = 1;
        MftEntry& root = entries[rootIndex];
        if (root.firstChild == 0 || root.firstChild == rootIndex) {
            root.firstChild = orphanIndex;
        } else {
            std::uint64_t at = root.firstChild;
            for (std::uint64_t steps = 0; steps <= entries.size(); ++steps) {
                const std::uint64_t next = entries[at].nextSibling;
                if (chainEnds(next) || next >= entries.size() || next == at) break;
                at = next;
            }
            if (at != orphanIndex) entries[at].nextSibling = orphanIndex;
        }
    }
    if (recoveryMode == 3) gatherOrphansDeep();
    else gatherOrphans();
    fillTree();
}

void ntfs::gatherOrphans() {
    if (sink) sink->setRange(0, std::int64_t(entries.size()));
    MftEntry& folder = entries[orphanIndex];
    bool first = true;
    for (std::uint64_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].orphan || i == orphanIndex) continue;
        entries[i].parent = orphanIndex;
        if (first) {
            entries[i].nextSibling = kNoEntry;
            first = false;
        } else {
            entries[i].nextSibling = folder.firstChild;
        }
        folder.firstChild = i;
    }
}

void ntfs::gatherOrphansDeep() {
    if (sink) sink->setRange(0, std::int64_t(entries.size()));
    for (std::uint64_t i = 0; i < entries.size(); ++i) {
        if (i == orphanIndex || i == rootIndex) continue;
        entries[i].firstChild = 0;
        entries[i].parent = 0;
        entries[i].nextSibling = 0;
    }
    auto pushFront = [&](std::uint64_t folder, std::uint64_t i) {
        const std::uint64_t head = entries[folder].firstChild;
        entries[i].nextSibling = head == 0 ? kNoEntry : head;
        entries[folder].firstChild = i;
    };
    std::uint64_t current = orphanIndex;
    std::uint64_t foldersPlaced = 0;
    for (std::uint64_t i = 0; i < entries.size(); ++i) {
        if (i == orphanIndex || i == rootIndex) continue;
        if (entries[i].kind == 'D' && foldersPlaced < 100001) {
            pushFront(orphanIndex, i);
            entries[i].parent = orphanIndex;
            current = i;
            ++foldersPlaced;
        } else {
            pushFront(current, i);
        }
    }
}

void ntfs::fillTree() {
    if (!tree) return;
    bool orphanShown = false;
    const bool rootFound = rootIndex < entries.size();
    if (rootFound && recoveryMode != 3) {
        std::uint64_t h = entries[rootIndex].firstChild;
        for (std::uint64_t steps = 0; h != 0 && h < entries.size() && steps <= entries.size(); ++steps) {
            const MftEntry& child = entries[h];
            const TreeItem item = tree->insertItem(child.name, child.isFolder() ? ItemImage::Folder : ItemImage::File,
                                                   rootItem, h);
            if (child.isDeleted()) tree->setItemTextRed(item);
            if (h == orphanIndex) orphanShown = true;
            if (chainEnds(child.nextSibling) || child.nextSibling == h) break;
            h = child.nextSibling;
        }
    }
    // The orphan folder is shown even when no root folder was found: in deep mode it
    // holds everything the scan found.
    if (!orphanShown && (rootFound || entries[orphanIndex].firstChild != 0))
        tree->insertItem(u"ORPHAN_ENTRY", ItemImage::Folder, rootItem, orphanIndex);
    if (rootItem != kNoItem) {
        tree->setCheck(rootItem, true);
        tree->expand(rootItem, ExpandCode::Expand);
    }
}

// ---------------------------------------------------------------- deep scans

bool ntfs::scanForMftRecords() {
    clusterSize = clusterSizeFromBoot();
    mftKnown = false;
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(kScanChunkBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::int64_t range = std::int64_t(volumeSize / kScanChunkBytes);
    if (sink) sink->setRange(0, range);
    bool stopped = false;
    for (std::uint64_t chunkOffset = 0; chunkOffset < volumeSize && !stopped; chunkOffset += kScanChunkBytes) {
        if (stopRequested()) break;
        if (sink) sink->setPosition(std::int64_t(chunkOffset / kScanChunkBytes));
        const std::uint64_t span = std::min(kScanChunkBytes, volumeSize - chunkOffset);
        if (!readAt(chunkOffset, chunk.data(), std::uint32_t(span))) continue;
        for (std::uint64_t step = 0; step + kStepBytes <= span; step += kStepBytes) {
            if (stopFlag.load() != 0) {
                stopped = true;
                break;
            }
            const std::uint8_t* p = chunk.data() + step;
            if (!nf::hasFileSignature(std::span(p, 4)) || le16(p, nf::mft_record::kUsaOffset) >= 512 ||
                le16(p, nf::mft_record::kUsaCount) >= 512 || le16(p, nf::mft_record::kFirstAttribute) >= 512)
                continue;
            if (workerControl) workerControl->checkPoint();
            MftEntry e;
            std::copy_n(p, 4, e.signature.begin());
            e.diskPosition = chunkOffset + step;
            e.ownIndex = entries.size();
            entries.push_back(std::move(e));
            const std::u16string text =
                format16("MFT ENTRY %llu Found.Parsing it ..", static_cast<unsigned long long>(entries.size()));
            decodeEntry(entries.size() - 1);
            if (entries.back().hasName) {
                entries.back().orphan = 1;
                status(text);
            } else {
                entries.pop_back();
            }
        }
    }
    if (sink) sink->setPosition(range);
    return false;
}

std::int64_t ntfs::findMftCopies(std::int64_t maximum) {
    clusterSize = clusterSizeFromBoot();
    mftKnown = false;
    const std::uint64_t mb = std::uint64_t(sizeMbValue(volume.sizeMbText));
    volumeSize = mb > (~std::uint64_t(0) >> 20) ? 0 : mb << 20;
    if (volumeSize == 0) return std::int64_t(foundMfts.size());
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(kScanChunkBytes);
    } catch (const std::bad_alloc&) {
        return std::int64_t(foundMfts.size());
    }
    const std::int64_t range = std::int64_t(volumeSize / kScanChunkBytes);
    if (sink) sink->setRange(0, range);
    std::u16string statusText;
    const std::uint64_t end = volumeSize > nf::kRecordBytes ? volumeSize - nf::kRecordBytes : 0;
    for (std::uint64_t chunkOffset = 0; chunkOffset < end; chunkOffset += kScanChunkBytes) {
        if (!foundMfts.empty() && (maximum < 0 || std::int64_t(foundMfts.size()) >= maximum)) break;
        if (workerControl) workerControl->checkPoint();
        if (stopFlag.load() != 0) {
            stopFlag.store(0);
            break;
        }
        if (sink) sink->setPosition(std::int64_t(chunkOffset / kScanChunkBytes));
        const std::uint64_t span = std::min(kScanChunkBytes, volumeSize - chunkOffset);
        if (!readAt(chunkOffset, chunk.data(), std::uint32_t(span))) continue;
        for (std::uint64_t step = 0; step + kStepBytes <= span; step += kStepBytes) {
            if (stopFlag.load() != 0) break;
            const std::uint8_t* p = chunk.data() + step;
            if (!nf::hasFileSignature(std::span(p, 4)) || le16(p, nf::mft_record::kUsaOffset) >= 512 ||
                le16(p, nf::mft_record::kUsaCount) >= 512 || le16(p, nf::mft_record::kFirstAttribute) >= 512)
                continue;
            MftEntry e;
            std::copy_n(p, 4, e.signature.begin());
            e.diskPosition = chunkOffset + step;
            e.ownIndex = entries.size();
            entries.push_back(std::move(e));
            decodeEntry(entries.size() - 1);
            const std::size_t count = entries.size();
            const MftEntry& last = entries.back();
            if (last.hasName && startsWith(last.name, u"$Boot") && count >= 8) {
                const MftEntry& candidate = entries[count - 8];
                if (candidate.hasName && startsWith(candidate.name, u"$MFT") &&
                    (candidate.name.size() < 5 || candidate.name[4] != u'M')) {
                    foundMfts.push_back(candidate);
                    statusText = format16("MFT ENTRY %llu Found.Parsing it ...", static_cast<unsigned long long>(count));
                    status(statusText);
                }
            }
        }
    }
    if (sink) sink->setPosition(range);
    return std::int64_t(foundMfts.size());
}

bool ntfs::useFoundMft(std::uint64_t index) {
    mftKnown = false;
    if (index < foundMfts.size()) {
        mftRuns = runsOf(foundMfts[index].diskPosition, nf::attribute::kData);
        if (!mftRuns.empty()) {
            mftKnown = true;
            runListPending = false;
        }
    }
    return mftKnown;
}

int ntfs::freeNames() {
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        it->name.clear();
        it->name.shrink_to_fit();
        it->hasName = false;
    }
    return 1;
}

// ---------------------------------------------------------------- texts

std::uint64_t ntfs::dataPosition(std::uint64_t index) {
    const std::uint64_t position = entries[index].diskPosition;
    if (recoveryMode == 3) return position;
    // An extension record (one that holds attributes of another file, found by its base
    // reference at 0x20) stands for its base record's data and times.
    const auto record = readRecord(position);
    if (!record || !nf::hasFileSignature(*record)) return position;
    const std::uint64_t base = le64(record->data(), kBaseRecordReference) & kRecordNumberMask;
    if (base == 0 || base >= entries.size() || base == index || !entries[base].isFileRecord()) return position;
    return entries[base].diskPosition;
}

std::vector<std::uint64_t> ntfs::dataExtentPositions(std::uint64_t position) {
    std::vector<std::uint64_t> positions;
    if (recoveryMode == 3) return positions;  // record numbers do not name entries in deep mode
    const bool elsewhere = keepsDataElsewhere(position);
    const auto numbers = extentRecords(position);
    bool other = false;
    for (std::uint64_t n : numbers) {
        if (n >= entries.size()) return {};
        positions.push_back(entries[n].diskPosition);
        if (entries[n].diskPosition != position) other = true;
    }
    // Also when the base record holds the first extent itself and the list names more.
    if (!elsewhere && !other) return {};
    return positions;
}

std::uint64_t ntfs::dataSize(std::uint64_t index) {
    if (index >= entries.size() || index == orphanIndex) return 0;
    const std::uint64_t position = dataPosition(index);
    const auto extents = dataExtentPositions(position);
    if (!extents.empty()) {
        const DataStreamDescriptor first = dataStream(extents.front());
        if (first.dataSize) return first.dataSize;
        std::uint64_t clusters = 0;
        for (std::uint64_t p : extents)
            for (const Run& r : runsOf(p, nf::attribute::kData)) clusters += r.count;
        return clusters * (clusterSize ? clusterSize : 4096);
    }
    return dataStream(position).dataSize;
}

std::u16string ntfs::sizeText(std::uint64_t index) {
    const std::uint64_t size = dataSize(index);
    return formatSize(size > std::uint64_t(INT64_MAX) ? INT64_MAX : std::int64_t(size));
}

NtfsTimesText ntfs::timesText(std::uint64_t index) {
    NtfsTimesText out;
    if (index >= entries.size() || index == orphanIndex) return out;
    const NtfsTimes t = times(dataPosition(index));
    auto text = [](std::uint64_t fileTime) -> std::u16string {
        const auto local = fileTimeToLocal(fileTime);
        return local ? formatDateTime(*local) : std::u16string();
    };
    out.created = text(t.created);
    out.accessed = text(t.accessed);
    out.modified = text(t.modified);
    out.attributes = t.attributes;
    return out;
}

// ---------------------------------------------------------------- saving

SaveStatus ntfs::writeStream(EntryWriter& out, const std::vector<Run>& runs, std::uint64_t streamClusters,
                             const DataStreamDescriptor& d) {
    const std::uint64_t cs = clusterSize ? clusterSize : 4096;
    const bool compressed = d.label == u"Compressed";
    const std::uint64_t unitClusters = compressed ? std::uint16_t(1u << (d.compressionUnit & 31)) : 0;
    std::uint64_t written = 0;
    const std::uint64_t size = d.dataSize;
    bool damaged = false;
    if (size == 0) return SaveStatus::Saved;
    std::vector<std::uint8_t> cluster(cs);
    // Fills dest with one cluster; false when it could not be had (then dest is zeros).
    auto readCluster = [&](std::uint64_t number, std::uint8_t* dest) -> bool {
        std::memset(dest, 0, cs);
        if (number == 0) return true;  // sparse
        if (number > std::uint64_t(INT64_MAX) / cs) return false;
        const std::uint64_t position = number * cs;
        // A cluster outside the volume cannot be read; it stays zero.
        if (volumeSize && position + cs > volumeSize) return false;
        return readAt(position, dest, std::uint32_t(cs));
    };
    // The stream as a sequence of cluster numbers (0 = sparse), padded to streamClusters.
    std::uint64_t runIndex = 0, inRun = 0, produced = 0;
    auto nextCluster = [&](std::uint64_t& number) -> bool {
        while (runIndex < runs.size() && inRun >= runs[runIndex].count) {
            ++runIndex;
            inRun = 0;
        }
        if (runIndex < runs.size()) {
            const Run& r = runs[runIndex];
            number = r.start == 0 ? 0 : std::uint64_t(std::uint32_t(r.start)) + inRun;
            ++inRun;
        } else if (produced < streamClusters) {
            number = 0;
        } else {
            return false;
        }
        ++produced;
        return true;
    };
    // kind: 0 data, 1 hole, 2 unreadable.
    auto put = [&](const std::uint8_t* data, std::uint64_t n, int kind = 0) -> bool {
        const std::uint64_t take = std::min(n, size - written);
        bool ok = kind == 1 ? out.writeHole(take) : kind == 2 ? out.writeUnreadable(take) : out.write(data, std::size_t(take));
        if (kind == 2) damaged = true;
        if (!ok) return false;
        written += take;
        return true;
    };
    const auto ended = [&] { return damaged ? SaveStatus::Damaged : SaveStatus::Saved; };
    if (!compressed || unitClusters == 0 || unitClusters * cs > kMaxUnitBytes) {
        if (compressed && unitClusters != 0) return SaveStatus::Damaged;  // a unit too large to hold
        std::uint64_t number = 0;
        while (written < size && nextCluster(number)) {
            if (stopRequested()) return SaveStatus::Stopped;
            bool ok;
            if (number == 0) ok = put(nullptr, cs, 1);
            else if (readCluster(number, cluster.data())) ok = put(cluster.data(), cs);
            else ok = put(nullptr, cs, 2);
            if (!ok) return SaveStatus::Failed;
        }
        return ended();
    }
    const std::uint64_t unitBytes = unitClusters * cs;
    std::vector<std::uint8_t> unit(unitBytes), output(unitBytes);
    std::vector<std::uint64_t> numbers(unitClusters);
    while (written < size) {
        std::uint64_t gathered = 0;
        std::uint64_t number = 0;
        while (gathered < unitClusters && nextCluster(number)) numbers[gathered++] = number;
        if (gathered < unitClusters) break;  // a trailing partial unit is not written
        if (stopRequested()) return SaveStatus::Stopped;
        std::uint64_t lastNonZero = 0;
        for (std::uint64_t k = 0; k < unitClusters; ++k)
            if (numbers[k] != 0) lastNonZero = k + 1;
        if (lastNonZero == 0) {
            if (!put(nullptr, unitBytes, 1)) return SaveStatus::Failed;
            continue;
        }
        bool unreadable = false;
        for (std::uint64_t k = 0; k < lastNonZero; ++k)
            if (!readCluster(numbers[k], unit.data() + k * cs)) unreadable = true;
        if (unreadable) damaged = true;
        if (numbers[unitClusters - 1] != 0) {
            if (!put(unit.data(), lastNonZero * cs)) return SaveStatus::Failed;  // stored uncompressed
            continue;
        }
        const auto result = nf::lznt1Decompress(std::span(unit.data(), lastNonZero * cs), output);
        if (!put(output.data(), result.produced)) return SaveStatus::Failed;
    }
    return ended();
}

SaveStatus ntfs::saveEntry(std::uint64_t index, EntryWriter& out) {
    if (index >= entries.size() || index == orphanIndex) return SaveStatus::Failed;
    const MftEntry& entry = entries[index];
    if (!entry.hasName) return SaveStatus::Failed;
    auto message = [&](const std::u16string& text) {
        if (prompt) prompt->message(text);
    };
    try {
        const std::uint64_t position = dataPosition(index);
        const auto record = readRecord(position);
        if (!record || !nf::hasFileSignature(*record)) {
            message(u"not a valid entry...");
            return SaveStatus::Failed;
        }
        nf::Record fixed = *record;
        nf::applyFixups(fixed);
        hasData = false;
        DataStreamDescriptor d = dataStream(position);
        SaveStatus status = SaveStatus::Saved;
        const auto extents = dataExtentPositions(position);
        if (!extents.empty()) {
            const DataStreamDescriptor first = dataStream(extents.front());
            std::vector<Run> runs;
            std::uint64_t clusters = 0;
            for (std::uint64_t p : extents) {
                for (const Run& r : runsOf(p, nf::attribute::kData)) {
                    runs.push_back(r);
                    clusters += r.count;
                }
            }
            status = writeStream(out, runs, clusters, first);
        } else if (hasData) {
            if (entry.isFolder()) {
                message(u"This is  " + trim(entry.name) + u" directory .Please specify file names ");
            } else if (d.residency == 'R') {
                if (d.contentOffset < nf::kRecordBytes) {
                    const std::size_t n = std::min<std::size_t>(d.contentLength, nf::kRecordBytes - d.contentOffset);
                    if (!out.write(fixed.data() + d.contentOffset, n)) status = SaveStatus::Failed;
                }
            } else if (d.residency == 'N') {
                const auto runs = runsOf(position, nf::attribute::kData);
                // The stream's own cluster count bounds a compressed stream (sparse tail units).
                const std::uint64_t n = d.label == u"Compressed" ? std::uint32_t(d.lastVcn - d.startVcn + 1) : 0;
                status = writeStream(out, runs, n, d);
            }
        }
        if (status == SaveStatus::Failed && out.errorNumber() != 0)
            message(u"Exception :  " + fromUtf8(std::strerror(out.errorNumber())) + u"   ");
        return status;
    } catch (const std::exception& ex) {
        message(u"Exception :  " + fromUtf8(ex.what()) + u"   ");
        return SaveStatus::Failed;
    }
}

EntryTimes ntfs::entryTimes(std::uint64_t index) {
    EntryTimes out;
    if (index >= entries.size() || index == orphanIndex) return out;
    const NtfsTimes t = times(dataPosition(index));
    out.accessed = fileTimeToTimespec(t.accessed);
    out.modified = fileTimeToTimespec(t.modified);
    return out;
}

}  // namespace dravonel
