// The upload queue's side of the channels' reports: each report applied to its row and to the
// tracker, settled uploads told, and the totals the window shows.
#include "sync/upload_queue.h"

#include "app/client_session.h"
#include "app/prompt.h"
#include "platform/log.h"
#include "protocol/message_ids.h"
#include "protocol/upload_expander.h"
#include "protocol/upload_journal.h"
#include "res/string_table.h"

#include <algorithm>
#include <cstring>

using namespace talvex;

// ---- reports -------------------------------------------------------------------------------

void CUploadQueue::OnReport(Report& report)
{
    Channel* channel = FindChannel(report.message);
    if (!channel)
        return; // a channel already let go
    const uint32_t number = channel->number;
    const int row = report.request ? m_model.RowOf(report.request.get()) : RowOfCurrent(*channel);
    switch (report.code) {
    case UE_CONNECTED:
        channel->connected = true;
        m_nConnectFailures = 0;
        emit messageChanged({});
        Dispatch();
        return;
    case UE_CONNECT_FAILED: {
        // Replaced, not kept idle: the rows would wait for it for ever. Attempts back off.
        ++m_nConnectFailures;
        const int delay = ConnectRetryDelayMs(m_nConnectFailures);
        Log("upload channel %u could not connect (%d in a row)\n", number, m_nConnectFailures);
        if (m_nConnectFailures >= 2)
            emit messageChanged(Str(240));
        ReplaceChannel(number, delay);
        return;
    }
    case UE_PROGRESS:
        if (row >= 0 && report.progress)
            m_model.SetProgress(row, *report.progress);
        return;
    case UE_RESPONSE:
        m_tracker.Apply(report);
        if (channel->alone && !HoldsAlone(*channel)) {
            // The file sent alone is answered: the channel takes the next ones now.
            channel->alone.reset();
            Dispatch();
        }
        return;
    default:
        break;
    }

    // The transfer on this channel ended.
    if ((report.code == UE_RESET || report.code == UE_SEND_FAILED) && IsNetworkLoss(report.error)) {
        LostToNetwork(report, row);
        return;
    }
    if (report.code == UE_RESET && !report.request) {
        // Closed by the server (or by the channel after a cancel) with no body under way.
        LoseChannel(number, false);
        return;
    }
    const bool wasRunning = row >= 0 && m_model.At(row).state == CQueueModel::Running;
    const std::shared_ptr<CUploadRequest> request = row >= 0 ? m_model.At(row).request : nullptr;
    const int64_t sizeBefore = report.request ? report.request->size : 0;
    m_tracker.Apply(report);
    if (report.code == UE_DONE && report.request && report.request->size != sizeBefore) {
        // Sent as it was when its body started: the total size follows what went.
        m_totals.size = std::max<int64_t>(0, m_totals.size + report.request->size - std::max<int64_t>(0, sizeBefore));
        RefreshTotals();
    }
    const int at = request ? m_model.RowOf(request.get()) : -1; // a failure settled now has left
    if (wasRunning)
        --m_nRunning;
    Ungive(*channel, report.request.get());
    switch (report.code) {
    case UE_DONE:
        if (at >= 0) {
            emit fileSent(*request);
            m_model.Remove(at);
        }
        break;
    case UE_OPEN_FAILED:
        EndTransfer(request.get(), CQueueModel::ReadError, kTextQueueReadError);
        break;
    case UE_SEND_FAILED:
    case UE_RESET:
        // The connection is closed after a failed send: the channel is replaced. The file goes
        // again when the tracker sent it back to waiting (files sent before it were lost too).
        ShowWaitingAgain(m_tracker.TakeResends());
        EndTransfer(request.get(), CQueueModel::SendFailed, kTextQueueSendFailed);
        TakeBackGiven(*channel); // never begun: they go on another channel
        ReplaceChannel(number);
        break;
    case UE_CANCELLED:
        // Not a failure: the row goes, and the file leaves the total. The channel ends its
        // connection by itself once the answers it still waits for are in (UE_RESET).
        if (at >= 0)
            DropRow(at);
        channel->closing = true; // nothing more for it: its stream cannot go on
        RefreshTotals();
        break;
    default:
        return;
    }
    AfterTransfer();
}

void CUploadQueue::OnSettled(const CUploadItem& item)
{
    if (item.failure == UploadFailure::Cancelled)
        return; // counted by leaving the total, not as a failure (see DropRow)
    // A failure has one place, the fail page with its reason: its row leaves the queue as any
    // settled row does, so 전체 = 완료 + 실패 + what still waits, runs or awaits its answer or
    // notice, whatever the user deletes or cancels afterwards.
    if (item.state != UploadState::Confirmed && item.request)
        if (const int row = m_model.RowOf(item.request.get()); row >= 0)
            m_model.Remove(row);
    if (!item.IsFolder()) {
        if (item.state == UploadState::Confirmed)
            ++m_totals.completed;
        else
            ++m_totals.failed;
        RefreshTotals();
    }
    emit settled(item);
}

// ---- totals --------------------------------------------------------------------------------

void CUploadQueue::ResetTotals()
{
    m_totals = {};
    m_expander->TakeTotals();
    RefreshTotals();
}

void CUploadQueue::Forget(const CUploadRequest* request)
{
    const CUploadItem* item = m_tracker.Find(request);
    if (!item)
        return;
    if (!item->IsFolder()) {
        m_totals.count = std::max<int64_t>(0, m_totals.count - 1);
        m_totals.size = std::max<int64_t>(0, m_totals.size - std::max<int64_t>(0, request->size));
    }
    m_tracker.Forget(request);
    RefreshTotals();
}

void CUploadQueue::CountLateConfirmation()
{
    ++m_totals.completed;
    if (m_totals.failed > 0)
        --m_totals.failed;
    RefreshTotals();
}

void CUploadQueue::RefreshTotals() { emit totalsChanged(); }

int64_t CUploadQueue::BytesPerSecond() const
{
    int64_t sum = 0;
    for (const Channel& channel : m_channels) {
        const int row = m_model.RunningOn(channel.number);
        if (row >= 0 && m_model.At(row).progress)
            sum += m_model.At(row).progress->speed;
    }
    return sum;
}

QStringList CUploadQueue::TotalsTexts() const
{
    return {QString::fromStdString(FormatString(173, static_cast<int>(m_totals.count))),
            QString::fromStdString(FormatString(174, static_cast<int>(m_totals.completed))),
            QString::fromStdString(FormatString(193, static_cast<int>(m_totals.failed))), TotalSizeText(m_totals.size)};
}
