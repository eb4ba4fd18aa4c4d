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

const std::vector<TreeItem>* CTriStateTree::childrenOf(TreeItem parent) const {
    if (parent == kNoItem) return &topItems_;
    const Node* p = node(parent);
    return p ? &p->children : nullptr;
}

TreeItem CTriStateTree::insertItem(std::u16string text, ItemImage image, TreeItem parent, std::uint64_t itemData) {
    if (deletingAll_) return kNoItem;
    if (parent != kNoItem && !node(parent)) return kNoItem;
    const std::size_t row = childrenOf(parent)->size();
    if (onBeforeInsert) onBeforeInsert(parent, row);
    if (parent != kNoItem && !node(parent)) return kNoItem;  // the notification took the parent away
    // A deque keeps every other node where it is, so references into it stay valid.
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
    std::vector<TreeItem>& siblings = parent == kNoItem ? topItems_ : nodes_[parent - 1].children;
    n.row = static_cast<std::uint32_t>(siblings.size());
    siblings.push_back(item);
    if (parent != kNoItem && triStatePropagation) {
        for (TreeItem a = parent; a != kNoItem; a = nodes_[a - 1].parent) ++nodes_[a - 1].state.descendants;
        propagateToAncestors(item, 0);
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
    std::vector<TreeItem> stack(nodes_[item - 1].children.rbegin(), nodes_[item - 1].children.rend());
    while (!stack.empty()) {
        const TreeItem c = stack.back();
        stack.pop_back();
        Node& n = nodes_[c - 1];
        if (!n.state.separator) {
            n.state.checked = checked;
            n.state.checkedDescendants = checked ? checkable(n) : 0;
            if (onChanged) onChanged(c);
        }
        stack.insert(stack.end(), n.children.rbegin(), n.children.rend());
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

template <class Visit>
void CTriStateTree::forEachAfterChildren(TreeItem top, Visit visit) {
    // Without recursion: a damaged volume can nest folders deeper than the stack allows.
    struct Frame {
        TreeItem item;
        std::size_t next;
    };
    std::vector<Frame> stack{{top, 0}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        const Node& n = nodes_[f.item - 1];
        if (f.next < n.children.size()) {
            const TreeItem c = n.children[f.next++];
            stack.push_back({c, 0});
            continue;
        }
        const TreeItem item = f.item;
        stack.pop_back();
        visit(item);
    }
}

void CTriStateTree::countRemoval(TreeItem top) {
    // Each item leaves after its children, in tree order; the ancestors' counts change as
    // if the items were deleted one by one, so the flags end as they would then.
    forEachAfterChildren(top, [this](TreeItem item) {
        const Node& self = nodes_[item - 1];
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
        }
    });
}

void CTriStateTree::freeSubtree(TreeItem top) {
    forEachAfterChildren(top, [this](TreeItem item) {
        if (onRemoving) onRemoving(item);
        nodes_[item - 1] = Node{};  // frees the text and the child list; alive is false
        --liveItems_;
        --gLiveRecords;
    });
}

void CTriStateTree::deleteItem(TreeItem item) {
    if (deletingAll_) return;
    if (!node(item)) return;
    if (onBeforeRemove) onBeforeRemove(item);
    if (!node(item)) return;  // the notification took it away
    if (triStatePropagation) countRemoval(item);
    const TreeItem parent = nodes_[item - 1].parent;
    const std::size_t row = nodes_[item - 1].row;
    std::vector<TreeItem>& siblings = parent == kNoItem ? topItems_ : nodes_[parent - 1].children;
    siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(row));
    for (std::size_t r = row; r < siblings.size(); ++r) nodes_[siblings[r] - 1].row = static_cast<std::uint32_t>(r);
    freeSubtree(item);
    if (onRemoved) onRemoved(parent, row);
    // The ancestors' marks may have changed; a view hears it once the rows are gone.
    if (triStatePropagation && onChanged)
        for (TreeItem a = parent; a != kNoItem; a = nodes_[a - 1].parent) onChanged(a);
}

void CTriStateTree::deleteAllItems() {
    if (onBeforeReset) onBeforeReset();
    deletingAll_ = true;
    if (onRemoving)
        for (TreeItem t : topItems_) onRemoving(t);
    gLiveRecords -= static_cast<std::int64_t>(liveItems_);
    nodes_.clear();
    topItems_.clear();
    liveItems_ = 0;
    deletingAll_ = false;
    if (onReset) onReset();
}

bool CTriStateTree::expand(TreeItem item, ExpandCode code) {
    Node* n = node(item);
    if (!n || deletingAll_ || !n->state.enabled || n->children.empty()) return false;
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

std::size_t CTriStateTree::childCount(TreeItem item) const {
    const std::vector<TreeItem>* c = childrenOf(item);
    return c ? c->size() : 0;
}

TreeItem CTriStateTree::child(TreeItem item, std::size_t n) const {
    const std::vector<TreeItem>* c = childrenOf(item);
    return c && n < c->size() ? (*c)[n] : kNoItem;
}

std::size_t CTriStateTree::row(TreeItem item) const {
    const Node* n = node(item);
    return n ? n->row : 0;
}

TreeItem CTriStateTree::lastChild(TreeItem item) const {
    const std::vector<TreeItem>* c = childrenOf(item);
    return c && !c->empty() ? c->back() : kNoItem;
}

TreeItem CTriStateTree::nextSibling(TreeItem item) const {
    const Node* n = node(item);
    return n ? child(n->parent, std::size_t{n->row} + 1) : kNoItem;
}

TreeItem CTriStateTree::previousSibling(TreeItem item) const {
    const Node* n = node(item);
    return n && n->row > 0 ? child(n->parent, n->row - 1) : kNoItem;
}

}  // namespace dravonel
