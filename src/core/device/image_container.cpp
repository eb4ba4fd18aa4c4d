#include "core/device/image_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "core/common/output_file.h"

namespace dravonel {

namespace {

namespace fs = std::filesystem;

// Parents of differencing images are followed this far (a chain that names itself ends).
constexpr int kMaxParents = 16;

bool readFile(int fd, std::int64_t at, std::uint8_t* dest, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd, dest + got, count - got, at + std::int64_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    if (got < count) std::memset(dest + got, 0, count - got);
    return got == count;
}

// Records path with the source guard: nothing written by this process may land on it.
void protectFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    SourceGuard::protect(fd, path);
    ::close(fd);
}

// ---- split raw sets -------------------------------------------------------------------

// The name of the segment after name's, or empty when name ends in no segment number.
std::string nextSegmentName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string ext = name.substr(dot + 1);
    if (ext.size() == 3 && std::all_of(ext.begin(), ext.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int n = (ext[0] - '0') * 100 + (ext[1] - '0') * 10 + (ext[2] - '0') + 1;
        if (n > 999) return {};
        const char text[] = {char('0' + n / 100), char('0' + n / 10 % 10), char('0' + n % 10), '\0'};
        return name.substr(0, dot + 1) + text;
    }
    if (ext.size() == 2 && std::all_of(ext.begin(), ext.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
        if (ext[1] < 'z') ++ext[1];
        else if (ext[0] < 'z') ext = std::string{char(ext[0] + 1), 'a'};
        else return {};
        return name.substr(0, dot + 1) + ext;
    }
    return {};
}

bool isFirstSegmentName(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string ext = name.substr(dot + 1);
    return ext == "000" || ext == "001" || ext == "aa";
}

bool isRegularFile(const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

class SplitRawImage final : public ImageContainer {
public:
    ~SplitRawImage() override {
        for (const Segment& s : segments_) ::close(s.fd);
    }
    bool open(const std::vector<std::string>& paths, std::string& error) {
        format_ = ImageFormat::SplitRaw;
        for (const std::string& p : paths) {
            const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st {};
            if (fd < 0 || ::fstat(fd, &st) != 0) {
                error = p + ": " + std::strerror(errno);
                if (fd >= 0) ::close(fd);
                return false;
            }
            SourceGuard::protect(fd, p);
            segments_.push_back({fd, mediaBytes_, std::int64_t(st.st_size)});
            mediaBytes_ += st.st_size;
            files_.push_back(p);
        }
        return true;
    }
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
        if (offset < 0) return false;
        bool whole = true;
        std::uint32_t done = 0;
        // The segment holding offset: the last one starting at or before it.
        auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                                   [](std::int64_t at, const Segment& s) { return at < s.start; });
        if (it != segments_.begin()) --it;
        while (done < count) {
            const std::int64_t at = offset + done;
            if (it == segments_.end() || at >= it->start + it->bytes) {
                std::memset(dest + done, 0, count - done);  // past the media's end
                return false;
            }
            const std::uint32_t n = std::uint32_t(std::min<std::int64_t>(count - done, it->start + it->bytes - at));
            whole = readFile(it->fd, at - it->start, dest + done, n) && whole;
            done += n;
            ++it;
        }
        return whole;
    }

private:
    struct Segment {
        int fd;
        std::int64_t start;
        std::int64_t bytes;
    };
    std::vector<Segment> segments_;
};

// ---- EnCase E01 sets (libewf) ---------------------------------------------------------

std::string ewfReason(libewf_error_t*& error) {
    char text[512] = {};
    if (error) libewf_error_sprint(error, text, sizeof text);
    libewf_error_free(&error);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? std::string("not a readable EWF image") : reason;
}

class EwfImage final : public ImageContainer {
public:
    ~EwfImage() override {
        if (handle_) {
            libewf_handle_close(handle_, nullptr);
            libewf_handle_free(&handle_, nullptr);
        }
    }
    bool open(const std::string& path, std::string& error) {
        format_ = ImageFormat::Ewf;
        libewf_error_t* e = nullptr;
        char** names = nullptr;
        int count = 0;
        if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &e) != 1) {
            error = path + ": " + ewfReason(e);
            return false;
        }
        for (int i = 0; i < count; ++i) files_.emplace_back(names[i]);
        bool ok = libewf_handle_initialize(&handle_, &e) == 1 &&
                  libewf_handle_open(handle_, names, count, LIBEWF_OPEN_READ, &e) == 1;
        libewf_glob_free(names, count, nullptr);
        size64_t size = 0;
        ok = ok && libewf_handle_get_media_size(handle_, &size, &e) == 1;
        if (!ok) {
            error = path + ": " + ewfReason(e);
            return false;
        }
        mediaBytes_ = size > size64_t(INT64_MAX) ? INT64_MAX : std::int64_t(size);
        // A set that lacks a segment, or whose last segment was cut short, still opens; its
        // chunks there would read as zeros. Refused instead, naming what was found.
        if (libewf_handle_segment_files_corrupted(handle_, &e) != 0) {
            libewf_error_free(&e);
            error = path + ": the set of segment files is incomplete or damaged (found " +
                    std::to_string(files_.size()) + ": " + fs::path(files_.front()).filename().string() + " to " +
                    fs::path(files_.back()).filename().string() + ")";
            return false;
        }
        return true;
    }
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
        return readMedia(offset, dest, count, mediaBytes_, [&](std::uint8_t* to, std::size_t n, std::int64_t at) {
            std::lock_guard<std::mutex> hold(lock_);
            libewf_error_t* e = nullptr;
            const ssize_t got = libewf_handle_read_random(handle_, to, n, at, &e);
            libewf_error_free(&e);
            return got;
        });
    }

    std::vector<StoredHash> storedHashes() const override {
        std::vector<StoredHash> out;
        for (const char* name : {"MD5", "SHA1"}) {
            const std::string hex = value(libewf_handle_get_utf8_hash_value, name);
            if (!hex.empty()) {
                std::string lower = hex;
                for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
                out.push_back({name, lower});
            }
        }
        return out;
    }
    std::vector<Field> acquisitionNotes() const override {
        static const std::pair<const char*, const char*> kFields[] = {
            {"case_number", "Case number"}, {"evidence_number", "Evidence number"},
            {"description", "Description"}, {"examiner_name", "Examiner"},
            {"notes", "Notes"},             {"acquiry_date", "Acquired"},
            {"acquiry_software_version", "Imager version"}, {"model", "Model"},
            {"serial_number", "Serial number"}};
        std::vector<Field> out;
        for (const auto& [id, label] : kFields) {
            const std::string v = value(libewf_handle_get_utf8_header_value, id);
            if (!v.empty()) out.push_back({label, v});
        }
        return out;
    }

    // Reads what lies inside the media through read, zeros after a failure and past the end.
    template <class Read>
    static bool readMedia(std::int64_t offset, std::uint8_t* dest, std::uint32_t count, std::int64_t media, Read read) {
        if (offset < 0) return false;
        std::uint32_t inside = offset >= media ? 0 : std::uint32_t(std::min<std::int64_t>(count, media - offset));
        std::uint32_t done = 0;
        while (done < inside) {
            const ssize_t got = read(dest + done, inside - done, offset + done);
            if (got <= 0) break;
            done += std::uint32_t(got);
        }
        if (done < count) std::memset(dest + done, 0, count - done);
        return done == count;
    }

private:
    // A header or hash value of the set by its identifier; empty when it has none.
    template <class Get>
    std::string value(Get get, const char* id) const {
        std::lock_guard<std::mutex> hold(lock_);
        std::uint8_t text[1024] = {};
        libewf_error_t* e = nullptr;
        const int found = get(handle_, reinterpret_cast<const std::uint8_t*>(id), std::strlen(id), text, sizeof text, &e);
        libewf_error_free(&e);
        if (found != 1) return {};
        text[sizeof text - 1] = 0;
        return reinterpret_cast<const char*>(text);
    }

    libewf_handle_t* handle_ = nullptr;
    mutable std::mutex lock_;
};

// ---- VHD, VHDX, VMDK and QCOW2 (libvhdi, libvmdk, libqcow share one shape) -------------

template <class Handle, class Error>
struct Lib {
    int (*initialize)(Handle**, Error**);
    int (*open)(Handle*, const char*, int, Error**);
    int (*close)(Handle*, Error**);
    int (*free)(Handle**, Error**);
    int (*mediaSize)(Handle*, size64_t*, Error**);
    ssize_t (*read)(Handle*, void*, size_t, off64_t, Error**);
    int (*parentNameSize)(Handle*, size_t*, Error**);
    int (*parentName)(Handle*, uint8_t*, size_t, Error**);
    int (*setParent)(Handle*, Handle*, Error**);
    int (*sprint)(Error*, char*, size_t);
    void (*errorFree)(Error**);
    int openFlags;
    int (*afterOpen)(Handle*, Error**);  // may be null
};

const Lib<libvhdi_file_t, libvhdi_error_t> kVhdi{
    libvhdi_file_initialize, libvhdi_file_open, libvhdi_file_close, libvhdi_file_free,
    libvhdi_file_get_media_size, libvhdi_file_read_buffer_at_offset, libvhdi_file_get_utf8_parent_filename_size,
    libvhdi_file_get_utf8_parent_filename, libvhdi_file_set_parent_file, libvhdi_error_sprint, libvhdi_error_free,
    LIBVHDI_OPEN_READ, nullptr};
const Lib<libvmdk_handle_t, libvmdk_error_t> kVmdk{
    libvmdk_handle_initialize, libvmdk_handle_open, libvmdk_handle_close, libvmdk_handle_free,
    libvmdk_handle_get_media_size, libvmdk_handle_read_buffer_at_offset, libvmdk_handle_get_utf8_parent_filename_size,
    libvmdk_handle_get_utf8_parent_filename, libvmdk_handle_set_parent_handle, libvmdk_error_sprint, libvmdk_error_free,
    LIBVMDK_OPEN_READ, libvmdk_handle_open_extent_data_files};
const Lib<libqcow_file_t, libqcow_error_t> kQcow{
    libqcow_file_initialize, libqcow_file_open, libqcow_file_close, libqcow_file_free,
    libqcow_file_get_media_size, libqcow_file_read_buffer_at_offset, libqcow_file_get_utf8_backing_filename_size,
    libqcow_file_get_utf8_backing_filename, libqcow_file_set_parent_file, libqcow_error_sprint, libqcow_error_free,
    LIBQCOW_OPEN_READ, nullptr};

template <class Handle, class Error>
class LibImage final : public ImageContainer {
public:
    LibImage(const Lib<Handle, Error>& lib, ImageFormat format) : lib_(lib) { format_ = format; }
    ~LibImage() override {
        // The child first: it reads through its parents.
        for (Handle*& h : handles_) {
            lib_.close(h, nullptr);
            lib_.free(&h, nullptr);
        }
    }
    bool open(const std::string& path, std::string& error) {
        std::string current = path;
        for (int depth = 0; depth <= kMaxParents; ++depth) {
            Handle* h = nullptr;
            Error* e = nullptr;
            if (lib_.initialize(&h, &e) != 1) {
                error = current + ": " + reason(e);
                return false;
            }
            handles_.push_back(h);
            files_.push_back(current);
            if (lib_.open(h, current.c_str(), lib_.openFlags, &e) != 1 || (lib_.afterOpen && lib_.afterOpen(h, &e) != 1)) {
                error = current + ": " + reason(e);
                return false;
            }
            if (handles_.size() > 1 && lib_.setParent(handles_[handles_.size() - 2], h, &e) != 1) {
                error = files_[files_.size() - 2] + ": " + reason(e);
                return false;
            }
            const std::string parent = parentName(h);
            if (parent.empty()) break;
            // A parent is looked for beside its child, by its own file name (the path the
            // child records is the path on the machine that made it).
            const std::size_t cut = parent.find_last_of("/\\");
            const std::string beside =
                (fs::path(current).parent_path() / (cut == std::string::npos ? parent : parent.substr(cut + 1))).string();
            if (!isRegularFile(beside)) {
                error = current + ": its parent image " + parent + " is not beside it (looked for " + beside + ")";
                return false;
            }
            if (std::find(files_.begin(), files_.end(), beside) != files_.end() || depth == kMaxParents) {
                error = current + ": its chain of parent images does not end";
                return false;
            }
            current = beside;
        }
        size64_t size = 0;
        Error* e = nullptr;
        if (lib_.mediaSize(handles_.front(), &size, &e) != 1) {
            error = path + ": " + reason(e);
            return false;
        }
        mediaBytes_ = size > size64_t(INT64_MAX) ? INT64_MAX : std::int64_t(size);
        return true;
    }
    bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const override {
        return EwfImage::readMedia(offset, dest, count, mediaBytes_, [&](std::uint8_t* to, std::size_t n, std::int64_t at) {
            std::lock_guard<std::mutex> hold(lock_);
            Error* e = nullptr;
            const ssize_t got = lib_.read(handles_.front(), to, n, at, &e);
            lib_.errorFree(&e);
            return got;
        });
    }

private:
    std::string reason(Error*& e) const {
        char text[512] = {};
        if (e) lib_.sprint(e, text, sizeof text);
        lib_.errorFree(&e);
        std::string r(text);
        while (!r.empty() && (r.back() == '\n' || r.back() == ' ')) r.pop_back();
        return r.empty() ? std::string("not a readable ") + imageFormatName(format_) + " image" : r;
    }
    std::string parentName(Handle* h) const {
        size_t size = 0;
        Error* e = nullptr;
        if (lib_.parentNameSize(h, &size, &e) != 1 || size <= 1 || size > 65536) {
            lib_.errorFree(&e);
            return {};
        }
        std::string name(size, '\0');
        if (lib_.parentName(h, reinterpret_cast<uint8_t*>(name.data()), size, &e) != 1) {
            lib_.errorFree(&e);
            return {};
        }
        name.resize(std::strlen(name.c_str()));
        return name;
    }

    const Lib<Handle, Error>& lib_;
    std::vector<Handle*> handles_;  // the image, then its parents
    mutable std::mutex lock_;
};

template <class Handle, class Error>
std::unique_ptr<ImageContainer> openLib(const Lib<Handle, Error>& lib, ImageFormat format, const std::string& path,
                                        std::string& error) {
    auto image = std::make_unique<LibImage<Handle, Error>>(lib, format);
    if (!image->open(path, error)) return nullptr;
    return image;
}

}  // namespace

const char* imageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::Raw: return "raw";
        case ImageFormat::SplitRaw: return "split raw";
        case ImageFormat::Ewf: return "E01";
        case ImageFormat::Vhd: return "VHD";
        case ImageFormat::Vhdx: return "VHDX";
        case ImageFormat::Vmdk: return "VMDK";
        case ImageFormat::Qcow: return "QCOW";
    }
    return "raw";
}

std::vector<std::string> splitRawSegments(const std::string& path) {
    std::vector<std::string> segments{path};
    if (!isFirstSegmentName(path)) return segments;
    for (std::string next = nextSegmentName(path); !next.empty() && isRegularFile(next); next = nextSegmentName(next))
        segments.push_back(next);
    return segments;
}

ImageFormat detectImageFormat(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ImageFormat::Raw;
    struct stat st {};
    std::uint8_t head[512] = {}, tail[512] = {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular) {
        readFile(fd, 0, head, sizeof head);
        if (st.st_size >= 512) readFile(fd, st.st_size - 512, tail, sizeof tail);
    }
    ::close(fd);
    if (!regular) return ImageFormat::Raw;
    auto at = [](const std::uint8_t* b, const char* text, std::size_t n) { return std::memcmp(b, text, n) == 0; };
    if (at(head, "EVF\x09\x0D\x0A\xFF\x00", 8) || at(head, "LVF\x09\x0D\x0A\xFF\x00", 8)) return ImageFormat::Ewf;
    if (at(head, "vhdxfile", 8)) return ImageFormat::Vhdx;
    // A dynamic VHD starts with a copy of its footer; a fixed one has it only at its end.
    if (at(head, "conectix", 8) || at(tail, "conectix", 8)) return ImageFormat::Vhd;
    if (at(head, "KDMV", 4) || at(head, "COWD", 4) || at(head, "# Disk DescriptorFile", 21)) return ImageFormat::Vmdk;
    if (at(head, "QFI\xFB", 4)) return ImageFormat::Qcow;
    if (splitRawSegments(path).size() > 1) return ImageFormat::SplitRaw;
    return ImageFormat::Raw;
}

std::unique_ptr<ImageContainer> openImageContainer(const std::string& path, std::string& error) {
    error.clear();
    std::unique_ptr<ImageContainer> image;
    switch (detectImageFormat(path)) {
        case ImageFormat::Raw: return nullptr;
        case ImageFormat::SplitRaw: {
            auto split = std::make_unique<SplitRawImage>();
            if (split->open(splitRawSegments(path), error)) image = std::move(split);
            break;
        }
        case ImageFormat::Ewf: {
            auto ewf = std::make_unique<EwfImage>();
            if (ewf->open(path, error)) image = std::move(ewf);
            break;
        }
        case ImageFormat::Vhd: image = openLib(kVhdi, ImageFormat::Vhd, path, error); break;
        case ImageFormat::Vhdx: image = openLib(kVhdi, ImageFormat::Vhdx, path, error); break;
        case ImageFormat::Vmdk: image = openLib(kVmdk, ImageFormat::Vmdk, path, error); break;
        case ImageFormat::Qcow: image = openLib(kQcow, ImageFormat::Qcow, path, error); break;
    }
    if (!image) {
        if (error.empty()) error = path + ": cannot be read";
        return nullptr;
    }
    for (const std::string& f : image->files()) protectFile(f);
    return image;
}

}  // namespace dravonel
