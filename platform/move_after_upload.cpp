#include "platform/move_after_upload.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace talvex {

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
        ec.clear();
        fs::copy_file(localPath, name, fs::copy_options::none, ec);
        if (!ec)
            fs::remove(localPath, ec);
    }
    if (ec)
        return fail(ec.message());
    return name;
}

} // namespace talvex
