#include "panes/result_list.h"

#include "app/prompt.h"
#include "panes/list_columns.h"
#include "panes/report_list.h"
#include "panes/size_text.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr unsigned kClearAllId = 32774;
constexpr unsigned kCopyId = 32778;
} // namespace

// ---- model ----------------------------------------------------------------------------------

namespace {

// A size cell: bit 63 set, the low 32 bits index the column's kept texts; else bits 56..62 its
// form and bits 0..55 the number.
constexpr quint64 kFixedBit = quint64(1) << 63;
constexpr quint64 kNumberMask = (quint64(1) << 56) - 1;
enum SizeForm : quint64 { kBare = 0, kKb, kMb, kGrouped };

QString SizeCellText(quint64 cell)
{
    const quint64 value = cell & kNumberMask;
    switch ((cell >> 56) & 0x7f) {
    case kKb:
        return QString::number(value) + QStringLiteral(" KB");
    case kMb:
        return QString::number(value) + QStringLiteral(" MB");
    case kGrouped:
        return QString::fromStdString(talvex::GroupThousands(static_cast<int64_t>(value)));
    default:
        return QString::number(value);
    }
}

// The size cell that gives back exactly `text`; false for any other text.
bool ParseSize(const QString& text, quint64& cell)
{
    QStringView digits(text);
    quint64 form = kBare;
    if (digits.endsWith(u" KB")) {
        form = kKb;
        digits.chop(3);
    } else if (digits.endsWith(u" MB")) {
        form = kMb;
        digits.chop(3);
    }
    if (digits.isEmpty() || digits.size() > 24)
        return false;
    quint64 value = 0;
    bool grouped = false;
    for (QChar c : digits) {
        if (c == QLatin1Char(',')) {
            grouped = true;
            continue;
        }
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + static_cast<quint64>(c.unicode() - '0');
        if (value > kNumberMask)
            return false;
    }
    if (grouped) {
        if (form != kBare)
            return false;
        form = kGrouped;
    }
    cell = form << 56 | value;
    return SizeCellText(cell) == text; // leading zeros, commas out of place
}

} // namespace

CResultModel::CResultModel(std::vector<Column> columns, QObject* parent)
    : QAbstractTableModel(parent), m_columns(std::move(columns)), m_stride(m_columns.size() + 1),
      m_folders{QString()}, m_fixed(m_columns.size()), m_fixedIndex(m_columns.size()), m_icons{QIcon()}
{
    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(kShowEveryMs);
    connect(&m_showTimer, &QTimer::timeout, this, &CResultModel::ShowPending);
}

int CResultModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_nShown; }

int CResultModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_columns.size());
}

QVariant CResultModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return Text(index.row(), index.column());
    case Qt::DecorationRole: {
        if (index.column() != 0)
            return {};
        const QIcon icon = Icon(index.row());
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    case Qt::TextAlignmentRole:
        return QVariant::fromValue(m_columns[static_cast<size_t>(index.column())].align | Qt::AlignVCenter);
    case Qt::UserRole:
        return Data(index.row());
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

quint32 CResultModel::FixedIndex(int column, const QString& text)
{
    QHash<QString, quint32>& index = m_fixedIndex[static_cast<size_t>(column)];
    const auto found = index.constFind(text);
    if (found != index.constEnd())
        return *found;
    QStringList& texts = m_fixed[static_cast<size_t>(column)];
    const auto at = static_cast<quint32>(texts.size());
    texts.append(text);
    index.insert(text, at);
    return at;
}

quint64 CResultModel::PathCell(const QString& text, SharedName& shared)
{
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    quint32 folder = 0;
    if (slash >= 0) {
        const QString path = text.left(slash + 1);
        const auto found = m_folderIndex.constFind(path);
        if (found != m_folderIndex.constEnd()) {
            folder = *found;
        } else {
            folder = static_cast<quint32>(m_folders.size());
            m_folders.append(path);
            m_folderIndex.insert(path, folder);
        }
    }
    const QStringView name = QStringView(text).mid(slash + 1);
    // The row's local and remote paths mostly end in the same name: it is kept once.
    if (shared.valid && shared.name == name)
        return quint64(folder) << 32 | shared.at;
    const auto at = static_cast<quint32>(m_names.size());
    shared = {true, name, at};
    const auto length = static_cast<quint32>(name.size());
    if (length < 0x8000) {
        m_names.push_back(static_cast<char16_t>(length));
    } else {
        m_names.push_back(static_cast<char16_t>(0x8000 | length >> 16));
        m_names.push_back(static_cast<char16_t>(length & 0xffff));
    }
    m_names.append(name.utf16(), name.utf16() + name.size());
    return quint64(folder) << 32 | at;
}

size_t CResultModel::NameUnits(quint32 at) const
{
    const char16_t head = m_names[at];
    if (!(head & 0x8000))
        return 1 + head;
    return 2 + ((size_t(head & 0x7fff) << 16) | m_names[at + 1]);
}

QString CResultModel::Name(quint32 at) const
{
    const char16_t head = m_names[at];
    if (!(head & 0x8000))
        return QString(reinterpret_cast<const QChar*>(&m_names[at + 1]), head);
    const size_t length = (size_t(head & 0x7fff) << 16) | m_names[at + 1];
    return QString(reinterpret_cast<const QChar*>(&m_names[at + 2]), static_cast<qsizetype>(length));
}

void CResultModel::CompactNames()
{
    CGrowingArray<char16_t> names;
    names.reserve(m_names.size() - std::min(m_freeNames, m_names.size()));
    for (size_t slot = 0; slot < m_slots.size(); slot += m_stride) {
        quint32 lastAt = 0, lastMoved = 0;
        bool last = false;
        for (size_t c = 0; c < m_columns.size(); ++c) {
            if (m_columns[c].kind != CellKind::Path)
                continue;
            quint64& cell = m_slots[slot + 1 + c];
            const auto at = static_cast<quint32>(cell);
            if (last && at == lastAt) { // the name the row's previous path shares
                cell = (cell & ~quint64(0xffffffff)) | lastMoved;
                continue;
            }
            const size_t units = NameUnits(at);
            const auto moved = static_cast<quint32>(names.size());
            names.append(m_names.begin() + at, m_names.begin() + static_cast<std::ptrdiff_t>(at + units));
            cell = (cell & ~quint64(0xffffffff)) | moved;
            last = true;
            lastAt = at;
            lastMoved = moved;
        }
    }
    m_names = std::move(names);
    m_freeNames = 0;
}

void CResultModel::EnableKeys()
{
    m_bKeyed = true;
    const size_t rows = static_cast<size_t>(Rows());
    m_keys.assign(rows, nullptr);
    m_serials.resize(rows);
    for (size_t i = 0; i < rows; ++i)
        m_serials[i] = m_nextSerial++;
}

void CResultModel::Store(const Row& row)
{
    // A name's place in the store is 32 bits: the space of removed names is won back first.
    size_t units = 0;
    for (const QString& text : row.texts)
        units += static_cast<size_t>(text.size()) + 2;
    if (m_names.size() + units > 0xffffffffu)
        CompactNames();
    if (m_names.size() + units > 0xffffffffu)
        qFatal("result list: more than 4G characters of names");

    if (row.key && !m_bKeyed)
        EnableKeys(); // for the rows there before this one
    quint32 icon = 0;
    if (!row.icon.isNull()) {
        const auto found = m_iconIndex.constFind(row.icon.cacheKey());
        if (found != m_iconIndex.constEnd()) {
            icon = *found;
        } else {
            icon = static_cast<quint32>(m_icons.size());
            m_icons.push_back(row.icon);
            m_iconIndex.insert(row.icon.cacheKey(), icon);
        }
    }
    m_slots.push_back(quint64(static_cast<quint32>(row.data)) << 32 | icon);
    static const QString kNoText;
    SharedName shared; // a view into row.texts, which outlive the loop
    for (size_t c = 0; c < m_columns.size(); ++c) {
        const QString& text = c < static_cast<size_t>(row.texts.size()) ? row.texts[static_cast<qsizetype>(c)] : kNoText;
        quint64 cell = 0;
        switch (m_columns[c].kind) {
        case CellKind::Path:
            cell = PathCell(text, shared);
            break;
        case CellKind::Size:
            if (!ParseSize(text, cell))
                cell = kFixedBit | FixedIndex(static_cast<int>(c), text);
            break;
        case CellKind::Fixed:
            cell = FixedIndex(static_cast<int>(c), text);
            break;
        }
        m_slots.push_back(cell);
    }

    if (m_bKeyed) {
        const quint64 serial = m_nextSerial++;
        m_keys.push_back(row.key);
        m_serials.push_back(serial);
        if (row.key && !m_serialOfKey.emplace(row.key, serial).second)
            m_bDuplicateKeys = true;
    }
}

void CResultModel::Append(Row row)
{
    if (Rows() < kShowAtOnceRows && m_nShown == Rows()) {
        const int at = Rows();
        beginInsertRows({}, at, at);
        Store(row);
        m_nShown = Rows();
        endInsertRows();
        return;
    }
    // A long page that grows a row at a time (the completed page: a row a file) tells its
    // views of the new rows at most every kShowEveryMs: each insertion has a table work out
    // every row's position again, a quarter of the window's time at a million rows.
    Store(row);
    if (!m_showTimer.isActive())
        m_showTimer.start();
}

void CResultModel::ShowPending()
{
    m_showTimer.stop();
    if (m_nShown >= Rows())
        return;
    beginInsertRows({}, m_nShown, Rows() - 1);
    m_nShown = Rows();
    endInsertRows();
}

void CResultModel::Append(std::vector<Row> rows)
{
    ShowPending();
    if (rows.empty())
        return;
    const int at = Rows();
    beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
    // Grown by doubling, never to the exact size: a million rows come a batch at a time.
    const size_t need = m_slots.size() + rows.size() * m_stride;
    if (need > m_slots.capacity())
        m_slots.reserve(std::max(need, m_slots.capacity() * 2));
    for (const Row& row : rows)
        Store(row);
    m_nShown = Rows();
    endInsertRows();
}

void CResultModel::FreeNames(int row)
{
    const size_t slot = Slot(row);
    bool last = false;
    quint32 lastAt = 0;
    for (size_t c = 0; c < m_columns.size(); ++c)
        if (m_columns[c].kind == CellKind::Path) {
            const auto at = static_cast<quint32>(m_slots[slot + 1 + c]);
            if (!last || at != lastAt) // a shared name is freed once
                m_freeNames += NameUnits(at);
            last = true;
            lastAt = at;
        }
}

void CResultModel::AfterRemoval()
{
    if (m_slots.empty()) {
        m_names.clear();
        m_freeNames = 0;
    } else if (m_freeNames > 65536 && m_freeNames * 2 > m_names.size()) {
        CompactNames();
    }
}

void CResultModel::RemoveFirst(int count)
{
    ShowPending();
    count = std::min(count, Rows());
    if (count <= 0)
        return;
    if (m_bKeyed) { // pages with keys hold the files under way: a few rows
        for (int i = 0; i < count; ++i)
            Remove(0);
        return;
    }
    beginRemoveRows({}, 0, count - 1);
    for (int row = 0; row < count; ++row)
        FreeNames(row);
    m_slots.erase(m_slots.begin(), m_slots.begin() + static_cast<std::ptrdiff_t>(Slot(count)));
    AfterRemoval();
    m_nShown = Rows();
    endRemoveRows();
}

void CResultModel::Remove(int row)
{
    ShowPending();
    if (row < 0 || row >= Rows())
        return;
    beginRemoveRows({}, row, row);
    const size_t slot = Slot(row);
    FreeNames(row);
    m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(slot),
                  m_slots.begin() + static_cast<std::ptrdiff_t>(slot + m_stride));
    if (m_bKeyed) {
        const auto at = static_cast<size_t>(row);
        const void* key = m_keys[at];
        const quint64 serial = m_serials[at];
        m_keys.erase(m_keys.begin() + row);
        m_serials.erase(m_serials.begin() + row);
        const auto found = key ? m_serialOfKey.find(key) : m_serialOfKey.end();
        if (found != m_serialOfKey.end() && found->second == serial) {
            m_serialOfKey.erase(found);
            // Another row with the same key (rare): the first of them answers for it now.
            if (m_bDuplicateKeys)
                for (size_t i = 0; i < m_keys.size(); ++i)
                    if (m_keys[i] == key) {
                        m_serialOfKey.emplace(key, m_serials[i]);
                        break;
                    }
        }
    }
    AfterRemoval();
    m_nShown = Rows();
    endRemoveRows();
}

void CResultModel::Clear()
{
    m_showTimer.stop();
    if (m_slots.empty())
        return;
    beginResetModel();
    m_nShown = 0;
    // Swapped out, not cleared: a million rows give their memory back.
    m_slots = CGrowingArray<quint64>();
    m_names = CGrowingArray<char16_t>();
    m_freeNames = 0;
    m_folders = {QString()};
    m_folderIndex.clear();
    m_fixed.assign(m_columns.size(), {});
    m_fixedIndex.assign(m_columns.size(), {});
    m_icons = {QIcon()};
    m_iconIndex.clear();
    m_bKeyed = m_bDuplicateKeys = false;
    std::vector<const void*>().swap(m_keys);
    std::vector<quint64>().swap(m_serials);
    m_serialOfKey.clear();
    endResetModel();
}

QString CResultModel::Text(int row, int column) const
{
    if (row < 0 || row >= Rows() || column < 0 || column >= columnCount())
        return {};
    const quint64 cell = m_slots[Slot(row) + 1 + static_cast<size_t>(column)];
    const QStringList& fixed = m_fixed[static_cast<size_t>(column)];
    switch (m_columns[static_cast<size_t>(column)].kind) {
    case CellKind::Path: {
        const QString& folder = m_folders[static_cast<qsizetype>(cell >> 32)];
        return folder.isEmpty() ? Name(static_cast<quint32>(cell)) : folder + Name(static_cast<quint32>(cell));
    }
    case CellKind::Size:
        return cell & kFixedBit ? fixed[static_cast<qsizetype>(static_cast<quint32>(cell))] : SizeCellText(cell);
    case CellKind::Fixed:
        return fixed[static_cast<qsizetype>(cell)];
    }
    return {};
}

int CResultModel::Data(int row) const
{
    if (row < 0 || row >= Rows())
        return 0;
    return static_cast<int>(static_cast<quint32>(m_slots[Slot(row)] >> 32));
}

QIcon CResultModel::Icon(int row) const
{
    if (row < 0 || row >= Rows())
        return {};
    return m_icons[static_cast<quint32>(m_slots[Slot(row)])];
}

const void* CResultModel::Key(int row) const
{
    if (!m_bKeyed || row < 0 || row >= Rows())
        return nullptr;
    return m_keys[static_cast<size_t>(row)];
}

int CResultModel::RowOfKey(const void* key) const
{
    if (!key) {
        // Rows without a key: the first of them.
        if (!m_bKeyed)
            return Rows() > 0 ? 0 : -1;
        const auto it = std::find(m_keys.begin(), m_keys.end(), nullptr);
        return it == m_keys.end() ? -1 : static_cast<int>(it - m_keys.begin());
    }
    const auto found = m_serialOfKey.find(key);
    if (found == m_serialOfKey.end())
        return -1;
    const auto it = std::lower_bound(m_serials.begin(), m_serials.end(), found->second);
    return it != m_serials.end() && *it == found->second ? static_cast<int>(it - m_serials.begin()) : -1;
}

// ---- list ----------------------------------------------------------------------------------

CResultListCtrl::CResultListCtrl(CResultView& view, QWidget* parent) : CReportTable(parent), m_view(view) {}

void CResultListCtrl::keyPressEvent(QKeyEvent* event)
{
    // The list's own keys end here: the table view would copy the current cell over the rows
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
        QTableView::keyPressEvent(event);
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
    // From the selection's ranges: Ctrl+A on a million rows is one range, where asking row by
    // row whether it is selected would take long.
    QList<int> rows;
    const int lastColumn = m_pModel->columnCount() - 1;
    const QItemSelection selection = m_pList->selectionModel()->selection();
    const bool wholeRows = std::all_of(selection.begin(), selection.end(), [lastColumn](const QItemSelectionRange& range) {
        return range.left() == 0 && range.right() == lastColumn;
    });
    if (wholeRows) {
        for (const QItemSelectionRange& range : selection)
            for (int row = range.top(); row <= range.bottom(); ++row)
                rows.append(row);
    } else {
        // Rows made of ranges column by column: a row counts when all its columns are selected.
        for (const QModelIndex& index : m_pList->selectionModel()->selectedRows())
            rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

QString CResultView::SelectionText() const
{
    QString text;
    const QList<int> rows = SelectedRows();
    for (int row : rows) {
        bool first = true;
        for (int column : m_copyColumns) {
            if (!first)
                text += QLatin1Char('\t');
            first = false;
            text += m_pModel->Text(row, column);
        }
        if (m_bTrailingTab)
            text += QLatin1Char('\t');
        text += QStringLiteral("\r\n");
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
