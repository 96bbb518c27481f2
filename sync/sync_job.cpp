#include "sync/sync_job.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/message.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"
#include "sync/job_progress.h"

using namespace talvex;

namespace {
constexpr int kResultPollMs = 5000;
}

CSyncJob::CSyncJob(CClientSession& session, CJobProgress& progress, const CFrameDialogs& dialogs,
                   QWidget* dialogParent)
    : m_session(session), m_progress(progress), m_dialogs(dialogs),
      m_pDialogParent(dialogParent)
{
    m_resultTimer.setSingleShot(true);
    connect(&m_resultTimer, &QTimer::timeout, this, [this] {
        emit statusChanged(0);
        m_session.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_GETSYNCED, {}, {}}));
    });
    connect(&session, &CClientSession::syncStarted, this, &CSyncJob::OnStarted);
    connect(&session, &CClientSession::syncResultArrived, this, &CSyncJob::OnResult);
    connect(&session, &CClientSession::requestNotSent, this, &CSyncJob::OnRequestNotSent);
}

QString CSyncJob::ResultFile() { return QString::fromStdString(AppDir() + "GETSYNCED.tlx"); }

void CSyncJob::StartManualSync()
{
    if (!m_session.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_STARTSYNC, {}, {}})))
        return;
    m_bCheck = false;
    m_bBusy = true;
    emit statusChanged(9);
    m_progress.Open(CStartSyncDlg::kManualSync);
    Log("Select start sync\n");
}

void CSyncJob::StartCheckAll()
{
    m_bCheck = true;
    // No path: the whole account.
    StartCheck(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, {}, {}}));
    if (!m_bBusy)
        return;
    Log("Select check sync all\n");
    emit statusChanged(10);
}

void CSyncJob::StartCheck(std::unique_ptr<CThreadCommand> command)
{
    if (!command || !m_session.SendCommand(std::move(command))) {
        m_bBusy = false; // nothing was sent: no job runs
        return;
    }
    m_bBusy = true; // also for a check asked for by the remote pane
    m_progress.Open(CStartSyncDlg::kCheckSync);
}

void CSyncJob::OnStarted(int status)
{
    if (status == 200) {
        m_resultTimer.start(kResultPollMs); // the job runs; its result is asked for shortly
        return;
    }
    emit statusChanged(0);
    End();
    if (status == 204)
        ShowMessage(m_pDialogParent, 251);
    else if (status == 404)
        ShowMessage(m_pDialogParent, 252);
    else
        ShowMessageText(m_pDialogParent, QString::fromStdString(FormatString(m_bCheck ? 253 : 254, status)));
}

void CSyncJob::OnResult(int status, const CSyncNoticeList* lent)
{
    if (status == 203) {
        // Not ready yet: ask again later.
        m_resultTimer.start(kResultPollMs);
        return;
    }
    emit statusChanged(0);
    if (status != 200 || !lent) {
        // Refused, or a result that could not be stored or read: the job is over all the same.
        End();
        ShowMessage(m_pDialogParent, 247);
        return;
    }
    m_bBusy = false;
    if (CStartSyncDlg* dlg = m_progress.Dialog()) {
        dlg->setWindowTitle(Str(246));
        m_progress.Close();
    }
    auto result = std::make_unique<CSyncNoticeList>(*lent);
    Log("total count : %d\n", result->totalCount);
    Log("fail count : %d\n", result->failCount);
    if (!m_bCheck)
        emit manualSyncFinished();
    // The dialog waits for the user: it opens once this report is done, so that the control
    // session is not held meanwhile.
    const bool failures = result->failCount != 0;
    auto held = std::make_shared<std::unique_ptr<CSyncNoticeList>>(std::move(result));
    QTimer::singleShot(0, this, [this, held, failures, check = m_bCheck] {
        const CFrameDialogs::SyncResultShow& show = failures ? m_dialogs.showSyncResult : m_dialogs.showSyncComplete;
        if (show)
            show(std::move(*held), check);
    });
}

void CSyncJob::OnRequestNotSent(const CTlxspResponse& response)
{
    // A check whose request never left ends here; the window tells the user why.
    if (m_bBusy && (response.command == tlxsp::kCheckSync || response.command == tlxsp::kStartSync))
        End();
}

void CSyncJob::End()
{
    m_bBusy = false;
    m_resultTimer.stop();
    m_progress.Close();
}

void CSyncJob::Reset() { End(); }
