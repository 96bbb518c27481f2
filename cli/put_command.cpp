// talvex-cli put: sending, answers and notices, --retries; the command itself.
#include "cli/put_uploader.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "platform/move_after_upload.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

namespace talvex::cli {

void Uploader::Summary(int code) const
{
    m_report.Summary(m_tracker.Confirmed() + m_resumedMoved, m_tracker.Failed() + m_missing + m_loadedFailed,
                     m_bytesUploaded, code);
}

int Uploader::Run()
{
    const auto t0 = Clock::now();
    if (int rc = OpenJournal(); rc != kExitOk)
        return rc;
    if (m_options.resume) {
        if (int rc = Resume(); rc != kExitOk)
            return rc;
    } else if (int rc = Expand(); rc != kExitOk) {
        return rc;
    }
    if (m_journal)
        m_journal->Flush(); // every file of the run is in the journal before the first is sent

    const auto t1 = Clock::now();
    int rc = Pump();
    while (rc == kExitConnection && m_retriesLeft > 0) {
        rc = Reconnect();
        if (rc == kExitOk)
            rc = Pump();
    }
    // Failures were told as they came; the journal keeps only what is unfinished.
    if (m_journal) {
        m_journal->Forget(m_failedIds);
        m_failedIds.clear();
    }
    if (rc != kExitOk)
        return rc;
    const auto t4 = Clock::now();
    const uint64_t failed = m_tracker.Failed() + m_missing + m_loadedFailed;
    if (!JsonOutput())
        std::cout << "uploaded " << m_tracker.Confirmed() + m_resumedMoved << ", failed " << failed << '\n';
    if (m_options.stats) {
        auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
        const double total = ms(t4 - t0);
        std::fprintf(stderr,
                     "stats: %zu requests; expansion %.1f ms, sending and answers %.1f ms; %.0f requests/s\n",
                     static_cast<size_t>(m_requestCount), ms(t1 - t0), ms(t4 - t1),
                     total > 0 ? static_cast<double>(m_requestCount) * 1000.0 / total : 0.0);
    }
    if (m_unanswered)
        return kExitConnection; // an answer never came: the connection is what failed
    if (m_notReadBack)
        return kExitJournal;
    return failed || m_notMoved ? kExitRefused : kExitOk;
}

int Uploader::Pump()
{
    for (;;) {
        for (auto& r : m_tracker.TakeResends())
            m_resend.push_back(std::move(r));
        if (!m_resend.empty() && !m_given.empty()) {
            // Files sent once more go alone on a channel of their own: the ones given first.
            if (int rc = AwaitGiven(0); rc != kExitOk)
                return rc;
            continue;
        }
        if (!m_resend.empty()) {
            // Sent once more, one at a time, each on a channel of its own: a server that closes
            // after each answer keeps each of them, and one that was closing as the last
            // answer came cannot take the next with it.
            const auto request = m_resend.front();
            const CUploadItem* item = m_tracker.Find(request.get());
            if (!item || item->state != UploadState::Waiting) {
                m_resend.pop_front();
                continue;
            }
            if (int rc = m_session.ReopenUploadChannel(); rc != kExitOk)
                return rc;
            m_resend.pop_front();
            if (int rc = Send(request); rc != kExitOk)
                return rc;
            if (int rc = AwaitAnswers(); rc != kExitOk)
                return rc;
            continue;
        }
        if (!m_pending.empty() || Refill()) {
            // Files already answered wait for their notices while the rest is sent: they
            // are asked for at the poll interval, so that their clocks run only then.
            if (NoticePollDue()) {
                // A poll may replace a silent channel: nothing is given to it then.
                if (int rc = AwaitGiven(0); rc != kExitOk)
                    return rc;
                if (int rc = PollNotices(false); rc != kExitOk)
                    return rc;
            }
            if (m_given.size() >= kGivenAhead)
                if (int rc = AwaitGiven(kGivenAhead - 1); rc != kExitOk)
                    return rc;
            if (m_pending.empty())
                continue; // taken back after a loss, or handed on meanwhile
            const auto request = std::move(m_pending.front());
            m_pending.pop_front();
            const CUploadItem* item = m_tracker.Find(request.get());
            if (!item || item->state != UploadState::Waiting)
                continue;
            if (int rc = Give(request); rc != kExitOk)
                return rc;
            continue;
        }
        if (!m_given.empty()) {
            if (int rc = AwaitGiven(0); rc != kExitOk)
                return rc;
            continue;
        }
        if (m_tracker.AwaitingAnswers() > 0) {
            if (int rc = AwaitOneReport(); rc != kExitOk)
                return rc;
            continue;
        }
        break;
    }
    if (m_confirmByNotice)
        return AwaitNotices();
    return kExitOk;
}

int Uploader::Reconnect()
{
    m_tracker.RequeueInFlight();
    FlushJournal();
    while (m_retriesLeft > 0) {
        --m_retriesLeft;
        const int delay = std::min(60, 1 << std::min(m_attempts++, 6));
        PrintErrorText("연결이 끊겼습니다: " + std::to_string(delay) + "초 뒤 다시 연결합니다 (남은 횟수 " +
                       std::to_string(m_retriesLeft) + ")");
        std::this_thread::sleep_for(std::chrono::seconds(delay));
        const int rc = m_session.Reconnect();
        if (rc == kExitOk)
            return kExitOk;
        if (rc != kExitConnection && rc != kExitLogonServer)
            return rc; // refused: trying again will not help
    }
    return kExitConnection;
}

void Uploader::Settled(const CUploadItem& item)
{
    if (item.state == UploadState::Failed) {
        if (item.failure == UploadFailure::NoAnswer)
            m_unanswered = true;
        m_report.Failure(item);
        if (item.request->journalId != 0)
            m_failedIds.push_back(item.request->journalId);
        return;
    }
    if (item.IsFolder())
        return;
    m_bytesUploaded += std::max<int64_t>(0, item.request->size);
    m_report.File(item.request->localPath, item.request->remotePath, std::max<int64_t>(0, item.request->size),
             item.movedTo.empty() ? "uploaded" : "moved", UploadFailure::None, 0, item.movedTo);
    if (!item.request->moveFolder.empty() && item.movedTo.empty()) {
        PrintErrorText("옮기지 못했습니다 (" + item.moveError + "): " + item.request->localPath);
        ++m_notMoved; // uploaded, but what was asked of the file afterwards did not happen
    }
}

UploadDeadlines Uploader::Deadlines() const
{
    const WaitsMs waits = WaitsOf(m_options);
    return {waits.answer, m_confirmByNotice ? waits.confirm : 0, std::min<int64_t>(waits.answer, kRefusalGraceMs)};
}

bool Uploader::NoticePollDue() const
{
    return m_confirmByNotice && m_tracker.AwaitingNotices() > 0 &&
           Clock::now() - m_lastPoll >= milliseconds(m_options.pollMs);
}

std::optional<Report> Uploader::NextReport(milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        std::optional<Report> report = m_session.PollUpload(std::max(left, milliseconds(0)));
        if (!report) {
            FlushJournal(); // nothing is happening: what is known is committed
            return report;
        }
        if (report->message == m_session.UploadChannelNumber())
            return report;
        if (report->code == UE_RESPONSE)
            m_tracker.Apply(*report);
    }
}

int Uploader::ApplyOther(Report& report)
{
    if ((report.code == UE_RESET || report.code == UE_SEND_FAILED) && IsNetworkLoss(report.error))
        return LostToNetwork(report);
    m_tracker.Apply(report); // an answer, or a loss: what waited on the channel is sent again or fails
    if (report.code == UE_RESET || report.code == UE_SEND_FAILED || report.code == UE_CONNECT_FAILED)
        return m_session.ReopenUploadChannel();
    return kExitOk;
}

int Uploader::LostToNetwork(const Report& report, const std::shared_ptr<CUploadRequest>& sending)
{
    m_tracker.Apply(report);
    if (sending)
        m_tracker.Requeue(sending); // being sent on that channel when it went
    FlushJournal();
    m_session.PrintLost(report.error);
    return kExitConnection;
}

int Uploader::Expire()
{
    const std::vector<uint32_t> silent = m_tracker.Expire(Deadlines());
    for (uint32_t channel : silent)
        if (channel == m_session.UploadChannelNumber())
            return m_session.ReopenUploadChannel();
    return kExitOk;
}

int Uploader::AwaitPath(const std::string& remotePath)
{
    while (m_tracker.PathBusy(remotePath)) {
        if (m_tracker.AwaitingAnswers() > 0) {
            if (int rc = AwaitOneReport(); rc != kExitOk)
                return rc;
        } else if (int rc = PollNotices(); rc != kExitOk) {
            return rc;
        }
    }
    return kExitOk;
}

int Uploader::AwaitOneReport()
{
    if (std::optional<Report> report = NextReport(milliseconds(250)))
        if (int rc = ApplyOther(*report); rc != kExitOk)
            return rc;
    return Expire();
}

int Uploader::Give(const std::shared_ptr<CUploadRequest>& request)
{
    if (request->readError != 0) {
        m_tracker.FailUnread(request); // an entry the expansion could not read
        return kExitOk;
    }
    if (m_tracker.PathBusy(request->remotePath)) {
        if (int rc = AwaitGiven(0); rc != kExitOk)
            return rc;
        if (int rc = AwaitPath(request->remotePath); rc != kExitOk)
            return rc;
    }
    m_tracker.Sending(request, m_session.UploadChannelNumber());
    m_session.Upload().PostUpload(request);
    m_given.push_back(request);
    return kExitOk;
}

int Uploader::Send(const std::shared_ptr<CUploadRequest>& request)
{
    if (int rc = Give(request); rc != kExitOk)
        return rc;
    return AwaitGiven(0);
}

void Uploader::TakeBackGiven()
{
    for (auto it = m_given.rbegin(); it != m_given.rend(); ++it) {
        m_tracker.Unsend(*it);
        m_pending.push_front(*it);
    }
    m_given.clear();
}

int Uploader::AwaitGiven(size_t left)
{
    auto deadline = Clock::now() + m_session.AnswerTimeout();
    while (m_given.size() > left) {
        const auto wait = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (wait.count() <= 0) {
            PrintErrorText(kTextNoAnswer);
            const auto front = m_given.front();
            m_given.pop_front();
            m_tracker.Requeue(front); // in flight when the connection went silent
            TakeBackGiven();
            return kExitConnection;
        }
        std::optional<Report> report = NextReport(std::min(wait, milliseconds(1000)));
        if (!report)
            continue;
        deadline = Clock::now() + m_session.AnswerTimeout();
        if (int rc = ApplyGiven(*report); rc != kExitOk)
            return rc;
    }
    return kExitOk;
}

int Uploader::ApplyGiven(Report& report)
{
    const auto at = std::find(m_given.begin(), m_given.end(), report.request);
    const bool given = report.request && at != m_given.end();
    switch (report.code) {
    case UE_PROGRESS: // of the file under way: the first given
        if (report.progress && !m_given.empty()) {
            const CUploadProgress& p = *report.progress;
            m_report.Line(*m_given.front(), p);
            m_report.Progress(m_bytesSent + p.sent, m_bytesTotal, m_tracker.Confirmed() + m_tracker.Failed() + m_missing,
                              m_filesTotal, p.speed);
        }
        m_tracker.Apply(report);
        return kExitOk;
    case UE_DONE:
        if (given) {
            const std::shared_ptr<CUploadRequest> request = *at;
            if (m_report.LineShown()) {
                CUploadProgress done;
                done.sent = request->size;
                done.percent = 100;
                m_report.Line(*request, done);
            }
            m_report.EndLine();
            m_given.erase(at);
            m_tracker.Apply(report);
            m_bytesSent += std::max<int64_t>(0, request->size);
            return kExitOk;
        }
        m_tracker.Apply(report);
        return kExitOk;
    case UE_OPEN_FAILED:
    case UE_CANCELLED:
        if (given)
            m_given.erase(at);
        m_tracker.Apply(report);
        return kExitOk;
    case UE_SEND_FAILED:
    case UE_RESET: {
        m_report.EndLine();
        // The channel has ended: the file it names was under way, the others given after it
        // never began.
        std::shared_ptr<CUploadRequest> cut;
        if (given) {
            cut = *at;
            m_given.erase(at);
        }
        TakeBackGiven();
        if (IsNetworkLoss(report.error))
            return LostToNetwork(report, cut);
        if (!cut) {
            // Closed by the server while idle or answering: what was sent whole on it goes
            // again, the rest behind those on a new channel.
            m_tracker.ChannelLost(report.message);
            return m_session.ReopenUploadChannel();
        }
        if (const int rc = m_session.ReopenUploadChannel(); rc != kExitOk) {
            m_tracker.ChannelLost(report.message);
            m_tracker.Requeue(cut); // the connection is gone, not this file's transfer
            return rc;
        }
        // The tracker's rule: what was sent whole on the channel goes again, and so does
        // this body when the close may have been over those; otherwise it fails.
        m_tracker.Apply(report);
        return kExitOk;
    }
    default:
        m_tracker.Apply(report);
        return kExitOk;
    }
}

int Uploader::AwaitAnswers()
{
    while (m_tracker.AwaitingAnswers() > 0)
        if (int rc = AwaitOneReport(); rc != kExitOk)
            return rc;
    return kExitOk;
}

int Uploader::PollNotices(bool pause)
{
    m_session.Control().Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    std::optional<Report> r = m_session.WaitControl(UM_GETNOTIED, m_session.AnswerTimeout());
    if (!r)
        return m_session.LastError();
    m_lastPoll = Clock::now();
    if (r->keptNotices)
        m_tracker.ApplyNotices(*r->keptNotices);
    m_tracker.NoticesAsked();
    if (int rc = Expire(); rc != kExitOk)
        return rc;
    FlushJournal();
    if (pause && m_tracker.AwaitingNotices() > 0)
        std::this_thread::sleep_for(milliseconds(m_options.pollMs));
    return kExitOk;
}

int Uploader::AwaitNotices()
{
    const auto deadline = Clock::now() + std::chrono::seconds(m_options.syncTimeoutSeconds);
    while (m_tracker.AwaitingNotices() > 0) {
        if (Clock::now() >= deadline) {
            m_tracker.FailAnswered(UploadFailure::TimedOut);
            break;
        }
        if (int rc = PollNotices(); rc != kExitOk)
            return rc;
    }
    return kExitOk;
}
int CmdPut(const Options& o)
{
    Session session(o);
    // A dry run logs in (the session's id is part of every request's size) and opens no upload
    // channel.
    if (int rc = session.Open(false, !o.dryRun); rc != kExitOk)
        return rc;
    Uploader uploader(o, session);
    if (o.dryRun)
        return uploader.DryRun();
    const int code = uploader.Run();
    uploader.Summary(code);
    return code;
}

} // namespace talvex::cli
