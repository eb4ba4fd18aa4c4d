#include "gui/tri_state_tree_view.h"

#include <QBrush>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "gui/file_icons.h"
#include "gui/shell.h"

namespace dravonel {

namespace {
QString qtext(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
}  // namespace

TriStateTreeModel::TriStateTreeModel(QObject* parent) : QAbstractItemModel(parent) { mirror_.resize(1); }

TriStateTreeModel::~TriStateTreeModel() { detach(); }

void TriStateTreeModel::attach(CTriStateTree* tree) {
    if (tree_) {
        tree_->onInserted = nullptr;
        tree_->onRemoving = nullptr;
        tree_->onChanged = nullptr;
        tree_->onCheckClicked = nullptr;
        tree_->onItemExpanded = nullptr;
    }
    beginResetModel();
    tree_ = tree;
    rebuild();
    if (tree_) {
        tree_->onInserted = [this](TreeItem item) { onInserted(item); };
        tree_->onRemoving = [this](TreeItem item) { onRemoving(item); };
        tree_->onChanged = [this](TreeItem item) { onChanged(item); };
        tree_->onCheckClicked = [this](TreeItem item, int state) { emit checkClicked(item, state); };
        tree_->onItemExpanded = [this](TreeItem item, int state) { emit itemExpanded(item, state); };
    }
    endResetModel();
}

void TriStateTreeModel::detach() { attach(nullptr); }

TriStateTreeModel::Mirror& TriStateTreeModel::mirror(TreeItem item) {
    if (item >= mirror_.size()) mirror_.resize(static_cast<std::size_t>(item) + 1);
    return mirror_[item];
}

void TriStateTreeModel::rebuild() {
    mirror_.assign(1, Mirror{});
    mirror_[0].present = true;
    if (!tree_) return;
    // Iterative walk: a damaged volume can make a deep tree.
    std::vector<TreeItem> parents{kNoItem};
    while (!parents.empty()) {
        const TreeItem p = parents.back();
        parents.pop_back();
        TreeItem c = p == kNoItem ? tree_->root() : tree_->firstChild(p);
        for (; c != kNoItem; c = tree_->nextSibling(c)) {
            Mirror& pm = mirror(p);
            const int row = static_cast<int>(pm.children.size());
            pm.children.push_back(c);
            Mirror& m = mirror(c);
            m = Mirror{p, row, true, {}};
            parents.push_back(c);
        }
    }
}

void TriStateTreeModel::onInserted(TreeItem item) {
    const TreeItem p = tree_->parent(item);
    if (!mirrored(p)) return;  // a parent Qt never saw: nothing of it is shown
    const int row = static_cast<int>(mirror(p).children.size());
    beginInsertRows(indexOf(p), row, row);
    mirror(p).children.push_back(item);
    mirror(item) = Mirror{p, row, true, {}};
    endInsertRows();
}

void TriStateTreeModel::forget(TreeItem item) {
    std::vector<TreeItem> stack{item};
    while (!stack.empty()) {
        const TreeItem i = stack.back();
        stack.pop_back();
        if (!mirrored(i)) continue;
        for (TreeItem c : mirror_[i].children) stack.push_back(c);
        mirror_[i] = Mirror{};
    }
}

void TriStateTreeModel::onRemoving(TreeItem item) {
    if (!mirrored(item)) return;
    const TreeItem p = mirror_[item].parent;
    const int row = mirror_[item].row;
    beginRemoveRows(indexOf(p), row, row);
    // Removing a row takes its subtree with it (deleting all items reports only the top).
    forget(item);
    auto& siblings = mirror(p).children;
    siblings.erase(siblings.begin() + row);
    for (std::size_t r = static_cast<std::size_t>(row); r < siblings.size(); ++r)
        mirror_[siblings[r]].row = static_cast<int>(r);
    endRemoveRows();
}

void TriStateTreeModel::onChanged(TreeItem item) {
    if (!mirrored(item) || item == kNoItem) return;
    const QModelIndex i = indexOf(item);
    emit dataChanged(i, i, {Qt::DisplayRole, Qt::CheckStateRole, Qt::ForegroundRole});
}

TreeItem TriStateTreeModel::itemOf(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return kNoItem;
    return static_cast<TreeItem>(index.internalId());
}

QModelIndex TriStateTreeModel::indexOf(TreeItem item) const {
    if (item == kNoItem || !mirrored(item)) return {};
    return createIndex(mirror_[item].row, 0, static_cast<quintptr>(item));
}

QModelIndex TriStateTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    const TreeItem p = parent.isValid() ? itemOf(parent) : kNoItem;
    if (!mirrored(p)) return {};
    const auto& children = mirror_[p].children;
    if (static_cast<std::size_t>(row) >= children.size()) return {};
    return createIndex(row, 0, static_cast<quintptr>(children[static_cast<std::size_t>(row)]));
}

QModelIndex TriStateTreeModel::parent(const QModelIndex& child) const {
    const TreeItem item = itemOf(child);
    if (!mirrored(item) || item == kNoItem) return {};
    return indexOf(mirror_[item].parent);
}

int TriStateTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0) return 0;
    const TreeItem p = parent.isValid() ? itemOf(parent) : kNoItem;
    return mirrored(p) ? static_cast<int>(mirror_[p].children.size()) : 0;
}

int TriStateTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool TriStateTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant TriStateTreeModel::data(const QModelIndex& index, int role) const {
    const TreeItem item = itemOf(index);
    if (!tree_ || !tree_->exists(item)) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return qtext(tree_->getItemText(item));
        case Qt::DecorationRole:
            switch (tree_->image(item)) {
                case ItemImage::Folder: return CUseShGetFileInfo::instance().folderIcon();
                case ItemImage::File: return CUseShGetFileInfo::instance().iconForName(qtext(tree_->getItemText(item)));
                case ItemImage::Placeholder: return {};
            }
            return {};
        case Qt::ForegroundRole: {
            const TRISTATETREEDATA* d = tree_->findItemData(item);
            if (d && d->textColour == kRedTextColour) return QBrush(Qt::red);
            return {};
        }
        case Qt::CheckStateRole: {
            if (!tree_->checkBoxes) return {};
            const TRISTATETREEDATA* d = tree_->findItemData(item);
            if (d && d->separator) return {};
            switch (tree_->checkState(item)) {
                case 1: return Qt::Checked;
                case 2: return Qt::PartiallyChecked;
                default: return Qt::Unchecked;
            }
        }
        default: return {};
    }
}

bool TriStateTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const TreeItem item = itemOf(index);
    if (role != Qt::CheckStateRole || !tree_ || !tree_->exists(item) || tree_->readOnly) return false;
    // A click on a mixed box checks it, as on an unchecked one.
    tree_->setCheck(item, value.toInt() != Qt::Unchecked);
    return true;
}

Qt::ItemFlags TriStateTreeModel::flags(const QModelIndex& index) const {
    const TreeItem item = itemOf(index);
    if (!tree_ || !tree_->exists(item)) return Qt::NoItemFlags;
    const TRISTATETREEDATA* d = tree_->findItemData(item);
    Qt::ItemFlags f = Qt::ItemIsSelectable;
    if (d && d->enabled) f |= Qt::ItemIsEnabled;
    if (tree_->checkBoxes && !tree_->readOnly && d && !d->separator) f |= Qt::ItemIsUserCheckable;
    return f;
}

TriStateTreeView::TriStateTreeView(QWidget* parent) : QTreeView(parent), model_(new TriStateTreeModel(this)) {
    setModel(model_);
    setHeaderHidden(true);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Expansion by the arrow, a double click or the arrow keys (the double click also
    // reports itemDoubleClicked).
    setExpandsOnDoubleClick(true);
    takeEnter(this);
    // The parsers open ROOT and the folders they fill ("expand ROOT"); the view follows the
    // tree's flag, and a tree shown anew opens where the tree is open.
    connect(model_, &TriStateTreeModel::itemExpanded, this, [this](TreeItem item, int state) {
        const QModelIndex index = model_->indexOf(item);
        if (index.isValid()) setExpanded(index, state != 0);
    });
    connect(model_, &QAbstractItemModel::modelReset, this, &TriStateTreeView::expandAsTree);
}

TriStateTreeView::~TriStateTreeView() {
    // The model is a child and goes after this part of the view: the reset it sends as
    // it lets go of its tree must not reach the view any more.
    disconnect(model_, nullptr, this, nullptr);
}

void TriStateTreeView::expandAsTree() {
    const CTriStateTree* tree = model_->tree();
    if (!tree) return;
    // Only open items are entered: the walk costs what is shown, not the whole tree.
    std::vector<TreeItem> open;
    for (TreeItem c = tree->root(); c != kNoItem; c = tree->nextSibling(c)) open.push_back(c);
    while (!open.empty()) {
        const TreeItem item = open.back();
        open.pop_back();
        const TRISTATETREEDATA* data = tree->findItemData(item);
        if (!data || !data->expanded) continue;
        const QModelIndex index = model_->indexOf(item);
        if (!index.isValid()) continue;
        setExpanded(index, true);
        for (TreeItem c = tree->firstChild(item); c != kNoItem; c = tree->nextSibling(c)) open.push_back(c);
    }
}

TreeItem TriStateTreeView::currentTreeItem() const { return model_->itemOf(currentIndex()); }

bool TriStateTreeView::onCheckIndicator(const QModelIndex& index, const QPoint& pos) {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    option.index = index;
    option.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
    return box.contains(pos);
}

void TriStateTreeView::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const QModelIndex index = indexAt(pos);
    QTreeView::mousePressEvent(event);
    // Only a left press on the item itself (not its check box, not the expand arrow left
    // of visualRect) counts as a click on its label.
    if (event->button() == Qt::LeftButton && index.isValid() && visualRect(index).contains(pos) &&
        !onCheckIndicator(index, pos) && (model_->flags(index) & Qt::ItemIsEnabled))
        emit labelClicked(model_->itemOf(index));
}

void TriStateTreeView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid() && !(model_->flags(index) & Qt::ItemIsEnabled)) return;  // a disabled item ignores it
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && index.isValid() && !onCheckIndicator(index, event->position().toPoint()))
        emit itemDoubleClicked(model_->itemOf(index));
}

void TriStateTreeView::keyPressEvent(QKeyEvent* event) {
    // Enter does what a double click does (quick save on the scan page).
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
        emit itemDoubleClicked(model_->itemOf(currentIndex()));
        event->accept();
        return;
    }
    const QModelIndex before = currentIndex();
    QTreeView::keyPressEvent(event);
    const QModelIndex after = currentIndex();
    // Moving with the keyboard lists the new item's files, as a click on its label would.
    if (after.isValid() && after != before) emit labelClicked(model_->itemOf(after));
}

}  // namespace dravonel
