#pragma once
// CMainFrame: the single top-level window. It lays out the panes (local | remote above, the
// tab pane below), owns the menu, tool bar and status bar, runs the connect sequence, owns the
// control and command workers and routes requests to them and their reports to the panes.
// The connection half lives in main_frame_connect.cpp, the manual sync and sync check in
// main_frame_sync.cpp.

#include "app/deployment_settings.h"
#include "app/qt_report_sink.h"
#include "panes/remote_host.h"
#include "protocol/upload_request.h"
#include "protocol/webcheck.h"
#include "protocol/worker.h"

#include <QHash>
#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QAction;
class QLabel;
class QSplitter;
class CFlatTabView;
class CFrameLocalHost;
class CLocalView;
class CRemoteView;
class CStartSyncDlg;
namespace talvex {
class CPluginHooks;
}

// Timer ids of the frame's three polls.
enum FrameTimer : int { kNoticeTimer = 0x8450, kSyncResultTimer = 0x8451, kRenameNoticeTimer = 0x8452 };

class CMainFrame : public QMainWindow, public IRemoteHost {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Connection or job state in the status bar (kinds 0, 1, 3, 8, 9, 10, 11, -1; others "연결됨").
    void SetStatus(int kind) override;
    QString StatusText() const;

    QAction* Action(unsigned commandId) const { return m_actions.value(commandId); }
    CFlatTabView* TabView() const { return m_pTabView; }
    CRemoteView* RemoteView() const { return m_pRemoteView; }
    CLocalView* LocalView() const { return m_pLocalView; }
    // Upload orders from the local pane (for now they are only written to the log).
    void AddUploadOrders(std::vector<talvex::CUploadOrder> orders);
    QLabel* StatusPane(int index) const;

    // Re-applies the enable and check rules of every command.
    void UpdateCommandUI();

    // Connecting. ConnectAs sets the credentials (the save flag stays as it was) and runs the
    // connect sequence, as the account book's connect button does.
    void ConnectAs(const QString& userId, const QString& password);
    // Routes a request to the worker its message id belongs to.
    void SendCommand(std::unique_ptr<talvex::CThreadCommand> command) override;
    void RequestBrowse(const QString& folder) override;
    // Browses the folder the remote pane shows.
    void RefreshRemote();
    bool IsDetailSize() const override { return m_bDetailSize; }
    void SetCheckSync(bool check) override { m_bCheckSync = check; }
    bool IsRemoteReady() const override { return m_bConnected; }
    // The full server path of a remote path: "/<service set><user root><path>", "//" folded.
    QString ServerPath(const QString& path) const;
    bool IsCheckingUser() const { return m_bCheckingUser; }
    bool IsTimerArmed(FrameTimer timer) const;
    talvex::CPluginHooks& Plugins() { return *m_pPlugins; }

    // Shows the login dialog; true with the values on OK. Tests replace it.
    std::function<bool(QString& userId, QString& password, bool& save)> m_showLogin;
    // Shows the account book; true with the chosen account's values when it was left with
    // "접속". Tests replace it.
    std::function<bool(QString& userId, QString& password)> m_showManager;
    // Show a sync job's result modally: the complete dialog (no failed file) and the result
    // dialog (failed files). Tests replace them.
    using SyncResultShow = std::function<void(std::unique_ptr<talvex::CSyncNoticeList> result, bool check)>;
    SyncResultShow m_showSyncComplete;
    SyncResultShow m_showSyncResult;

    // The progress dialog of the running sync job or rename; null before the first one.
    CStartSyncDlg* ProgressDialog() const { return m_pProgressDlg.get(); }
    // The file the control session writes a sync job's result into.
    static QString SyncResultFile();

    QString m_strHost;
    QString m_strUserId;
    QString m_strPassword;
    QString m_strSessionId;
    QString m_strServiceSetId;
    QString m_strUserRoot;
    int m_nCommandPort = 20001;
    int m_nControlPort = 20002;
    bool m_bConnected = false;
    bool m_bSyncService = false;
    bool m_bSyncBusy = false;
    bool m_bRenamePending = false;
    bool m_bCheckSync = false; // the running sync job checks (true) rather than syncs (false)
    bool m_bDetailSize = false;
    bool m_bSaveUserId = false;
    bool m_bClosing = false;

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
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateClientArea();
    void OnAbout();
    void OnDetailSize();

    // Connect sequence and worker reports (main_frame_connect.cpp).
    void OnConnect();
    void OnUserManager();
    void OnDisconnect();
    bool ShowLogin();
    void StartWebCheck();
    void OnWebCheckResult(const talvex::WebCheckResult& result);
    void RetryAfter(unsigned questionId);
    void OnReport(talvex::Report& report);
    void OnControlConnected();
    void OnLoginResult(const talvex::CTlxspResponse& response);
    void OnNotices(talvex::CSyncNoticeList& notices);
    void OnRenameResult(const talvex::CTlxspResponse& response);
    void OnRequestNotSent(const talvex::CTlxspResponse& response);
    // The pending rename applied to the remote list: the row of the old name takes the new
    // name, or goes when the new path lies outside the folder on show.
    void RenameInList();
    void EndProgram(unsigned messageId, int status);
    void StopWorkers();
    void Retire(std::unique_ptr<talvex::Worker>& worker);
    void JoinRetiredLater();
    void ArmTimer(FrameTimer timer);
    void OnTimer(FrameTimer timer);

    // Manual sync and sync check (main_frame_sync.cpp).
    void OnManualSync();
    void OnCheckSyncAll();
    void OpenProgressDialog(int mode);
    void CloseProgressDialog();
    void OnSyncStarted(int status);
    void OnSyncResult(int status, std::unique_ptr<talvex::CSyncNoticeList> result);

    struct Command {
        std::function<void()> run;
        std::function<bool()> enabled; // empty: always
        std::function<bool()> checked; // empty: not checkable
    };
    void Bind(unsigned id, Command command);

    QHash<unsigned, QAction*> m_actions;
    QHash<unsigned, Command> m_commands;
    QList<QLabel*> m_statusPanes;
    QSplitter* m_wndSplitter = nullptr;
    QSplitter* m_wndSplitterTop = nullptr;
    std::unique_ptr<CFrameLocalHost> m_pLocalHost;
    CLocalView* m_pLocalView = nullptr;
    CRemoteView* m_pRemoteView = nullptr;
    CFlatTabView* m_pTabView = nullptr;
    bool m_bLaidOut = false;

    DeploymentSettings m_deployment;
    std::unique_ptr<talvex::CPluginHooks> m_pPlugins;
    QHash<int, QTimer*> m_timers;
    struct PendingRename {
        QString oldPath, newPath;
    };
    std::unique_ptr<PendingRename> m_pPendingRename;
    std::unique_ptr<CStartSyncDlg> m_pProgressDlg;
    bool m_bCheckingUser = false;
    std::thread m_webCheck;
    // The sink outlives the workers that report to it: declared first, destroyed last.
    CQtReportSink m_reports;
    std::unique_ptr<talvex::Worker> m_control;
    std::unique_ptr<talvex::Worker> m_command;
    std::vector<std::unique_ptr<talvex::Worker>> m_retired; // told to quit; joined on a later turn
    int m_nReportDepth = 0; // reports being handled (message boxes nest them)
};
