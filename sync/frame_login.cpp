#include "sync/frame_login.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "drm/drm_view.h"
#include "panes/flat_tab_view.h"
#include "sync/frame_dialogs.h"

CFrameLogin::CFrameLogin(CClientSession& session, const CFrameDialogs& dialogs, CFlatTabView& tabs, QWidget* window)
    : m_session(session), m_dialogs(dialogs), m_tabs(tabs), m_window(window)
{
    connect(&session, &CClientSession::webCheckAnswered, this, [this] {
        m_tabs.SetSyncService(m_session.IsSyncService());
        AddDrmPage();
    });
    connect(&session, &CClientSession::checkRefused, this, [this](unsigned questionId) {
        if (AskYesNo(m_window, questionId))
            ShowLogin();
    });
    connect(&session, &CClientSession::checkFailed, this, [this] { ShowMessage(m_window, 243, PromptIcon::Error); });
    connect(&session, &CClientSession::loginRefused, this, [this] {
        m_tabs.RemoveDrmPage();
        ShowMessage(m_window, 242, PromptIcon::Error);
        ShowLogin();
    });
}

bool CFrameLogin::ShowLogin(const QString& knownUserId)
{
    QString userId = knownUserId, password;
    bool save = false;
    if (!m_dialogs.showLogin || !m_dialogs.showLogin(userId, password, save))
        return false;
    m_bSaveUserId = save;
    m_session.Connect(userId, password, save);
    return true;
}

void CFrameLogin::ShowManager()
{
    // The dialog is closed before the connect sequence starts.
    QString userId, password;
    if (!m_dialogs.showManager || !m_dialogs.showManager(userId, password))
        return;
    // An account kept without its password (a book carried from another machine, whose
    // keyring stayed behind): the login dialog asks for it, the user id filled in.
    if (password.isEmpty())
        ShowLogin(userId);
    else
        ConnectAs(userId, password);
}

void CFrameLogin::ConnectAs(const QString& userId, const QString& password)
{
    m_session.Connect(userId, password, m_bSaveUserId);
}

void CFrameLogin::AddDrmPage()
{
    // Accounts allowed to protect media get the DRM page; one whose protection objects cannot
    // be made goes without it (the page has said why).
    const talvex::WebCheckRecord& account = m_session.Account();
    if (account.useDrm != 1)
        return;
    DrmSetupParams params;
    params.drmId = QString::fromStdString(account.drmId);
    params.drmPass = QString::fromStdString(account.drmPass);
    params.drmWebHost = m_session.Deployment().drmWebHost;
    params.drmWebPort = m_session.Deployment().drmWebPort;
    auto* page = new CDRMView(params);
    if (page->Setup() != 0) {
        delete page;
        return;
    }
    m_tabs.AddDrmPageWidget(page);
}
