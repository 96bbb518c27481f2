#pragma once
// The command channel: listings, search, folder creation and removal, renames and deletes.
// Deletes are serialised: one DELFILE__ is outstanding at a time, the others wait in order.

#include "protocol/socket_channel.h"

#include <deque>

namespace talvex {

class CommandChannel final : public SocketChannel {
public:
    CommandChannel(const CChannelStartInfo& info, WorkerContext& context);

protected:
    std::string BodyPathFor(const CTlxspResponse& response) override;
    void OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body) override;
    void OnConnected() override;
    void OnMessage(MailMessage& message) override;
    void OnConnectionLost() override;

private:
    struct PendingDelete {
        std::unique_ptr<CThreadCommand> record;
        std::string wirePath;
    };

    void Send(const std::string& request);
    void SendHeadDelete();
    void OnDeleteAnswer(std::unique_ptr<CTlxspResponse> response, const std::string& wirePath);
    void NotSent(const char* command, const CThreadCommand* record, int32_t error);

    std::deque<PendingDelete> m_pendingDeletes;
};

} // namespace talvex
