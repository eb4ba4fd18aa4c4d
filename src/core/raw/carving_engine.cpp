#include "core/raw/carving_engine.h"

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
        pending_.assign(n, {});
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
        rules_.push_back(std::move(rule));
    }
    // Patterns shorter than 2 bytes never match, so they are left out of the lists.
    for (std::uint32_t t = 0; t < table_.size(); ++t) {
        const MatchEntry& e = table_[t];
        if (e.length < 2) continue;
        std::array<std::uint8_t, kPatternBytes> mask{}, value{};
        for (std::size_t j = 0; j < e.length; ++j) {
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

void myJpg::recordFile(std::int64_t start, std::int64_t size, std::uint32_t ruleIndex, std::int64_t matchOffset) {
    const CarveRule& rule = rules_[ruleIndex];
    FoundFile file{start, size, matchOffset, ruleIndex, kNoItem};
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

std::int64_t myJpg::walkBuffer(const std::uint8_t* buffer, std::int64_t base, std::int64_t limit,
                               std::int64_t next) {
    std::int64_t o = next - base;
    while (o < limit) {
        const std::int64_t position = base + o;
        std::int64_t advance = kSectorSize;
        const Match m = matchAt(buffer + o);
        if (m.kind == MatchKind::Start) {
            const CarveRule& rule = rules_[m.rule];
            if (rule.endLength != 0) {
                pending_[m.rule].push_back(position);
            } else if (rule.bytesInSize < 1) {
                recordFile(position, rule.approxFileSize, m.rule, position);
                if (rule.sizeToSkip > kSectorSize) advance = rule.sizeToSkip / kSectorSize * kSectorSize;
            } else if (rule.bytesInSize == 4 && rule.offsetToSizeBytes >= 0 &&
                       rule.offsetToSizeBytes <= kSectorSize - 4) {
                // The size field: little-endian u32 at the rule's offset inside the file's
                // first sector; a size that leaves the header out has it added.
                std::int64_t size = le32(buffer + o, static_cast<std::size_t>(rule.offsetToSizeBytes));
                if (!rule.sizeIncludesHeader && rule.headerSize > 0) size += rule.headerSize;
                if (size > rule.approxFileSize) size = 0;
                if (size > 0) {
                    recordFile(position, size, m.rule, position);
                    // Go on at the first sector after the file, in this block or a later one.
                    advance = (size + kSectorSize - 1) / kSectorSize * kSectorSize;
                }
            }
        } else if (m.kind == MatchKind::End) {
            auto& queue = pending_[m.rule];
            if (!queue.empty()) {
                const CarveRule& rule = rules_[m.rule];
                const std::int64_t start = queue.front();
                queue.pop_front();
                std::int64_t size = position + rule.endLength - start + 1;
                if (size > rule.approxFileSize && rule.approxFileSize > 0) size = rule.approxFileSize;
                recordFile(start, size, m.rule, position);
            }
        }
        // A skip never runs past the end of the volume (keeps the offsets from overflowing).
        if (advance > volumeSize) advance = volumeSize + kSectorSize;
        o += advance;
        if (stopRequested()) break;
    }
    return base + o;
}

void myJpg::finishPendingStarts() {
    for (std::uint32_t r = 0; r < pending_.size(); ++r) {
        auto& queue = pending_[r];
        const std::int64_t approx = rules_[r].approxFileSize;
        for (std::size_t i = 0; i < queue.size(); ++i) {
            const std::int64_t start = queue[i];
            std::int64_t size = i + 1 < queue.size() ? queue[i + 1] - start + 1 : approx;
            if (size > approx) size = approx;
            if (size > 0) recordFile(start, size, r, start);
        }
        queue.clear();
    }
}

bool myJpg::carve() {
    found_.clear();
    categoryCounts_.clear();
    blocksRead_ = 0;
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
        buffer.resize(static_cast<std::size_t>(kBlockSize));
    } catch (const std::bad_alloc&) {
        buffer.clear();
    }

    // Reads count bytes at volume offset at. A short read arrives padded with zeros; a
    // read that delivered nothing leaves the buffer as it was, so it is cleared rather
    // than walked again (its last byte, set before the read, tells the two apart).
    auto readBlock = [&](std::int64_t at, std::size_t count) {
        std::uint8_t* buf = buffer.data();
        buf[count - 1] = 1;
        const bool ok = reader && reader->seek(at) && reader->read(buf, static_cast<std::uint32_t>(count));
        if (!ok && buf[count - 1] != 0) std::memset(buf, 0, count);
        ++blocksRead_;
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
            // The bytes after the volume's end compare as zeros.
            std::memset(buffer.data() + rest, 0, static_cast<std::size_t>(kBlockSize - rest));
            readBlock(base, static_cast<std::size_t>(rest));
            walkBuffer(buffer.data(), base, rest, next);
        }
        finishPendingStarts();
    }
    buffer.clear();
    buffer.shrink_to_fit();
    if (sink) sink->setPosition(blocks);
    if (prompt) prompt->message(kCarveDoneText);
    return true;
}

}  // namespace dravonel
