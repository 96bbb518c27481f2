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

// Why a plug-in file, or a folder of plug-ins, must not be loaded: the group or other users
// may write to it, or it belongs to a user other than the one running the program or root
// (either could put their code into the program). Empty when it may be loaded or is not there.
std::string UntrustedPluginReason(const std::string& path);

} // namespace talvex
