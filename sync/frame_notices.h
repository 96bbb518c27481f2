#pragma once
// CFrameNotices: what the window tells the desktop while it is not in front. An upload that
// took at least MinUploadMs ends (the queue has nothing left to send or to wait for), a
// scheduled run's upload ends, or the connection is lost: one desktop notification with the
// counts "완료 N, 실패 M" (files of that upload; for a lost connection, of the session).
// Nothing is sent while the window is active and in front, or when "옵션" turns it off.
// Clicking the notification brings the window forward on the page it concerns.
//
// The queue is followed through its signals only: a batch begins when the queue stops being
// idle and ends when it is idle again while the session still uploads.

#include <QElapsedTimer>
#include <QObject>

#include <functional>

class CClientSession;
class CDesktopNotifier;
class CUploadQueue;
namespace talvex {
struct CUploadItem;
}

class CFrameNotices : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kDefaultMinUploadMs = 5000;

    CFrameNotices(CUploadQueue& queue, CClientSession& session, CDesktopNotifier& notifier, QObject* parent = nullptr);

    // A scheduled run's order went to the queue: the batch it joins ends as a scheduled run.
    void ScheduledRunQueued();
    // The upload that ends is told only when it took at least this long.
    void SetMinUploadMs(qint64 ms) { m_nMinUploadMs = ms; }
    // Whether the window is active and in front (then nothing is sent).
    void SetInFront(std::function<bool()> inFront) { m_inFront = std::move(inFront); }
    // Whether notifications are wanted; the "옵션" choice by default.
    void SetEnabled(std::function<bool()> enabled) { m_enabled = std::move(enabled); }

    bool IsBatchRunning() const { return m_bBatch; }

signals:
    // A notification was clicked: the window comes forward on this page (CFlatTabView::Page;
    // -1: the window only).
    void pageRequested(int page);

private:
    void Check();
    void CheckLater();
    void OnSettled(const talvex::CUploadItem& item);
    void OnFatal(unsigned messageId);
    bool Wanted() const;

    CUploadQueue& m_queue;
    CDesktopNotifier& m_notifier;
    std::function<bool()> m_inFront;
    std::function<bool()> m_enabled;
    qint64 m_nMinUploadMs = kDefaultMinUploadMs;
    bool m_bBatch = false;
    bool m_bScheduled = false;
    bool m_bCheckPosted = false;
    QElapsedTimer m_since;
    int m_nCompleted = 0;
    int m_nFailed = 0;
};
