#include "protocol/upload_expansion.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

constexpr int kMaxDepth = 256;
constexpr char kLocalSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

// Folder path of a folder order: "<folder>/*.*" or "<folder>".
std::string FolderOfSource(std::string source)
{
    for (const char* pattern : {"/*.*", "\\*.*", "/*"}) {
        const std::string_view p(pattern);
        if (source.size() >= p.size() && source.compare(source.size() - p.size(), p.size(), p) == 0) {
            source.resize(source.size() - p.size());
            break;
        }
    }
    while (source.size() > 1 && source.back() == '/')
        source.pop_back();
    return source;
}

class Expander {
public:
    Expander(const CUploadOrder& order, const UploadRequestSink& sink, const std::atomic<bool>* stop)
        : m_order(order), m_sink(sink), m_stop(stop) {}

    bool Stopped()
    {
        if (m_stop && m_stop->load(std::memory_order_relaxed))
            m_stats.stopped = true;
        return m_stats.stopped;
    }

    void Emit(std::string local, std::string remote, int64_t size, int readError = 0)
    {
        auto request = std::make_unique<CUploadRequest>();
        request->localPath = std::move(local);
        request->remotePath = std::move(remote);
        request->moveFolder = m_order.moveFolder;
        request->size = size;
        request->readError = readError;
        if (readError != 0)
            ++m_stats.unreadable;
        if (size < 0) {
            ++m_stats.folders;
        } else {
            ++m_stats.files;
            m_stats.totalSize += size;
        }
        m_sink(std::move(request));
    }

    // Walks the open folder `dirFd` whose local path is `local` and whose remote path (ending
    // in '/') is `remote`.
    void Walk(int dirFd, std::string& local, std::string& remote, int depth)
    {
        DIR* dir = ::fdopendir(dirFd);
        if (!dir) {
            const int error = errno;
            ::close(dirFd);
            Emit(local, remote, -1, error);
            return;
        }
        const size_t localLen = local.size(), remoteLen = remote.size();
        while (!Stopped()) {
            errno = 0;
            const dirent* e = ::readdir(dir);
            if (!e) {
                if (errno != 0)
                    Emit(local, remote, -1, errno); // the rest of the folder could not be read
                break;
            }
            const char* name = e->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            unsigned char type = e->d_type;
            struct stat st {};
            bool haveStat = false;
            if (type == DT_UNKNOWN || type == DT_LNK) {
                // A link counts as what it points to, but folders are entered only through
                // their real entries, so no link can make the walk loop.
                if (::fstatat(::dirfd(dir), name, &st, 0) != 0) {
                    const int error = errno;
                    local.append(1, '/').append(name);
                    remote.append(name);
                    // A dangling link names a file that is not there: a failure of its own.
                    Emit(local, remote, 0, type == DT_LNK && error == ENOENT ? kReadDanglingLink : error);
                    local.resize(localLen);
                    remote.resize(remoteLen);
                    continue;
                }
                haveStat = true;
                const bool isLink = type == DT_LNK;
                type = S_ISDIR(st.st_mode)   ? int{DT_DIR}
                       : S_ISREG(st.st_mode) ? int{DT_REG}
                                             : static_cast<int>(IFTODT(st.st_mode));
                if (isLink && type == DT_DIR) {
                    ++m_stats.skipped;
                    continue;
                }
            }
            local.append(1, '/').append(name);
            remote.append(name);
            if (type == DT_DIR) {
                remote.push_back('/');
                // Opened before it is announced: a folder that cannot be read is a failure of its
                // own, not an empty folder on the server.
                const int child = depth < kMaxDepth ? ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
                if (child >= 0) {
                    Emit(local, remote, -1); // names hold no '/', the base is already joined
                    Walk(child, local, remote, depth + 1);
                } else {
                    Emit(local, remote, -1, depth < kMaxDepth ? errno : ELOOP);
                }
            } else if (type == DT_REG) {
                if (haveStat || ::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                    Emit(local, remote, static_cast<int64_t>(st.st_size));
                else
                    Emit(local, remote, 0, errno);
            } else {
                // Pipes, sockets, devices: never opened (a FIFO would block), each a failure
                // with its kind.
                const int32_t code = type == DT_FIFO ? kReadFifo : type == DT_SOCK ? kReadSocket : kReadDevice;
                Emit(local, remote, 0, code);
            }
            local.resize(localLen);
            remote.resize(remoteLen);
        }
        ::closedir(dir);
    }

    ExpansionStats Run()
    {
        if (Stopped())
            return m_stats;
        std::string local = m_order.kind == 1 ? FolderOfSource(m_order.source) : m_order.source;
        struct stat st {};
        if (local.empty())
            return m_stats;
        if (::stat(local.c_str(), &st) != 0) {
            // Not on disk: nothing to send. On disk but not readable (a link to itself, a
            // folder above without permission): a failure with its reason.
            const int error = errno;
            struct stat link {};
            if (error == ENOENT && ::lstat(local.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
                Emit(local, JoinUploadPath(m_order.remoteFolder, {}, m_order.name), 0, kReadDanglingLink);
            else if (error != ENOENT && error != ENOTDIR)
                Emit(local, JoinUploadPath(m_order.remoteFolder, {}, m_order.name) + (m_order.kind == 1 ? "/" : ""), m_order.kind == 1 ? -1 : 0, error);
            return m_stats;
        }
        if (S_ISREG(st.st_mode)) {
            Emit(local, JoinUploadPath(m_order.remoteFolder, {}, m_order.name), static_cast<int64_t>(st.st_size));
            return m_stats;
        }
        if (!S_ISDIR(st.st_mode)) {
            Emit(local, JoinUploadPath(m_order.remoteFolder, {}, m_order.name), 0, NotAFileCode(st.st_mode));
            return m_stats;
        }
        // The folder itself first, so that it exists remotely even when it is empty.
        std::string remote = JoinUploadPath(m_order.remoteFolder, {}, m_order.name);
        if (remote.empty() || remote.back() != '/')
            remote.push_back('/');
        const int fd = ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            Emit(local, remote, -1, errno);
            return m_stats;
        }
        if (remote != "/")
            Emit(local, remote, -1);
        else
            remote.clear(); // the base is the remote root: children go right below it
        if (local.size() > 1 && local.back() == '/')
            local.pop_back();
        Walk(fd, local, remote, 0);
        return m_stats;
    }

private:
    const CUploadOrder& m_order;
    const UploadRequestSink& m_sink;
    const std::atomic<bool>* m_stop;
    ExpansionStats m_stats;
};

} // namespace

int32_t NotAFileCode(unsigned mode)
{
    if (S_ISREG(mode) || S_ISDIR(mode))
        return 0;
    if (S_ISFIFO(mode))
        return kReadFifo;
    if (S_ISSOCK(mode))
        return kReadSocket;
    return kReadDevice;
}

std::string JoinUploadPath(std::string_view base, std::string_view relative, std::string_view name)
{
    std::string out;
    out.reserve(base.size() + relative.size() + name.size());
    for (std::string_view part : {base, relative, name}) {
        if (part.empty())
            continue;
        if (!out.empty() && out.back() != '/')
            out.push_back('/'); // parts are folders and a name: never glued together
        for (char c : part) {
            if (c == kLocalSeparator)
                c = '/';
            if (c == '/' && !out.empty() && out.back() == '/')
                continue; // "//" collapsed
            out.push_back(c);
        }
    }
    if (!out.empty() && out.front() == '/')
        out.erase(0, 1);
    return out;
}

ExpansionStats ExpandUploadOrder(const CUploadOrder& order, const UploadRequestSink& sink, const std::atomic<bool>* stop)
{
    return Expander(order, sink, stop).Run();
}

} // namespace talvex
