#pragma once
// The HFS+ parser as a scan drives it, in Standard mode (the catalog B-tree) and in the
// other modes (catalog leaf nodes found anywhere on the volume). Tree items carry the
// catalog ID as item data; "ROOT" carries HFSP::kTopRef.
#include <memory>

#include "core/common/text.h"
#include "core/fs/hfsplus/hfsplus.h"
#include "core/model/scan_parser.h"

namespace dravonel {

inline constexpr char16_t kHfsWorkDoneText[] = u"Work Done.";
inline constexpr char16_t kHfsWorkAbortedText[] = u"Work Aborted....";

class HfsScanParser final : public ScanParser {
public:
    explicit HfsScanParser(const ScanContext& context);

    HFSP& parser() { return parser_; }
    std::vector<std::u16string> readLosses() const override {
        if (parser_.catalogNodesUnreadable == 0) return {};
        return {fromUtf8(std::to_string(parser_.catalogNodesUnreadable)) + u" catalog nodes could not be read"};
    }

    bool supportsMode(RecoveryMode mode) const override {
        return mode == RecoveryMode::Standard || mode == RecoveryMode::Deep;
    }
    std::u16string selectedText() const override { return u"HFS+ partition selected...."; }
    // attachReader, readVolumeHeader(0), then readExtentsTree and readCatalogTree
    // (Standard: the catalog's own overflow records come from the extents tree) or
    // scanCatalogTree and readExtentsTree (Deep);
    // when all succeed readCatalogRecords, linkParentChild, fillTree and "Work Done.",
    // otherwise "Work Aborted....".
    ScanOutcome run(RecoveryMode mode) override;
    StopFlag& stopFlag() override { return parser_.stopFlag; }

    bool isValidEntry(EntryRef ref) const override;
    bool isFolder(EntryRef ref) const override;
    bool hasChildren(EntryRef ref) const override;
    bool isDeleted(EntryRef) const override { return false; }
    void forEachChild(EntryRef folder, const std::function<bool(EntryRef)>& visit) const override;
    std::u16string name(EntryRef ref) const override;
    std::uint64_t sizeBytes(EntryRef ref) const override;
    EntryTexts texts(EntryRef ref) const override;
    EntryTimes times(EntryRef ref) const override;
    SaveStatus saveEntry(EntryRef ref, EntryWriter& out) override;

private:
    const HfsEntry* find(EntryRef ref) const;
    HFSP parser_;
    WorkerControl* control_ = nullptr;
    ScanSink* sink_ = nullptr;
};

std::unique_ptr<ScanParser> makeHfsScanParser(const ScanContext& context);

}  // namespace dravonel
