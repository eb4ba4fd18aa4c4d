#pragma once
// The file list of the scan page: six columns, a check box on every row and one in the
// first column's header that ticks or clears every row. The rows are a FileList (the
// core's rows of a label click or a search); a user's click on a row's box is reported so
// the page can mirror it into the result tree, while the header box only changes rows.
#include <QHeaderView>
#include <QTreeWidget>

#include <functional>
#include <unordered_map>
#include <vector>

#include "core/scan/result_view.h"

namespace dravonel {

// The header with a check box in its first section.
class CCheckHeadCtrl : public QHeaderView {
    Q_OBJECT
public:
    explicit CCheckHeadCtrl(QWidget* parent = nullptr);
    bool isChecked() const { return checked_; }
    // Shows the box ticked or clear (no signal).
    void setChecked(bool checked);

signals:
    // A click on the first section toggled the box.
    void toggled(bool checked);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void mousePressEvent(QMouseEvent* event) override;
    // Space on the focused header toggles the box, as a click does.
    void keyPressEvent(QKeyEvent* event) override;
    QSize sectionSizeFromContents(int logicalIndex) const override;

private:
    int boxWidth() const;
    // pos (viewport coordinates) is on the resize grip at a section's edge.
    bool onSectionEdge(const QPoint& pos) const;
    bool checked_ = false;
};

class CCheckListCtrl : public QTreeWidget {
    Q_OBJECT
public:
    // The scan page's list: "File(s) List", "Creation Time", "Access Time",
    // "Modification Time", "Size", "Attribute".
    explicit CCheckListCtrl(QWidget* parent = nullptr);
    // A list of other columns (the raw page's single "FILES LIST ").
    CCheckListCtrl(const QStringList& headings, QWidget* parent = nullptr);

    // Shows rows (replacing what is shown); every row unchecked unless its row says so.
    void showRows(const FileList& rows);
    // The rows as the page's walks see them (checked marks kept in step with the boxes).
    FileList& rows() { return rows_; }
    const FileList& rows() const { return rows_; }
    void clearRows();
    CCheckHeadCtrl* checkHeader() const { return header_; }
    // Sets a row's box as a user's click would (tests, keyboard); emits rowCheckClicked.
    void clickRowCheck(int row);
    // Shows a row's box in state (a mixed state counts as not ticked) and records the mark
    // in its row, without rowCheckClicked: the result tree changed and the list follows.
    void setRowState(int row, Qt::CheckState state);
    // The row that stands for tree item (label-click rows); -1 when none does.
    int rowOf(TreeItem item) const;
    // Rows drawn in red (deleted entries); asked once per row by showRows.
    std::function<bool(const FileListRow&)> isDeletedRow;

signals:
    // The user changed row's box; rows()[row].checked still holds the state before the click.
    void rowCheckClicked(int row);
    // Enter on the current row.
    void rowActivated(int row);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void setup(const QStringList& headings);
    void onItemChanged(QTreeWidgetItem* item, int column);
    void onHeaderToggled(bool checked);
    void updateHeader();
    // Records row's box as shown ticked or not and keeps the count of ticked boxes.
    void noteShown(std::size_t row, bool ticked);

    FileList rows_;
    // What each row's box shows (1 ticked) and how many are ticked: the header's state is
    // read from the count, so a row click costs the same however long the list is.
    std::vector<char> shown_;
    std::size_t shownTicked_ = 0;
    std::unordered_map<TreeItem, int> itemRows_;
    CCheckHeadCtrl* header_ = nullptr;
    bool filling_ = false;
};

}  // namespace dravonel
