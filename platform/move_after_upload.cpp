#include "platform/move_after_upload.h"

#include "platform/move_target.h"
#include "platform/publish_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace talvex {
namespace {

// The largest number tried after a name before giving up.
constexpr int kMaxNumber = 1000000;
constexpr std::string_view kTempStart = ".talvex-move-";
constexpr size_t kTempRandomChars = 6; // as CreateUniqueFile makes them

std::atomic<MoveOpenNamelessCall> g_openNameless{nullptr};
std::atomic<MoveWriteCall> g_write{nullptr};

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

int SystemOpenNameless(const char* folder, mode_t mode)
{
    return ::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

// This computer's name as it goes into a temporary name: letters, digits, '.', '-' and '_'
// only. A folder on a shared volume may hold copies of other computers' processes, whose
// process ids mean nothing here.
const std::string& HostTag()
{
    static const std::string tag = [] {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
            return std::string("localhost");
        std::string out;
        for (const char* c = name; *c && out.size() < 64; ++c) {
            const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                               *c == '.' || *c == '-' || *c == '_';
            out += plain ? *c : '_';
        }
        return out;
    }();
    return tag;
}

bool IsAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The process that owns a temporary copy named `name` of this computer, or 0 when the name is
// not exactly one.
pid_t TempOwner(std::string_view name)
{
    if (name.substr(0, kTempStart.size()) != kTempStart)
        return 0;
    name.remove_prefix(kTempStart.size());
    long long pid = 0;
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9' && digits < 10)
        pid = pid * 10 + (name[digits++] - '0');
    if (digits == 0 || name[0] == '0' || pid > std::numeric_limits<pid_t>::max())
        return 0;
    name.remove_prefix(digits);
    const std::string& host = HostTag();
    if (name.size() != 1 + host.size() + 1 + kTempRandomChars || name[0] != '@' || name.substr(1, host.size()) != host ||
        name[1 + host.size()] != '-')
        return 0;
    for (char c : name.substr(host.size() + 2))
        if (!IsAlnum(c))
            return 0;
    return static_cast<pid_t>(pid);
}

// Removes the temporary copies in folder whose process is gone: a move that was killed while
// copying on a file system without nameless files. Only regular files named exactly as this
// computer's temporary copies are touched, and only when their process no longer exists.
void RemoveOrphanedCopies(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t owner = TempOwner(entry->d_name);
        if (owner <= 0 || !(::kill(owner, 0) != 0 && errno == ESRCH))
            continue;
        struct stat st {};
        if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(fd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// Gives the nameless file fd the name `name`; 0 or the error number (EEXIST when it is taken).
int LinkNameless(int fd, const std::string& name)
{
    // Through /proc any process may link it; AT_EMPTY_PATH needs a privilege, so it is only the
    // way out where /proc is not mounted.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return 0;
    int error = errno;
    if (error == ENOENT && ::access(self.c_str(), F_OK) != 0) {
        if (::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        error = errno;
    }
    return error;
}

// Links the nameless file fd under the first of target, target_[1], ... that nothing has.
std::string LinkUnderFreeName(int fd, const std::string& target, std::error_code& ec)
{
    for (int n = 0; n <= kMaxNumber; ++n) {
        const std::string name = SuffixedName(target, n);
        const int error = LinkNameless(fd, name);
        if (error == 0)
            return name;
        if (error != EEXIST) {
            ec = std::error_code(error, std::generic_category());
            return {};
        }
    }
    ec = std::make_error_code(std::errc::file_exists);
    return {};
}

// Writes all of the source's bytes to out.
void CopyBytes(int in, int out, std::error_code& ec)
{
    const MoveWriteCall hook = g_write.load();
    const MoveWriteCall write = hook ? hook : [](int fd, const void* data, size_t size) { return ::write(fd, data, size); };
    std::vector<char> buffer(1 << 16);
    while (!ec) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ec = LastError();
            return;
        }
        if (got == 0)
            return;
        for (ssize_t done = 0; done < got && !ec;) {
            const ssize_t put = write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                ec = LastError();
            else if (put == 0)
                ec = std::make_error_code(std::errc::no_space_on_device);
            else
                done += put;
        }
    }
}

// Makes the entries of folder durable, so that a published name outlives a crash before the
// original is removed. File systems that cannot sync a folder are taken at their word.
void SyncFolder(const std::string& folder, std::error_code& ec)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        ec = LastError();
        return;
    }
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS && errno != EOPNOTSUPP)
        ec = LastError();
    ::close(fd);
}

// Another volume: copies source into the target's folder (same mode and modification time as
// the source) and gives the copy the first free name only once all of it is on disk. The copy
// is nameless meanwhile, or where the file system cannot keep a nameless file, it has a hidden
// name of this process which a failed copy removes. Either way a copy that fails part-way (a
// full disk, a killed process) leaves nothing that could pass for the file, and the copy never
// replaces a file that appeared meanwhile. The name is returned with ec set when the copy is
// published but its folder could not be synced.
std::string CopyBeside(const std::string& source, const std::string& target, std::error_code& ec)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        ec = LastError();
        return {};
    }
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        ec = LastError();
        ::close(in);
        return {};
    }
    const std::string folder = fs::path(target).parent_path().string();
    const MoveOpenNamelessCall openHook = g_openNameless.load();
    std::string temp; // empty while the copy is nameless
    int out = (openHook ? openHook : SystemOpenNameless)(folder.c_str(), 0600);
    if (out < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
        out = CreateUniqueFile((fs::path(folder) / MoveTempNamePrefix(::getpid())).string(), 0600, temp);
    if (out < 0) {
        ec = LastError();
        ::close(in);
        return {};
    }
    if (::fchmod(out, st.st_mode & 07777) != 0)
        ec = LastError();
    CopyBytes(in, out, ec);
    ::close(in);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!ec && ::futimens(out, times) != 0)
        ec = LastError();
    if (!ec && ::fsync(out) != 0)
        ec = LastError();

    std::string name;
    if (temp.empty()) {
        if (!ec)
            name = LinkUnderFreeName(out, target, ec);
        ::close(out); // the bytes are on disk already; a failed copy goes with the descriptor
    } else {
        if (::close(out) != 0 && !ec)
            ec = LastError();
        if (!ec)
            name = PublishUnderFreeName(temp, [&](int n) { return SuffixedName(target, n); }, ec);
        if (ec)
            ::unlink(temp.c_str());
    }
    if (ec)
        return {};
    // From here on the copy has its name: a failure leaves it there, and the caller the original.
    SyncFolder(folder, ec);
    return name;
}

} // namespace

std::string FreeTargetName(const std::string& target)
{
    std::error_code ec;
    for (int n = 0; n < 1000000; ++n) {
        const std::string candidate = SuffixedName(target, n);
        if (!fs::exists(fs::symlink_status(candidate, ec)))
            return candidate;
    }
    return {};
}

std::string MoveAfterUpload(const std::string& localPath, const std::string& moveFolder,
                            const std::string& remoteName, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return std::string();
    };
    // The remote name is relative to the upload's base folder; it never climbs out of the
    // move folder.
    std::string why;
    const fs::path target = MoveTarget(moveFolder, remoteName, &why);
    if (target.empty())
        return fail(why);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec)
        return fail(ec.message());
    RemoveOrphanedCopies(target.parent_path().string());

    // The name is taken by the rename itself, never looked up first: a file that appears under
    // it meanwhile (another move, the user) is never replaced.
    const std::string base = target.string();
    std::string name = PublishUnderFreeName(localPath, [&](int n) { return SuffixedName(base, n); }, ec);
    if (ec == std::errc::cross_device_link) {
        // Another volume: copy, then remove the original only once the copy is complete.
        ec.clear();
        name = CopyBeside(localPath, base, ec);
        if (!name.empty() && ec)
            return fail("copied to " + name + " but its folder cannot be synced, the original stays: " + ec.message());
        if (!ec && ::unlink(localPath.c_str()) != 0) {
            // The copy is whole under its name; the original stays as well.
            ec = LastError();
            return fail("copied to " + name + " but the original cannot be removed: " + ec.message());
        }
    }
    if (ec)
        return fail(ec.message());
    return name;
}

std::string MoveTempNamePrefix(pid_t owner)
{
    return std::string(kTempStart) + std::to_string(owner) + "@" + HostTag() + "-";
}

void SetMoveCopyCallsForTesting(MoveOpenNamelessCall openNameless, MoveWriteCall write)
{
    g_openNameless.store(openNameless);
    g_write.store(write);
}

} // namespace talvex
