#include "core/scan/ntfs_scan_parser.h"

#include <unordered_set>

namespace dravonel {

NtfsScanParser::NtfsScanParser(const ScanContext& c)
    : parser_(c.volume, c.tree, c.reader, c.sink, c.control) {
    parser_.prompt = c.prompt;
}

bool NtfsScanParser::isValidEntry(EntryRef ref) const {
    return ref != 0 && ref < parser_.entries.size() && parser_.entries[ref].isFileRecord();
}

bool NtfsScanParser::isFolder(EntryRef ref) const { return isValidEntry(ref) && parser_.entries[ref].isFolder(); }

bool NtfsScanParser::hasChildren(EntryRef ref) const {
    if (!isValidEntry(ref)) return false;
    const std::uint64_t first = parser_.entries[ref].firstChild;
    return first > 0 && first < parser_.entries.size();
}

bool NtfsScanParser::isDeleted(EntryRef ref) const { return isValidEntry(ref) && parser_.entries[ref].isDeleted(); }

bool NtfsScanParser::isNeverSaved(EntryRef ref) const {
    return isValidEntry(ref) && parser_.entries[ref].name == u"$BadClus";
}

void NtfsScanParser::forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const {
    if (!hasChildren(folder)) return;
    const auto& entries = parser_.entries;
    std::uint64_t c = entries[folder].firstChild;
    // A chain ends at 0 or a value negative as a signed 64-bit number; a damaged chain
    // that loops is cut where an entry would come a second time.
    std::unordered_set<std::uint64_t> seen;
    while (c > 0 && static_cast<std::int64_t>(c) > 0 && c < entries.size()) {
        if (!seen.insert(c).second) break;
        if (entries[c].isFileRecord() && entries[c].hasName && !visit(c)) return;
        c = entries[c].nextSibling;
    }
}

std::u16string NtfsScanParser::name(EntryRef ref) const {
    return isValidEntry(ref) ? parser_.entries[ref].name : std::u16string();
}

std::uint64_t NtfsScanParser::sizeBytes(EntryRef ref) const { return isValidEntry(ref) ? parser_.dataSize(ref) : 0; }

EntryTexts NtfsScanParser::texts(EntryRef ref) const {
    EntryTexts t;
    if (!isValidEntry(ref)) return t;
    const NtfsTimesText times = parser_.timesText(ref);
    t.created = times.created;
    t.accessed = times.accessed;
    t.modified = times.modified;
    t.attributes = times.attributes;
    t.size = parser_.sizeText(ref);
    return t;
}

bool NtfsScanParser::saveEntry(EntryRef ref, const std::filesystem::path& target) {
    return isValidEntry(ref) && parser_.saveEntry(ref, target);
}

std::unique_ptr<NtfsScanSteps> makeNtfsScanParser(const ScanContext& context) {
    return std::make_unique<NtfsScanParser>(context);
}

}  // namespace dravonel
