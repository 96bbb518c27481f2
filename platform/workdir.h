#pragma once
// The working folder: where the log, the account book and the temporary .tlx files live.
// It is the program's folder, or the per-user data folder when the program folder is not
// writable (an installed copy). Always ends in '/'.

#include <string>

namespace talvex {

const std::string& AppDir();
void SetAppDir(std::string dir);

// Folder of the running executable, ending in '/'.
std::string ExecutableDir();

// The per-user data folder for Talvex ($XDG_DATA_HOME/talvex or ~/.local/share/talvex), ending in '/'.
std::string UserDataDir();

// The program folder when it is writable and not the bin/ folder of an installation, else the
// per-user data folder (created).
std::string ResolveAppDir(const std::string& programDir);

// Appends '/' when missing.
std::string WithTrailingSlash(std::string dir);

} // namespace talvex
