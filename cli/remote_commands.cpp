// mkdir, rmdir, rm and mv: one change of the remote tree each, over the command channel.

#include "cli/command_groups.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "cli/session.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"

#include <functional>
#include <iostream>
#include <optional>
#include <string>

namespace talvex::cli {
namespace {

// Opens a session, sends one request over the command channel with the command's arguments
// and maps its answer: 200 is success, anything else is told by `refused` and exits with 1.
// --json: one "change" object per remote change, done or refused with the server's status.
// status: the server's answer; none where it gives none (a refused delete is told by silence).
void EmitChange(const Options& o, const std::string& path, const std::string& to, bool done, std::optional<int> status)
{
    if (!JsonOutput())
        return;
    Json change = JsonObject("change");
    change["command"] = o.command;
    change["path"] = path;
    change["to"] = to.empty() ? Json() : Json(to);
    change["outcome"] = done ? "done" : "refused";
    change["status"] = status ? Json(*status) : Json();
    EmitJson(change);
}

int OneRequest(const Options& o, uint32_t request, uint32_t answer,
               const std::function<void(int status, const CTlxspResponse*)>& refused)
{
    Session session(o);
    if (int rc = session.Open(true, false); rc != kExitOk)
        return rc;
    std::optional<Report> r =
        CommandRequest(session, request, answer, o.args[0], o.args.size() > 1 ? o.args[1] : std::string());
    if (!r)
        return session.LastError();
    const int status = StatusOf(*r);
    EmitChange(o, o.args[0], o.args.size() > 1 ? o.args[1] : std::string(), status == 200, status);
    if (status == 200)
        return kExitOk;
    refused(status, r->response.get());
    return kExitRefused;
}

// The parent folder of a remote path ("/a/b.txt" -> "/a/", "b.txt" -> "/").
std::string ParentFolder(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string("/") : p.substr(0, slash + 1);
}

// The last name of a remote path ("/a/b/" -> "b").
std::string LastName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p.substr(p.rfind('/') + 1);
}

// --dry-run of rm, rmdir and mv: what the change needs is looked up in the listings (a file to
// remove, a folder to remove, a source and a free target to move to), and nothing is changed.
int DryRunChange(const Options& o)
{
    Session session(o);
    if (int rc = session.Open(true, false); rc != kExitOk)
        return rc;
    // The entry a path names, from its parent's listing; none when it is not there. An
    // unanswered listing is the connection's failure.
    bool lost = false;
    auto find = [&](const std::string& path) -> std::optional<CRemoteEntry> {
        std::optional<Report> r = CommandRequest(session, UM_BROWSE, UM_BROWSE, ParentFolder(path));
        if (!r) {
            lost = true;
            return std::nullopt;
        }
        if (r->code == 200 && r->entries)
            for (const CRemoteEntry& e : *r->entries)
                if (e.name == LastName(path))
                    return e;
        return std::nullopt;
    };
    auto tell = [&](const std::string& path, const std::string& to, bool ok, const std::string& why) {
        if (JsonOutput()) {
            Json change = JsonObject("change");
            change["command"] = o.command;
            change["path"] = path;
            change["to"] = to.empty() ? Json() : Json(to);
            change["outcome"] = ok ? "would-change" : "would-fail";
            change["status"] = Json();
            EmitJson(change);
        } else if (ok) {
            std::cout << "would " << o.command << '\t' << path << (to.empty() ? "" : "\t" + to) << '\n';
        }
        if (!ok)
            PrintErrorText(why + ": " + path);
        return ok;
    };
    int failed = 0;
    if (o.command == "mv") {
        const std::optional<CRemoteEntry> source = find(o.args[0]);
        const bool taken = !lost && find(o.args[1]).has_value();
        if (lost)
            return session.LastError();
        if (!tell(o.args[0], o.args[1], source && !taken, !source ? "없습니다" : "이미 존재합니다"))
            ++failed;
    } else {
        const bool folder = o.command == "rmdir";
        for (const std::string& path : o.args) {
            const std::optional<CRemoteEntry> entry = find(path);
            if (lost)
                return session.LastError();
            const bool ok = entry && entry->IsFolder() == folder;
            if (!tell(path, {}, ok, !entry ? "없습니다" : folder ? "폴더가 아닙니다" : "파일이 아닙니다"))
                ++failed;
        }
    }
    return failed ? kExitRefused : kExitOk;
}

} // namespace

int CmdFolder(const Options& o, uint32_t request, uint32_t answer)
{
    if (o.dryRun)
        return DryRunChange(o);
    return OneRequest(o, request, answer, [&](int status, const CTlxspResponse*) {
        if (status == 409)
            PrintErrorText("이미 존재합니다: " + o.args[0]);
        else
            PrintErrorText("서버가 요청을 거절했습니다 [" + std::to_string(status) + "]: " + o.args[0]);
    });
}

int CmdRemove(const Options& o)
{
    if (o.dryRun)
        return DryRunChange(o);
    Session session(o);
    if (int rc = session.Open(true, false); rc != kExitOk)
        return rc;
    int failed = 0;
    for (const std::string& path : o.args) {
        // The channel never reports a refused delete. Listing the parent folder right behind it
        // tells the outcome: that answer follows the delete's on the same connection, so the
        // listing arriving first means the delete was refused.
        session.Command().Post(UM_DELFILE, Cmd(UM_DELFILE, path));
        session.Command().Post(UM_BROWSE, Cmd(UM_BROWSE, ParentFolder(path)));
        std::optional<Report> first = session.WaitCommand(UM_DELFILE_DONE, UM_BROWSE, session.AnswerTimeout());
        if (!first)
            return session.LastError();
        if (first->message == UM_DELFILE_DONE) {
            if (!session.WaitCommand(UM_BROWSE, session.AnswerTimeout()))
                return session.LastError();
            EmitChange(o, path, {}, true, std::nullopt);
            continue;
        }
        EmitChange(o, path, {}, false, std::nullopt);
        PrintErrorText("삭제할 수 없습니다: " + path);
        ++failed;
    }
    return failed ? kExitRefused : kExitOk;
}

int CmdRename(const Options& o)
{
    if (o.dryRun)
        return DryRunChange(o);
    return OneRequest(o, UM_RENAME, UM_RENAME_RESULT, [&](int status, const CTlxspResponse* answer) {
        if (status == 409)
            PrintError(250);
        else
            PrintErrorText(FormatString(249, (answer ? answer->path2 : o.args[1]).c_str()));
    });
}

} // namespace talvex::cli
