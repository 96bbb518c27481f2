#pragma once
// CUploadQueue: the window's upload queue. Orders are expanded on the expansion thread; at
// most 101 rows that are not failed are on show (the rest waits, taken in once a second and
// whenever a row leaves); waiting rows are handed to idle upload channels once a second and
// after each finished transfer. Channel reports are matched to the row by the request they
// carry (progress: by the channel running it); the PUTFILE__ answers and the notices go to the
// shared upload bookkeeping (CUploadTracker), which settles each file. A channel that cannot
// connect or that died is replaced, with a growing delay while connecting keeps failing.
//
// The four totals of the status bar are kept here: files queued and their size, completed
// and failed files. A failed file leaves the queue for the fail page; at every moment
// 전체 = 완료 + 실패 + the files still waiting, running or awaiting their answer or notice.

#include "protocol/upload_backlog.h"
#include "protocol/upload_request.h"
#include "protocol/upload_tracker.h"
#include "protocol/worker.h"
#include "sync/queue_model.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class CClientSession;
namespace talvex {
class CUploadExpander;
class CUploadJournal;
}

class CUploadQueue : public QObject {
    Q_OBJECT
public:
    // Starts an upload channel reporting with message number kUploadMessageBase + n; the
    // session's by default (tests point channels elsewhere).
    using ChannelFactory = std::function<std::unique_ptr<talvex::Worker>(uint32_t n)>;

    explicit CUploadQueue(CClientSession& session, QObject* parent = nullptr);
    ~CUploadQueue() override;

    CQueueModel& Model() { return m_model; }
    void SetChannelFactory(ChannelFactory factory) { m_factory = std::move(factory); }

    // An order from a pane, the schedule or a resend.
    void Add(talvex::CUploadOrder order);
    // After LOGIN: opens `channels` upload channels and starts dispatching.
    void Start(int channels);
    // Disconnect or close: nothing waits, every channel is told to quit, the totals are reset.
    // The journal keeps what was unfinished for the next login of the account.
    void Stop();
    // After Start: what the account's upload journal holds from an earlier session (a lost
    // connection, a crash, a kill, quitting mid-upload). ask(n) is asked once when n uploads
    // are unfinished: yes queues them again as they were (answered ones wait for their notices
    // again; files gone or changed since fail with their reason), no forgets them. Failed
    // entries come back on the fail page (restoredFailure) either way. Returns the number
    // queued again.
    int ResumeFromJournal(const std::function<bool(int unfinished)>& ask);
    bool HasJournal() const { return m_journal != nullptr; }
    // A failure of this file and remote path left the fail page: it leaves the journal.
    void ForgetFailure(const QString& localPath, const QString& remotePath);
    // The connection was lost and the session is being made again: the channels go, files being
    // sent or sent and not answered wait to be sent again, answered ones keep waiting for their
    // notices; rows and totals stay. The next Start goes on from there.
    void Suspend();
    bool IsSuspended() const { return m_bSuspended; }
    // "전송취소": every transfer is cancelled and the whole queue emptied. Cancelled files are no
    // failures and leave the totals; files sent whole before the cancel still get their answers.
    void CancelAll();
    // How long answers and confirming notices are awaited (UploadDeadlines).
    void SetDeadlines(talvex::UploadDeadlines deadlines) { m_deadlines = deadlines; }
    const talvex::UploadDeadlines& Deadlines() const { return m_deadlines; }
    // Settles what waited past its deadline; a channel that left its answers unsaid is replaced.
    void ExpireOverdue();
    // "삭제": the given rows, except running ones.
    void DeleteRows(std::vector<int> rows);
    void ResetTotals();
    // A sent file's row was deleted from the progress page: it is no longer followed, and it
    // leaves the total (its later answer or notice counts, moves and tells nothing).
    void Forget(const talvex::CUploadRequest* request);
    // A file counted failed was confirmed after all: one more completed, one fewer failed.
    void CountLateConfirmation();

    // Nothing queued: no row, nothing waiting to be shown or expanded.
    bool IsEmpty() const;
    // Nothing waits or runs, and no file awaits its answer or notice. A scheduled run may go
    // then.
    bool IsIdle() const;
    // Started after a login and until the session ends: only then are orders taken.
    bool IsStarted() const { return m_bStarted; }
    int RunningTransfers() const { return m_nRunning; }
    // Answered and waiting for their confirming notices (sync-service accounts).
    size_t AwaitingNotices() const { return m_tracker.AwaitingNotices(); }
    int ChannelCount() const { return static_cast<int>(m_channels.size()); }
    int ConnectedChannels() const;
    bool IsDispatching() const { return m_dispatchTimer.isActive(); }
    int DispatchIntervalMs() const { return m_dispatchTimer.interval(); }
    int FillIntervalMs() const { return m_fillTimer.interval(); }
    // The delay before the next attempt at a channel that would not connect (0: none pending).
    int RetryDelayMs() const { return m_nRetryDelayMs; }
    // The wait before a new channel after this many failed connects in a row: 1 s, doubling,
    // at most 30 s.
    static int ConnectRetryDelayMs(int failuresInARow);

    struct Totals {
        int64_t count = 0, size = 0, completed = 0, failed = 0;
    };
    const Totals& CurrentTotals() const { return m_totals; }
    // The speed of the transfers under way together (their latest reports), bytes a second.
    int64_t BytesPerSecond() const;
    // The four status bar texts, in pane order: total, completed, failed, size.
    QStringList TotalsTexts() const;

    // Takes waiting requests into the list (the fill step); what the list does not need yet
    // waits in the journal, not in memory.
    void Fill();
    // Requests held in memory while they wait to come on show (the expansion's and the backlog's).
    size_t RequestsInMemory() const;
    // Hands waiting rows to idle connected channels.
    void Dispatch();

signals:
    void totalsChanged();
    // The frame's status: kinds as CMainFrame::SetStatus.
    void statusChanged(int kind);
    // A text for the message pane of the status bar (empty: clear it).
    void messageChanged(const QString& text);
    // A file was sent completely (all its bytes); remotePath without a leading "/".
    void fileSent(const talvex::CUploadRequest& request);
    // A request is settled: confirmed or failed, with its reason.
    void settled(const talvex::CUploadItem& item);
    // A failure kept in the journal from an earlier session, for the fail page.
    void restoredFailure(const talvex::CUploadItem& item);
    // The journal cannot be written (from the start, or from now on): the text says so and why.
    void journalProblem(const QString& text);

private:
    struct Channel {
        std::unique_ptr<talvex::Worker> worker;
        uint32_t number = 0;
        // Requests given to it that it has not reported ended, in the order given: the first is
        // the one it is on. A channel is given several, so that it goes from one file to the
        // next without waiting for the window.
        std::deque<std::shared_ptr<talvex::CUploadRequest>> given;
        // A file sent again after the server lost it: nothing else is given to the channel while
        // it is being sent or awaits its answer.
        std::shared_ptr<talvex::CUploadRequest> alone;
        bool closing = false; // cancelled: it ends its connection, nothing more is given to it
        bool connected = false;
        bool used = false; // something was given to it (a file sent again needs a fresh one)
    };
    // The requests a channel holds at most, and their bytes together (a larger file is given
    // to a channel that holds nothing else).
    static constexpr size_t kGivenPerChannel = 8;
    static constexpr int64_t kGivenBytes = 1 << 20;
    bool HoldsAlone(const Channel& channel) const;
    // Requests waiting again (after a lost channel or connection): their rows show waiting,
    // those whose rows had left the list come on show again.
    void ShowWaitingAgain(const std::vector<std::shared_ptr<talvex::CUploadRequest>>& requests);
    // The row of the request a channel is on; -1 when it has none.
    int RowOfCurrent(const Channel& channel) const;
    // The channel ended after the request it was on: what it was given behind that one waits
    // again, in its rows, for another channel.
    void TakeBackGiven(Channel& channel);
    // A request the channel reported ended leaves what it was given (nullptr: the one it was on).
    void Ungive(Channel& channel, const talvex::CUploadRequest* request);
    void OnReport(talvex::Report& report);
    void OnSettled(const talvex::CUploadItem& item);
    Channel* FindChannel(uint32_t number);
    void OpenChannel();
    // The channel is retired and another one opened in its place (after delayMs).
    void ReplaceChannel(uint32_t number, int delayMs = 0);
    void RetireAllChannels();
    void EndTransfer(const talvex::CUploadRequest* request, CQueueModel::State state, const char* text);
    // The channel's connection is gone: its answers never come; what it was given waits again.
    // stalled: it went silent on the file it was sending (the answer deadline), which fails.
    void LoseChannel(uint32_t number, bool stalled);
    // The channel timed out or could not reach the server (IsNetworkLoss of the report's
    // error): its files wait again, and the session counts as lost (CClientSession::NetworkLost).
    void LostToNetwork(talvex::Report& report, int row);
    // A row and its file leave the queue and the total (a cancel, not a failure).
    void DropRow(int row);
    void AfterTransfer();
    void RefreshTotals();
    // The account's journal (folder: TALVEX_JOURNAL_DIR, else the working folder; none with
    // TALVEX_JOURNAL=off); the tracker tells it every change.
    void OpenJournal();
    void CloseJournal();
    void ScheduleFill();
    // Up to max requests to put on show, in the queue's order.
    std::vector<std::shared_ptr<talvex::CUploadRequest>> TakeWaiting(size_t max);
    // The files the backlog could not read back leave the total.
    void DropLost();

    CClientSession& m_session;
    ChannelFactory m_factory;
    qint64 m_nVisitSpentNs = 0;        // this turn's journaling of new requests (Fill)
    bool m_bVisitTurnPending = false;
    CQueueModel m_model;
    talvex::CUploadTracker m_tracker;
    std::unique_ptr<talvex::CUploadExpander> m_expander;
    std::unique_ptr<talvex::CUploadJournal> m_journal;
    // Made, journaled and not on show yet: before whatever the expansion holds.
    talvex::CUploadBacklog m_backlog;
    std::vector<Channel> m_channels;
    uint32_t m_nChannelCounter = 0;
    int m_nWanted = 0;          // channels this session should have
    int m_nRunning = 0;
    int m_nConnectFailures = 0; // in a row
    int m_nRetryDelayMs = 0;
    bool m_bStarted = false;
    bool m_bSuspended = false;
    bool m_bFillScheduled = false;
    Totals m_totals;
    // An answer within a minute of the channel's last sign; a notice within five minutes of the
    // answer (a second client of the account may have taken it).
    talvex::UploadDeadlines m_deadlines{60000, 300000};
    QTimer m_dispatchTimer;
    QTimer m_fillTimer;
    QTimer m_retryTimer;
};
