#pragma once
// The carving engine: walks a volume sector by sector, recognises files by their
// signature records and records where each one starts and how long it is. It copies no
// data; the recognised files become items of the result tree under "RAW RECOVERY ", one
// folder item per category, and are saved later from their byte ranges.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/common/platform.h"
#include "core/device/sector_reader.h"
#include "core/raw/file_structure.h"
#include "core/raw/signature_record.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// Text of the tree's root item (with its trailing space).
inline constexpr char16_t kRawRootText[] = u"RAW RECOVERY ";
inline constexpr char16_t kCarveDoneText[] = u"Scanning processing done.Select save button to save the data..";

// The size rules of one signature entry, with the tree item of its category.
struct CarveRule {
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::u16string extension;       // safe as part of a file name
    std::int32_t offsetToSizeBytes = -1;
    std::int32_t bytesInSize = 0;
    std::int32_t headerSize = 0;
    bool sizeIncludesHeader = false;
    std::int64_t approxFileSize = 0;  // bytes
    std::int64_t sizeToSkip = 0;      // bytes
    std::u16string category;          // safe as part of a folder name
    TreeItem categoryItem = kNoItem;
    // The walker that reads the true size of this rule's files, by its extension.
    FileStructure structure = FileStructure::None;
};

// One recognised file. start and size are byte counts relative to the volume's first byte
// (the reader's baseOffset); size never reaches past the volume's end. matchOffset is the
// sector whose match decided the file (the number in the item's text); rule is the
// position of its entry in the signature list. sizeEstimated: the size is not the file's
// own (no structure could be followed and no ending signature or size field decided it):
// the file was cut at the next recognised file, its approximate size or the volume's end.
struct FoundFile {
    std::int64_t start = 0;
    std::int64_t size = 0;
    std::int64_t matchOffset = 0;
    std::size_t rule = 0;
    TreeItem item = kNoItem;
    bool sizeEstimated = false;
};

// Text that marks a file whose size is estimated.
inline constexpr char16_t kSizeEstimatedText[] = u"size estimated";

// A category or extension text from a signature file made safe as a path component:
// "/", "\" and control characters become "_". (".." cannot survive: every text built
// from these carries a count or an offset beside it.)
std::u16string safeNameText(std::u16string_view text);

class myJpg {
public:
    static constexpr std::int64_t kSectorSize = 512;
    static constexpr std::int64_t kBlockSize = 1048576;
    // Bytes compared at each sector start.
    static constexpr std::size_t kPatternBytes = 10;
    // Bytes read after each block, so that an ending signature that begins in a block's
    // last sector is seen whole.
    static constexpr std::int64_t kLookahead = 4096;
    // The wildcard pattern byte '*': matches any byte.
    static constexpr std::uint8_t kWildcard = 0x2A;

    // Filled by loading; one rule per entry is made from them at the start of a run.
    std::vector<SignatureEntry> signatures;

    readWriteInterface* reader = nullptr;  // its baseOffset is the volume's first byte
    std::int64_t volumeSize = 0;           // bytes
    CTriStateTree* tree = nullptr;
    ScanSink* sink = nullptr;              // progress: range 0-1000, then 0-(whole MiB)
    Prompt* prompt = nullptr;              // "not properly initialized", the final message
    WorkerControl* control = nullptr;      // pause check point, once per block
    StopFlag stopFlag{0};

    // The whole run: builds the match table and the rules, inserts the root and category
    // items, walks the volume and finishes the file still open. False, after "not properly
    // initialized", when the match table cannot be built; true otherwise, also when the
    // walk was stopped (the files found so far are kept).
    bool carve();

    const std::vector<FoundFile>& found() const { return found_; }
    const std::vector<CarveRule>& rules() const { return rules_; }
    // Files counted per category.
    const std::map<std::u16string, std::int64_t>& categoryCounts() const { return categoryCounts_; }
    TreeItem rootItem() const { return root_; }
    // Blocks actually read by the last run (blocks covered by a skip are not read).
    std::int64_t blocksRead() const { return blocksRead_; }
    // Sectors of the volume that could not be read in the last carve (blocks that failed
    // are read again sector by sector at the end of the pass).
    std::int64_t unreadableSectors() const { return unreadableSectors_; }

private:
    // 12 bytes in the table the run builds: length, signature index, pattern.
    struct MatchEntry {
        std::uint8_t length = 0;
        std::uint8_t index = 0;
        std::array<std::uint8_t, kPatternBytes> pattern{};
        std::uint32_t rule = 0;  // position in the signature list
        bool isStart = true;
    };
    enum class MatchKind { None, Start, End };
    struct Match {
        MatchKind kind = MatchKind::None;
        std::uint32_t rule = 0;
    };

    bool buildMatchTable();
    void prepareTree();
    Match matchAt(const std::uint8_t* bytes) const;
    // Walks the sectors of one buffer that starts at volume offset base, from next up to
    // limit bytes into it; returns the next volume offset to examine.
    std::int64_t walkBuffer(const std::uint8_t* buffer, std::int64_t base, std::int64_t limit, std::int64_t next);
    // A start match of rule r at volume offset position (bytes: the block buffer there);
    // sets advance when the walk may step over the file.
    void onStart(std::uint32_t r, std::int64_t position, const std::uint8_t* bytes, std::int64_t& advance);
    // The size rule r's structure walker gives a file starting at position; nothing when it
    // has none or the walk fails.
    std::optional<std::int64_t> structureSize(std::uint32_t r, std::int64_t position);
    // Looks for the open file's ending signature at every byte from `from` up to `to`
    // (volume offsets inside the buffer that starts at base).
    void findEnd(const std::uint8_t* buffer, std::int64_t base, std::int64_t from, std::int64_t to);
    // Closes the open file where the next recognised file starts.
    void closeOpenAt(std::int64_t position);
    void finishOpenFile();
    // Reads volume bytes for a structure walker: from the block buffer when it holds them,
    // else through the reader. Nothing at or past the volume's end.
    std::size_t readVolume(std::int64_t at, std::uint8_t* out, std::size_t n);
    void recordFile(std::int64_t start, std::int64_t size, std::uint32_t rule, std::int64_t matchOffset,
                    bool estimated);
    bool stopRequested() const { return stopFlag.load(std::memory_order_relaxed) != 0; }

    std::vector<CarveRule> rules_;
    std::vector<MatchEntry> table_;
    // A table entry as a masked compare: the pattern's first 8 bytes and its last 2, with
    // the mask cleared for '*' and for bytes past its length.
    struct Candidate {
        std::uint64_t mask = 0, value = 0;
        std::uint16_t mask2 = 0, value2 = 0;
        std::uint32_t entry = 0;
    };
    // For each first byte, the table entries (in table order) whose pattern can match a
    // position starting with that byte: the first match in the list is the first in the
    // whole table.
    std::array<std::vector<Candidate>, 256> byFirstByte_;
    // The file waiting for its end: its ending signature, the next recognised file's
    // start, its approximate size or the volume's end, whichever comes first. Files of one
    // walk never overlap, so at most one is open at a time.
    struct OpenFile {
        bool active = false;
        std::int64_t start = 0;
        std::uint32_t rule = 0;
    };
    OpenFile open_;
    // The last file measured from its own structure, while the walk is inside it. A start
    // found inside is a file embedded in it (a thumbnail, a stored member) when that
    // file's own structure ends inside too; any other start there means the outer file
    // was cut short (truncated, overwritten): it then ends at that start, estimated.
    struct InsideFile {
        bool active = false;
        std::size_t found = 0;  // index in the found list
        std::int64_t start = 0;
        std::int64_t end = 0;
    };
    InsideFile inside_;
    // The block buffer the walk is in: its volume offset and the bytes it holds.
    const std::uint8_t* blockData_ = nullptr;
    std::int64_t blockBase_ = 0;
    std::int64_t blockValid_ = 0;
    std::vector<FoundFile> found_;
    std::map<std::u16string, std::int64_t> categoryCounts_;
    TreeItem root_ = kNoItem;
    std::int64_t blocksRead_ = 0;
    std::int64_t unreadableSectors_ = 0;
    bool retrying_ = false;  // walking a failed block again
};

}  // namespace dravonel
