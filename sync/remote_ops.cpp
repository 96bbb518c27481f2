#include "sync/remote_ops.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "panes/remote_view.h"
#include "protocol/message.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"
#include "sync/job_progress.h"
#include "sync/plugin_hooks.h"

using namespace talvex;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

} // namespace

CRemoteOps::CRemoteOps(CClientSession& session, CRemoteView& remote, CPluginHooks& plugins, CJobProgress& progress,
                       QWidget* dialogParent)
    : m_session(session), m_remote(remote), m_plugins(plugins), m_progress(progress),
      m_pDialogParent(dialogParent)
{
    connect(&session, &CClientSession::renameAnswered, this, &CRemoteOps::OnRenameAnswered);
    connect(&session, &CClientSession::noticesArrived, this, &CRemoteOps::OnNotices);
    connect(&session, &CClientSession::requestNotSent, this, &CRemoteOps::OnRequestNotSent);
    connect(&session, &CClientSession::fileDeleted, this, &CRemoteOps::OnFileDeleted);
    connect(&session, &CClientSession::folderChanged, this, [this](const CTlxspResponse& response) {
        if (response.statusCode == 200)
            m_session.RequestBrowse(m_remote.CurrentPath());
    });
}

void CRemoteOps::Rename(std::unique_ptr<CThreadCommand> command)
{
    if (!command)
        return;
    PendingRename rename{Q(command->text1), Q(command->text2), false};
    if (!m_session.SendCommand(std::move(command)))
        return;
    m_rename = rename;
    if (m_session.IsSyncService())
        m_progress.Open(CStartSyncDlg::kRename);
}

void CRemoteOps::OnRenameAnswered(const CTlxspResponse& response)
{
    if (response.statusCode == 200) {
        if (m_session.IsSyncService()) {
            // Applied once a notice confirms it.
            if (m_rename) {
                m_rename->awaitingNotice = true;
                m_session.SetNoticePoll(NoticePoll::Fast);
            }
        } else {
            emit statusChanged(0);
            if (m_rename && Q(response.path).compare(m_rename->oldPath, Qt::CaseInsensitive) == 0)
                RenameInList(*m_rename);
        }
        if (m_rename)
            m_plugins.Call(CPluginHooks::kRename, S(m_session.ServerPath(m_rename->oldPath)),
                           S(m_session.ServerPath(m_rename->newPath)));
        if (!m_session.IsSyncService())
            m_rename.reset();
        return;
    }
    emit statusChanged(0);
    EndRename();
    if (m_session.IsSyncService())
        m_progress.Close();
    if (response.statusCode == 409)
        ShowMessage(m_pDialogParent, 250, PromptIcon::Warning);
    else
        ShowMessageText(m_pDialogParent, QString::fromStdString(FormatString(249, response.path2.c_str())),
                        PromptIcon::Warning);
}

void CRemoteOps::OnNotices(CSyncNoticeList& notices)
{
    if (!IsRenamePending())
        return;
    auto& list = notices.notices;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->kind == kNoticeRename && Q(it->text).compare(m_rename->oldPath, Qt::CaseInsensitive) == 0) {
            emit statusChanged(0);
            RenameInList(*m_rename);
            EndRename();
            list.erase(it);
            return;
        }
    }
}

void CRemoteOps::OnRequestNotSent(const CTlxspResponse& response)
{
    // A rename that never left ends here; the window tells the user why.
    if (m_rename && response.command == tlxsp::kRename)
        EndRename();
}

void CRemoteOps::OnFileDeleted(const CTlxspResponse& response)
{
    const QString name = NameInShownFolder(Q(response.path), m_remote.CurrentPath());
    if (!name.isEmpty())
        m_remote.RemoveItemNamed(name);
    m_plugins.Call(CPluginHooks::kDelete, S(m_session.ServerPath(Q(response.path))));
}

void CRemoteOps::RenameInList(const PendingRename& rename)
{
    const QString shown = m_remote.CurrentPath();
    const QString oldName = NameInShownFolder(rename.oldPath, shown);
    if (!oldName.isEmpty())
        m_remote.RenameItemNamed(oldName, NameInShownFolder(rename.newPath, shown));
}

void CRemoteOps::EndRename()
{
    const bool waited = IsRenamePending();
    const bool dialog = m_rename && m_session.IsSyncService();
    m_rename.reset();
    if (waited)
        m_session.SetNoticePoll(NoticePoll::Normal);
    if (dialog)
        m_progress.Close();
}

void CRemoteOps::Reset()
{
    m_rename.reset();
}
