#include "sync/frame_notices.h"

#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "panes/flat_tab_view.h"
#include "res/desktop_texts.h"
#include "sync/option_dlg.h"
#include "sync/upload_queue.h"

#include <QAbstractItemModel>
#include <QTimer>

using namespace talvex;

namespace {

QString T(const char* text) { return QString::fromUtf8(text); }

QString Counts(int64_t completed, int64_t failed)
{
    return T(kTextNotifyCounts).arg(completed).arg(failed);
}

// Tags of the notifications: the page each one brings forward.
constexpr int kTagConnection = -1;

} // namespace

CFrameNotices::CFrameNotices(CUploadQueue& queue, CClientSession& session, CDesktopNotifier& notifier, QObject* parent)
    : QObject(parent), m_queue(queue), m_notifier(notifier)
{
    m_enabled = [] { return UploadOptions::Load().notify; };
    connect(&queue, &CUploadQueue::totalsChanged, this, &CFrameNotices::CheckLater);
    connect(&queue, &CUploadQueue::settled, this, &CFrameNotices::OnSettled);
    connect(&queue.Model(), &QAbstractItemModel::rowsInserted, this, &CFrameNotices::CheckLater);
    connect(&queue.Model(), &QAbstractItemModel::rowsRemoved, this, &CFrameNotices::CheckLater);
    connect(&queue.Model(), &QAbstractItemModel::modelReset, this, &CFrameNotices::CheckLater);
    // Connected before the window's own handler, which shows a message box and closes.
    connect(&session, &CClientSession::fatal, this, [this](unsigned messageId, int) { OnFatal(messageId); });
    // With reconnect on, a lost connection does not end the program, but it is told all the same.
    connect(&session, &CClientSession::connectionLost, this, [this] { OnFatal(329); });
    connect(&notifier, &CDesktopNotifier::activated, this, [this](int tag) { emit pageRequested(tag); });
}

bool CFrameNotices::Wanted() const
{
    if (m_enabled && !m_enabled())
        return false;
    return !(m_inFront && m_inFront());
}

void CFrameNotices::ScheduledRunQueued()
{
    m_bScheduled = true;
    CheckLater();
}

void CFrameNotices::OnSettled(const CUploadItem& item)
{
    // Counted as the queue's totals count them: files only, a cancel is no failure.
    if (m_bBatch && !item.IsFolder() && item.failure != UploadFailure::Cancelled)
        ++(item.state == UploadState::Confirmed ? m_nCompleted : m_nFailed);
    CheckLater();
}

void CFrameNotices::CheckLater()
{
    // The queue is looked at once its own handling of the change is over.
    if (m_bCheckPosted)
        return;
    m_bCheckPosted = true;
    QTimer::singleShot(0, this, [this] {
        m_bCheckPosted = false;
        Check();
    });
}

void CFrameNotices::Check()
{
    const bool idle = m_queue.IsIdle();
    if (!m_bBatch) {
        if (idle || !m_queue.IsStarted()) {
            m_bScheduled = false; // a run that queued nothing is no batch
            return;
        }
        m_bBatch = true;
        m_nCompleted = m_nFailed = 0;
        m_since.start();
        return;
    }
    if (!m_queue.IsStarted()) {
        // Disconnected or closed: the upload did not end, it was stopped.
        m_bBatch = m_bScheduled = false;
        return;
    }
    if (!idle)
        return;
    const bool scheduled = m_bScheduled;
    const qint64 took = m_since.elapsed();
    m_bBatch = m_bScheduled = false;
    if (m_nCompleted + m_nFailed == 0 || (!scheduled && took < m_nMinUploadMs) || !Wanted())
        return;
    const int page = scheduled ? CFlatTabView::SchedulePage
                     : m_nFailed  ? CFlatTabView::FailPage
                                  : CFlatTabView::CompletePage;
    m_notifier.Notify(T(scheduled ? kTextNotifyScheduleDone : kTextNotifyUploadDone), Counts(m_nCompleted, m_nFailed),
                      page);
}

void CFrameNotices::OnFatal(unsigned messageId)
{
    if (messageId != 329) // the connection was lost (other ends are refusals at connect)
        return;
    if (!Wanted())
        return;
    const CUploadQueue::Totals& totals = m_queue.CurrentTotals();
    m_notifier.Notify(T(kTextNotifyConnectionLost), Counts(totals.completed, totals.failed), kTagConnection, true);
}
