#pragma once
// The result tree and the file list of a scan page: lazy insertion of a folder's children
// (the "..DUMY.." placeholder marks a folder whose children are not in the tree yet),
// check-state inheritance, and the file-list rows of a label click. Works for every
// parser through the const queries of RecoveredVolume, on the tree's own thread.
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/recovered_volume.h"
#include "core/model/tri_state_tree.h"

namespace dravonel {

// One row of the file list. Rows of a label click stand for a tree item; rows of a
// search stand for an entry and carry the hit's path (root text, folder names, name).
struct FileListRow {
    std::u16string text;  // column 0
    EntryTexts texts;     // columns 1-5
    TreeItem item = kNoItem;
    EntryRef entry = 0;
    std::vector<std::u16string> pathParts;  // search rows only
    bool checked = false;
};

struct FileList {
    std::vector<FileListRow> rows;
    // True while the rows are search hits, false while they are a folder's files.
    bool listShowsSearch = false;
    bool anyChecked() const {
        for (const auto& r : rows)
            if (r.checked) return true;
        return false;
    }
};

class ResultView {
public:
    ResultView(CTriStateTree& tree, const RecoveredVolume& volume) : tree_(tree), volume_(volume) {}

    // End of a scan: every direct child of the first top-level item that shows a folder
    // and whose entry has children gets the placeholder (taking the folder's check mark,
    // so a checked folder stays checked).
    void addExpandPlaceholders();

    // Inserts the real children of folder when they are not in the tree yet (its first
    // child is the placeholder, or it has none). Each child takes the folder's check
    // state; deleted children are red; folders with children get the placeholder.
    // Returns the number of items inserted.
    std::size_t insertChildren(TreeItem folder);

    // A click on an item's label: a folder gets its children inserted and the list shows
    // its files (nothing changes when it has no child items at all); a file is listed
    // alone. False when the list was left as it was.
    bool labelClicked(TreeItem item, FileList& list);

    // A click on a row's check box: mirrors the new mark into the tree while the list
    // shows a folder's files; search rows only change themselves.
    void rowCheckClicked(FileList& list, std::size_t row);

    // True when item shows a folder (by its image, as the page tells them apart).
    bool isFolderItem(TreeItem item) const { return tree_.image(item) == ItemImage::Folder; }
    // The item's entry when it names one of this parser's entries.
    bool entryOf(TreeItem item, EntryRef& ref) const;

    // A file-list row for one tree item.
    FileListRow rowFor(TreeItem item) const;

private:
    CTriStateTree& tree_;
    const RecoveredVolume& volume_;
};

}  // namespace dravonel
