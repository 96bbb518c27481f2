#include "protocol/control_session.h"

#include "platform/log.h"
#include "platform/text_codec.h"
#include "protocol/notices.h"

#include <chrono>
#include <cstdio>

namespace talvex {

using namespace tlxsp;

ControlSession::ControlSession(const CChannelStartInfo& info, WorkerContext& context)
    : SocketChannel(info, context, HeaderOrder::Control)
{
}

void ControlSession::Simple(uint32_t message, int32_t code, std::unique_ptr<CTlxspResponse> response)
{
    talvex::Report r;
    r.message = message;
    r.code = code;
    r.response = std::move(response);
    Deliver(r);
}

void ControlSession::NotSent(const char* command, const CThreadCommand* record, int32_t error)
{
    auto response = std::make_unique<CTlxspResponse>();
    response->command = command;
    response->statusCode = error;
    if (record && record->messageId != UM_LOGIN) { // never hand a password around
        response->path = record->text1;
        response->path2 = record->text2;
    }
    Simple(UM_REQUEST_NOT_SENT, 0, std::move(response));
}

void ControlSession::OnConnected()
{
    m_connectState = 0;
    Simple(UM_CONTROL_CONNECTED);
}

void ControlSession::OnConnectionLost()
{
    talvex::Report r;
    r.message = UM_CONNECTION_LOST;
    r.error = LostError();
    Deliver(r);
}

void ControlSession::OnQuit()
{
    // Log out before closing, whether or not the server still listens; do not wait long.
    SendAll(FormatSessionOnly(kLogout, kLogoutId, m_sessionId), 2000);
}

void ControlSession::OnMessage(MailMessage& message)
{
    const CThreadCommand* record = message.command.get();
    std::string request;
    const char* command = nullptr;
    const char* requestId = nullptr; // for the session-only forms; none: the session id stands for it
    switch (message.id) {
    case UM_LOGIN: {
        command = kLogin;
        std::string user, password;
        int32_t error = ToWireText(record ? record->text1 : "", user);
        if (error == 0)
            error = ToWireText(record ? record->text2 : "", password);
        if (error != 0) {
            NotSent(command, record, error);
            return;
        }
        request = FormatLogin(user, password);
        break;
    }
    case UM_LOGOUT: command = kLogout; requestId = kLogoutId; break;
    case UM_GETNOTIED: command = kGetNotied; requestId = kGetNotiedId; break;
    case UM_STARTSYNC: command = kStartSync; break;
    case UM_GETSYNCED: command = kGetSynced; break;
    case UM_CHECKSYNC: {
        command = kCheckSync;
        if (!record || record->text1.empty())
            break;
        std::string path;
        if (const int32_t error = ToWireText(record->text1, path)) {
            NotSent(command, record, error);
            return;
        }
        request = FormatPath(kCheckSync, m_sessionId, m_sessionId, path);
        break;
    }
    default:
        return; // not a control-session message
    }
    if (request.empty()) // a session-only form
        request = FormatSessionOnly(command, requestId ? std::string_view(requestId) : std::string_view(m_sessionId),
                                    m_sessionId);
    if (const int32_t error = CheckRequestSize(request)) {
        NotSent(command, record, error);
        return;
    }
    // A request that cannot be sent is lost; a broken connection shows as lost on the next wait.
    SendAll(request);
}

std::string ControlSession::BodyPathFor(const CTlxspResponse& response)
{
    if (SameCommand(response.command, kGetNotied)) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        return WorkFile(std::string(kGetNotied) + "_" + std::to_string(static_cast<uint32_t>(ms.count())) + ".tlx");
    }
    if (SameCommand(response.command, kGetSynced) && response.statusCode == 200)
        return WorkFile(std::string(kGetSynced) + ".tlx");
    return {};
}

void ControlSession::OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body)
{
    const std::string& command = response->command;
    response->requestId = FromWireLossy(response->requestId);
    response->path = FromWireLossy(response->path);
    if (SameCommand(command, kLogin)) {
        m_sessionId = response->sessionId;
        Simple(UM_LOGIN_RESULT, 0, std::move(response));
    } else if (SameCommand(command, kLogout)) {
        m_sessionId = response->sessionId;
        Simple(UM_LOGOUT_RESULT, 0, std::move(response));
        // Ends the session: one more LOGOUT___ with the session id now held, then close.
        MailMessage quit;
        quit.id = UM_QUIT;
        Mail().Post(std::move(quit));
    } else if (SameCommand(command, kGetNotied)) {
        // An answer whose notices could not be stored or read is still reported, without
        // notices: the poller must go on polling. A body cut short by a lost connection is
        // not: the loss is reported instead.
        if (body && !body->received) {
            std::remove(body->path.c_str());
            return;
        }
        const bool read = body && body->complete && ReadNoticeFile(body->path, m_notices);
        talvex::Report r;
        r.message = UM_GETNOTIED;
        r.notices = read ? &m_notices : nullptr;
        Deliver(r);
        if (body)
            std::remove(body->path.c_str());
    } else if (SameCommand(command, kCheckSync)) {
        Log("receive check sync : %d\n", response->statusCode);
        Simple(UM_CHECKSYNC, response->statusCode);
    } else if (SameCommand(command, kStartSync)) {
        Log("receive start sync : %d\n", response->statusCode);
        Simple(UM_STARTSYNC, response->statusCode);
    } else if (SameCommand(command, kGetSynced)) {
        const int32_t status = response->statusCode;
        Log("receive sync info : %d\n", status);
        if (status != 200) {
            Simple(UM_GETSYNCED, status);
            return;
        }
        // The result file stays in the working folder: the sync result dialog reads the failed
        // paths from it later. A result that could not be stored or read is reported without
        // its list, so that the job waiting for it ends.
        if (body && !body->received)
            return;
        talvex::Report r;
        r.message = UM_GETSYNCED;
        r.code = status;
        if (body && body->complete)
            r.result = ReadSyncResultFile(body->path);
        Deliver(r);
    }
}

std::unique_ptr<Worker> StartControlSession(CChannelStartInfo info, IReportSink& sink)
{
    return StartChannel<ControlSession>(std::move(info), sink, UM_CONTROL_CONNECT_FAILED, 0);
}

} // namespace talvex
