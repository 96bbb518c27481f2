// The window's desktop services: the secret store that keeps the account book's passwords
// (and the status bar line when there is none), and the desktop notifications with the page
// a click brings forward.

#include "sync/main_frame.h"

#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "app/keyring_store.h"
#include "panes/flat_tab_view.h"
#include "res/desktop_texts.h"
#include "sync/frame_notices.h"
#include "sync/status_panes.h"

#include <QApplication>
#include <QLabel>

using namespace talvex;

void CMainFrame::CreateKeyring()
{
    const DeploymentSettings& d = m_pSession->Deployment();
    m_pKeyring = std::make_unique<CKeyringStore>(d.webHost, d.webPort);
    // Once a run: the book keeps its passwords in its file as before.
    connect(m_pKeyring.get(), &CKeyringStore::unavailable, this, [this] {
        if (m_pStatus)
            m_pStatus->Pane(0)->setText(QString::fromUtf8(kTextKeyringUnavailable));
    });
}

void CMainFrame::ConnectNotices()
{
    m_pNotifier = std::make_unique<CDesktopNotifier>();
    m_pNotices = std::make_unique<CFrameNotices>(*m_pQueue, *m_pSession, *m_pNotifier);
    m_pNotices->SetInFront([this] { return IsInFront(); });
    connect(m_pNotices.get(), &CFrameNotices::pageRequested, this, [this](int page) {
        BringToFront();
        if (page >= 0)
            m_pTabView->SelectPage(page);
    });
}

void CMainFrame::ScheduledRunQueued()
{
    if (m_pNotices)
        m_pNotices->ScheduledRunQueued();
}

bool CMainFrame::IsInFront() const
{
    // The window or one of its dialogs has the focus, and the window is not minimised.
    if (!isVisible() || isMinimized())
        return false;
    for (const QWidget* w = QApplication::activeWindow(); w; w = w->parentWidget())
        if (w == this)
            return true;
    return false;
}
