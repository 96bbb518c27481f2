#pragma once
// An upload channel: sends one file at a time with PUTFILE__ (or creates one folder), measures
// the speed, reports progress at most 15 times a second, and passes the server's answers on.
//
// The file is streamed in 16,384-byte blocks; exactly DATA-LENGTH bytes follow the header. A
// file that has become shorter than DATA-LENGTH fails the transfer (UE_SEND_FAILED) and closes
// the connection, as does any send failure (UE_RESET for a reset connection) and a cancel that
// leaves the body unfinished (UE_CANCELLED): the server could not tell where the next request
// starts. The channel's worker ends then; its owner makes a new channel.

#include "protocol/socket_channel.h"
#include "protocol/upload_progress.h"

#include <vector>

namespace talvex {

class UploadChannel final : public SocketChannel {
public:
    static constexpr size_t kBlockBytes = 16384;

    UploadChannel(const CChannelStartInfo& info, WorkerContext& context, std::shared_ptr<const Clock> clock);

protected:
    std::string BodyPathFor(const CTlxspResponse&) override { return {}; }
    void OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body) override;
    void OnConnected() override;
    void OnMessage(MailMessage& message) override;
    void OnConnectionLost() override;
    bool CloseBeforeRead() const override { return true; }

private:
    enum class BlockResult { Sent, Cancelled, Failed };

    void Event(int32_t event, std::shared_ptr<CUploadRequest> request = nullptr);
    void SendProgress();
    // The PUTFILE__ header of a request (with DATA-LENGTH or without): 0, or the RequestError
    // that forbids sending it.
    int32_t PutFileHeader(const CUploadRequest& request, bool withLength, std::string& header) const;
    void CreateFolder(const std::shared_ptr<CUploadRequest>& request);
    void UploadFile(const std::shared_ptr<CUploadRequest>& request);
    BlockResult SendBlock(const char* data, size_t size);
    bool CancelRequested();
    void Fail(const std::shared_ptr<CUploadRequest>& request, int error);

    std::shared_ptr<const Clock> m_clock;
    int64_t m_total = 0;
    int64_t m_stillToSend = 0;
    CSpeedWindow m_window;
    ProgressLimiter m_limiter;
    int64_t m_startTime = 0;
    bool m_cancel = false; // the cancel event
    std::vector<char> m_block;
};

} // namespace talvex
