#include "cli/json_output.h"

#include "cli/options.h"
#include "platform/ole_date.h"

#include <cstdio>
#include <ctime>
#include <iostream>

namespace talvex::cli {
namespace {

bool g_json = false;
std::string g_lastError;

} // namespace

void SetJsonOutput(bool on) { g_json = on; }
bool JsonOutput() { return g_json; }

Json JsonObject(const char* type)
{
    Json object;
    object["type"] = type;
    object["version"] = kJsonSchemaVersion;
    return object;
}

void EmitJson(const Json& object)
{
    // Names from the disk may not be UTF-8: their bytes are replaced, never a thrown error.
    std::cout << object.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
}

void NoteErrorText(const std::string& text) { g_lastError = text; }

void EmitJsonError(int code)
{
    if (!g_json || code == kExitOk)
        return;
    Json error = JsonObject("error");
    error["code"] = ExitCodeWord(code);
    error["message"] = g_lastError;
    error["exit_code"] = code;
    std::cerr << error.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

const char* ExitCodeWord(int code)
{
    switch (code) {
    case kExitOk: return "ok";
    case kExitRefused: return "refused";
    case kExitUsage: return "usage";
    case kExitLogonServer: return "logon-server";
    case kExitNoAccount: return "no-account";
    case kExitWrongPassword: return "wrong-password";
    case kExitConnection: return "connection";
    case kExitLoginRefused: return "login-refused";
    case kExitJournal: return "journal";
    default: return "other";
    }
}

const char* FailureWord(UploadFailure why, int32_t status)
{
    switch (why) {
    case UploadFailure::None: return "";
    case UploadFailure::ReadError:
        return status == kReadDanglingLink ? "dangling-link" : status < 0 ? "not-a-file" : "read-error";
    case UploadFailure::SendFailed: return "send-failed";
    case UploadFailure::Cancelled: return "cancelled";
    case UploadFailure::Refused: return "refused";
    case UploadFailure::Unconfirmed: return "unconfirmed";
    case UploadFailure::TimedOut: return "confirm-timed-out";
    case UploadFailure::Changed: return "changed";
    case UploadFailure::NoAnswer: return "no-answer";
    case UploadFailure::NameNotWritable: return "name-not-writable";
    case UploadFailure::BadName: return "bad-name";
    case UploadFailure::PathTooLong: return "path-too-long";
    }
    return "other";
}

std::string IsoTime(OleDate date)
{
    CalendarTime t;
    if (!OleDateToSystemTime(date, t))
        return {};
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1; // the offset that held on that day here
    if (std::mktime(&tm) == static_cast<std::time_t>(-1))
        return {};
    const long offset = tm.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

Json EntryJson(const CRemoteEntry& entry, const std::string& folder)
{
    Json object = JsonObject("entry");
    object["name"] = entry.name;
    std::string path = folder.empty() || folder.back() != '/' ? folder + "/" : folder;
    path = entry.name.rfind('/', 0) == 0 ? entry.name : path + entry.name;
    object["path"] = path;
    object["kind"] = entry.IsFolder() ? "folder" : "file";
    object["size"] = entry.size;
    object["modified"] = IsoTime(entry.modified);
    return object;
}

} // namespace talvex::cli
