#pragma once
// The NTFS parser as a scan drives it: its scan sequence for the scan worker, and its
// entries for the walks over the result tree. The tree items the parser inserts carry
// the entry index as item data; index 0 (the MFT's own record, never a child in the
// tree) stands for "no entry", so the "ROOT" item names none.
#include <memory>

#include "core/common/text.h"
#include "core/fs/ntfs/ntfs.h"
#include "core/model/scan_parser.h"

namespace dravonel {

class NtfsScanParser final : public ScanParser {
public:
    explicit NtfsScanParser(const ScanContext& context);

    ntfs& parser() { return parser_; }

    // ScanParser: Standard (the MFT from the boot sector), Deep (every MFT record on the
    // volume) and Advanced (the MFT read along a copy of its $MFT record that the
    // advanced search found, options' advancedCopyIndex).
    bool supportsMode(RecoveryMode mode) const override;
    ScanOutcome findAdvancedCopies(int maxCopies) override;
    const AdvancedFinds& advancedFinds() const override { return finds_; }
    void rebind(const ScanContext& context) override;
    std::u16string selectedText() const override { return u"ntfs partition selected...."; }
    // addTreeRoot (when there is a tree), readBootSector, then locateMft (Standard) or
    // scanForMftRecords (Deep), readMftEntries and buildEntryTree.
    ScanOutcome run(RecoveryMode mode) override;
    StopFlag& stopFlag() override { return parser_.stopFlag; }
    // Every NTFS volume holds named MFT records; none read means no volume was found.
    bool foundVolumeStructure() const override;

    // RecoveredVolume: entries by index; a folder is kind 'D'; children follow the first
    // child and next-sibling indexes (a chain that comes back on itself ends where it
    // would repeat); "$BadClus" is never written.
    bool isValidEntry(EntryRef ref) const override;
    bool isFolder(EntryRef ref) const override;
    bool hasChildren(EntryRef ref) const override;
    bool isDeleted(EntryRef ref) const override;
    bool isNeverSaved(EntryRef ref) const override;
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override;
    std::u16string name(EntryRef ref) const override;
    std::uint64_t sizeBytes(EntryRef ref) const override;
    EntryTexts texts(EntryRef ref) const override;
    EntryTimes times(EntryRef ref) const override;
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override;
    // The entry's name as the tree, the file list, search and saving show it.
    bool rename(EntryRef ref, std::u16string text) override;
    std::vector<std::u16string> readLosses() const override {
        if (parser_.mftRecordsUnreadable == 0) return {};
        return {u16(std::to_string(parser_.mftRecordsUnreadable)) + u" MFT records could not be read"};
    }

private:
    bool stopSeen() const { return parser_.stopFlag.load() != 0; }
    // The Advanced scan: the entries rebuilt along the chosen copy.
    ScanOutcome runAdvanced();

    mutable ntfs parser_;
    WorkerControl* control_ = nullptr;
    ScanSink* sink_ = nullptr;
    ScanOptions options_;
    AdvancedFinds finds_;
};

// The registry's factory for NTFS volumes.
std::unique_ptr<ScanParser> makeNtfsScanParser(const ScanContext& context);

}  // namespace dravonel
