// The NTFS parser over an in-memory volume: boot sector, MFT location, record decoding,
// tree building and saving every entry into a sink that discards the bytes; and the
// advanced road: the search for copies of the $MFT record, then the MFT read along the
// first one found.
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
    {
        fuzz::Harness h(data, size, u"NTFS");
        NtfsScanParser parser(h.context());
        parser.findAdvancedCopies(3);
        parser.run(RecoveryMode::Advanced);
        fuzz::exercise(h.tree, parser);
    }
    return 0;
}
