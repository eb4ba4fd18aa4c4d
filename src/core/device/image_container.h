#pragma once
// Disk images that are not one plain file: raw images split into numbered segments, and
// the container formats of forensic imagers and virtual machines, read through the
// libraries made for them (EnCase E01 sets: libewf; VHD and VHDX: libvhdi; VMDK: libvmdk;
// QCOW2: libqcow). The format is told by the file's signature, never by its name (a
// split raw set has no signature: its segments are known by their numbered names). Every
// file is opened read-only, and every file of a set is recorded with the source guard.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dravonel {

enum class ImageFormat { Raw, SplitRaw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// "raw", "split raw", "E01", "VHD", "VHDX", "VMDK", "QCOW".
const char* imageFormatName(ImageFormat format);

// The format of the file at path by its first and last bytes; a raw file whose name ends
// in ".000", ".001" or ".aa" with its next segment beside it is a split raw set. Raw when
// nothing else fits (devices included).
ImageFormat detectImageFormat(const std::string& path);

// The segments of a split raw set, in order, from the first one's path: "disk.001",
// "disk.002", ... (or .000, .001, ...; or .aa, .ab, ...) for as long as the next is there.
// Just path when it is not the first of such a set.
std::vector<std::string> splitRawSegments(const std::string& path);

class ImageContainer {
public:
    virtual ~ImageContainer() = default;
    ImageFormat format() const { return format_; }
    // Bytes of the media the container holds (not the size of its files).
    std::int64_t mediaBytes() const { return mediaBytes_; }
    // Every file the media is read from: the segments, or the image and its parents.
    const std::vector<std::string>& files() const { return files_; }
    // Reads count bytes at offset of the media into dest. Bytes past the media's end, and
    // bytes whose chunk cannot be read, are zeros and make the answer false. Safe to call
    // from several threads at once.
    virtual bool readAt(std::int64_t offset, std::uint8_t* dest, std::uint32_t count) const = 0;

    // The media's hashes as the imager stored them ("MD5", "SHA1": lower-case hex); none
    // for formats that keep none.
    struct StoredHash {
        std::string name;
        std::string hex;
    };
    virtual std::vector<StoredHash> storedHashes() const { return {}; }
    // What the imager recorded of the acquisition ("Case number", "Examiner", "Notes", ...),
    // the fields that are there, in a fixed order.
    struct Field {
        std::string label;
        std::string value;
    };
    virtual std::vector<Field> acquisitionNotes() const { return {}; }

protected:
    ImageFormat format_ = ImageFormat::Raw;
    std::int64_t mediaBytes_ = 0;
    std::vector<std::string> files_;
};

// Opens path as the container or split set it is. Null with error empty for a plain raw
// file or a device (read directly); null with error set ("PATH: reason", naming a missing
// segment or parent image) when the container cannot be read.
std::unique_ptr<ImageContainer> openImageContainer(const std::string& path, std::string& error);

}  // namespace dravonel
