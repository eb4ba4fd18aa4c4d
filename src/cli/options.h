#pragma once
// The options of every sub-command, filled by the argument parser (main.cpp, the one
// file that knows the parser library), and the functions that run each command. Every
// run function answers an exit status (cli_support.h) or throws UsageError.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_support.h"

namespace dravonel::cli {

struct DevicesOptions {
    bool json = false;
};

struct PartitionsOptions {
    std::string source;
    TableChoice table = TableChoice::Auto;
    bool json = false;
};

struct VerifyOptions {
    std::string source;
    bool json = false;
};

struct DeepScanOptions {
    std::string source;
    bool noSkip = false;
    std::optional<std::int64_t> startSector;
    std::optional<std::int64_t> endSector;
    bool json = false;
};

// The volume list, recover and search work on: a row of the disk's volumes, or one
// described by hand.
struct VolumeSelection {
    std::string source;
    std::optional<std::int64_t> volumeIndex;
    TableChoice table = TableChoice::Auto;
    std::string fileSystem;  // the VolumeRecord word ("NTFS", "FAT32", ...) for --fs
    std::int64_t startSector = 0;
    std::optional<std::int64_t> sizeMb;
    std::string mode = "standard";
    int codePage = 437;  // OEM code page of FAT short names
    // The advanced road (--mode advanced): which copy of the FAT / MFT the search found,
    // the cluster size (sectors per cluster; default: the boot sector's when it is valid,
    // else the most plausible found), the exFAT cluster-heap start, and the "Is Drive
    // Formated..?" box (FAT12/16/32).
    std::optional<std::int64_t> copy;
    std::optional<std::int64_t> sectorsPerCluster;
    std::optional<std::int64_t> heapCopy;
    bool formatted = false;
};

// What the advanced road's search finds on a volume: copies of its FAT or MFT, exFAT
// cluster-heap starts and the cluster sizes to choose from.
struct CopiesOptions {
    VolumeSelection selection;
    std::int64_t max = 3;
    bool json = false;
};

struct ListOptions {
    VolumeSelection selection;
    bool json = false;
};

struct RecoverOptions {
    VolumeSelection selection;
    std::string out;
    bool skipDeleted = false;
    bool allowSameDevice = false;
    std::vector<std::string> paths;
    bool json = false;
};

struct SearchOptions {
    VolumeSelection selection;
    std::string pattern;
    bool json = false;
};

struct CarveOptions {
    std::string source;
    std::optional<std::int64_t> volume;
    TableChoice table = TableChoice::Auto;
    std::optional<std::int64_t> startSector;
    std::optional<std::int64_t> sizeMb;
    std::vector<std::string> signatureFiles;
    bool noDefaultSignatures = false;
    std::string out;
    bool allowSameDevice = false;
    bool json = false;
};

struct SignatureAddOptions {
    std::string file;
    std::string ext;
    std::string start;  // already normalised to comma-separated hexadecimal bytes
    std::string end;
    std::optional<std::int64_t> sizeOffset;
    std::optional<std::int64_t> sizeBytes;
    std::optional<std::int64_t> headerSize;
    bool sizeIncludesHeader = false;
    std::optional<std::int64_t> skip;
    std::optional<std::int64_t> approx;
    std::string category;
};

int runDevices(const DevicesOptions& o);
int runPartitions(const PartitionsOptions& o);
// Reads the whole media of an image that stores its hashes (E01) and compares them.
int runVerify(const VerifyOptions& o);
int runDeepScan(const DeepScanOptions& o);
int runList(const ListOptions& o);
int runRecover(const RecoverOptions& o);
int runSearch(const SearchOptions& o);
int runCopies(const CopiesOptions& o);
int runCarve(const CarveOptions& o);
int runSignatureAdd(const SignatureAddOptions& o);

// Hexadecimal bytes as "89,50,4E,47", "0x89 0x50" or "89504E47" (commas, spaces or
// nothing between bytes; "0x" optional) to the comma-separated form of signature files;
// nothing when the text is anything else.
std::optional<std::string> normaliseHexBytes(const std::string& text);

}  // namespace dravonel::cli
