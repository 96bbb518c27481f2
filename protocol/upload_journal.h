#pragma once
// The upload journal: every upload the core is given and every change of its state, kept on
// disk per account so that a client that was stopped, killed or lost its connection can go on
// where it was. The tracker (CUploadTracker::SetJournal) tells the journal each change through
// IUploadJournal; CUploadJournal keeps them in SQLite (WAL, one transaction per batch).
//
// What an entry holds: local path, remote path, move folder, size when queued, the CFileStamp
// taken when the body started, the state (queued, sending, sent, answered, failed), the failure
// reason and status, and when it was queued and last changed. A confirmed upload leaves the
// journal at once (so does a cancelled one and one the user removed): no history of completed
// files is kept, since the server holds what was stored, the journal exists to resume, and a
// history would grow the file with every upload. Failed entries stay, with their reason, until
// a front end forgets them (the window puts them back on its fail page).
//
// Answered or in flight. The server stores a file, then answers it; the journal records
// "answered" only once the client has read that answer (the tracker calls Answered, or Settled
// for an answer that confirms). So on resume:
//   - an answered entry (or one that is gone, confirmed) is never sent again: the server has it;
//     answered entries wait for their notice again (the server keeps the account's notices);
//   - a queued, sending or sent entry is sent again: its answer was never read here, so the
//     server either never got the whole body or stored it and will simply replace it.
// An answer read but not yet committed when the process died counts as never read: that file
// is sent once more, never lost. Commits come in batches (Flush, and at most every
// kMaxBatch changes or kMaxDelayMs): what a kill loses is the last moments of bookkeeping,
// always back to a state the journal really passed through, never a half of one.
//
// Resume checks each unfinished entry's file first: a file that no longer exists, or whose
// size, modification time or identity differ from the stamp taken when its body started (from
// the size recorded when it was queued, when no body started), fails with its reason instead.
// A file that is gone from its path but stands in its move folder with the stamp of its body
// was confirmed and moved by the run that sent it (the run ended before the entry's removal
// was committed): it counts as done (CJournalResume::moved), never as failed.
//
// One entry per file: local paths are kept absolute and normalised (a relative one is made
// absolute against the working folder when queued), and a new upload of a local file to a
// remote path that an entry of an earlier run already holds takes that entry over instead of
// adding a second one. Entries that cannot be proven (no absolute local path, no remote path,
// an unknown state, a text too long to be a path) are failed on resume, never sent.
//
// The file: <data folder>journal/<key>.sqlite, mode 0600, the key a hash of the web host with
// its port, the service set and the user id (PathFor). The schema version is PRAGMA
// user_version. A journal written by a newer version, a file that is not one, or a damaged one
// is never used nor overwritten: it is renamed aside (<name>.newer-<time> or
// <name>.damaged-<time>, with its -wal) and a new journal starts; Open says so. A journal that
// can be read but not written (its mode, its owner, a read-only disk) is left as it is: Open
// fails with Opened::cannotWrite. One process at a time holds a journal (exclusive lock); a
// second gets an error from Open and goes on without one. Passwords never reach the journal.
//
// A write that fails later (a full disk) stops the journal: it writes nothing more, Healthy()
// turns false and the failure listener is told once, at that moment.
//
// Single-threaded: the tracker's thread (the window thread, the CLI's main thread) calls it.

#include "protocol/upload_tracker.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace talvex {

// What the tracker tells the journal. Every hook is cheap: it joins the open batch; Flush
// commits the batch in one transaction.
class IUploadJournal {
public:
    virtual ~IUploadJournal() = default;
    // The request enters the queue: a new entry (its id goes into request.journalId), or, for a
    // request that has one, its entry goes back to queued (sent again).
    virtual void Queued(CUploadRequest& request) = 0;
    virtual void Sending(const CUploadRequest& request) = 0;
    // The body went out whole; request.stamp is what the file was when it started (its size, the
    // bytes sent, becomes the entry's size).
    virtual void Sent(const CUploadRequest& request) = 0;
    // The server answered 200 and the file waits for its notice.
    virtual void Answered(const CUploadRequest& request) = 0;
    // Confirmed or cancelled: the entry leaves. Failed: it stays with its reason and status.
    virtual void Settled(const CUploadRequest& request, UploadState state, UploadFailure why, int32_t status) = 0;
    // The entry is no longer followed (the user removed it): it leaves.
    virtual void Forget(int64_t journalId) = 0;
    // Commits what was told since the last commit, in one transaction.
    virtual void Flush() = 0;
};

// One entry as the journal holds it.
// An absolute, normalised local path, the form the journal keeps: relative ones against the
// working folder, "." and ".." resolved by their text (never through links), no trailing '/'.
// An empty path stays empty (it names no file, not the working folder).
std::string AbsoluteLocal(const std::string& path);

struct CJournalEntry {
    int64_t id = 0;
    std::string localPath;
    std::string remotePath;
    std::string moveFolder;
    int64_t size = 0;  // when queued; -1 for a folder
    CFileStamp stamp;  // when its body started; size -1 when none did
    UploadState state = UploadState::Waiting;
    UploadFailure failure = UploadFailure::None;
    int32_t status = 0; // a refusing answer's status, a notice's number, an errno for ReadError
    int64_t queuedAtMs = 0;  // wall clock, ms since 1970
    int64_t changedAtMs = 0;
    // A request to hand to the tracker again (its journalId and stamp set).
    std::shared_ptr<CUploadRequest> Request() const;
    // A failed entry as the tracker settles one: its request, its reason and status.
    CUploadItem FailedItem() const;
};

// What LoadUnfinished found.
struct CJournalResume {
    // Waiting, sending or sent (to be sent again) and answered (to wait for their notice), in
    // the order they were queued.
    std::vector<CJournalEntry> unfinished;
    // Failed earlier, or just now because the file is gone or changed (failure, status set).
    std::vector<CJournalEntry> failed;
    // Confirmed and moved by the run that sent them: found in their move folders with the stamp
    // of their bodies (movedTo), and gone from the journal now.
    struct Moved {
        CJournalEntry entry;
        std::string movedTo;
    };
    std::vector<Moved> moved;
};

class CUploadJournal final : public IUploadJournal {
public:
    static constexpr int kSchemaVersion = 1;
    static constexpr int kMaxBatch = 1000;   // changes per transaction at most
    static constexpr int kMaxDelayMs = 250;  // a batch older than this is committed by the next change

    // "<16 hex digits>.sqlite": the account's journal file name. webHost is the web host the
    // client logs in through, with its port ("host:port"), serviceSetId the web check's
    // SERVICESET_ID, userId the login id: a journal never follows an account to another server.
    static std::string FileName(const std::string& webHost, const std::string& serviceSetId, const std::string& userId);
    // dataFolder + "journal/" + FileName(...); dataFolder ends in '/'.
    static std::string PathFor(const std::string& dataFolder, const std::string& webHost, const std::string& serviceSetId,
                               const std::string& userId);

    struct Opened {
        std::unique_ptr<CUploadJournal> journal; // null: no journal (error says why)
        std::string error;
        bool cannotWrite = false; // the journal (or its folder) can be read but not written: left as it is
        std::string setAside; // a refused file was renamed to this (journal is a new one)
        std::string reason;   // why it was refused
    };
    // Opens or creates the journal (and its folder, 0700; the file 0600). vfs names an SQLite
    // file layer other than the default one (tests inject write failures through one).
    static Opened Open(const std::string& path, const char* vfs = nullptr);

    ~CUploadJournal() override; // commits the open batch

    void Queued(CUploadRequest& request) override;
    void Sending(const CUploadRequest& request) override;
    void Sent(const CUploadRequest& request) override;
    void Answered(const CUploadRequest& request) override;
    void Settled(const CUploadRequest& request, UploadState state, UploadFailure why, int32_t status) override;
    void Forget(int64_t journalId) override;
    void Flush() override;

    // The entries to resume and the failed ones (see the top of this file); entries whose file
    // is gone or changed are marked failed on the way (committed before it returns).
    CJournalResume LoadUnfinished();
    // The same a batch at a time, for journals too large to hold: the entries after afterId
    // (at least minId; afterId moves on to the last one read), at most limit of them. It reads
    // on after a write failed (Healthy() false): what was committed before is still there.
    CJournalResume LoadBatch(int64_t& afterId, size_t limit, int64_t minId = 0);
    // Entries kept waiting by a queue (CUploadBacklog), read back in order without checking
    // their files (they are checked when sent): those with an id in (afterId, lastId] that are
    // waiting, sending or sent, at most limit of them, appended to out. afterId moves on to the
    // last one read, or to lastId once none is left. False when the journal cannot be read.
    bool LoadWaiting(int64_t& afterId, int64_t lastId, size_t limit, std::vector<std::shared_ptr<CUploadRequest>>& out);
    // Those entries leave the journal (the queue was cancelled).
    void ForgetWaiting(int64_t afterId, int64_t lastId);
    // Deletes every entry that a newer one of the same file and remote path stands behind
    // (copies an older version left, one per put): before a resume reads the journal.
    bool DropCopies();
    // Files (not folders) waiting, being sent, sent or answered: counted, not loaded.
    int64_t CountUnfinishedFiles();
    // The largest id when the journal was opened: entries of this run have larger ones.
    int64_t OpenedWithLastId() const { return m_floor; }
    // The largest id given so far.
    int64_t LastId() const { return m_lastId; }
    // How big and how old a batch may grow before a change commits it (kMaxBatch, kMaxDelayMs
    // by default); Flush commits whatever the limits.
    void SetBatchLimits(int maxChanges, int maxDelayMs)
    {
        m_maxBatch = maxChanges;
        m_maxDelayMs = maxDelayMs;
    }
    // The monotonic clock the batch's age is read from, in ms (tests move one of their own).
    void SetClock(std::function<int64_t()> steadyMs) { m_clock = std::move(steadyMs); }
    // Writes one change and commits it: false (and the journal stops) when the disk takes no
    // more. A resume asks first, since nothing it sends could be recorded otherwise.
    bool Probe();
    // Entries leave the journal: these, or all of them.
    void Forget(const std::vector<int64_t>& ids);
    // The failed entries of this file and remote path leave (removed from a fail page).
    void ForgetFailed(const std::string& localPath, const std::string& remotePath);
    void ForgetAll();

    // False once a write failed (disk full, file removed): the journal stops writing, and
    // LastError says why. The uploads go on.
    bool Healthy() const { return m_error.empty(); }
    // Told once, when the journal stops being written (the text says why).
    void SetFailureListener(std::function<void(const std::string& why)> listener) { m_onFailure = std::move(listener); }
    const std::string& LastError() const { return m_error; }
    const std::string& Path() const { return m_path; }

    CUploadJournal(const CUploadJournal&) = delete;
    CUploadJournal& operator=(const CUploadJournal&) = delete;

private:
    class Statement;
    explicit CUploadJournal(std::string path);
    bool Prepare();
    bool Exec(const char* sql);
    // Joins the open batch (beginning one when none is open); false when the journal is broken.
    bool Begin();
    // Counts a change; commits when the batch is full or old.
    void Changed();
    // A state change joins the batch in memory: an entry's changes within one batch are written
    // as one update (its last state, with the stamp if any change gave one) when the batch is
    // committed, or before anything else reads or replaces the entry; a removal drops them.
    void SetState(int64_t id, int state, const CFileStamp* stamp);
    void WriteDeferred(int64_t id); // that entry's, if any
    void WriteDeferred();           // every entry's
    // Runs one DELETE in the open batch, its parameters bound by bind.
    void DeleteWhere(const char* sql, const std::function<void(sqlite3_stmt*)>& bind);
    void Failed(const char* what);

    std::string m_path;
    sqlite3* m_db = nullptr;
    // Takes the entry of an earlier run for request's paths over; false when there is none.
    bool TakeOver(CUploadRequest& request);

    std::unique_ptr<Statement> m_insert, m_state, m_stateStamp, m_fail, m_delete, m_find, m_takeOver;
    int64_t m_floor = 0;  // entries up to this id were there when the journal was opened
    int64_t m_lastId = 0; // the last id given (ids only grow while the journal is open)
    int64_t m_failedThisRun = 0; // entries this run marked failed (a resend may take them over)
    std::function<void(const std::string&)> m_onFailure;
    struct Deferred {
        int state = 0;
        bool stamped = false;
        CFileStamp stamp;
        int64_t atMs = 0;
    };
    std::unordered_map<int64_t, Deferred> m_deferred; // state changes of the open batch, by id
    bool m_inBatch = false;
    int m_pending = 0;
    int m_maxBatch = kMaxBatch;
    int m_maxDelayMs = kMaxDelayMs;
    int64_t m_batchStartMs = 0;
    std::function<int64_t()> m_clock;
    std::string m_error;
};

} // namespace talvex
