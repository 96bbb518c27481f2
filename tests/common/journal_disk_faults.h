#pragma once
// The upload journal's file layer failing on every machine, in this process: SQLite's unix
// layer makes its system calls through a table that may be changed. While a DiskFaults lives,
// `readOnly` opens every file for reading only (as on a read-only disk) and `budget` is how
// many bytes may still be written (-1: no limit; a full disk after).

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace talvex::test {

struct DiskFaults {
    static inline bool readOnly = false;
    static inline long long budget = -1;

    static int Open(const char* name, int flags, int mode)
    {
        if (readOnly && (flags & (O_RDWR | O_WRONLY | O_CREAT))) {
            errno = EROFS;
            return -1;
        }
        return ::open(name, flags, mode);
    }
    static bool Allow(size_t& n)
    {
        if (budget < 0)
            return true;
        if (budget == 0) {
            errno = ENOSPC;
            return false;
        }
        n = std::min<size_t>(n, static_cast<size_t>(budget));
        budget -= static_cast<long long>(n);
        return true;
    }
    static ssize_t Write(int fd, const void* b, size_t n) { return Allow(n) ? ::write(fd, b, n) : -1; }
    static ssize_t PWrite(int fd, const void* b, size_t n, off_t at) { return Allow(n) ? ::pwrite(fd, b, n, at) : -1; }
    static ssize_t PWrite64(int fd, const void* b, size_t n, off64_t at)
    {
        return Allow(n) ? ::pwrite64(fd, b, n, at) : -1;
    }

    DiskFaults()
    {
        sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
        vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(&Open));
        vfs->xSetSystemCall(vfs, "write", reinterpret_cast<sqlite3_syscall_ptr>(&Write));
        vfs->xSetSystemCall(vfs, "pwrite", reinterpret_cast<sqlite3_syscall_ptr>(&PWrite));
        vfs->xSetSystemCall(vfs, "pwrite64", reinterpret_cast<sqlite3_syscall_ptr>(&PWrite64));
    }
    ~DiskFaults()
    {
        sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
        for (const char* call : {"open", "write", "pwrite", "pwrite64"})
            vfs->xSetSystemCall(vfs, call, nullptr);
        readOnly = false;
        budget = -1;
    }
};

} // namespace talvex::test
