#include "devserver/server_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace talvex::devserver {
namespace {
std::atomic<bool> g_quiet{false};
std::mutex g_mutex;
} // namespace

void SetServerLogQuiet(bool quiet)
{
    g_quiet = quiet;
}

void ServerLog(const char* format, ...)
{
    if (g_quiet)
        return;
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::lock_guard lock(g_mutex);
    std::fprintf(stderr, "[%s] %s", stamp, line);
    std::fflush(stderr);
}

} // namespace talvex::devserver
