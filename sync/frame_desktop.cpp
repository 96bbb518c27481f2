#include "sync/frame_desktop.h"

#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "app/keyring_store.h"
#include "res/desktop_texts.h"
#include "sync/frame_notices.h"

#include <QApplication>
#include <QWidget>

CFrameDesktop::CFrameDesktop(QWidget& window, CClientSession& session, std::function<void(const QString&)> statusLine)
    : QObject(&window), m_window(window), m_session(session)
{
    const DeploymentSettings& d = session.Deployment();
    m_pKeyring = std::make_unique<CKeyringStore>(d.webHost, d.webPort);
    // Once a run: the book keeps its passwords in its file as before.
    connect(m_pKeyring.get(), &CKeyringStore::unavailable, this,
            [statusLine = std::move(statusLine)] { statusLine(QString::fromUtf8(talvex::kTextKeyringUnavailable)); });
}

CFrameDesktop::~CFrameDesktop() = default;

void CFrameDesktop::StartNotices(CUploadQueue& queue)
{
    m_pNotifier = std::make_unique<CDesktopNotifier>();
    m_pNotices = std::make_unique<CFrameNotices>(queue, m_session, *m_pNotifier);
    m_pNotices->SetInFront([this] { return IsInFront(); });
    connect(m_pNotices.get(), &CFrameNotices::pageRequested, this, &CFrameDesktop::pageRequested);
}

bool CFrameDesktop::IsInFront() const
{
    if (!m_window.isVisible() || m_window.isMinimized())
        return false;
    for (const QWidget* w = QApplication::activeWindow(); w; w = w->parentWidget())
        if (w == &m_window)
            return true;
    return false;
}
