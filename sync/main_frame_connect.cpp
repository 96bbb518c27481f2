// The window's part of the connect sequence: the title, what a login and a lost connection
// change, the paths that end the program, disconnect, and the routing of the remote pane's
// requests to the session and the operations (the dialogs of logging in: sync/frame_login.h).

#include "sync/main_frame.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "panes/flat_tab_view.h"
#include "panes/remote_view.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"
#include "sync/remote_ops.h"
#include "sync/result_panes.h"
#include "sync/frame_login.h"
#include "sync/option_dlg.h"
#include "sync/status_panes.h"
#include "sync/sync_job.h"
#include "sync/upload_queue.h"

#include <QLabel>

using namespace talvex;

void CMainFrame::ConnectSession()
{
    CClientSession* s = m_pSession.get();
    const UploadOptions saved = UploadOptions::Load();
    m_pSession->SetAutoReconnect(saved.autoReconnect);
    m_pSession->SetStallTimeoutSeconds(saved.stallTimeoutSeconds);
    m_pReconnect = std::make_unique<CFrameReconnect>(
        *s, CFrameReconnect::Hooks{[this](const QString& text) { m_pStatus->Pane(0)->setText(text); },
                                   [this](const QString& folder) { m_pRemoteView->OpenPath(folder); },
                                   [this] { UpdateCommandUI(); }});
    connect(s, &CClientSession::connectionLost, this, &CMainFrame::OnConnectionLost);
    // The time is up: the lost connection's message, and the end.
    connect(m_pReconnect.get(), &CFrameReconnect::gaveUp, this, [this] { EndProgram(329, -1); });
    connect(s, &CClientSession::stateChanged, this, &CMainFrame::UpdateCommandUI);
    m_pLogin = std::make_unique<CFrameLogin>(*s, m_dialogs, *m_pTabView, this);
    connect(s, &CClientSession::controlConnected, this,
            [this] { setWindowTitle(QStringLiteral("%1 [%2]").arg(Str(194), m_pSession->UserId())); });
    connect(s, &CClientSession::loggedIn, this, [this] {
        m_pRemoteView->Reset(); // the root's listing comes first (the folder shown before a
                                // reconnect is asked for once it is in)
        m_pResults->OnLoggedIn(QStringLiteral("%1\n%2\n%3").arg(m_pSession->Host(), m_pSession->ServiceSetId(), m_pSession->UserId()));
        const UploadOptions options = UploadOptions::Load();
        m_pQueue->SetDeadlines({m_pQueue->Deadlines().answerMs, int64_t{options.confirmTimeoutSeconds} * 1000});
        m_pSession->SetAutoReconnect(options.autoReconnect);
        const bool reconnected = m_pQueue->IsSuspended();
        m_pQueue->Start(options.channels); // after a reconnect it goes on where it was
        SetStatus(0);
        if (!reconnected)
            m_pQueue->ResumeFromJournal(
                [this](int unfinished) { return AskYesNoText(this, QString::fromUtf8(kTextResumeAsk).arg(unfinished)); });
    });
    connect(s, &CClientSession::fatal, this, &CMainFrame::EndProgram);
    connect(s, &CClientSession::loggedOut, this, [this] {
        // The server ended the session.
        m_bClosing = true;
        close();
    });
    connect(s, &CClientSession::listingArrived, this, &CMainFrame::listingArrived);
    connect(s, &CClientSession::searchResultsArrived, this, &CMainFrame::searchResultsArrived);
    connect(s, &CClientSession::noticesArrived, this, [this](CSyncNoticeList& notices) {
        emit noticesArrived(notices);
        if (m_pSession->IsSyncService() && !m_pSyncJob->IsBusy() && m_pQueue->IsIdle() && m_pResults->IsProgressEmpty())
            SetStatus(0);
    });
    connect(s, &CClientSession::requestNotSent, this, &CMainFrame::OnRequestNotSent);
}

void CMainFrame::ConnectAs(const QString& userId, const QString& password) { m_pLogin->ConnectAs(userId, password); }

bool CMainFrame::IsCheckingUser() const { return m_pSession->IsCheckingUser(); }
bool CMainFrame::IsConnected() const { return m_pSession->IsConnected(); }

// Paths that end the program: the message, then the window closes.
void CMainFrame::EndProgram(unsigned messageId, int status)
{
    if (status != 0)
        SetStatus(status);
    m_bClosing = true;
    m_pSyncJob->Reset();
    m_pQueue->Stop();
    ShowMessage(this, messageId, messageId == 241 ? PromptIcon::Error : PromptIcon::Information);
    m_pSession->Close();
    close();
}

void CMainFrame::OnRequestNotSent(const CTlxspResponse& response)
{
    // The operation that waited for it has ended already; the commands follow before the box.
    UpdateCommandUI();
    const std::string what = response.path.empty() ? response.path2 : response.path;
    const char* text = response.statusCode == kRequestTooLong ? kTextRequestTooLong : kTextRequestUnwritable;
    SetStatus(IsConnected() ? 0 : -1);
    ShowMessageText(this, QString::fromUtf8(text).replace(QStringLiteral("%s"), QString::fromStdString(what)),
                    PromptIcon::Warning);
}

void CMainFrame::OnConnectionLost()
{
    // The session is made again on its own: what was shown, queued and awaited stays.
    const QString folder = m_pRemoteView->CurrentPath();
    m_pQueue->Suspend();
    m_pRemoteOps->Reset();
    m_pSyncJob->Reset(); // a job whose result will never come is over
    m_pRemoteView->Reset();
    SetStatus(-1);
    m_pReconnect->Begin(folder);
    UpdateCommandUI();
}

void CMainFrame::OnDisconnect()
{
    if (!AskYesNo(this, 260))
        return;
    m_pReconnect->Stop();
    m_pStatus->Pane(0)->clear();
    m_pSession->Disconnect();
    m_pQueue->Stop();
    m_pResults->Clear();
    m_pRemoteOps->Reset();
    // A job whose result will never come is over; its dialog goes with it.
    m_pSyncJob->Reset();
    // The rows of this session must not stand under the next session's path.
    m_pRemoteView->Reset();
    m_pTabView->RemoveDrmPage();
    setWindowTitle(Str(194));
    SetStatus(-1);
}

// ---- routing -------------------------------------------------------------------------------

void CMainFrame::SendCommand(std::unique_ptr<CThreadCommand> command)
{
    if (!command)
        return;
    const uint32_t id = command->messageId;
    if (id == UM_RENAME)
        m_pRemoteOps->Rename(std::move(command));
    else if (id == UM_CHECKSYNC)
        m_pSyncJob->StartCheck(std::move(command));
    else
        m_pSession->SendCommand(std::move(command));
    UpdateCommandUI();
}

void CMainFrame::RequestBrowse(const QString& folder) { m_pSession->RequestBrowse(folder); }

void CMainFrame::RefreshRemote() { RequestBrowse(m_pRemoteView->CurrentPath()); }

QString CMainFrame::ServerPath(const QString& path) const { return m_pSession->ServerPath(path); }

void CMainFrame::SetCheckSync(bool check) { m_pSyncJob->SetCheck(check); }

bool CMainFrame::IsTimerArmed(FrameTimer timer) const
{
    switch (timer) {
    case kNoticeTimer: return m_pSession->IsNoticePollArmed(NoticePoll::Normal);
    case kRenameNoticeTimer: return m_pSession->IsNoticePollArmed(NoticePoll::Fast);
    case kSyncResultTimer: return m_pSyncJob->IsResultPollArmed();
    }
    return false;
}
