#include "gui/check_list_ctrl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionHeader>

#include <algorithm>

#include "gui/file_icons.h"
#include "gui/shell.h"

namespace dravonel {

namespace {
QString qtext(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
constexpr int kRowIndexRole = Qt::UserRole + 1;
}  // namespace

CCheckHeadCtrl::CCheckHeadCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsClickable(true);
    // Reached by Tab, so the keyboard can tick every row.
    setFocusPolicy(Qt::TabFocus);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setAccessibleName(tr("Tick all"));
}

void CCheckHeadCtrl::setChecked(bool checked) {
    if (checked_ == checked) return;
    checked_ = checked;
    viewport()->update();
}

int CCheckHeadCtrl::boxWidth() const {
    QStyleOptionButton option;
    return style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this) + 6;
}

void CCheckHeadCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (logicalIndex != 0) {
        QHeaderView::paintSection(painter, rect, logicalIndex);
        return;
    }
    const int box = boxWidth();
    // The section's frame and text right of the box, then the box on a plain section.
    painter->save();
    QHeaderView::paintSection(painter, rect.adjusted(box, 0, 0, 0), logicalIndex);
    painter->restore();
    QStyleOptionHeader frame;
    initStyleOption(&frame);
    frame.rect = QRect(rect.left(), rect.top(), box, rect.height());
    frame.section = 0;
    style()->drawControl(QStyle::CE_HeaderSection, &frame, painter, this);
    QStyleOptionButton option;
    const int w = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this);
    const int h = style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, this);
    option.rect = QRect(rect.left() + 3, rect.top() + (rect.height() - h) / 2, w, h);
    option.state = QStyle::State_Enabled | (checked_ ? QStyle::State_On : QStyle::State_Off);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, painter, this);
}

QSize CCheckHeadCtrl::sectionSizeFromContents(int logicalIndex) const {
    QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
    if (logicalIndex == 0) size.rwidth() += boxWidth();
    return size;
}

bool CCheckHeadCtrl::onSectionEdge(const QPoint& pos) const {
    // The grip QHeaderView resizes by lies this far either side of a section's edge.
    const int grip = style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, this);
    for (int i = 0; i < count(); ++i) {
        if (isSectionHidden(i)) continue;
        const int edge = sectionViewportPosition(i) + sectionSize(i);
        if (std::abs(pos.x() - edge) <= grip) return true;
    }
    return false;
}

void CCheckHeadCtrl::mousePressEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    // A press on a column's edge starts a resize and never ticks.
    if (event->button() == Qt::LeftButton && logicalIndexAt(pos) == 0 && !onSectionEdge(pos)) {
        checked_ = !checked_;
        viewport()->update();
        emit toggled(checked_);
        return;
    }
    QHeaderView::mousePressEvent(event);
}

void CCheckHeadCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        checked_ = !checked_;
        viewport()->update();
        emit toggled(checked_);
        event->accept();
        return;
    }
    QHeaderView::keyPressEvent(event);
}

CCheckListCtrl::CCheckListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setup({tr("File(s) List"), tr("Creation Time"), tr("Access Time"), tr("Modification Time"), tr("Size"),
           tr("Attribute")});
    // Each column as wide as its widest text needs in the list's own font: the dates of
    // formatDateTime ("01/02/2024  01:05 PM"), sizes of formatSize ("1023.99 MB"), the
    // attribute letters ("-R-H-S-A"), and room for a name.
    const QFontMetrics fm(font());
    const int pad = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 16;
    const auto fit = [&](int c, const QString& sample) {
        const int header = fm.horizontalAdvance(headerItem()->text(c)) + pad + (c == 0 ? 24 : 0);
        setColumnWidth(c, std::max(header, fm.horizontalAdvance(sample) + pad));
    };
    fit(0, QStringLiteral("A long file name here.txt"));
    for (int c = 1; c <= 3; ++c) fit(c, QStringLiteral("00/00/0000  00:00 PM"));
    fit(4, QStringLiteral("1023.99 MB"));
    fit(5, QStringLiteral("-R-H-S-A"));
}

CCheckListCtrl::CCheckListCtrl(const QStringList& headings, QWidget* parent) : QTreeWidget(parent) { setup(headings); }

void CCheckListCtrl::setup(const QStringList& headings) {
    header_ = new CCheckHeadCtrl(this);
    setHeader(header_);
    setColumnCount(static_cast<int>(headings.size()));
    setHeaderLabels(headings);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);  // full-row select
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAlternatingRowColors(true);
    connect(this, &QTreeWidget::itemChanged, this, &CCheckListCtrl::onItemChanged);
    takeEnter(this);
    connect(header_, &CCheckHeadCtrl::toggled, this, &CCheckListCtrl::onHeaderToggled);
}

void CCheckListCtrl::clearRows() {
    filling_ = true;
    clear();
    rows_.rows.clear();
    shown_.clear();
    shownTicked_ = 0;
    itemRows_.clear();
    filling_ = false;
}

void CCheckListCtrl::showRows(const FileList& list) {
    filling_ = true;
    clear();
    rows_ = list;
    shown_.assign(rows_.rows.size(), 0);
    shownTicked_ = 0;
    itemRows_.clear();
    const QBrush red(QColor(255, 0, 0));
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows_.rows.size()));
    for (std::size_t i = 0; i < rows_.rows.size(); ++i) {
        const FileListRow& r = rows_.rows[i];
        auto* item = new QTreeWidgetItem;
        const QString name = qtext(r.text);
        item->setText(0, name);
        item->setToolTip(0, name);
        const QString shownName = r.pathParts.empty() ? name : qtext(r.pathParts.back());
        item->setIcon(0, CUseShGetFileInfo::instance().iconForName(shownName));
        if (columnCount() >= 6) {
            item->setText(1, qtext(r.texts.created));
            item->setText(2, qtext(r.texts.accessed));
            item->setText(3, qtext(r.texts.modified));
            item->setText(4, qtext(r.texts.size));
            item->setText(5, qtext(r.texts.attributes));
        }
        item->setData(0, kRowIndexRole, static_cast<qulonglong>(i));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, r.checked ? Qt::Checked : Qt::Unchecked);
        if (isDeletedRow && isDeletedRow(r))
            for (int c = 0; c < columnCount(); ++c) item->setForeground(c, red);
        noteShown(i, r.checked);
        if (r.item != kNoItem && !rows_.listShowsSearch) itemRows_.emplace(r.item, static_cast<int>(i));
        items.push_back(item);
    }
    addTopLevelItems(items);
    filling_ = false;
    if (!rows_.rows.empty()) updateHeader();
}

void CCheckListCtrl::noteShown(std::size_t row, bool ticked) {
    if (row >= shown_.size() || (shown_[row] != 0) == ticked) return;
    shown_[row] = ticked ? 1 : 0;
    if (ticked) ++shownTicked_;
    else --shownTicked_;
}

int CCheckListCtrl::rowOf(TreeItem item) const {
    const auto it = itemRows_.find(item);
    return it == itemRows_.end() ? -1 : it->second;
}

void CCheckListCtrl::setRowState(int row, Qt::CheckState state) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item || row < 0 || static_cast<std::size_t>(row) >= rows_.rows.size()) return;
    filling_ = true;
    item->setCheckState(0, state);
    filling_ = false;
    rows_.rows[static_cast<std::size_t>(row)].checked = state == Qt::Checked;
    noteShown(static_cast<std::size_t>(row), state == Qt::Checked);
    updateHeader();
}

void CCheckListCtrl::onItemChanged(QTreeWidgetItem* item, int column) {
    if (filling_ || column != 0) return;
    const auto row = item->data(0, kRowIndexRole).toULongLong();
    if (row >= rows_.rows.size()) return;
    const bool now = item->checkState(0) == Qt::Checked;
    if (rows_.rows[row].checked != now) {
        // The page mirrors the click into the tree and records the new mark in the row.
        emit rowCheckClicked(static_cast<int>(row));
        rows_.rows[row].checked = now;
    }
    noteShown(row, now);
    updateHeader();
}

void CCheckListCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        const int row = currentItem() ? indexOfTopLevelItem(currentItem()) : -1;
        if (row >= 0) emit rowActivated(row);
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void CCheckListCtrl::clickRowCheck(int row) {
    QTreeWidgetItem* item = topLevelItem(row);
    if (!item) return;
    item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

void CCheckListCtrl::onHeaderToggled(bool checked) {
    // Rows only: the header box never changes the result tree. The model's per-row change
    // signals are held back (each would have the view repaint a row) and one repaint
    // follows.
    filling_ = true;
    const bool held = model()->blockSignals(true);
    for (int i = 0; i < topLevelItemCount(); ++i) topLevelItem(i)->setCheckState(0, checked ? Qt::Checked : Qt::Unchecked);
    model()->blockSignals(held);
    viewport()->update();
    for (auto& r : rows_.rows) r.checked = checked;
    std::fill(shown_.begin(), shown_.end(), checked ? 1 : 0);
    shownTicked_ = checked ? shown_.size() : 0;
    filling_ = false;
}

void CCheckListCtrl::updateHeader() { header_->setChecked(!shown_.empty() && shownTicked_ == shown_.size()); }

}  // namespace dravonel
