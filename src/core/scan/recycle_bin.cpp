#include "core/scan/recycle_bin.h"

#include <map>
#include <vector>

#include "core/common/byte_reader.h"
#include "core/common/text.h"

namespace dravonel {

namespace {

// "$I" layout: u64 version at 0, u64 former size at 8, FILETIME of deletion at 16; then
// version 1: the path (UTF-16, zero-ended, 260 characters) at 24; version 2: u32 path
// length in characters (with its zero) at 24 and the path at 28.
constexpr std::size_t kVersion = 0;
constexpr std::size_t kPathV1 = 24;
constexpr std::size_t kPathLengthV2 = 24;
constexpr std::size_t kPathV2 = 28;

// Collects one companion's bytes; refuses anything beyond the companion limit.
class MemoryWriter final : public EntryWriter {
public:
    std::vector<std::uint8_t> bytes;
    bool write(const std::uint8_t* data, std::size_t count) override {
        if (count >= kMaxCompanionBytes - bytes.size()) return false;
        bytes.insert(bytes.end(), data, data + count);
        return true;
    }
    bool writeHole(std::uint64_t count) override { return zeros(count); }
    bool writeUnreadable(std::uint64_t) override { return false; }  // a damaged companion says nothing
    std::uint64_t written() const override { return bytes.size(); }

private:
    bool zeros(std::uint64_t count) {
        if (count >= kMaxCompanionBytes - bytes.size()) return false;
        bytes.resize(bytes.size() + std::size_t(count), 0);
        return true;
    }
};

std::u16string replaceAll(std::u16string text, std::u16string_view from, std::u16string_view to) {
    for (std::size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

bool startsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

std::size_t serveFolder(ScanParser& parser, FileSystemKind kind, EntryRef folder) {
    const bool trimNames = kind != FileSystemKind::Ntfs;
    auto shown = [&](EntryRef ref) { return trimNames ? trimRight(parser.name(ref)) : parser.name(ref); };
    std::vector<EntryRef> children;
    parser.forEachChild(folder, [&](EntryRef c) {
        children.push_back(c);
        return true;
    });
    // "$I" name -> former name, for this folder only.
    std::map<std::u16string, std::u16string> recycleNameMap;
    for (EntryRef c : children) {
        if (parser.isFolder(c)) continue;
        const std::u16string name = shown(c);
        if (!startsWith(name, u"$I") || parser.sizeBytes(c) >= kMaxCompanionBytes) continue;
        MemoryWriter companion;
        const SaveStatus status = parser.saveEntry(c, companion);
        if (status != SaveStatus::Saved) continue;
        if (auto former = formerNameFromCompanion(companion.bytes)) recycleNameMap[name] = *former;
    }
    std::size_t renamed = 0;
    for (const auto& [companionName, former] : recycleNameMap) {
        const std::u16string recycled = replaceAll(companionName, u"$I", u"$R");
        for (EntryRef c : children)
            if (shown(c) == recycled && parser.rename(c, former)) ++renamed;
    }
    return renamed;
}

}  // namespace

std::optional<std::u16string> formerNameFromCompanion(std::span<const std::uint8_t> b) {
    if (b.size() >= kMaxCompanionBytes || b.size() < kPathV1 + 2) return std::nullopt;
    const std::uint64_t version = le64(b.data(), kVersion);
    std::size_t from = 0, units = 0;
    if (version == 1) {
        from = kPathV1;
        units = (b.size() - from) / 2;
    } else if (version == 2) {
        if (b.size() < kPathV2 + 2) return std::nullopt;
        from = kPathV2;
        units = std::min<std::size_t>(le32(b.data(), kPathLengthV2), (b.size() - from) / 2);
    } else {
        return std::nullopt;
    }
    std::u16string path = fromUtf16Le(b.data() + from, units);
    path = path.substr(0, path.find(u'\0'));
    const auto slash = path.rfind(u'\\');
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return std::nullopt;
    return name;
}

std::size_t restoreRecycledNames(const CTriStateTree& tree, ScanParser& parser, FileSystemKind kind) {
    if (kind != FileSystemKind::Ntfs && kind != FileSystemKind::Fat32 && kind != FileSystemKind::ExFat) return 0;
    const TreeItem top = tree.root();
    if (top == kNoItem) return 0;
    std::size_t renamed = 0;
    for (TreeItem item = tree.firstChild(top); item != kNoItem; item = tree.nextSibling(item)) {
        if (tree.image(item) != ItemImage::Folder) continue;
        const std::u16string text = tree.getItemText(item);
        if (text != u"$RECYCLE.BIN" && text != u"$RECYCLEBIN") continue;
        const EntryRef bin = tree.itemData(item);
        if (!parser.isValidEntry(bin)) continue;
        // The bin itself, and each user's folder inside it.
        std::vector<EntryRef> served{bin};
        parser.forEachChild(bin, [&](EntryRef c) {
            if (parser.isFolder(c)) served.push_back(c);
            return served.size() < 4096;
        });
        for (EntryRef folder : served) {
            if (parser.stopFlag().load() != 0) return renamed;
            renamed += serveFolder(parser, kind, folder);
        }
    }
    return renamed;
}

}  // namespace dravonel
