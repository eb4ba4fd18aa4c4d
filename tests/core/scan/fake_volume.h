#pragma once
// An in-memory volume for the walks over the result tree: entries with names, folders,
// deleted marks and file contents, linked like a parser links them.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/model/recovered_volume.h"
#include "core/model/scan_parser.h"
#include "core/model/tri_state_tree.h"

namespace dravonel::test {

// Also a ScanParser: its run answers what onRun answers (Completed by default), so a
// scan can be driven over it.
class FakeVolume final : public ScanParser {
public:
    struct Entry {
        std::u16string name;
        bool folder = false;
        bool deleted = false;
        bool neverSaved = false;
        std::string data;
        std::vector<EntryRef> children;
        // Bytes after data that "could not be read": written as unreadable, the file damaged.
        std::uint64_t unreadableBytes = 0;
        // The write fails (as on a full disk).
        bool failWrite = false;
    };
    // Entry refs start at 1; ref 1 is the root folder ".".
    FakeVolume() {
        Entry root;
        root.name = u".";
        root.folder = true;
        entries_.push_back(root);
    }

    EntryRef add(EntryRef parent, std::u16string name, bool folder, std::string data = {}, bool deleted = false) {
        entries_.push_back({std::move(name), folder, deleted, false, std::move(data), {}, 0});
        const EntryRef ref = entries_.size();
        entries_[parent - 1].children.push_back(ref);
        return ref;
    }
    EntryRef folder(EntryRef parent, std::u16string name, bool deleted = false) {
        return add(parent, std::move(name), true, {}, deleted);
    }
    EntryRef file(EntryRef parent, std::u16string name, std::string data, bool deleted = false) {
        return add(parent, std::move(name), false, std::move(data), deleted);
    }
    Entry& at(EntryRef ref) { return entries_[ref - 1]; }
    static constexpr EntryRef kRoot = 1;

    bool isValidEntry(EntryRef ref) const override { return ref >= 1 && ref <= entries_.size(); }
    bool isFolder(EntryRef ref) const override { return entries_[ref - 1].folder; }
    bool hasChildren(EntryRef ref) const override { return !entries_[ref - 1].children.empty(); }
    bool isDeleted(EntryRef ref) const override { return entries_[ref - 1].deleted; }
    bool isNeverSaved(EntryRef ref) const override { return entries_[ref - 1].neverSaved; }
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override {
        for (EntryRef c : entries_[folder - 1].children)
            if (!visit(c)) return;
    }
    std::u16string name(EntryRef ref) const override { return entries_[ref - 1].name; }
    std::uint64_t sizeBytes(EntryRef ref) const override { return entries_[ref - 1].data.size(); }
    EntryTexts texts(EntryRef ref) const override {
        return {u"01/02/2024  10:00 AM", u"01/02/2024  10:00 AM", u"01/02/2024  10:00 AM", u"A",
                u16(std::to_string(sizeBytes(ref)) + " Bytes")};
    }
    EntryTimes times(EntryRef) const override { return {}; }
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override {
        saved.push_back(ref);
        const std::string& data = entries_[ref - 1].data;
        const Entry& e = entries_[ref - 1];
        bool ok = !e.failWrite && out.write(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        if (ok && e.unreadableBytes) ok = out.writeUnreadable(e.unreadableBytes);
        if (afterSave) afterSave(ref);
        if (!ok) return SaveStatus::Failed;
        return e.unreadableBytes ? SaveStatus::Damaged : SaveStatus::Saved;
    }
    StopFlag& stopFlag() override { return stop_; }
    bool supportsMode(RecoveryMode mode) const override {
        return mode == RecoveryMode::Standard || mode == RecoveryMode::Deep ||
               (advancedRoad && mode == RecoveryMode::Advanced);
    }
    ScanOutcome run(RecoveryMode mode) override { return onRun ? onRun(mode) : ScanOutcome::completed(); }
    std::function<ScanOutcome(RecoveryMode)> onRun;

    // The advanced road: the search answers what onFind answers (Completed, finds as set).
    ScanOutcome findAdvancedCopies(int maxCopies) override {
        searchedFor = maxCopies;
        return onFind ? onFind(maxCopies) : ScanOutcome::completed();
    }
    const AdvancedFinds& advancedFinds() const override { return finds; }
    void rebind(const ScanContext& context) override { rebinds.push_back(context.options); }
    bool foundVolumeStructure() const override { return structureFound; }
    bool structureFound = true;
    bool advancedRoad = false;
    std::function<ScanOutcome(int)> onFind;
    AdvancedFinds finds;
    int searchedFor = 0;
    std::vector<ScanOptions> rebinds;  // the options of every scan the parser was lent to

    std::vector<EntryRef> saved;  // entries asked for, in order
    std::function<void(EntryRef)> afterSave;

private:
    std::vector<Entry> entries_;
    StopFlag stop_{0};
};

// Fills the tree as a parser does at the end of its scan: "ROOT" with the root folder's
// children (deleted ones red), the root checked.
inline TreeItem fillTopLevel(CTriStateTree& tree, FakeVolume& volume, bool checkRoot = true) {
    tree.initialise();
    tree.triStatePropagation = true;
    const TreeItem root = tree.insertItem(u"ROOT", ItemImage::Folder);
    volume.forEachChild(FakeVolume::kRoot, [&](EntryRef c) {
        const TreeItem item = tree.insertItem(volume.name(c), volume.isFolder(c) ? ItemImage::Folder : ItemImage::File,
                                              root, c);
        if (volume.isDeleted(c)) tree.setItemTextRed(item);
        return true;
    });
    if (checkRoot) tree.setCheck(root, true);
    return root;
}

// Finds the item below parent whose text is name (first match).
inline TreeItem childNamed(const CTriStateTree& tree, TreeItem parent, std::u16string_view name) {
    for (TreeItem c = tree.firstChild(parent); c != kNoItem; c = tree.nextSibling(c))
        if (tree.getItemText(c) == name) return c;
    return kNoItem;
}

// Every regular file below dir, as relative path -> contents.
inline std::map<std::string, std::string> filesBelow(const std::filesystem::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        std::ifstream in(e.path(), std::ios::binary);
        out[std::filesystem::relative(e.path(), dir).string()] =
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

}  // namespace dravonel::test
