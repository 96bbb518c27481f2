#include "platform/move_after_upload.h"

#include "platform/publish_file.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace talvex {
namespace {

std::error_code LastError() { return std::error_code(errno, std::generic_category()); }

// Another volume: copies source to a temporary file in the target's folder (same mode and
// modification time as the source), and gives the copy the first free name only once all of
// it is on disk: a copy that fails part-way (a full disk) leaves nothing under the move folder
// that could pass for the file, and the copy never replaces a file that appeared meanwhile.
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
    std::string temp;
    const int out = CreateUniqueFile(target + ".", 0600, temp);
    if (out < 0) {
        ec = LastError();
        ::close(in);
        return {};
    }
    if (::fchmod(out, st.st_mode & 07777) != 0)
        ec = LastError();
    char buffer[65536];
    while (!ec) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ec = LastError();
            break;
        }
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got && !ec;) {
            const ssize_t put = ::write(out, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put < 0)
                ec = LastError();
            else
                done += put;
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (!ec && ::futimens(out, times) != 0)
        ec = LastError();
    if (!ec && ::fsync(out) != 0)
        ec = LastError();
    if (::close(out) != 0 && !ec)
        ec = LastError();
    ::close(in);
    std::string name;
    if (!ec)
        name = PublishUnderFreeName(temp, [&](int n) { return SuffixedName(target, n); }, ec);
    if (ec)
        ::unlink(temp.c_str());
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
    if (moveFolder.empty() || remoteName.empty())
        return fail("no move folder or name");

    // The remote name is relative to the upload's base folder; never let it climb out of the
    // move folder.
    fs::path relative;
    for (const auto& part : fs::path(remoteName).relative_path()) {
        if (part == ".." || part == ".")
            return fail("unsafe remote name");
        if (!part.empty())
            relative /= part;
    }
    if (relative.empty())
        return fail("no file name");

    const fs::path target = fs::path(moveFolder) / relative;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec)
        return fail(ec.message());

    // The name is taken by the rename itself, never looked up first: a file that appears under
    // it meanwhile (another move, the user) is never replaced.
    const std::string base = target.string();
    std::string name = PublishUnderFreeName(localPath, [&](int n) { return SuffixedName(base, n); }, ec);
    if (ec == std::errc::cross_device_link) {
        // Another volume: copy, then remove the original only once the copy is complete.
        ec.clear();
        name = CopyBeside(localPath, base, ec);
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

} // namespace talvex
