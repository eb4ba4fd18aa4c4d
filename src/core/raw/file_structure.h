#pragma once
// File structure walkers: the true size of a file that starts at a known place, decided by
// following the file's own structure (marker segments, chunks, blocks, boxes, size fields,
// end records) from its first byte. Each walker reads only through a byte-reading
// callback and never past the limit it is given, so it can be fed a volume, a buffer or
// hostile bytes alike: every length it follows must move forward and stay within the
// limit, or the walk fails.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace dravonel {

// Reads up to n bytes at offset bytes from the file's first byte into out and answers how
// many arrived; fewer than n only where the readable bytes end.
using ByteReadFn = std::function<std::size_t(std::int64_t offset, std::uint8_t* out, std::size_t n)>;

enum class FileStructure {
    None,       // no walker: the size comes from the signature record's rules
    Jpeg,       // marker segments, then entropy data to the EOI after the last scan
    Png,        // chunks to IEND and its CRC
    Gif,        // blocks to the trailer 0x3B
    Bmp,        // the size field at offset 2, checked against the header
    Riff,       // WAV, AVI, WebP: the RIFF size field at offset 4 (+ AVIX extensions)
    Zip,        // ZIP and Office Open XML: entries, central directory, end record + comment
    Pdf,        // the last %%EOF of the file's chain of incremental updates
    Tiff,       // the furthest byte any IFD, value or strip/tile refers to
    Ole,        // compound file: the highest sector the FAT uses
    Sqlite,     // page size x page count
    IsoMedia,   // MP4, MOV, HEIC, M4A: top-level boxes
    Ebml,       // MKV, WebM: the EBML header and the segment's size
    Ogg,        // pages until every logical stream has ended
    SevenZip,   // start header: 32 + next header offset + next header size
    Rar,        // RAR 4 and RAR 5 blocks to the end-of-archive block
    Gzip,       // members: header, deflate stream, trailer
    Mp3,        // ID3v2 tag, MPEG audio frames, optional ID3v1 / APE tag
};

// The walker for a signature record's extension (case-insensitive); None when the
// extension names no structure this program can follow.
FileStructure structureForExtension(std::u16string_view extension);
const char* structureName(FileStructure kind);

// The file's size in bytes, at most limit; nothing when the structure cannot be followed
// (damaged, truncated, or reaching past the limit).
std::optional<std::int64_t> walkFileStructure(FileStructure kind, const ByteReadFn& read, std::int64_t limit);

}  // namespace dravonel
