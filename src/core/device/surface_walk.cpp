#include "core/device/surface_walk.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

namespace dravonel {

std::int64_t perMille(std::int64_t position, std::int64_t total) {
    if (total <= 0 || position <= 0) return 0;
    if (position >= total) return 1000;
    return static_cast<std::int64_t>(static_cast<__int128>(position) * 1000 / total);
}

SurfaceWalker::Result SurfaceWalker::walk(const readWriteInterface& reader, std::int64_t begin, std::int64_t end,
                                          const std::function<std::int64_t(const SurfaceChunk&)>& visit) const {
    Result result;
    result.position = begin;
    const std::int64_t step = std::clamp<std::int64_t>(chunkBytes, kSectorBytes, kMaxChunkBytes);
    const std::int64_t lookahead = std::clamp<std::int64_t>(lookaheadBytes, 0, kMaxChunkBytes);
    if (begin < 0 || begin >= end) return result;
    std::vector<std::uint8_t> buffer;
    try {
        buffer.assign(static_cast<std::size_t>(std::min(step + lookahead, end - begin)), 0);
    } catch (const std::bad_alloc&) {
        result.end = End::ReadFailed;
        result.errorCode = ENOMEM;
        return result;
    }
    struct Deferred {
        std::int64_t at, size, wanted;
    };
    std::vector<Deferred> deferred;
    std::int64_t failedSectors = 0;  // in chunks set aside, not split yet
    std::int64_t at = begin;
    while (at < end) {
        if (control) control->checkPoint();
        if (stop && stop->load(std::memory_order_relaxed) != 0) {
            result.end = End::Stopped;
            break;
        }
        if (lastChunkStart >= 0 && at > lastChunkStart) break;
        // Never past the area's end: the last chunk is read as long as it is.
        const std::int64_t size = std::min(step, end - at);
        const std::int64_t wanted = std::min(size + lookahead, end - at);
        errno = 0;
        if (deferFailedChunks) {
            if (!reader.readAtOnce(at, buffer.data(), static_cast<std::uint32_t>(wanted), nullptr)) {
                deferred.push_back({at, size, wanted});
                failedSectors += (size + kSectorBytes - 1) / kSectorBytes;
                if (onUnreadable) onUnreadable(result.unreadableSectors + failedSectors);
                at += size;
                if (onProgress) onProgress(std::min(at, end));
                continue;
            }
        } else if (!reader.readAt(at, buffer.data(), static_cast<std::uint32_t>(wanted))) {
            result.end = End::ReadFailed;
            result.errorCode = errno != 0 ? static_cast<std::uint32_t>(errno) : EIO;
            break;
        }
        const SurfaceChunk chunk{at, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(wanted)), size};
        const std::int64_t next = visit(chunk);
        if (next == kStopWalk) {
            result.end = End::Stopped;
            break;
        }
        // The guard: a visitor that would stand still or step back goes on after the chunk.
        at = next > at ? next : at + size;
        if (onProgress) onProgress(std::min(at, end));
    }
    result.position = std::min(at, end);
    // The chunks set aside, now that the readable surface is done: what can be read of
    // them is read (each bad sector once) and visited.
    std::vector<SectorRange> unreadable;
    for (const Deferred& d : deferred) {
        if (result.end == End::Stopped) break;
        if (control) control->checkPoint();
        if (stop && stop->load(std::memory_order_relaxed) != 0) {
            result.end = End::Stopped;
            break;
        }
        failedSectors -= (d.size + kSectorBytes - 1) / kSectorBytes;
        std::vector<SectorRange> lost;
        reader.readAt(d.at, buffer.data(), static_cast<std::uint32_t>(d.wanted), &lost);
        // Only the chunk's own sectors count; the lookahead belongs to the next chunk.
        for (const SectorRange& r : lost) {
            const std::int64_t first = reader.baseOffset / kSectorBytes + d.at / kSectorBytes;
            const std::int64_t last = first + (d.size + kSectorBytes - 1) / kSectorBytes;
            const std::int64_t b = std::max(r.first, first), e = std::min(r.end(), last);
            if (b < e) addSectorRange(unreadable, {b, e - b});
        }
        result.unreadableSectors = sectorCount(unreadable);
        if (onUnreadable) onUnreadable(result.unreadableSectors + failedSectors);
        const SurfaceChunk chunk{d.at, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(d.wanted)),
                                 d.size};
        if (visit(chunk) == kStopWalk) {
            result.end = End::Stopped;
            break;
        }
    }
    return result;
}

}  // namespace dravonel
