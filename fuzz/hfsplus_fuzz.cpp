// The HFS+ parser over an in-memory volume in both modes: volume header, extents and
// catalog B-trees, the deep scan for leaf nodes, linking, and saving every entry into a
// sink that discards the bytes.
#include <cstdint>

#include "core/fs/hfsplus/hfsplus_scan_parser.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravonel;
    for (RecoveryMode mode : {RecoveryMode::Standard, RecoveryMode::Deep}) {
        fuzz::Harness h(data, size, u"HFS+");
        HfsScanParser parser(h.context());
        parser.run(mode);
        fuzz::exercise(h.tree, parser);
    }
    return 0;
}
