#include "gui/save_safety.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <unordered_set>
#include <vector>

#include "core/common/formats.h"
#include "core/common/output_file.h"
#include "core/common/text.h"
#include "core/scan/save_walk.h"

namespace dravonel {

bool outputFolderAccepted(const std::filesystem::path& folder, Prompt& prompt) {
    SourceGuard::allowSameDevice(false);
    if (SourceGuard::folderConflict(folder).empty()) return true;
    if (!prompt.question(u"The chosen folder lies on the drive that is being recovered. Writing there can overwrite "
                         u"the very files you want back.\nSave there anyway?"))
        return false;
    SourceGuard::allowSameDevice(true);
    return true;
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
