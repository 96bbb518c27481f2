#include "platform/plugin_dirs.h"

#include <filesystem>

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
