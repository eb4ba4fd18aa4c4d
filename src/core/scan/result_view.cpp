#include "core/scan/result_view.h"

namespace dravonel {

bool ResultView::entryOf(TreeItem item, EntryRef& ref) const {
    if (!tree_.exists(item) || tree_.isPlaceholder(item)) return false;
    ref = tree_.itemData(item);
    return volume_.isValidEntry(ref);
}

void ResultView::addExpandPlaceholders() {
    const TreeItem top = tree_.root();
    if (top == kNoItem) return;
    for (TreeItem child = tree_.firstChild(top); child != kNoItem; child = tree_.nextSibling(child)) {
        if (!isFolderItem(child) || tree_.hasChildren(child)) continue;
        EntryRef ref = 0;
        if (!entryOf(child, ref) || !volume_.hasChildren(ref)) continue;
        const bool checked = tree_.getCheck(child);
        const TreeItem placeholder = tree_.insertItem(kPlaceholderText, ItemImage::Placeholder, child);
        if (checked) tree_.setCheck(placeholder, true);
    }
}

std::size_t ResultView::insertChildren(TreeItem folder) {
    EntryRef folderRef = 0;
    if (!entryOf(folder, folderRef)) return 0;
    const TreeItem first = tree_.firstChild(folder);
    if (first != kNoItem) {
        if (!tree_.isPlaceholder(first)) return 0;  // the children are already there
        tree_.deleteItem(first);
    }
    const bool checked = tree_.getCheck(folder);
    std::size_t inserted = 0;
    volume_.forEachChild(folderRef, [&](EntryRef child) {
        const bool folderChild = volume_.isFolder(child);
        const TreeItem item =
            tree_.insertItem(volume_.name(child), folderChild ? ItemImage::Folder : ItemImage::File, folder, child);
        if (item == kNoItem) return true;
        ++inserted;
        if (volume_.isDeleted(child)) tree_.setItemTextRed(item);
        if (folderChild && volume_.hasChildren(child)) tree_.insertItem(kPlaceholderText, ItemImage::Placeholder, item);
        tree_.setCheck(item, checked);
        return true;
    });
    return inserted;
}

FileListRow ResultView::rowFor(TreeItem item) const {
    FileListRow row;
    row.text = tree_.getItemText(item);
    row.item = item;
    EntryRef ref = 0;
    if (entryOf(item, ref)) {
        row.entry = ref;
        row.texts = volume_.texts(ref);
    }
    return row;
}

bool ResultView::labelClicked(TreeItem item, FileList& list) {
    EntryRef ref = 0;
    if (!entryOf(item, ref)) return false;
    if (isFolderItem(item)) {
        insertChildren(item);
        if (!tree_.hasChildren(item)) return false;
        list.rows.clear();
        list.listShowsSearch = false;
        for (TreeItem c = tree_.firstChild(item); c != kNoItem; c = tree_.nextSibling(c))
            if (!isFolderItem(c) && !tree_.isPlaceholder(c)) list.rows.push_back(rowFor(c));
        return true;
    }
    list.rows.clear();
    list.listShowsSearch = false;
    list.rows.push_back(rowFor(item));
    return true;
}

void ResultView::rowCheckClicked(FileList& list, std::size_t row) {
    if (row >= list.rows.size()) return;
    FileListRow& r = list.rows[row];
    const bool wasUnchecked = !r.checked;
    r.checked = wasUnchecked;
    if (!list.listShowsSearch) tree_.setCheck(r.item, wasUnchecked);
}

}  // namespace dravonel
