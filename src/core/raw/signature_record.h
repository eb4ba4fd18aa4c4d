#pragma once
// Signature records and signature files. A signature file is a plain sequence of 171-byte
// binary records, no header and no trailer; each record describes one file type for the
// carving engine: its starting signature (magic bytes at a file's start), an optional
// ending signature, optional size-field rules and the category its files are shown under.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/common/platform.h"

namespace dravonel {

// Record layout: little-endian, no padding, every field at a fixed offset.
namespace signature_record {
constexpr std::size_t kSize = 171;
constexpr std::size_t kExtension = 0;             // 10 bytes: UTF-16, at most 4 characters, zero-padded
constexpr std::size_t kExtensionLength = 10;      // u8: characters typed
constexpr std::size_t kStartSignature = 11;       // 10 bytes
constexpr std::size_t kEndSignature = 21;         // 10 bytes, unused bytes zero
constexpr std::size_t kStartLength = 31;          // u8: 1..10
constexpr std::size_t kEndLength = 32;            // u8: 0..10, 0 = no ending signature
constexpr std::size_t kOrdinal = 33;              // u8: records already in the file when written
constexpr std::size_t kOffsetToSize = 34;         // s32: byte offset of the size field, -1 = none
constexpr std::size_t kBytesInSize = 38;          // s32: width of the size field in bytes
constexpr std::size_t kHeaderSize = 42;           // s32: header bytes
constexpr std::size_t kSizeIncludesHeader = 46;   // u8: 1 = the stored size counts the header
constexpr std::size_t kReserved1 = 47;            // u32: always 0
constexpr std::size_t kApproxFileSize = 51;       // s64: bytes
constexpr std::size_t kSizeToSkip = 59;           // s64: bytes
constexpr std::size_t kCategory = 67;             // 100 bytes: UTF-16, up to 50 characters, zero-padded
constexpr std::size_t kReserved2 = 167;           // u32: always 0

constexpr std::size_t kMaxSignatureBytes = 10;
constexpr std::size_t kStoredExtensionChars = 4;
constexpr std::size_t kMaxCategoryChars = 50;
constexpr std::int32_t kMaxBytesInSize = 8;
// A signature file longer than this is not a signature file.
constexpr std::int64_t kMaxFileBytes = 1048576;
}  // namespace signature_record

struct SignatureRecord {
    std::u16string extension;            // the stored characters (at most 4)
    std::uint8_t extensionLength = 0;    // characters typed (may exceed the 4 stored)
    std::array<std::uint8_t, 10> startSignature{};
    std::array<std::uint8_t, 10> endSignature{};
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::uint8_t ordinal = 255;          // 255 in a fresh record
    std::int32_t offsetToSizeBytes = -1; // -1 = no size field
    std::int32_t bytesInSize = 0;
    std::int32_t headerSize = 0;
    std::uint8_t sizeIncludesHeader = 0;
    std::int64_t approxFileSize = 0;     // bytes
    std::int64_t sizeToSkip = 0;         // bytes
    std::u16string category;             // up to 50 characters

    bool operator==(const SignatureRecord&) const = default;
};

// The 171 bytes of a record, field by field. Texts longer than their field are cut to
// it (4 extension characters, 50 category characters); the builder refuses such input
// before it gets here.
std::array<std::uint8_t, signature_record::kSize> encodeSignatureRecord(const SignatureRecord& record);
// A record from 171 bytes. The extension is the stored text of the typed length, at most
// four characters; the category ends at its first zero character.
SignatureRecord decodeSignatureRecord(std::span<const std::uint8_t, signature_record::kSize> bytes);

// One entry of the carving engine's signature list: a loaded record and its index.
struct SignatureEntry {
    SignatureRecord record;
    std::int64_t index = 0;
};

// What the settings dialog's edits hold when Save is pressed; numbers are decimal texts,
// signatures comma-separated hexadecimal bytes with or without 0x.
struct SignatureForm {
    std::u16string extension;
    std::u16string startSignature;
    std::u16string endSignature;
    std::u16string offsetToSizeBytes;
    std::u16string bytesInSize;
    std::u16string headerSize;
    bool sizeIncludesHeader = false;
    std::u16string sizeToSkip;
    std::u16string approxFileSize;
    std::u16string category;
};

// Outcome of building a record from the form: the record, or the message that refuses it.
struct BuiltRecord {
    std::optional<SignatureRecord> record;
    std::u16string message;  // the refusal text; empty when built
};

// Parses comma-separated hexadecimal bytes ("0x89,0x50" or "89,50"); empty pieces are
// skipped and each piece gives its low byte. Nothing when a piece is not a hexadecimal
// number.
std::optional<std::vector<std::uint8_t>> parseSignatureBytes(std::u16string_view text);

// Builds a record as the dialog's Save does, with `ordinal` as the record's ordinal.
// Refuses with "extention length is zero..", "signature length is zero..", or a plain
// message when a signature has more than 10 bytes, a byte is not hexadecimal, the size
// field is wider than 8 bytes or the category has more than 50 characters.
BuiltRecord buildSignatureRecord(const SignatureForm& form, std::uint8_t ordinal);

// Appends a record built from the form to the signature file at path (created when
// missing), with ordinal = records already in the file. Shows the refusal text, "file
// can not be created" or "everything initialized well....." through the prompt. True
// when the record was written.
bool appendSignatureRecord(const std::filesystem::path& path, const SignatureForm& form, Prompt* prompt);

// Writes records as a new signature file (created or emptied), numbering their ordinals
// 0, 1, 2 ... False when the file cannot be written.
bool writeSignatureFile(const std::filesystem::path& path, const std::vector<SignatureRecord>& records);

enum class SignatureFileStatus { Loaded, CannotOpen, NotValid };

// Reads one signature file. The number of records is the last record's ordinal + 1 (all
// whole records when the ordinal byte has wrapped past 255), never more records than the
// file holds. Valid when 171 to 1 048 576 bytes long and every record's signature lengths
// are at most 10 and its size field at most 8 bytes wide. Entries are indexed by their
// place in the file plus indexBase.
SignatureFileStatus readSignatureFile(const std::filesystem::path& path, std::int64_t indexBase,
                                      std::vector<SignatureEntry>& entries);

// What a Parse loads: the default file when wanted, then the user's file when named.
struct SignatureSources {
    bool loadDefault = true;
    std::filesystem::path defaultPath;  // "FileSetting.txt" beside the executable
    std::vector<std::filesystem::path> userPaths;
};

// Loads the sources in order and appends their entries to list. A default file that
// cannot be opened is skipped silently; an invalid one shows "not a valid file.." and is
// skipped. A user file that cannot be opened shows "can not open file", an invalid one
// "not a valid file.."; either ends the loading with false. defaultCount is the running
// count of default entries loaded by earlier Parses (their index base); it grows by the
// entries loaded from the default file.
bool loadSignatureSources(const SignatureSources& sources, std::int64_t& defaultCount,
                          std::vector<SignatureEntry>& list, Prompt* prompt);

// The default signature file: beside the running executable (a build folder), or else in
// ../share/dravonel/ from it (an installed package).
std::filesystem::path defaultSignatureFilePath();

}  // namespace dravonel
