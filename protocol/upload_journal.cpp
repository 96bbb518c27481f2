#include "protocol/upload_journal.h"

#include "platform/log.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

// The numbers of the states and reasons are stored: they never change meaning.
static_assert(static_cast<int>(UploadState::Waiting) == 0 && static_cast<int>(UploadState::Sending) == 1 &&
              static_cast<int>(UploadState::Sent) == 2 && static_cast<int>(UploadState::Answered) == 3 &&
              static_cast<int>(UploadState::Failed) == 5);
static_assert(static_cast<int>(UploadFailure::ReadError) == 1 && static_cast<int>(UploadFailure::Changed) == 7 &&
              static_cast<int>(UploadFailure::NoAnswer) == 8 && static_cast<int>(UploadFailure::PathTooLong) == 11);

namespace {

int64_t WallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t Fnv1a(const std::string& text, uint64_t hash)
{
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

constexpr const char* kSchema =
    "CREATE TABLE uploads ("
    " id INTEGER PRIMARY KEY,"
    " local_path TEXT NOT NULL,"
    " remote_path TEXT NOT NULL,"
    " move_folder TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " stamp_size INTEGER NOT NULL DEFAULT -1,"
    " stamp_mtime_ns INTEGER NOT NULL DEFAULT 0,"
    " stamp_inode INTEGER NOT NULL DEFAULT 0,"
    " stamp_device INTEGER NOT NULL DEFAULT 0,"
    " state INTEGER NOT NULL,"
    " failure INTEGER NOT NULL DEFAULT 0,"
    " status INTEGER NOT NULL DEFAULT 0,"
    " queued_at INTEGER NOT NULL,"
    " changed_at INTEGER NOT NULL);";

} // namespace

// An absolute, normalised local path: relative ones against the working folder, "." and ".."
// resolved by their text (never through links), no trailing '/'.
std::string AbsoluteLocal(const std::string& path)
{
    if (path.empty())
        return path;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

// A prepared statement, reset after each use.
class CUploadJournal::Statement {
public:
    Statement(sqlite3* db, const char* sql) { m_ok = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(m_stmt); }
    bool Ok() const { return m_ok; }
    Statement& Bind(int i, int64_t v)
    {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v)
    {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
        return *this;
    }
    // Runs it to the end; SQLITE_DONE when it went well.
    int Run()
    {
        int rc;
        while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW) {
        }
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        return rc;
    }
    sqlite3_stmt* Get() { return m_stmt; }

private:
    sqlite3_stmt* m_stmt = nullptr;
    bool m_ok = false;
};

std::shared_ptr<CUploadRequest> CJournalEntry::Request() const
{
    auto r = std::make_shared<CUploadRequest>();
    r->localPath = localPath;
    r->remotePath = remotePath;
    r->moveFolder = moveFolder;
    r->size = size;
    r->stamp = stamp;
    r->journalId = id;
    return r;
}

CUploadItem CJournalEntry::FailedItem() const
{
    CUploadItem item;
    item.request = Request();
    item.state = UploadState::Failed;
    item.failure = failure;
    item.status = status;
    return item;
}

std::string CUploadJournal::FileName(const std::string& webHost, const std::string& serviceSetId,
                                    const std::string& userId)
{
    // Each part with its length in front, so that no two accounts make one text.
    std::string key;
    for (const std::string* part : {&webHost, &serviceSetId, &userId})
        key += std::to_string(part->size()) + ":" + *part + ";";
    char name[40];
    std::snprintf(name, sizeof name, "%016llx.sqlite", static_cast<unsigned long long>(Fnv1a(key, 14695981039346656037ull)));
    return name;
}

std::string CUploadJournal::PathFor(const std::string& dataFolder, const std::string& webHost,
                                    const std::string& serviceSetId, const std::string& userId)
{
    std::string folder = dataFolder;
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder + "journal/" + FileName(webHost, serviceSetId, userId);
}

CUploadJournal::CUploadJournal(std::string path) : m_path(std::move(path)) {}

CUploadJournal::~CUploadJournal()
{
    Flush();
    m_insert.reset();
    m_state.reset();
    m_stateStamp.reset();
    m_fail.reset();
    m_delete.reset();
    m_find.reset();
    m_takeOver.reset();
    if (m_db)
        sqlite3_close_v2(m_db);
}

CUploadJournal::Opened CUploadJournal::Open(const std::string& path, const char* vfs)
{
    namespace fs = std::filesystem;
    Opened out;
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    if (!folder.empty()) {
        const bool made = fs::create_directories(folder, ec);
        if (ec) {
            out.error = "cannot make " + folder.string() + ": " + ec.message();
            return out;
        }
        if (made)
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
    }

    for (int attempt = 0; attempt < 2; ++attempt) {
        // The file is made here, 0600, so that SQLite (which gives its -wal the database's mode)
        // never makes it with the umask's.
        // A journal that cannot be written is no damaged journal: it is said as such and left
        // where it is (its write-ahead log and index need the folder too).
        auto cannotWrite = [&](const std::string& why) {
            out.error = "cannot write " + path + ": " + why;
            out.cannotWrite = true;
            return std::move(out);
        };
        struct stat st{};
        if (::lstat(path.c_str(), &st) != 0) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
                return cannotWrite(std::strerror(errno));
            if (fd < 0 && errno != EEXIST) {
                out.error = "cannot create " + path + ": " + std::strerror(errno);
                return out;
            }
            if (fd >= 0)
                ::close(fd);
        } else if (!S_ISREG(st.st_mode)) {
            out.error = path + " is not a regular file";
            return out;
        } else {
            if (::access(path.c_str(), R_OK | W_OK) != 0)
                return cannotWrite(std::strerror(errno));
            if ((st.st_mode & 077) != 0)
                ::chmod(path.c_str(), 0600);
        }
        if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0)
            return cannotWrite(std::strerror(errno));

        std::unique_ptr<CUploadJournal> journal(new CUploadJournal(path));
        const int rc =
            sqlite3_open_v2(path.c_str(), &journal->m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, vfs);
        if (rc != SQLITE_OK) {
            out.error = "cannot open " + path + ": " + sqlite3_errstr(rc);
            out.cannotWrite = rc == SQLITE_READONLY || rc == SQLITE_CANTOPEN || rc == SQLITE_PERM;
            return out;
        }
        sqlite3* db = journal->m_db;
        if (sqlite3_db_readonly(db, "main") == 1)
            return cannotWrite("read-only");
        sqlite3_busy_timeout(db, 0);
        sqlite3_extended_result_codes(db, 0);

        // Why this file cannot be used: empty when it can; "busy" when another process holds it;
        // io set when the disk rather than the file is what failed (never set aside for that).
        std::string refuse;
        bool io = false;
        bool newer = false;
        auto pragma = [&](const char* sql, std::string* text, int64_t* number) -> int {
            sqlite3_stmt* stmt = nullptr;
            int r = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
            if (r == SQLITE_OK) {
                r = sqlite3_step(stmt);
                if (r == SQLITE_ROW) {
                    if (text && sqlite3_column_text(stmt, 0))
                        *text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
                    if (number)
                        *number = sqlite3_column_int64(stmt, 0);
                    r = SQLITE_OK;
                } else if (r == SQLITE_DONE) {
                    r = SQLITE_OK;
                }
            }
            sqlite3_finalize(stmt);
            return r;
        };
        auto why = [&](int r) -> std::string {
            if (r == SQLITE_BUSY || r == SQLITE_LOCKED)
                return "busy";
            io = r == SQLITE_READONLY || r == SQLITE_IOERR || r == SQLITE_CANTOPEN || r == SQLITE_FULL ||
                 r == SQLITE_PERM || r == SQLITE_NOMEM || r == SQLITE_AUTH || r == SQLITE_NOLFS;
            return sqlite3_errstr(r);
        };

        std::string mode;
        int64_t version = 0;
        int r = pragma("PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr);
        if (r == SQLITE_OK)
            r = pragma("PRAGMA journal_mode=WAL", &mode, nullptr);
        if (r == SQLITE_OK && mode != "wal")
            refuse = "cannot use write-ahead logging (" + mode + ")";
        if (r == SQLITE_OK && refuse.empty())
            r = pragma("PRAGMA user_version", nullptr, &version);
        if (r == SQLITE_OK && refuse.empty()) {
            std::string check;
            r = pragma("PRAGMA quick_check(1)", &check, nullptr);
            if (r == SQLITE_OK && check != "ok")
                refuse = "damaged (" + check + ")";
        }
        if (r != SQLITE_OK)
            refuse = why(r);
        if (refuse.empty() && version > kSchemaVersion) {
            newer = true;
            refuse = "written by a newer version (schema " + std::to_string(version) + ")";
        }
        if (refuse.empty()) {
            int64_t tables = 0;
            r = pragma("SELECT count(*) FROM sqlite_master", nullptr, &tables);
            if (r != SQLITE_OK)
                refuse = why(r);
            else if (version == 0 && tables != 0)
                refuse = "damaged (not a journal)";
            else if (version == 0) {
                const std::string create = std::string("BEGIN IMMEDIATE;") + kSchema + "PRAGMA user_version=" +
                                           std::to_string(kSchemaVersion) + ";COMMIT;";
                r = sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
                if (r != SQLITE_OK) {
                    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
                    refuse = why(r);
                }
            }
        }
        if (refuse.empty()) {
            // One entry per file and paths: found without reading the table (kept by older
            // versions' files too, which know nothing of it).
            r = sqlite3_exec(db, "CREATE INDEX IF NOT EXISTS uploads_by_path ON uploads (local_path, remote_path)",
                             nullptr, nullptr, nullptr);
            if (r != SQLITE_OK)
                refuse = why(r);
        }
        if (refuse.empty()) {
            r = pragma("SELECT coalesce(max(id), 0) FROM uploads", nullptr, &journal->m_floor);
            if (r != SQLITE_OK)
                refuse = why(r);
            journal->m_lastId = journal->m_floor;
        }
        if (refuse.empty() && !journal->Prepare())
            refuse = "damaged (" + std::string(sqlite3_errmsg(db)) + ")";
        if (refuse.empty()) {
            // Takes the lock now and keeps it while the journal is open.
            r = sqlite3_exec(db, "PRAGMA synchronous=NORMAL;BEGIN IMMEDIATE;COMMIT", nullptr, nullptr, nullptr);
            if (r != SQLITE_OK)
                refuse = why(r);
        }
        if (refuse.empty()) {
            out.journal = std::move(journal);
            return out;
        }
        journal.reset(); // closes it
        if (refuse == "busy") {
            out.error = path + " is in use by another process";
            return out;
        }
        if (io)
            return cannotWrite(refuse);
        if (attempt > 0) {
            out.error = "cannot start a new journal at " + path + ": " + refuse;
            return out;
        }
        // Never used, never overwritten: set aside with its write-ahead log, and a new one begins.
        std::string aside = path + (newer ? ".newer-" : ".damaged-") + std::to_string(WallMs() / 1000);
        if (::access(aside.c_str(), F_OK) == 0)
            aside += "-" + std::to_string(::getpid());
        if (::rename(path.c_str(), aside.c_str()) != 0) {
            out.error = "cannot set " + path + " aside (" + refuse + "): " + std::strerror(errno);
            return out;
        }
        ::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
        ::unlink((path + "-shm").c_str());
        Log("upload journal %s refused (%s), kept as %s\n", path.c_str(), refuse.c_str(), aside.c_str());
        out.setAside = aside;
        out.reason = refuse;
    }
    return out;
}

bool CUploadJournal::Prepare()
{
    m_insert = std::make_unique<Statement>(
        m_db, "INSERT INTO uploads (id, local_path, remote_path, move_folder, size, state, queued_at, changed_at) "
              "VALUES (?6, ?1, ?2, ?3, ?4, 0, ?5, ?5)");
    m_find = std::make_unique<Statement>(
        m_db, "SELECT id FROM uploads WHERE local_path = ?1 AND remote_path = ?2 AND (id <= ?3 OR state = 5) "
              "ORDER BY id DESC");
    m_takeOver = std::make_unique<Statement>(
        m_db, "UPDATE uploads SET id = ?5, move_folder = ?2, size = ?3, stamp_size = -1, stamp_mtime_ns = 0, stamp_inode = 0, "
              "stamp_device = 0, state = 0, failure = 0, status = 0, queued_at = ?4, changed_at = ?4 WHERE id = ?1");
    m_state = std::make_unique<Statement>(m_db, "UPDATE uploads SET state = ?2, changed_at = ?3 WHERE id = ?1");
    m_stateStamp = std::make_unique<Statement>(
        m_db, "UPDATE uploads SET state = ?2, changed_at = ?3, size = ?4, stamp_size = ?4, stamp_mtime_ns = ?5, "
              "stamp_inode = ?6, stamp_device = ?7 WHERE id = ?1");
    m_fail = std::make_unique<Statement>(
        m_db, "UPDATE uploads SET state = 5, failure = ?2, status = ?3, changed_at = ?4 WHERE id = ?1");
    m_delete = std::make_unique<Statement>(m_db, "DELETE FROM uploads WHERE id = ?1");
    return m_insert->Ok() && m_state->Ok() && m_stateStamp->Ok() && m_fail->Ok() && m_delete->Ok() && m_find->Ok() &&
           m_takeOver->Ok();
}

void CUploadJournal::Failed(const char* what)
{
    const bool first = m_error.empty();
    if (first) {
        m_error = std::string(what) + ": " + sqlite3_errmsg(m_db);
        Log("upload journal %s: %s; no longer written\n", m_path.c_str(), m_error.c_str());
    }
    if (m_inBatch)
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    m_inBatch = false;
    m_deferred.clear();
    m_pending = 0;
    if (first && m_onFailure)
        m_onFailure(m_error);
}

bool CUploadJournal::Begin()
{
    if (!m_error.empty())
        return false;
    if (m_inBatch)
        return true;
    if (sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failed("begin");
        return false;
    }
    m_inBatch = true;
    m_pending = 0;
    m_batchStartMs = m_clock ? m_clock() : SteadyMs();
    return true;
}

void CUploadJournal::Changed()
{
    if (++m_pending >= m_maxBatch || (m_clock ? m_clock() : SteadyMs()) - m_batchStartMs >= m_maxDelayMs)
        Flush();
}

void CUploadJournal::Flush()
{
    if (!m_inBatch)
        return;
    WriteDeferred();
    if (!m_inBatch)
        return; // a write failed: rolled back
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failed("commit");
        return;
    }
    m_inBatch = false;
    m_pending = 0;
}

void CUploadJournal::Queued(CUploadRequest& request)
{
    if (request.journalId != 0) {
        SetState(request.journalId, static_cast<int>(UploadState::Waiting), nullptr);
        return;
    }
    if (!Begin())
        return;
    if (request.localPath.empty() || request.localPath.front() != '/')
        request.localPath = AbsoluteLocal(request.localPath);
    if (!request.moveFolder.empty() && request.moveFolder.front() != '/')
        request.moveFolder = AbsoluteLocal(request.moveFolder);
    // Nothing to take over in a journal that was empty and has no failures: no look-up.
    if ((m_floor > 0 || m_failedThisRun > 0) && TakeOver(request)) {
        Changed();
        return;
    }
    const int64_t id = m_lastId + 1;
    m_insert->Bind(1, request.localPath).Bind(2, request.remotePath).Bind(3, request.moveFolder).Bind(4, request.size)
        .Bind(5, WallMs()).Bind(6, id);
    if (m_insert->Run() != SQLITE_DONE) {
        Failed("insert");
        return;
    }
    m_lastId = id;
    request.journalId = id;
    Changed();
}

bool CUploadJournal::TakeOver(CUploadRequest& request)
{
    // Live entries of this run are never taken over: each of its requests keeps its own. Its
    // failures are: a file sent again is no longer a failure.
    WriteDeferred(); // the entries it looks at by their state must have it
    std::vector<int64_t> ids;
    m_find->Bind(1, request.localPath).Bind(2, request.remotePath).Bind(3, m_floor);
    int rc;
    while ((rc = sqlite3_step(m_find->Get())) == SQLITE_ROW)
        ids.push_back(sqlite3_column_int64(m_find->Get(), 0));
    sqlite3_reset(m_find->Get());
    sqlite3_clear_bindings(m_find->Get());
    if (rc != SQLITE_DONE) {
        Failed("read");
        return true; // nothing more is written
    }
    if (ids.empty())
        return false;
    // The entry takes a new id, as a new one would: it belongs to this run from now on (a
    // second upload of the file in this run gets an entry of its own, and whatever still names
    // the old id, a row of the fail page, no longer reaches it).
    const int64_t id = m_lastId + 1;
    m_takeOver->Bind(1, ids.front()).Bind(2, request.moveFolder).Bind(3, request.size).Bind(4, WallMs()).Bind(5, id);
    if (m_takeOver->Run() != SQLITE_DONE) {
        Failed("update");
        return true;
    }
    m_lastId = id;
    // Copies left by an older version, which kept one entry per put: the newest stays.
    for (size_t i = 1; i < ids.size(); ++i) {
        m_delete->Bind(1, ids[i]);
        if (m_delete->Run() != SQLITE_DONE) {
            Failed("delete");
            return true;
        }
    }
    request.journalId = id;
    return true;
}

void CUploadJournal::SetState(int64_t id, int state, const CFileStamp* stamp)
{
    if (id == 0 || !Begin())
        return;
    Deferred& d = m_deferred[id];
    d.state = state;
    d.atMs = WallMs();
    if (stamp) {
        d.stamped = true;
        d.stamp = *stamp;
    }
    Changed();
}

void CUploadJournal::WriteDeferred(int64_t id)
{
    const auto it = m_deferred.find(id);
    if (it == m_deferred.end())
        return;
    const Deferred d = it->second;
    m_deferred.erase(it);
    if (!m_inBatch)
        return; // the batch it belonged to was rolled back
    Statement& s = d.stamped ? *m_stateStamp : *m_state;
    s.Bind(1, id).Bind(2, d.state).Bind(3, d.atMs);
    if (d.stamped)
        s.Bind(4, d.stamp.size).Bind(5, d.stamp.mtimeNs).Bind(6, static_cast<int64_t>(d.stamp.inode))
            .Bind(7, static_cast<int64_t>(d.stamp.device));
    if (s.Run() != SQLITE_DONE)
        Failed("update");
}

void CUploadJournal::WriteDeferred()
{
    while (!m_deferred.empty() && m_error.empty())
        WriteDeferred(m_deferred.begin()->first);
    m_deferred.clear();
}

void CUploadJournal::Sending(const CUploadRequest& request)
{
    SetState(request.journalId, static_cast<int>(UploadState::Sending), nullptr);
}

void CUploadJournal::Sent(const CUploadRequest& request)
{
    SetState(request.journalId, static_cast<int>(UploadState::Sent), &request.stamp);
}

void CUploadJournal::Answered(const CUploadRequest& request)
{
    SetState(request.journalId, static_cast<int>(UploadState::Answered), nullptr);
}

void CUploadJournal::Settled(const CUploadRequest& request, UploadState state, UploadFailure why, int32_t status)
{
    if (request.journalId == 0)
        return;
    if (state != UploadState::Failed || why == UploadFailure::Cancelled) {
        Forget(request.journalId);
        return;
    }
    if (!Begin())
        return;
    WriteDeferred(request.journalId); // the stamp of its body stays with the failure
    m_fail->Bind(1, request.journalId).Bind(2, static_cast<int64_t>(why)).Bind(3, status).Bind(4, WallMs());
    if (m_fail->Run() != SQLITE_DONE) {
        Failed("update");
        return;
    }
    ++m_failedThisRun;
    Changed();
}

void CUploadJournal::Forget(int64_t journalId)
{
    if (journalId == 0 || !Begin())
        return;
    m_deferred.erase(journalId);
    m_delete->Bind(1, journalId);
    if (m_delete->Run() != SQLITE_DONE) {
        Failed("delete");
        return;
    }
    Changed();
}

void CUploadJournal::Forget(const std::vector<int64_t>& ids)
{
    for (int64_t id : ids)
        Forget(id);
    Flush();
}

void CUploadJournal::DeleteWhere(const char* sql, const std::function<void(sqlite3_stmt*)>& bind)
{
    if (!Begin())
        return;
    WriteDeferred(); // the rows it chooses by their state must have it
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        Failed("delete");
        return;
    }
    bind(stmt);
    const int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) {
        Failed("delete");
        return;
    }
    Changed();
}

void CUploadJournal::ForgetFailed(const std::string& localPath, const std::string& remotePath)
{
    DeleteWhere("DELETE FROM uploads WHERE local_path = ?1 AND remote_path = ?2 AND state = 5", [&](sqlite3_stmt* stmt) {
        sqlite3_bind_text(stmt, 1, localPath.data(), static_cast<int>(localPath.size()), SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, remotePath.data(), static_cast<int>(remotePath.size()), SQLITE_STATIC);
    });
}

bool CUploadJournal::Probe()
{
    if (!Begin())
        return false;
    // Rewrites the schema version: the first page goes through the write-ahead log again.
    if (sqlite3_exec(m_db, "PRAGMA user_version = 1", nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failed("write");
        return false;
    }
    static_assert(kSchemaVersion == 1);
    Flush();
    return Healthy();
}

void CUploadJournal::ForgetAll()
{
    if (!Begin())
        return;
    m_deferred.clear();
    if (sqlite3_exec(m_db, "DELETE FROM uploads", nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failed("delete");
        return;
    }
    Flush();
}

} // namespace talvex
