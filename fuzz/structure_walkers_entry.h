#pragma once
// The structure walkers' fuzz entry, shared by the libFuzzer target and the unit test that
// replays the seed corpus. Input: one byte choosing the walker, then the file's bytes.
// Each walk must end, and a size it gives must lie within the limit it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/raw/file_structure.h"

namespace dravonel {

inline int fuzzStructureWalkers(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    constexpr int kKinds = static_cast<int>(FileStructure::Mp3) + 1;
    const auto kind = static_cast<FileStructure>(data[0] % kKinds);
    const std::uint8_t* bytes = data + 1;
    const auto n = static_cast<std::int64_t>(size - 1);
    const ByteReadFn read = [&](std::int64_t offset, std::uint8_t* out, std::size_t count) -> std::size_t {
        if (offset < 0 || offset >= n) return 0;
        const auto k = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), n - offset));
        std::memcpy(out, bytes + offset, k);
        return k;
    };
    // The whole input, a limit inside it, and a limit past what can be read.
    for (const std::int64_t limit : {n, n / 2, n + 4096}) {
        const auto found = walkFileStructure(kind, read, limit);
        if (found && (*found <= 0 || *found > limit)) std::abort();
    }
    return 0;
}

}  // namespace dravonel
