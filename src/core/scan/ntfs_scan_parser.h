#pragma once
// The NTFS parser as the scan page drives it: its scan steps for the scan worker, and
// its entries for the walks over the result tree. The tree items the parser inserts
// carry the entry index as item data; index 0 (the MFT's own record, never a child in
// the tree) stands for "no entry", so the "ROOT" item names none.
#include <memory>

#include "core/fs/ntfs/ntfs.h"
#include "core/scan/volume_scan.h"

namespace dravonel {

class NtfsScanParser final : public NtfsScanSteps, public RecoveredVolume {
public:
    explicit NtfsScanParser(const ScanContext& context);

    ntfs& parser() { return parser_; }

    // NtfsScanSteps
    bool hasTree() const override { return parser_.tree != nullptr; }
    bool addTreeRoot() override { return parser_.addTreeRoot(); }
    bool readBootSector() override { return parser_.readBootSector(); }
    void setRecoveryMode(RecoveryMode mode) override { parser_.recoveryMode = static_cast<int>(mode); }
    bool locateMft() override { return parser_.locateMft(); }
    bool scanForMftRecords() override { return parser_.scanForMftRecords(); }
    void readMftEntries() override { parser_.readMftEntries(); }
    void buildEntryTree() override { parser_.buildEntryTree(); }
    RecoveredVolume& volume() override { return *this; }
    StopFlag& stopFlag() override { return parser_.stopFlag; }

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
    bool saveEntry(EntryRef ref, const std::filesystem::path& target) override;

private:
    mutable ntfs parser_;
};

// The factory the scan page uses for NTFS volumes.
std::unique_ptr<NtfsScanSteps> makeNtfsScanParser(const ScanContext& context);

}  // namespace dravonel
