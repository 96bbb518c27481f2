#include "platform/log.h"

#include "platform/workdir.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex g_configMutex; // guards the two settings below, not the writing
std::function<std::time_t()> g_clock;
std::string g_base; // "<folder>/talvex", computed once
bool g_baseKnown = false;

std::time_t Now()
{
    std::lock_guard lock(g_configMutex);
    return g_clock ? g_clock() : std::time(nullptr);
}

std::string Base()
{
    std::lock_guard lock(g_configMutex);
    if (!g_baseKnown) {
        std::string dir = talvex::AppDir();
        if (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        g_base = dir + "/talvex";
        g_baseKnown = true;
    }
    return g_base;
}

std::string FileNameFor(const std::string& base, const std::tm& local)
{
    char date[20] = {};
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    return base + "." + date + ".log";
}

// The log names the user's files and folders: it is readable by its owner only, whatever the
// umask, and a file left wider by an earlier version is narrowed on its next line.
int OpenLogFile(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0 && st.st_uid == ::geteuid())
        ::fchmod(fd, st.st_mode & 0700);
    return fd;
}

std::FILE* OpenAppend(const std::string& name)
{
    int fd = OpenLogFile(name);
    if (fd < 0)
        fd = OpenLogFile(name); // one retry, then the line is lost
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::fdopen(fd, "a");
    if (!f)
        ::close(fd);
    return f;
}

} // namespace

namespace talvex {

void SetLogClock(std::function<std::time_t()> clock)
{
    std::lock_guard lock(g_configMutex);
    g_clock = std::move(clock);
}

void SetLogFolderForTesting(const std::string& folder)
{
    std::lock_guard lock(g_configMutex);
    std::string dir = folder;
    if (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    g_base = dir + "/talvex";
    g_baseKnown = true;
}

std::string LogFileName(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    return FileNameFor(Base(), local);
}

} // namespace talvex

void Log(const char* format, ...)
{
    const std::time_t t = Now();
    std::tm local{};
    localtime_r(&t, &local);

    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    // Format the whole line first and write it with one call, so that lines of two threads
    // never interleave inside the file.
    std::string line = std::string("[") + stamp + "][N] ";
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n > 0) {
        const size_t prefix = line.size();
        line.resize(prefix + static_cast<size_t>(n) + 1);
        std::vsnprintf(line.data() + prefix, static_cast<size_t>(n) + 1, format, args);
        line.resize(prefix + static_cast<size_t>(n));
    }
    va_end(args);

    std::FILE* f = OpenAppend(FileNameFor(Base(), local));
    if (!f)
        return;
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
}
