#include "platform/move_target.h"

#include "platform/publish_file.h"

#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace talvex {

std::string MoveTarget(const std::string& moveFolder, const std::string& remoteName, std::string* error)
{
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        return std::string();
    };
    if (moveFolder.empty() || remoteName.empty())
        return fail("no move folder or name");
    fs::path relative;
    for (const auto& part : fs::path(remoteName).relative_path()) {
        if (part == ".." || part == ".")
            return fail("unsafe remote name");
        if (!part.empty())
            relative /= part;
    }
    if (relative.empty())
        return fail("no file name");
    return (fs::path(moveFolder) / relative).string();
}

namespace {

// The mount a path is on; 0 when it cannot be told.
uint64_t MountOf(const std::string& path)
{
    struct statx stx{};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_MNT_ID, &stx) != 0 || !(stx.stx_mask & STATX_MNT_ID))
        return 0;
    return stx.stx_mnt_id;
}

} // namespace

std::string FindMovedCopy(const std::string& localPath, const std::string& moveFolder, const std::string& remoteName,
                          int64_t size, int64_t mtimeNs, uint64_t inode, uint64_t device)
{
    const std::string target = MoveTarget(moveFolder, remoteName);
    if (target.empty() || size < 0)
        return {};
    // A move takes the first free name, so the copy is at most one past the names taken then;
    // names freed since may leave gaps, hence a bound rather than the first free name.
    int missing = 0;
    std::optional<uint64_t> sourceMount;
    for (int n = 0; n < 10000 && missing < 64; ++n) {
        const std::string candidate = SuffixedName(target, n);
        struct stat st{};
        if (::lstat(candidate.c_str(), &st) != 0) {
            ++missing;
            continue;
        }
        if (!S_ISREG(st.st_mode) || st.st_size != size)
            continue;
        const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (mtime != mtimeNs)
            continue;
        // Renamed on one volume: the very inode. Copied to another volume, or to another mount
        // of the same one: size and time, kept by the copy.
        if (static_cast<uint64_t>(st.st_dev) == device && static_cast<uint64_t>(st.st_ino) != inode) {
            if (!sourceMount)
                sourceMount = MountOf(fs::path(localPath).parent_path().string());
            const uint64_t mount = MountOf(candidate);
            if (sourceMount == 0 || mount == 0 || mount == sourceMount)
                continue;
        }
        return candidate;
    }
    return {};
}

} // namespace talvex
