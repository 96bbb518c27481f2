#pragma once
// The list shared by the four result pages (progress, completed, failed, search results): a
// table of text rows with an icon in column 0, the list control over it with its keys (Delete
// empties the list, Ctrl+A selects every row, Ctrl+C copies the selected rows, Shift+F10 and
// the menu key open the context menu) and its context menu, and CResultView, the page that holds both and copies rows in its own line format.

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QTreeView>
#include <QWidget>

#include <functional>
#include <vector>

class QAction;
class CResultView;

class CResultModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        unsigned headerId; // string id; 0: an empty header
        int width;
        Qt::Alignment align;
    };
    struct Row {
        QStringList texts; // one per column
        QIcon icon;        // shown in column 0
        int data = 0;      // item data (search results: 1 for a folder)
        const void* key = nullptr; // what the row stands for (progress rows: the upload request)
    };

    explicit CResultModel(std::vector<Column> columns, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const std::vector<Column>& Columns() const { return m_columns; }
    void Append(Row row);
    void Append(std::vector<Row> rows);
    void Remove(int row);
    void Clear();
    const Row& At(int row) const { return m_rows.at(static_cast<size_t>(row)); }
    QString Text(int row, int column) const;
    int RowOfKey(const void* key) const;

private:
    std::vector<Column> m_columns;
    std::vector<Row> m_rows;
};

class CResultListCtrl : public QTreeView {
    Q_OBJECT
public:
    CResultListCtrl(CResultView& view, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The context menu from the keyboard (menu key, Shift+F10): under the current row.
    void ShowMenuAtCurrentRow();

    CResultView& m_view;
};

class CResultView : public QWidget {
    Q_OBJECT
public:
    // objectName: the page's class name; copyColumns: the columns of a copied line, in order;
    // trailingTab: an empty last field ends each copied line.
    CResultView(const char* objectName, std::vector<CResultModel::Column> columns, std::vector<int> copyColumns,
                bool trailingTab, QWidget* parent = nullptr);

    CResultListCtrl* List() const { return m_pList; }
    CResultModel* Model() const { return m_pModel; }
    int RowCount() const { return m_pModel->rowCount(); }
    // Selected rows in ascending order.
    QList<int> SelectedRows() const;

    // One line per selected row, in the page's format ("a\tb\tc\r\n").
    QString SelectionText() const;
    // Puts SelectionText on the clipboard (an empty text when nothing is selected).
    void CopySelection();
    void RemoveAll();
    // The user empties the page (Delete, "모두지우기"): clearedByUser first, then RemoveAll.
    void ClearByUser();

    // The context menu's commands; none on a page without a menu.
    const QList<QAction*>& MenuActions() const { return m_menu; }
    QAction* MenuAction(unsigned commandId) const;
    // Every command is grayed while the list is empty.
    void UpdateActions();
    // Whether a menu command may run now, rows being there (a page may gray more of them).
    virtual bool CommandAllowed(unsigned commandId) const { (void)commandId; return true; }
    void ShowContextMenu(const QPoint& globalPos);

signals:
    // The user is about to empty the page (the rows are still there).
    void clearedByUser();

protected:
    // Adds a context command (in menu order) that runs `run`.
    QAction* AddMenuCommand(unsigned commandId, std::function<void()> run);
    // Adds the "모두지우기" and "복사" commands.
    void AddClearAndCopyCommands();

private:
    CResultModel* m_pModel;
    CResultListCtrl* m_pList;
    std::vector<int> m_copyColumns;
    bool m_bTrailingTab;
    QList<QAction*> m_menu;
};
