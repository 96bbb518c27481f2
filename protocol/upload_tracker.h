#pragma once
// CUploadTracker: the bookkeeping of uploads, shared by the window's queue and talvex-cli. It
// knows, for each request, how far it got (waiting, sending on a channel, sent and waiting for
// the server's PUTFILE__ answer, answered and waiting for the confirming notice) and settles
// it (confirmed, or failed with its reason) from the channel reports, the answers and the
// notices. A confirmed file with a move folder is moved away at once.
//
// An outcome needs evidence: the answer to that request, its notice, or a deadline that passed
// (Expire). A file whose size, modification time or identity differ, when it is settled, from
// what they were when its body started (or whose size then was not the size announced) changed
// while it was sent: it fails with UploadFailure::Changed and is never moved.
//
// Matching: a channel report that names its request settles that very request; an answer is
// matched to the oldest request sent on the same channel with that remote path (answers come
// in the order of the requests), or, when it names the request still being sent (the server
// refused before the body was through), to that one; a notice to the oldest answered request
// with that path. Remote paths compare without regard to ASCII case and without a leading "/".
// Notices carry no request id, so the callers never have two uploads of one remote path in
// flight at once (PathBusy): an early notice then always has one owner.
//
// Settled items leave the tracker once the listener has seen them, so memory follows what is
// still under way, not what was ever queued.
//
// With a journal (SetJournal), every change above is told to it as it happens (queued, sending,
// sent, answered, settled, forgotten); the caller commits the batch (IUploadJournal::Flush).
// Entries resumed from a journal come back through Add (sent again) or AddAnswered (waiting for
// their notice). Without one, nothing is written anywhere.
//
// Files sent whole on a channel that is then lost (closed or reset by the server before their
// answers) were not kept by it: they go back to waiting, at most kMaxResends times each, and
// TakeResends hands them out in the order they were added, to be sent again on a new channel;
// a file lost once more fails. The same for the body a server's close or reset cut short: it
// goes again once, and fails when it is cut a second time. This is the rule for every caller:
// the window and talvex-cli alike.
// A channel lost to the network (IsNetworkLoss of the report's error: timed out, unreachable)
// is no verdict of the server on anything: the file whose body it cut and the files sent on it
// all go back to waiting, always. A channel whose answers never came (Expire) is a verdict: what
// it sent whole fails (NoAnswer) and is never sent twice.

#include "protocol/records.h"
#include "protocol/report_sink.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace talvex {

class IUploadJournal; // protocol/upload_journal.h

enum class UploadState { Waiting, Sending, Sent, Answered, Confirmed, Failed };

enum class UploadFailure {
    None,
    ReadError,   // the local file could not be opened or read (status: errno when known)
    SendFailed,  // the connection failed while sending, or before the answer came
    Cancelled,   // the user cancelled the transfer (not counted as a failure)
    Refused,     // the server answered with another status than 200
    Unconfirmed, // a notice with another number than 200
    TimedOut,    // no confirming notice in time
    Changed,     // the local file changed while it was sent
    NoAnswer,    // sent, but the server did not answer in time
    NameNotWritable, // the remote name has characters the wire encoding cannot write
    BadName,         // the remote name holds CR, LF or NUL
    PathTooLong,     // the request with this remote path would not fit the protocol's header
};

// The failure of a request its channel could not write (CUploadRequest::headerError).
UploadFailure HeaderFailure(int32_t headerError);
// The words for a failure, as the window's result pages and talvex-cli print them.
const char* UploadFailureText(UploadFailure why);
// The words with what the status adds to them: the system's reason for a file that could not be
// read, the kind of an entry that is no file, the server's number for a refusal. The one text
// both front-ends show.
std::string UploadFailureReason(UploadFailure why, int32_t status);

struct CUploadItem {
    std::shared_ptr<CUploadRequest> request;
    UploadState state = UploadState::Waiting;
    UploadFailure failure = UploadFailure::None;
    int32_t status = 0;    // the refusing answer's status or the notice's number
    uint32_t channel = 0;  // the channel's message number while sending or sent
    std::string movedTo;   // confirmed and moved there
    std::string moveError; // confirmed, but the local file could not be moved: why
    int64_t sinceMs = 0;   // when it entered its state (sent, answered)
    int64_t noticeSinceMs = 0; // answered: the notice clock then (CUploadTracker::NoticeClockMs)
    bool busy = false;     // counted in the in-flight paths
    std::string key;       // PathKey of the remote path, made once
    uint64_t order = 0;    // when it was added: the n-th request
    int resends = 0;       // how often it went back to waiting after its channel was lost
    bool IsFolder() const { return request->IsFolder(); }
};

// Deadlines of Expire, in milliseconds; 0 = none.
struct UploadDeadlines {
    int64_t answerMs = 0;  // a channel with requests sent hears nothing of them this long
    // An answered file hears no notice while notices were asked for this long: the clock runs
    // only from one notice answer to the next (NoticesAsked), never while nobody asks.
    int64_t confirmMs = 0;
    // After a refusal, a channel with files sent behind the refused one hears nothing more for
    // this long: the server may have left the refused body unread, so the stream is no longer
    // in step; the files behind go back to be sent again (as for a lost channel).
    int64_t refusalMs = 0;
};

class CUploadTracker {
public:
    using Listener = std::function<void(const CUploadItem& item)>;
    using NowMs = std::function<int64_t()>; // a monotonic clock in milliseconds

    // confirmByNotice: a 200 answer waits for a notice (sync-service accounts); otherwise the
    // answer is the confirmation. Folders never wait for notices.
    explicit CUploadTracker(bool confirmByNotice, Listener settled = {}, NowMs now = {});

    void SetListener(Listener settled) { m_settled = std::move(settled); }
    // Every change from now on is told to the journal (null: none). It must outlive the tracker's
    // use of it.
    void SetJournal(IUploadJournal* journal) { m_journal = journal; }
    // How often a file goes back to waiting after the server lost its channel.
    static constexpr int kMaxResends = 1;

    // A request enters waiting.
    // journaled: the request was read back from the journal, where it waits already (its entry
    // is not written again).
    void Add(std::shared_ptr<CUploadRequest> request, bool journaled = false);
    // A request the server answered earlier (a resumed journal entry) waits for its notice again:
    // notices and the confirmation deadline apply to it as to any answered file. Without
    // confirmation by notice its answer was its confirmation: it is confirmed.
    void AddAnswered(std::shared_ptr<CUploadRequest> request);
    // The requests that went back to waiting after their channel was lost, in the order they
    // were added; each is handed out once.
    std::vector<std::shared_ptr<CUploadRequest>> TakeResends();
    // A request being sent or sent goes back to waiting, whatever the resend limit: its
    // connection is gone and the whole conversation is started again.
    void Requeue(const std::shared_ptr<CUploadRequest>& request);
    // The same for every request being sent or sent on any channel (the connection was lost
    // and is made again); TakeResends hands them out.
    void RequeueInFlight();
    // A request given to a channel that ended before it began it: waiting again as if it had
    // never been given (nothing of it went, so it is no resend).
    void Unsend(const std::shared_ptr<CUploadRequest>& request);
    // The request was handed to the channel with this message number.
    void Sending(const std::shared_ptr<CUploadRequest>& request, uint32_t channel);
    // A request being sent on a channel its caller gives up on (silent past the answer
    // deadline) fails with this reason and is not sent again; null when it is not followed.
    const CUploadItem* GiveUp(const std::shared_ptr<CUploadRequest>& request, UploadFailure why);
    // A request the expansion could not read (readError) fails at once; the settled item.
    const CUploadItem* FailUnread(const std::shared_ptr<CUploadRequest>& request);
    // Applies one upload channel report (its message is the channel's number); the item it
    // moved on, or null when it concerned no tracked request. A settled item is returned once,
    // before it is forgotten.
    const CUploadItem* Apply(const Report& report);
    // Settles answered requests by the notices; the notices used are taken out of the list.
    void ApplyNotices(CSyncNoticeList& notices);
    // A notice poll was answered (with notices or none): the confirmation clock advances by the
    // time since the previous answer, at most the gap (SetNoticeGapMs): a pause in the polling
    // (a long body sent without polls) does not count against the files that wait.
    void NoticesAsked();
    void SetNoticeGapMs(int64_t ms) { m_noticeGapMs = ms; }
    // Milliseconds of notice polling so far.
    int64_t NoticeClockMs() const { return m_noticeClockMs; }
    // The channel is gone: the requests sent on it will never be answered.
    void ChannelLost(uint32_t channel);
    // The request is no longer followed (the user deleted its row): whatever comes for it later
    // matches nothing, so nothing is counted, told or moved for it.
    void Forget(const CUploadRequest* request);
    // The connection is gone but the session goes on (a reconnect): requests being sent or sent
    // and not answered leave the tracker without an outcome, to be sent again; answered ones
    // keep waiting for their notices. Returns those taken out, oldest first.
    std::vector<std::shared_ptr<CUploadRequest>> ReturnUnanswered();
    // Everything not settled yet fails with this reason (a give-up after waiting, a stop).
    void FailAll(UploadFailure why);
    // Requests answered and waiting for their notices fail with this reason.
    void FailAnswered(UploadFailure why);
    // Settles what waited past its deadline: requests sent on a channel that has told nothing
    // of them for answerMs fail (NoAnswer), answered files without a notice for confirmMs fail
    // (TimedOut; a notice that comes later still finds them on the window's fail page). The
    // channels whose requests went unanswered are returned: their stream is not to be trusted.
    std::vector<uint32_t> Expire(const UploadDeadlines& deadlines);

    // An upload of this remote path is being sent, is sent or awaits its notice.
    bool PathBusy(const std::string& remotePath) const;

    size_t Unsettled() const { return m_items.size(); }
    size_t CountIn(UploadState state) const;
    // Sent and waiting for their answers; answered and waiting for their notices.
    size_t AwaitingAnswers() const { return m_nSent; }
    // Sent whole on this channel and not answered yet.
    size_t SentOn(uint32_t channel) const;
    size_t AwaitingNotices() const { return m_nAnswered; }
    uint64_t Confirmed() const { return m_confirmed; } // files only
    uint64_t Failed() const { return m_failed; }       // files and folders, not cancelled ones
    uint64_t Cancelled() const { return m_cancelled; }
    const CUploadItem* Find(const CUploadRequest* request) const;

    static std::string PathKey(const std::string& remotePath);
    // remotePath has this key (PathKey(remotePath) == key), without making a copy.
    static bool HasKey(std::string_view remotePath, std::string_view key);
    // The file is what it was when its body started, and what was announced.
    static bool Unchanged(const CUploadRequest& request);

private:
    CUploadItem* Lookup(const CUploadRequest* request);
    size_t SentUnder(const std::string& key) const;
    // Settles an answered item by an early notice for its path, if one waits.
    bool TakeEarlyNotice(CUploadItem& item);
    void MarkSent(CUploadItem& item);
    void Answer(const CTlxspResponse& answer, uint32_t channel, const CUploadRequest* sending);
    void Confirm(CUploadItem& item);
    void Fail(CUploadItem& item, UploadFailure why, int32_t status = 0);
    void Unindex(CUploadItem& item);
    // The requests sent on the channel fail with this reason (unless an early notice settles
    // them), or go back to waiting while they may (resendLimit).
    void LoseChannel(uint32_t channel, UploadFailure why, int resendLimit);
    // Back to waiting, no longer counted in flight.
    void BackToWaiting(CUploadItem& item);
    void ToWaiting(CUploadItem& item);
    // Tells the listener and forgets the item.
    void Settle(CUploadItem& item);
    int64_t Now() const;

    bool m_bConfirmByNotice;
    Listener m_settled;
    NowMs m_now;
    IUploadJournal* m_journal = nullptr;
    uint64_t m_added = 0;
    std::vector<std::shared_ptr<CUploadRequest>> m_resends; // back to waiting, not handed out yet
    std::unordered_map<const CUploadRequest*, CUploadItem> m_items;
    // Requests under one path, oldest first: almost always one, so a vector (a deque would take
    // two blocks, one of half a kilobyte, for each file).
    using RequestQueue = std::vector<const CUploadRequest*>;
    // Sent, by channel then path.
    std::unordered_map<uint32_t, std::unordered_map<std::string, RequestQueue>> m_sent;
    // When each channel last told something of its requests (progress, body sent, an answer).
    std::unordered_map<uint32_t, int64_t> m_heard;
    // Channels whose last answer was a refusal with files behind it, and when it came.
    std::unordered_map<uint32_t, int64_t> m_refused;
    int64_t m_noticeClockMs = 0;
    int64_t m_lastAskedMs = -1; // when the last notice poll was answered; -1: none yet
    int64_t m_noticeGapMs = 10000;
    // Answered, by path.
    std::unordered_map<std::string, RequestQueue> m_answered;
    // Notice numbers that came before the answer of a file sent under that path, oldest first;
    // never more per path than files sent under it.
    std::unordered_map<std::string, std::deque<int32_t>> m_early;
    // Paths with an upload in flight (sending, sent or answered): how many.
    std::unordered_map<std::string, int> m_busy;
    size_t m_nSent = 0;
    size_t m_nAnswered = 0;
    CUploadItem m_last; // the item Apply returns once it is settled
    uint64_t m_confirmed = 0;
    uint64_t m_failed = 0;
    uint64_t m_cancelled = 0;
};

} // namespace talvex
