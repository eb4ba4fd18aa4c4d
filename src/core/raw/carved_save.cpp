#include "core/raw/carved_save.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "core/common/output_file.h"
#include "core/common/text.h"

namespace dravonel {

namespace {

// A tree text as one path component: no separators or control characters, and never
// empty, "." or "..".
std::filesystem::path component(std::u16string_view text) {
    std::u16string safe = safeNameText(trim(text));
    if (safe.empty() || safe == u"." || safe == u"..") safe = u"_" + safe;
    return std::filesystem::path(toUtf8(safe));
}


// Reads count bytes at a volume position and appends them to out; sectors that cannot be
// read go as unreadable zeros (and set lost). False when out refused them.
bool copyChunk(readWriteInterface& reader, EntryWriter& out, std::int64_t at, std::uint8_t* buf, std::size_t count,
               bool& lost) {
    std::vector<SectorRange> unreadable;
    std::memset(buf, 0, count);
    if (reader.readAt(at, buf, static_cast<std::uint32_t>(count), &unreadable)) return out.write(buf, count);
    lost = true;
    if (unreadable.empty()) return out.writeUnreadable(count);  // a position the reader refuses
    return writeAsRead(out, buf, count, reader.baseOffset + at, unreadable);
}

}  // namespace

std::int64_t savedLength(const myJpg& engine, const FoundFile& file) {
    std::int64_t length = file.size;
    if (file.sizeEstimated) length = (length + myJpg::kSectorSize - 1) / myJpg::kSectorSize * myJpg::kSectorSize;
    // A size taken from a size field or an approximate size can reach past the volume's
    // end; what lies beyond is not the file, so the copy stops at the volume's last byte.
    if (engine.volumeSize > 0) {
        const std::int64_t left = engine.volumeSize - file.start;
        if (left < length) length = left > 0 ? left : 0;
    }
    return length;
}

std::filesystem::path carvedItemPath(const CTriStateTree& tree, TreeItem item, const std::filesystem::path& outputFolder) {
    std::vector<TreeItem> chain;
    for (TreeItem a = tree.parent(item); a != kNoItem; a = tree.parent(a)) chain.push_back(a);
    std::filesystem::path path = outputFolder;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path /= component(tree.getItemText(*it));
    return path / component(tree.getItemText(item));
}

CarvedSaveResult copyCarvedFile(const myJpg& engine, readWriteInterface& reader, const FoundFile& file,
                                EntryWriter& out, const StopFlag& stop) {
    constexpr std::int64_t kChunk = myJpg::kBlockSize;
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(kChunk));
    } catch (const std::bad_alloc&) {
        return CarvedSaveResult::WriteFailed;
    }
    CarvedSaveResult result = CarvedSaveResult::Saved;
    const std::int64_t length = savedLength(engine, file);
    const std::int64_t whole = length / kChunk;
    bool ok = true, lost = false;
    std::int64_t at = file.start;
    for (std::int64_t i = 0; i < whole && ok; ++i) {
        if (stop.load() != 0) {
            result = CarvedSaveResult::Stopped;
            break;
        }
        ok = copyChunk(reader, out, at, buffer.data(), static_cast<std::size_t>(kChunk), lost);
        at += kChunk;
    }
    const std::int64_t rest = length % kChunk;
    if (ok && result == CarvedSaveResult::Saved && rest > 0)
        ok = copyChunk(reader, out, at, buffer.data(), static_cast<std::size_t>(rest), lost);
    if (lost && result == CarvedSaveResult::Saved) result = CarvedSaveResult::Damaged;
    return ok ? result : CarvedSaveResult::WriteFailed;
}

CarvedSaveResult saveCarvedItem(const myJpg& engine, readWriteInterface& reader, const CTriStateTree& tree,
                                TreeItem item, const std::filesystem::path& outputFolder, const StopFlag& stop,
                                ScanSink* sink, Prompt* prompt, std::uint64_t* unreadableSectors) {
    auto say = [prompt](std::u16string_view text) {
        if (prompt) prompt->message(text);
    };
    if (sink) sink->status(u"Saving File: " + tree.getItemText(item));
    const std::uint64_t index = tree.itemData(item);
    if (index >= engine.found().size()) return CarvedSaveResult::NotInList;
    const FoundFile& file = engine.found()[index];

    const std::filesystem::path target = carvedItemPath(tree, item, outputFolder);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    if (file.size <= 0) {
        say(u"File could not be opened..");
        return CarvedSaveResult::CouldNotOpen;
    }
    // Through the core's output file: a file that is there (the user's, or the source
    // image itself) is never replaced, a link at the name is not followed; the name then
    // gets the " (1)" form.
    OutputFile out;
    if (!out.createNew(target)) {
        say(u"File could not be opened..");
        return CarvedSaveResult::CouldNotOpen;
    }

    const CarvedSaveResult result = copyCarvedFile(engine, reader, file, out, stop);
    if (result == CarvedSaveResult::WriteFailed && out.written() == 0) {
        out.discard();  // nothing of the file came out: no empty file is left behind
        say(u"File could not be written..");
        return CarvedSaveResult::WriteFailed;
    }
    const bool ok = out.close() && result != CarvedSaveResult::WriteFailed;
    if (!ok) {
        say(u"File could not be written..");
        return CarvedSaveResult::WriteFailed;
    }
    if (unreadableSectors) *unreadableSectors += out.unreadableSectors();
    return result;
}

std::string damagedCarvedText(const CarvedSaveSummary& s) {
    return std::to_string(s.damaged) + (s.damaged == 1 ? " file" : " files") + " saved with " +
           std::to_string(s.unreadableSectors) + " unreadable sectors written as zeros";
}

CarvedSaveSummary saveCheckedCarvedItems(const myJpg& engine, readWriteInterface& reader, const CTriStateTree& tree,
                                         const std::filesystem::path& outputFolder, const StopFlag& stop,
                                         ScanSink* sink, Prompt* prompt, WorkerControl* control) {
    CarvedSaveSummary summary;
    const TreeItem root = engine.rootItem() != kNoItem ? engine.rootItem() : tree.root();

    // Depth first over the items below the root: folders are entered, files collected.
    std::vector<TreeItem> files;
    std::vector<TreeItem> stack;
    auto pushChildren = [&](TreeItem folder) {
        std::vector<TreeItem> children;
        for (TreeItem c = tree.firstChild(folder); c != kNoItem; c = tree.nextSibling(c)) children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    };
    if (root != kNoItem) pushChildren(root);
    while (!stack.empty()) {
        const TreeItem item = stack.back();
        stack.pop_back();
        if (tree.image(item) == ItemImage::Folder) {
            pushChildren(item);
        } else if (!tree.isPlaceholder(item) && tree.getCheck(item)) {
            files.push_back(item);
        }
    }

    if (sink) sink->setRange(0, static_cast<std::int64_t>(files.size()));
    std::int64_t position = 0;
    for (const TreeItem item : files) {
        if (control) control->checkPoint();
        if (stop.load() != 0) {
            summary.stopped = true;
            break;
        }
        std::uint64_t unreadable = 0;
        switch (saveCarvedItem(engine, reader, tree, item, outputFolder, stop, sink, prompt, &unreadable)) {
            case CarvedSaveResult::Saved: ++summary.saved; break;
            case CarvedSaveResult::Damaged:
                ++summary.damaged;
                summary.unreadableSectors += unreadable;
                break;
            case CarvedSaveResult::NotInList: break;
            case CarvedSaveResult::Stopped: summary.stopped = true; break;
            case CarvedSaveResult::CouldNotOpen:
            case CarvedSaveResult::WriteFailed: ++summary.failed; break;
        }
        if (sink) sink->setPosition(++position);
        if (summary.stopped) break;
    }
    if (sink) sink->status(u"Saving Finished");
    if (prompt && summary.damaged > 0)
        prompt->message(fromUtf8(damagedCarvedText(summary)));
    if (prompt) prompt->message(u"work done");
    return summary;
}

}  // namespace dravonel
