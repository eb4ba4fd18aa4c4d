#pragma once
// The one walk over a stretch of a source in large chunks: the deep partition scan, the
// NTFS record scans, carving and the FAT/exFAT surface scans read through it. It keeps in
// one place what every such walk needs: positional reads (no shared reader position),
// the area's end, a guard that the walk always moves forward, the pause check point and
// the stop test before every chunk, and progress after every chunk.
#include <cstdint>
#include <functional>
#include <span>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"

namespace dravonel {

// One chunk as the walk hands it over.
struct SurfaceChunk {
    // Reader-relative offset (baseOffset applies) of bytes[0].
    std::int64_t offset = 0;
    // The chunk's bytes; shorter than chunkBytes only where the area ends. With a
    // lookahead the span also holds up to lookaheadBytes read past the chunk.
    std::span<const std::uint8_t> bytes;
    // The chunk's own length, without the lookahead.
    std::int64_t size = 0;
};

// What a visitor answers: the offset the walk goes on from (normally offset + size; more
// to skip ahead), or kStopWalk to end the walk.
inline constexpr std::int64_t kStopWalk = -1;

class SurfaceWalker {
public:
    enum class End { Completed, Stopped, ReadFailed };
    struct Result {
        End end = End::Completed;
        std::uint32_t errorCode = 0;  // ReadFailed: errno of the read (EIO when it came up short)
        std::int64_t position = 0;    // where the walk stood when it ended
        // Sectors that could not be read (deferred blocks split to their sectors at the end).
        std::int64_t unreadableSectors = 0;
    };

    // Reads of this many bytes, one request each (at most kMaxChunkBytes).
    std::int64_t chunkBytes = 1048576;
    // Bytes read after each chunk in the same request (a pattern that begins at the end of
    // a chunk is seen whole); at most kMaxChunkBytes. The walk still steps by chunks.
    std::int64_t lookaheadBytes = 0;
    // No chunk starts past this offset (its chunk is still read whole); -1: no limit.
    std::int64_t lastChunkStart = -1;
    // Set by another thread: the walk ends before its next chunk.
    const StopFlag* stop = nullptr;
    // Pause check point before every chunk.
    WorkerControl* control = nullptr;
    // Progress after every chunk, as the position the walk goes on from.
    std::function<void(std::int64_t next)> onProgress;
    // A chunk that cannot be read does not end the walk: it is set aside (one read, never
    // split: a failing drive may spend seconds on each bad sector) and the walk goes on.
    // Once the rest is walked, the chunks set aside are read again sector by sector where
    // needed, in order, and visited with zeros for the sectors that stay unreadable (a
    // visitor's skip is not followed there). A stop ends that too, before its next chunk.
    // Off: a read that fails ends the walk with its errno.
    bool deferFailedChunks = false;
    // The count of unreadable sectors each time it grows (deferred chunks).
    std::function<void(std::int64_t unreadableSectors)> onUnreadable;

    static constexpr std::int64_t kMaxChunkBytes = 64ll << 20;

    // Walks [begin, end) of reader: for each chunk, visit gets its bytes and answers where
    // to go on. An answer that does not move past the chunk's start goes on right after
    // the chunk, so the walk always ends. A read that fails ends the walk with its errno
    // (unless deferFailedChunks).
    Result walk(const readWriteInterface& reader, std::int64_t begin, std::int64_t end,
                const std::function<std::int64_t(const SurfaceChunk&)>& visit) const;
};

// Progress per mille of position within total (0 for an empty total, at most 1000).
std::int64_t perMille(std::int64_t position, std::int64_t total);

}  // namespace dravonel
