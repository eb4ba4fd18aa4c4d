#include "core/fs/hfsplus/hfsplus_scan_parser.h"

#include <unordered_set>

namespace dravonel {

HfsScanParser::HfsScanParser(const ScanContext& c)
    : parser_(c.volume, c.tree, c.reader, c.sink, c.control), control_(c.control), sink_(c.sink) {}

ScanOutcome HfsScanParser::run(RecoveryMode mode) {
    if (!supportsMode(mode)) return ScanOutcome::refused(u"This recovery mode is not available for HFS+ volumes.");
    auto step = [this](bool ok) {
        if (control_) control_->checkPoint();
        return ok;
    };
    parser_.attachReader(parser_.reader);
    // The catalog walk needs the overflow records of the catalog itself, so Standard
    // reads the extents tree first; the deep scan needs only the catalog's header node.
    const bool ok = step(parser_.readVolumeHeader(0)) &&
                    (mode == RecoveryMode::Standard
                         ? step(parser_.readExtentsTree()) && step(parser_.readCatalogTree())
                         : step(parser_.scanCatalogTree()) && step(parser_.readExtentsTree()));
    if (ok) {
        parser_.readCatalogRecords();
        step(true);
        parser_.linkParentChild();
        step(true);
        parser_.fillTree();
    }
    if (sink_) sink_->status(ok ? kHfsWorkDoneText : kHfsWorkAbortedText);
    return parser_.stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

const HfsEntry* HfsScanParser::find(EntryRef ref) const {
    if (ref > 0xFFFFFFFFu) return nullptr;
    return parser_.entry(static_cast<std::uint32_t>(ref));
}

bool HfsScanParser::isValidEntry(EntryRef ref) const { return ref == HFSP::kTopRef || find(ref) != nullptr; }

bool HfsScanParser::isFolder(EntryRef ref) const {
    if (ref == HFSP::kTopRef) return true;
    const HfsEntry* e = find(ref);
    return e && e->isFolder();
}

bool HfsScanParser::hasChildren(EntryRef ref) const {
    bool any = false;
    forEachChild(ref, [&](EntryRef) {
        any = true;
        return false;
    });
    return any;
}

void HfsScanParser::forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const {
    if (folder == HFSP::kTopRef) {
        // What fillTree put under ROOT: the root folder's children in ID order.
        for (const auto& [id, e] : parser_.entries)
            if (e.parentId == hfsplus_format::kRootFolderId && !visit(id)) return;
        return;
    }
    const HfsEntry* f = find(folder);
    if (!f || !f->isFolder()) return;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t c = f->firstChild; c >= 1 && c != HfsEntry::kNone && seen.insert(c).second;) {
        const HfsEntry* e = find(c);
        if (!e || !visit(c)) return;
        c = e->nextSibling;
    }
}

std::u16string HfsScanParser::name(EntryRef ref) const {
    if (ref == HFSP::kTopRef) return u"ROOT";
    const HfsEntry* e = find(ref);
    return e ? e->name : std::u16string();
}

std::uint64_t HfsScanParser::sizeBytes(EntryRef ref) const {
    const HfsEntry* e = find(ref);
    return e && !e->isFolder() ? e->logicalSize : 0;
}

EntryTexts HfsScanParser::texts(EntryRef ref) const {
    EntryTexts t;
    const HfsEntry* e = find(ref);
    if (!e) return t;
    const HfsTimesText h = parser_.timesText(e->id);
    t.created = h.created;
    t.accessed = h.accessed;
    t.modified = h.modified;
    t.attributes = h.permissions;
    t.size = parser_.sizeText(e->id);
    return t;
}

EntryTimes HfsScanParser::times(EntryRef ref) const {
    const HfsEntry* e = find(ref);
    return e ? parser_.entryTimes(e->id) : EntryTimes{};
}

SaveStatus HfsScanParser::saveEntry(EntryRef ref, EntryWriter& out) {
    const HfsEntry* e = find(ref);
    return e ? parser_.saveEntry(e->id, out) : SaveStatus::Failed;
}

std::unique_ptr<ScanParser> makeHfsScanParser(const ScanContext& context) {
    return std::make_unique<HfsScanParser>(context);
}

}  // namespace dravonel
