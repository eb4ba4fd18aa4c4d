// The ext3/ext4 journal over an in-memory journal file: its superblock, a scan of every
// block for descriptor, commit and revoke blocks, and every block decoded as a descriptor
// and a revoke block. Input that is no journal superblock is read as journal blocks of
// 1 KiB under a superblock whose features come from the input's first byte.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/fs/ext/ext_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravonel::ext_journal;
    auto sb = decodeSuperblock(data, size);
    if (!sb) {
        if (size < 2048) return 0;
        Superblock s;
        s.version = 2;
        s.blockSize = 1024;
        s.first = 1;
        s.maxLen = static_cast<std::uint32_t>(size / 1024);
        s.sequence = data[1];
        s.incompat = data[0] & 0x1F;
        sb = s;
    }
    const std::size_t bs = sb->blockSize;
    const auto blocks = static_cast<std::uint32_t>(std::min<std::size_t>(size / bs, 1u << 16));
    const Contents c = scanJournal(*sb, blocks, [&](std::uint32_t i, std::uint8_t* dest) {
        if (std::size_t(i) >= blocks) return false;
        std::memcpy(dest, data + std::size_t(i) * bs, bs);
        return true;
    });
    for (const BlockCopy& copy : c.copies)
        if (copy.journalBlock >= blocks) __builtin_trap();  // a copy outside the journal
    for (std::uint32_t i = 0; i < blocks; ++i) {
        (void)decodeDescriptor(data + std::size_t(i) * bs, *sb);
        (void)decodeRevoke(data + std::size_t(i) * bs, *sb);
    }
    return 0;
}
