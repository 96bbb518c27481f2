#include "sync/frame_desktop.h"

#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "app/keyring_store.h"
#include "res/desktop_texts.h"
#include "sync/desktop_progress.h"
#include "sync/frame_notices.h"
#include "sync/option_dlg.h"
#include "sync/upload_queue.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
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

    m_pProgress = std::make_unique<CDesktopProgress>(m_window, QDBusConnection::sessionBus());
    connect(m_pProgress.get(), &CDesktopProgress::quitRequested, &m_window, &QWidget::close);
    // The first change shows at once; while an upload runs the timer shows the latest once a
    // second (a settled file is no reason to look at the queue again).
    const auto show = [this, &queue] {
        const CUploadQueue::Totals& totals = queue.CurrentTotals();
        CDesktopProgress::State state;
        state.total = totals.count;
        state.completed = totals.completed;
        state.failed = totals.failed;
        state.uploading = queue.IsStarted() && !queue.IsIdle();
        state.bytesPerSecond = state.uploading ? queue.BytesPerSecond() : 0;
        m_pProgress->Show(state);
        if (!state.uploading)
            m_pProgressTimer->stop();
        else if (!m_pProgressTimer->isActive())
            m_pProgressTimer->start();
    };
    m_pProgressTimer = new QTimer(this);
    m_pProgressTimer->setInterval(1000);
    connect(m_pProgressTimer, &QTimer::timeout, this, show);
    connect(&queue, &CUploadQueue::totalsChanged, this, [this, show] {
        if (!m_pProgressTimer->isActive())
            show();
    });
}

bool CFrameDesktop::KeepsRunningInTray() const
{
    return m_pProgress && m_pProgress->Tray() && m_pProgress->Tray()->isVisible() && UploadOptions::Load().keepInTray;
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
