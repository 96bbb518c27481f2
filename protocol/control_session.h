#pragma once
// The control session: login, logout, change notices and the server-side sync operations.

#include "protocol/socket_channel.h"

namespace talvex {

class ControlSession final : public SocketChannel {
public:
    ControlSession(const CChannelStartInfo& info, WorkerContext& context);

    const std::string& SessionId() const { return m_sessionId; }

protected:
    std::string BodyPathFor(const CTlxspResponse& response) override;
    void OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body) override;
    void OnConnected() override;
    void OnMessage(MailMessage& message) override;
    void OnQuit() override;
    void OnConnectionLost() override;
    int PollTimeoutMs() const override { return 5000; }

private:
    void Simple(uint32_t message, int32_t code = 0, std::unique_ptr<CTlxspResponse> response = nullptr);
    void NotSent(const char* command, const CThreadCommand* record, int32_t error);

    std::string m_sessionId; // as the server sent it
    CSyncNoticeList m_notices;
    int m_connectState = -1;
};

} // namespace talvex
