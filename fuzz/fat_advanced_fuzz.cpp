// The FAT16 and FAT32 advanced road over an in-memory volume: the search for FAT starts,
// then the tree rebuilt from the surface scan with the first copy and with the last, the
// default cluster size and one other, and every entry's texts, times and bytes.
#include <cstdint>

#include "core/fs/fat/fat_scan_parser.h"
#include "fuzz/fuzz_support.h"

namespace {

template <class Parser>
void drive(const std::uint8_t* data, std::size_t size, const char16_t* fs) {
    using namespace dravonel;
    fuzz::Harness h(data, size, fs);
    Parser parser(h.context());
    parser.findAdvancedCopies(3);
    const AdvancedFinds finds = parser.advancedFinds();
    const int last = finds.copies.empty() ? 0 : int(finds.copies.size()) - 1;
    for (const bool formatted : {false, true}) {
        ScanOptions options;
        options.formattedDriveFlag = formatted;
        options.advancedCopyIndex = formatted ? last : 0;
        options.advancedSectorsPerCluster = formatted && finds.clusterChoices.size() > 1 ? finds.clusterChoices[1] : 0;
        ScanContext context = h.context();
        context.options = options;
        parser.rebind(context);
        parser.run(RecoveryMode::Advanced);
        fuzz::exercise(h.tree, parser);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    drive<dravonel::Fat16ScanParser>(data, size, u"FAT16");
    drive<dravonel::Fat32ScanParser>(data, size, u"FAT32");
    return 0;
}
