#pragma once
// What the FAT16/FAT32 and the exFAT parsers share: what the scan handed over, the stop
// and status plumbing, positional reads of volume-relative offsets, the volume's top
// item, the first FAT (held in memory when it fits, else read entry by entry) and the
// linking of records under their parents.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/model/scan_parser.h"
#include "core/model/tree_sink.h"
#include "core/device/volume_record.h"

namespace dravonel {

class FatFamilyVolume {
public:
    explicit FatFamilyVolume(const ScanContext& context);
    virtual ~FatFamilyVolume() = default;
    FatFamilyVolume(const FatFamilyVolume&) = delete;
    FatFamilyVolume& operator=(const FatFamilyVolume&) = delete;

    // Inserts the volume's top item "ROOT" (when there is a tree); it names no entry. True.
    bool attachReader();
    // Takes the scan's tree, sinks, worker control and choices (the advanced road: the
    // parser that searched the volume is lent to the scan page).
    virtual void rebind(const ScanContext& context);

    // The advanced road's finds (copies of the FAT, exFAT heap starts, cluster sizes).
    AdvancedFinds advancedFinds;

    std::uint64_t clusterSize() const { return clusterSize_; }
    std::uint32_t clusterLimit() const { return clusterLimit_; }

    StopFlag stopFlag{0};
    TreeItem rootItem = kNoItem;

    // What the last scan could not read: sectors of the first FAT taken from another
    // copy, FAT sectors no copy gave, and folder sectors whose entries are lost.
    std::uint64_t fatSectorsFromCopy = 0;
    std::uint64_t fatSectorsUnreadable = 0;
    std::uint64_t folderSectorsUnreadable = 0;
    // The texts of those losses, with their counts.
    std::vector<std::u16string> readLosses() const;

protected:
    // Waits while paused; true when the stop flag is set.
    bool stopRequested() const;
    void status(std::u16string_view text) const;
    // Reads count bytes at a volume-relative offset; dest is cleared first, so what could
    // not be read stays zero. False when not every byte arrived.
    bool readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count) const;
    // As readAt, but a read that fails is split so that every readable sector arrives;
    // the unreadable ones are appended to *unreadable (absolute sector ranges).
    bool readAt(std::uint64_t offset, std::uint8_t* dest, std::size_t count, std::vector<SectorRange>* unreadable) const;
    // Reads count bytes at offset and appends them to out, losing only unreadable sectors.
    // `complete` tells whether every byte could be read; false when out refused them.
    bool readInto(EntryWriter& out, std::uint64_t offset, std::uint8_t* buffer, std::size_t count, bool& complete) const;
    // Spans of a buffer (offsets in it) that could not be read.
    using LostSpans = std::vector<std::pair<std::int64_t, std::int64_t>>;
    // Reads folder bytes at a volume-relative offset into dest (zeros where unreadable) and
    // answers the spans lost, counting their sectors in folderSectorsUnreadable.
    LostSpans readFolderBytes(std::uint64_t offset, std::uint8_t* dest, std::size_t count);
    // Reads the first FAT (clusterLimit_ entries of entryBits, 12, 16 or 32, at fatStart_)
    // into memory when it fits; otherwise fatEntry reads the disk. Unreadable parts read
    // as free.
    void loadFatTable(unsigned entryBits);
    // FAT entry n as stored (n below clusterLimit_).
    std::uint32_t fatEntry(std::uint32_t n, unsigned entryBits) const;
    // True when a folder's first cluster may be read once more: a folder is read again for
    // every entry that names it, up to a few times per cluster, so that crafted folders
    // naming one another cannot multiply the work.
    bool mayReadFolderAgain(std::uint32_t firstCluster);

    // Links every record but record 0 under records[i].parentIndex, children in record
    // (disk) order; a parent out of range or the record itself links nothing.
    template <class Record>
    static void linkInRecordOrder(std::vector<Record>& records) {
        const std::size_t n = records.size();
        std::vector<std::uint32_t> lastChild(n, 0);
        for (auto& r : records) r.firstChild = r.nextSibling = 0;
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint32_t p = records[i].parentIndex;
            if (p >= n || p == i) continue;
            if (lastChild[p] == 0) records[p].firstChild = static_cast<std::uint32_t>(i);
            else records[lastChild[p]].nextSibling = static_cast<std::uint32_t>(i);
            lastChild[p] = static_cast<std::uint32_t>(i);
        }
    }

    VolumeRecord volume_;
    TreeSink* tree_;
    readWriteInterface* reader_;
    ScanSink* sink_;
    WorkerControl* control_;
    ScanOptions options_;

    std::uint64_t clusterSize_ = 0;
    std::uint64_t fatStart_ = 0;
    std::uint64_t fatCopyBytes_ = 0;  // bytes from one FAT copy to the next
    unsigned fatCopies_ = 1;
    std::uint32_t clusterLimit_ = 0;             // cluster numbers below this exist
    std::vector<std::uint32_t> fat_;             // whole first FAT, when loaded
    std::unordered_map<std::uint32_t, std::uint32_t> folderReads_;  // first cluster -> times read
};

}  // namespace dravonel
