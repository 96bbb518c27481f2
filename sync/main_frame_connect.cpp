// The connection half of the main frame: the connect sequence, the workers' reports, routing,
// the polls, disconnect.

#include "sync/main_frame.h"

#include "app/prompt.h"
#include "app/registry_key.h"
#include "panes/remote_view.h"
#include "platform/log.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"
#include "sync/plugin_hooks.h"
#include "sync/start_sync_dlg.h"

#include <QMetaObject>

using namespace talvex;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

std::unique_ptr<CThreadCommand> Cmd(uint32_t id, const QString& text1 = {}, const QString& text2 = {})
{
    return std::make_unique<CThreadCommand>(CThreadCommand{id, S(text1), S(text2)});
}

} // namespace

// ---- connect sequence ----------------------------------------------------------------------

bool CMainFrame::ShowLogin()
{
    QString userId, password;
    bool save = false;
    if (!m_showLogin || !m_showLogin(userId, password, save))
        return false;
    m_strUserId = userId;
    m_strPassword = password;
    m_bSaveUserId = save;
    return true;
}

void CMainFrame::OnConnect()
{
    if (ShowLogin())
        StartWebCheck();
}

void CMainFrame::OnUserManager()
{
    // The dialog is closed before the connect sequence starts.
    QString userId, password;
    if (m_showManager && m_showManager(userId, password))
        ConnectAs(userId, password);
}

void CMainFrame::ConnectAs(const QString& userId, const QString& password)
{
    if (m_bConnected || m_bCheckingUser || m_control)
        return;
    m_strUserId = userId;
    m_strPassword = password;
    StartWebCheck();
}

void CMainFrame::StartWebCheck()
{
    // The check waits for the web host for up to its time limit: it runs beside the window so
    // that the window stays alive meanwhile.
    if (m_webCheck.joinable())
        m_webCheck.join();
    m_bCheckingUser = true;
    UpdateCommandUI();
    WebCheckRequest request;
    request.host = S(m_deployment.webHost);
    request.port = m_deployment.webPort;
    request.userId = S(m_strUserId);
    request.password = S(m_strPassword);
    m_webCheck = std::thread([this, request] {
        WebCheckResult result = RunWebCheck(request);
        QMetaObject::invokeMethod(this, [this, result] { OnWebCheckResult(result); }, Qt::QueuedConnection);
    });
}

void CMainFrame::OnWebCheckResult(const WebCheckResult& result)
{
    m_bCheckingUser = false;
    UpdateCommandUI();
    if (m_bClosing)
        return;
    switch (result.kind) {
    case kWebCheckOk: {
        const WebCheckRecord& r = result.record;
        m_strServiceSetId = Q(r.serviceSetId);
        m_strUserRoot = Q(r.userRoot); // already "%s/" with backslashes and "//" folded
        m_strHost = Q(r.hostIp);
        m_bSyncService = r.serviceType == 1 || r.serviceType == 2;

        CChannelStartInfo info;
        info.host = r.hostIp;
        info.port = m_nControlPort;
        m_control = StartControlSession(info, m_reports);
        UpdateCommandUI();
        return;
    }
    case kWebCheckNoAccount:
        RetryAfter(244);
        return;
    case kWebCheckWrongPassword:
        RetryAfter(245);
        return;
    default:
        ShowMessage(this, 243, PromptIcon::Error);
        return;
    }
}

void CMainFrame::RetryAfter(unsigned questionId)
{
    if (AskYesNo(this, questionId) && ShowLogin())
        StartWebCheck();
}

void CMainFrame::OnControlConnected()
{
    setWindowTitle(QStringLiteral("%1 [%2]").arg(Str(194), m_strUserId));
    // The user id is remembered (or forgotten) only now that the account was accepted.
    CRegistryKey key;
    if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
        || key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))) {
        if (m_bSaveUserId)
            key.WriteString(QString::fromLatin1(kValueUserId), m_strUserId);
        else
            key.DeleteValue(QString::fromLatin1(kValueUserId));
    }
    m_control->Post(UM_LOGIN, Cmd(UM_LOGIN, m_strUserId, m_strPassword));
    if (m_bSyncService)
        ArmTimer(kNoticeTimer);
}

void CMainFrame::OnLoginResult(const CTlxspResponse& response)
{
    if (response.statusCode == 200) {
        m_bConnected = true;
        m_strSessionId = Q(response.sessionId);
        CChannelStartInfo info;
        info.host = S(m_strHost);
        info.port = m_nCommandPort;
        info.sessionId = response.sessionId;
        m_command = StartCommandChannel(info, m_reports);
        SetStatus(0);
        UpdateCommandUI();
        return;
    }
    if (response.statusCode == 400) {
        Retire(m_control);
        m_timers.value(kNoticeTimer)->stop();
        ShowMessage(this, 242, PromptIcon::Error);
        if (ShowLogin())
            StartWebCheck();
        UpdateCommandUI();
        return;
    }
    EndProgram(241, -1);
}

// Paths that end the program: the message, then the window closes.
void CMainFrame::EndProgram(unsigned messageId, int status)
{
    if (status != 0)
        SetStatus(status);
    m_bConnected = false;
    m_bClosing = true;
    for (QTimer* timer : m_timers)
        timer->stop();
    ShowMessage(this, messageId, messageId == 241 ? PromptIcon::Error : PromptIcon::Information);
    Retire(m_command);
    Retire(m_control);
    close();
}

// ---- worker reports ----------------------------------------------------------------------

void CMainFrame::OnReport(Report& report)
{
    // A handler may open a message box or a dialog, whose event loop can run the deferred join
    // of retired workers: the depth tells that join to wait until no report is in hand.
    ++m_nReportDepth;
    struct DepthGuard {
        int& depth;
        ~DepthGuard() { --depth; }
    } guard{m_nReportDepth};
    switch (report.message) {
    case UM_CONTROL_CONNECTED:
        OnControlConnected();
        break;
    case UM_CONTROL_CONNECT_FAILED:
    case UM_COMMAND_CONNECT_FAILED:
        EndProgram(239, -1);
        break;
    case UM_CONNECTION_LOST:
        if (!m_bClosing)
            EndProgram(329, -1);
        break;
    case UM_LOGIN_RESULT:
        if (report.response)
            OnLoginResult(*report.response);
        break;
    case UM_LOGOUT_RESULT:
        // The server ended the session.
        m_bClosing = true;
        Retire(m_command);
        Retire(m_control);
        close();
        break;
    case UM_BROWSE:
        if (report.entries)
            emit listingArrived(*report.entries);
        break;
    case UM_SEARCH:
        if (report.entries)
            emit searchResultsArrived(*report.entries);
        break;
    case UM_GETNOTIED:
        if (report.notices) {
            // The list is lent for this call: the panes take what they track from a copy.
            CSyncNoticeList notices = *report.notices;
            OnNotices(notices);
        }
        break;
    case UM_MKDIR_RESULT:
    case UM_RMDIR_RESULT:
        if (report.response && report.response->statusCode == 200)
            RefreshRemote();
        break;
    case UM_DELFILE_DONE:
        if (report.response) {
            const QString name = NameInShownFolder(Q(report.response->path), m_pRemoteView->CurrentPath());
            if (!name.isEmpty())
                m_pRemoteView->RemoveItemNamed(name);
            m_pPlugins->Call(CPluginHooks::kDelete, S(ServerPath(Q(report.response->path))));
        }
        break;
    case UM_RENAME_RESULT:
        if (report.response)
            OnRenameResult(*report.response);
        break;
    case UM_REQUEST_NOT_SENT:
        if (report.response)
            OnRequestNotSent(*report.response);
        break;
    case UM_STARTSYNC:
    case UM_CHECKSYNC:
        OnSyncStarted(report.code);
        break;
    case UM_GETSYNCED:
        OnSyncResult(report.code, std::move(report.result));
        break;
    default:
        break;
    }
    UpdateCommandUI();
}

void CMainFrame::OnNotices(CSyncNoticeList& notices)
{
    if (m_bRenamePending && m_pPendingRename) {
        auto& list = notices.notices;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->kind == kNoticeRename && Q(it->text).compare(m_pPendingRename->oldPath, Qt::CaseInsensitive) == 0) {
                SetStatus(0);
                m_bRenamePending = false;
                RenameInList();
                CloseProgressDialog();
                list.erase(it);
                break;
            }
        }
    }
    emit noticesArrived(notices);
    if (m_bSyncService && !m_bSyncBusy)
        SetStatus(0);
    ArmTimer(m_bRenamePending ? kRenameNoticeTimer : kNoticeTimer);
}

void CMainFrame::OnRenameResult(const CTlxspResponse& response)
{
    if (response.statusCode == 200) {
        if (m_bSyncService) {
            // Applied once a notice confirms it.
            ArmTimer(kRenameNoticeTimer);
            m_bRenamePending = true;
        } else {
            SetStatus(0);
            if (m_pPendingRename && Q(response.path).compare(m_pPendingRename->oldPath, Qt::CaseInsensitive) == 0) {
                m_bRenamePending = false;
                RenameInList();
            }
        }
        if (m_pPendingRename)
            m_pPlugins->Call(CPluginHooks::kRename, S(ServerPath(m_pPendingRename->oldPath)),
                             S(ServerPath(m_pPendingRename->newPath)));
        return;
    }
    SetStatus(0);
    if (m_bSyncService)
        CloseProgressDialog();
    if (response.statusCode == 409)
        ShowMessage(this, 250, PromptIcon::Warning);
    else
        ShowMessageText(this, QString::fromStdString(FormatString(249, response.path2.c_str())), PromptIcon::Warning);
}

void CMainFrame::RenameInList()
{
    if (!m_pPendingRename)
        return;
    const QString shown = m_pRemoteView->CurrentPath();
    const QString oldName = NameInShownFolder(m_pPendingRename->oldPath, shown);
    if (!oldName.isEmpty())
        m_pRemoteView->RenameItemNamed(oldName, NameInShownFolder(m_pPendingRename->newPath, shown));
}

void CMainFrame::OnRequestNotSent(const CTlxspResponse& response)
{
    const QString what = Q(response.path.empty() ? response.path2 : response.path);
    ShowMessageText(this,
                    response.statusCode == kRequestTooLong
                        ? QStringLiteral("요청이 너무 깁니다: %1").arg(what)
                        : QStringLiteral("서버에 보낼 수 없는 문자가 들어 있습니다: %1").arg(what),
                    PromptIcon::Warning);
    SetStatus(m_bConnected ? 0 : -1);
}

// ---- routing and polls ---------------------------------------------------------------------

void CMainFrame::SendCommand(std::unique_ptr<CThreadCommand> command)
{
    if (!command)
        return;
    // The id is read before the record moves into the call: the order in which a call's
    // arguments are evaluated is not fixed.
    const uint32_t id = command->messageId;
    switch (id) {
    case UM_LOGIN:
    case UM_LOGOUT:
    case UM_STARTSYNC:
        if (m_control)
            m_control->Post(id, std::move(command));
        break;
    case UM_CHECKSYNC:
        if (!m_control) {
            m_bSyncBusy = false; // nothing was sent: no job runs
            break;
        }
        m_control->Post(id, std::move(command));
        m_bSyncBusy = true; // also for a check asked for by the remote pane
        OpenProgressDialog(CStartSyncDlg::kCheckSync);
        UpdateCommandUI();
        break;
    case UM_RENAME:
        m_pPendingRename = std::make_unique<PendingRename>(PendingRename{Q(command->text1), Q(command->text2)});
        if (m_command) {
            m_command->Post(UM_RENAME, std::move(command));
            if (m_bSyncService)
                OpenProgressDialog(CStartSyncDlg::kRename);
        }
        break;
    case UM_DELFILE:
    case UM_RMDIR:
    case UM_MKDIR:
    case UM_SEARCH:
        if (m_command)
            m_command->Post(id, std::move(command));
        break;
    default:
        break;
    }
}

void CMainFrame::RequestBrowse(const QString& folder)
{
    if (m_command)
        m_command->Post(UM_BROWSE, Cmd(UM_BROWSE, folder));
}

void CMainFrame::RefreshRemote() { RequestBrowse(m_pRemoteView->CurrentPath()); }

QString CMainFrame::ServerPath(const QString& path) const
{
    QString full = QStringLiteral("/%1%2%3").arg(m_strServiceSetId, m_strUserRoot, path);
    while (full.contains(QStringLiteral("//")))
        full.replace(QStringLiteral("//"), QStringLiteral("/"));
    return full;
}

void CMainFrame::ArmTimer(FrameTimer timer)
{
    m_timers.value(timer)->start(timer == kRenameNoticeTimer ? 2000 : 5000);
}

bool CMainFrame::IsTimerArmed(FrameTimer timer) const { return m_timers.value(timer)->isActive(); }

void CMainFrame::OnTimer(FrameTimer timer)
{
    if (!m_control)
        return;
    if (timer == kSyncResultTimer) {
        SetStatus(0);
        m_control->Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
    } else {
        m_control->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    }
}

// ---- disconnect -----------------------------------------------------------------------------

void CMainFrame::OnDisconnect()
{
    if (!AskYesNo(this, 260))
        return;
    m_bConnected = false;
    for (QTimer* timer : m_timers)
        timer->stop();
    StopWorkers();
    m_bRenamePending = false;
    m_pPendingRename.reset();
    // A job whose result will never come is over; its dialog goes with it.
    m_bSyncBusy = false;
    CloseProgressDialog();
    setWindowTitle(Str(194));
    SetStatus(-1);
}

void CMainFrame::Retire(std::unique_ptr<Worker>& worker)
{
    // A worker may be waiting for the very handler we are in: tell it to quit now and join it
    // on a later turn of the event loop.
    if (!worker)
        return;
    worker->Quit();
    m_retired.push_back(std::move(worker));
    JoinRetiredLater();
}

void CMainFrame::JoinRetiredLater()
{
    QTimer::singleShot(m_nReportDepth > 0 ? 50 : 0, this, [this] {
        if (m_nReportDepth > 0)
            JoinRetiredLater(); // a report is in hand: its sender may be one of them
        else
            m_retired.clear();
    });
}

void CMainFrame::StopWorkers()
{
    // The control session sends LOGOUT___ as it quits. This may run inside a report handler
    // (a lost connection closes the window), so the workers are joined on a later turn, or by
    // the destructor.
    Retire(m_command);
    Retire(m_control);
}
