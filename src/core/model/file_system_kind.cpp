#include "core/common/text.h"
#include "core/model/scan_parser.h"

namespace dravonel {

FileSystemKind fileSystemKind(std::u16string_view fs) {
    if (equalsNoCase(fs, u"ntfs")) return FileSystemKind::Ntfs;
    if (equalsNoCase(fs, u"fat32")) return FileSystemKind::Fat32;
    // FAT12 volumes are read by the FAT16 parser, which tells them apart by cluster count.
    if (equalsNoCase(fs, u"fat16") || equalsNoCase(fs, u"fat") || equalsNoCase(fs, u"fat12"))
        return FileSystemKind::Fat16;
    if (equalsNoCase(fs, u"extX")) return FileSystemKind::Ext;
    if (equalsNoCase(fs, u"fat64") || equalsNoCase(fs, u"exFat")) return FileSystemKind::ExFat;
    if (equalsNoCase(fs, u"HFS+")) return FileSystemKind::HfsPlus;
    return FileSystemKind::None;
}

}  // namespace dravonel
