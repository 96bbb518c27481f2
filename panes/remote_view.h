#pragma once
// CRemoteView: the remote file pane. One folder of the account's remote tree at a time, with
// the label and path box above the list. Every action becomes a request handed to the host;
// the pane never talks to the network.

#include "panes/remote_host.h"
#include "panes/remote_list_model.h"

#include <QHash>
#include <QLineEdit>
#include <QTreeView>
#include <QWidget>

#include <functional>

class QAction;
class QLabel;
class CRemoteView;

// The path box: shows the current path after each listing; its text is never read.
class CRemoteEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CRemoteEdit(QWidget* parent = nullptr);
};

// The list of the pane. Keys, double clicks and the context menu go to the view.
class CRemoteListCtrl : public QTreeView {
    Q_OBJECT
public:
    CRemoteListCtrl(CRemoteView& view, QWidget* parent);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QPoint MenuPointOfCurrentRow() const;

    CRemoteView& m_view;
};

class CRemoteView : public QWidget {
    Q_OBJECT
public:
    explicit CRemoteView(IRemoteHost& host, QWidget* parent = nullptr);

    // Fills the list from a listing and shows the current path in the path box.
    void ShowListing(talvex::CRemoteEntryList entries);
    // No session: the list is emptied and the pane goes back to the root, whose listing the
    // next session sends first. Rows of an earlier session never stand under another path.
    void Reset();
    // Shows a folder again (after a reconnect): asks for its listing and waits for it.
    void OpenPath(const QString& path);
    bool HasItemNamed(const QString& name) const;
    void RemoveItemNamed(const QString& name);
    // The row named name takes newName; an empty newName removes the row.
    void RenameItemNamed(const QString& name, const QString& newName);
    void AddFolderRow(const QString& name);
    void AddFileRow(const QString& name, const QString& sizeText);
    // A drag over the list (globalPos in screen co-ordinates) from the list source: highlights
    // the row under the point and tells whether a drop is accepted there. A drop always goes
    // into the current path; the highlight only shows where the pointer is.
    bool HoverDropTarget(const QWidget* source, const QPoint& globalPos);
    void ClearDropTarget();
    int DropTargetRow() const { return m_nDropTarget; }
    // The remote folder on show; always begins and ends with "/".
    QString CurrentPath() const { return m_strCurrentPath; }
    // True between a move to another folder and that folder's listing.
    bool IsAwaitingListing() const { return m_bAwaitingListing; }

    // Actions of the pane (context menu and keys).
    // Opens the current row when it is selected, else the first selected row, when it is a folder.
    void OpenSelected();
    // Backspace: the folder above the one on show; the folder left becomes the current row.
    void OpenParentFolder();
    // F5: the folder on show is listed again.
    void Refresh();
    void CreateFolder();
    void DeleteSelected();
    void RenameSelected();
    void BeginRenameInPlace();
    // The end of an in-place edit of row's label; the label itself never changes here.
    void EndRenameInPlace(int row, const QString& text);
    void CheckSyncSelected();
    void ShowContextMenu(const QPoint& globalPos);
    // Enables the context commands for the current state.
    void UpdateActions();

    QAction* Action(unsigned commandId) const { return m_actions.value(commandId); }
    CRemoteListCtrl* List() const { return m_pList; }
    CRemoteListModel* Model() const { return m_pModel; }
    CRemoteEdit* PathEdit() const { return m_pPathEdit; }
    QLabel* SiteLabel() const { return m_pLabel; }
    // Selected rows in ascending order.
    QList<int> SelectedRows() const;

    // The name dialogs; tests replace them. Each returns true on OK with the entered text.
    std::function<bool(QString& name)> m_askFolderName;
    std::function<bool(const QString& source, QString& target)> m_askRenameTarget;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool CanModify() const;
    void SendRequest(uint32_t id, const QString& text1, const QString& text2 = QString());
    void SendRename(const QString& oldPath, const QString& newPath);
    void RepaintRow(int row);

    IRemoteHost& m_host;
    QString m_strCurrentPath = QStringLiteral("/");
    bool m_bAwaitingListing = false;
    QString m_strAfterListing; // the row to make current when the listing comes (after OpenParentFolder)
    int m_nDropTarget = -1;
    CRemoteListModel* m_pModel;
    CRemoteListCtrl* m_pList;
    QLabel* m_pLabel;
    CRemoteEdit* m_pPathEdit;
    QHash<unsigned, QAction*> m_actions;
};

namespace talvex {
// Every "//" of a remote path folded to "/".
QString FoldSlashes(QString path);
// The name of the entry a remote path names when that entry lies in the folder shown (compared
// without regard to case); empty when it lies elsewhere. One trailing "/" (a folder) is ignored.
QString NameInShownFolder(const QString& path, const QString& shownFolder);
// The folder above a remote folder path ("/a/b/" gives "/a/", "/a/" and "/" give "/").
QString ParentFolder(const QString& folder);
} // namespace talvex
