#pragma once
// The result tree on screen: a Qt item model over the core's CTriStateTree, and the view
// that shows it with tri-state check boxes, red text for deleted entries and icons by
// file type.
//
// The model mirrors the tree's structure (each item's parent, row and children) and
// follows it through the tree's insert/remove/change notifications, so the rows Qt sees
// change only between beginInsertRows/endInsertRows (and the remove pair), whatever
// order the tree reports in. Everything here runs on the GUI thread: a worker inserts
// through a GuiTreeSink (gui_tree_sink.h), which hands each call to this thread.
#include <QAbstractItemModel>
#include <QTreeView>

#include <vector>

#include "core/model/tri_state_tree.h"

namespace dravonel {

class TriStateTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TriStateTreeModel(QObject* parent = nullptr);
    ~TriStateTreeModel() override;

    // Shows tree (null: nothing) and follows its changes from now on: the rows are rebuilt
    // from what the tree holds. The tree's notifications are taken over until detach().
    void attach(CTriStateTree* tree);
    void detach();
    CTriStateTree* tree() const { return tree_; }

    TreeItem itemOf(const QModelIndex& index) const;
    QModelIndex indexOf(TreeItem item) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    // An item's check mark was changed by setCheck (state 0 or 1).
    void checkClicked(dravonel::TreeItem item, int state);
    // An item's expanded flag changed in the tree model (1 expanded, 0 collapsed).
    void itemExpanded(dravonel::TreeItem item, int state);

private:
    struct Mirror {
        TreeItem parent = kNoItem;
        int row = -1;
        bool present = false;
        std::vector<TreeItem> children;
    };
    // The structure as Qt sees it; index 0 holds the top-level items.
    Mirror& mirror(TreeItem item);
    bool mirrored(TreeItem item) const { return item < mirror_.size() && mirror_[item].present; }
    void rebuild();
    void onInserted(TreeItem item);
    void onRemoving(TreeItem item);
    void onChanged(TreeItem item);
    void forget(TreeItem item);

    CTriStateTree* tree_ = nullptr;
    std::vector<Mirror> mirror_;
};

// The tree view of the scan and raw recovery pages. A press on an item's label (not on
// its check box or the expand arrow) reports labelClicked, as do keyboard moves to another
// item; a double click, or Enter on the current item, reports itemDoubleClicked.
class TriStateTreeView : public QTreeView {
    Q_OBJECT
public:
    explicit TriStateTreeView(QWidget* parent = nullptr);
    ~TriStateTreeView() override;
    TriStateTreeModel* treeModel() const { return model_; }
    TreeItem currentTreeItem() const;

signals:
    void labelClicked(dravonel::TreeItem item);
    void itemDoubleClicked(dravonel::TreeItem item);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool onCheckIndicator(const QModelIndex& index, const QPoint& pos);
    // Opens every item the tree holds open (after the model was reset).
    void expandAsTree();
    TriStateTreeModel* model_ = nullptr;
};

}  // namespace dravonel
