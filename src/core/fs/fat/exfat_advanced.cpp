// The exFAT advanced road: FAT and cluster-heap starts found by a search of the volume,
// and the folder tree rebuilt from a surface scan for File entries.
#include "core/fs/fat/exfat_volume.h"

namespace dravonel {

ScanOutcome Fat64Class::findAdvancedCopies(int maxCopies) {
    (void)maxCopies;
    return ScanOutcome::refused(u"The search for exFAT copies is not built yet.");
}

ScanOutcome Fat64Class::advancedScan(Prompt* prompt) {
    (void)prompt;
    return ScanOutcome::refused(u"The Advanced road is not built yet.");
}

}  // namespace dravonel
