#pragma once
// The commands of talvex-cli, one group a file; RunCommand (commands.cpp) picks one. Each
// opens its own session and returns the exit code.

#include "cli/options.h"

#include <cstdint>

namespace talvex::cli {

// list_commands.cpp
int CmdCheck(const Options& o);
int CmdList(const Options& o, bool search);

// remote_commands.cpp
int CmdFolder(const Options& o, uint32_t request, uint32_t answer);
int CmdRemove(const Options& o);
int CmdRename(const Options& o);

// put_command.cpp
int CmdPut(const Options& o);

// sync_commands.cpp
int CmdSync(const Options& o);
int CmdNotices(const Options& o);

} // namespace talvex::cli
