// ls, search and check: what the account holds, and what the web user check tells.

#include "cli/command_groups.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "cli/session.h"
#include "platform/ole_date.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace talvex::cli {
namespace {

void PrintEntries(const CRemoteEntryList& entries, const std::string& folder)
{
    for (const CRemoteEntry& e : entries) {
        if (JsonOutput()) {
            EmitJson(EntryJson(e, folder));
            continue;
        }
        CalendarTime t;
        char stamp[32] = "0000-00-00 00:00:00";
        if (OleDateToSystemTime(e.modified, t))
            std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                          t.minute, t.second);
        std::cout << (e.IsFolder() ? 'd' : '-') << '\t' << e.size << '\t' << stamp << '\t' << e.name << '\n';
    }
}

// A listing the server refused: a folder that is not there is told as sync check tells a
// missing path, any other refusal (a path above the root, a file) with its status.
void TellRefusedListing(int status, const std::string& folder)
{
    if (status == 204)
        PrintErrorText(std::string(LoadString(251)) + ": " + folder);
    else
        PrintErrorText("서버가 요청을 거절했습니다 [" + std::to_string(status) + "]: " + folder);
}

} // namespace

int CmdCheck(const Options& o)
{
    Session session(o);
    LogonInfo info;
    if (int rc = session.CheckUser(info); rc != kExitOk)
        return rc;
    if (JsonOutput()) {
        Json account = JsonObject("account");
        account["host_ip"] = info.hostIp;
        account["service_type"] = info.serviceType;
        account["user_root"] = info.userRoot;
        account["serviceset_id"] = info.serviceSetId;
        account["use_drm"] = info.useDrm;
        EmitJson(account);
        return kExitOk;
    }
    std::cout << "HOST_IP=" << info.hostIp << "\nSERVICE_TYPE=" << info.serviceType << "\nUSER_ROOT=" << info.userRoot
              << "\nSERVICESET_ID=" << info.serviceSetId << "\nUSE_DRM=" << info.useDrm << '\n';
    return kExitOk;
}

int CmdList(const Options& o, bool search)
{
    Session session(o);
    if (int rc = session.Open(true, false); rc != kExitOk)
        return rc;
    std::unique_ptr<CRemoteEntryList> entries;
    const std::string dir = o.args.empty() ? std::string("/") : o.args[0];
    if (!search && dir == "/") {
        entries = session.TakeRootListing();
    } else {
        std::optional<Report> r = search ? CommandRequest(session, UM_SEARCH, UM_SEARCH, o.searchIn, o.args[0])
                                         : CommandRequest(session, UM_BROWSE, UM_BROWSE, dir);
        if (!r)
            return session.LastError();
        if (r->code != 200) {
            TellRefusedListing(r->code, search ? o.searchIn : dir);
            return kExitRefused;
        }
        entries = std::move(r->entries);
    }
    if (entries)
        PrintEntries(*entries, search ? o.searchIn : dir);
    return kExitOk;
}

} // namespace talvex::cli
