#pragma once
// CRemoteOps: the follow-ups of the remote pane's requests that span several reports. A new
// folder or a removed one refreshes the listing; a deleted file leaves its row and tells the
// plug-ins; a rename waits for its answer and, on sync-service accounts, for the notice that
// confirms it (with the progress dialog open and the notices polled every 2 s) before its row
// changes and the plug-ins hear of it.

#include "protocol/records.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class CClientSession;
class CJobProgress;
class CRemoteView;
class QWidget;
namespace talvex {
class CPluginHooks;
}

class CRemoteOps : public QObject {
    Q_OBJECT
public:
    CRemoteOps(CClientSession& session, CRemoteView& remote, talvex::CPluginHooks& plugins, CJobProgress& progress,
               QWidget* dialogParent);

    // Sends a rename and follows it.
    void Rename(std::unique_ptr<talvex::CThreadCommand> command);
    // A sync-service rename was answered and waits for its notice.
    bool IsRenamePending() const { return m_rename && m_rename->awaitingNotice; }
    // The session ended: nothing waits any more.
    void Reset();

signals:
    void statusChanged(int kind);

private:
    struct PendingRename {
        QString oldPath, newPath;
        bool awaitingNotice = false;
    };
    void OnRenameAnswered(const talvex::CTlxspResponse& response);
    void OnNotices(talvex::CSyncNoticeList& notices);
    void OnRequestNotSent(const talvex::CTlxspResponse& response);
    void OnFileDeleted(const talvex::CTlxspResponse& response);
    // The pending rename applied to the remote list: the row of the old name takes the new
    // name, or goes when the new path lies outside the folder on show.
    void RenameInList(const PendingRename& rename);
    void EndRename();

    CClientSession& m_session;
    CRemoteView& m_remote;
    talvex::CPluginHooks& m_plugins;
    CJobProgress& m_progress;
    QWidget* m_pDialogParent;
    std::optional<PendingRename> m_rename;
};
