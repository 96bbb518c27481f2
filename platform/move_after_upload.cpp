#include "platform/move_after_upload.h"

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

// Copies source to target through a temporary file beside target that takes target's name
// only once all of it is on disk: a copy that fails part-way (a full disk) leaves nothing
// under the move folder that could pass for the file.
std::error_code CopyBeside(const std::string& source, const std::string& target)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return LastError();
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        const std::error_code ec = LastError();
        ::close(in);
        return ec;
    }
    std::string temp = target + ".XXXXXX";
    const int out = ::mkstemp(temp.data());
    if (out < 0) {
        const std::error_code ec = LastError();
        ::close(in);
        return ec;
    }
    std::error_code ec;
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
    if (!ec && ::fsync(out) != 0)
        ec = LastError();
    if (::close(out) != 0 && !ec)
        ec = LastError();
    ::close(in);
    if (!ec && ::rename(temp.c_str(), target.c_str()) != 0)
        ec = LastError();
    if (ec)
        ::unlink(temp.c_str());
    return ec;
}

} // namespace

std::string FreeTargetName(const std::string& target)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec)))
        return target;
    for (int n = 1; n < 1000000; ++n) {
        const std::string candidate = target + "_[" + std::to_string(n) + "]";
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

    const std::string name = FreeTargetName(target.string());
    if (name.empty())
        return fail("no free name");

    fs::rename(localPath, name, ec);
    if (ec == std::errc::cross_device_link) {
        // Another volume: copy, then remove the original only once the copy is complete.
        ec = CopyBeside(localPath, name);
        if (!ec)
            fs::remove(localPath, ec);
    }
    if (ec)
        return fail(ec.message());
    return name;
}

} // namespace talvex
