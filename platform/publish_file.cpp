#include "platform/publish_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {
namespace {

// The largest number tried after a name before giving up.
constexpr int kMaxNumber = 1000000;

int SystemRenameNoReplace(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

std::atomic<RenameNoReplaceCall> g_renameCall{nullptr};

// The file systems without RENAME_NOREPLACE: a hard link fails on a taken name as well.
// Where links are not possible either, the name is first reserved by an exclusively created
// empty file, which the rename then replaces.
int LinkNoReplace(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0) {
        if (::unlink(from.c_str()) != 0) {
            const int error = errno;
            ::unlink(to.c_str());
            return error;
        }
        return 0;
    }
    const int linkError = errno;
    if (linkError != EPERM && linkError != EOPNOTSUPP && linkError != ENOSYS && linkError != EMLINK)
        return linkError;
    const int placeholder = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (placeholder < 0)
        return errno;
    ::close(placeholder);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        return error;
    }
    return 0;
}

} // namespace

int RenameNoReplace(const std::string& from, const std::string& to)
{
    const RenameNoReplaceCall call = g_renameCall.load();
    if ((call ? call : SystemRenameNoReplace)(from.c_str(), to.c_str()) == 0)
        return 0;
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP)
        return LinkNoReplace(from, to);
    return error;
}

std::string SuffixedName(const std::string& target, int n)
{
    return n == 0 ? target : target + "_[" + std::to_string(n) + "]";
}

std::string PublishUnderFreeName(const std::string& from, const NameOf& nameOf, std::error_code& ec,
                                 const std::function<bool(const std::string& existing)>& mayReplace)
{
    ec.clear();
    for (int n = 0; n <= kMaxNumber; ++n) {
        const std::string name = nameOf(n);
        const int error = RenameNoReplace(from, name);
        if (error == 0)
            return name;
        if (error != EEXIST) {
            ec = std::error_code(error, std::generic_category());
            return {};
        }
        if (mayReplace && mayReplace(name)) {
            if (::rename(from.c_str(), name.c_str()) == 0)
                return name;
            ec = std::error_code(errno, std::generic_category());
            return {};
        }
    }
    ec = std::make_error_code(std::errc::file_exists);
    return {};
}

int CreateUniqueFile(const std::string& prefix, mode_t mode, std::string& path)
{
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(::getpid())};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = prefix;
        for (int i = 0; i < 6; ++i)
            candidate += kChars[random() % (sizeof kChars - 1)];
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) {
            path = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

void SetRenameNoReplaceCallForTesting(RenameNoReplaceCall call)
{
    g_renameCall.store(call);
}

} // namespace talvex
