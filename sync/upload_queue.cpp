#include "sync/upload_queue.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "platform/log.h"
#include "protocol/message_ids.h"
#include "protocol/upload_expander.h"
#include "protocol/upload_journal.h"
#include "res/string_table.h"

#include <QElapsedTimer>
#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <limits>

using namespace talvex;

namespace {

constexpr int kDispatchMs = 1000;
constexpr int kFillMs = 1000;
// Rows on show that are not failed: at most this many (failed rows do not count, or a queue
// with that many failed rows would stop for ever).
constexpr int kVisibleRows = 101;
constexpr int kMaxRetryMs = 30000;
// The journaling of new requests takes at most this much of a turn of the window (Fill runs
// many times a turn while a batch of channel reports is handled), in pieces of kVisitPiece.
constexpr qint64 kVisitBudgetNs = 8'000'000;
constexpr size_t kVisitPiece = 256;

} // namespace

CUploadQueue::CUploadQueue(CClientSession& session, QObject* parent)
    : QObject(parent), m_session(session), m_tracker(false)
{
    m_factory = [this](uint32_t n) { return m_session.StartUploadChannel(n); };
    m_tracker.SetListener([this](const CUploadItem& item) { OnSettled(item); });
    m_expander = std::make_unique<CUploadExpander>([this] { ScheduleFill(); });
    m_dispatchTimer.setInterval(kDispatchMs);
    m_fillTimer.setInterval(kFillMs);
    m_retryTimer.setSingleShot(true);
    connect(&m_dispatchTimer, &QTimer::timeout, this, [this] {
        ExpireOverdue();
        Dispatch();
        if (m_journal)
            m_journal->Flush();
    });
    connect(&m_fillTimer, &QTimer::timeout, this, &CUploadQueue::Fill);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        m_nRetryDelayMs = 0;
        OpenChannel();
    });
    connect(&session, &CClientSession::uploadReport, this, &CUploadQueue::OnReport);
    // Every poll's answer, notices or none: the confirmation clocks run only while notices are
    // asked for (every 5 s at most; a longer pause does not count).
    connect(&session, &CClientSession::noticesArrived, this, [this](CSyncNoticeList& notices) {
        m_tracker.ApplyNotices(notices);
        m_tracker.NoticesAsked();
    });
}

CUploadQueue::~CUploadQueue()
{
    // The expansion thread first: it may be about to post a fill to this object.
    m_expander.reset();
    for (Channel& channel : m_channels)
        m_session.Retire(channel.worker);
    CloseJournal();
}

int CUploadQueue::ConnectRetryDelayMs(int failuresInARow)
{
    return std::min(kMaxRetryMs, 1000 << std::clamp(failuresInARow - 1, 0, 5));
}

void CUploadQueue::ScheduleFill()
{
    // Called on the expansion thread: only post.
    QMetaObject::invokeMethod(this, [this] { Fill(); }, Qt::QueuedConnection);
}

void CUploadQueue::Add(CUploadOrder order) { m_expander->Add(std::move(order)); }

void CUploadQueue::Start(int channels)
{
    if (!m_bSuspended) {
        m_tracker = CUploadTracker(m_session.IsSyncService(), [this](const CUploadItem& item) { OnSettled(item); });
        OpenJournal();
    }
    m_bSuspended = false;
    m_bStarted = true;
    m_nWanted = std::max(1, channels);
    m_nConnectFailures = 0;
    // Bounded: a channel that cannot be made (the session is already gone) must not spin here.
    for (int i = static_cast<int>(m_channels.size()); i < m_nWanted; ++i)
        OpenChannel();
    m_dispatchTimer.start();
    m_fillTimer.start();
    Fill();
}

void CUploadQueue::Suspend()
{
    m_bStarted = false;
    m_bSuspended = true;
    m_dispatchTimer.stop();
    m_fillTimer.stop();
    m_retryTimer.stop();
    m_nRetryDelayMs = 0;
    for (Channel& channel : m_channels)
        m_session.Retire(channel.worker);
    m_channels.clear();
    ShowWaitingAgain(m_tracker.ReturnUnanswered());
    m_nRunning = 0;
    if (m_journal)
        m_journal->Flush();
    emit messageChanged({});
}

void CUploadQueue::Stop()
{
    m_bStarted = false;
    m_bSuspended = false;
    // What is unfinished stays in the journal for the next login of this account.
    CloseJournal();
    m_dispatchTimer.stop();
    m_fillTimer.stop();
    m_retryTimer.stop();
    m_nRetryDelayMs = 0;
    m_expander->Cancel();
    RetireAllChannels();
    // What was still awaited will never be settled in this session: it is dropped, not failed.
    m_tracker = CUploadTracker(false, [this](const CUploadItem& item) { OnSettled(item); });
    m_model.Clear();
    m_nRunning = 0;
    emit messageChanged({});
    ResetTotals();
}

bool CUploadQueue::IsEmpty() const { return m_model.rowCount() == 0 && m_backlog.Empty() && m_expander->Idle(); }

bool CUploadQueue::IsIdle() const
{
    return m_model.ActiveRows() == 0 && m_backlog.Empty() && m_expander->Idle() && m_tracker.Unsettled() == 0;
}

size_t CUploadQueue::RequestsInMemory() const { return m_expander->Pending() + m_backlog.InMemory(); }

int CUploadQueue::ConnectedChannels() const
{
    return static_cast<int>(std::count_if(m_channels.begin(), m_channels.end(), [](const Channel& c) { return c.connected; }));
}

// ---- channels ------------------------------------------------------------------------------

CUploadQueue::Channel* CUploadQueue::FindChannel(uint32_t number)
{
    for (Channel& channel : m_channels)
        if (channel.number == number)
            return &channel;
    return nullptr;
}

void CUploadQueue::OpenChannel()
{
    if (!m_bStarted || static_cast<int>(m_channels.size()) >= m_nWanted)
        return;
    const uint32_t n = ++m_nChannelCounter;
    std::unique_ptr<Worker> worker = m_factory ? m_factory(n) : nullptr;
    if (!worker)
        return;
    Channel channel;
    channel.worker = std::move(worker);
    channel.number = kUploadMessageBase + n;
    m_channels.push_back(std::move(channel));
}

void CUploadQueue::ReplaceChannel(uint32_t number, int delayMs)
{
    auto it = std::find_if(m_channels.begin(), m_channels.end(), [number](const Channel& c) { return c.number == number; });
    if (it == m_channels.end())
        return;
    // Answers still to come on that connection never will: what it sent whole goes again.
    m_tracker.ChannelLost(number);
    m_session.Retire(it->worker);
    m_channels.erase(it);
    ShowWaitingAgain(m_tracker.TakeResends());
    if (delayMs <= 0) {
        OpenChannel();
    } else if (!m_retryTimer.isActive()) {
        m_nRetryDelayMs = delayMs;
        m_retryTimer.start(delayMs);
    }
}

void CUploadQueue::RetireAllChannels()
{
    for (Channel& channel : m_channels) {
        m_tracker.ChannelLost(channel.number);
        m_session.Retire(channel.worker);
    }
    m_channels.clear();
}

// ---- rows ----------------------------------------------------------------------------------

void CUploadQueue::Fill()
{
    const CUploadExpander::Totals made = m_expander->TakeTotals();
    if (made.count != 0) {
        m_totals.count += made.count;
        m_totals.size += made.size;
        RefreshTotals();
    }
    // Every file is in the journal as soon as it is made, not only once its row is on show:
    // a few milliseconds' worth a turn of the window (the walk waits if it gets too far ahead).
    const auto visit = [this](CUploadRequest& request) {
        if (m_journal)
            m_journal->Queued(request);
    };
    size_t unvisited = m_expander->VisitNew(visit, 0);
    if (unvisited > 0 && m_nVisitSpentNs < kVisitBudgetNs) {
        QElapsedTimer clock;
        clock.start();
        do
            unvisited = m_expander->VisitNew(visit, kVisitPiece);
        while (unvisited > 0 && m_nVisitSpentNs + clock.nsecsElapsed() < kVisitBudgetNs);
        m_nVisitSpentNs += clock.nsecsElapsed();
        if (!m_bVisitTurnPending) { // the share starts again at the next turn
            m_bVisitTurnPending = true;
            QTimer::singleShot(0, this, [this] {
                m_nVisitSpentNs = 0;
                m_bVisitTurnPending = false;
            });
        }
    }
    const int room = kVisibleRows - m_model.ActiveRows();
    std::vector<std::shared_ptr<CUploadRequest>> requests;
    if (room > 0)
        requests = TakeWaiting(static_cast<size_t>(room));
    // What the list does not need yet waits in the journal: the expansion holds a few thousand
    // requests at most, however large the folder.
    if (m_journal && m_journal->Healthy() && m_expander->Pending() >= CUploadExpander::kSignalEvery)
        m_backlog.Keep(m_expander->TakeVisited());
    if (unvisited > 0)
        ScheduleFill();
    if (!requests.empty()) {
        if (m_journal)
            for (const auto& request : requests)
                m_tracker.Add(request); // journaled as queued
        m_model.Append(requests);
        Dispatch();
    }
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadQueue::TakeWaiting(size_t max)
{
    std::vector<std::shared_ptr<CUploadRequest>> out = m_backlog.Take(max);
    DropLost();
    if (m_backlog.Empty() && out.size() < max) {
        std::vector<std::shared_ptr<CUploadRequest>> more = m_expander->Take(max - out.size());
        out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return out;
}

void CUploadQueue::DropLost()
{
    const CUploadBacklog::Totals lost = m_backlog.TakeLost();
    if (lost.files == 0 && lost.size == 0)
        return;
    m_totals.count = std::max<int64_t>(0, m_totals.count - lost.files);
    m_totals.size = std::max<int64_t>(0, m_totals.size - lost.size);
    RefreshTotals();
}

void CUploadQueue::Dispatch()
{
    if (!m_bStarted)
        return;
    bool full = false; // a row found no channel with room: the rows behind it wait their turn
    for (int row = 0; row < m_model.rowCount(); ++row) {
        if (m_model.At(row).state != CQueueModel::Waiting)
            continue;
        const std::shared_ptr<CUploadRequest> request = m_model.At(row).request;
        if (request->readError != 0) {
            // An entry the expansion could not read: nothing to send, a failure with its reason
            // (its row leaves for the fail page: the next row is at this index now).
            m_tracker.FailUnread(request);
            EndTransfer(request.get(), CQueueModel::ReadError, kTextQueueReadError);
            if (row >= m_model.rowCount() || m_model.At(row).request != request)
                --row;
            continue;
        }
        // A channel takes several small files at a time, a large one alone: a row shows sending
        // only shortly before its bytes go.
        const int64_t size = std::max<int64_t>(0, request->size);
        // A file the server lost once goes alone on a new channel, as the command line sends
        // it: a server that closes after an answer (the last one on a used channel) cannot
        // take it twice. An idle used channel is made anew for it.
        const CUploadItem* tracked = m_tracker.Find(request.get());
        const bool alone = tracked && tracked->resends > 0;
        auto idle = std::find_if(m_channels.begin(), m_channels.end(), [&](const Channel& c) {
            if (!c.connected || c.closing || HoldsAlone(c))
                return false;
            if (alone)
                return c.given.empty() && m_tracker.SentOn(c.number) == 0 && !c.used;
            if (c.given.empty())
                return true;
            int64_t bytes = size;
            for (const auto& given : c.given)
                bytes += std::max<int64_t>(0, given->size);
            return c.given.size() < kGivenPerChannel && bytes <= kGivenBytes;
        });
        if (!full && idle == m_channels.end() && alone) {
            const auto used = std::find_if(m_channels.begin(), m_channels.end(), [&](const Channel& c) {
                return c.connected && !c.closing && !HoldsAlone(c) && c.given.empty() && m_tracker.SentOn(c.number) == 0;
            });
            if (used != m_channels.end()) {
                ReplaceChannel(used->number, 0); // the new one takes it once connected
                full = true;
                continue;
            }
        }
        if (full || idle == m_channels.end()) {
            full = true;
            continue; // the rows behind it may be unreadable ones, which fail without a channel
        }
        // One upload of a remote path in flight at a time: notices cannot tell two apart.
        if (m_tracker.PathBusy(request->remotePath))
            continue;
        idle->given.push_back(request);
        idle->used = true;
        idle->alone = alone ? request : nullptr;
        m_model.SetRunning(row, idle->number);
        m_tracker.Sending(request, idle->number);
        idle->worker->PostUpload(request);
        ++m_nRunning;
        emit statusChanged(1);
    }
}

void CUploadQueue::EndTransfer(const CUploadRequest* request, CQueueModel::State state, const char* text)
{
    // A failure the bookkeeping settled has left the queue already (OnSettled): only a row it
    // did not follow is marked here.
    const int row = request ? m_model.RowOf(request) : -1;
    if (row >= 0 && m_model.At(row).state != CQueueModel::Waiting)
        m_model.SetEnded(row, state, QString::fromUtf8(text));
}

void CUploadQueue::AfterTransfer()
{
    emit statusChanged(m_session.IsSyncService() ? 3 : 0);
    Fill(); // a row left: take the next one in now, not at the next tick
    Dispatch();
}

void CUploadQueue::DeleteRows(std::vector<int> rows)
{
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    bool removed = false;
    for (int row : rows) {
        if (row < 0 || row >= m_model.rowCount() || m_model.At(row).state == CQueueModel::Running)
            continue;
        const int64_t size = m_model.At(row).request->size;
        if (size >= 0) {
            if (m_totals.size > 0)
                m_totals.size = std::max<int64_t>(0, m_totals.size - size);
            m_totals.count = std::max<int64_t>(0, m_totals.count - 1);
        }
        m_tracker.Forget(m_model.At(row).request.get()); // a waiting row leaves the journal too
        m_model.Remove(row);
        removed = true;
    }
    if (!removed)
        return;
    RefreshTotals();
    Fill();
}

void CUploadQueue::CancelAll()
{
    // Bring the totals up to date, then take out what will never be sent.
    Fill();
    const CUploadExpander::Totals dropped = m_expander->Cancel([this](const CUploadRequest& request) {
        if (m_journal && request.journalId != 0)
            m_journal->Forget(request.journalId); // cancelled before it came on show
    });
    const CUploadBacklog::Totals kept = m_backlog.Clear(true); // their entries leave the journal
    m_totals.count = std::max<int64_t>(0, m_totals.count - dropped.count - kept.files);
    m_totals.size = std::max<int64_t>(0, m_totals.size - dropped.size - kept.size);
    for (int row = m_model.rowCount() - 1; row >= 0; --row)
        if (m_model.At(row).state != CQueueModel::Running)
            DropRow(row);
    RefreshTotals();
    // The running transfers stop; each channel reports its file cancelled (or sent, when every
    // byte had gone), and a channel whose body was cut short still reads the answers to the
    // files it sent whole before it ends its connection (UE_RESET: it is replaced then).
    for (Channel& channel : m_channels)
        if (!channel.given.empty())
            channel.worker->Cancel();
}

void CUploadQueue::DropRow(int row)
{
    const CQueueModel::Item& item = m_model.At(row);
    if (item.state == CQueueModel::Waiting || item.state == CQueueModel::Running) {
        // Not counted completed or failed: it leaves the total instead.
        const int64_t size = item.request->size;
        if (size >= 0) {
            m_totals.count = std::max<int64_t>(0, m_totals.count - 1);
            m_totals.size = std::max<int64_t>(0, m_totals.size - size);
        }
        if (item.state == CQueueModel::Waiting)
            m_tracker.Forget(item.request.get()); // and the journal: cancelled
    }
    m_model.Remove(row);
}

void CUploadQueue::Ungive(Channel& channel, const CUploadRequest* request)
{
    if (channel.given.empty())
        return;
    if (!request) {
        channel.given.pop_front(); // the one it was on
        return;
    }
    const auto it = std::find_if(channel.given.begin(), channel.given.end(),
                                 [request](const auto& given) { return given.get() == request; });
    if (it != channel.given.end())
        channel.given.erase(it);
}

int CUploadQueue::RowOfCurrent(const Channel& channel) const
{
    return channel.given.empty() ? -1 : m_model.RowOf(channel.given.front().get());
}

void CUploadQueue::TakeBackGiven(Channel& channel)
{
    for (const auto& request : channel.given) {
        m_tracker.Unsend(request);
        const int row = m_model.RowOf(request.get());
        if (row >= 0 && m_model.At(row).state == CQueueModel::Running) {
            m_model.SetEnded(row, CQueueModel::Waiting, QString::fromUtf8(kTextQueueWaiting));
            --m_nRunning;
        }
    }
    channel.given.clear();
}

bool CUploadQueue::HoldsAlone(const Channel& channel) const
{
    if (!channel.alone)
        return false;
    const CUploadItem* item = m_tracker.Find(channel.alone.get());
    return item && item->channel == channel.number
           && (item->state == UploadState::Sending || item->state == UploadState::Sent);
}

void CUploadQueue::ShowWaitingAgain(const std::vector<std::shared_ptr<CUploadRequest>>& requests)
{
    std::vector<std::shared_ptr<CUploadRequest>> offShow;
    for (const auto& request : requests) {
        const int at = m_model.RowOf(request.get());
        if (at >= 0)
            m_model.SetEnded(at, CQueueModel::Waiting, QString::fromUtf8(kTextQueueWaiting));
        else
            offShow.push_back(request); // sent whole: its row had left the queue
    }
    if (!offShow.empty())
        m_model.Append(offShow);
}

void CUploadQueue::LoseChannel(uint32_t number, bool stalled)
{
    Channel* channel = FindChannel(number);
    const int running = channel && stalled ? RowOfCurrent(*channel) : -1;
    if (running >= 0)
        channel->given.pop_front(); // the one it stalled on is given up below
    // Closed by the server without naming a body: it began none of what it was given, which
    // waits again for another channel.
    if (channel)
        TakeBackGiven(*channel);
    if (running >= 0 && m_model.At(running).state == CQueueModel::Running) {
        const std::shared_ptr<CUploadRequest> request = m_model.At(running).request;
        --m_nRunning;
        m_tracker.GiveUp(request, UploadFailure::SendFailed);
        EndTransfer(request.get(), CQueueModel::SendFailed, kTextQueueSendFailed);
    }
    ReplaceChannel(number); // what waited for an answer on it goes again, or fails there
    AfterTransfer();
}

void CUploadQueue::LostToNetwork(Report& report, int row)
{
    const uint32_t number = report.message;
    Log("upload channel %u lost to the network (%s)\n", number, std::strerror(report.error));
    // No verdict of the server: the body it cut, and the files sent whole on it, wait to be sent
    // again (their rows back to waiting, those that had left the list shown again).
    const bool wasRunning = row >= 0 && m_model.At(row).state == CQueueModel::Running;
    if (wasRunning && !report.request)
        m_tracker.Requeue(m_model.At(row).request);
    m_tracker.Apply(report);
    if (wasRunning)
        --m_nRunning;
    if (Channel* channel = FindChannel(number)) {
        // What it was given behind the file it was on was never begun: it waits again too.
        Ungive(*channel, report.request ? report.request.get() : nullptr);
        TakeBackGiven(*channel);
    }
    ShowWaitingAgain(m_tracker.TakeResends());
    if (m_journal)
        m_journal->Flush();
    // The path to the server is gone: the session is lost at once, not when its own connections
    // notice (the lost connection's message, or a reconnect that goes on from here). The
    // channel's place is taken again later, should the session stay.
    ReplaceChannel(number, 1000);
    QTimer::singleShot(0, &m_session, [session = &m_session] { session->NetworkLost(); });
}

void CUploadQueue::ExpireOverdue()
{
    for (uint32_t number : m_tracker.Expire(m_deadlines)) {
        Log("upload channel %u: no answer in time, replaced\n", number);
        LoseChannel(number, true);
    }
}
