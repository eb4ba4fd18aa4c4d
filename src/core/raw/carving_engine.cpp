#include "core/raw/carving_engine.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/common/byte_reader.h"
#include "core/common/text.h"

namespace dravonel {

std::u16string safeNameText(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F) c = u'_';
    return out;
}

bool myJpg::buildMatchTable() {
    const std::size_t n = signatures.size();
    try {
        table_.assign(2 * n, MatchEntry{});
        for (auto& list : byFirstByte_) list.clear();
        rules_.clear();
        rules_.reserve(n);
        open_ = OpenFile{};
        inside_ = InsideFile{};
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Entries 0..n-1 hold the starting signatures, n..2n-1 the ending ones, both in
    // signature-list order.
    for (std::size_t i = 0; i < n; ++i) {
        const SignatureRecord& r = signatures[i].record;
        MatchEntry& s = table_[i];
        s.length = std::min<std::uint8_t>(r.startLength, kPatternBytes);
        s.index = static_cast<std::uint8_t>(signatures[i].index);
        s.pattern = r.startSignature;
        s.rule = static_cast<std::uint32_t>(i);
        s.isStart = true;
        MatchEntry& e = table_[n + i];
        e.length = std::min<std::uint8_t>(r.endLength, kPatternBytes);
        e.index = s.index;
        e.pattern = r.endSignature;
        e.rule = static_cast<std::uint32_t>(i);
        e.isStart = false;

        CarveRule rule;
        rule.startLength = r.startLength;
        rule.endLength = r.endLength;
        rule.extension = safeNameText(r.extension);
        rule.offsetToSizeBytes = r.offsetToSizeBytes;
        rule.bytesInSize = r.bytesInSize;
        rule.headerSize = r.headerSize;
        rule.sizeIncludesHeader = r.sizeIncludesHeader != 0;
        rule.approxFileSize = r.approxFileSize;
        rule.sizeToSkip = r.sizeToSkip;
        rule.category = safeNameText(r.category);
        rule.structure = structureForExtension(r.extension);
        rules_.push_back(std::move(rule));
    }
    // Patterns shorter than 2 bytes never match, so they are left out of the lists. Only
    // the starting signatures are compared at sector starts; ending signatures are looked
    // for at every byte while a file is open (findEnd).
    for (std::uint32_t t = 0; t < n; ++t) {
        const MatchEntry& e = table_[t];
        if (e.length < 2) continue;
        std::array<std::uint8_t, kPatternBytes> mask{}, value{};
        const std::size_t length = std::min<std::size_t>(e.length, kPatternBytes);
        for (std::size_t j = 0; j < length; ++j) {
            if (e.pattern[j] == kWildcard) continue;
            mask[j] = 0xFF;
            value[j] = e.pattern[j];
        }
        Candidate c;
        std::memcpy(&c.mask, mask.data(), 8);
        std::memcpy(&c.value, value.data(), 8);
        std::memcpy(&c.mask2, mask.data() + 8, 2);
        std::memcpy(&c.value2, value.data() + 8, 2);
        c.entry = t;
        if (e.pattern[0] == kWildcard) {
            for (auto& list : byFirstByte_) list.push_back(c);
        } else {
            byFirstByte_[e.pattern[0]].push_back(c);
        }
    }
    return true;
}

void myJpg::prepareTree() {
    root_ = kNoItem;
    if (!tree) return;
    root_ = tree->insertItem(kRawRootText, ItemImage::Folder);
    std::map<std::u16string, TreeItem> seen;
    for (CarveRule& rule : rules_) {
        auto it = seen.find(rule.category);
        if (it == seen.end())
            it = seen.emplace(rule.category, tree->insertItem(rule.category, ItemImage::Folder, root_)).first;
        rule.categoryItem = it->second;
    }
    tree->expand(root_, ExpandCode::Expand);
}

myJpg::Match myJpg::matchAt(const std::uint8_t* bytes) const {
    const auto& list = byFirstByte_[bytes[0]];
    if (list.empty()) return {};
    std::uint64_t head;
    std::uint16_t tail;
    std::memcpy(&head, bytes, 8);
    std::memcpy(&tail, bytes + 8, 2);
    for (const Candidate& c : list) {
        if ((head & c.mask) == c.value && (tail & c.mask2) == c.value2) {
            const MatchEntry& e = table_[c.entry];
            return Match{e.isStart ? MatchKind::Start : MatchKind::End, e.rule};
        }
    }
    return {};
}

void myJpg::recordFile(std::int64_t start, std::int64_t size, std::uint32_t ruleIndex, std::int64_t matchOffset,
                       bool estimated) {
    // What lies past the volume's end is not the file's: the size says what can be saved.
    if (volumeSize > start && size > volumeSize - start) {
        size = volumeSize - start;
        estimated = true;
    }
    if (size <= 0) return;
    // Walking a failed block again finds what the first pass found there too.
    if (retrying_ && std::any_of(found_.begin(), found_.end(), [&](const FoundFile& f) { return f.start == start; }))
        return;
    const CarveRule& rule = rules_[ruleIndex];
    FoundFile file{start, size, matchOffset, ruleIndex, kNoItem, estimated};
    const std::uint64_t index = found_.size();
    const std::int64_t count = ++categoryCounts_[rule.category];
    if (tree && rule.categoryItem != kNoItem) {
        tree->setItemText(rule.categoryItem,
                          format16("%s (%lld)", toUtf8(rule.category).c_str(), static_cast<long long>(count)));
        file.item = tree->insertItem(format16("%lld .", static_cast<long long>(matchOffset)) + rule.extension,
                                     ItemImage::File, rule.categoryItem, index);
    }
    found_.push_back(file);
}

std::size_t myJpg::readVolume(std::int64_t at, std::uint8_t* out, std::size_t n) {
    if (at < 0 || at >= volumeSize || n == 0) return 0;
    n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(n), volumeSize - at));
    if (blockData_ && at >= blockBase_ && at + static_cast<std::int64_t>(n) <= blockBase_ + blockValid_) {
        std::memcpy(out, blockData_ + (at - blockBase_), n);
        return n;
    }
    if (!reader || !reader->seek(at)) return 0;
    // A failed read may have delivered part of the bytes; none of them are trusted.
    return reader->read(out, static_cast<std::uint32_t>(n)) ? n : 0;
}

void myJpg::closeOpenAt(std::int64_t position) {
    if (!open_.active) return;
    open_.active = false;
    std::int64_t size = position - open_.start;
    const std::int64_t approx = rules_[open_.rule].approxFileSize;
    if (size > approx) size = approx;
    recordFile(open_.start, size, open_.rule, open_.start, true);
}

void myJpg::finishOpenFile() {
    if (!open_.active) return;
    open_.active = false;
    recordFile(open_.start, rules_[open_.rule].approxFileSize, open_.rule, open_.start, true);
}

void myJpg::findEnd(const std::uint8_t* buffer, std::int64_t base, std::int64_t from, std::int64_t to) {
    const CarveRule& rule = rules_[open_.rule];
    const MatchEntry& e = table_[rules_.size() + open_.rule];
    if (e.length < 2 || from >= to) return;
    const std::uint8_t* p = buffer + (from - base);
    const std::uint8_t* end = buffer + (to - base);
    const std::uint8_t first = e.pattern[0];
    while (p < end) {
        if (first != kWildcard) {
            p = static_cast<const std::uint8_t*>(std::memchr(p, first, static_cast<std::size_t>(end - p)));
            if (!p) return;
        }
        bool same = true;
        for (std::size_t j = 1; j < e.length && same; ++j) same = e.pattern[j] == kWildcard || e.pattern[j] == p[j];
        if (same) {
            const std::int64_t at = base + (p - buffer);
            std::int64_t size = at + rule.endLength - open_.start;
            if (size > rule.approxFileSize && rule.approxFileSize > 0) size = rule.approxFileSize;
            open_.active = false;
            // A type whose structure walk failed is still only estimated by its ending signature.
            recordFile(open_.start, size, open_.rule, at / kSectorSize * kSectorSize, rule.structure != FileStructure::None);
            return;
        }
        ++p;
    }
}

std::optional<std::int64_t> myJpg::structureSize(std::uint32_t r, std::int64_t position) {
    const CarveRule& rule = rules_[r];
    if (rule.structure == FileStructure::None) return {};
    std::int64_t limit = volumeSize - position;
    if (rule.approxFileSize > 0 && rule.approxFileSize < limit) limit = rule.approxFileSize;
    const ByteReadFn read = [this, position](std::int64_t offset, std::uint8_t* out, std::size_t n) {
        return readVolume(position + offset, out, n);
    };
    return walkFileStructure(rule.structure, read, limit);
}

void myJpg::onStart(std::uint32_t r, std::int64_t position, const std::uint8_t* bytes, std::int64_t& advance) {
    const CarveRule& rule = rules_[r];
    const std::optional<std::int64_t> measured = structureSize(r, position);
    if (inside_.active) {
        // Embedded in the file being walked through: not a file of its own.
        if (measured && position + *measured <= inside_.end) return;
        FoundFile& outer = found_[inside_.found];
        outer.size = position - inside_.start;
        outer.sizeEstimated = true;
        inside_.active = false;
    }
    if (measured) {
        closeOpenAt(position);
        recordFile(position, *measured, r, position, false);
        // The walk goes on inside the file, to see whether another file cuts it short.
        inside_ = InsideFile{true, found_.size() - 1, position, position + *measured};
        return;
    }
    if (rule.endLength != 0) {
        closeOpenAt(position);
        open_ = OpenFile{true, position, r};
    } else if (rule.bytesInSize < 1) {
        closeOpenAt(position);
        open_ = OpenFile{true, position, r};
        if (rule.sizeToSkip > kSectorSize) advance = rule.sizeToSkip / kSectorSize * kSectorSize;
    } else if (rule.bytesInSize == 4 && rule.offsetToSizeBytes >= 0 && rule.offsetToSizeBytes <= kSectorSize - 4) {
        // The size field: little-endian u32 at the rule's offset inside the file's first
        // sector; a size that leaves the header out has it added.
        std::int64_t size = le32(bytes, static_cast<std::size_t>(rule.offsetToSizeBytes));
        if (!rule.sizeIncludesHeader && rule.headerSize > 0) size += rule.headerSize;
        if (size > rule.approxFileSize) size = 0;
        if (size > 0) {
            closeOpenAt(position);
            recordFile(position, size, r, position, false);
            advance = (size + kSectorSize - 1) / kSectorSize * kSectorSize;
        }
    }
}

std::int64_t myJpg::walkBuffer(const std::uint8_t* buffer, std::int64_t base, std::int64_t limit,
                               std::int64_t next) {
    std::int64_t o = next - base;
    while (o < limit) {
        const std::int64_t position = base + o;
        std::int64_t advance = kSectorSize;
        if (inside_.active && position >= inside_.end) inside_.active = false;
        if (open_.active && rules_[open_.rule].approxFileSize > 0 &&
            position - open_.start >= rules_[open_.rule].approxFileSize)
            finishOpenFile();
        const Match m = matchAt(buffer + o);
        if (m.kind == MatchKind::Start) onStart(m.rule, position, buffer + o, advance);
        if (open_.active && rules_[open_.rule].endLength != 0) {
            // Ending signatures count at any byte after the file's start: this sector's.
            const std::int64_t from = std::max(position, open_.start + 1);
            findEnd(buffer, base, from, std::min(position + kSectorSize, volumeSize));
        }
        // A skip never runs past the end of the volume (keeps the offsets from overflowing).
        if (advance > volumeSize) advance = volumeSize + kSectorSize;
        o += advance;
        if (stopRequested()) break;
    }
    return base + o;
}

bool myJpg::carve() {
    found_.clear();
    categoryCounts_.clear();
    blocksRead_ = 0;
    unreadableSectors_ = 0;
    const SplitStopScope stopSplits(reader, &stopFlag);
    if (!buildMatchTable()) {
        if (prompt) prompt->message(u"not properly initialized");
        return false;
    }
    prepareTree();

    const std::int64_t size = volumeSize > 0 ? volumeSize : 0;
    const std::int64_t blocks = size / kBlockSize;
    const std::int64_t rest = size % kBlockSize;
    if (sink) {
        sink->setRange(0, 1000);
        sink->setRange(0, blocks);
    }

    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(kBlockSize + kLookahead));
    } catch (const std::bad_alloc&) {
        buffer.clear();
    }

    // Reads count bytes at volume offset at. A short read arrives padded with zeros; a
    // read that delivered nothing leaves the buffer as it was, so it is cleared rather
    // than walked again (its last byte, set before the read, tells the two apart).
    // The block is read with the first bytes of the next one (kLookahead, never past the
    // volume's end; what lies past it compares as zeros).
    std::vector<std::pair<std::int64_t, std::size_t>> failedBlocks;
    auto readBlock = [&](std::int64_t at, std::size_t count) {
        std::uint8_t* buf = buffer.data();
        const std::size_t total = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(count) + kLookahead, size - at));
        std::memset(buf + total, 0, buffer.size() - total);
        buf[total - 1] = 1;
        const bool ok = reader && reader->seek(at) && reader->read(buf, static_cast<std::uint32_t>(total));
        if (!ok && buf[total - 1] != 0) std::memset(buf, 0, total);
        // A block that cannot be read whole is walked as it came and comes back at the
        // end, sector by sector: a failing drive is not held up here on every bad sector.
        if (!ok && reader) failedBlocks.emplace_back(at, count);
        ++blocksRead_;
        blockData_ = buf;
        blockBase_ = at;
        blockValid_ = ok ? static_cast<std::int64_t>(total) : 0;
    };

    if (!buffer.empty()) {
        std::int64_t next = 0;  // volume offset of the next sector to examine
        bool stopped = false;
        for (std::int64_t k = 0; k < blocks; ++k) {
            if (sink) sink->setPosition(k);
            if (control) control->checkPoint();
            if (stopRequested()) {
                stopped = true;
                break;
            }
            const std::int64_t base = k * kBlockSize;
            if (next >= base + kBlockSize) continue;  // covered by a skip: not read
            readBlock(base, static_cast<std::size_t>(kBlockSize));
            next = walkBuffer(buffer.data(), base, kBlockSize, next);
            if (stopRequested()) {
                stopped = true;
                break;
            }
        }
        const std::int64_t base = blocks * kBlockSize;
        if (!stopped && rest > 0 && next < base + rest) {
            if (control) control->checkPoint();
            readBlock(base, static_cast<std::size_t>(rest));
            walkBuffer(buffer.data(), base, rest, next);
        }
        finishOpenFile();
        // The blocks that failed, now that the readable surface is done: what can be read
        // of them is read (each bad sector once) and walked again for the files that begin
        // there; the files found in the first pass stay as they were found.
        std::vector<SectorRange> unreadable;
        for (const auto& [at, count] : failedBlocks) {
            if (stopped || stopRequested()) break;
            if (control) control->checkPoint();
            const std::size_t total =
                static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size - at));
            std::vector<SectorRange> lost;
            reader->readAt(at, buffer.data(), static_cast<std::uint32_t>(total), &lost);
            for (const SectorRange& r : lost) addSectorRange(unreadable, r);
            unreadableSectors_ = sectorCount(unreadable);
            if (sink) sink->status(format16("unreadable sectors: %lld", static_cast<long long>(unreadableSectors_)));
            std::memset(buffer.data() + total, 0, buffer.size() - total);
            blockData_ = buffer.data();
            blockBase_ = at;
            blockValid_ = static_cast<std::int64_t>(total);
            retrying_ = true;
            walkBuffer(buffer.data(), at, static_cast<std::int64_t>(total), at);
            finishOpenFile();
            retrying_ = false;
        }
    }
    blockData_ = nullptr;
    buffer.clear();
    buffer.shrink_to_fit();
    if (sink) sink->setPosition(blocks);
    if (prompt) prompt->message(kCarveDoneText);
    return true;
}

}  // namespace dravonel
