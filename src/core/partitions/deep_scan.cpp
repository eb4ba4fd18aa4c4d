// The deep partition scan: every 512-byte sector of the disk (or of a custom range) is
// tested for the start of a volume, in 1 MiB chunks read through the surface walk. A
// volume formatted with larger sectors (1024 to 4096 bytes) still starts on one of them;
// its size and the place of its boot sector copy count in its own sector size.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/common/text.h"
#include "core/device/surface_walk.h"
#include "core/partitions/partition.h"

namespace dravonel {

namespace {

constexpr std::int64_t kBlockBytes = 1048576;
constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int64_t>::max();

// sectors x 512 as a byte offset, held at the largest offset instead of overflowing.
std::int64_t sectorsToBytes(std::int64_t sectors) {
    return sectors > kMaxOffset / kSectorBytes ? kMaxOffset : sectors * kSectorBytes;
}

// offset + sectors x 512, held at the largest offset.
std::int64_t advance(std::int64_t offset, std::int64_t sectors) {
    const std::int64_t bytes = sectorsToBytes(sectors);
    return bytes > kMaxOffset - offset ? kMaxOffset : offset + bytes;
}

}  // namespace

std::uint32_t deepScan(Partition& p, readWriteInterface& reader, bool clearStop) {
    if (p.onRunningChanged) p.onRunningChanged(true);
    p.status(u"Scanning partition.....");
    if (clearStop) p.stopRequested.store(0);

    const std::int64_t totalBytes = sectorsToBytes(reader.deviceSectorCount);
    const std::int64_t startByte = p.customStart > 0 ? sectorsToBytes(p.customStart) : 0;
    if (p.sink) p.sink->setRange(0, 1000);

    SurfaceWalker walker;
    walker.chunkBytes = kBlockBytes;
    // With an end sector, the chunk that holds it is still tested whole; the next is not.
    walker.lastChunkStart = p.customEnd > 0 ? sectorsToBytes(p.customEnd) : -1;
    walker.stop = &p.stopRequested;
    const SplitStopScope stopSplits(&reader, &p.stopRequested);
    walker.control = p.control;
    if (p.sink) walker.onProgress = [&](std::int64_t next) { p.sink->setPosition(perMille(next, totalBytes)); };
    // A failing disk: the scan goes on past a block it cannot read and comes back to it.
    walker.deferFailedChunks = true;
    walker.onUnreadable = [&](std::int64_t n) { p.status(format16("unreadable sectors: %lld", static_cast<long long>(n))); };

    int found = 0;
    int ntfsCount = 0;
    // The volumes listed so far, by kind and first byte: a boot sector copy of one of
    // them is not listed again.
    std::vector<std::pair<std::u16string, std::int64_t>> listed;
    const SurfaceWalker::Result result = walker.walk(reader, startByte, totalBytes, [&](const SurfaceChunk& chunk) {
        const std::int64_t sectors = chunk.size / kSectorBytes;
        std::int64_t i = 0;
        while (i < sectors) {
            if (p.stopRequested.load(std::memory_order_relaxed)) return kStopWalk;
            const std::uint8_t* b = chunk.bytes.data() + i * kSectorBytes;
            // Quick reject: a volume start begins with 0xEB or 'H', or holds the ext magic 0xEF53
            // at byte 56 of its superblock sector.
            if (b[0] != 0xEB && b[0] != 'H' && !(b[56] == 0x53 && b[57] == 0xEF)) {
                ++i;
                continue;
            }
            const auto f = classifyBootSector(b, ntfsCount);
            if (!f) {
                ++i;
                continue;
            }
            const std::int64_t X = chunk.offset + i * kSectorBytes;
            if (const auto owner = backupOwnerStart(b, X, *f)) {
                const bool copy = std::any_of(listed.begin(), listed.end(), [&](const auto& v) {
                    return v.second == *owner && v.first == f->fileSystem;
                });
                if (copy) {
                    ++i;
                    continue;
                }
            }
            const VolumeStart start = settleVolumeStart(reader, b, X, *f);
            const std::int64_t sizeMb = f->sizeBytes / 1048576;
            bool record = false;
            // An HFS+ header sits 1024 bytes into its volume, so one in the first
            // two sectors of the device describes no volume.
            if (f->fileSystem == u"HFS+") record = sizeMb >= 1 && sizeMb <= 20971519 && X >= 1024;
            else record = f->sizeBytes >= 1048576;
            if (record) {
                if (f->fileSystem == u"NTFS") ++ntfsCount;
                VolumeRecord r;
                r.fileSystem = f->fileSystem;
                r.name = format16("%d", found++);
                r.sizeMbText = f->fileSystem == u"NTFS" ? format16("%d   MB", static_cast<int>(sizeMb))
                                                         : format16("%lld  MB", static_cast<long long>(sizeMb));
                // In the device's 512-byte sectors whatever sector size the volume keeps.
                r.startSector = start.startByte / kSectorBytes;
                listed.emplace_back(f->fileSystem, start.startByte);
                if (p.records) p.records->push_back(r);
                if (p.onFound) p.onFound(r);
                p.status(f->statusText);
            }
            // Skipping goes on at the first sector after the volume's end, possibly past
            // this chunk (the walk then goes on from there). The end counts from the
            // volume's start, which lies before the tested sector for HFS+, ext and a
            // boot sector copy.
            std::int64_t next = i + 1;
            if (p.skipVolumeSize == 1 && f->sizeBytes >= 1048576) {
                const std::int64_t end = start.extentBytes > kMaxOffset - start.startByte
                                             ? kMaxOffset
                                             : start.startByte + start.extentBytes;
                if (end > X) next = std::max(next, (end - chunk.offset + kSectorBytes - 1) / kSectorBytes);
            }
            i = next;
            if (p.stopRequested.load()) return kStopWalk;
        }
        return advance(chunk.offset, i);
    });
    if (result.end == SurfaceWalker::End::Stopped) p.status(u"Scanned Partitions");
    p.unreadableSectors = result.unreadableSectors;
    if (p.onRunningChanged) p.onRunningChanged(false);
    return result.end == SurfaceWalker::End::ReadFailed ? result.errorCode : 0;
}

}  // namespace dravonel
