#pragma once
// The FAT16, FAT32 and exFAT parsers as a scan drives them: their scan sequence for the
// scan worker, and their records for the walks over the result tree. Tree items carry
// the record index as item data; index 0 (the root placeholder, never shown) names no
// entry, so the "ROOT" item names none.
#include <memory>
#include <string>

#include "core/fs/fat/exfat_volume.h"
#include "core/fs/fat/fat_volume.h"
#include "core/model/scan_parser.h"

namespace dravonel {

// One adapter for the three parsers (Fat16Class, Fat32Class, Fat64Class): they share the
// record shape (name, parent, first child, next sibling) and the scan steps.
template <class Volume>
class FatFamilyScanParser final : public ScanParser {
public:
    explicit FatFamilyScanParser(const ScanContext& context)
        : parser_(context), control_(context.control), sink_(context.sink), prompt_(context.prompt) {}

    Volume& parser() { return parser_; }
    const Volume& parser() const { return parser_; }

    // Standard, and Advanced: the road without a boot sector, from the advanced search's
    // finds and the choices ScanContext::options carries.
    bool supportsMode(RecoveryMode mode) const override {
        return mode == RecoveryMode::Standard || mode == RecoveryMode::Advanced;
    }
    ScanOutcome findAdvancedCopies(int maxCopies) override { return parser_.findAdvancedCopies(maxCopies); }
    const AdvancedFinds& advancedFinds() const override { return parser_.advancedFinds; }
    void rebind(const ScanContext& context) override {
        parser_.rebind(context);
        control_ = context.control;
        sink_ = context.sink;
        prompt_ = context.prompt;
    }
    std::u16string selectedText() const override { return parser_.selectedText(); }
    ScanOutcome run(RecoveryMode mode) override;
    StopFlag& stopFlag() override { return parser_.stopFlag; }
    std::vector<std::u16string> readLosses() const override { return parser_.readLosses(); }

    bool isValidEntry(EntryRef ref) const override { return ref != 0 && ref < parser_.records.size(); }
    bool isFolder(EntryRef ref) const override { return isValidEntry(ref) && parser_.records[ref].isFolder(); }
    bool hasChildren(EntryRef ref) const override {
        return isValidEntry(ref) && parser_.records[ref].firstChild != 0;
    }
    bool isDeleted(EntryRef ref) const override {
        return isValidEntry(ref) && parser_.shownDeleted(static_cast<std::uint32_t>(ref));
    }
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override {
        if (!isValidEntry(folder)) return;
        const auto& records = parser_.records;
        // Links only point forward in the record vector, so a chain always ends; the
        // bound guards against a vector changed under the walk.
        std::uint32_t c = records[folder].firstChild;
        for (std::size_t steps = 0; c != 0 && c < records.size() && steps < records.size(); ++steps) {
            if (!visit(c)) return;
            c = records[c].nextSibling;
        }
    }
    std::u16string name(EntryRef ref) const override {
        return isValidEntry(ref) ? parser_.records[ref].name : std::u16string();
    }
    std::uint64_t sizeBytes(EntryRef ref) const override {
        return isValidEntry(ref) ? parser_.sizeOf(static_cast<std::uint32_t>(ref)) : 0;
    }
    EntryTexts texts(EntryRef ref) const override {
        return isValidEntry(ref) ? parser_.texts(static_cast<std::uint32_t>(ref)) : EntryTexts{};
    }
    EntryTimes times(EntryRef ref) const override {
        return isValidEntry(ref) ? parser_.times(static_cast<std::uint32_t>(ref)) : EntryTimes{};
    }
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override {
        return isValidEntry(ref) ? parser_.saveEntry(static_cast<std::uint32_t>(ref), out) : SaveStatus::Failed;
    }
    // Gives a record a new name (the recycle-bin pass). False for no record.
    bool rename(EntryRef ref, std::u16string text) override {
        if (!isValidEntry(ref)) return false;
        parser_.records[ref].name = std::move(text);
        return true;
    }

private:
    Volume parser_;
    WorkerControl* control_;
    ScanSink* sink_;
    Prompt* prompt_;
};

using Fat16ScanParser = FatFamilyScanParser<Fat16Class>;
using Fat32ScanParser = FatFamilyScanParser<Fat32Class>;
using ExFatScanParser = FatFamilyScanParser<Fat64Class>;

// The registry's factories.
std::unique_ptr<ScanParser> makeFat16ScanParser(const ScanContext& context);
std::unique_ptr<ScanParser> makeFat32ScanParser(const ScanContext& context);
std::unique_ptr<ScanParser> makeExFatScanParser(const ScanContext& context);

}  // namespace dravonel
