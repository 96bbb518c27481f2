#include "platform/workdir.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {
std::mutex g_mutex;
std::string g_appDir;
bool g_appDirSet = false;

bool MakeDirs(const std::string& path)
{
    std::string partial;
    for (size_t i = 0; i < path.size(); ++i) {
        partial.push_back(path[i]);
        if ((path[i] == '/' && i > 0) || i + 1 == path.size()) {
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}
} // namespace

std::string WithTrailingSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/')
        dir.push_back('/');
    return dir;
}

const std::string& AppDir()
{
    std::lock_guard lock(g_mutex);
    if (!g_appDirSet) {
        g_appDir = ResolveAppDir(ExecutableDir());
        g_appDirSet = true;
    }
    return g_appDir;
}

void SetAppDir(std::string dir)
{
    std::lock_guard lock(g_mutex);
    g_appDir = WithTrailingSlash(std::move(dir));
    g_appDirSet = true;
}

std::string ExecutableDir()
{
    char buf[PATH_MAX + 1] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string UserDataDir()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg && *xdg == '/')
        base = xdg;
    else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.local/share";
    }
    return WithTrailingSlash(base) + "talvex/";
}

std::string ResolveAppDir(const std::string& programDir)
{
    const std::string dir = WithTrailingSlash(programDir);
    // An installed copy (<prefix>/bin/) keeps its data in the user's folder even when it could
    // write beside itself (run as root, it could write into /usr/bin).
    const bool installed = dir.size() >= 5 && dir.compare(dir.size() - 5, 5, "/bin/") == 0;
    if (!installed && ::access(dir.c_str(), W_OK) == 0)
        return dir;
    const std::string user = UserDataDir();
    MakeDirs(user);
    return user;
}

} // namespace talvex
