// The ext2/3/4 parser over an in-memory volume: superblock search, group descriptors,
// directory walks, extent trees and block maps, and saving every entry into a sink that
// discards the bytes.
#include <cstdint>

#include "core/fs/ext/ext_scan_parser.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravonel;
    fuzz::Harness h(data, size, u"extX");
    ExtScanParser parser(h.context());
    parser.run(RecoveryMode::Standard);
    fuzz::exercise(h.tree, parser);
    return 0;
}
