#include "core/fs/fat/fat_scan_parser.h"

namespace dravonel {

template <class Volume>
ScanOutcome FatFamilyScanParser<Volume>::run(RecoveryMode mode) {
    if (!supportsMode(mode)) return ScanOutcome::refused(u"This recovery mode is not available for FAT volumes yet.");
    if (mode == RecoveryMode::Advanced) return parser_.advancedScan(prompt_);
    return parser_.scan(prompt_);
}

template class FatFamilyScanParser<Fat16Class>;
template class FatFamilyScanParser<Fat32Class>;
template class FatFamilyScanParser<Fat64Class>;

std::unique_ptr<ScanParser> makeFat16ScanParser(const ScanContext& context) {
    return std::make_unique<Fat16ScanParser>(context);
}

std::unique_ptr<ScanParser> makeFat32ScanParser(const ScanContext& context) {
    return std::make_unique<Fat32ScanParser>(context);
}

std::unique_ptr<ScanParser> makeExFatScanParser(const ScanContext& context) {
    return std::make_unique<ExFatScanParser>(context);
}

}  // namespace dravonel
