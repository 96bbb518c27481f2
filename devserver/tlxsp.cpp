#include "devserver/tlxsp.h"

#include "devserver/server_log.h"
#include "devserver/store.h"
#include "platform/text_codec.h"
#include "platform/text_util.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fnmatch.h>

namespace talvex::devserver {
namespace {

constexpr size_t kMaxListing = 200000;
constexpr size_t kMaxBodyBytes = size_t{256} << 20;
constexpr int kMaxBadRequests = 16;
// refuse-after-header: how long the connection is held, unread, for the peer to close it.
constexpr int kRefuseHoldMs = 30000;
// answer-close: how long bytes the peer still sends are read and dropped after the FIN, so
// that they do not turn the close into a reset that could cost the peer the answer.
constexpr int kCloseLingerMs = 2000;

std::string Trim(std::string_view s)
{
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    const auto e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}

std::string Upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return s;
}

const char* StatusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 203: return "Result Not Ready";
    case 204: return "No Such File";
    case 400: return "Bad Request";
    case 404: return "No Sync Target";
    case 409: return "Name Exists";
    default: return "Server Error";
    }
}

int StatusOf(StoreStatus s)
{
    switch (s) {
    case StoreStatus::Ok: return 200;
    case StoreStatus::NotFound: return 204;
    case StoreStatus::Exists: return 409;
    case StoreStatus::BadPath:
    case StoreStatus::NotFolder:
    case StoreStatus::IsFolder: return 400;
    case StoreStatus::IoError:
    case StoreStatus::TooMany: return 500;
    }
    return 500;
}

// A DATA-LENGTH value: digits only, at most `max`. -1 when it is anything else.
int64_t ParseLength(const std::string& text, int64_t max)
{
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    return v <= max ? v : -1;
}

bool IsFolderPath(std::string_view wire)
{
    return !wire.empty() && (wire.back() == '/' || wire.back() == '\\');
}

std::string ListingLine(const StoreEntry& e, const std::string& wireName)
{
    std::tm t{};
    localtime_r(&e.mtime, &t);
    char head[128];
    std::snprintf(head, sizeof head, "%d %lld %d %d %d %d %d %d ", e.folder ? 1 : 0, static_cast<long long>(e.size),
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return head + wireName + "\r\n";
}

} // namespace

const std::string* TlxspRequest::Find(std::string_view name) const
{
    for (const auto& [n, v] : headers)
        if (n == name)
            return &v;
    return nullptr;
}

bool ParseTlxspRequest(std::string_view block, TlxspRequest& out)
{
    out = {};
    bool first = true;
    bool ok = false;
    LineReader lines(block, LineReader::Breaks::Header);
    for (std::string_view line; lines.Next(line);) {
        if (first) {
            first = false;
            std::string_view words[3];
            size_t count = 0;
            size_t i = 0;
            while (i < line.size() && count < 3) {
                while (i < line.size() && line[i] == ' ')
                    ++i;
                size_t j = i;
                while (j < line.size() && line[j] != ' ')
                    ++j;
                if (j > i)
                    words[count++] = line.substr(i, j - i);
                i = j;
            }
            if (count == 3)
                out.command = Upper(std::string(words[2].substr(0, 16)));
            ok = count == 3 && words[0] == "TLXSP/1.0";
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        if (out.headers.empty())
            out.headers.reserve(8);
        out.headers.emplace_back(Upper(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1)));
    }
    return ok;
}

std::string FormatTlxspAnswer(const TlxspAnswer& a)
{
    std::string out;
    out.reserve(128 + a.command.size() + (a.path ? a.path->size() : 0) + (a.path2 ? a.path2->size() : 0) + a.body.size());
    const auto line = [&out](std::string_view name, std::string_view value) {
        out.append(name).append(" : ").append(value).append("\r\n");
    };
    out.append("TLXSP/1.0 RESPONSE_ ").append(a.command).append("\r\n");
    if (a.requestId)
        line("REQUEST-ID", *a.requestId);
    if (a.sessionId)
        line("SESSION-ID", *a.sessionId);
    line("STATUS-CODE", std::to_string(a.status));
    line("STATUS-DESC", StatusText(a.status));
    if (a.path)
        line("PATH", *a.path);
    if (a.path2)
        line("PATH2", *a.path2);
    if (a.withLength || !a.body.empty())
        line("DATA-LENGTH", std::to_string(a.body.size()));
    out.append("\r\n").append(a.body);
    return out;
}

struct TlxspService::Context {
    Context(const TlxspRequest& r, PortKind p) : request(r), port(p) {}
    const TlxspRequest& request;
    PortKind port;
    const Account* account = nullptr; // set once the session is checked
    std::string wirePath, wirePath2;  // PATH and PATH2 as sent
    PathParts parts, parts2;
    const Fault* fault = nullptr; // the fault this request meets (--fault), if any
    bool ended = false;           // the fault has ended the connection; nothing more is sent
    UploadFolderCache* folders = nullptr; // the connection's: the folder of its last upload

    UserTree Tree(const ServerConfig& config) const { return UserTree(config.root + "/" + account->id); }
};

void TlxspService::Notify(const Context& ctx, const char* command, const std::string& wirePath, int number)
{
    if (FindFault(m_config.faults, FaultKind::NoNotices))
        return; // as if another client of the account had taken them all
    if (ctx.account->serviceType == 1 || ctx.account->serviceType == 2)
        m_state.AddNotice(ctx.account->id, Notice{number, command, wirePath});
}

void TlxspService::Serve(Connection& conn, PortKind port)
{
    ServeRequests(conn, port);
    // Answers an answer-late fault holds back still go out when due, even once the peer has
    // stopped sending; the connection closes after the last of them.
    conn.SendQueued();
}

void TlxspService::ServeRequests(Connection& conn, PortKind port)
{
    int badRequests = 0;
    UploadFolderCache folders; // uploads into one folder walk to it once
    uint64_t readsSeen = 0;
    std::string block; // its buffer serves every request of the connection
    for (;;) {
        const IoStatus read = conn.ReadHeaderBlock(block, m_config.maxHeaderBytes, -1, m_config.headerTimeoutMs);
        if (conn.Reads() != readsSeen) {
            readsSeen = conn.Reads();
            folders.Doubt(); // what was kept is looked at again before the next upload into it
        }
        if (read != IoStatus::Ok) {
            if (read == IoStatus::TooLarge || read == IoStatus::Timeout)
                ServerLog("tlxsp: header block %s, connection closed\n", IoStatusText(read));
            return;
        }
        TlxspRequest request;
        const bool parsed = ParseTlxspRequest(block, request);
        TlxspAnswer answer;
        answer.command = request.command.empty() ? "UNKNOWN__" : request.command;
        if (const std::string* id = request.Find("REQUEST-ID"))
            answer.requestId = *id;
        if (!parsed) {
            answer.status = 400;
            if (++badRequests > kMaxBadRequests || conn.SendInTurn(FormatTlxspAnswer(answer), m_config.sendTimeoutMs) != IoStatus::Ok)
                return;
            continue;
        }
        badRequests = 0;

        // A body announced by any request must be readable and within bounds, or the stream
        // can no longer be followed.
        int64_t length = 0;
        if (const std::string* text = request.Find("DATA-LENGTH")) {
            length = ParseLength(*text, request.command == "PUTFILE__" ? m_config.maxUploadBytes : 0);
            if (length < 0) {
                answer.status = 400;
                if (const std::string* p = request.Find("PATH"))
                    answer.path = *p;
                ServerLog("tlxsp: %s with a DATA-LENGTH that is not accepted, connection closed\n", request.command.c_str());
                conn.SendInTurn(FormatTlxspAnswer(answer), m_config.sendTimeoutMs);
                return;
            }
        }

        Context ctx(request, port);
        ctx.folders = &folders;
        if (const std::string* p = request.Find("PATH")) {
            ctx.wirePath = *p;
            answer.path = *p;
        }
        if (const std::string* p = request.Find("PATH2")) {
            ctx.wirePath2 = *p;
            answer.path2 = *p;
        }

        bool keepOpen = true;
        if (request.command == "PUTFILE__") {
            keepOpen = HandleUpload(conn, ctx, length, answer);
            if (ctx.ended)
                return;
        } else if (port == PortKind::Control) {
            HandleControl(ctx, answer);
        } else {
            HandleCommand(ctx, answer);
        }
        if (answer.body.size() > kMaxBodyBytes) {
            answer.body.clear();
            answer.status = 500;
        }
        if (ctx.fault) {
            if (!AnswerWithFault(conn, ctx, answer, keepOpen))
                return;
            continue;
        }
        if (conn.SendInTurn(FormatTlxspAnswer(answer), m_config.sendTimeoutMs) != IoStatus::Ok || !keepOpen)
            return;
    }
}

bool TlxspService::FaultBeforeBody(Connection& conn, Context& ctx, int64_t length, TlxspAnswer& answer)
{
    if (ctx.fault->kind == FaultKind::RefuseAfterHeader && length > 0) {
        // Refused on sight: the answer goes out while the body is still coming, and the body is
        // left unread so that the peer's sending stalls once the buffers are full.
        answer.status = 500;
        ServerLog("tlxsp: fault refuse-after-header: upload of %lld bytes answered 500 unread\n",
                  static_cast<long long>(length));
        if (conn.SendInTurn(FormatTlxspAnswer(answer), m_config.sendTimeoutMs) == IoStatus::Ok &&
            conn.SendQueued() == IoStatus::Ok)
            conn.WaitForPeerClose(kRefuseHoldMs);
        ctx.ended = true;
        return true;
    }
    if (ctx.fault->kind == FaultKind::NeverRead && length > 0) {
        // A server that stops reading: the peer's sending stalls once the buffers are full, and
        // no answer ever comes.
        ServerLog("tlxsp: fault never-read: upload of %lld bytes left unread, unanswered\n",
                  static_cast<long long>(length));
        conn.WaitForPeerClose(kRefuseHoldMs);
        ctx.ended = true;
        return true;
    }
    if (ctx.fault->kind == FaultKind::DropAfter) {
        // The connection is lost after N bytes of the body; what was read is not kept.
        const int64_t take = std::min(length, ctx.fault->arg);
        conn.ReadBody(take, m_config.bodyIdleMs, [](const char*, size_t) { return true; });
        ServerLog("tlxsp: fault drop-after: connection reset after %lld of %lld body bytes\n",
                  static_cast<long long>(take), static_cast<long long>(length));
        conn.SendQueued();
        conn.Reset();
        ctx.ended = true;
        return true;
    }
    return false;
}

bool TlxspService::AnswerWithFault(Connection& conn, const Context& ctx, const TlxspAnswer& answer, bool keepOpen)
{
    const int sendMs = m_config.sendTimeoutMs;
    switch (ctx.fault->kind) {
    case FaultKind::AnswerClose:
        // The answer, then the FIN right behind it.
        if (conn.SendInTurn(FormatTlxspAnswer(answer), sendMs) == IoStatus::Ok && conn.SendQueued() == IoStatus::Ok) {
            conn.ShutdownWrite();
            conn.DiscardUntilClosed(kCloseLingerMs);
        }
        return false;
    case FaultKind::AnswerLate:
        if (!keepOpen)
            return false; // a body cut short gets no answer; those queued before it still go out
        return conn.QueueSend(FormatTlxspAnswer(answer), Connection::Clock::now() + std::chrono::milliseconds(ctx.fault->arg),
                              sendMs) == IoStatus::Ok;
    case FaultKind::UnrelatedAnswers:
        // The upload's own answer never comes; answers for paths nobody asked about do.
        if (!conn.Repeating()) {
            conn.StartRepeatingSend(
                std::chrono::milliseconds(ctx.fault->arg),
                [requestId = answer.requestId, n = 0]() mutable {
                    TlxspAnswer other;
                    other.command = "PUTFILE__";
                    other.requestId = requestId;
                    other.path = "zz-unrelated/" + std::to_string(++n);
                    return FormatTlxspAnswer(other);
                },
                sendMs);
        }
        return keepOpen;
    case FaultKind::LoginSilent:
        return true; // read and never answered; the connection stays
    case FaultKind::RefuseAfterHeader:
    case FaultKind::NeverRead:
    case FaultKind::DropAfter:
    case FaultKind::NoNotices:
        break;
    }
    return conn.SendInTurn(FormatTlxspAnswer(answer), sendMs) == IoStatus::Ok && keepOpen;
}

namespace {
// Resolves the session and the paths of a request; false with the answer's status set.
bool Admit(const TlxspRequest& request, ServerState& state, const AccountBook& accounts, const Account*& account,
           int& status)
{
    const std::string* sid = request.Find("SESSION-ID");
    const auto user = sid ? state.UserOfSession(*sid) : std::nullopt;
    account = user ? accounts.Find(*user) : nullptr;
    if (!account) {
        status = 400;
        return false;
    }
    return true;
}

bool DecodePath(const std::string& wire, PathParts& parts)
{
    std::string utf8;
    return FromWire(wire, utf8) && SplitRemotePath(utf8, parts);
}
} // namespace

bool TlxspService::HandleUpload(Connection& conn, Context& ctx, int64_t length, TlxspAnswer& answer)
{
    auto drain = [&]() {
        const IoStatus s = conn.ReadBody(length, m_config.bodyIdleMs, [](const char*, size_t) { return true; });
        return s == IoStatus::Ok;
    };
    if (ctx.port != PortKind::Command || !Admit(ctx.request, m_state, m_accounts, ctx.account, answer.status) ||
        ctx.wirePath.empty() || !DecodePath(ctx.wirePath, ctx.parts) || ctx.parts.empty()) {
        answer.status = 400;
        return drain();
    }
    const UserTree tree = ctx.Tree(m_config);
    if (IsFolderPath(ctx.wirePath)) {
        if (!drain())
            return false;
        tree.Prepare();
        answer.status = StatusOf(tree.MakeFolder(ctx.parts, true));
        if (answer.status == 200)
            Notify(ctx, "PUTFILE__", ctx.wirePath);
        return true;
    }
    ctx.fault = FindUploadFault(m_config.faults, ctx.parts.back());
    if (ctx.fault && FaultBeforeBody(conn, ctx, length, answer))
        return false;
    Upload upload;
    if (StoreStatus s = tree.BeginUpload(ctx.parts, upload, ctx.folders); s != StoreStatus::Ok) {
        answer.status = StatusOf(s);
        return drain();
    }
    bool writeFailed = false;
    const IoStatus read = conn.ReadBody(length, m_config.bodyIdleMs, [&](const char* data, size_t size) {
        if (!writeFailed && !upload.Write(data, size))
            writeFailed = true; // keep reading so that the stream stays in step
        return true;
    });
    if (read != IoStatus::Ok) {
        // The partial file goes with `upload`; nothing of a cut-short body is kept.
        ServerLog("tlxsp: upload of %lld bytes %s\n", static_cast<long long>(length), IoStatusText(read));
        answer.status = 500;
        return false;
    }
    const std::string& refuse = m_config.refuseUploads;
    if (!refuse.empty() && ::fnmatch(refuse.c_str(), ctx.parts.back().c_str(), 0) == 0) {
        // Refused by name: the body was read, nothing is kept.
        answer.status = 500;
        return true;
    }
    answer.status = writeFailed ? 500 : StatusOf(upload.Commit());
    if (answer.status == 200) {
        const std::string& pattern = m_state.Options().failPattern;
        const bool fails = !pattern.empty() && ::fnmatch(pattern.c_str(), ctx.parts.back().c_str(), 0) == 0;
        Notify(ctx, "PUTFILE__", ctx.wirePath, fails ? 500 : 200);
    }
    return true;
}

void TlxspService::HandleControl(Context& ctx, TlxspAnswer& answer)
{
    const TlxspRequest& r = ctx.request;
    if (r.command == "LOGIN____") {
        if ((ctx.fault = FindFault(m_config.faults, FaultKind::LoginSilent))) {
            ServerLog("login: left unanswered (fault login-silent)\n");
            return;
        }
        const std::string* id = r.Find("USER-ID");
        const std::string* pw = r.Find("USER-PW");
        std::string uid, upw;
        const Account* a = (id && pw && FromWire(*id, uid) && FromWire(*pw, upw)) ? m_accounts.Find(uid) : nullptr;
        if (a && a->password == upw) {
            answer.sessionId = m_state.CreateSession(a->id);
            answer.status = 200;
            ServerLog("login: %s\n", a->id.c_str());
        } else {
            answer.status = 400;
            ServerLog("login refused for id %s\n", uid.c_str());
        }
        return;
    }
    if (r.command == "LOGOUT___") {
        const std::string* sid = r.Find("SESSION-ID");
        answer.status = sid && m_state.EndSession(*sid) ? 200 : 400;
        return;
    }
    if (r.command != "GETNOTIED" && r.command != "STARTSYNC" && r.command != "CHECKSYNC" && r.command != "GETSYNCED") {
        answer.status = 400;
        return;
    }
    if (!Admit(r, m_state, m_accounts, ctx.account, answer.status))
        return;
    const UserTree tree = ctx.Tree(m_config);
    tree.Prepare();
    if (r.command == "GETNOTIED") {
        answer.withLength = true;
        for (const Notice& n : m_state.TakeNotices(ctx.account->id))
            answer.body += std::to_string(n.number) + " " + n.command + " " + n.wirePath + "\r\n";
        answer.status = 200;
        return;
    }
    if (r.command == "GETSYNCED") {
        std::string ini;
        switch (m_state.PollJob(ctx.account->id, tree, ini)) {
        case SyncPoll::NoJob: answer.status = 204; break;
        case SyncPoll::NotReady: answer.status = 203; break;
        case SyncPoll::Ready:
            answer.status = 200;
            answer.withLength = true;
            if (!ToWire(ini, answer.body))
                answer.body = ini; // a name the wire encoding cannot hold: sent as it is stored
            break;
        }
        return;
    }
    // STARTSYNC, CHECKSYNC
    PathParts scope;
    if (r.command == "CHECKSYNC" && !ctx.wirePath.empty()) {
        if (!DecodePath(ctx.wirePath, scope)) {
            answer.status = 400;
            return;
        }
        bool folder = false;
        if (tree.Stat(scope, folder) != StoreStatus::Ok) {
            answer.status = 204;
            return;
        }
    }
    if (ctx.account->syncTargets == 0) {
        answer.status = 404;
        return;
    }
    m_state.StartJob(ctx.account->id, r.command == "CHECKSYNC", std::move(scope));
    answer.status = 200;
}

void TlxspService::HandleCommand(Context& ctx, TlxspAnswer& answer)
{
    const TlxspRequest& r = ctx.request;
    static const char* const kCommands[] = {"BROWSE___", "SEARCH___", "MKDIR____", "RMDIR____", "RENAME___", "DELFILE__"};
    if (std::find(std::begin(kCommands), std::end(kCommands), r.command) == std::end(kCommands)) {
        answer.status = 400;
        return;
    }
    if (!Admit(r, m_state, m_accounts, ctx.account, answer.status))
        return;
    if (!DecodePath(ctx.wirePath, ctx.parts)) {
        answer.status = 400;
        return;
    }
    const UserTree tree = ctx.Tree(m_config);
    tree.Prepare();

    if (r.command == "BROWSE___" || r.command == "SEARCH___") {
        std::vector<StoreEntry> entries;
        StoreStatus s;
        if (r.command == "BROWSE___") {
            s = tree.List(ctx.parts, entries, kMaxListing);
        } else {
            std::string needle;
            if (!FromWire(ctx.wirePath2, needle)) {
                answer.status = 400;
                return;
            }
            s = tree.Search(ctx.parts, needle, entries, kMaxListing);
        }
        answer.status = StatusOf(s);
        answer.withLength = true;
        if (s != StoreStatus::Ok)
            return;
        for (const StoreEntry& e : entries) {
            std::string wireName;
            if (ToWire(e.name, wireName))
                answer.body += ListingLine(e, wireName);
        }
        return;
    }
    if (r.command == "MKDIR____") {
        answer.status = ctx.parts.empty() ? 409 : StatusOf(tree.MakeFolder(ctx.parts, false));
        if (answer.status == 200)
            Notify(ctx, "MKDIR____", ctx.wirePath);
        return;
    }
    if (r.command == "RMDIR____") {
        answer.status = StatusOf(tree.RemoveFolder(ctx.parts));
        if (answer.status == 200)
            Notify(ctx, "RMDIR____", ctx.wirePath);
        return;
    }
    if (r.command == "DELFILE__") {
        answer.status = StatusOf(tree.DeleteFile(ctx.parts));
        if (answer.status == 200)
            Notify(ctx, "DELFILE__", ctx.wirePath);
        return;
    }
    // RENAME___
    if (!DecodePath(ctx.wirePath2, ctx.parts2)) {
        answer.status = 400;
        return;
    }
    answer.status = StatusOf(tree.Rename(ctx.parts, ctx.parts2));
    if (answer.status == 200)
        Notify(ctx, "RENAME___", ctx.wirePath);
}

} // namespace talvex::devserver
