// Reading the journal back: the copies an older version left, the count of unfinished files,
// and the entries a batch at a time, each checked against its file on disk (gone, changed,
// or found moved by the run that sent it).

#include "protocol/upload_journal.h"

#include "platform/move_target.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace talvex {

namespace {

constexpr int kFailedState = static_cast<int>(UploadState::Failed);

constexpr size_t kMaxPathBytes = 4096;        // a longer local path is none this system has
constexpr size_t kMaxRemotePathBytes = 65536; // far past what a request can carry (its own failure)

std::string ColumnText(sqlite3_stmt* stmt, int col)
{
    const unsigned char* t = sqlite3_column_text(stmt, col);
    const int bytes = sqlite3_column_bytes(stmt, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(std::max(bytes, 0))) : std::string();
}

// The first nine columns of a row read back: id, local_path, remote_path, move_folder, size,
// stamp_size, stamp_mtime_ns, stamp_inode, stamp_device.

void ReadEntryColumns(sqlite3_stmt* stmt, CJournalEntry& e)
{
    e.id = sqlite3_column_int64(stmt, 0);
    e.localPath = ColumnText(stmt, 1);
    e.remotePath = ColumnText(stmt, 2);
    e.moveFolder = ColumnText(stmt, 3);
    e.size = sqlite3_column_int64(stmt, 4);
    e.stamp.size = sqlite3_column_int64(stmt, 5);
    e.stamp.mtimeNs = sqlite3_column_int64(stmt, 6);
    e.stamp.inode = static_cast<uint64_t>(sqlite3_column_int64(stmt, 7));
    e.stamp.device = static_cast<uint64_t>(sqlite3_column_int64(stmt, 8));
}

// Whether an entry read back says enough to be resumed at all.
bool Provable(const CJournalEntry& e, int state)
{
    return state >= 0 && state <= static_cast<int>(UploadState::Answered) && e.localPath.size() > 1 &&
           e.localPath.front() == '/' && e.localPath.size() <= kMaxPathBytes && !e.remotePath.empty() &&
           e.remotePath.size() <= kMaxRemotePathBytes && e.moveFolder.size() <= kMaxPathBytes &&
           (e.moveFolder.empty() || e.moveFolder.front() == '/') && e.localPath.find('\0') == std::string::npos &&
           e.size >= -1;
}

// What the file at the path is now, against what the entry says it was.
UploadFailure CheckFile(const CJournalEntry& e, int32_t& status)
{
    struct stat st{};
    if (::stat(e.localPath.c_str(), &st) != 0) {
        status = errno;
        return UploadFailure::ReadError;
    }
    const bool folder = !e.remotePath.empty() && e.remotePath.back() == '/';
    if (folder) {
        if (S_ISDIR(st.st_mode))
            return UploadFailure::None;
        status = ENOTDIR;
        return UploadFailure::ReadError;
    }
    if (!S_ISREG(st.st_mode)) {
        status = EISDIR;
        return UploadFailure::ReadError;
    }
    if (e.stamp.size >= 0) {
        const CFileStamp now{static_cast<int64_t>(st.st_size),
                             static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                             static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
        return now == e.stamp && e.stamp.size == e.size ? UploadFailure::None : UploadFailure::Changed;
    }
    return static_cast<int64_t>(st.st_size) == e.size ? UploadFailure::None : UploadFailure::Changed;
}

} // namespace

bool CUploadJournal::DropCopies()
{
    // Copies left by an older version, which kept one entry per put, or by one file queued
    // twice in a run: the newest stays. Found through the paths' index, without reading the
    // table into memory: one pass over the index tells whether there are any (a journal has
    // none, mostly), and only then is each entry looked up.
    bool any = false;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT 1 FROM uploads GROUP BY local_path, remote_path HAVING count(*) > 1 LIMIT 1", -1,
                           &stmt, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_step(stmt);
        any = rc == SQLITE_ROW || rc != SQLITE_DONE; // unsure: look them up
    } else
        any = true;
    sqlite3_finalize(stmt);
    if (any && sqlite3_exec(m_db,
                     "DELETE FROM uploads WHERE EXISTS (SELECT 1 FROM uploads AS newer WHERE "
                     "newer.local_path = uploads.local_path AND newer.remote_path = uploads.remote_path AND "
                     "newer.id > uploads.id)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failed("delete");
        return false;
    }
    return true;
}

int64_t CUploadJournal::CountUnfinishedFiles()
{
    Flush();
    if (!m_error.empty())
        return 0;
    sqlite3_stmt* stmt = nullptr;
    int64_t count = 0;
    if (sqlite3_prepare_v2(m_db, "SELECT count(*) FROM uploads WHERE state BETWEEN 0 AND 3 AND size >= 0", -1, &stmt,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        count = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return count;
}

CJournalResume CUploadJournal::LoadBatch(int64_t& afterId, size_t limit, int64_t minId)
{
    // Read even once writing has failed: what was committed is still there to be sent.
    CJournalResume out;
    Flush();
    if (afterId < minId)
        afterId = minId;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT id, local_path, remote_path, move_folder, size, stamp_size, stamp_mtime_ns, "
                           "stamp_inode, stamp_device, state, failure, status, queued_at, changed_at "
                           "FROM uploads WHERE id > ?1 ORDER BY id LIMIT ?2",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        Failed("read");
        return out;
    }
    sqlite3_bind_int64(stmt, 1, afterId);
    sqlite3_bind_int64(stmt, 2, static_cast<int64_t>(std::max<size_t>(limit, 1)));
    std::vector<CJournalEntry> nowFailed;
    std::vector<int64_t> gone; // files found moved
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        CJournalEntry e;
        ReadEntryColumns(stmt, e);
        afterId = e.id;
        const int64_t state = sqlite3_column_int64(stmt, 9);
        const int64_t failure = sqlite3_column_int64(stmt, 10);
        e.failure = failure > 0 && failure <= static_cast<int64_t>(UploadFailure::PathTooLong)
                        ? static_cast<UploadFailure>(failure)
                        : UploadFailure::SendFailed;
        e.status = static_cast<int32_t>(sqlite3_column_int(stmt, 11));
        e.queuedAtMs = sqlite3_column_int64(stmt, 12);
        e.changedAtMs = sqlite3_column_int64(stmt, 13);
        if (state == kFailedState) {
            e.state = UploadState::Failed;
            out.failed.push_back(std::move(e));
            continue;
        }
        e.state = UploadState::Failed;
        if (!Provable(e, static_cast<int>(std::clamp<int64_t>(state, -1, 100)))) {
            // Nothing this version wrote: it is told as a failure, never sent.
            e.failure = UploadFailure::ReadError;
            e.status = EINVAL;
            nowFailed.push_back(e);
            out.failed.push_back(std::move(e));
            continue;
        }
        e.state = static_cast<UploadState>(state);
        int32_t status = 0;
        if (const UploadFailure why = CheckFile(e, status); why != UploadFailure::None) {
            if (why == UploadFailure::ReadError && status == ENOENT && !e.moveFolder.empty() && e.stamp.size >= 0) {
                // Confirmed and moved, with the run ending before its entry left.
                std::string movedTo = FindMovedCopy(e.localPath, e.moveFolder, e.remotePath, e.stamp.size, e.stamp.mtimeNs,
                                                    e.stamp.inode, e.stamp.device);
                if (!movedTo.empty()) {
                    gone.push_back(e.id);
                    e.state = UploadState::Confirmed;
                    out.moved.push_back({std::move(e), std::move(movedTo)});
                    continue;
                }
            }
            e.state = UploadState::Failed;
            e.failure = why;
            e.status = why == UploadFailure::ReadError ? status : 0;
            nowFailed.push_back(e);
            out.failed.push_back(std::move(e));
            continue;
        }
        out.unfinished.push_back(std::move(e));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        Failed("read");
        return out;
    }
    for (const CJournalEntry& e : nowFailed) {
        CUploadRequest r;
        r.journalId = e.id;
        Settled(r, UploadState::Failed, e.failure, e.status);
    }
    for (int64_t id : gone)
        Forget(id);
    Flush();
    return out;
}

bool CUploadJournal::LoadWaiting(int64_t& afterId, int64_t lastId, size_t limit,
                                 std::vector<std::shared_ptr<CUploadRequest>>& out)
{
    if (afterId >= lastId)
        return true;
    WriteDeferred(); // chosen by their state: it must be the one told
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT id, local_path, remote_path, move_folder, size, stamp_size, stamp_mtime_ns, "
                           "stamp_inode, stamp_device FROM uploads WHERE id > ?1 AND id <= ?2 AND state BETWEEN 0 AND 2 "
                           "ORDER BY id LIMIT ?3",
                           -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_int64(stmt, 1, afterId);
    sqlite3_bind_int64(stmt, 2, lastId);
    sqlite3_bind_int64(stmt, 3, static_cast<int64_t>(std::max<size_t>(limit, 1)));
    size_t read = 0;
    int64_t at = afterId;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        CJournalEntry e;
        ReadEntryColumns(stmt, e);
        at = e.id;
        out.push_back(e.Request());
        ++read;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        return false;
    afterId = read < std::max<size_t>(limit, 1) ? lastId : at;
    return true;
}

void CUploadJournal::ForgetWaiting(int64_t afterId, int64_t lastId)
{
    if (afterId >= lastId)
        return;
    DeleteWhere("DELETE FROM uploads WHERE id > ?1 AND id <= ?2 AND state BETWEEN 0 AND 2", [&](sqlite3_stmt* stmt) {
        sqlite3_bind_int64(stmt, 1, afterId);
        sqlite3_bind_int64(stmt, 2, lastId);
    });
}

CJournalResume CUploadJournal::LoadUnfinished()
{
    CJournalResume all;
    int64_t after = 0;
    if (!DropCopies())
        return all;
    for (;;) {
        CJournalResume batch = LoadBatch(after, 4096);
        if (batch.unfinished.empty() && batch.failed.empty() && batch.moved.empty())
            break;
        auto append = [](auto& to, auto& from) { to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end())); };
        append(all.unfinished, batch.unfinished);
        append(all.failed, batch.failed);
        append(all.moved, batch.moved);
    }
    return all;
}

} // namespace talvex
