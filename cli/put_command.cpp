// talvex-cli put: the upload of files and folders, --resume and --retries.
#include "cli/command_groups.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "cli/put_report.h"
#include "cli/session.h"
#include "platform/move_after_upload.h"
#include "protocol/message_ids.h"
#include "protocol/upload_channel.h"
#include "protocol/upload_expansion.h"
#include "protocol/upload_journal.h"
#include "protocol/upload_tracker.h"
#include "res/string_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <cstdlib>
#include <string_view>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace talvex::cli {
namespace {

using std::chrono::milliseconds;

// Journals everything it is given (the account's upload journal in the work folder; off with
// TALVEX_JOURNAL=off), so that `put --resume` can go on after a run that was stopped or lost
// its connection. Files sent whole on a channel the server then closed or reset were not kept
// by it: they are sent once more, one at a time, on the next channel. With --retries a lost
// connection is made again (1, 2, 4 ... 60 s apart) and the run goes on: what was not answered
// is sent again, what was answered keeps waiting for its notice.
class Uploader {
public:
    using Clock = std::chrono::steady_clock;
    // After a refusal, the answers of the files sent behind it must follow within this (or the
    // answer timeout, when shorter): a server that left the refused body unread never reads them.
    static constexpr int64_t kRefusalGraceMs = 2000;

    Uploader(const Options& o, Session& session)
        : m_options(o), m_session(session), m_report(o.resume),
          // On a sync-service account a file is stored only once its notice says so: moving it
          // away on the answer alone could move a file the server then reports failed. Resumed
          // entries may have been answered already (and have their move folders): they wait too.
          // An account of the plain service gets no notices: its answer is the evidence, and
          // --wait-confirm says so instead of waiting for what never comes.
          m_confirmByNotice(session.IsSyncService() && (o.waitConfirm || !o.moveTo.empty() || o.resume)),
          m_tracker(m_confirmByNotice, [this](const CUploadItem& item) { Settled(item); }),
          m_retriesLeft(o.retries)
    {
        // Polls come every pollMs, each answered within the answer timeout: a longer pause (a
        // long body) does not count against the files that wait for their notices.
        m_tracker.SetNoticeGapMs(2 * static_cast<int64_t>(o.pollMs) + 1000);
        if (o.waitConfirm && !session.IsSyncService())
            PrintErrorText("이 계정은 변경 알림을 받지 않습니다: 서버의 응답을 업로드의 확인으로 봅니다 (--wait-confirm)");
    }

    // The closing summary of put --json.
    void Summary(int code) const
    {
        m_report.Summary(m_tracker.Confirmed() + m_resumedMoved, m_tracker.Failed() + m_missing + m_loadedFailed,
                         m_bytesUploaded, code);
    }

    int Run()
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

private:
    static bool JournalOff()
    {
        const char* v = std::getenv("TALVEX_JOURNAL");
        return v && std::string_view(v) == "off";
    }

    int OpenJournal()
    {
        if (JournalOff()) {
            if (m_options.resume) {
                PrintErrorText("--resume needs the upload journal (TALVEX_JOURNAL=off)");
                return kExitUsage;
            }
            return kExitOk;
        }
        CUploadJournal::Opened opened = CUploadJournal::Open(m_session.JournalPath());
        if (!opened.setAside.empty())
            PrintErrorText("업로드 기록을 쓸 수 없어 옆에 두고 새로 시작합니다 (" + opened.reason + "): " + opened.setAside);
        if (!opened.journal) {
            if (opened.cannotWrite)
                PrintErrorText(std::string(kTextJournalCannotWrite) + " (" + opened.error + ")");
            else
                PrintErrorText("업로드 기록을 열 수 없습니다 (" + opened.error + ")");
            if (m_options.resume)
                return opened.cannotWrite ? kExitJournal : kExitRefused;
            return kExitOk; // the uploads go on without a journal
        }
        m_journal = std::move(opened.journal);
        // Said at once; the uploads go on, their outcomes true, but cannot be resumed.
        m_journal->SetFailureListener([this](const std::string& why) {
            m_report.EndLine();
            PrintErrorText(std::string(kTextJournalStopped) + " (" + why + "): " + m_journal->Path());
        });
        m_tracker.SetJournal(m_journal.get());
        return kExitOk;
    }

    int Expand()
    {
        if (int rc = ExpandInto(m_journal.get()); rc != kExitOk)
            return rc;
        if (m_journal) {
            m_journal->Flush(); // every file of the run is in the journal before the first is sent
            if (!m_journal->Healthy()) {
                // Its last batch may be lost with the write that failed: the run goes on from
                // memory, as without a journal.
                m_pending.clear();
                m_requestCount = 0;
                m_missing = 0;
                if (int rc = ExpandInto(nullptr); rc != kExitOk)
                    return rc;
            } else {
                m_streaming = true;
                m_cursor = m_cursorMin = m_journal->OpenedWithLastId(); // this run's entries come after
                m_cursorLast = m_journal->LastId();
            }
        }
        // Entries that could not be read (they fail when their turn comes, told in this run and
        // never journaled: nothing of them could be resumed), or every file when there is no
        // journal to read them back from.
        m_tracker.SetJournal(m_streaming ? nullptr : m_journal.get());
        for (const auto& request : m_pending)
            m_tracker.Add(request);
        m_tracker.SetJournal(m_journal.get());
        return kExitOk;
    }

    // Expands every named source; files go into the journal when one is given (read back in
    // batches as they are sent: a run of a million files holds a batch, not a million
    // requests), else into m_pending. Entries that cannot be read go to m_pending to fail.
    int ExpandInto(CUploadJournal* journal)
    {
        return ExpandSources([&](std::unique_ptr<CUploadRequest> r) {
            ++m_requestCount;
            if (journal && r->readError == 0) {
                journal->Queued(*r);
                return;
            }
            m_pending.push_back(std::move(r)); // handed to the tracker by Expand
        });
    }

    // Expands every named source into sink; a source that is not there is told and counted.
    int ExpandSources(const UploadRequestSink& sink)
    {
        const std::string remoteDir = m_options.args.back();
        const std::string moveFolder = m_options.moveTo.empty() ? std::string() : AbsoluteLocal(m_options.moveTo);
        for (size_t i = 0; i + 1 < m_options.args.size(); ++i) {
            // The form the journal keeps, so that a resume from any folder sends the files meant.
            const std::string local = AbsoluteLocal(m_options.args[i]);
            std::error_code ec;
            if (!fs::exists(fs::symlink_status(local, ec))) { // a link to nothing fails with its reason below
                PrintErrorText(std::string(kTextQueueReadError) + ": " + m_options.args[i]);
                ++m_missing;
                m_report.File(local, {}, 0, m_options.dryRun ? "would-fail" : "failed", UploadFailure::ReadError, ENOENT);
                continue;
            }
            CUploadOrder order;
            order.kind = fs::is_directory(local, ec) ? 1 : 0;
            order.source = local;
            order.name = fs::path(local).filename().string();
            if (order.name.empty()) {
                PrintErrorText("올릴 이름이 없습니다 (파일 시스템의 맨 위): " + m_options.args[i]);
                return kExitUsage;
            }
            order.remoteFolder = remoteDir;
            order.moveFolder = moveFolder;
            const ExpansionStats stats = ExpandUploadOrder(order, sink);
            m_filesTotal += stats.files;
            m_bytesTotal += stats.totalSize;
        }
        return kExitOk;
    }

public:
    // put --dry-run: every entry checked as the run would check it before sending (a source
    // that is there, an entry that is a file or a folder and can be read, a request the wire
    // can carry within its limit); what would go where on standard output, failures as the run
    // tells them. Nothing is sent, journaled or moved.
    int DryRun()
    {
        PutPlan plan(m_report, m_session.SessionId());
        const int rc = ExpandSources([&](std::unique_ptr<CUploadRequest> r) { plan.Add(*r); });
        return rc != kExitOk ? rc : plan.Finish(m_missing);
    }

private:
    // Takes the next batch of the journal's entries into m_pending (failures told and counted,
    // files found moved counted, answered ones handed to the tracker to wait for their notices);
    // false once the journal has no more.
    bool Refill()
    {
        if (!m_options.resume) {
            // This run's own entries, just made by the expansion: read back as they were queued.
            // Each file is looked at when its turn comes, as the window does (one changed since
            // goes as it is then; one gone fails with its reason).
            std::vector<std::shared_ptr<CUploadRequest>> batch;
            while (m_streaming && m_pending.empty()) {
                batch.clear();
                const bool read = m_journal->LoadWaiting(m_cursor, m_cursorLast, kBatch, batch);
                if (!read || batch.empty()) {
                    if (!read) {
                        // Left in the journal for a resume; this run cannot send them.
                        PrintErrorText("업로드 기록을 다시 읽을 수 없어 남은 파일을 보내지 못했습니다 (--resume으로 이어 보내십시오): " +
                                       m_journal->Path());
                        m_notReadBack = true;
                    }
                    m_streaming = false;
                    break;
                }
                for (auto& request : batch) {
                    m_tracker.Add(request, true);
                    m_pending.push_back(std::move(request));
                }
            }
            return !m_pending.empty();
        }
        while (m_streaming && m_pending.empty()) {
            CJournalResume batch = m_journal->LoadBatch(m_cursor, kBatch, m_cursorMin);
            if (batch.unfinished.empty() && batch.failed.empty() && batch.moved.empty()) {
                m_streaming = false;
                break;
            }
            std::vector<int64_t> told;
            for (const CJournalEntry& e : batch.failed) {
                m_report.Failure(e.FailedItem());
                ++m_loadedFailed;
                told.push_back(e.id);
            }
            m_journal->Forget(told);
            // Confirmed and moved by the run that sent them, which ended before it could say so.
            for (const CJournalResume::Moved& moved : batch.moved) {
                std::cerr << "이미 올라가 옮겨짐: " << moved.entry.localPath << " -> " << moved.movedTo << '\n';
                ++m_resumedMoved;
                m_report.File(moved.entry.localPath, moved.entry.remotePath, std::max<int64_t>(0, moved.entry.size), "moved",
                         UploadFailure::None, 0, moved.movedTo);
            }
            for (const CJournalEntry& e : batch.unfinished) {
                if (e.state == UploadState::Answered) {
                    std::cerr << "확인 기다림: " << e.localPath << '\n';
                    m_tracker.AddAnswered(e.Request());
                    continue;
                }
                if (m_options.resume)
                    std::cerr << "다시 보냄: " << e.localPath << '\n';
                auto request = e.Request();
                m_tracker.Add(request, true);
                m_pending.push_back(std::move(request));
            }
        }
        return !m_pending.empty();
    }

    // The journal's unfinished entries: answered ones wait for their notices, the others are
    // sent again; entries that failed (before, or now because the file is gone or changed) are
    // told and counted.
    int Resume()
    {
        std::cerr << "이어 보낼 서버: " << m_session.ServerName() << '\n';
        if (!m_journal->Probe() || !m_journal->DropCopies()) {
            // Nothing sent now could be recorded: every later resume would send it all again.
            PrintErrorText(std::string(kTextJournalCannotWrite) + " (" + m_journal->LastError() + "): " +
                           m_journal->Path());
            return kExitJournal;
        }
        // Read in batches as they are sent (Refill), from the first entry on.
        m_streaming = true;
        m_cursor = m_cursorMin = 0;
        return kExitOk;
    }

    // Sends what is left, then waits for the answers and notices. kExitConnection when the
    // connection was lost (what was in flight is waiting again).
    int Pump()
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

    // The connection is gone: wait, then make it again; what was in flight waits to be sent.
    int Reconnect()
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

    void FlushJournal()
    {
        if (m_journal)
            m_journal->Flush();
    }

    // A request is settled: failures and files that could not be moved are told.
    void Settled(const CUploadItem& item)
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

    UploadDeadlines Deadlines() const
    {
        const WaitsMs waits = WaitsOf(m_options);
        return {waits.answer, m_confirmByNotice ? waits.confirm : 0, std::min<int64_t>(waits.answer, kRefusalGraceMs)};
    }

    bool NoticePollDue() const
    {
        return m_confirmByNotice && m_tracker.AwaitingNotices() > 0 &&
               Clock::now() - m_lastPoll >= milliseconds(m_options.pollMs);
    }

    // The next report of the open upload channel. Reports of channels replaced since are
    // dropped, but for their answers (the tracker matches those by channel).
    std::optional<Report> NextReport(milliseconds timeout)
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

    // Applies a report that is not about the file being sent: answers and losses of earlier ones.
    int ApplyOther(Report& report)
    {
        if ((report.code == UE_RESET || report.code == UE_SEND_FAILED) && IsNetworkLoss(report.error))
            return LostToNetwork(report);
        m_tracker.Apply(report); // an answer, or a loss: what waited on the channel is sent again or fails
        if (report.code == UE_RESET || report.code == UE_SEND_FAILED || report.code == UE_CONNECT_FAILED)
            return m_session.ReopenUploadChannel();
        return kExitOk;
    }

    // The upload channel timed out (the dead-path bound passed) or the server could not be
    // reached: no verdict on anything in flight. It all waits to be sent again, unfinished in the
    // journal, and the connection is made again (--retries) or the put ends with exit 6.
    int LostToNetwork(const Report& report, const std::shared_ptr<CUploadRequest>& sending = nullptr)
    {
        m_tracker.Apply(report);
        if (sending)
            m_tracker.Requeue(sending); // being sent on that channel when it went
        FlushJournal();
        m_session.PrintLost(report.error);
        return kExitConnection;
    }

    // Settles what has waited too long; a channel that left its answers unsaid is replaced.
    int Expire()
    {
        const std::vector<uint32_t> silent = m_tracker.Expire(Deadlines());
        for (uint32_t channel : silent)
            if (channel == m_session.UploadChannelNumber())
                return m_session.ReopenUploadChannel();
        return kExitOk;
    }

    // One upload of a remote path at a time: notices carry no request id, so two copies in
    // flight could not be told apart. Waits until the earlier one has settled.
    int AwaitPath(const std::string& remotePath)
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

    int AwaitOneReport()
    {
        if (std::optional<Report> report = NextReport(milliseconds(250)))
            if (int rc = ApplyOther(*report); rc != kExitOk)
                return rc;
        return Expire();
    }

    // Gives the channel a file: several are given ahead, so that the channel goes from one to
    // the next without waiting for this thread (a thread switch is most of what a small file
    // costs). Two uploads of one remote path are never in flight together.
    int Give(const std::shared_ptr<CUploadRequest>& request)
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

    // One file given and every report of it taken (a file sent once more goes alone).
    int Send(const std::shared_ptr<CUploadRequest>& request)
    {
        if (int rc = Give(request); rc != kExitOk)
            return rc;
        return AwaitGiven(0);
    }

    // The files given that the channel never began go back to the front of the queue, in order,
    // to be given again (to the next channel): nothing of them went.
    void TakeBackGiven()
    {
        for (auto it = m_given.rbegin(); it != m_given.rend(); ++it) {
            m_tracker.Unsend(*it);
            m_pending.push_front(*it);
        }
        m_given.clear();
    }

    // Takes the channel's reports until at most `left` files given are still under way. The
    // time limit runs from the last sign of the channel (a report), never from other traffic.
    int AwaitGiven(size_t left)
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

    // A report of the channel the files were given to.
    int ApplyGiven(Report& report)
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

    int AwaitAnswers()
    {
        while (m_tracker.AwaitingAnswers() > 0)
            if (int rc = AwaitOneReport(); rc != kExitOk)
                return rc;
        return kExitOk;
    }

    // One GETNOTIED; the notices settle what they name, the confirmation clock advances, then
    // the deadlines pass. With pause, waits the poll interval after it while files still wait.
    int PollNotices(bool pause = true)
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

    int AwaitNotices()
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

    const Options& m_options;
    Session& m_session;
    PutReport m_report;
    bool m_unanswered = false;   // a file's answer never came
    bool m_notReadBack = false;  // the journal could not give back what the run queued
    uint64_t m_missing = 0;      // named sources that do not exist
    uint64_t m_loadedFailed = 0;  // journal entries found failed when read back (gone, changed)
    uint64_t m_resumedMoved = 0;  // journal entries found confirmed and moved by --resume
    uint64_t m_notMoved = 0;      // uploaded files that could not be moved to the move folder
    const bool m_confirmByNotice;
    std::unique_ptr<CUploadJournal> m_journal; // declared before the tracker that tells it
    CUploadTracker m_tracker;
    // Waiting to be sent, in order: a batch read back from the journal (or, without a journal,
    // everything the expansion made).
    std::deque<std::shared_ptr<CUploadRequest>> m_pending;
    static constexpr size_t kBatch = 2048;
    bool m_streaming = false;  // m_pending is refilled from the journal
    int64_t m_cursor = 0;      // the last journal entry read
    int64_t m_cursorMin = 0;   // entries of this run (or all of them, resuming) come after this
    int64_t m_cursorLast = 0;  // a run's own entries end here
    uint64_t m_requestCount = 0; // files and folders the expansion made
    std::deque<std::shared_ptr<CUploadRequest>> m_resend;  // lost with their channel: sent again first
    // Given to the channel and not reported ended, in the order given (the first is under way).
    std::deque<std::shared_ptr<CUploadRequest>> m_given;
    static constexpr size_t kGivenAhead = 64;
    std::vector<int64_t> m_failedIds;                      // journal entries of failures told
    int m_retriesLeft = 0;
    int m_attempts = 0;
    Clock::time_point m_lastPoll{}; // the last notice poll's answer
    int64_t m_filesTotal = 0, m_bytesTotal = 0; // what the expansion made (files only)
    int64_t m_bytesSent = 0;     // bodies sent whole
    int64_t m_bytesUploaded = 0; // files counted uploaded
};

} // namespace

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
