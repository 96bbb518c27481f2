// sync and notices: the sync service's check or start with its polled result, and the kept
// notices.

#include "cli/command_groups.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "cli/session.h"
#include "platform/log.h"
#include "platform/profile_reader.h"
#include "platform/text_codec.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"

#include <chrono>
#include <iostream>
#include <string>
#include <vector>
#include <thread>

namespace talvex::cli {
namespace {

using std::chrono::milliseconds;

const char* NoticeWord(int kind)
{
    switch (kind) {
    case kNoticePutFile: return "PUTFILE__";
    case kNoticeDelFile: return "DELFILE__";
    case kNoticeRmDir: return "RMDIR____";
    case kNoticeRename: return "RENAME___";
    case kNoticeMkDir: return "MKDIR____";
    default: return "?";
    }
}

} // namespace

int CmdSync(const Options& o)
{
    Session session(o);
    if (int rc = session.Open(false, false); rc != kExitOk)
        return rc;
    const bool check = o.args[0] == "check";
    const uint32_t start = check ? UM_CHECKSYNC : UM_STARTSYNC;
    if (check)
        Log("Select check sync all\n");
    else
        Log("Select start sync\n");
    session.Control().Post(start, Cmd(start, check && o.args.size() > 1 ? o.args[1] : std::string()));
    std::optional<Report> answer = session.WaitControl(start, session.AnswerTimeout());
    if (!answer)
        return session.LastError();
    if (answer->code != 200) {
        if (answer->code == 204)
            PrintError(251);
        else if (answer->code == 404)
            PrintError(252);
        else
            PrintErrorText(FormatString(check ? 253 : 254, answer->code));
        return kExitRefused;
    }

    // Poll for the result: 203 means not ready yet.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.syncTimeoutSeconds);
    for (;;) {
        std::this_thread::sleep_for(milliseconds(o.pollMs));
        session.Control().Post(UM_GETSYNCED, Cmd(UM_GETSYNCED));
        std::optional<Report> result = session.WaitControl(UM_GETSYNCED, session.AnswerTimeout());
        if (!result)
            return session.LastError();
        if (result->code == 203) {
            if (std::chrono::steady_clock::now() >= deadline) {
                PrintErrorText("동기화 결과를 기다리다 시간이 초과되었습니다");
                return kExitConnection;
            }
            continue;
        }
        if (result->code != 200 || !result->result) {
            PrintError(247);
            return kExitRefused;
        }
        const CSyncNoticeList& list = *result->result;
        Log("total count : %d\n", list.totalCount);
        Log("fail count : %d\n", list.failCount);
        // The failed paths are the numbered keys of the result file.
        const std::string file = session.AnswerDir() + "GETSYNCED.tlx";
        std::vector<std::string> failedPaths;
        for (int i = 1; i <= list.failCount; ++i) {
            const std::string path = ReadProfileString(file, "CheckSync", std::to_string(i), "");
            if (!path.empty())
                failedPaths.push_back(FromWireLossy(path));
        }
        if (JsonOutput()) {
            Json result = JsonObject("sync-result");
            result["job"] = check ? "check" : "start";
            result["total"] = list.totalCount;
            result["failed"] = list.failCount;
            result["failed_paths"] = failedPaths;
            EmitJson(result);
        } else {
            std::cout << "TotalCount=" << list.totalCount << "\nFailCount=" << list.failCount << '\n';
            for (const std::string& path : failedPaths)
                std::cout << path << '\n';
        }
        return list.failCount ? kExitRefused : kExitOk;
    }
}

int CmdNotices(const Options& o)
{
    Session session(o);
    if (int rc = session.Open(false, false); rc != kExitOk)
        return rc;
    session.Control().Post(UM_GETNOTIED, Cmd(UM_GETNOTIED));
    std::optional<Report> r = session.WaitControl(UM_GETNOTIED, session.AnswerTimeout());
    if (!r)
        return session.LastError();
    if (r->keptNotices)
        for (const CSyncNotice& n : r->keptNotices->notices) {
            if (JsonOutput()) {
                Json notice = JsonObject("notice");
                notice["number"] = n.number;
                notice["command"] = NoticeWord(n.kind);
                notice["path"] = n.text;
                EmitJson(notice);
                continue;
            }
            std::cout << n.number << '\t' << NoticeWord(n.kind) << '\t' << n.text << '\n';
        }
    return kExitOk;
}

} // namespace talvex::cli
