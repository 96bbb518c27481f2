#include "res/accessible_texts.h"
#include "panes/local_view.h"

#include "app/prompt.h"
#include "panes/list_columns.h"
#include "panes/local_folder_reader.h"
#include "panes/report_list.h"
#include "res/menu_resource.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOption>

#include <sys/stat.h>

#include <algorithm>
#include <utility>


namespace {

// Posted to the list itself to read the next piece of a folder (refresh: of a folder on show
// being read again).
class CReadChunkEvent final : public QEvent {
public:
    static QEvent::Type Kind()
    {
        static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
        return kind;
    }
    CReadChunkEvent(unsigned generation, bool refresh) : QEvent(Kind()), m_generation(generation), m_refresh(refresh) {}
    unsigned Generation() const { return m_generation; }
    bool IsRefresh() const { return m_refresh; }

private:
    unsigned m_generation;
    bool m_refresh;
};

// Keys the list takes before the window's shortcuts see them (F5 refreshes this pane, not the
// remote one).
bool IsOwnKey(const QKeyEvent& event)
{
    const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
    if (mods != Qt::NoModifier)
        return event.key() == Qt::Key_F10 && mods == Qt::ShiftModifier;
    return event.key() == Qt::Key_F5 || event.key() == Qt::Key_Backspace || event.key() == Qt::Key_Return
        || event.key() == Qt::Key_Enter;
}


// Qt's header draws a downward triangle for an ascending sort; this pane shows an upward one
// for ascending and a downward one for descending.
class CSortArrowStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option);
        if (element != PE_IndicatorHeaderArrow || !header || header->sortIndicator == QStyleOptionHeader::None) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        QStyleOptionHeader flipped(*header);
        flipped.sortIndicator = header->sortIndicator == QStyleOptionHeader::SortUp ? QStyleOptionHeader::SortDown
                                                                                     : QStyleOptionHeader::SortUp;
        QProxyStyle::drawPrimitive(element, &flipped, painter, widget);
    }
};

} // namespace

CLocalListCtrl::CLocalListCtrl(ILocalHost& host, VolumeSource volumes, QWidget* parent)
    : CReportTable(parent), m_host(host), m_volumes(std::move(volumes)), m_pModel(new CLocalListModel(this)),
      m_pUpload(new QAction(Str(talvex::ID_LOCAL_UPLOAD), this))
{
    setObjectName(QStringLiteral("CLocalListCtrl"));
    setAccessibleName(QString::fromUtf8(talvex::kAccLocalList));
    setAccessibleDescription(QString::fromUtf8(talvex::kAccLocalListHelp));
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setModel(m_pModel);
    new CListColumns(*this, std::vector<int>(std::begin(kColumnWidths), std::end(kColumnWidths)));
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    auto* arrows = new CSortArrowStyle(QApplication::style()->name());
    arrows->setParent(horizontalHeader());
    horizontalHeader()->setStyle(arrows);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) { SortByColumn(section, 0); });

    m_pUpload->setData(talvex::ID_LOCAL_UPLOAD);
    connect(m_pUpload, &QAction::triggered, this, &CLocalListCtrl::UploadSelection);
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, &CLocalListCtrl::UpdateActions);

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshDelayMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CLocalListCtrl::BeginRefresh);
    m_sortTimer.setInterval(0);
    connect(&m_sortTimer, &QTimer::timeout, this, &CLocalListCtrl::SortStep);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &CLocalListCtrl::OnFolderChanged);

    ShowSortIndicator();
    OpenFolder(QString()); // the pane starts with the volume list
}

CLocalListCtrl::~CLocalListCtrl() = default;

QByteArray CLocalListCtrl::WithoutTrailingSlashes(QByteArray path)
{
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

// ---- reading ------------------------------------------------------------------------------

void CLocalListCtrl::OpenFolder(const QString& path)
{
    if (m_bBusy) {
        m_pending = path;
        return;
    }
    if (path.isEmpty()) {
        OpenFolderBytes(QByteArray());
        return;
    }
    QString folder = path;
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    folder += QLatin1Char('/');
    OpenFolderBytes(QFile::encodeName(folder));
}

void CLocalListCtrl::OpenFolderBytes(const QByteArray& folder)
{
    if (m_bBusy) {
        m_pending = QFile::decodeName(folder);
        return;
    }
    m_pending.reset();
    m_bHadFocus = hasFocus();
    m_searchTimer.invalidate(); // type-ahead starts afresh in the folder shown next
    // A read of the folder left is of no use any more.
    ++m_nRefreshGeneration;
    m_refreshReader.reset();
    m_bRefreshRead = false;
    m_refreshTimer.stop();
    m_bRefreshAgain = false;
    WatchFolder(folder);
    m_pModel->Clear(folder);
    if (folder.isEmpty()) {
        m_pModel->ShowVolumes(m_volumes ? m_volumes() : QList<LocalVolume>(), m_nSortColumn, m_nSortDirection);
        if (!m_strAfterShow.isEmpty())
            SelectEntryNamed(std::exchange(m_strAfterShow, QString()));
        UpdateActions();
        if (CListColumns* columns = CListColumns::Of(*this))
            columns->FitSoon();
        emit folderShown();
        return;
    }
    m_bBusy = true;
    ++m_nReadGeneration;
    m_readClock.start();
    m_bShownWhileRead = false;
    setUpdatesEnabled(false);
    setEnabled(false);
    m_pModel->AddParentEntry();
    m_reader = std::make_unique<CLocalFolderReader>(folder);
    ReadChunk();
}

void CLocalListCtrl::ReadChunk()
{
    int added = 0;
    FolderEntry entry;
    while (m_reader && m_reader->Next(entry)) {
        m_pModel->AddEntry(entry);
        ++added;
        if (m_pModel->EntryCount() % kChunk == 0) {
            emit chunkRead(added);
            if (!m_bShownWhileRead && m_pModel->EntryCount() >= m_nShowReadSoFarEntries &&
                m_readClock.elapsed() >= m_nShowReadSoFarMs) {
                m_bShownWhileRead = true;
                setUpdatesEnabled(true);
                m_pModel->ShowInReadOrder();
            }
            QCoreApplication::postEvent(this, new CReadChunkEvent(m_nReadGeneration, false));
            return;
        }
    }
    emit chunkRead(added);
    // The rows are sorted in steps, each a turn of the event loop, and shown in one more.
    m_reader.reset();
    m_pModel->StartPreparingRows(m_nSortColumn, m_nSortDirection);
    QCoreApplication::postEvent(this, new CReadChunkEvent(m_nReadGeneration, false));
}

void CLocalListCtrl::PrepareStep()
{
    // The header clicked meanwhile: the sort starts again on that column.
    if (m_pModel->StagedSortColumn() != m_nSortColumn || m_pModel->StagedSortDirection() != m_nSortDirection)
        m_pModel->StartPreparingRows(m_nSortColumn, m_nSortDirection);
    if (m_pModel->PrepareStep(m_nStepBudgetNs))
        FinishRead();
    else
        QCoreApplication::postEvent(this, new CReadChunkEvent(m_nReadGeneration, false));
}

void CLocalListCtrl::FinishRead()
{
    m_bBusy = false;
    setUpdatesEnabled(true);
    m_pModel->ShowPreparedRows();
    setEnabled(true);
    if (m_bHadFocus)
        setFocus();
    if (!m_strAfterShow.isEmpty())
        SelectEntryNamed(std::exchange(m_strAfterShow, QString()));
    UpdateActions();
    if (CListColumns* columns = CListColumns::Of(*this))
        columns->FitSoon();
    emit folderShown();
    if (m_pending) {
        const QString next = *m_pending;
        m_pending.reset();
        OpenFolder(next);
    }
}

bool CLocalListCtrl::event(QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride && IsOwnKey(*static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
    }
    if (event->type() == CReadChunkEvent::Kind() && static_cast<CReadChunkEvent*>(event)->IsRefresh()) {
        if (m_refreshReader && static_cast<CReadChunkEvent*>(event)->Generation() == m_nRefreshGeneration)
            RefreshStep();
        return true;
    }
    if (event->type() == CReadChunkEvent::Kind()) {
        if (m_bBusy && static_cast<CReadChunkEvent*>(event)->Generation() == m_nReadGeneration) {
            if (m_reader)
                ReadChunk();
            else
                PrepareStep();
        }
        return true;
    }
    return CReportTable::event(event);
}

// ---- navigation ---------------------------------------------------------------------------

bool CLocalListCtrl::IsVolumeRoot(const QByteArray& folder) const
{
    const QByteArray bare = WithoutTrailingSlashes(folder);
    if (bare == "/")
        return true;
    if (m_volumes)
        for (const LocalVolume& volume : m_volumes())
            if (WithoutTrailingSlashes(QFile::encodeName(volume.path)) == bare)
                return true;
    return false;
}

QString CLocalListCtrl::ParentOf(const QString& folder) const
{
    const QByteArray bytes = QFile::encodeName(folder);
    if (bytes.isEmpty() || IsVolumeRoot(bytes))
        return QString();
    const QByteArray bare = WithoutTrailingSlashes(bytes);
    return QFile::decodeName(bare.left(bare.lastIndexOf('/') + 1));
}

void CLocalListCtrl::OpenSelected()
{
    if (m_bBusy)
        return;
    const int row = CCurrentRowKeys::RowToOpen(*this);
    if (row < 0)
        return;
    if (!m_pModel->EntryAt(row).folder)
        return;
    if (m_pModel->IsVolumeList()) {
        QByteArray path = WithoutTrailingSlashes(m_pModel->PathBytes(row));
        OpenFolderBytes(path == "/" ? path : path + '/');
    } else if (row == 0) {
        OpenParent(); // as Backspace: the folder left becomes the current row there
    } else {
        OpenFolderBytes(m_pModel->PathBytes(row) + '/');
    }
}

void CLocalListCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    CReportTable::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        OpenSelected();
}

void CLocalListCtrl::OpenParent()
{
    if (m_bBusy || m_pModel->IsVolumeList())
        return;
    const QByteArray current = m_pModel->FolderBytes();
    const QByteArray bare = WithoutTrailingSlashes(current);
    if (IsVolumeRoot(current)) {
        // The volume whose folder this is becomes the current row of the volume list.
        if (m_volumes)
            for (const LocalVolume& volume : m_volumes())
                if (WithoutTrailingSlashes(QFile::encodeName(volume.path)) == bare)
                    m_strAfterShow = volume.displayName;
        OpenFolderBytes(QByteArray());
        return;
    }
    m_strAfterShow = QFile::decodeName(bare.mid(bare.lastIndexOf('/') + 1));
    OpenFolderBytes(bare.left(bare.lastIndexOf('/') + 1));
}

void CLocalListCtrl::SelectEntryNamed(const QString& name)
{
    for (int row = 0; row < m_pModel->rowCount(); ++row) {
        if (m_pModel->Name(m_pModel->EntryAt(row)) == name) {
            const QModelIndex index = m_pModel->index(row, 0);
            selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            scrollTo(index);
            return;
        }
    }
}

void CLocalListCtrl::keyPressEvent(QKeyEvent* event)
{
    if (!IsOwnKey(*event)) {
        CReportTable::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: OpenSelected(); break;
    case Qt::Key_Backspace: OpenParent(); break;
    case Qt::Key_F5: Refresh(); break;
    case Qt::Key_F10: ShowContextMenu(MenuPointOfCurrentRow()); break;
    default: break;
    }
    event->accept();
}

// ---- following the disk -------------------------------------------------------------------

void CLocalListCtrl::WatchFolder(const QByteArray& folder)
{
    const QStringList watched = m_watcher.directories();
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);
    // The volume list is not watched; a folder that cannot be watched (no more watches, a file
    // system without notices) still shows, and F5 reads it again.
    if (!folder.isEmpty())
        m_watcher.addPath(QFile::decodeName(WithoutTrailingSlashes(folder)));
}

void CLocalListCtrl::OnFolderChanged(const QString& path)
{
    if (m_pModel->IsVolumeList() || QFile::encodeName(path) != WithoutTrailingSlashes(m_pModel->FolderBytes()))
        return;
    ScheduleRefresh();
}

void CLocalListCtrl::ScheduleRefresh()
{
    // Changes that come while the folder is being read again are read by the next round.
    if (IsRefreshing()) {
        m_bRefreshAgain = true;
        return;
    }
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void CLocalListCtrl::Refresh()
{
    if (m_bBusy)
        return;
    if (m_pModel->IsVolumeList()) {
        const QList<int> rows = SelectedRows();
        if (!rows.isEmpty())
            m_strAfterShow = m_pModel->NameAt(rows.first());
        OpenFolderBytes(QByteArray());
        return;
    }
    m_refreshTimer.stop();
    if (IsRefreshing()) {
        m_bRefreshAgain = true;
        return;
    }
    BeginRefresh();
}

void CLocalListCtrl::BeginRefresh()
{
    if (m_pModel->IsVolumeList() || IsRefreshing())
        return;
    if (m_bBusy) {
        ScheduleRefresh(); // the first read is still going on
        return;
    }
    const QByteArray folder = m_pModel->FolderBytes();
    auto reader = std::make_unique<CLocalFolderReader>(folder);
    if (!reader->IsOpen()) {
        // The folder itself is gone (or may no longer be read): the nearest folder above it
        // that is still there is shown instead.
        QByteArray up = WithoutTrailingSlashes(folder);
        struct stat st {};
        while (!up.isEmpty() && up != "/") {
            up = up.left(up.lastIndexOf('/'));
            if (!up.isEmpty() && ::stat(up.constData(), &st) == 0 && S_ISDIR(st.st_mode))
                break;
        }
        OpenFolderBytes(up.isEmpty() || up == "/" ? QByteArray("/") : up + '/');
        return;
    }
    m_bRefreshAgain = false;
    m_bRefreshRead = false;
    m_refreshClock.start();
    m_refreshReader = std::move(reader);
    m_pModel->BeginReconcile();
    ++m_nRefreshGeneration;
    RefreshStep();
}

void CLocalListCtrl::RefreshStep()
{
    // In turns of the event loop: the rows on show are indexed by name, the folder is read a
    // piece at a time, and the new order is sorted; the rows move in one last turn.
    const auto again = [this] { QCoreApplication::postEvent(this, new CReadChunkEvent(m_nRefreshGeneration, true)); };
    if (!m_pModel->IndexStep(m_nStepBudgetNs)) {
        again();
        return;
    }
    if (!m_bRefreshRead) {
        // At most a piece of the folder, and less when its entries are slow to read (a loaded
        // disk): the read stops when its share of time is spent.
        QElapsedTimer clock;
        clock.start();
        FolderEntry entry;
        for (int n = 0; n < kChunk && (n == 0 || m_nStepBudgetNs <= 0 || clock.nsecsElapsed() < m_nStepBudgetNs); ++n) {
            if (!m_refreshReader->Next(entry)) {
                m_bRefreshRead = true;
                if (!m_pModel->StartFinishing(m_nSortColumn, m_nSortDirection)) {
                    EndRefresh(false); // nothing changed
                    return;
                }
                break;
            }
            m_pModel->ReconcileEntry(entry);
        }
        again();
        return;
    }
    // The header clicked meanwhile: the new order is sorted again on that column.
    if (m_pModel->StagedSortColumn() != m_nSortColumn || m_pModel->StagedSortDirection() != m_nSortDirection)
        m_pModel->StartFinishing(m_nSortColumn, m_nSortDirection);
    if (!m_pModel->FinishStep(m_nStepBudgetNs)) {
        again();
        return;
    }
    MoveRows([this] { m_pModel->ShowReconciled(); });
    EndRefresh(true);
}

void CLocalListCtrl::EndRefresh(bool changed)
{
    m_refreshReader.reset();
    m_bRefreshRead = false;
    if (changed) {
        UpdateActions();
        if (CListColumns* columns = CListColumns::Of(*this))
            columns->FitSoon();
    }
    // A folder that takes long to read is read again less often.
    const qint64 took = m_refreshClock.elapsed();
    m_refreshTimer.setInterval(static_cast<int>(std::clamp<qint64>(2 * took, kRefreshDelayMs, kMaxRefreshDelayMs)));
    emit folderRefreshed();
    if (m_bRefreshAgain) {
        m_bRefreshAgain = false;
        m_refreshTimer.start();
    }
}

// ---- sorting ------------------------------------------------------------------------------

void CLocalListCtrl::ShowSortIndicator()
{
    horizontalHeader()->setSortIndicator(m_nSortColumn, m_nSortDirection == CLocalListModel::Descending ? Qt::DescendingOrder
                                                                                             : Qt::AscendingOrder);
}

void CLocalListCtrl::SortByColumn(int column, int direction)
{
    if (column < 0 || column >= CLocalListModel::ColumnCount)
        return;
    if (direction == CLocalListModel::Toggle)
        direction = column == m_nSortColumn && m_nSortDirection == CLocalListModel::Ascending ? CLocalListModel::Descending
                                                                                              : CLocalListModel::Ascending;
    else if (direction != CLocalListModel::Descending)
        direction = CLocalListModel::Ascending;
    m_nSortColumn = column;
    m_nSortDirection = direction;
    ShowSortIndicator();
    // A folder being read is sorted by this column once it is read.
    if (m_pModel->rowCount() <= 1 || m_bBusy)
        return;
    m_pModel->StartSorting(column, direction);
    if (m_pModel->rowCount() > m_nSortInStepsRows) {
        m_sortTimer.start(); // the rows stay as they are until the sort is done
        return;
    }
    MoveRows([this] { m_pModel->ShowSorted(); });
}

void CLocalListCtrl::SortStep()
{
    if (!m_pModel->IsSorting()) { // another folder, or the rows changed and were sorted anew
        m_sortTimer.stop();
        return;
    }
    if (!m_pModel->SortStep(m_nStepBudgetNs))
        return;
    m_sortTimer.stop();
    MoveRows([this] { m_pModel->ShowSorted(); });
}

void CLocalListCtrl::MoveRows(const std::function<void()>& move)
{
    // Through a change of the rows' order the selection model keeps a persistent index for each
    // selected row (two while a selection is being made): a million chosen rows cost seconds and
    // 150 MB each time. The chosen entries are marked in the model instead, the selection is
    // emptied, and they are chosen again where they land (entries that left are not).
    bool chosen = false;
    for (const QItemSelectionRange& range : selectionModel()->selection())
        if (range.left() == 0 && range.right() == CLocalListModel::ColumnCount - 1) {
            m_pModel->MarkRows(range.top(), range.bottom());
            chosen = true;
        }
    if (chosen)
        selectionModel()->clearSelection();
    move();
    if (chosen) {
        const std::vector<int> rows = m_pModel->TakeMarkedRows();
        const int lastColumn = CLocalListModel::ColumnCount - 1;
        QItemSelection selection;
        for (size_t i = 0; i < rows.size();) {
            size_t j = i;
            while (j + 1 < rows.size() && rows[j + 1] == rows[j] + 1)
                ++j;
            selection.select(m_pModel->index(rows[i], 0), m_pModel->index(rows[j], lastColumn));
            i = j + 1;
        }
        selectionModel()->select(selection, QItemSelectionModel::Select);
    }
    viewport()->update();
}

// ---- type-ahead and menu ------------------------------------------------------------------

void CLocalListCtrl::keyboardSearch(const QString& search)
{
    const int rows = m_pModel->rowCount();
    if (search.isEmpty() || rows == 0)
        return;
    const bool fresh = !m_searchTimer.isValid() || m_searchTimer.elapsed() > QApplication::keyboardInputInterval();
    m_strSearch = fresh ? search : m_strSearch + search;
    m_searchTimer.start();
    // A new search starts after the current row, so typing one letter again moves on.
    int start = currentIndex().isValid() ? currentIndex().row() : 0;
    if (fresh && currentIndex().isValid())
        start = (start + 1) % rows;
    const int row = m_pModel->FindPrefix(m_strSearch, start);
    if (row < 0)
        return;
    const QModelIndex index = m_pModel->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(index);
}

QList<int> CLocalListCtrl::SelectedRows() const
{
    // Read from the selection's ranges: the selection model's own list of selected rows keeps a
    // set of every row it has looked at, over a hundred bytes a row when a million are chosen.
    // Whole rows are chosen here, so a range spans every column.
    QItemSelection selection = selectionModel()->selection();
    std::sort(selection.begin(), selection.end(),
              [](const QItemSelectionRange& a, const QItemSelectionRange& b) { return a.top() < b.top(); });
    QList<int> rows;
    for (const QItemSelectionRange& range : selection)
        if (range.left() == 0 && range.right() == CLocalListModel::ColumnCount - 1)
            for (int row = range.top(); row <= range.bottom(); ++row)
                rows.append(row);
    // Ranges do not overlap as the selection model keeps them; should they, the rows are put
    // in order once.
    if (!std::is_sorted(rows.begin(), rows.end(), std::less_equal<int>())) {
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    }
    return rows;
}

void CLocalListCtrl::UpdateActions()
{
    m_pUpload->setEnabled(!m_bBusy && !m_pModel->IsVolumeList() && m_host.IsRemoteReady()
                          && selectionModel()->hasSelection());
}

void CLocalListCtrl::ShowContextMenu(const QPoint& globalPos)
{
    if (m_pModel->rowCount() == 0)
        return;
    UpdateActions();
    QMenu menu(this);
    menu.addAction(m_pUpload);
    menu.exec(globalPos);
}

QPoint CLocalListCtrl::MenuPointOfCurrentRow() const
{
    const QRect row = visualRect(currentIndex());
    return viewport()->mapToGlobal(row.isValid() ? row.bottomLeft() + QPoint(8, 0) : QPoint(5, 5));
}

void CLocalListCtrl::contextMenuEvent(QContextMenuEvent* event)
{
    ShowContextMenu(event->reason() == QContextMenuEvent::Keyboard ? MenuPointOfCurrentRow() : event->globalPos());
}

// ---- view ---------------------------------------------------------------------------------

CLocalView::CLocalView(ILocalHost& host, QWidget* parent, VolumeSource volumes)
    : QWidget(parent), m_pList(new CLocalListCtrl(host, std::move(volumes), this))
{
    setObjectName(QStringLiteral("CLocalView"));
}

void CLocalView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_pList->setGeometry(rect());
}
