#include "app/client_session.h"

#include "app/registry_key.h"
#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/message_ids.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>

using namespace talvex;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

std::unique_ptr<CThreadCommand> Cmd(uint32_t id, const QString& text1 = {}, const QString& text2 = {})
{
    return std::make_unique<CThreadCommand>(CThreadCommand{id, S(text1), S(text2)});
}

constexpr int kNoticePollMs = 5000;
constexpr int kFastNoticePollMs = 2000;

} // namespace

CClientSession::CClientSession(const DeploymentSettings& deployment, QObject* parent)
    : QObject(parent), m_deployment(deployment), m_reports([this](Report& report) { OnReport(report); })
{
    m_uploadLimit = std::make_shared<UploadRateLimiter>(UploadRateLimiter::FromKBps(deployment.uploadLimitKBps));
    m_noticeTimer.setSingleShot(true);
    connect(&m_noticeTimer, &QTimer::timeout, this, &CClientSession::OnNoticeTimer);
    m_watchdog.setInterval(1000);
    connect(&m_watchdog, &QTimer::timeout, this, &CClientSession::OnWatchdog);
}

CClientSession::~CClientSession()
{
    // No report is being handled now: destroying the workers joins them at once.
    m_command.reset();
    m_control.reset();
    m_retired.clear();
    if (m_webCheck.joinable())
        m_webCheck.join(); // bounded by the check's own time limit
}

// ---- connect sequence ----------------------------------------------------------------------

void CClientSession::Connect(const QString& userId, const QString& password, bool save)
{
    if (IsBusy() || m_bClosing)
        return;
    m_strUserId = userId;
    m_strPassword = password;
    m_bSaveUserId = save;
    StartWebCheck();
}

void CClientSession::StartWebCheck()
{
    // The check waits for the web host for up to its time limit: it runs beside the window so
    // that the window stays alive meanwhile.
    if (m_webCheck.joinable())
        m_webCheck.join();
    m_bCheckingUser = true;
    emit stateChanged();
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

void CClientSession::OnWebCheckResult(const WebCheckResult& result)
{
    m_bCheckingUser = false;
    if (m_bClosing) {
        emit stateChanged();
        return;
    }
    switch (result.kind) {
    case kWebCheckOk: {
        m_account = result.record;
        m_strServiceSetId = Q(m_account.serviceSetId);
        m_strUserRoot = Q(m_account.userRoot); // already "%s/" with backslashes and "//" folded
        m_strHost = Q(m_account.hostIp);
        m_bSyncService = m_account.serviceType == 1 || m_account.serviceType == 2;
        emit webCheckAnswered();

        m_control = StartControlSession(ChannelInfo(m_deployment.controlPort), m_reports);
        emit stateChanged();
        return;
    }
    case kWebCheckNoAccount:
    case kWebCheckWrongPassword:
        emit stateChanged();
        if (m_bReconnecting)
            emit attemptFailed();
        else
            emit checkRefused(result.kind == kWebCheckNoAccount ? 244 : 245);
        return;
    default:
        emit stateChanged();
        if (m_bReconnecting)
            emit attemptFailed();
        else
            emit checkFailed();
        return;
    }
}

void CClientSession::OnControlConnected()
{
    // The user id is remembered (or forgotten) only now that the account was accepted.
    CRegistryKey key;
    if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
        || key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))) {
        if (m_bSaveUserId)
            key.WriteString(QString::fromLatin1(kValueUserId), m_strUserId);
        else
            key.DeleteValue(QString::fromLatin1(kValueUserId));
    }
    emit controlConnected();
    m_control->Post(UM_LOGIN, Cmd(UM_LOGIN, m_strUserId, m_strPassword));
    // LOGIN has a deadline of its own: nothing else (a notice poll) stands for its answer.
    m_loginPostedMs = NowMs();
    if (!m_watchdog.isActive())
        m_watchdog.start();
    if (m_bSyncService)
        SetNoticePoll(NoticePoll::Normal);
}

void CClientSession::OnLoginResult(const CTlxspResponse& response)
{
    m_loginPostedMs.reset();
    if (response.statusCode == 200) {
        m_bConnected = true;
        m_strSessionId = Q(response.sessionId);
        CChannelStartInfo info = ChannelInfo(m_deployment.commandPort);
        info.sessionId = response.sessionId;
        m_command = StartCommandChannel(info, m_reports);
        Await(m_commandAwaited); // its first listing, of "/", comes by itself once it is connected
        emit loggedIn();
        emit stateChanged();
        return;
    }
    if (response.statusCode == 400 && !m_bReconnecting) {
        Retire(m_control);
        StopPolls();
        emit stateChanged();
        emit loginRefused();
        return;
    }
    Fail(241);
}

void CClientSession::Fail(unsigned messageId)
{
    const bool wasLoggedIn = m_bConnected;
    m_bConnected = false;
    StopPolls();
    if (m_bReconnecting) {
        StopWorkers();
        emit attemptFailed();
        emit stateChanged();
        return;
    }
    if (wasLoggedIn && m_bAutoReconnect) {
        StopWorkers();
        m_strSessionId.clear();
        emit connectionLost();
        emit stateChanged();
        return;
    }
    m_bClosing = true;
    emit fatal(messageId, -1);
}

void CClientSession::Reconnect()
{
    if (IsBusy() || m_bClosing)
        return;
    StartWebCheck();
}

// ---- worker reports ----------------------------------------------------------------------

void CClientSession::OnReport(Report& report)
{
    // A handler may open a message box or a dialog, whose event loop can run the deferred join
    // of retired workers: the depth tells that join to wait until no report is in hand.
    ++m_nReportDepth;
    struct DepthGuard {
        int& depth;
        ~DepthGuard() { --depth; }
    } guard{m_nReportDepth};

    if (report.message >= kUploadMessageBase && report.message < kUploadMessageBase + 64) {
        emit uploadReport(report);
        return;
    }
    switch (report.message) {
    case UM_LOGIN_RESULT:
    case UM_LOGOUT_RESULT:
    case UM_GETNOTIED:
    case UM_STARTSYNC:
    case UM_CHECKSYNC:
    case UM_GETSYNCED:
        Heard(m_controlAwaited);
        break;
    case UM_BROWSE:
    case UM_SEARCH:
    case UM_MKDIR_RESULT:
    case UM_RMDIR_RESULT:
    case UM_DELFILE_DONE:
    case UM_RENAME_RESULT:
        Heard(m_commandAwaited);
        break;
    case UM_REQUEST_NOT_SENT:
        // Never sent: nothing to wait for. Which worker it was is told by its command word.
        if (report.response && (report.response->command.rfind("LOGIN", 0) == 0 || report.response->command.rfind("GET", 0) == 0
                                || report.response->command.rfind("STARTSYNC", 0) == 0
                                || report.response->command.rfind("CHECKSYNC", 0) == 0))
            Heard(m_controlAwaited);
        else
            Heard(m_commandAwaited);
        break;
    default:
        break;
    }
    switch (report.message) {
    case UM_CONTROL_CONNECTED:
        OnControlConnected();
        break;
    case UM_CONTROL_CONNECT_FAILED:
    case UM_COMMAND_CONNECT_FAILED:
    case UM_CONNECTION_LOST:
        if (report.message == UM_CONNECTION_LOST && m_bClosing)
            break;
        Fail(report.message == UM_CONNECTION_LOST ? 329 : 239);
        break;
    case UM_LOGIN_RESULT:
        if (report.response)
            OnLoginResult(*report.response);
        break;
    case UM_LOGOUT_RESULT:
        // The server ended the session.
        m_bConnected = false;
        m_bClosing = true;
        StopPolls();
        StopWorkers();
        emit loggedOut();
        break;
    case UM_BROWSE:
        m_bCommandListed = true;
        if (report.entries)
            emit listingArrived(*report.entries);
        break;
    case UM_SEARCH:
        if (report.entries)
            emit searchResultsArrived(*report.entries);
        break;
    case UM_GETNOTIED: {
        // The list is lent for this call: the receivers take what they settle from a copy. An
        // answer whose body could not be kept comes without notices; polling goes on.
        CSyncNoticeList notices = report.notices ? *report.notices : CSyncNoticeList{};
        emit noticesArrived(notices);
        if (m_bConnected || m_control)
            SetNoticePoll(m_noticePoll);
        break;
    }
    case UM_MKDIR_RESULT:
    case UM_RMDIR_RESULT:
        if (report.response)
            emit folderChanged(*report.response);
        break;
    case UM_DELFILE_DONE:
        if (report.response)
            emit fileDeleted(*report.response);
        break;
    case UM_RENAME_RESULT:
        if (report.response)
            emit renameAnswered(*report.response);
        break;
    case UM_REQUEST_NOT_SENT:
        if (report.response)
            emit requestNotSent(*report.response);
        break;
    case UM_STARTSYNC:
    case UM_CHECKSYNC:
        emit syncStarted(report.code);
        break;
    case UM_GETSYNCED:
        emit syncResultArrived(report.code, report.result.get());
        break;
    default:
        break;
    }
    emit stateChanged();
}

// ---- routing and polls ---------------------------------------------------------------------

bool CClientSession::SendCommand(std::unique_ptr<CThreadCommand> command)
{
    if (!command)
        return false;
    // The id is read before the record moves into the call: the order in which a call's
    // arguments are evaluated is not fixed.
    const uint32_t id = command->messageId;
    Worker* worker = nullptr;
    switch (id) {
    case UM_LOGIN:
    case UM_LOGOUT:
    case UM_STARTSYNC:
    case UM_CHECKSYNC:
    case UM_GETSYNCED:
    case UM_GETNOTIED:
        worker = m_control.get();
        break;
    case UM_RENAME:
    case UM_DELFILE:
    case UM_RMDIR:
    case UM_MKDIR:
    case UM_SEARCH:
    case UM_BROWSE:
        worker = m_command.get();
        break;
    default:
        break;
    }
    if (!worker)
        return false;
    worker->Post(id, std::move(command));
    Await(worker == m_control.get() ? m_controlAwaited : m_commandAwaited);
    return true;
}

qint64 CClientSession::NowMs() const
{
    if (m_clock)
        return m_clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void CClientSession::Await(Awaited& awaited)
{
    if (awaited.count++ == 0)
        awaited.sinceMs = NowMs();
    if (!m_watchdog.isActive())
        m_watchdog.start();
}

void CClientSession::Heard(Awaited& awaited)
{
    if (awaited.count > 0)
        --awaited.count;
    awaited.sinceMs = NowMs(); // the next one still awaited is given its full time from now
    if (m_controlAwaited.count == 0 && m_commandAwaited.count == 0 && !m_loginPostedMs)
        m_watchdog.stop();
}

void CClientSession::ClearAwaited()
{
    m_controlAwaited = {};
    m_commandAwaited = {};
    m_loginPostedMs.reset();
    m_watchdog.stop();
}

void CClientSession::OnWatchdog()
{
    const qint64 now = NowMs();
    auto overdue = [&](const Awaited& a) { return a.count > 0 && now - a.sinceMs >= m_nAnswerDeadlineMs; };
    const bool login = m_loginPostedMs && now - *m_loginPostedMs >= m_nAnswerDeadlineMs;
    const bool control = overdue(m_controlAwaited);
    const bool command = overdue(m_commandAwaited);
    if (!login && !control && !command)
        return;
    if (m_bClosing) {
        ClearAwaited();
        return;
    }
    // The server took the request and says nothing: the same end as the failure it stands for.
    unsigned message = 329; // a lost connection
    if (login)
        message = 241; // LOGIN was never answered
    else if (command && !m_bCommandListed)
        message = 239; // the command channel never became usable
    ClearAwaited();
    Fail(message);
    emit stateChanged();
}

bool CClientSession::RequestBrowse(const QString& folder) { return SendCommand(Cmd(UM_BROWSE, folder)); }

std::unique_ptr<Worker> CClientSession::StartUploadChannel(uint32_t n)
{
    if (!m_bConnected)
        return nullptr;
    CChannelStartInfo info = ChannelInfo(m_deployment.commandPort);
    info.sessionId = S(m_strSessionId);
    info.messageNumber = kUploadMessageBase + n;
    info.sendBufferBytes = m_deployment.sendBufferBytes;
    info.rateLimit = m_uploadLimit;
    return talvex::StartUploadChannel(info, m_reports);
}

CChannelStartInfo CClientSession::ChannelInfo(int port) const
{
    CChannelStartInfo info;
    info.host = S(m_strHost);
    info.port = port;
    info.stallTimeoutMs = m_nStallTimeoutMs;
    // A send the server does not take is given up no sooner than a dark link would be.
    info.sendStallMs = std::max(info.sendStallMs, m_nStallTimeoutMs + 5000);
    return info;
}

void CClientSession::NetworkLost()
{
    if (!m_bConnected || m_bClosing)
        return;
    Log("an upload connection timed out or could not reach the server: the session is lost\n");
    Fail(329);
}

void CClientSession::SetUploadLimit(int kbps) { m_uploadLimit->SetRate(UploadRateLimiter::FromKBps(kbps)); }

int64_t CClientSession::UploadLimitBytesPerSecond() const { return m_uploadLimit->Rate(); }

QString CClientSession::ServerPath(const QString& path) const
{
    QString full = QStringLiteral("/%1%2%3").arg(m_strServiceSetId, m_strUserRoot, path);
    while (full.contains(QStringLiteral("//")))
        full.replace(QStringLiteral("//"), QStringLiteral("/"));
    return full;
}

void CClientSession::SetNoticePoll(NoticePoll poll)
{
    m_noticePoll = poll;
    if (!m_control || m_bClosing)
        return;
    m_noticeTimer.start(poll == NoticePoll::Fast ? kFastNoticePollMs : kNoticePollMs);
}

bool CClientSession::IsNoticePollArmed(NoticePoll poll) const
{
    return m_noticeTimer.isActive()
           && m_noticeTimer.interval() == (poll == NoticePoll::Fast ? kFastNoticePollMs : kNoticePollMs);
}

void CClientSession::OnNoticeTimer()
{
    if (m_control)
        m_control->Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
}

void CClientSession::StopPolls()
{
    m_noticeTimer.stop();
    m_noticePoll = NoticePoll::Normal;
}

// ---- disconnect -----------------------------------------------------------------------------

void CClientSession::Disconnect()
{
    m_bConnected = false;
    StopPolls();
    StopWorkers();
    m_strSessionId.clear();
    emit stateChanged();
}

void CClientSession::Close()
{
    m_bClosing = true;
    m_bConnected = false;
    StopPolls();
    StopWorkers();
}

void CClientSession::Retire(std::unique_ptr<Worker>& worker)
{
    // A worker may be waiting for the very handler we are in: tell it to quit now and join it
    // on a later turn of the event loop.
    if (!worker)
        return;
    worker->Quit();
    m_retired.push_back(std::move(worker));
    JoinRetiredLater();
}

void CClientSession::JoinRetiredLater()
{
    QTimer::singleShot(m_nReportDepth > 0 ? 50 : 0, this, [this] {
        if (m_nReportDepth > 0)
            JoinRetiredLater(); // a report is in hand: its sender may be one of them
        else
            m_retired.clear();
    });
}

void CClientSession::StopWorkers()
{
    ClearAwaited();
    m_bCommandListed = false;
    // The control session sends LOGOUT___ as it quits. This may run inside a report handler
    // (a lost connection closes the window), so the workers are joined on a later turn, or by
    // the destructor.
    Retire(m_command);
    Retire(m_control);
}
