// The exFAT parser over an in-memory volume: boot sector, FAT, the entry-set walk from the
// root down, linking, and every entry's texts, times and bytes; and the advanced road's
// search and surface rebuild.
#include <cstdint>

#include "core/fs/fat/fat_scan_parser.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace dravonel;
    for (const bool formatted : {false, true}) {
        fuzz::Harness h(data, size, u"exFAT");
        ScanContext context = h.context();
        context.options.formattedDriveFlag = formatted;
        ExFatScanParser parser(context);
        parser.run(RecoveryMode::Standard);
        fuzz::exercise(h.tree, parser);
    }
    // The advanced road: the search, then the rebuild from the surface with its choices.
    {
        fuzz::Harness h(data, size, u"exFAT");
        ExFatScanParser parser(h.context());
        parser.findAdvancedCopies(3);
        parser.run(RecoveryMode::Advanced);
        fuzz::exercise(h.tree, parser);
    }
    return 0;
}
