#pragma once
// The look every list of the window shares: flat rows of equal height, whole rows selected
// (several with Shift and Ctrl), nothing edited in place, the focus frame across all columns.
//
// And the row the keys act on: whatever made a row current (Home, End, the page keys,
// type-ahead, a click, the focus arriving in the list), Enter, Shift+F10 and the menu key act
// on it. The item view leaves the current row unselected when a key does not move it (Home on
// the row the focus made current, or a click on the empty part of the list that chose nothing)
// and starts from the first row after its rows were replaced, whatever the key. Here Home, End
// and the page keys make the current row the selection before they move on (from the first
// row when none is current), and Enter, Shift+F10 and the menu key take the current row when
// nothing is chosen (a selection of several rows stays what they act on).

#include <QAbstractItemView>
#include <QApplication>
#include <QContextMenuEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QObject>
#include <QFontMetrics>
#include <QScrollBar>
#include <QHeaderView>
#include <QTableView>
#include <QTreeView>

class CCurrentRowKeys final : public QObject {
public:
    explicit CCurrentRowKeys(QAbstractItemView& list) : QObject(&list), m_list(list) { list.installEventFilter(this); }

    // The current row, when there is one and it is not selected, becomes the only selected row.
    // With onlyWhenNoneSelected, a selection the current row is not part of is left as it is.
    static void SelectCurrentRow(QAbstractItemView& list, bool onlyWhenNoneSelected = false)
    {
        QItemSelectionModel* selection = list.selectionModel();
        const QModelIndex current = list.currentIndex();
        if (!selection || !current.isValid() || selection->isRowSelected(current.row(), current.parent()))
            return;
        if (onlyWhenNoneSelected && selection->hasSelection())
            return;
        selection->select(current, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    // The row Enter opens: the current row when it is selected, else the first selected row;
    // -1 when nothing is selected.
    static int RowToOpen(const QAbstractItemView& list)
    {
        const QItemSelectionModel* selection = list.selectionModel();
        if (!selection)
            return -1;
        const QModelIndex current = list.currentIndex();
        if (current.isValid() && selection->isRowSelected(current.row(), current.parent()))
            return current.row();
        // From the ranges: the model's list of selected rows costs a hundred bytes a row.
        int first = -1;
        for (const QItemSelectionRange& range : selection->selection())
            if (first < 0 || range.top() < first)
                first = range.top();
        return first;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != &m_list || !m_list.model())
            return false;
        // A key an editor inside the list (a rename in place) passed on is the editor's.
        const QWidget* focus = QApplication::focusWidget();
        if (focus && focus != &m_list && m_list.isAncestorOf(focus))
            return false;
        if (event->type() == QEvent::ContextMenu) {
            if (static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard)
                SelectCurrentRow(m_list, true); // the menu key
            return false;
        }
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        switch (key->key()) {
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            if (mods != Qt::NoModifier)
                break;
            if (!m_list.currentIndex().isValid() && m_list.model()->rowCount(m_list.rootIndex()) > 0)
                m_list.selectionModel()->setCurrentIndex(m_list.model()->index(0, 0, m_list.rootIndex()),
                                                         QItemSelectionModel::NoUpdate);
            SelectCurrentRow(m_list); // the key moves on from here, or leaves it chosen
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (mods == Qt::NoModifier)
                SelectCurrentRow(m_list, true);
            break;
        case Qt::Key_F10:
            if (mods == Qt::ShiftModifier)
                SelectCurrentRow(m_list, true);
            break;
        case Qt::Key_Menu:
            SelectCurrentRow(m_list, true);
            break;
        default: break;
        }
        return false;
    }

private:
    QAbstractItemView& m_list;
};

// Whole rows chosen (several with Shift and Ctrl), nothing edited in place, the row keys above.
inline void UseReportListRows(QAbstractItemView& list)
{
    list.setSelectionMode(QAbstractItemView::ExtendedSelection);
    list.setSelectionBehavior(QAbstractItemView::SelectRows);
    list.setEditTriggers(QAbstractItemView::NoEditTriggers);
    new CCurrentRowKeys(list);
}

inline void UseReportListLook(QTreeView& list)
{
    list.setRootIsDecorated(false);
    list.setItemsExpandable(false);
    list.setUniformRowHeights(true);
    list.setAllColumnsShowFocus(true);
    UseReportListRows(list);
}

// The same look on a table view, for lists of a million rows: it keeps no record per row (a
// tree view lays every row out again after each insertion), its rows all one height.
inline void UseReportListLook(QTableView& list)
{
    QHeaderView* rows = list.verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(list.fontMetrics().height() + 4);
    rows->setMinimumSectionSize(1);
    list.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list.horizontalHeader()->setHighlightSections(false);
    // Columns are fitted to the rows on show: a table otherwise measures a thousand rows a
    // column (50 ms a fit of a long list, every few hundred milliseconds while rows come).
    list.horizontalHeader()->setResizeContentsPrecision(0);
    list.setShowGrid(false);
    list.setWordWrap(false);
    list.setCornerButtonEnabled(false);
    list.setTabKeyNavigation(false);
    list.setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    UseReportListRows(list);
}

// A table view with that look whose keys move by rows, as every list of the window: Home and
// End go to the first and the last row (a table's own stay in the row), Left and Right scroll
// the columns sideways (a table's own move a current cell nobody sees).
class CReportTable : public QTableView {
public:
    explicit CReportTable(QWidget* parent = nullptr) : QTableView(parent) { UseReportListLook(*this); }

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override
    {
        if (action == MoveHome || action == MoveEnd)
            modifiers |= Qt::ControlModifier;
        if (action == MoveLeft || action == MoveRight) {
            QScrollBar* bar = horizontalScrollBar();
            bar->setValue(bar->value() + (action == MoveLeft ? -bar->singleStep() : bar->singleStep()));
            return currentIndex();
        }
        return QTableView::moveCursor(action, modifiers);
    }
};
