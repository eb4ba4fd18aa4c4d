#pragma once
// The ext2/3/4 parser as a scan drives it: its scan sequence for the scan worker (Standard
// mode only), and its entries for the walks over the result tree. Tree items carry the
// entry key (inode number - 1; "ROOT" is key 2) as item data.
#include <memory>

#include "core/fs/ext/ext.h"
#include "core/fs/ext/ext_undelete.h"
#include "core/model/scan_parser.h"

namespace dravonel {

class ExtScanParser final : public ScanParser {
public:
    explicit ExtScanParser(const ScanContext& context);

    ext2Class& parser() { return parser_; }
    const ExtUndelete& undelete() const { return undelete_; }
    std::vector<std::u16string> readLosses() const override { return parser_.readLosses(); }
    // No superblock was found: nothing listed is an ext volume's.
    bool foundVolumeStructure() const override { return parser_.superblock.has_value(); }

    bool supportsMode(RecoveryMode mode) const override { return mode == RecoveryMode::Standard; }
    // attachReader; with a volume size, readSuperblock and readGroupDescriptors; when both
    // succeed parseGroups, parseInodes, buildRootEntry, the deleted files the journal
    // brings back, linkParentChild, fillTreeRoots.
    // A volume without a superblock ends silently with an empty tree.
    ScanOutcome run(RecoveryMode mode) override;
    StopFlag& stopFlag() override { return parser_.stopFlag; }

    // RecoveredVolume: entries by key; children follow first child and next sibling,
    // listing only folders, regular files and symbolic links; deleted are the entries the
    // journal brought back, saved along their journalled inode copies.
    bool isValidEntry(EntryRef ref) const override;
    bool isFolder(EntryRef ref) const override;
    bool hasChildren(EntryRef ref) const override;
    bool isDeleted(EntryRef ref) const override;
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override;
    std::u16string name(EntryRef ref) const override;
    std::uint64_t sizeBytes(EntryRef ref) const override;
    EntryTexts texts(EntryRef ref) const override;
    EntryTimes times(EntryRef ref) const override;
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override;

private:
    const ExtEntry* find(EntryRef ref) const;
    ext2Class parser_;
    ExtUndelete undelete_{parser_};
    WorkerControl* control_ = nullptr;
};

// The registry's factory for ext2/3/4 volumes.
std::unique_ptr<ScanParser> makeExtScanParser(const ScanContext& context);

}  // namespace dravonel
