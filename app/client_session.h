#pragma once
// CClientSession: one connection to the service, outside any window. It runs the connect
// sequence (web user check beside the window thread, control session, LOGIN____, command
// channel), owns the workers and the sink they report to, routes requests to them, polls the
// control session for notices and hands every report that is not about the connection itself on
// as a typed signal. The window and the operation objects listen; none of them touches a worker.
//
// Dialogs are not its business: where the sequence needs the user (a refused check, a refused
// LOGIN, a lost connection) it says so with a signal and the window asks.

#include "app/deployment_settings.h"
#include "app/qt_report_sink.h"
#include "protocol/records.h"
#include "protocol/upload_rate.h"
#include "protocol/webcheck.h"
#include "protocol/worker.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// The session's notice polls: every 5 s for sync-service accounts, every 2 s while a change
// waits for its confirming notice.
enum class NoticePoll { Normal, Fast };

class CClientSession : public QObject {
    Q_OBJECT
public:
    explicit CClientSession(const DeploymentSettings& deployment, QObject* parent = nullptr);
    ~CClientSession() override;

    // Starts the connect sequence with these credentials (nothing when a sequence runs or a
    // session is up). save: remember the user id once the control connection is up.
    void Connect(const QString& userId, const QString& password, bool save);
    // Ends the session: the control session logs out as it quits. Safe inside a report handler.
    void Disconnect();
    // The window is going away: no more dialogs are asked for; the workers are told to quit.
    void Close();

    // Routes a request to the worker its message id belongs to; false when there is none.
    bool SendCommand(std::unique_ptr<talvex::CThreadCommand> command);
    bool RequestBrowse(const QString& folder);
    // Starts an upload channel reporting with message number kUploadMessageBase + n. The
    // channel reports through the session's sink; its reports come out as uploadReport.
    std::unique_ptr<talvex::Worker> StartUploadChannel(uint32_t n);
    // The sink the session's workers report to (a channel started elsewhere may report to it).
    talvex::IReportSink& Sink() { return m_reports; }
    // The speed limit of all upload channels together (KB/s, 0: none); applies at once.
    void SetUploadLimit(int kbps);
    int64_t UploadLimitBytesPerSecond() const;
    // Retires a worker the caller owned: told to quit now, joined once no report is in hand.
    void Retire(std::unique_ptr<talvex::Worker>& worker);

    // The full server path of a remote path: "/<service set><user root><path>", "//" folded.
    QString ServerPath(const QString& path) const;

    // Notice polling (sync-service accounts): Fast while a change waits for its notice.
    void SetNoticePoll(NoticePoll poll);
    bool IsNoticePollArmed(NoticePoll poll) const;
    // Milliseconds until the armed notice poll fires again from its start; 0 when none is armed.
    int NoticePollIntervalMs() const { return m_noticeTimer.isActive() ? m_noticeTimer.interval() : 0; }

    bool IsConnected() const { return m_bConnected; }
    bool IsCheckingUser() const { return m_bCheckingUser; }
    bool IsClosing() const { return m_bClosing; }
    // A connect sequence runs or a session is up: connecting again is not possible.
    bool IsBusy() const { return m_bConnected || m_bCheckingUser || m_control != nullptr; }
    bool IsSyncService() const { return m_bSyncService; }
    const QString& UserId() const { return m_strUserId; }
    const QString& SessionId() const { return m_strSessionId; }
    const QString& UserRoot() const { return m_strUserRoot; }
    const QString& ServiceSetId() const { return m_strServiceSetId; }
    const QString& Host() const { return m_strHost; }
    // DRM settings of the account from the web user check.
    const talvex::WebCheckRecord& Account() const { return m_account; }
    const DeploymentSettings& Deployment() const { return m_deployment; }
    // Whether this is the password held (the password itself never leaves the session).
    bool HoldsPassword(const QString& candidate) const { return candidate == m_strPassword; }

    // How long an answer is awaited on the control session or the command channel (LOGIN, the
    // first listing after the command channel connects, listings, renames, sync requests):
    // when it passes, the session fails as for a refused LOGIN, a command channel that could
    // not connect, or a lost connection. Answers come in the order of the requests, so any
    // answer tells that the ones before it came.
    void SetAnswerDeadlineMs(int ms) { m_nAnswerDeadlineMs = ms; }
    // The monotonic clock the answers' deadlines are read from, in ms (tests move one of their own).
    void SetClock(std::function<qint64()> steadyMs) { m_clock = std::move(steadyMs); }
    // The dead-path bound of the connections made from now on (CChannelStartInfo::
    // stallTimeoutMs, "연결이 끊긴 것으로 볼 때까지" in 옵션): one that hears nothing this long
    // counts as lost, and so does the session.
    void SetStallTimeoutSeconds(int seconds) { m_nStallTimeoutMs = seconds * 1000; }
    int StallTimeoutMs() const { return m_nStallTimeoutMs; }
    // An upload channel timed out or could not reach the server (IsNetworkLoss): the path to the
    // server is gone, and the session with it, at once, as for a lost control connection (its
    // message and the end, or a reconnect). Nothing when no session is up.
    void NetworkLost();

    // Reconnecting: with autoReconnect, a session that was logged in and loses its connection
    // emits connectionLost instead of ending (fatal). While reconnecting, a connect sequence
    // that fails in any way emits attemptFailed, with no message.
    void SetAutoReconnect(bool on) { m_bAutoReconnect = on; }
    bool AutoReconnect() const { return m_bAutoReconnect; }
    // One attempt: the whole connect sequence again with the credentials of the lost session.
    void Reconnect();
    void SetReconnecting(bool on) { m_bReconnecting = on; }
    bool IsReconnecting() const { return m_bReconnecting; }
    int AnswerDeadlineMs() const { return m_nAnswerDeadlineMs; }

signals:
    // Connect sequence.
    void stateChanged();
    void webCheckAnswered(); // kind 1: the account's fields are known
    void checkRefused(unsigned questionId); // 244 no account, 245 wrong password: ask to retry
    void checkFailed();                      // the logon server could not be used (243)
    void controlConnected();
    void loggedIn();
    void loginRefused();                     // LOGIN 400
    // The session cannot go on: show the message (and the status kind when not 0), then end.
    void fatal(unsigned messageId, int status);
    // The logged-in session lost its connection and autoReconnect is on (see SetAutoReconnect).
    void connectionLost();
    // A reconnect attempt failed (see SetReconnecting).
    void attemptFailed();
    void loggedOut();                        // the server ended the session
    // Reports.
    void listingArrived(const talvex::CRemoteEntryList& entries);
    void searchResultsArrived(const talvex::CRemoteEntryList& entries);
    // The list is the receivers' copy: each takes out the notices it settles.
    void noticesArrived(talvex::CSyncNoticeList& notices);
    void folderChanged(const talvex::CTlxspResponse& response); // MKDIR/RMDIR answers
    void fileDeleted(const talvex::CTlxspResponse& response);
    void renameAnswered(const talvex::CTlxspResponse& response);
    void requestNotSent(const talvex::CTlxspResponse& response);
    void syncStarted(int status);
    // result: null when the answer was not 200 or its body could not be read (lent).
    void syncResultArrived(int status, const talvex::CSyncNoticeList* result);
    void uploadReport(talvex::Report& report);

private:
    // A connection's start: the server's address, the port and the dead-path bound.
    talvex::CChannelStartInfo ChannelInfo(int port) const;
    void StartWebCheck();
    void OnWebCheckResult(const talvex::WebCheckResult& result);
    void OnReport(talvex::Report& report);
    void OnControlConnected();
    void OnLoginResult(const talvex::CTlxspResponse& response);
    void OnNoticeTimer();
    void StopPolls();
    void StopWorkers();
    void JoinRetiredLater();
    // Requests posted to a worker and not answered yet.
    struct Awaited {
        int count = 0;
        qint64 sinceMs = 0; // the oldest still awaited was posted, or the last answer came
    };
    void Await(Awaited& awaited);
    void Heard(Awaited& awaited);
    void OnWatchdog();
    // The connection failed: the message and the end, a reconnect, or the next attempt.
    void Fail(unsigned messageId);
    void ClearAwaited();
    qint64 NowMs() const;

    DeploymentSettings m_deployment;
    QString m_strHost;
    QString m_strUserId;
    QString m_strPassword;
    QString m_strSessionId;
    QString m_strServiceSetId;
    QString m_strUserRoot;
    talvex::WebCheckRecord m_account;
    bool m_bConnected = false;
    bool m_bSyncService = false;
    bool m_bCheckingUser = false;
    bool m_bSaveUserId = false;
    bool m_bClosing = false;
    bool m_bCommandListed = false; // the command channel has answered once
    bool m_bAutoReconnect = false;
    bool m_bReconnecting = false;
    NoticePoll m_noticePoll = NoticePoll::Normal;
    std::shared_ptr<talvex::UploadRateLimiter> m_uploadLimit;
    QTimer m_noticeTimer;
    QTimer m_watchdog;
    Awaited m_controlAwaited;
    Awaited m_commandAwaited;
    int m_nAnswerDeadlineMs = 60000;
    int m_nStallTimeoutMs = talvex::kDefaultStallTimeoutSeconds * 1000;
    std::optional<qint64> m_loginPostedMs; // LOGIN awaits its answer since then
    std::function<qint64()> m_clock;

    std::thread m_webCheck;
    // The sink outlives the workers that report to it: declared before them, destroyed after.
    CQtReportSink m_reports;
    std::unique_ptr<talvex::Worker> m_control;
    std::unique_ptr<talvex::Worker> m_command;
    std::vector<std::unique_ptr<talvex::Worker>> m_retired; // told to quit; joined on a later turn
    int m_nReportDepth = 0; // reports being handled (message boxes nest them)
};
