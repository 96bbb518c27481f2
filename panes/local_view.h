#pragma once
// CLocalView: the local file pane. CLocalListCtrl shows the volume list or one local folder,
// reads large folders in pieces between window events, sorts by any column and sends the chosen
// entries to the host as upload orders (context menu, or a drag onto the remote pane or the
// upload queue).

#include "panes/local_host.h"
#include "panes/local_list_model.h"
#include "panes/local_volumes.h"
#include "panes/report_list.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMimeData;
class CLocalFolderReader;

class CLocalListCtrl : public CReportTable {
    Q_OBJECT
public:
    // Entries read between two window events.
    static constexpr int kChunk = 100;
    // A large folder still being read after a while (this many entries, this long) shows the
    // rows read so far, in the order they were read, until the whole of it is sorted and shown.
    static constexpr int kShowReadSoFarEntries = 10000;
    static constexpr qint64 kShowReadSoFarMs = 300;
    // The longest share of other work (indexing, sorting) between two window events.
    static constexpr qint64 kStepBudgetNs = 4'000'000;
    // Widths of the four columns.
    static constexpr int kColumnWidths[CLocalListModel::ColumnCount] = {150, 66, 100, 99};
    // MIME type of a drag of this list's selection (see SelectionToken).
    static constexpr const char* kSelectionMime = "application/x-talvex-local-selection";

    CLocalListCtrl(ILocalHost& host, VolumeSource volumes, QWidget* parent = nullptr);
    ~CLocalListCtrl() override;

    // Shows a folder (an absolute path; trailing "/" do not matter). An empty path shows the
    // volume list. While a folder is being read the request waits; only the latest one is kept.
    void OpenFolder(const QString& path);
    // Sorts by a column. Direction 0 toggles on the current column and starts ascending on another.
    // More than kSortInStepsRows rows are sorted in steps between window events, the rows
    // staying where they are until the last step moves them.
    void SortByColumn(int column, int direction);
    static constexpr int kSortInStepsRows = 20000;
    void SetSortInStepsRows(int rows) { m_nSortInStepsRows = rows; }
    bool IsSorting() const { return m_sortTimer.isActive(); }
    // Opens the current row when it is selected, else the first selected row, when it is a
    // folder ("..": the folder above, or the volume list from a volume's own folder).
    void OpenSelected();
    // The folder above the one on show (the volume list from a volume's own folder); the folder
    // left becomes the current row there.
    void OpenParent();
    // Reads the folder on show again (the volume list: the volumes), keeping the selection.
    void Refresh();
    // One upload order per selected row (row 0 of a folder left out), handed to the host.
    void UploadSelection();
    // Upload orders for local files and folders given by path (files dropped from the desktop).
    void UploadPaths(const QStringList& paths);

    // A drag of the selection may start: a folder on show, a selection, and ".." not in it.
    bool CanStartDrag() const;
    QMimeData* SelectionMimeData() const;
    // What a drag of the current selection carries under kSelectionMime.
    QByteArray SelectionToken() const;
    // The visible selected rows drawn as the drag image; origin is where its top-left corner
    // lies in the viewport.
    QPixmap SelectionPixmap(QPoint* origin = nullptr);

    bool IsBusy() const { return m_bBusy; }
    // A changed folder is read again once no change came for this long, and at most this often
    // (a folder being filled by another program): the wait grows with the time a read takes.
    static constexpr int kRefreshDelayMs = 250;
    static constexpr int kMaxRefreshDelayMs = 5000;
    bool IsRefreshing() const { return m_refreshReader != nullptr; }
    // Tests make the share of work between two window events smaller.
    void SetStepBudgetNs(qint64 ns) { m_nStepBudgetNs = ns; }
    void SetShowReadSoFar(int entries, qint64 ms)
    {
        m_nShowReadSoFarEntries = entries;
        m_nShowReadSoFarMs = ms;
    }
    bool IsRefreshPending() const { return m_refreshTimer.isActive() || IsRefreshing(); }
    // Folders the pane watches for changes (the folder on show, or none).
    QStringList WatchedFolders() const { return m_watcher.directories(); }
    std::optional<QString> PendingFolder() const { return m_pending; }
    int SortColumn() const { return m_nSortColumn; }
    int SortDirection() const { return m_nSortDirection; }
    QString CurrentFolder() const { return m_pModel->CurrentFolder(); }
    CLocalListModel* Model() const { return m_pModel; }
    ILocalHost& Host() const { return m_host; }
    QAction* UploadAction() const { return m_pUpload; }
    // Selected rows in ascending order.
    QList<int> SelectedRows() const;
    // Enables the upload command for the current state.
    void UpdateActions();
    void ShowContextMenu(const QPoint& globalPos);
    // Where a menu opened from the keyboard shows: below the current row.
    QPoint MenuPointOfCurrentRow() const;

    // For tests: the path of the folder above a folder on show (empty: the volume list).
    QString ParentOf(const QString& folder) const;

signals:
    // After each piece of a folder read, with the number of entries it added.
    void chunkRead(int entries);
    // A folder (or the volume list) is on show and sorted.
    void folderShown();
    // The folder on show was read again after a change on disk (or F5).
    void folderRefreshed();

protected:
    bool event(QEvent* event) override;
    void keyboardSearch(const QString& search) override;
    void startDrag(Qt::DropActions supportedActions) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OpenFolderBytes(const QByteArray& folder);
    void ReadChunk();
    void PrepareStep();
    void FinishRead();
    void WatchFolder(const QByteArray& folder);
    void OnFolderChanged(const QString& path);
    void ScheduleRefresh();
    void BeginRefresh();
    void RefreshStep();
    void EndRefresh(bool changed);
    void SelectEntryNamed(const QString& name);
    void ShowSortIndicator();
    void SortStep();
    // Runs move, which changes the rows' order, keeping the chosen entries chosen.
    void MoveRows(const std::function<void()>& move);
    bool IsVolumeRoot(const QByteArray& folder) const;
    static QByteArray WithoutTrailingSlashes(QByteArray path);

    ILocalHost& m_host;
    VolumeSource m_volumes;
    CLocalListModel* m_pModel;
    QAction* m_pUpload;
    int m_nSortColumn = CLocalListModel::NameColumn;
    int m_nSortDirection = CLocalListModel::Ascending;
    bool m_bBusy = false;
    bool m_bHadFocus = false;
    unsigned m_nReadGeneration = 0;
    QElapsedTimer m_readClock;
    bool m_bShownWhileRead = false;
    int m_nShowReadSoFarEntries = kShowReadSoFarEntries;
    qint64 m_nShowReadSoFarMs = kShowReadSoFarMs;
    qint64 m_nStepBudgetNs = kStepBudgetNs;
    int m_nSortInStepsRows = kSortInStepsRows;
    QTimer m_sortTimer;
    std::optional<QString> m_pending;
    std::unique_ptr<CLocalFolderReader> m_reader;
    QString m_strAfterShow; // the row to make current once the folder is shown (after OpenParent)
    // Reading the folder on show again, in pieces, while its rows stay on show.
    QFileSystemWatcher m_watcher;
    QTimer m_refreshTimer;
    std::unique_ptr<CLocalFolderReader> m_refreshReader;
    QElapsedTimer m_refreshClock;
    unsigned m_nRefreshGeneration = 0;
    bool m_bRefreshAgain = false;
    bool m_bRefreshRead = false; // the folder is read: the new order is being sorted
    QString m_strSearch;
    QElapsedTimer m_searchTimer;
};

class CLocalView : public QWidget {
    Q_OBJECT
public:
    explicit CLocalView(ILocalHost& host, QWidget* parent = nullptr, VolumeSource volumes = SystemVolumes);

    CLocalListCtrl* List() const { return m_pList; }
    void OpenFolder(const QString& path) { m_pList->OpenFolder(path); }
    void UploadSelection() { m_pList->UploadSelection(); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    CLocalListCtrl* m_pList;
};
