#include "platform/whole_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

bool ReadFileBounded(const std::string& path, size_t maxBytes, std::string& out)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (out.size() + static_cast<size_t>(got) > maxBytes) {
            ok = false;
            break;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

bool WriteFileReplacing(const std::string& path, std::string_view bytes, mode_t mode)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0;
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (ok && left > 0) {
        const ssize_t put = ::write(fd, p, left);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        p += put;
        left -= static_cast<size_t>(put);
    }
    if (ok && ::fsync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace talvex
