#pragma once
// The folders whose shared libraries are loaded as plug-ins, in load order: the program's
// own folder, then, for a program installed as <prefix>/bin/talvex, <prefix>/lib/talvex/plugins.
// A program run from any other folder (a build tree, say) has only its own folder.

#include <string>
#include <vector>

namespace talvex {

// Plug-in folder of an installation, relative to its prefix.
inline constexpr const char* kInstalledPluginSubdir = "lib/talvex/plugins";

// programDir: the folder of the executable (ExecutableDir()). Every folder returned ends in
// '/'; an empty programDir gives no folder.
std::vector<std::string> PluginDirs(const std::string& programDir);

} // namespace talvex
