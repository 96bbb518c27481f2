#include "cli/commands.h"

#include "cli/command_groups.h"
#include "cli/command_util.h"
#include "protocol/message_ids.h"

namespace talvex::cli {

int RunCommand(const Options& o)
{
    const std::string& c = o.command;
    if (c == "check")
        return CmdCheck(o);
    if (c == "ls")
        return CmdList(o, false);
    if (c == "search")
        return CmdList(o, true);
    if (c == "mkdir")
        return CmdFolder(o, UM_MKDIR, UM_MKDIR_RESULT);
    if (c == "rmdir")
        return CmdFolder(o, UM_RMDIR, UM_RMDIR_RESULT);
    if (c == "rm")
        return CmdRemove(o);
    if (c == "mv")
        return CmdRename(o);
    if (c == "put")
        return CmdPut(o);
    if (c == "sync")
        return CmdSync(o);
    if (c == "notices")
        return CmdNotices(o);
    return kExitUsage;
}

} // namespace talvex::cli
