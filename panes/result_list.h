#pragma once
// The list shared by the four result pages (progress, completed, failed, search results): a
// table of text rows with an icon in column 0, the list control over it with its keys (Delete
// empties the list, Ctrl+A selects every row, Ctrl+C copies the selected rows, Shift+F10 and
// the menu key open the context menu) and its context menu, and CResultView, the page that holds both and copies rows in its own line format.

#include "panes/growing_array.h"
#include "panes/report_list.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QTableView>
#include <QTimer>
#include <QWidget>

#include <QHash>

#include <functional>
#include <unordered_map>
#include <vector>

class QAction;
class CResultView;

// The rows are kept compact, for pages of a million files: a path is an index into the page's
// table of folder texts and its own name in one shared character store, a size is its number
// and unit, a status one of the column's few texts, an icon an index into the page's few icons.
// The texts are made when asked for (data(), Text()). Keys are looked up through a map.
class CResultModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // How a column's texts are kept; every kind gives back exactly the text appended.
    enum class CellKind : quint8 {
        Path,  // any text: what precedes the last "/" shared by the rows, the rest its own
        Size,  // a size ("1023", "12 KB", "5120 MB", "1,048,576") as its number; other texts as Fixed
        Fixed, // one of a few texts repeated down the page (status)
    };
    struct Column {
        unsigned headerId; // string id; 0: an empty header
        int width;
        Qt::Alignment align;
        CellKind kind = CellKind::Path;
    };
    // A row as it is appended (it is not kept in this form).
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
    // Appends a row. Its views hear of it at once on a page of fewer than kShowAtOnceRows
    // rows, else within kShowEveryMs, with the others appended meanwhile; every other change,
    // and ShowPending, tells them first. Text, Data, Key, Icon and RowOfKey know it at once.
    void Append(Row row);
    void ShowPending();
    static constexpr int kShowAtOnceRows = 10000;
    static constexpr int kShowEveryMs = 100;
    // One insertion for all the rows.
    void Append(std::vector<Row> rows);
    void Remove(int row);
    // The first count rows, in one removal.
    void RemoveFirst(int count);
    void Clear();
    QString Text(int row, int column) const;
    int Data(int row) const;
    const void* Key(int row) const;
    QIcon Icon(int row) const;
    // The first row appended with key that is still there; -1 when none.
    int RowOfKey(const void* key) const;

private:
    size_t Slot(int row) const { return static_cast<size_t>(row) * m_stride; }
    int Rows() const { return static_cast<int>(m_slots.size() / m_stride); } // kept, shown or not
    void Store(const Row& row);
    // The name of the row's previous path cell, for the next one to share.
    struct SharedName {
        bool valid = false;
        QStringView name;
        quint32 at = 0;
    };
    quint64 PathCell(const QString& text, SharedName& shared);
    quint32 FixedIndex(int column, const QString& text);
    QString Name(quint32 at) const;
    // Units the name at `at` takes in the store (its length included).
    size_t NameUnits(quint32 at) const;
    void CompactNames();
    // Counts the names of the row as free (a name its paths share, once).
    void FreeNames(int row);
    // Packs the names once removed ones take half of them.
    void AfterRemoval();
    void EnableKeys();

    std::vector<Column> m_columns;
    size_t m_stride;                 // slots a row takes: its icon and data, then one per column
    CGrowingArray<quint64> m_slots;
    int m_nShown = 0; // the rows the views know of (rowCount): the first ones kept
    QTimer m_showTimer;    // the rows, m_stride slots each
    QStringList m_folders;           // [0]: no folder
    QHash<QString, quint32> m_folderIndex;
    CGrowingArray<char16_t> m_names;   // the names: each its length, then its characters
    size_t m_freeNames = 0;          // units of removed rows' names still in m_names
    std::vector<QStringList> m_fixed; // per column: its texts kept once
    std::vector<QHash<QString, quint32>> m_fixedIndex;
    std::vector<QIcon> m_icons;      // [0]: no icon
    QHash<qint64, quint32> m_iconIndex;
    // Only once a row with a key came: each row's key and its number in the order of appending
    // (rising down the page), and the number of each key's row.
    bool m_bKeyed = false;
    bool m_bDuplicateKeys = false;
    std::vector<const void*> m_keys;
    std::vector<quint64> m_serials;
    std::unordered_map<const void*, quint64> m_serialOfKey;
    quint64 m_nextSerial = 0;
};

class CResultListCtrl : public CReportTable {
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
    int RowCount() const
    {
        m_pModel->ShowPending();
        return m_pModel->rowCount();
    }
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
