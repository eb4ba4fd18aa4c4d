// The FAT12/16 and FAT32 advanced road: FAT starts found by a search of the volume, and
// the folder tree rebuilt from a surface scan for directory entries.
#include "core/fs/fat/fat_volume.h"

namespace dravonel {

ScanOutcome FatClass::findAdvancedCopies(int maxCopies) {
    (void)maxCopies;
    return ScanOutcome::refused(u"The search for FAT copies is not built yet.");
}

ScanOutcome FatClass::advancedScan(Prompt* prompt) {
    (void)prompt;
    return ScanOutcome::refused(u"The Advanced road is not built yet.");
}

}  // namespace dravonel
