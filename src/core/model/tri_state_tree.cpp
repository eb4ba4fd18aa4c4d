#include "core/model/tri_state_tree.h"

#include <atomic>
#include <vector>

namespace dravonel {

namespace {
std::atomic<std::int64_t> gLiveRecords{0};
}

std::int64_t CTriStateTree::liveRecordCount() { return gLiveRecords.load(); }

CTriStateTree::CTriStateTree() = default;

void CTriStateTree::initialise() {
    deleteAllItems();
    checkBoxes = true;
    triStatePropagation = false;
    readOnly = false;
    selectionFollowsCheck = true;
}

CTriStateTree::Node* CTriStateTree::node(TreeItem item) {
    if (item == kNoItem || item > nodes_.size()) return nullptr;
    Node& n = nodes_[item - 1];
    return n.alive ? &n : nullptr;
}

const CTriStateTree::Node* CTriStateTree::node(TreeItem item) const {
    if (item == kNoItem || item > nodes_.size()) return nullptr;
    const Node& n = nodes_[item - 1];
    return n.alive ? &n : nullptr;
}

bool CTriStateTree::exists(TreeItem item) const { return node(item) != nullptr; }

TreeItem CTriStateTree::insertItem(std::u16string text, ItemImage image, TreeItem parent, std::uint64_t itemData) {
    if (deletingAll_) return kNoItem;
    if (parent != kNoItem && !node(parent)) return kNoItem;
    nodes_.emplace_back();
    const TreeItem item = static_cast<TreeItem>(nodes_.size());
    Node& n = nodes_.back();
    n.text = std::move(text);
    n.image = image;
    n.data = itemData;
    n.alive = true;
    n.parent = parent;
    ++liveItems_;
    ++gLiveRecords;
    if (parent == kNoItem) {
        n.prev = lastTop_;
        if (lastTop_ != kNoItem) nodes_[lastTop_ - 1].next = item;
        else firstTop_ = item;
        lastTop_ = item;
    } else {
        Node& p = nodes_[parent - 1];
        n.prev = p.lastChild;
        if (p.lastChild != kNoItem) nodes_[p.lastChild - 1].next = item;
        else p.firstChild = item;
        p.lastChild = item;
        if (triStatePropagation) {
            for (TreeItem a = parent; a != kNoItem; a = nodes_[a - 1].parent) ++nodes_[a - 1].state.descendants;
            propagateToAncestors(item, 0);
        }
    }
    if (onInserted) onInserted(item);
    return item;
}

// Walks the ancestors of item upward, adding delta checked descendants to each and
// recomputing its own flag; a flag that flips adds one more to (or takes one from) delta.
void CTriStateTree::propagateToAncestors(TreeItem item, std::int64_t delta) {
    for (TreeItem a = node(item) ? node(item)->parent : kNoItem; a != kNoItem; a = nodes_[a - 1].parent) {
        Node& p = nodes_[a - 1];
        std::int64_t count = static_cast<std::int64_t>(p.state.checkedDescendants) + delta;
        if (count < 0) count = 0;
        p.state.checkedDescendants = static_cast<std::uint32_t>(count);
        const bool was = p.state.checked;
        p.state.checked = p.state.checkedDescendants == checkable(p);
        if (was != p.state.checked) delta += p.state.checked ? 1 : -1;
        if (onChanged) onChanged(a);
    }
}

void CTriStateTree::setSubtree(TreeItem item, bool checked) {
    // Iterative depth-first walk, each child before the next sibling.
    std::vector<TreeItem> stack;
    for (TreeItem c = nodes_[item - 1].lastChild; c != kNoItem; c = nodes_[c - 1].prev) stack.push_back(c);
    while (!stack.empty()) {
        const TreeItem c = stack.back();
        stack.pop_back();
        Node& n = nodes_[c - 1];
        if (!n.state.separator) {
            n.state.checked = checked;
            n.state.checkedDescendants = checked ? checkable(n) : 0;
            if (onChanged) onChanged(c);
        }
        for (TreeItem g = n.lastChild; g != kNoItem; g = nodes_[g - 1].prev) stack.push_back(g);
    }
}

void CTriStateTree::setCheck(TreeItem item, bool checked) {
    if (deletingAll_ || !checkBoxes) return;
    Node* n = node(item);
    if (!n || !n->state.enabled || n->state.separator) return;
    const bool changed = n->state.checked != checked;
    n->state.checked = checked;
    if (onChanged) onChanged(item);
    if (triStatePropagation && changed) {
        const std::int64_t delta = checked
            ? static_cast<std::int64_t>(n->state.descendants) - n->state.checkedDescendants + 1
            : -(static_cast<std::int64_t>(n->state.checkedDescendants) + 1);
        setSubtree(item, checked);
        nodes_[item - 1].state.checkedDescendants = checked ? checkable(nodes_[item - 1]) : 0;
        propagateToAncestors(item, delta);
    }
    if (onCheckClicked) onCheckClicked(item, checked ? 1 : 0);
}

bool CTriStateTree::getCheck(TreeItem item) const {
    const Node* n = node(item);
    if (!n || deletingAll_) return false;
    if (!triStatePropagation || n->state.descendants == 0) return n->state.checked;
    return n->state.checkedDescendants == checkable(*n);
}

int CTriStateTree::checkState(TreeItem item) const {
    const Node* n = node(item);
    if (!n) return 0;
    if (!triStatePropagation || n->state.descendants == 0) return n->state.checked ? 1 : 0;
    if (n->state.checkedDescendants == 0) return 0;
    return n->state.checkedDescendants == checkable(*n) ? 1 : 2;
}

std::int64_t CTriStateTree::countChecked() const {
    if (deletingAll_) return 0;
    std::int64_t count = 0;
    for (TreeItem i = 1; i <= nodes_.size(); ++i)
        if (nodes_[i - 1].alive && getCheck(i)) ++count;
    return count;
}

std::u16string CTriStateTree::getItemText(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->text : std::u16string();
}

void CTriStateTree::setItemText(TreeItem item, std::u16string text) {
    Node* n = node(item);
    if (!n || deletingAll_ || n->state.separator) return;
    n->text = std::move(text);
    if (onChanged) onChanged(item);
}

void CTriStateTree::unlinkAndFree(TreeItem item) {
    Node& n = nodes_[item - 1];
    if (n.prev != kNoItem) nodes_[n.prev - 1].next = n.next;
    else if (n.parent != kNoItem) nodes_[n.parent - 1].firstChild = n.next;
    else firstTop_ = n.next;
    if (n.next != kNoItem) nodes_[n.next - 1].prev = n.prev;
    else if (n.parent != kNoItem) nodes_[n.parent - 1].lastChild = n.prev;
    else lastTop_ = n.prev;
    n = Node{};  // frees the text; alive is false
    --liveItems_;
    --gLiveRecords;
}

void CTriStateTree::deleteItem(TreeItem item) {
    if (deletingAll_) return;
    Node* n = node(item);
    if (!n) return;
    while (nodes_[item - 1].firstChild != kNoItem) deleteItem(nodes_[item - 1].firstChild);
    Node& self = nodes_[item - 1];
    if (triStatePropagation) {
        const bool wasChecked = self.state.checked && !self.state.separator;
        const bool wasSeparator = self.state.separator;
        for (TreeItem a = self.parent; a != kNoItem; a = nodes_[a - 1].parent) {
            TRISTATETREEDATA& s = nodes_[a - 1].state;
            if (s.descendants > 0) --s.descendants;
            if (wasChecked && s.checkedDescendants > 0) --s.checkedDescendants;
            if (wasSeparator && s.separatorDescendants > 0) --s.separatorDescendants;
            // An item left with checkable descendants shows whether all of them are
            // checked; one left without any keeps its own flag.
            if (s.descendants - s.separatorDescendants > 0)
                s.checked = s.checkedDescendants == s.descendants - s.separatorDescendants;
            if (onChanged) onChanged(a);
        }
    }
    if (onRemoving) onRemoving(item);
    unlinkAndFree(item);
}

void CTriStateTree::deleteAllItems() {
    deletingAll_ = true;
    if (onRemoving)
        for (TreeItem t = firstTop_; t != kNoItem; t = nodes_[t - 1].next) onRemoving(t);
    gLiveRecords -= static_cast<std::int64_t>(liveItems_);
    nodes_.clear();
    firstTop_ = lastTop_ = kNoItem;
    liveItems_ = 0;
    deletingAll_ = false;
}

bool CTriStateTree::expand(TreeItem item, ExpandCode code) {
    Node* n = node(item);
    if (!n || deletingAll_ || !n->state.enabled || n->firstChild == kNoItem) return false;
    const bool was = n->state.expanded;
    switch (code) {
        case ExpandCode::Collapse:
        case ExpandCode::CollapseReset: n->state.expanded = false; break;
        case ExpandCode::Expand: n->state.expanded = true; break;
        case ExpandCode::Toggle: n->state.expanded = !n->state.expanded; break;
    }
    if (n->state.expanded) n->state.everExpanded = true;
    if (was == n->state.expanded) return false;
    if (onItemExpanded) onItemExpanded(item, n->state.expanded ? 1 : 0);
    return true;
}

std::int32_t CTriStateTree::setItemTextRed(TreeItem item) {
    Node* n = node(item);
    if (!n || deletingAll_) return 0;
    const std::int32_t previous = n->state.textColour;
    n->state.textColour = kRedTextColour;
    if (onChanged) onChanged(item);
    return previous;
}

void CTriStateTree::setEnabled(TreeItem item, bool enabled) {
    if (Node* n = node(item)) n->state.enabled = enabled;
}

void CTriStateTree::setSeparator(TreeItem item, bool separator) {
    Node* n = node(item);
    if (!n || n->state.separator == separator) return;
    n->state.separator = separator;
    for (TreeItem a = n->parent; a != kNoItem; a = nodes_[a - 1].parent) {
        TRISTATETREEDATA& s = nodes_[a - 1].state;
        if (separator) ++s.separatorDescendants;
        else if (s.separatorDescendants > 0) --s.separatorDescendants;
    }
}

const TRISTATETREEDATA* CTriStateTree::findItemData(TreeItem item) const {
    const Node* n = node(item);
    return n ? &n->state : nullptr;
}

std::uint64_t CTriStateTree::itemData(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->data : 0;
}

void CTriStateTree::setItemData(TreeItem item, std::uint64_t data) {
    if (Node* n = node(item)) n->data = data;
}

ItemImage CTriStateTree::image(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->image : ItemImage::File;
}

bool CTriStateTree::isPlaceholder(TreeItem item) const {
    const Node* n = node(item);
    return n && n->text == kPlaceholderText;
}

TreeItem CTriStateTree::parent(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->parent : kNoItem;
}
TreeItem CTriStateTree::firstChild(TreeItem item) const {
    if (item == kNoItem) return firstTop_;
    const Node* n = node(item);
    return n ? n->firstChild : kNoItem;
}
TreeItem CTriStateTree::lastChild(TreeItem item) const {
    if (item == kNoItem) return lastTop_;
    const Node* n = node(item);
    return n ? n->lastChild : kNoItem;
}
TreeItem CTriStateTree::nextSibling(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->next : kNoItem;
}

}  // namespace dravonel
