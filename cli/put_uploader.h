#pragma once
// talvex-cli put: the uploader that runs one put, from the named sources to the last notice.
#include "cli/command_groups.h"
#include "cli/put_report.h"
#include "cli/session.h"
#include "protocol/upload_channel.h"
#include "protocol/upload_expansion.h"
#include "protocol/upload_journal.h"
#include "protocol/upload_tracker.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvex::cli {

// Journals everything it is given (the account's upload journal in the work folder; off with
// TALVEX_JOURNAL=off), so that `put --resume` can go on after a run that was stopped or lost
// its connection. Files sent whole on a channel the server then closed or reset were not kept
// by it: they are sent once more, one at a time, on the next channel. With --retries a lost
// connection is made again (1, 2, 4 ... 60 s apart) and the run goes on: what was not answered
// is sent again, what was answered keeps waiting for its notice.
class Uploader {
public:
    using Clock = std::chrono::steady_clock;
    using milliseconds = std::chrono::milliseconds;
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
    void Summary(int code) const;

    int Run();

private:
    static bool JournalOff();

    int OpenJournal();

    int Expand();

    // Expands every named source; files go into the journal when one is given (read back in
    // batches as they are sent: a run of a million files holds a batch, not a million
    // requests), else into m_pending. Entries that cannot be read go to m_pending to fail.
    int ExpandInto(CUploadJournal* journal);

    // Expands every named source into sink; a source that is not there is told and counted.
    int ExpandSources(const UploadRequestSink& sink);

public:
    // put --dry-run: every entry checked as the run would check it before sending (a source
    // that is there, an entry that is a file or a folder and can be read, a request the wire
    // can carry within its limit); what would go where on standard output, failures as the run
    // tells them. Nothing is sent, journaled or moved.
    int DryRun();

private:
    // Takes the next batch of the journal's entries into m_pending (failures told and counted,
    // files found moved counted, answered ones handed to the tracker to wait for their notices);
    // false once the journal has no more.
    bool Refill();

    // The journal's unfinished entries: answered ones wait for their notices, the others are
    // sent again; entries that failed (before, or now because the file is gone or changed) are
    // told and counted.
    int Resume();

    // Sends what is left, then waits for the answers and notices. kExitConnection when the
    // connection was lost (what was in flight is waiting again).
    int Pump();

    // The connection is gone: wait, then make it again; what was in flight waits to be sent.
    int Reconnect();

    void FlushJournal();

    // A request is settled: failures and files that could not be moved are told.
    void Settled(const CUploadItem& item);

    UploadDeadlines Deadlines() const;

    bool NoticePollDue() const;

    // The next report of the open upload channel. Reports of channels replaced since are
    // dropped, but for their answers (the tracker matches those by channel).
    std::optional<Report> NextReport(milliseconds timeout);

    // Applies a report that is not about the file being sent: answers and losses of earlier ones.
    int ApplyOther(Report& report);

    // The upload channel timed out (the dead-path bound passed) or the server could not be
    // reached: no verdict on anything in flight. It all waits to be sent again, unfinished in the
    // journal, and the connection is made again (--retries) or the put ends with exit 6.
    int LostToNetwork(const Report& report, const std::shared_ptr<CUploadRequest>& sending = nullptr);

    // Settles what has waited too long; a channel that left its answers unsaid is replaced.
    int Expire();

    // One upload of a remote path at a time: notices carry no request id, so two copies in
    // flight could not be told apart. Waits until the earlier one has settled.
    int AwaitPath(const std::string& remotePath);

    int AwaitOneReport();

    // Gives the channel a file: several are given ahead, so that the channel goes from one to
    // the next without waiting for this thread (a thread switch is most of what a small file
    // costs). Two uploads of one remote path are never in flight together.
    int Give(const std::shared_ptr<CUploadRequest>& request);

    // One file given and every report of it taken (a file sent once more goes alone).
    int Send(const std::shared_ptr<CUploadRequest>& request);

    // The files given that the channel never began go back to the front of the queue, in order,
    // to be given again (to the next channel): nothing of them went.
    void TakeBackGiven();

    // Takes the channel's reports until at most `left` files given are still under way. The
    // time limit runs from the last sign of the channel (a report), never from other traffic.
    int AwaitGiven(size_t left);

    // A report of the channel the files were given to.
    int ApplyGiven(Report& report);

    int AwaitAnswers();

    // One GETNOTIED; the notices settle what they name, the confirmation clock advances, then
    // the deadlines pass. With pause, waits the poll interval after it while files still wait.
    int PollNotices(bool pause = true);

    int AwaitNotices();

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

} // namespace talvex::cli
