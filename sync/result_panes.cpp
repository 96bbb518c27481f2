#include "sync/result_panes.h"


#include "app/client_session.h"
#include "panes/flat_tab_view.h"
#include "panes/folder_dlg.h"
#include "panes/remote_view.h"
#include "panes/result_views.h"
#include "platform/log.h"
#include "protocol/message_ids.h"
#include "protocol/upload_tracker.h"
#include "res/string_table.h"
#include "sync/plugin_hooks.h"
#include "sync/queue_model.h"
#include "sync/sync_job.h"
#include "sync/upload_queue.h"

#include <QLocale>

#include <cstring>

using namespace talvex;

namespace {

// The remote name as the request holds it (relative to the account's root, no leading "/");
// notices are matched and resent orders joined without regard to a leading "/".
CResultRowTexts TextsOf(const CUploadRequest& request)
{
    return {QString::fromStdString(request.localPath), QString::fromStdString(request.remotePath),
            QueueSizeText(request.size), QString()};
}

// The remote path of a row's remote name, from the account's root: "/" + the name.
QString RemotePathOf(const CResultRowTexts& texts)
{
    return texts.remoteName.startsWith(QLatin1Char('/')) ? texts.remoteName : QLatin1Char('/') + texts.remoteName;
}

// The remote name of a row as the Sync hook gets it: without a leading "/".
QString RemoteNameOf(const CResultRowTexts& texts)
{
    QString name = texts.remoteName;
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    return name;
}


} // namespace

CResultPanes::CResultPanes(CClientSession& session, CUploadQueue& queue, CSyncJob& syncJob, CRemoteView& remote,
                           CPluginHooks& plugins, CFlatTabView& tabs, OrderSink resend, QObject* parent)
    : QObject(parent), m_session(session), m_queue(queue), m_remote(remote), m_plugins(plugins), m_tabs(tabs),
      m_pProcess(new CProcessView), m_pComplete(new CCompleteResultView), m_pFail(new CFailView),
      m_pFind(new CFindView)
{
    tabs.SetPage(CFlatTabView::ProcessPage, m_pProcess);
    tabs.SetPage(CFlatTabView::CompletePage, m_pComplete);
    tabs.SetPage(CFlatTabView::FailPage, m_pFail);
    tabs.SetPage(CFlatTabView::FindPage, m_pFind);
    m_askFindText = [this](QString& text) { return CFolderDlg::Ask(CFolderDlg::FindFile, m_pFind->window(), text); };

    connect(&queue, &CUploadQueue::fileSent, this, &CResultPanes::OnFileSent);
    connect(&queue, &CUploadQueue::settled, this, &CResultPanes::OnSettled);
    // A failure kept in the journal comes back once: not when its row is on the page already
    // (the same account logged in again in this run).
    connect(&queue, &CUploadQueue::restoredFailure, this, [this](const CUploadItem& item) {
        if (!item.request)
            return;
        const CResultRowTexts texts = TextsOf(*item.request);
        if (m_pFail->RowOf(texts.localPath, texts.remoteName) < 0)
            OnSettled(item);
    });
    // After the queue has taken the notices of the files it still waits for.
    connect(&session, &CClientSession::noticesArrived, this, &CResultPanes::OnNotices);
    connect(&session, &CClientSession::searchResultsArrived, this, [this](const CRemoteEntryList& entries) {
        m_pFind->ShowSearchResults(entries);
        m_tabs.SelectPage(CFlatTabView::FindPage);
        emit statusChanged(0);
    });
    // Fail rows the user removes leave the journal; resent ones are taken over by their resend.
    connect(m_pFail, &CResultView::clearedByUser, this, [this] {
        for (int row = 0; row < m_pFail->RowCount(); ++row)
            m_queue.ForgetFailure(m_pFail->Model()->Text(row, 0), m_pFail->Model()->Text(row, 1));
    });
    m_pFail->SetResendAllowed([this] { return m_queue.IsStarted(); });
    connect(m_pFail, &CFailView::resendProgress, this, [this](int done, int total) {
        emit messageChanged(done < total ? QString::fromUtf8(kTextResendProgress)
                                               .arg(QLocale(QLocale::Korean).toString(done), QLocale(QLocale::Korean).toString(total))
                                         : QString());
    });
    connect(m_pFail, &CFailView::resendRequested, this,
            [resend = std::move(resend)](std::vector<CUploadOrder> orders) {
                if (resend)
                    resend(std::move(orders));
            });
    // Rows deleted from the progress page are forgotten: what comes for them later matches
    // nothing. Rows that leave because their file settled are not deleted ones.
    auto forget = [this](int first, int last) {
        if (m_bSettling)
            return;
        for (int row = first; row <= last && row < m_pProcess->Model()->rowCount(); ++row)
            if (const void* key = m_pProcess->Model()->Key(row))
                m_queue.Forget(static_cast<const CUploadRequest*>(key));
    };
    connect(m_pProcess->Model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [forget](const QModelIndex&, int first, int last) { forget(first, last); });
    connect(m_pProcess->Model(), &QAbstractItemModel::modelAboutToBeReset, this,
            [this, forget] { forget(0, m_pProcess->Model()->rowCount() - 1); });
    connect(&syncJob, &CSyncJob::manualSyncFinished, this, [this] {
        // Without notices nothing confirms what still waits here: the sync has taken it.
        if (!m_session.IsSyncService())
            m_pProcess->RemoveAll();
    });
}

void CResultPanes::OnFileSent(const CUploadRequest& request)
{
    if (request.IsFolder())
        return;
    if (m_pProcess->RowOfKey(&request) >= 0)
        return; // sent once more after a reconnect: its row is there already
    const CResultRowTexts texts = TextsOf(request);
    m_pProcess->SetSyncService(m_session.IsSyncService());
    m_tabs.AddProgressRow(texts, QString::fromStdString(request.moveFolder), &request);
    // Without notices the file is in place now: its row joins the remote list when its folder
    // is on show (on sync-service accounts once the notice confirms it).
    if (!m_session.IsSyncService())
        ShowInRemoteList(texts);
}

void CResultPanes::ShowInRemoteList(const CResultRowTexts& texts)
{
    const QString name = NameInShownFolder(RemotePathOf(texts), m_remote.CurrentPath());
    if (!name.isEmpty())
        m_remote.AddFileRow(name, texts.sizeText);
}

void CResultPanes::OnSettled(const CUploadItem& item)
{
    if (!item.request)
        return;
    // A folder that could not be read is a failure of its own; other folders are no rows.
    if (item.request->IsFolder() && !(item.state == UploadState::Failed && item.failure == UploadFailure::ReadError))
        return;
    const CUploadRequest& request = *item.request;
    const int row = m_pProcess->RowOfKey(&request);
    if (row >= 0) {
        m_bSettling = true;
        m_pProcess->RemoveRow(row);
        m_bSettling = false;
    }
    CResultRowTexts texts = TextsOf(request);
    if (item.state != UploadState::Confirmed) {
        // Refused or reported failed by the server: the page's own words. Otherwise the reason:
        // not readable, changed while sent, no answer, no notice in time, the connection.
        if (item.failure != UploadFailure::Refused && item.failure != UploadFailure::Unconfirmed) {
            texts.status = QString::fromStdString(UploadFailureReason(item.failure, item.status));
        }
        m_tabs.AddFailRow(texts);
        return;
    }
    m_tabs.AddCompleteRow(texts);
    // The plug-ins' Sync hook (see talvex_plugin.h): the server path, an empty text
    // and the remote name as the row holds it, from the account's root without a leading "/".
    m_plugins.Call(CPluginHooks::kSync, m_session.ServerPath(RemotePathOf(texts)).toStdString(), {},
                   RemoteNameOf(texts).toStdString());
    if (!item.moveError.empty())
        Log("move after upload of %s failed: %s\n", request.localPath.c_str(), item.moveError.c_str());
    if (m_session.IsSyncService())
        ShowInRemoteList(texts);
}

void CResultPanes::OnNotices(CSyncNoticeList& notices)
{
    for (const CResultRowTexts& texts : m_pFail->RecheckFailed(notices)) {
        m_queue.ForgetFailure(texts.localPath, texts.remoteName); // confirmed after all
        m_tabs.AddCompleteRow(texts);
        m_queue.CountLateConfirmation();
    }
}

void CResultPanes::Find()
{
    QString text;
    if (!m_askFindText || !m_askFindText(text))
        return;
    Search(text);
}

void CResultPanes::Search(const QString& text)
{
    emit statusChanged(11);
    auto command = std::make_unique<CThreadCommand>();
    command->messageId = UM_SEARCH;
    command->text1 = QStringLiteral("/").toStdString(); // the whole account
    command->text2 = text.toStdString();
    m_session.SendCommand(std::move(command));
}

void CResultPanes::Clear()
{
    m_pProcess->RemoveAll();
    m_pComplete->RemoveAll();
}

void CResultPanes::OnLoggedIn(const QString& account)
{
    // A fail row belongs to the account it came from: resent after a login as another account,
    // its file would land in the wrong one. The rows of an earlier session of the same account
    // stay, to be resent.
    if (!m_strFailAccount.isEmpty() && m_strFailAccount != account)
        m_pFail->RemoveAll();
    m_strFailAccount = account;
}

bool CResultPanes::IsProgressEmpty() const { return m_pProcess->RowCount() == 0; }
