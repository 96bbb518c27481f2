#include "platform/plugin_dirs.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

std::vector<std::string> PluginDirs(const std::string& programDir)
{
    std::vector<std::string> dirs;
    if (programDir.empty())
        return dirs;
    // "/usr/bin", "/usr/bin/", "/usr//bin/." all name the same folder.
    std::filesystem::path dir = std::filesystem::path(programDir).lexically_normal();
    if (!dir.has_filename())
        dir = dir.parent_path(); // drop the empty last element a trailing '/' leaves
    std::string own = dir.string();
    if (own.empty() || own.back() != '/')
        own += '/';
    dirs.push_back(own);

    if (dir.filename() == "bin") {
        std::filesystem::path installed = dir.parent_path() / kInstalledPluginSubdir;
        std::string text = installed.lexically_normal().string();
        if (text.back() != '/')
            text += '/';
        dirs.push_back(text);
    }
    return dirs;
}

} // namespace talvex

namespace talvex {

std::string UntrustedPluginReason(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return (st.st_mode & S_IWOTH) ? "other users may write to it" : "its group may write to it";
    return {};
}

} // namespace talvex
