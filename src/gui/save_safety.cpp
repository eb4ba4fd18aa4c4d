#include "gui/save_safety.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <unordered_set>
#include <vector>

#include "core/common/formats.h"
#include "core/common/text.h"
#include "core/scan/save_walk.h"

namespace dravonel {

namespace {

// "MAJ:MIN" of a /sys/class/block/<name>/dev file.
std::optional<dev_t> sysDevNumber(const std::filesystem::path& devFile) {
    std::ifstream in(devFile);
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(in >> major >> colon >> minor) || colon != ':') return std::nullopt;
    return makedev(major, minor);
}

// The device numbers of the partitions of the whole disk with number disk: the
// sub-folders of its /sys/dev/block entry that carry a "partition" file.
std::vector<dev_t> partitionsOf(dev_t disk) {
    std::vector<dev_t> out;
    std::error_code ec;
    const std::filesystem::path sys =
        "/sys/dev/block/" + std::to_string(major(disk)) + ":" + std::to_string(minor(disk));
    for (std::filesystem::directory_iterator it(sys, ec), end; !ec && it != end; it.increment(ec)) {
        if (!std::filesystem::exists(it->path() / "partition", ec)) continue;
        if (auto d = sysDevNumber(it->path() / "dev")) out.push_back(*d);
    }
    return out;
}

}  // namespace

bool folderIsOnSource(const std::filesystem::path& folder, const std::string& source) {
    struct stat f {}, s {};
    if (::stat(folder.c_str(), &f) != 0 || ::stat(source.c_str(), &s) != 0) return false;
    if (S_ISREG(s.st_mode)) return f.st_dev == s.st_dev;
    if (!S_ISBLK(s.st_mode)) return false;
    if (f.st_dev == s.st_rdev) return true;
    for (dev_t p : partitionsOf(s.st_rdev))
        if (f.st_dev == p) return true;
    return false;
}

std::optional<std::uint64_t> freeBytesAt(const std::filesystem::path& folder) {
    struct statvfs v {};
    if (::statvfs(folder.c_str(), &v) != 0) return std::nullopt;
    const std::uint64_t unit = v.f_frsize ? v.f_frsize : v.f_bsize;
    return static_cast<std::uint64_t>(v.f_bavail) * unit;
}

namespace {

class ByteCounter {
public:
    explicit ByteCounter(const RecoveredVolume& volume) : volume_(volume) {}
    // Files of a folder record and everything below it; folders on the way down are not
    // entered again and the depth is bounded as the save walk bounds it.
    void addRecords(EntryRef folder, int depth = 0) {
        if (depth > kMaxFolderDepth || !descent_.insert(folder).second) return;
        volume_.forEachChild(folder, [&](EntryRef child) {
            if (volume_.isFolder(child)) addRecords(child, depth + 1);
            else add(child);
            return true;
        });
        descent_.erase(folder);
    }
    void add(EntryRef file) {
        if (!volume_.isNeverSaved(file)) total += volume_.sizeBytes(file);
    }
    std::uint64_t total = 0;

private:
    const RecoveredVolume& volume_;
    std::unordered_set<EntryRef> descent_;
};

}  // namespace

std::uint64_t markedBytes(const CTriStateTree& tree, const RecoveredVolume& volume, const FileList* list) {
    ByteCounter counter(volume);
    // The save walk's order: a checked folder still holding its placeholder is saved from
    // the records, every other folder is walked item by item.
    std::vector<TreeItem> stack;
    if (tree.root() != kNoItem) stack.push_back(tree.root());
    while (!stack.empty()) {
        const TreeItem item = stack.back();
        stack.pop_back();
        for (TreeItem c = tree.firstChild(item); c != kNoItem; c = tree.nextSibling(c)) {
            if (tree.isPlaceholder(c)) continue;
            const TreeItem first = tree.firstChild(c);
            const EntryRef ref = tree.itemData(c);
            if (first != kNoItem) {
                if (tree.getCheck(c) && tree.isPlaceholder(first)) {
                    if (volume.isValidEntry(ref) && volume.isFolder(ref)) counter.addRecords(ref);
                } else {
                    stack.push_back(c);
                }
            } else if (tree.getCheck(c) && volume.isValidEntry(ref) && !volume.isFolder(ref)) {
                counter.add(ref);
            }
        }
    }
    if (list && list->listShowsSearch)
        for (const auto& row : list->rows)
            if (row.checked && volume.isValidEntry(row.entry)) counter.add(row.entry);
    return counter.total;
}

std::u16string sizeText(std::uint64_t bytes) { return formatSize(static_cast<std::int64_t>(bytes)); }

}  // namespace dravonel

#include "gui/pages/drive_parsing_modes.h"
#include "gui/wizard.h"

namespace dravonel {

std::string sourcePathOf(const WizardPage& page, const VolumeRecord& volume) {
    for (const WizardPage* p = &page; p; p = p->opener())
        if (const auto* modes = dynamic_cast<const DriveParsingModes*>(p)) return modes->devicePath();
    if (page.state().volumeChosen) return toUtf8(volume.name);
    return {};
}

}  // namespace dravonel
