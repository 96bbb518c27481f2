// The manual sync and sync check of the main frame: starting a job, the answers to its start,
// polling for its result and showing the result.

#include "sync/main_frame.h"

#include "app/prompt.h"
#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"
#include "sync/start_sync_dlg.h"
#include "sync/sync_comp_dlg.h"
#include "sync/sync_result_dlg.h"

using namespace talvex;

QString CMainFrame::SyncResultFile() { return QString::fromStdString(AppDir() + "GETSYNCED.tlx"); }

void CMainFrame::OnManualSync()
{
    if (!m_control)
        return;
    m_bCheckSync = false;
    m_bSyncBusy = true;
    SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_STARTSYNC, {}, {}}));
    SetStatus(9);
    OpenProgressDialog(CStartSyncDlg::kManualSync);
    Log("Select start sync\n");
}

void CMainFrame::OnCheckSyncAll()
{
    if (!m_control)
        return;
    m_bSyncBusy = true;
    m_bCheckSync = true;
    // No path: the whole account. The routing opens the progress dialog in check mode.
    SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, {}, {}}));
    Log("Select check sync all\n");
    SetStatus(10);
}

void CMainFrame::OpenProgressDialog(int mode)
{
    CloseProgressDialog();
    m_pProgressDlg.reset();
    m_pProgressDlg = std::make_unique<CStartSyncDlg>(mode, this);
    m_pProgressDlg->show();
}

void CMainFrame::CloseProgressDialog()
{
    // The closed dialog stays until the next one replaces it or the frame goes.
    if (m_pProgressDlg)
        m_pProgressDlg->hide();
}

void CMainFrame::OnSyncStarted(int status)
{
    if (status == 200) {
        ArmTimer(kSyncResultTimer); // the job runs; its result is asked for shortly
        return;
    }
    SetStatus(0);
    m_bSyncBusy = false;
    CloseProgressDialog();
    if (status == 204)
        ShowMessage(this, 251);
    else if (status == 404)
        ShowMessage(this, 252);
    else
        ShowMessageText(this, QString::fromStdString(FormatString(m_bCheckSync ? 253 : 254, status)));
}

void CMainFrame::OnSyncResult(int status, std::unique_ptr<CSyncNoticeList> result)
{
    m_bSyncBusy = false;
    if (status == 203) {
        // Not ready yet: ask again later.
        ArmTimer(kSyncResultTimer);
        m_bSyncBusy = true;
        return;
    }
    SetStatus(0);
    if (status != 200) {
        CloseProgressDialog();
        ShowMessage(this, 247);
        return;
    }
    if (m_pProgressDlg) {
        m_pProgressDlg->setWindowTitle(Str(246));
        CloseProgressDialog();
    }
    if (!result)
        result = std::make_unique<CSyncNoticeList>();
    Log("total count : %d\n", result->totalCount);
    Log("fail count : %d\n", result->failCount);
    // The dialog waits for the user: it opens once this report is done, so that the control
    // session is not held meanwhile.
    const bool failures = result->failCount != 0;
    auto held = std::make_shared<std::unique_ptr<CSyncNoticeList>>(std::move(result));
    QTimer::singleShot(0, this, [this, held, failures, check = m_bCheckSync] {
        const SyncResultShow& show = failures ? m_showSyncResult : m_showSyncComplete;
        if (show)
            show(std::move(*held), check);
    });
}
