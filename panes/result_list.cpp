#include "panes/result_list.h"

#include "app/prompt.h"
#include "panes/list_columns.h"
#include "panes/report_list.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QVBoxLayout>

namespace {
constexpr unsigned kClearAllId = 32774;
constexpr unsigned kCopyId = 32778;
} // namespace

// ---- model ---------------------------------------------------------------------------------

CResultModel::CResultModel(std::vector<Column> columns, QObject* parent)
    : QAbstractTableModel(parent), m_columns(std::move(columns))
{
}

int CResultModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int CResultModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant CResultModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return row.texts.value(index.column());
    case Qt::DecorationRole:
        return index.column() == 0 && !row.icon.isNull() ? QVariant(row.icon) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(m_columns[static_cast<size_t>(index.column())].align | Qt::AlignVCenter);
    case Qt::UserRole:
        return row.data;
    default:
        return {};
    }
}

QVariant CResultModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount())
        return {};
    const Column& column = m_columns[static_cast<size_t>(section)];
    if (role == Qt::DisplayRole)
        return column.headerId ? Str(column.headerId) : QString();
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(column.align | Qt::AlignVCenter);
    return {};
}

void CResultModel::Append(Row row)
{
    const int at = rowCount();
    beginInsertRows({}, at, at);
    m_rows.push_back(std::move(row));
    endInsertRows();
}

void CResultModel::Append(std::vector<Row> rows)
{
    if (rows.empty())
        return;
    const int at = rowCount();
    beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
    for (Row& row : rows)
        m_rows.push_back(std::move(row));
    endInsertRows();
}

void CResultModel::Remove(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void CResultModel::Clear()
{
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    endResetModel();
}

QString CResultModel::Text(int row, int column) const
{
    if (row < 0 || row >= rowCount())
        return {};
    return m_rows[static_cast<size_t>(row)].texts.value(column);
}

int CResultModel::RowOfKey(const void* key) const
{
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].key == key)
            return static_cast<int>(i);
    return -1;
}

// ---- list ----------------------------------------------------------------------------------

CResultListCtrl::CResultListCtrl(CResultView& view, QWidget* parent) : QTreeView(parent), m_view(view)
{
    UseReportListLook(*this);
}

void CResultListCtrl::keyPressEvent(QKeyEvent* event)
{
    // The list's own keys end here: the tree view would copy the current cell over the rows
    // just copied.
    if (event->key() == Qt::Key_Delete) {
        m_view.ClearByUser();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
    } else if (event->matches(QKeySequence::Copy)) {
        m_view.CopySelection();
    } else if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        ShowMenuAtCurrentRow();
    } else {
        QTreeView::keyPressEvent(event);
        return;
    }
    event->accept();
}

void CResultListCtrl::ShowMenuAtCurrentRow()
{
    if (m_view.MenuActions().isEmpty())
        return;
    const QRect row = visualRect(currentIndex());
    const QPoint at = row.isValid() ? row.bottomLeft() + QPoint(8, 0) : QPoint(5, 5);
    m_view.ShowContextMenu(viewport()->mapToGlobal(at));
}

void CResultListCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    if (event->reason() == QContextMenuEvent::Keyboard)
        ShowMenuAtCurrentRow();
    else if (!m_view.MenuActions().isEmpty())
        m_view.ShowContextMenu(event->globalPos());
}

// ---- view ----------------------------------------------------------------------------------

CResultView::CResultView(const char* objectName, std::vector<CResultModel::Column> columns,
                         std::vector<int> copyColumns, bool trailingTab, QWidget* parent)
    : QWidget(parent), m_pModel(new CResultModel(std::move(columns), this)), m_pList(new CResultListCtrl(*this, this)),
      m_copyColumns(std::move(copyColumns)), m_bTrailingTab(trailingTab)
{
    setObjectName(QString::fromLatin1(objectName));
    m_pList->setObjectName(QString::fromLatin1(objectName).replace(QStringLiteral("View"), QStringLiteral("Ctrl")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pList);
    m_pList->setModel(m_pModel);
    std::vector<int> widths;
    for (const CResultModel::Column& column : m_pModel->Columns())
        widths.push_back(column.width);
    auto* fit = new CListColumns(*m_pList, std::move(widths));
    // A long local path keeps its file name in view: the middle gives way.
    m_pList->setTextElideMode(Qt::ElideMiddle);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(m_pModel, signal, this, &CResultView::UpdateActions);
    connect(m_pModel, &QAbstractItemModel::rowsInserted, fit, &CListColumns::FitSoon);
    connect(m_pModel, &QAbstractItemModel::modelReset, this, &CResultView::UpdateActions);
}

QList<int> CResultView::SelectedRows() const
{
    QList<int> rows;
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString CResultView::SelectionText() const
{
    QString text;
    for (int row : SelectedRows()) {
        QStringList fields;
        for (int column : m_copyColumns)
            fields.append(m_pModel->Text(row, column));
        if (m_bTrailingTab)
            fields.append(QString());
        text += fields.join(QLatin1Char('\t')) + QStringLiteral("\r\n");
    }
    return text;
}

void CResultView::CopySelection()
{
    if (QClipboard* clipboard = QApplication::clipboard())
        clipboard->setText(SelectionText());
}

void CResultView::RemoveAll()
{
    m_pList->setUpdatesEnabled(false);
    m_pModel->Clear();
    m_pList->setUpdatesEnabled(true);
}

void CResultView::ClearByUser()
{
    if (RowCount() > 0)
        emit clearedByUser();
    RemoveAll();
}

QAction* CResultView::AddMenuCommand(unsigned commandId, std::function<void()> run)
{
    auto* action = new QAction(Str(commandId), this);
    action->setData(commandId);
    connect(action, &QAction::triggered, this, std::move(run));
    m_menu.append(action);
    UpdateActions();
    return action;
}

void CResultView::AddClearAndCopyCommands()
{
    AddMenuCommand(kClearAllId, [this] { ClearByUser(); });
    AddMenuCommand(kCopyId, [this] { CopySelection(); });
}

QAction* CResultView::MenuAction(unsigned commandId) const
{
    for (QAction* action : m_menu)
        if (action->data().toUInt() == commandId)
            return action;
    return nullptr;
}

void CResultView::UpdateActions()
{
    const bool rows = RowCount() > 0;
    for (QAction* action : m_menu)
        action->setEnabled(rows && CommandAllowed(action->data().toUInt()));
}

void CResultView::ShowContextMenu(const QPoint& globalPos)
{
    if (m_menu.isEmpty())
        return;
    UpdateActions();
    QMenu menu(this);
    menu.addActions(m_menu);
    menu.exec(globalPos);
}
