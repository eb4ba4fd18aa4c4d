// The NTFS parser over an in-memory volume: boot sector, MFT location, record decoding,
// tree building and saving every entry into a sink that discards the bytes.
#include <cstdint>
#include <vector>

#include "core/device/sector_reader.h"
#include "core/fs/ntfs/ntfs_scan_parser.h"
#include "core/model/tri_state_tree.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravonel;
    for (RecoveryMode mode : {RecoveryMode::Standard, RecoveryMode::Deep}) {
        fuzz::Harness h(data, size, u"NTFS");
        NtfsScanParser parser(h.context());
        parser.run(mode);
        fuzz::exercise(h.tree, parser);
    }
    return 0;
}
