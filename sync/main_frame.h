#pragma once
// CMainFrame: the single top-level window. It lays out the panes (local | remote above, the
// tab pane below), owns the menu, tool bar and status bar with the command table and its
// enable rules, and routes: the connection is the session's (app/client_session.h), the
// follow-ups of remote requests are CRemoteOps', a manual sync or check is CSyncJob's. The
// window's part of the connect sequence (dialogs, title, the paths that end the program) is in
// main_frame_connect.cpp.

#include "panes/remote_host.h"
#include "protocol/upload_request.h"
#include "sync/command_table.h"
#include "sync/frame_desktop.h"
#include "sync/frame_reconnect.h"
#include "sync/frame_dialogs.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QSplitter;
class QTreeView;
class CClientSession;
class CDesktopNotifier;
class CFrameNotices;
class CKeyringStore;
class CFlatTabView;
class CFrameLocalHost;
class CFrameLogin;
class CJobProgress;
class CWindowLayout;
class CLocalView;
class CRemoteOps;
class CRemoteView;
class CStatusPanes;
class CResultPanes;
class CScheduleController;
class CStartSyncDlg;
class CSyncJob;
class CUploadQueue;
class CQueueView;
namespace talvex {
class CPluginHooks;
}

// The frame's three polls, for tests that look at them.
enum FrameTimer : int { kNoticeTimer = 0x8450, kSyncResultTimer = 0x8451, kRenameNoticeTimer = 0x8452 };

class CMainFrame : public QMainWindow, public IRemoteHost {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Connection or job state in the status bar (kinds 0, 1, 3, 8, 9, 10, 11, -1; others "연결됨").
    void SetStatus(int kind) override;
    QString StatusText() const;

    QAction* Action(unsigned commandId) const;
    CFlatTabView* TabView() const { return m_pTabView; }
    CRemoteView* RemoteView() const { return m_pRemoteView; }
    CLocalView* LocalView() const { return m_pLocalView; }
    // Upload orders from the local pane, the schedule or a resend.
    void AddUploadOrders(std::vector<talvex::CUploadOrder> orders);
    QLabel* StatusPane(int index) const;
    CClientSession& Session() const { return *m_pSession; }
    const CSyncJob& SyncJob() const { return *m_pSyncJob; }
    const CRemoteOps& RemoteOps() const { return *m_pRemoteOps; }
    CUploadQueue& Queue() const { return *m_pQueue; }
    CQueueView* QueueView() const { return m_pQueueView; }
    CResultPanes& Results() const { return *m_pResults; }
    CScheduleController& Schedule() const { return *m_pSchedule; }
    CReconnect& Reconnector() const { return m_pReconnect->Reconnector(); }
    // The dialogs the flows open; tests replace them.
    CFrameDialogs& Dialogs() { return m_dialogs; }
    // Desktop services (sync/frame_desktop.h): the secret store of the account book's
    // passwords and the desktop notifications.
    CKeyringStore& Keyring() const { return m_pDesktop->Keyring(); }
    CDesktopNotifier& Notifier() const { return m_pDesktop->Notifier(); }
    CFrameNotices& Notices() const { return m_pDesktop->Notices(); }
    CFrameDesktop& Desktop() const { return *m_pDesktop; }

    // Re-applies the enable and check rules of every command.
    void UpdateCommandUI();

    // The layout the user gave the window (its place and size, the splitters, each list's
    // columns and the local pane's sort) is kept in the settings' "Layout" group: written when
    // the window closes, read when it is made.
    void SaveLayout();

    // Connecting. ConnectAs runs the connect sequence with these credentials (the save flag
    // stays as it was), as the account book's connect button does.
    void ConnectAs(const QString& userId, const QString& password);
    bool IsCheckingUser() const;
    bool IsConnected() const;

    // IRemoteHost: requests of the remote pane.
    void SendCommand(std::unique_ptr<talvex::CThreadCommand> command) override;
    void RequestBrowse(const QString& folder) override;
    bool IsDetailSize() const override { return m_bDetailSize; }
    void SetCheckSync(bool check) override;
    bool IsRemoteReady() const override { return IsConnected(); }
    // Browses the folder the remote pane shows.
    void RefreshRemote();
    QString ServerPath(const QString& path) const;
    bool IsTimerArmed(FrameTimer timer) const;
    bool IsClosing() const { return m_bClosing; }
    talvex::CPluginHooks& Plugins() { return *m_pPlugins; }

    // The progress dialog of the running sync job or rename; null before the first one.
    CStartSyncDlg* ProgressDialog() const;
    // The file the control session writes a sync job's result into.
    static QString SyncResultFile();

signals:
    void raised();
    // A listing of the remote folder (for the remote pane) and search results (for the find pane).
    void listingArrived(const talvex::CRemoteEntryList& entries);
    void searchResultsArrived(const talvex::CRemoteEntryList& entries);
    void noticesArrived(talvex::CSyncNoticeList& notices);

public slots:
    void BringToFront();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateActions();
    void CreateClientArea();
    void CreateOperations();
    void OnAbout();
    void OnDetailSize();
    void OnOptions();
    void ShowTotals();
    void RestoreLayout();

    // The window's part of the connect sequence (main_frame_connect.cpp).
    void ConnectSession();
    void OnDisconnect();
    void OnConnectionLost();
    void OnRequestNotSent(const talvex::CTlxspResponse& response);
    void EndProgram(unsigned messageId, int status);


    void Bind(unsigned id, CCommandTable::Command command) { m_pCommands->Bind(id, std::move(command)); }

    CCommandTable* m_pCommands = nullptr;
    std::unique_ptr<CStatusPanes> m_pStatus;
    QSplitter* m_wndSplitter = nullptr;
    QSplitter* m_wndSplitterTop = nullptr;
    std::unique_ptr<CFrameLocalHost> m_pLocalHost;
    CLocalView* m_pLocalView = nullptr;
    CRemoteView* m_pRemoteView = nullptr;
    CFlatTabView* m_pTabView = nullptr;
    bool m_bLaidOut = false;
    bool m_bDetailSize = false;
    // "수동동기화" of the option dialog, read once and then kept by it: command states refresh often.
    bool m_bManualSyncOffered = true;
    bool m_bClosing = false;

    CFrameDialogs m_dialogs;
    std::unique_ptr<talvex::CPluginHooks> m_pPlugins;
    std::unique_ptr<CJobProgress> m_pProgress;
    // The session outlives the operations that listen to it.
    std::unique_ptr<CClientSession> m_pSession;
    std::unique_ptr<CRemoteOps> m_pRemoteOps;
    std::unique_ptr<CSyncJob> m_pSyncJob;
    std::unique_ptr<CUploadQueue> m_pQueue;
    std::unique_ptr<CResultPanes> m_pResults;
    CQueueView* m_pQueueView = nullptr;
    std::unique_ptr<CScheduleController> m_pSchedule;
    std::unique_ptr<CFrameReconnect> m_pReconnect;
    std::unique_ptr<CFrameLogin> m_pLogin;
    std::unique_ptr<CWindowLayout> m_pLayout;
    // Desktop services: made after the session, gone before it and the queue.
    std::unique_ptr<CFrameDesktop> m_pDesktop;
};
