#include "core/scan/parser_registry.h"

#include "core/fs/fat/fat_scan_parser.h"
#include "core/fs/ext/ext_scan_parser.h"
#include "core/fs/hfsplus/hfsplus_scan_parser.h"
#include "core/fs/ntfs/ntfs_scan_parser.h"

namespace dravonel {

const ParserRegistry& ParserRegistry::standard() {
    // One line per file system.
    static const ParserRegistry registry({
        {FileSystemKind::Ntfs, makeNtfsScanParser},
        {FileSystemKind::Fat16, makeFat16ScanParser},
        {FileSystemKind::Fat32, makeFat32ScanParser},
        {FileSystemKind::ExFat, makeExFatScanParser},
        {FileSystemKind::Ext, makeExtScanParser},
        {FileSystemKind::HfsPlus, makeHfsScanParser},
    });
    return registry;
}

std::unique_ptr<ScanParser> ParserRegistry::make(FileSystemKind kind, const ScanContext& context) const {
    const auto it = table_.find(kind);
    if (it == table_.end() || !it->second) return nullptr;
    return it->second(context);
}

const char16_t* fileSystemKindText(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Fat32: return u"FAT32";
        case FileSystemKind::Fat16: return u"FAT12/16";
        case FileSystemKind::Ext: return u"ext2/3/4";
        case FileSystemKind::ExFat: return u"exFAT";
        case FileSystemKind::HfsPlus: return u"HFS+";
        case FileSystemKind::Ntfs: return u"NTFS";
        default: return u"";
    }
}

}  // namespace dravonel
