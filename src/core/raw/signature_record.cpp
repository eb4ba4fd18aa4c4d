#include "core/common/file_output.h"
#include "core/raw/signature_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "core/common/byte_reader.h"
#include "core/common/text.h"

namespace dravonel {

namespace sr = signature_record;

namespace {

void put16(std::uint8_t* p, std::size_t at, std::uint16_t v) {
    p[at] = std::uint8_t(v);
    p[at + 1] = std::uint8_t(v >> 8);
}
void put32(std::uint8_t* p, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[at + i] = std::uint8_t(v >> (8 * i));
}
void put64(std::uint8_t* p, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[at + i] = std::uint8_t(v >> (8 * i));
}

// The leading decimal number of an edit's text (white space, an optional sign, digits),
// 0 when there is none; saturates instead of overflowing.
std::int64_t decimalValue(std::u16string_view text) {
    const std::u16string t = trim(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) negative = t[i++] == u'-';
    std::int64_t v = 0;
    for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9'; ++i) {
        const int d = t[i] - u'0';
        if (v > (INT64_MAX - d) / 10) return negative ? INT64_MIN : INT64_MAX;
        v = v * 10 + d;
    }
    return negative ? -v : v;
}

bool fitsInt32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }


bool readAll(int fd, std::uint8_t* data, std::size_t count, off_t at) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd, data + got, count - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::array<std::uint8_t, sr::kSize> encodeSignatureRecord(const SignatureRecord& r) {
    std::array<std::uint8_t, sr::kSize> out{};
    std::uint8_t* p = out.data();
    const std::size_t extChars = std::min(r.extension.size(), sr::kStoredExtensionChars);
    for (std::size_t i = 0; i < extChars; ++i) put16(p, sr::kExtension + 2 * i, r.extension[i]);
    p[sr::kExtensionLength] = r.extensionLength;
    std::memcpy(p + sr::kStartSignature, r.startSignature.data(), sr::kMaxSignatureBytes);
    std::memcpy(p + sr::kEndSignature, r.endSignature.data(), sr::kMaxSignatureBytes);
    p[sr::kStartLength] = r.startLength;
    p[sr::kEndLength] = r.endLength;
    p[sr::kOrdinal] = r.ordinal;
    put32(p, sr::kOffsetToSize, static_cast<std::uint32_t>(r.offsetToSizeBytes));
    put32(p, sr::kBytesInSize, static_cast<std::uint32_t>(r.bytesInSize));
    put32(p, sr::kHeaderSize, static_cast<std::uint32_t>(r.headerSize));
    p[sr::kSizeIncludesHeader] = r.sizeIncludesHeader;
    put32(p, sr::kReserved1, 0);
    put64(p, sr::kApproxFileSize, static_cast<std::uint64_t>(r.approxFileSize));
    put64(p, sr::kSizeToSkip, static_cast<std::uint64_t>(r.sizeToSkip));
    const std::size_t catChars = std::min(r.category.size(), sr::kMaxCategoryChars);
    for (std::size_t i = 0; i < catChars; ++i) put16(p, sr::kCategory + 2 * i, r.category[i]);
    put32(p, sr::kReserved2, 0);
    return out;
}

SignatureRecord decodeSignatureRecord(std::span<const std::uint8_t, sr::kSize> bytes) {
    const std::uint8_t* p = bytes.data();
    SignatureRecord r;
    r.extensionLength = p[sr::kExtensionLength];
    const std::size_t extChars = std::min<std::size_t>(r.extensionLength, sr::kStoredExtensionChars);
    r.extension = fromUtf16Le(p + sr::kExtension, extChars);
    std::memcpy(r.startSignature.data(), p + sr::kStartSignature, sr::kMaxSignatureBytes);
    std::memcpy(r.endSignature.data(), p + sr::kEndSignature, sr::kMaxSignatureBytes);
    r.startLength = p[sr::kStartLength];
    r.endLength = p[sr::kEndLength];
    r.ordinal = p[sr::kOrdinal];
    r.offsetToSizeBytes = static_cast<std::int32_t>(le32(p, sr::kOffsetToSize));
    r.bytesInSize = static_cast<std::int32_t>(le32(p, sr::kBytesInSize));
    r.headerSize = static_cast<std::int32_t>(le32(p, sr::kHeaderSize));
    r.sizeIncludesHeader = p[sr::kSizeIncludesHeader];
    r.approxFileSize = static_cast<std::int64_t>(le64(p, sr::kApproxFileSize));
    r.sizeToSkip = static_cast<std::int64_t>(le64(p, sr::kSizeToSkip));
    std::size_t catChars = 0;
    while (catChars < sr::kMaxCategoryChars && le16(p, sr::kCategory + 2 * catChars) != 0) ++catChars;
    r.category = fromUtf16Le(p + sr::kCategory, catChars);
    return r;
}

std::optional<std::vector<std::uint8_t>> parseSignatureBytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find(u',', begin);
        if (end == std::u16string_view::npos) end = text.size();
        const std::u16string piece = trim(text.substr(begin, end - begin));
        begin = end + 1;
        if (piece.empty()) continue;
        std::size_t i = 0;
        if (piece.size() > 2 && piece[0] == u'0' && (piece[1] == u'x' || piece[1] == u'X')) i = 2;
        if (i == piece.size()) return std::nullopt;
        std::uint64_t v = 0;
        for (; i < piece.size(); ++i) {
            const char16_t c = piece[i];
            int d;
            if (c >= u'0' && c <= u'9') d = c - u'0';
            else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
            else return std::nullopt;
            v = ((v << 4) | std::uint64_t(d)) & 0xFFFFFFFFull;  // only the low byte is kept
        }
        bytes.push_back(std::uint8_t(v & 0xFF));
    }
    return bytes;
}

BuiltRecord buildSignatureRecord(const SignatureForm& form, std::uint8_t ordinal) {
    BuiltRecord out;
    SignatureRecord r;  // fresh: ordinal 255, no size field
    r.ordinal = ordinal;

    if (form.extension.empty()) {
        out.message = u"extention length is zero..";
        return out;
    }
    r.extension = form.extension.substr(0, sr::kStoredExtensionChars);
    r.extensionLength = static_cast<std::uint8_t>(std::min<std::size_t>(form.extension.size(), 255));

    const auto start = parseSignatureBytes(form.startSignature);
    if (!start) {
        out.message = u"starting signature must be hexadecimal bytes separated by commas..";
        return out;
    }
    if (start->empty()) {
        out.message = u"signature length is zero..";
        return out;
    }
    if (start->size() > sr::kMaxSignatureBytes) {
        out.message = u"starting signature is longer than 10 bytes..";
        return out;
    }
    const auto end = parseSignatureBytes(form.endSignature);
    if (!end) {
        out.message = u"ending signature must be hexadecimal bytes separated by commas..";
        return out;
    }
    if (end->size() > sr::kMaxSignatureBytes) {
        out.message = u"ending signature is longer than 10 bytes..";
        return out;
    }
    std::copy(start->begin(), start->end(), r.startSignature.begin());
    r.startLength = static_cast<std::uint8_t>(start->size());
    std::copy(end->begin(), end->end(), r.endSignature.begin());
    r.endLength = static_cast<std::uint8_t>(end->size());

    const std::int64_t offset = decimalValue(form.offsetToSizeBytes);
    const std::int64_t width = decimalValue(form.bytesInSize);
    const std::int64_t header = decimalValue(form.headerSize);
    if (!fitsInt32(offset) || !fitsInt32(width) || !fitsInt32(header)) {
        out.message = u"size offset, size bytes and header size must fit in 32 bits..";
        return out;
    }
    if (width > sr::kMaxBytesInSize) {
        out.message = u"number of bytes in size can not be more than 8..";
        return out;
    }
    if (offset > 0) r.offsetToSizeBytes = static_cast<std::int32_t>(offset);
    r.bytesInSize = static_cast<std::int32_t>(width);
    r.headerSize = static_cast<std::int32_t>(header);
    r.sizeIncludesHeader = form.sizeIncludesHeader ? 1 : 0;
    r.sizeToSkip = decimalValue(form.sizeToSkip);
    r.approxFileSize = decimalValue(form.approxFileSize);

    if (form.category.size() > sr::kMaxCategoryChars) {
        out.message = u"category name is longer than 50 characters..";
        return out;
    }
    if (!form.category.empty()) r.category = form.category;
    out.record = std::move(r);
    return out;
}

bool appendSignatureRecord(const std::filesystem::path& path, const SignatureForm& form, Prompt* prompt) {
    auto say = [prompt](std::u16string_view text) {
        if (prompt) prompt->message(text);
    };
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        say(u"file can not be created");
        return false;
    }
    struct stat st {};
    const std::int64_t length = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    const BuiltRecord built = buildSignatureRecord(form, static_cast<std::uint8_t>(length / sr::kSize));
    if (!built.record) {
        ::close(fd);
        say(built.message);
        return false;
    }
    const auto bytes = encodeSignatureRecord(*built.record);
    bool ok = ::lseek(fd, 0, SEEK_END) >= 0 && writeAll(fd, bytes.data(), bytes.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        say(u"file can not be created");
        return false;
    }
    say(u"everything initialized well.....");
    return true;
}

bool writeSignatureFile(const std::filesystem::path& path, const std::vector<SignatureRecord>& records) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t i = 0; i < records.size() && ok; ++i) {
        SignatureRecord r = records[i];
        r.ordinal = static_cast<std::uint8_t>(i);
        const auto bytes = encodeSignatureRecord(r);
        ok = writeAll(fd, bytes.data(), bytes.size());
    }
    return (::close(fd) == 0) && ok;
}

SignatureFileStatus readSignatureFile(const std::filesystem::path& path, std::int64_t indexBase,
                                      std::vector<SignatureEntry>& entries) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return SignatureFileStatus::CannotOpen;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return SignatureFileStatus::CannotOpen;
    }
    const std::int64_t length = st.st_size;
    if (length < static_cast<std::int64_t>(sr::kSize) || length > sr::kMaxFileBytes) {
        ::close(fd);
        return SignatureFileStatus::NotValid;
    }
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    const bool read = readAll(fd, data.data(), data.size(), 0);
    ::close(fd);
    if (!read) return SignatureFileStatus::NotValid;

    // The count comes from the last record: its ordinal + 1. The ordinal is one byte, so
    // a file of more than 256 records has wrapped; when the last ordinal agrees with the
    // file's whole records modulo 256, all of them are read. Never more than the file holds.
    const std::int64_t wholeRecords = length / static_cast<std::int64_t>(sr::kSize);
    // The last whole record: bytes after it (a partly written record) are left alone.
    const std::uint8_t lastOrdinal = data[static_cast<std::size_t>(wholeRecords - 1) * sr::kSize + sr::kOrdinal];
    std::int64_t count = std::int64_t(lastOrdinal) + 1;
    if (((wholeRecords - 1) & 0xFF) == lastOrdinal) count = wholeRecords;
    count = std::min(count, wholeRecords);

    std::vector<SignatureEntry> loaded;
    loaded.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        std::span<const std::uint8_t, sr::kSize> bytes(data.data() + i * sr::kSize, sr::kSize);
        SignatureRecord r = decodeSignatureRecord(bytes);
        // A signature longer than its 10-byte field, or a size field wider than 8 bytes,
        // is a damaged record: the file is not a signature file.
        if (r.startLength > sr::kMaxSignatureBytes || r.endLength > sr::kMaxSignatureBytes ||
            r.bytesInSize > sr::kMaxBytesInSize)
            return SignatureFileStatus::NotValid;
        // Offset to size bytes counts only when above 0.
        if (r.offsetToSizeBytes <= 0) r.offsetToSizeBytes = -1;
        loaded.push_back(SignatureEntry{std::move(r), indexBase + i});
    }
    entries.insert(entries.end(), std::make_move_iterator(loaded.begin()), std::make_move_iterator(loaded.end()));
    return SignatureFileStatus::Loaded;
}

bool loadSignatureSources(const SignatureSources& sources, std::int64_t& defaultCount,
                          std::vector<SignatureEntry>& list, Prompt* prompt) {
    auto say = [prompt](std::u16string_view text) {
        if (prompt) prompt->message(text);
    };
    if (sources.loadDefault) {
        const std::size_t before = list.size();
        switch (readSignatureFile(sources.defaultPath, defaultCount, list)) {
            case SignatureFileStatus::Loaded: defaultCount += static_cast<std::int64_t>(list.size() - before); break;
            case SignatureFileStatus::CannotOpen: break;  // no default file: nothing to add
            case SignatureFileStatus::NotValid: say(u"not a valid file.."); break;
        }
    }
    for (const auto& user : sources.userPaths) {
        if (user.empty()) continue;
        switch (readSignatureFile(user, 0, list)) {
            case SignatureFileStatus::Loaded: break;
            case SignatureFileStatus::CannotOpen: say(u"can not open file"); return false;
            case SignatureFileStatus::NotValid: say(u"not a valid file.."); return false;
        }
    }
    return true;
}

std::filesystem::path defaultSignatureFilePath() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "FileSetting.txt";
    // Beside the program in the build folder; under share/ when installed.
    const std::filesystem::path beside = exe.parent_path() / "FileSetting.txt";
    const std::filesystem::path installed = exe.parent_path().parent_path() / "share" / "dravonel" / "FileSetting.txt";
    if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(installed, ec)) return installed;
    return beside;
}

}  // namespace dravonel
