#pragma once
// CSyncJob: a manual sync or a sync check on the server, from the request through the 5 s
// result polls to the dialog that shows the result. One job runs at a time; the progress dialog
// is open while it runs.

#include "sync/frame_dialogs.h"

#include <QObject>
#include <QTimer>

#include <memory>

class CClientSession;
class CJobProgress;
class QWidget;
namespace talvex {
struct CThreadCommand;
struct CTlxspResponse;
struct CSyncNoticeList;
} // namespace talvex

class CSyncJob : public QObject {
    Q_OBJECT
public:
    CSyncJob(CClientSession& session, CJobProgress& progress, const CFrameDialogs& dialogs, QWidget* dialogParent);

    void StartManualSync();
    void StartCheckAll();
    // A check of one item (the remote pane's command) or of the whole account (no path).
    void StartCheck(std::unique_ptr<talvex::CThreadCommand> command);

    bool IsBusy() const { return m_bBusy; }
    // The running (or last) job checks rather than syncs.
    bool IsCheck() const { return m_bCheck; }
    void SetCheck(bool check) { m_bCheck = check; }
    bool IsResultPollArmed() const { return m_resultTimer.isActive(); }
    // The armed result poll's interval in milliseconds; 0 when none is armed.
    int ResultPollIntervalMs() const { return m_resultTimer.isActive() ? m_resultTimer.interval() : 0; }
    // The session ended: a result that will never come is not waited for.
    void Reset();

    // The file the control session writes a job's result into.
    static QString ResultFile();

signals:
    void statusChanged(int kind);
    // A manual sync (not a check) ended with a result.
    void manualSyncFinished();

private:
    void OnStarted(int status);
    void OnResult(int status, const talvex::CSyncNoticeList* result);
    void OnRequestNotSent(const talvex::CTlxspResponse& response);
    void End();

    CClientSession& m_session;
    CJobProgress& m_progress;
    const CFrameDialogs& m_dialogs;
    QWidget* m_pDialogParent;
    QTimer m_resultTimer;
    bool m_bBusy = false;
    bool m_bCheck = false;
};
