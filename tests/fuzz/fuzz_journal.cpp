// Upload journals as a damaged disk or another program may leave them: the input is either
// the file itself, or rows of any type (NULLs, blobs, huge texts, unknown states) in a journal
// that is otherwise sound. Opening must never crash, and a resume may only hand out entries it
// can prove: an absolute local path, a remote path, a state this version writes.
#include "protocol/upload_journal.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::string Folder()
{
    static const std::string folder = [] {
        std::string f = std::filesystem::temp_directory_path() / ("talvex-fuzz-journal-" + std::to_string(::getpid()));
        std::filesystem::create_directories(f);
        return f;
    }();
    return folder;
}

// Binds one value taken from the input: its first byte chooses the type.
void BindFrom(sqlite3_stmt* stmt, int column, const uint8_t*& data, size_t& size)
{
    if (size == 0) {
        sqlite3_bind_null(stmt, column);
        return;
    }
    const uint8_t kind = *data++;
    --size;
    const size_t length = size == 0 ? 0 : std::min<size_t>(size, *data % 64 + (kind & 0x80 ? 4000 : 0));
    switch (kind % 5) {
    case 0: sqlite3_bind_null(stmt, column); break;
    case 1: {
        int64_t v = 0;
        for (size_t i = 0; i < std::min<size_t>(length, 8); ++i)
            v = (v << 8) | data[i];
        sqlite3_bind_int64(stmt, column, v);
        break;
    }
    case 2: sqlite3_bind_double(stmt, column, length ? data[0] / 3.0 : -1.5); break;
    case 3: sqlite3_bind_blob(stmt, column, data, static_cast<int>(length), SQLITE_TRANSIENT); break;
    default: sqlite3_bind_text(stmt, column, reinterpret_cast<const char*>(data), static_cast<int>(length), SQLITE_TRANSIENT);
    }
    data += length;
    size -= length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = Folder() + "/journal.sqlite";
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);
    for (const auto& e : std::filesystem::directory_iterator(Folder()))
        std::filesystem::remove(e.path());
    if (size > 0 && data[0] % 2 == 0) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    } else if (size > 0) {
        { talvex::CUploadJournal::Open(path); } // a sound, empty journal
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, "PRAGMA ignore_check_constraints=ON", nullptr, nullptr, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO uploads (local_path, remote_path, move_folder, size, stamp_size, stamp_mtime_ns, "
                           "stamp_inode, stamp_device, state, failure, status, queued_at, changed_at) "
                           "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
                           -1, &stmt, nullptr);
        ++data;
        --size;
        while (stmt && size > 0) {
            for (int column = 1; column <= 13; ++column)
                BindFrom(stmt, column, data, size);
            sqlite3_step(stmt); // NOT NULL may refuse a row: so be it
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    talvex::CUploadJournal::Opened opened = talvex::CUploadJournal::Open(path);
    if (!opened.journal)
        return 0;
    const talvex::CJournalResume found = opened.journal->LoadUnfinished();
    for (const talvex::CJournalEntry& e : found.unfinished)
        if (e.localPath.empty() || e.localPath[0] != '/' || e.remotePath.empty() ||
            static_cast<int>(e.state) > static_cast<int>(talvex::UploadState::Answered))
            std::abort(); // resumed without proof
    return 0;
}
