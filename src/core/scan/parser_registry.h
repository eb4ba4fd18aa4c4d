#pragma once
// The one place that knows every file system: a table from FileSystemKind to the factory
// of its parser. Scans, the command line and the tests get parsers only through a
// registry; tests may hand in a table of their own.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/model/scan_parser.h"

namespace dravonel {

using ScanParserFactory = std::function<std::unique_ptr<ScanParser>(const ScanContext&)>;

class ParserRegistry {
public:
    ParserRegistry() = default;
    explicit ParserRegistry(std::map<FileSystemKind, ScanParserFactory> table) : table_(std::move(table)) {}

    // Every parser this build has.
    static const ParserRegistry& standard();

    // True when kind has a parser.
    bool has(FileSystemKind kind) const { return table_.count(kind) != 0; }
    // A new parser for kind over context; null when the kind has none.
    std::unique_ptr<ScanParser> make(FileSystemKind kind, const ScanContext& context) const;
    void add(FileSystemKind kind, ScanParserFactory factory) { table_[kind] = std::move(factory); }

private:
    std::map<FileSystemKind, ScanParserFactory> table_;
};

// How a kind is named in messages: "NTFS", "FAT32", "FAT12/16", "ext2/3/4", "exFAT", "HFS+".
const char16_t* fileSystemKindText(FileSystemKind kind);

}  // namespace dravonel
