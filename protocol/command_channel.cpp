#include "protocol/command_channel.h"

#include "platform/text_codec.h"
#include "protocol/listing.h"

#include <cstdio>

namespace talvex {

using namespace tlxsp;

CommandChannel::CommandChannel(const CChannelStartInfo& info, WorkerContext& context)
    : SocketChannel(info, context, HeaderOrder::Command)
{
}

void CommandChannel::NotSent(const char* command, const CThreadCommand* record, int32_t error)
{
    talvex::Report r;
    r.message = UM_REQUEST_NOT_SENT;
    r.response = std::make_unique<CTlxspResponse>();
    r.response->command = command;
    r.response->statusCode = error;
    if (record) {
        r.response->path = record->text1;
        r.response->path2 = record->text2;
    }
    Deliver(r);
}

void CommandChannel::Send(const std::string& request)
{
    // A broken connection ends the channel and is reported as lost.
    if (!SendAll(request))
        EndConnection(errno != ECANCELED);
}

void CommandChannel::OnConnected() { Send(FormatBrowseRoot(Info().sessionId)); }

void CommandChannel::OnConnectionLost()
{
    talvex::Report r;
    r.message = UM_CONNECTION_LOST;
    r.error = LostError();
    Deliver(r);
}

void CommandChannel::OnMessage(MailMessage& message)
{
    const CThreadCommand* record = message.command.get();
    const std::string& session = Info().sessionId;
    const char* command = nullptr;
    const char* requestId = nullptr;
    switch (message.id) {
    case UM_BROWSE: command = kBrowse; break;
    case UM_DELFILE: command = kDelFile; requestId = kDelFileId; break;
    case UM_RMDIR: command = kRmDir; requestId = kRmDirId; break;
    case UM_MKDIR: command = kMkDir; requestId = kMkDirId; break;
    case UM_RENAME: command = kRename; requestId = kRenameId; break;
    case UM_SEARCH: command = kSearch; break;
    default: return; // not a command-channel message
    }
    std::string path, path2;
    int32_t error = ToWireText(record ? record->text1 : "", path);
    if (error == 0 && (message.id == UM_RENAME || message.id == UM_SEARCH))
        error = ToWireText(record->text2, path2);
    std::string request;
    if (error == 0) {
        switch (message.id) {
        case UM_BROWSE: request = FormatBrowse(session, path); break;
        case UM_RENAME: request = FormatTwoPaths(command, requestId, session, path, path2); break;
        case UM_SEARCH: request = FormatSearch(session, path, path2); break;
        default: request = FormatPath(command, requestId, session, path); break;
        }
        error = CheckRequestSize(request);
    }
    if (error != 0) {
        NotSent(command, record, error);
        return;
    }
    if (message.id == UM_DELFILE) {
        const bool idle = m_pendingDeletes.empty();
        m_pendingDeletes.push_back(PendingDelete{std::move(message.command), std::move(path)});
        if (idle)
            Send(request);
        return;
    }
    Send(request);
}

void CommandChannel::SendHeadDelete()
{
    if (m_pendingDeletes.empty())
        return;
    Send(FormatPath(kDelFile, kDelFileId, Info().sessionId, m_pendingDeletes.front().wirePath));
}

void CommandChannel::OnDeleteAnswer(std::unique_ptr<CTlxspResponse> response, const std::string& wirePath)
{
    for (auto it = m_pendingDeletes.begin(); it != m_pendingDeletes.end(); ++it) {
        if (SameCommand(it->wirePath, wirePath)) { // same text without regard to ASCII case
            m_pendingDeletes.erase(it);
            break;
        }
    }
    if (response->statusCode == 200) {
        talvex::Report r;
        r.message = UM_DELFILE_DONE;
        r.code = 200;
        r.response = std::move(response);
        Deliver(r);
    }
    SendHeadDelete();
}

std::string CommandChannel::BodyPathFor(const CTlxspResponse& response)
{
    if (SameCommand(response.command, kBrowse))
        return WorkFile(std::string(kBrowse) + ".tlx");
    if (SameCommand(response.command, kSearch))
        return WorkFile(std::string(kSearch) + ".tlx");
    return {};
}

void CommandChannel::OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body)
{
    const std::string command = response->command;
    const std::string wirePath = response->path;
    response->requestId = FromWireLossy(response->requestId);
    response->path = FromWireLossy(response->path);
    response->path2 = FromWireLossy(response->path2);

    uint32_t report = 0;
    if (SameCommand(command, kMkDir))
        report = UM_MKDIR_RESULT;
    else if (SameCommand(command, kRmDir))
        report = UM_RMDIR_RESULT;
    else if (SameCommand(command, kRename))
        report = UM_RENAME_RESULT;
    if (report != 0) {
        talvex::Report r;
        r.message = report;
        r.response = std::move(response);
        Deliver(r);
        return;
    }
    if (SameCommand(command, kDelFile)) {
        OnDeleteAnswer(std::move(response), wirePath);
        return;
    }
    const bool browse = SameCommand(command, kBrowse);
    if ((browse || SameCommand(command, kSearch)) && body) {
        if (body->complete) {
            if (std::unique_ptr<CRemoteEntryList> list = ReadListingFile(body->path)) {
                talvex::Report r;
                r.message = browse ? UM_BROWSE : UM_SEARCH;
                r.code = response->statusCode; // a refused listing (204, 400) brings an empty list too
                r.entries = std::move(list);
                Deliver(r);
            }
        }
        std::remove(body->path.c_str());
    }
}

std::unique_ptr<Worker> StartCommandChannel(CChannelStartInfo info, IReportSink& sink)
{
    return StartChannel<CommandChannel>(std::move(info), sink, UM_COMMAND_CONNECT_FAILED, 0);
}

} // namespace talvex
