#include "drm/protect/atomic_file.h"

#include "platform/publish_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace talvex::drm {

AtomicOutput::~AtomicOutput()
{
    Discard();
}

bool AtomicOutput::Open(const std::string& finalPath, std::string& error)
{
    Discard();
    const size_t slash = finalPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    if (name.empty()) {
        error = "no output file name in " + finalPath;
        return false;
    }
    // Created with the mode any new file of the user gets (0666 trimmed by the umask), as the
    // output keeps it once renamed.
    std::string temp;
    const int fd = CreateUniqueFile(folder + "." + name + ".tlxtmp-", 0666, temp);
    if (fd < 0) {
        error = "cannot create a temporary file in " + (folder.empty() ? std::string(".") : folder) + ": "
                + std::strerror(errno);
        return false;
    }
    m_fd = fd;
    m_tempPath = std::move(temp);
    m_finalPath = finalPath;
    return true;
}

bool AtomicOutput::Write(std::string_view bytes, std::string& error)
{
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + m_tempPath + ": " + std::strerror(n < 0 ? errno : EIO);
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool AtomicOutput::Commit(std::string& error)
{
    if (m_fd < 0) {
        error = "no output open";
        return false;
    }
    if (::fsync(m_fd) != 0 || ::close(m_fd) != 0) {
        m_fd = -1;
        error = "cannot finish " + m_tempPath + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    m_fd = -1;
    if (::rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0) {
        error = "cannot rename the output into " + m_finalPath + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    m_tempPath.clear();
    return true;
}

void AtomicOutput::Discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

long long ReadFull(int fd, char* buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long long>(got);
}

} // namespace talvex::drm
