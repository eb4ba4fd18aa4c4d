#include "core/fs/ntfs/ntfs.h"

#include <algorithm>
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
constexpr std::uint64_t kMaxClusterBytes = 2ULL << 20;
// The MFT is read in pieces of this many bytes; saving reads plain runs in pieces of this size.
constexpr std::uint64_t kMftReadBytes = 1ULL << 20;
constexpr std::uint64_t kSaveReadBytes = 1ULL << 20;
// An attribute list is never this large.
constexpr std::uint64_t kMaxAttributeListBytes = 16ULL << 20;

bool chainEnds(std::uint64_t next) { return next == 0 || std::int64_t(next) < 0; }

bool startsWith(const std::u16string& name, std::u16string_view prefix) {
    return name.size() >= prefix.size() && std::u16string_view(name).substr(0, prefix.size()) == prefix;
}

std::uint64_t clusterOf(const nf::Run& r) { return std::uint64_t(std::uint32_t(r.start)); }

std::u16string labelOf(std::uint8_t residency, std::uint16_t flags) {
    // The flags are compared as whole words: compressed and sparse together is plain data.
    if (residency == 'N' && flags == nf::attribute::kFlagCompressed) return u"Compressed";
    if (flags == nf::attribute::kFlagEncrypted) return u"Encrypted";
    if (flags == 0) return u"Normal";
    return {};
}

// The unnamed attribute test: attribute names (byte 0x09 = name length) mark named
// streams, which are never the file's data.
bool unnamed(const nf::AttributeHeader& a) {
    return a.header.size() > nf::attribute::kNameLength && a.header[nf::attribute::kNameLength] == 0;
}

// One attribute of a fixed-up record, read in place (the decoding walk runs once per
// record, so it copies nothing). Fields past the record's end read as 0.
struct AttributeView {
    const std::uint8_t* record;
    std::size_t offset;
    std::size_t size;  // the record's
    std::uint64_t u(std::size_t at, unsigned width) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width && offset + at + i < size; ++i)
            v |= std::uint64_t(record[offset + at + i]) << (8 * i);
        return v;
    }
    std::uint32_t type() const { return std::uint32_t(u(nf::attribute::kType, 4)); }
    std::uint16_t length() const { return std::uint16_t(u(nf::attribute::kLength, 2)); }
    bool nonResident() const { return u(nf::attribute::kNonResident, 1) != 0; }
    bool named() const { return u(nf::attribute::kNameLength, 1) != 0; }
    std::uint16_t flags() const { return std::uint16_t(u(nf::attribute::kFlags, 2)); }
};

// Calls visit for each attribute the same walk as walkAttributes meets: from the
// first-attribute offset, by the low 16 bits of each length, ending after a length of 0
// or the end type, and at the record's end.
template <class Visit>
void eachAttribute(const nf::RecordBuffer& record, std::size_t size, Visit&& visit) {
    std::size_t offset = le16(record.data(), nf::mft_record::kFirstAttribute);
    while (offset < size) {
        const AttributeView a{record.data(), offset, size};
        const std::uint32_t type = a.type();
        const std::uint16_t length = a.length();
        visit(a);
        if (length == 0 || type == nf::attribute::kEnd) break;
        offset += length;
    }
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

bool ntfs::readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count) const {
    // A short read delivers what arrived followed by zeros; nothing arrived leaves the
    // buffer as it was, so it is cleared first.
    std::memset(dest, 0, count);
    return reader && reader->readAtUnsigned(position, dest, count);
}

bool ntfs::readAt(std::uint64_t position, std::uint8_t* dest, std::uint32_t count,
                  std::vector<SectorRange>* unreadable) const {
    std::memset(dest, 0, count);
    return reader && reader->readAtUnsigned(position, dest, count, unreadable);
}

std::optional<std::uint64_t> ntfs::deviceBytes() const {
    // What the source holds from the volume start on; nothing when its length is unknown.
    if (!reader || reader->deviceSectorCount <= 0) return std::nullopt;
    const std::uint64_t total = std::uint64_t(reader->deviceSectorCount) * 512;
    const std::uint64_t base = reader->baseOffset > 0 ? std::uint64_t(reader->baseOffset) : 0;
    return total > base ? total - base : 0;
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

std::optional<nf::RecordBuffer> ntfs::readRecord(std::uint64_t position) const {
    nf::RecordBuffer record{};
    if (!readAt(position, record.data(), std::uint32_t(recordBytes))) return std::nullopt;
    return record;
}

std::optional<std::uint64_t> ntfs::recordIndex(std::uint64_t number) const {
    if (numbersAreIndexes_) {
        if (number < entries.size()) return number;
        return std::nullopt;
    }
    const auto it = byNumber_.find(number);
    if (it == byNumber_.end()) return std::nullopt;
    return it->second;
}

// Reads entry index's record as it is on disk now. A record split over two MFT runs
// (clusters smaller than a record) is put together along the MFT run list.
bool ntfs::readRecordOf(std::uint64_t index, nf::RecordBuffer& record) const {
    const MftEntry& e = entries[index];
    if (!e.splitRecord) return readAt(e.diskPosition, record.data(), std::uint32_t(recordBytes));
    const std::uint64_t cs = clusterSize ? clusterSize : 4096;
    std::uint64_t want = e.recordNumber * recordBytes;  // byte offset in the MFT
    std::size_t got = 0;
    std::memset(record.data(), 0, record.size());
    for (const Run& r : mftRuns) {
        const std::uint64_t bytes = std::uint64_t(r.count) * cs;
        if (want >= bytes) {
            want -= bytes;
            continue;
        }
        const std::uint64_t take = std::min<std::uint64_t>(bytes - want, recordBytes - got);
        if (r.start <= 0 || !readAt(clusterOf(r) * cs + want, record.data() + got, std::uint32_t(take))) return false;
        got += std::size_t(take);
        want = 0;
        if (got == recordBytes) return true;
    }
    return false;
}

// ---------------------------------------------------------------- boot sector, MFT

bool ntfs::addTreeRoot() {
    if (!tree) return true;
    rootItem = tree->insertItem(u"ROOT", ItemImage::Folder, kNoItem, 0);  // names no entry
    tree->setCheck(rootItem, true);
    tree->expand(rootItem, ExpandCode::Expand);
    return true;
}

// The copy of the boot sector in the volume's last sector: the sector after the ones its
// total-sectors field counts (in the volume's own sector size, a whole number of the
// 512-byte steps searched), so a copy is only taken where that field names its own
// place. Searched backwards from the end of the volume's extent in whole MiB (a
// partition's size, rounded down, so the MiB after it is searched too) and from the
// source's end, each over the 8 MiB before it (an extent given as "to the source's end"
// may reach past the volume).
constexpr std::uint64_t kBackupSearchSectors = 8 * 2048;

std::optional<std::array<std::uint8_t, 512>> ntfs::readBackupBootSector() const {
    std::vector<std::uint64_t> ends;  // one past the volume's last sector, in sectors
    const std::uint64_t mb = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume.sizeMbText)));
    const auto device = deviceBytes();
    if (mb > 0 && mb < (std::uint64_t(1) << 40)) ends.push_back(mb * 2048);
    if (device && *device >= 1024) ends.push_back(*device / 512);
    for (const std::uint64_t end : ends) {
        const std::uint64_t first = end > kBackupSearchSectors ? end - kBackupSearchSectors : 1;
        std::uint64_t count = end + 2048 - first;
        if (device && first * 512 >= *device) continue;
        if (device) count = std::min(count, *device / 512 - first);
        std::vector<std::uint8_t> area(count * 512, 0);
        readAt(first * 512, area.data(), std::uint32_t(area.size()));
        for (std::uint64_t k = count; k-- > 0;) {
            const std::uint8_t* b = area.data() + k * 512;
            if (std::memcmp(b + nf::boot_sector::kOemId, "NTFS", 4) != 0) continue;
            const std::uint64_t bps = nf::boot_sector::sectorBytesOf(b);
            const std::uint64_t total = le64(b, nf::boot_sector::kTotalSectors);
            if (bps == 0 || total > (~std::uint64_t(0)) / bps || total * (bps / 512) != first + k) continue;
            std::array<std::uint8_t, 512> copy{};
            std::memcpy(copy.data(), b, 512);
            return copy;
        }
    }
    return std::nullopt;
}

bool ntfs::readBootSector() {
    std::array<std::uint8_t, 512> sector{};
    readAt(0, sector.data(), 512);  // an unreadable sector reads as zeros
    if (std::memcmp(sector.data() + nf::boot_sector::kOemId, "NTFS", 4) != 0 ||
        nf::boot_sector::sectorBytesOf(sector.data()) == 0) {
        if (const auto copy = readBackupBootSector()) {
            sector = *copy;
            status(u"boot sector damaged; using its backup copy");
        }
    }
    bootSector = sector;
    const std::uint8_t* b = bootSector->data();
    if (std::memcmp(b + nf::boot_sector::kOemId, "NTFS", 4) == 0) {
        // Counted in the volume's own sector size, which may be larger than the device's.
        const std::uint64_t bps = nf::boot_sector::sectorBytesOf(b) ? nf::boot_sector::sectorBytesOf(b) : 512;
        const std::uint64_t sectors = le64(b, nf::boot_sector::kTotalSectors);
        volumeSize = sectors > (~std::uint64_t(0) / bps) ? 0 : sectors * bps;
        if (const std::size_t rb = nf::recordBytesFromBoot(std::span(*bootSector), clusterSizeFromBoot())) {
            recordBytes = rb;
            recordBytesKnown_ = true;
        }
    } else {
        const std::uint64_t mb = std::uint64_t(sizeMbValue(volume.sizeMbText));
        volumeSize = mb > (~std::uint64_t(0) >> 20) ? 0 : mb << 20;
    }
    // The boot sector may claim more than the source holds; nothing past the source's end
    // is ever read or allocated for.
    if (const auto device = deviceBytes(); device && volumeSize > *device) volumeSize = *device;
    return volumeSize != 0;
}

void ntfs::adoptRecordSize(const std::uint8_t* raw) {
    if (recordBytesKnown_) return;
    if (const std::size_t rb = nf::usableRecordBytes(le32(raw, nf::mft_record::kAllocatedBytes))) {
        recordBytes = rb;
        recordBytesKnown_ = true;
    }
}

bool ntfs::locateMft() {
    clusterSize = clusterSizeFromBoot();
    const bool bootIsNtfs = bootSector && std::memcmp(bootSector->data() + nf::boot_sector::kOemId, "NTFS", 4) == 0;
    if (bootIsNtfs) {
        mftKnown = true;
        const std::uint64_t mftCluster = le64(bootSector->data(), nf::boot_sector::kMftCluster);
        if (clusterSize == 0 || mftCluster > std::uint64_t(INT64_MAX) / clusterSize) return true;
        const std::uint64_t position = mftCluster * clusterSize;
        if (!reader || (volumeSize && position >= volumeSize)) return true;
        status(u"boot sector is fine.Getting run of mft entry...");
        mftRuns = runsOf(position, nf::attribute::kData);
        mftDataSize = dataStream(position).dataSize;
        // The $MFT's own record cannot be read: its copy in $MFTMirr tells where the MFT lies.
        std::vector<SectorRange> unreadable;
        if (nf::RecordBuffer probe{}; mftRuns.empty() && !readAt(position, probe.data(), std::uint32_t(recordBytes), &unreadable) &&
                                !unreadable.empty()) {
            const std::uint64_t mirror = le64(bootSector->data(), nf::boot_sector::kMftMirrorCluster);
            if (mirror <= std::uint64_t(INT64_MAX) / clusterSize && (!volumeSize || mirror * clusterSize < volumeSize)) {
                mftRuns = runsOf(mirror * clusterSize, nf::attribute::kData);
                mftDataSize = dataStream(mirror * clusterSize).dataSize;
            }
        }
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
        if (stopRequested()) break;
        const std::uint64_t chunkNumber = chunkOffset / kScanChunkBytes;
        if (sink && chunkNumber % 100 == 0) sink->setPosition(std::int64_t(chunkNumber));
        // Only the volume's own bytes are examined.
        const std::uint64_t span = std::min(kScanChunkBytes, volumeSize - chunkOffset);
        readAt(chunkOffset, chunk.data(), std::uint32_t(span));
        for (std::uint64_t step = 0; step + kStepBytes <= span; step += kStepBytes) {
            if (!nf::hasFileSignature(std::span(chunk.data() + step, 4))) continue;
            MftEntry e;
            e.diskPosition = chunkOffset + step;
            e.ownIndex = entries.size();
            adoptRecordSize(chunk.data() + step);
            if (step + recordBytes <= span) decodeRecord(chunk.data() + step, e);
            else if (const auto r = readRecord(e.diskPosition)) decodeRecord(r->data(), e);
            const bool isMft = e.hasName && startsWith(e.name, u"$MF");
            const std::uint64_t position = e.diskPosition;
            entries.push_back(std::move(e));
            if (isMft) {
                status(u"found mft entry.getting its run ...");
                mftRuns = runsOf(position, nf::attribute::kData);
                mftDataSize = dataStream(position).dataSize;
                status(u"got run ...");
                if (!mftRuns.empty()) {
                    mftKnown = true;
                    runListPending = false;
                    entries.clear();
                    return true;
                }
            }
        }
    }
    // The records met on the way are the result; they are placed by their own numbers.
    foundByScan_ = true;
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
    byNumber_.clear();
    numbersAreIndexes_ = true;
    foundByScan_ = false;
    const std::uint64_t cs = clusterSize;
    // The MFT holds no more records than its run list covers, than its own data size
    // says, and than the volume (already cut to the source) has room for.
    std::uint64_t runBytes = 0;
    for (const Run& r : mftRuns) runBytes = std::min<std::uint64_t>(runBytes + std::uint64_t(r.count) * cs, std::uint64_t(1) << 62);
    const std::size_t rb = recordBytes;
    std::uint64_t records = runBytes / rb;
    if (mftDataSize) records = std::min(records, (mftDataSize + rb - 1) / rb);
    if (volumeSize) records = std::min(records, volumeSize / rb);
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(std::size_t(std::min(kMftReadBytes, std::max<std::uint64_t>(runBytes, rb))));
    } catch (const std::bad_alloc&) {
        return;
    }
    // Room for every record up front (the count is already bounded by the source), so
    // the list is not copied as it grows.
    entries.reserve(std::size_t(std::min<std::uint64_t>(records, 1ULL << 22)));
    nf::RecordBuffer partial{};
    std::size_t partialBytes = 0;
    std::uint64_t partialPosition = 0;
    bool partialLost = false;
    mftRecordsUnreadable = 0;
    // The unreadable spans of the piece in the buffer (offsets in it): a record that
    // touches one is lost whole, never decoded from what half of it held.
    std::vector<std::pair<std::int64_t, std::int64_t>> lostSpans;
    auto touchesLost = [&](std::uint64_t from, std::uint64_t to) {
        for (const auto& [b, e] : lostSpans)
            if (std::int64_t(from) < e && b < std::int64_t(to)) return true;
        return false;
    };
    auto emit = [&](std::uint8_t* raw, std::uint64_t position, bool split, bool lost) {
        if (lost) {
            std::fill_n(raw, recordBytes, 0);
            ++mftRecordsUnreadable;
        }
        MftEntry e;
        e.diskPosition = position;
        e.ownIndex = entries.size();
        decodeRecord(raw, e);
        e.recordNumber = e.ownIndex;  // the place in the MFT is the number
        e.splitRecord = split;
        entries.push_back(std::move(e));
    };
    for (const Run& run : mftRuns) {
        if (entries.size() >= records) break;
        status(format16("parsing %d cluster of MFT run.", run.start));
        if (stopRequested()) return;
        const std::uint64_t bytes = std::uint64_t(run.count) * cs;
        // A run without a place (sparse or negative) still stands for its records.
        const bool placed = run.start > 0;
        const std::uint64_t base = placed ? clusterOf(run) * cs : kNoEntry;
        for (std::uint64_t offset = 0; offset < bytes && entries.size() < records;) {
            const std::uint64_t piece = std::min<std::uint64_t>(buffer.size(), bytes - offset);
            std::fill(buffer.begin(), buffer.begin() + std::ptrdiff_t(piece), 0);
            const std::uint64_t at = placed ? base + offset : kNoEntry;
            lostSpans.clear();
            if (placed && at < volumeSize) {
                const std::uint32_t length = std::uint32_t(std::min(piece, volumeSize - at));
                std::vector<SectorRange> unreadable;
                if (!readAt(at, buffer.data(), length, &unreadable) && reader) {
                    const std::int64_t from = reader->baseOffset + std::int64_t(at);
                    lostSpans = unreadableSpans(unreadable, from, from + length);
                }
            }
            std::uint64_t p = 0;
            if (partialBytes) {
                const std::size_t take = std::size_t(std::min<std::uint64_t>(rb - partialBytes, piece));
                std::copy_n(buffer.data(), take, partial.data() + partialBytes);
                partialBytes += take;
                partialLost = partialLost || touchesLost(0, take);
                p = take;
                if (partialBytes == rb) {
                    emit(partial.data(), partialPosition, true, partialLost);
                    partialBytes = 0;
                    partialLost = false;
                }
            }
            for (; p + rb <= piece && entries.size() < records; p += rb)
                emit(buffer.data() + p, placed ? at + p : kNoEntry, false, touchesLost(p, p + rb));
            if (p < piece && entries.size() < records) {
                partialPosition = placed ? at + p : kNoEntry;
                partialLost = touchesLost(p, piece);
                partialBytes = std::size_t(piece - p);
                std::copy_n(buffer.data() + p, partialBytes, partial.data());
            }
            offset += piece;
            if (stopRequested()) return;
        }
    }
}

// ---------------------------------------------------------------- record decoding

std::vector<std::uint8_t> ntfs::attributeListBytes(const nf::RecordBuffer& fixed, std::size_t at) const {
    std::vector<std::uint8_t> list;
    const auto attributes = nf::walkAttributes(std::span(fixed.data(), recordBytes));
    const auto it = std::find_if(attributes.begin(), attributes.end(), [&](const auto& a) { return a.offset == at; });
    if (it == attributes.end()) return list;
    const nf::AttributeHeader& a = *it;
    if (!a.nonResident()) {
        const std::size_t offset = a.offset + a.u16(nf::attribute::kContentOffset).value_or(0);
        if (offset >= recordBytes) return list;
        const std::size_t length =
            std::min<std::size_t>(a.u32(nf::attribute::kContentLength).value_or(0), recordBytes - offset);
        list.assign(fixed.begin() + std::ptrdiff_t(offset), fixed.begin() + std::ptrdiff_t(offset + length));
        return list;
    }
    // Read along its own run list, up to its data size and never beyond the volume.
    const std::uint64_t cs = clusterSize ? clusterSize : 4096;
    const std::uint64_t limit = std::min<std::uint64_t>(a.u64(nf::attribute::kDataSize).value_or(0), kMaxAttributeListBytes);
    const std::size_t runOffset = a.u16(nf::attribute::kRunListOffset).value_or(0);
    const std::size_t end = std::min<std::size_t>(a.offset + a.length(), recordBytes);
    if (a.offset + runOffset >= end) return list;
    const std::uint64_t lastVcn = a.u64(nf::attribute::kLastVcn).value_or(0);
    const std::uint64_t startVcn = a.u64(nf::attribute::kStartVcn).value_or(0);
    const auto runs = nf::decodeRuns(std::span(fixed.data() + a.offset + runOffset, end - a.offset - runOffset),
                                     lastVcn >= startVcn ? lastVcn - startVcn + 1 : 0);
    std::vector<std::uint8_t> cluster(cs);
    for (const Run& r : runs) {
        for (std::uint64_t c = 0; c < r.count && list.size() < limit; ++c) {
            std::fill(cluster.begin(), cluster.end(), 0);
            const std::uint64_t position = (clusterOf(r) + c) * cs;
            if (r.start > 0 && (!volumeSize || position + cs <= volumeSize)) readAt(position, cluster.data(), std::uint32_t(cs));
            const std::size_t n = std::size_t(std::min<std::uint64_t>(cs, limit - list.size()));
            list.insert(list.end(), cluster.begin(), cluster.begin() + std::ptrdiff_t(n));
        }
    }
    return list;
}

void ntfs::decodeRecord(const std::uint8_t* raw, MftEntry& e) const {
    std::copy_n(raw, 4, e.signature.begin());
    e.decoded = true;
    if (!e.isFileRecord()) return;
    nf::RecordBuffer fixed{};
    std::copy_n(raw, recordBytes, fixed.begin());
    nf::applyFixups(std::span(fixed.data(), recordBytes));
    e.recordFlags = le16(raw, nf::mft_record::kFlags);
    e.sequence = le16(raw, nf::mft_record::kSequence);
    e.baseRecord = le64(raw, nf::mft_record::kBaseRecord) & kRecordNumberMask;
    if (le16(raw, nf::mft_record::kUsaOffset) >= nf::mft_record::kRecordNumberLayoutUsa) {
        e.hasRecordNumber = true;
        e.recordNumber = le32(raw, nf::mft_record::kRecordNumber);
    }
    // Every named file name of the record: the first that is not an 8.3 twin gives the
    // entry its name and folder, the others of its kind are the file's further names.
    struct Named {
        std::uint64_t reference;
        std::u16string name;
        std::uint8_t nameSpace;
        std::uint64_t allocated;
    };
    std::vector<Named> names;
    e.otherNames.clear();
    bool lastIsList = false;
    std::size_t listAt = 0;
    bool hasList = false;
    eachAttribute(fixed, recordBytes, [&](const AttributeView& a) {
        const std::uint32_t type = a.type();
        if (type == nf::attribute::kEnd || a.length() == 0) return;
        const std::size_t contentOffset = a.offset + a.u(nf::attribute::kContentOffset, 2);
        const bool resident = !a.nonResident() && contentOffset < recordBytes;
        const std::span<const std::uint8_t> content =
            resident ? std::span<const std::uint8_t>(fixed.data() + contentOffset, recordBytes - contentOffset)
                     : std::span<const std::uint8_t>();
        if (type == nf::attribute::kStandardInformation && resident) {
            const FieldReader fields(content);
            e.created = fields.le<std::uint64_t>(nf::standard_information::kCreated).value_or(0);
            e.modified = fields.le<std::uint64_t>(nf::standard_information::kModified).value_or(0);
            e.accessed = fields.le<std::uint64_t>(nf::standard_information::kAccessed).value_or(0);
        } else if (type == nf::attribute::kFileName && resident) {
            const FieldReader fields(content);
            const auto flags = fields.le<std::uint32_t>(nf::file_name::kFlags);
            if (!flags) return;
            if (*flags & nf::file_name::kDirectoryFlag) e.kind = 'D';
            e.fileNameFlags = *flags;
            if (content.size() <= nf::file_name::kNameLength) return;
            const std::size_t length = content[nf::file_name::kNameLength];
            if (length == 255) return;
            if (nf::file_name::kName + 2 * length > content.size()) return;  // name runs past the record
            names.push_back({fields.le<std::uint64_t>(nf::file_name::kParent).value_or(0),
                             fromUtf16Le(content.data() + nf::file_name::kName, length),
                             content.size() > nf::file_name::kNamespace ? content[nf::file_name::kNamespace]
                                                                        : std::uint8_t(0),
                             fields.le<std::uint64_t>(nf::file_name::kAllocatedSize).value_or(0)});
        } else if (type == nf::attribute::kAttributeList) {
            hasList = true;
            lastIsList = true;
            listAt = a.offset;
        } else if (type == nf::attribute::kData) {
            if (a.named()) {
                if (e.namedStreams < 255) ++e.namedStreams;
                return;
            }
            lastIsList = false;
            StreamFacts& d = e.data;
            if (a.nonResident()) {
                StreamPiece piece;
                piece.startVcn = a.u(nf::attribute::kStartVcn, 8);
                piece.lastVcn = a.u(nf::attribute::kLastVcn, 8);
                const std::size_t runOffset = a.u(nf::attribute::kRunListOffset, 2);
                const std::size_t end = std::min<std::size_t>(a.offset + a.length(), recordBytes);
                if (a.offset + runOffset < end) {
                    const std::uint64_t clusters = piece.lastVcn >= piece.startVcn ? piece.lastVcn - piece.startVcn + 1 : 0;
                    piece.runs = nf::decodeRuns(std::span(fixed.data() + a.offset + runOffset, end - a.offset - runOffset), clusters);
                }
                if (d.residency != 'N') {
                    d = StreamFacts{};
                    d.residency = 'N';
                    d.flags = a.flags();
                    d.compressionUnit = std::uint16_t(a.u(nf::attribute::kCompressionUnit, 2));
                }
                // Sizes are valid in the piece that starts the stream.
                if (piece.startVcn == 0) {
                    d.allocatedSize = a.u(nf::attribute::kAllocatedSize, 8);
                    d.dataSize = a.u(nf::attribute::kDataSize, 8);
                    d.flags = a.flags();
                    d.compressionUnit = std::uint16_t(a.u(nf::attribute::kCompressionUnit, 2));
                }
                d.pieces.push_back(std::move(piece));
            } else if (d.residency != 'N' && contentOffset < recordBytes) {
                d.residency = 'R';
                d.flags = a.flags();
                d.residentOffset = std::uint32_t(contentOffset);
                d.dataSize = a.u(nf::attribute::kContentLength, 4);
            }
        }
    });
    if (!names.empty()) {
        // The name the file lists under: the first that is not an 8.3 twin (a record of
        // 8.3 names only takes its last).
        std::size_t primary = names.size() - 1;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (names[k].nameSpace != nf::file_name::kNamespaceDos) {
                primary = k;
                break;
            }
        const Named& p = names[primary];
        e.name = p.name;
        e.hasName = true;
        e.allocatedSize = p.allocated;
        e.parentRecord = p.reference & kRecordNumberMask;
        e.parentSequence = std::uint16_t(p.reference >> 48);
        for (std::size_t k = 0; k < names.size(); ++k) {
            const Named& n = names[k];
            if (k == primary || n.nameSpace == nf::file_name::kNamespaceDos) continue;
            if (((n.reference ^ p.reference) & kRecordNumberMask) == 0 && n.name == p.name) continue;
            bool seen = false;
            for (const auto& [ref, name] : e.otherNames) seen = seen || (ref == n.reference && name == n.name);
            if (!seen) e.otherNames.emplace_back(n.reference, n.name);
        }
    }
    e.dataElsewhere = hasList && lastIsList;
    if (!hasList) return;
    const std::vector<std::uint8_t> list = attributeListBytes(fixed, listAt);
    namespace le = nf::attribute_list_entry;
    for (std::size_t at = 0; at + le::kRecordHigh + 2 <= list.size();) {
        const std::uint32_t type = le32(list.data(), at + le::kType);
        const std::uint16_t length = le16(list.data(), at + le::kLength);
        if (type == 0 || type == nf::attribute::kEnd || length == 0) break;
        // Only the unnamed data stream: named streams are not the file's data.
        if (type == nf::attribute::kData && list[at + le::kNameLength] == 0) {
            const std::uint64_t number = std::uint64_t(le32(list.data(), at + le::kRecordLow)) |
                                         (std::uint64_t(le16(list.data(), at + le::kRecordHigh)) << 32);
            if (std::find(e.extents.begin(), e.extents.end(), number) == e.extents.end()) e.extents.push_back(number);
        }
        at += length;
    }
}

bool ntfs::decodeEntry(std::uint64_t index) {
    if (index >= entries.size()) return false;
    MftEntry& e = entries[index];
    nf::RecordBuffer record{};
    if (!readRecordOf(index, record)) return false;
    decodeRecord(record.data(), e);
    // Read along the MFT, an entry's place is its number, whatever its header says.
    if (numbersAreIndexes_ && !foundByScan_) e.recordNumber = index;
    return true;
}

std::vector<ntfs::Run> ntfs::runsOf(std::uint64_t position, std::uint32_t type) const {
    std::vector<Run> runs;
    const auto record = readRecord(position);
    if (!record) return runs;
    nf::RecordBuffer fixed = *record;
    nf::applyFixups(std::span(fixed.data(), recordBytes));
    for (const auto& a : nf::walkAttributes(std::span(fixed.data(), recordBytes))) {
        if (a.type() != type || !a.nonResident() || !unnamed(a)) continue;
        const std::size_t runOffset = a.u16(nf::attribute::kRunListOffset).value_or(0);
        const std::size_t length = a.length();
        if (runOffset >= length) continue;
        const std::size_t begin = a.offset + runOffset;
        if (begin >= recordBytes) continue;
        const std::size_t end = std::min<std::size_t>(a.offset + length, recordBytes);
        const std::uint64_t startVcn = a.u64(nf::attribute::kStartVcn).value_or(0);
        const std::uint64_t lastVcn = a.u64(nf::attribute::kLastVcn).value_or(0);
        for (const Run& r : nf::decodeRuns(std::span(fixed.data() + begin, end - begin),
                                           lastVcn >= startVcn ? lastVcn - startVcn + 1 : 0))
            runs.push_back(r);
    }
    return runs;
}

DataStreamDescriptor ntfs::dataStream(std::uint64_t position) const {
    DataStreamDescriptor d;
    const auto record = readRecord(position);
    if (!record) return d;
    MftEntry e;
    decodeRecord(record->data(), e);
    d.residency = e.data.residency;
    d.dataSize = e.data.dataSize;
    d.allocatedSize = e.data.allocatedSize;
    d.compressionUnit = e.data.compressionUnit;
    d.label = labelOf(d.residency, e.data.flags);
    if (d.residency == 'R') {
        d.contentOffset = e.data.residentOffset;
        d.contentLength = std::uint32_t(e.data.dataSize);
    } else if (!e.data.pieces.empty()) {
        d.startVcn = e.data.pieces.front().startVcn;
        d.lastVcn = e.data.pieces.front().lastVcn;
    }
    return d;
}

NtfsTimes ntfs::times(std::uint64_t position) const {
    NtfsTimes t;
    const auto record = readRecord(position);
    if (!record) return t;
    MftEntry e;
    decodeRecord(record->data(), e);
    t.created = e.created;
    t.modified = e.modified;
    t.accessed = e.accessed;
    if (e.fileNameFlags) t.attributes = nf::attributeWord(e.fileNameFlags);
    return t;
}

// ---------------------------------------------------------------- tree

namespace {

// The parent reference's sequence number names the folder as it was when the name was
// written. A record freed since has a sequence number one higher (freeing bumps it), so
// a deleted folder still owns the deleted names that point at its previous number; a
// record reused for anything else does not.
bool parentMatches(const MftEntry& child, const MftEntry& parent) {
    if (!parent.isFileRecord() || !parent.hasName || !parent.isFolder()) return false;
    if (child.parentSequence == 0 || parent.sequence == child.parentSequence) return true;
    return parent.isDeleted() && std::uint16_t(child.parentSequence + 1) == parent.sequence;
}

}  // namespace

void ntfs::indexFoundRecords() {
    // Found records come in disk order, with the MFT's copies mixed in. They are ordered
    // by their own record numbers, one kept per number (the one in use, else the one with
    // the higher sequence number, else the first found); records without a number field
    // follow in the order found.
    std::vector<MftEntry> found = std::move(entries);
    entries.clear();
    byNumber_.clear();
    std::stable_sort(found.begin(), found.end(), [](const MftEntry& a, const MftEntry& b) {
        if (a.hasRecordNumber != b.hasRecordNumber) return a.hasRecordNumber;
        return a.hasRecordNumber && a.recordNumber < b.recordNumber;
    });
    auto better = [](const MftEntry& candidate, const MftEntry& kept) {
        if (candidate.isDeleted() != kept.isDeleted()) return !candidate.isDeleted();
        return candidate.sequence > kept.sequence;
    };
    // Index 0 ends chains and is never a child: it is kept for record 0 or left empty.
    if (found.empty() || !found.front().hasRecordNumber || found.front().recordNumber != 0) entries.emplace_back();
    for (MftEntry& e : found) {
        if (e.hasRecordNumber) {
            const auto it = byNumber_.find(e.recordNumber);
            if (it != byNumber_.end()) {
                if (better(e, entries[it->second])) {
                    e.ownIndex = it->second;
                    entries[it->second] = std::move(e);
                }
                continue;
            }
            byNumber_[e.recordNumber] = entries.size();
        }
        e.ownIndex = entries.size();
        entries.push_back(std::move(e));
    }
    numbersAreIndexes_ = false;
    foundByScan_ = false;
}

void ntfs::linkEntries() {
    const std::uint64_t count = entries.size();
    // Candidate parent of every decoded, named entry; kNoEntry makes it an orphan.
    std::vector<std::uint64_t> up(count, kNoEntry);
    for (std::uint64_t e = 0; e < count; ++e) {
        MftEntry& E = entries[e];
        if (!E.decoded || !E.hasName || !E.isFileRecord()) continue;
        const auto p = recordIndex(E.parentRecord);
        if (p && *p == e) {
            up[e] = e;  // its own parent: the root folder, or an orphan
            if (e != rootIndex) E.orphan = 1;
        } else if (p && parentMatches(E, entries[*p])) {
            up[e] = *p;
        } else {
            E.orphan = 1;
        }
    }
    // A chain of parents that comes back on itself never reaches the root: it is cut
    // where it closes, and that entry becomes an orphan.
    std::vector<std::uint8_t> state(count, 0);  // 0 not seen, 1 on the current path, 2 done
    std::vector<std::uint64_t> path;
    for (std::uint64_t e = 0; e < count; ++e) {
        if (state[e] != 0 || up[e] == kNoEntry) continue;
        path.clear();
        std::uint64_t x = e;
        while (x != kNoEntry && state[x] == 0 && up[x] != x) {
            state[x] = 1;
            path.push_back(x);
            x = up[x];
        }
        if (x != kNoEntry && state[x] == 1) {
            up[path.back()] = kNoEntry;
            entries[path.back()].orphan = 1;
        }
        for (std::uint64_t y : path) state[y] = 2;
    }
    std::vector<std::uint64_t> lastChild(count, 0);
    for (std::uint64_t e = 1; e < count; ++e) {  // index 0 can never be a child
        const std::uint64_t p = up[e];
        if (p == kNoEntry || p == e) continue;
        entries[e].parent = p;
        if (entries[p].firstChild == 0) entries[p].firstChild = e;
        else entries[lastChild[p]].nextSibling = e;
        lastChild[p] = e;
    }
}

void ntfs::addLinkEntries() {
    const std::uint64_t count = entries.size();
    for (std::uint64_t i = 0; i < count; ++i) {
        // Folders have one name; a further one would make a loop.
        if (entries[i].otherNames.empty() || !entries[i].decoded || !entries[i].isFileRecord() ||
            entries[i].isFolder() || entries[i].linkOf != 0)
            continue;
        for (const auto& [reference, name] : std::vector(entries[i].otherNames)) {
            MftEntry link = entries[i];
            link.otherNames.clear();
            link.name = name;
            link.parentRecord = reference & kRecordNumberMask;
            link.parentSequence = std::uint16_t(reference >> 48);
            link.parent = link.firstChild = link.nextSibling = 0;
            link.orphan = 0;
            link.ownIndex = entries.size();
            link.linkOf = i;
            entries.push_back(std::move(link));
        }
    }
}

void ntfs::buildEntryTree() {
    if (mftKnown && stopFlag.load() == 0) {
        // Records read along the MFT were decoded as they were read; only entries put in
        // the list some other way are decoded here.
        if (sink) sink->setRange(0, std::int64_t(entries.size()));
        for (std::uint64_t i = 0; i < entries.size(); ++i) {
            if (i % 4096 == 0) {
                status(format16("parsing MFT entry %llu...", static_cast<unsigned long long>(i)));
                if (sink) sink->setPosition(std::int64_t(i));
            }
            if (!entries[i].decoded) decodeEntry(i);
            if (stopRequested()) break;
        }
    } else if (foundByScan_) {
        indexFoundRecords();
    }
    addLinkEntries();
    rootIndex = entries.size();
    for (std::uint64_t i = 0; i < entries.size(); ++i) {
        if (entries[i].hasName && entries[i].name == u"." && entries[i].isFolder()) {
            rootIndex = i;
            break;
        }
    }
    linkEntries();

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
    if (rootIndex >= orphanIndex) rootIndex = entries.size();

    if (rootIndex < entries.size()) {
        MftEntry& o = entries[orphanIndex];
        o.parent = rootIndex;
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
    gatherOrphans();
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

void ntfs::fillTree() {
    if (!tree) return;
    bool orphanShown = false;
    const bool rootFound = rootIndex < entries.size();
    if (rootFound) {
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
    // The orphan folder is shown even when no root folder was found: it then holds
    // everything that could be named.
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
    entries.clear();
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
        readAt(chunkOffset, chunk.data(), std::uint32_t(span));
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
            e.diskPosition = chunkOffset + step;
            e.ownIndex = entries.size();
            adoptRecordSize(p);
            if (step + recordBytes <= span) decodeRecord(p, e);
            else if (const auto r = readRecord(e.diskPosition)) decodeRecord(r->data(), e);
            // Unnamed records stay too (never shown): a base record whose names moved to
            // an extension record, and the extension records, hold the data of named ones.
            entries.push_back(std::move(e));
            if (!entries.back().hasName) continue;
            status(format16("MFT ENTRY %llu Found.Parsing it ..", static_cast<unsigned long long>(entries.size())));
        }
    }
    if (sink) sink->setPosition(range);
    foundByScan_ = true;
    return false;
}

std::uint64_t ntfs::copyClusterBytes(const MftEntry& mft) const {
    const StreamPiece* first = nullptr;
    for (const StreamPiece& piece : mft.data.pieces)
        if (piece.startVcn == 0 && !piece.runs.empty()) {
            first = &piece;
            break;
        }
    if (!first || first->runs.front().start <= 0) return 0;
    const Run& run = first->runs.front();
    const std::uint64_t cluster = clusterOf(run);
    if (mft.diskPosition % cluster != 0) return 0;
    const std::uint64_t bytes = mft.diskPosition / cluster;
    if (bytes < kStepBytes || bytes > kMaxClusterBytes || (bytes & (bytes - 1)) != 0) return 0;
    // The run holds the record itself, and lies inside the volume.
    const std::uint64_t runEnd = (cluster + run.count) * bytes;
    if (run.count == 0 || (volumeSize && runEnd > volumeSize)) return 0;
    return bytes;
}

std::int64_t ntfs::findMftCopies(std::int64_t maximum) {
    clusterSize = clusterSizeFromBoot();
    mftKnown = false;
    foundMfts.clear();
    foundMftClusterBytes.clear();
    copySearchStopped = false;
    // The volume record's extent; without one (size "0"), what readBootSector found.
    const std::uint64_t mb = std::uint64_t(std::max<std::int64_t>(0, sizeMbValue(volume.sizeMbText)));
    if (mb > 0) volumeSize = mb > (~std::uint64_t(0) >> 20) ? 0 : mb << 20;
    if (const auto device = deviceBytes(); device && (volumeSize == 0 || volumeSize > *device)) volumeSize = *device;
    if (volumeSize == 0) return 0;
    const std::uint64_t limit = maximum < 1 ? 1 : std::uint64_t(maximum);
    std::vector<std::uint8_t> chunk;
    try {
        chunk.resize(kScanChunkBytes);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    const std::int64_t range = std::int64_t(volumeSize / kScanChunkBytes);
    if (sink) sink->setRange(0, range);
    bool done = false;
    std::vector<SectorRange> unreadable;
    for (std::uint64_t chunkOffset = 0; chunkOffset < volumeSize && !done; chunkOffset += kScanChunkBytes) {
        if (stopRequested()) break;
        if (sink) sink->setPosition(std::int64_t(chunkOffset / kScanChunkBytes));
        // Only the volume's own bytes; sectors that cannot be read arrive as zeros.
        const std::uint64_t span = std::min(kScanChunkBytes, volumeSize - chunkOffset);
        unreadable.clear();
        if (!readAt(chunkOffset, chunk.data(), std::uint32_t(span), &unreadable) && unreadable.empty()) continue;
        // A record read from the chunk when it lies wholly in it, else through the reader.
        auto decodeAt = [&](std::uint64_t position, MftEntry& e) {
            e.diskPosition = position;
            if (position >= chunkOffset && position + recordBytes <= chunkOffset + span)
                decodeRecord(chunk.data() + (position - chunkOffset), e);
            else if (const auto r = readRecord(position)) decodeRecord(r->data(), e);
        };
        for (std::uint64_t step = 0; step + kStepBytes <= span; step += kStepBytes) {
            if (stopFlag.load() != 0) {
                done = true;
                break;
            }
            const std::uint8_t* p = chunk.data() + step;
            if (!nf::hasFileSignature(std::span(p, 4)) || le16(p, nf::mft_record::kUsaOffset) >= 512 ||
                le16(p, nf::mft_record::kUsaCount) >= 512 || le16(p, nf::mft_record::kFirstAttribute) >= 512)
                continue;
            adoptRecordSize(p);
            const std::uint64_t position = chunkOffset + step;
            if (position + recordBytes > volumeSize) {
                done = true;  // nothing at or past the volume's end counts
                break;
            }
            MftEntry boot;
            decodeAt(position, boot);
            if (!boot.hasName || !startsWith(boot.name, u"$Boot") || position < 7 * recordBytes) continue;
            // $Boot is record 7: the $MFT record seven records before it, never the
            // mirror's ("$MFTMirr").
            MftEntry mft;
            decodeAt(position - 7 * recordBytes, mft);
            if (!mft.hasName || !startsWith(mft.name, u"$MFT") || (mft.name.size() >= 5 && mft.name[4] == u'M'))
                continue;
            const std::uint64_t bytes = copyClusterBytes(mft);
            if (bytes == 0) continue;  // not at its own first run: a stored image's, or damaged
            mft.ownIndex = foundMfts.size();
            foundMfts.push_back(std::move(mft));
            foundMftClusterBytes.push_back(bytes);
            status(format16("MFT ENTRY %llu Found.Parsing it ...", static_cast<unsigned long long>(foundMfts.size())));
            if (foundMfts.size() >= limit) {
                done = true;
                break;
            }
        }
    }
    if (sink) sink->setPosition(range);
    // A Stop ends this search only: it is recorded, and the flag is clear again for
    // what the same worker does next.
    copySearchStopped = stopFlag.load() != 0;
    if (copySearchStopped) stopFlag.store(0);
    return std::int64_t(foundMfts.size());
}

bool ntfs::useFoundMft(std::uint64_t index) {
    mftKnown = false;
    mftRuns.clear();
    mftDataSize = 0;
    runListPending = true;
    if (index < foundMfts.size()) {
        mftRuns = runsOf(foundMfts[index].diskPosition, nf::attribute::kData);
        mftDataSize = dataStream(foundMfts[index].diskPosition).dataSize;
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

void ntfs::clearEntries() {
    entries.clear();
    entries.shrink_to_fit();
    byNumber_.clear();
    numbersAreIndexes_ = true;
    foundByScan_ = false;
    mftRecordsUnreadable = 0;
    rootIndex = 5;
    orphanIndex = kNoEntry;
    rootItem = kNoItem;
}

// ---------------------------------------------------------------- data streams

// What saving and sizing need of one entry's unnamed data stream, put together from the
// decoded facts of its record and of the records its attribute list names.
struct ntfs::StreamPlan {
    std::uint8_t residency = 0;
    std::uint16_t flags = 0;
    std::uint16_t compressionUnit = 0;
    std::uint64_t dataSize = 0;
    std::uint64_t streamClusters = 0;  // virtual clusters the pieces cover (sparse tail included)
    std::uint64_t runClusters = 0;     // clusters the runs cover
    std::vector<Run> runs;
    std::uint64_t holder = 0;          // entry whose record holds resident data
    std::uint32_t residentOffset = 0;
    bool incomplete = false;           // a piece is missing or does not belong to the file
    bool fromList = false;
};

std::uint64_t ntfs::dataEntry(std::uint64_t index) const {
    const MftEntry& e = entries[index];
    // An extension record (one that holds attributes of another file, found by its base
    // reference at 0x20) stands for its base record's data and times.
    if (e.baseRecord == 0 || !e.isFileRecord()) return index;
    const auto base = recordIndex(e.baseRecord);
    if (!base || *base == index || *base == orphanIndex || !entries[*base].isFileRecord()) return index;
    return *base;
}

std::uint64_t ntfs::dataPosition(std::uint64_t index) const { return entries[dataEntry(index)].diskPosition; }

std::vector<std::uint64_t> ntfs::dataExtents(std::uint64_t index) const {
    std::vector<std::uint64_t> out;
    const MftEntry& e = entries[index];
    if (e.extents.empty()) return out;
    bool other = false;
    for (std::uint64_t n : e.extents) {
        const auto i = recordIndex(n);
        if (i && *i != orphanIndex) out.push_back(*i);
        if (n != e.recordNumber) other = true;
    }
    // Also when the base record holds the first piece itself and the list names more.
    if (!e.dataElsewhere && !other) return {};
    return out;
}

bool ntfs::planStream(std::uint64_t index, StreamPlan& plan) const {
    const std::uint64_t d = dataEntry(index);
    const MftEntry& e = entries[d];
    std::vector<const StreamPiece*> pieces;
    const StreamFacts* facts = &e.data;
    const std::vector<std::uint64_t> extents = dataExtents(d);
    if (!extents.empty()) {
        plan.fromList = true;
        if (extents.size() != e.extents.size()) plan.incomplete = true;
        const StreamFacts* first = nullptr;
        for (std::uint64_t i : extents) {
            const MftEntry& x = entries[i];
            // An extent record that now belongs to another file holds nothing of this one.
            if (!x.isFileRecord() || (i != d && x.baseRecord != e.recordNumber)) {
                plan.incomplete = true;
                continue;
            }
            if (!first) first = &x.data;
            for (const StreamPiece& p : x.data.pieces) {
                if (p.startVcn == 0) facts = &x.data;
                pieces.push_back(&p);
            }
        }
        if (facts == &e.data && first && e.data.residency == 0) facts = first;
        plan.residency = 'N';
    } else {
        plan.residency = e.data.residency;
        for (const StreamPiece& p : e.data.pieces) pieces.push_back(&p);
    }
    plan.flags = facts->flags;
    plan.compressionUnit = facts->compressionUnit;
    plan.dataSize = facts->dataSize;
    plan.holder = d;
    plan.residentOffset = e.data.residentOffset;
    if (plan.residency != 'N') return plan.residency == 'R';
    // The pieces follow one another by virtual cluster; a gap or an overlap means a piece
    // is missing or stale.
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const StreamPiece* a, const StreamPiece* b) { return a->startVcn < b->startVcn; });
    std::uint64_t expected = 0;
    for (const StreamPiece* p : pieces) {
        if (p->startVcn != expected || p->lastVcn < p->startVcn) {
            plan.incomplete = true;
            if (p->startVcn < expected || p->lastVcn < p->startVcn) continue;
        }
        std::uint64_t clusters = 0;
        for (const Run& r : p->runs) {
            plan.runs.push_back(r);
            clusters += r.count;
        }
        plan.runClusters += clusters;
        // A piece's runs may stop short of its last cluster (a sparse tail of a
        // compressed stream): the tail stands as sparse clusters.
        expected = p->lastVcn + 1;
        if (expected - p->startVcn > clusters)
            plan.runs.push_back(Run{0, std::uint32_t(std::min<std::uint64_t>(expected - p->startVcn - clusters, 0xFFFFFFFFu))});
    }
    plan.streamClusters = expected;
    if (plan.dataSize == 0 && plan.fromList) plan.dataSize = plan.runClusters * (clusterSize ? clusterSize : 4096);
    return true;
}

std::uint64_t ntfs::dataSize(std::uint64_t index) const {
    if (index >= entries.size() || index == orphanIndex) return 0;
    StreamPlan plan;
    if (!planStream(index, plan)) return 0;
    return plan.dataSize;
}

std::u16string ntfs::sizeText(std::uint64_t index) const {
    const std::uint64_t size = dataSize(index);
    return formatSize(size > std::uint64_t(INT64_MAX) ? INT64_MAX : std::int64_t(size));
}

NtfsTimesText ntfs::timesText(std::uint64_t index) const {
    NtfsTimesText out;
    if (index >= entries.size() || index == orphanIndex) return out;
    const MftEntry& e = entries[dataEntry(index)];
    auto text = [](std::uint64_t fileTime) -> std::u16string {
        const auto local = fileTimeToLocal(fileTime);
        return local ? formatDateTime(*local) : std::u16string();
    };
    out.created = text(e.created);
    out.accessed = text(e.accessed);
    out.modified = text(e.modified);
    const std::uint32_t flags = e.fileNameFlags ? e.fileNameFlags : entries[index].fileNameFlags;
    if (flags) out.attributes = nf::attributeWord(flags);
    return out;
}

EntryTimes ntfs::entryTimes(std::uint64_t index) const {
    EntryTimes out;
    if (index >= entries.size() || index == orphanIndex) return out;
    const MftEntry& e = entries[dataEntry(index)];
    out.accessed = fileTimeToTimespec(e.accessed);
    out.modified = fileTimeToTimespec(e.modified);
    return out;
}

// ---------------------------------------------------------------- saving

namespace {

// Once a stop is asked for, a file with more than this still to write is cut there (and
// reported damaged) rather than finished: a crafted size could otherwise hold the save
// for days.
constexpr std::uint64_t kFinishAfterStopBytes = 256ULL << 20;

// Walks a stream's runs as spans of clusters: sparse or placed, then sparse clusters up
// to the stream's cluster count.
struct ClusterCursor {
    const std::vector<nf::Run>* runs;
    std::uint64_t tail = 0;  // sparse clusters after the runs
    std::size_t index = 0;
    std::uint64_t used = 0;  // clusters of runs[index] already taken
    struct Span {
        bool sparse = true;
        std::uint64_t cluster = 0;
        std::uint64_t count = 0;
    };
    // The next span of at most `most` clusters; false at the end.
    bool take(std::uint64_t most, Span& s) {
        while (index < runs->size() && used >= (*runs)[index].count) {
            ++index;
            used = 0;
        }
        if (index < runs->size()) {
            const nf::Run& r = (*runs)[index];
            s.count = std::min<std::uint64_t>(most, r.count - used);
            s.sparse = r.start == 0;
            s.cluster = s.sparse ? 0 : std::uint64_t(std::uint32_t(r.start)) + used;
            used += s.count;
            return true;
        }
        if (tail == 0) return false;
        s.sparse = true;
        s.cluster = 0;
        s.count = std::min(most, tail);
        tail -= s.count;
        return true;
    }
};

}  // namespace

SaveStatus ntfs::writeStream(EntryWriter& out, const StreamPlan& plan) const {
    const std::uint64_t cs = clusterSize ? clusterSize : 4096;
    const std::uint64_t size = plan.dataSize;
    bool damaged = plan.incomplete;
    std::uint64_t written = 0;
    if (size == 0) return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
    std::uint64_t runClusters = 0;
    for (const Run& r : plan.runs) runClusters += r.count;
    ClusterCursor cursor{&plan.runs};
    cursor.tail = plan.streamClusters > runClusters ? plan.streamClusters - runClusters : 0;
    // kind: 0 data, 1 hole, 2 unreadable.
    auto put = [&](const std::uint8_t* data, std::uint64_t n, int kind) -> bool {
        const std::uint64_t take = std::min(n, size - written);
        if (take == 0) return true;
        const bool ok = kind == 1 ? out.writeHole(take) : kind == 2 ? out.writeUnreadable(take) : out.write(data, std::size_t(take));
        if (kind == 2) damaged = true;
        if (!ok) return false;
        written += take;
        return true;
    };
    // Data read at a volume position of which the sectors in `bad` could not be read:
    // only those are lost (and counted), and only where they lie within the file's size.
    auto putRead = [&](const std::uint8_t* data, std::uint64_t n, std::uint64_t position,
                       const std::vector<SectorRange>& bad) -> bool {
        const std::uint64_t take = std::min(n, size - written);
        if (take == 0) return true;
        const std::int64_t at = (reader ? reader->baseOffset : 0) + std::int64_t(position);
        if (!unreadableSpans(bad, at, at + std::int64_t(take)).empty()) damaged = true;
        if (!writeAsRead(out, data, std::size_t(take), at, bad)) return false;
        written += take;
        return true;
    };
    // A stop finishes the file unless much of it is still to come.
    auto cutByStop = [&] { return stopFlag.load() != 0 && size - written > kFinishAfterStopBytes; };
    // Reads `clusters` clusters from `first` into dest: false when any could not be had
    // (clusters past the volume's end, read errors); they stay zero.
    // With bad given, the unreadable sectors of what lies inside the volume are appended
    // to it (the rest of the read is still delivered).
    auto readClusters = [&](std::uint64_t first, std::uint64_t clusters, std::uint8_t* dest,
                            std::vector<SectorRange>* bad = nullptr) -> bool {
        const std::uint64_t bytes = clusters * cs;
        std::memset(dest, 0, bytes);
        if (first > std::uint64_t(INT64_MAX) / cs) return false;
        const std::uint64_t position = first * cs;
        if (position >= volumeSize) return false;
        const std::uint64_t inside = std::min(bytes, volumeSize - position);
        return readAt(position, dest, std::uint32_t(inside), bad) && inside == bytes;
    };
    std::uint64_t beyondBytes = 0;
    auto beyondVolume = [&](std::uint64_t cluster) { return cluster > std::uint64_t(INT64_MAX) / cs || cluster * cs >= volumeSize; };
    const bool compressed = plan.flags == nf::attribute::kFlagCompressed;
    const std::uint64_t unitClusters = compressed ? std::uint16_t(1u << (plan.compressionUnit & 31)) : 0;
    if (!compressed || unitClusters == 0) {
        const std::uint64_t stepClusters = std::max<std::uint64_t>(1, kSaveReadBytes / cs);
        std::vector<std::uint8_t> buffer(stepClusters * cs);
        ClusterCursor::Span s;
        while (written < size) {
            if (cutByStop()) return SaveStatus::Damaged;
            const std::uint64_t needed = (size - written + cs - 1) / cs;
            if (!cursor.take(needed, s)) break;
            if (s.sparse) {
                if (!put(nullptr, s.count * cs, 1)) return SaveStatus::Failed;
                continue;
            }
            // Clusters past the volume's end cannot be read: zeros, counted. A file cannot
            // hold more clusters than the volume, so once they add up to more than it
            // the run list is plainly damaged and the file ends there.
            if (beyondVolume(s.cluster)) {
                if (beyondBytes + s.count * cs > volumeSize) {
                    damaged = true;
                    break;
                }
                beyondBytes += s.count * cs;
                if (!put(nullptr, s.count * cs, 2)) return SaveStatus::Failed;
                continue;
            }
            // Placed spans longer than the buffer come back in buffer-sized steps, and a
            // span that runs past the volume's end stops there (the rest comes next).
            std::uint64_t keep = std::min(s.count, stepClusters);
            if (s.cluster < volumeSize / cs) keep = std::min(keep, volumeSize / cs - s.cluster);
            if (keep < s.count) {
                cursor.used -= s.count - keep;
                s.count = keep;
            }
            std::vector<SectorRange> bad;
            const bool ok = readClusters(s.cluster, s.count, buffer.data(), &bad);
            if (ok) {
                if (!put(buffer.data(), s.count * cs, 0)) return SaveStatus::Failed;
            } else if (bad.empty()) {
                if (!put(nullptr, s.count * cs, 2)) return SaveStatus::Failed;  // refused outright
            } else if (!putRead(buffer.data(), s.count * cs, s.cluster * cs, bad)) {
                return SaveStatus::Failed;
            }
        }
        // Runs that cover less than the data size leave the rest unknown.
        if (written < size) damaged = true;
        return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
    }
    const std::uint64_t unitBytes = unitClusters * cs;
    if (unitBytes > kMaxUnitBytes) return SaveStatus::Damaged;  // a unit too large to hold
    std::vector<std::uint8_t> unit(unitBytes), output(unitBytes);
    std::vector<std::uint64_t> numbers(unitClusters);
    std::vector<std::uint8_t> readable(unitClusters);
    while (written < size) {
        if (cutByStop()) return SaveStatus::Damaged;
        std::uint64_t gathered = 0;
        ClusterCursor::Span s;
        while (gathered < unitClusters && cursor.take(unitClusters - gathered, s)) {
            // Whole sparse units at a unit boundary are written as one hole.
            if (gathered == 0 && s.sparse && s.count == unitClusters) {
                std::uint64_t units = 1;
                ClusterCursor probe = cursor;
                ClusterCursor::Span more;
                while (probe.take(unitClusters, more) && more.sparse && more.count == unitClusters &&
                       units * unitBytes < size - written) {
                    cursor = probe;
                    ++units;
                }
                gathered = kNoEntry;
                if (!put(nullptr, units * unitBytes, 1)) return SaveStatus::Failed;
                break;
            }
            if (!s.sparse && beyondVolume(s.cluster)) {
                beyondBytes += s.count * cs;
                if (beyondBytes > volumeSize) {
                    gathered = kNoEntry - 1;  // see below
                    break;
                }
            }
            for (std::uint64_t k = 0; k < s.count; ++k) numbers[gathered + k] = s.sparse ? 0 : s.cluster + k;
            gathered += s.count;
        }
        if (gathered == kNoEntry) continue;
        if (gathered == kNoEntry - 1) {
            // More clusters past the volume's end than the volume holds: the run list is
            // damaged; the file ends here.
            damaged = true;
            break;
        }
        if (gathered == 0) break;
        // A unit cut short by the end of the runs is completed with sparse clusters.
        for (std::uint64_t k = gathered; k < unitClusters; ++k) numbers[k] = 0;
        std::uint64_t lastNonZero = 0;
        for (std::uint64_t k = 0; k < unitClusters; ++k)
            if (numbers[k] != 0) lastNonZero = k + 1;
        if (lastNonZero == 0) {
            if (!put(nullptr, unitBytes, 1)) return SaveStatus::Failed;
            continue;
        }
        bool unreadable = false;
        for (std::uint64_t k = 0; k < lastNonZero; ++k) {
            if (numbers[k] == 0) std::memset(unit.data() + k * cs, 0, cs);
            else if (!readClusters(numbers[k], 1, unit.data() + k * cs)) unreadable = true;
        }
        if (numbers[unitClusters - 1] != 0) {
            // Stored uncompressed.
            if (!put(unit.data(), unitBytes, unreadable ? 2 : 0)) return SaveStatus::Failed;
            continue;
        }
        const auto result = nf::lznt1Decompress(std::span(unit.data(), lastNonZero * cs), output);
        if (unreadable || result.damaged) {
            // The unit cannot be trusted: zeros in its place, counted as unreadable.
            if (!put(nullptr, unitBytes, 2)) return SaveStatus::Failed;
            continue;
        }
        // A unit that decodes short ends in zeros, so the next unit keeps its place.
        std::fill(output.begin() + std::ptrdiff_t(result.produced), output.end(), 0);
        if (!put(output.data(), unitBytes, 0)) return SaveStatus::Failed;
    }
    if (written < size) damaged = true;
    return damaged ? SaveStatus::Damaged : SaveStatus::Saved;
}

SaveStatus ntfs::saveEntry(std::uint64_t index, EntryWriter& out) const {
    if (index >= entries.size() || index == orphanIndex) return SaveStatus::Failed;
    const MftEntry& entry = entries[index];
    if (!entry.hasName) return SaveStatus::Failed;
    // A stop seen before the file is begun ends the save here; one that comes while the
    // file is written lets it finish.
    if (stopFlag.load() != 0) return SaveStatus::Stopped;
    auto message = [&](const std::u16string& text) {
        if (prompt) prompt->message(text);
    };
    try {
        const std::uint64_t d = dataEntry(index);
        // The record is read again as it is now: a source that changed under the scan
        // does not get something else saved under this name.
        nf::RecordBuffer record{};
        if (!readRecordOf(d, record) || !nf::hasFileSignature(record)) {
            message(u"not a valid entry...");
            return SaveStatus::Failed;
        }
        if (entry.isFolder()) {
            if (entries[d].data.residency != 0 || entries[d].namedStreams != 0)
                message(u"This is  " + trim(entry.name) + u" directory .Please specify file names ");
            return SaveStatus::Saved;
        }
        StreamPlan plan;
        if (!planStream(index, plan)) return SaveStatus::Saved;  // no data stream: an empty file
        SaveStatus status = SaveStatus::Saved;
        if (plan.residency == 'R') {
            nf::applyFixups(std::span(record.data(), recordBytes));
            if (plan.residentOffset < recordBytes) {
                const std::size_t n = std::size_t(std::min<std::uint64_t>(plan.dataSize, recordBytes - plan.residentOffset));
                if (!out.write(record.data() + plan.residentOffset, n)) status = SaveStatus::Failed;
                else if (n < plan.dataSize) status = SaveStatus::Damaged;  // content runs past the record
            }
        } else {
            status = writeStream(out, plan);
        }
        // A write that failed is named with its reason in the save's closing report, once
        // per file, instead of a box the worker would wait on for every file.
        return status;
    } catch (const std::exception& ex) {
        out.noteDamage("Exception :  " + std::string(ex.what()) + "   ");
        return SaveStatus::Failed;
    }
}

}  // namespace dravonel
