#include "core/fs/ext/ext_scan_parser.h"

#include <unordered_set>

namespace dravonel {

ExtScanParser::ExtScanParser(const ScanContext& c)
    : parser_(c.volume, c.tree, c.reader, c.sink, c.control), control_(c.control) {}

ScanOutcome ExtScanParser::run(RecoveryMode mode) {
    if (!supportsMode(mode)) return ScanOutcome::refused(u"This recovery mode is not available for ext2/3/4 volumes.");
    auto checkPoint = [this] {
        if (control_) control_->checkPoint();
    };
    checkPoint();
    if (parser_.attachReader(parser_.reader) && parser_.volumeSize != 0 && parser_.readSuperblock() &&
        parser_.readGroupDescriptors()) {
        parser_.parseGroups();
        checkPoint();
        parser_.parseInodes();
        checkPoint();
        parser_.buildRootEntry();
        checkPoint();
        undelete_.run();
        checkPoint();
        parser_.linkParentChild();
        checkPoint();
        parser_.fillTreeRoots();
    }
    return parser_.stopFlag.load() != 0 ? ScanOutcome::stopped() : ScanOutcome::completed();
}

const ExtEntry* ExtScanParser::find(EntryRef ref) const {
    if (ref > 0xFFFFFFFFu) return nullptr;
    return parser_.entry(static_cast<std::uint32_t>(ref));
}

bool ExtScanParser::isValidEntry(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    return e && e->isShown();
}

bool ExtScanParser::isDeleted(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    return e && e->deleted;
}

bool ExtScanParser::isFolder(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    return e && e->isFolder();
}

bool ExtScanParser::hasChildren(EntryRef ref) const {
    bool any = false;
    forEachChild(ref, [&](EntryRef) {
        any = true;
        return false;
    });
    return any;
}

void ExtScanParser::forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const {
    const ExtEntry* f = find(folder);
    if (!f || !f->isFolder()) return;
    // Chains are built in key order and never loop; the set guards a damaged one anyway.
    std::unordered_set<std::int64_t> seen;
    for (std::int64_t c = f->firstChild; c >= 0 && seen.insert(c).second;) {
        const ExtEntry* e = find(static_cast<EntryRef>(c));
        if (!e) return;
        if (e->isShown() && !visit(static_cast<EntryRef>(c))) return;
        c = e->nextSibling;
    }
}

std::u16string ExtScanParser::name(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    return e ? e->name : std::u16string();
}

std::uint64_t ExtScanParser::sizeBytes(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    return e && e->isFile() ? e->size : 0;
}

EntryTexts ExtScanParser::texts(EntryRef ref) const {
    EntryTexts t;
    if (!find(ref)) return t;
    const auto key = static_cast<std::uint32_t>(ref);
    const ExtUndelete::Recovered* r = undelete_.recovered(key);
    const bool ownInode = !find(ref)->deleted && (key != undelete_.orphanKey || key == 0);
    const ExtTimesText times = r ? parser_.timesText(r->inode) : ownInode ? parser_.timesText(key) : ExtTimesText{};
    t.created = times.changed;
    t.accessed = times.accessed;
    t.modified = times.modified;
    t.attributes = times.permissions;
    t.size = parser_.sizeText(key);
    return t;
}

EntryTimes ExtScanParser::times(EntryRef ref) const {
    const ExtEntry* e = find(ref);
    if (!e) return {};
    if (undelete_.orphanKey != 0 && ref == undelete_.orphanKey) return {};
    if (!e->deleted) return parser_.entryTimes(static_cast<std::uint32_t>(ref));
    const ExtUndelete::Recovered* r = undelete_.recovered(static_cast<std::uint32_t>(ref));
    return r ? parser_.entryTimes(r->inode) : EntryTimes{};
}

SaveStatus ExtScanParser::saveEntry(EntryRef ref, EntryWriter& out) {
    const ExtEntry* e = find(ref);
    if (!e) return SaveStatus::Failed;
    const auto key = static_cast<std::uint32_t>(ref);
    return e->deleted ? undelete_.save(key, out) : parser_.saveEntry(key, out);
}

std::unique_ptr<ScanParser> makeExtScanParser(const ScanContext& context) {
    return std::make_unique<ExtScanParser>(context);
}

}  // namespace dravonel
