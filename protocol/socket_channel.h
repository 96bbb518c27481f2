#pragma once
// The part every TLXSP connection shares: connecting, sending, and the wait loop that serves the
// socket and the mailbox in one poll. Responses are reassembled from the stream: a header block
// may arrive over several reads and several responses may arrive in one; a body of DATA-LENGTH
// bytes follows its header and is stored in a file or skipped, as the connection decides.

#include "protocol/message.h"
#include "protocol/worker.h"

#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>

namespace talvex {

// The timers every connection sets for a path that goes dark (Connect sets them before it
// connects; see socket_channel.cpp for why these values).
struct LinkTimers {
    int retransmitCapMs = 0; // TCP_RTO_MAX_MS: the longest retransmission back-off
    int userTimeoutMs = 0;   // TCP_USER_TIMEOUT: unacknowledged data or keepalives wait this long at most
    int keepIdleS = 0;       // TCP_KEEPIDLE: an idle connection is probed after this much silence
    int keepIntervalS = 0;   // TCP_KEEPINTVL: unanswered probes follow each other this far apart
};
// The timers for a dead-path bound (CChannelStartInfo::stallTimeoutMs). 0 or less: the system's
// own, none is set (the cap alone would let the kernel give a connection up mid-outage, after
// its usual number of retransmissions at the capped interval).
LinkTimers LinkTimersFor(int stallTimeoutMs);

class SocketChannel {
public:
    SocketChannel(const CChannelStartInfo& info, WorkerContext& context, tlxsp::HeaderOrder order);
    virtual ~SocketChannel();
    SocketChannel(const SocketChannel&) = delete;
    SocketChannel& operator=(const SocketChannel&) = delete;

    // Resolves the host, connects within the time-out and sets the socket options.
    // False on failure, or when UM_QUIT arrived meanwhile (QuitDuringConnect tells).
    bool Connect();
    bool QuitDuringConnect() const { return m_quitDuringConnect; }

    // The wait loop; returns 0 after UM_QUIT, -1 when the connection ended otherwise.
    int Run();

protected:
    // Where the body of a response goes: a file path to store it, or empty to skip it.
    virtual std::string BodyPathFor(const CTlxspResponse& response) = 0;
    // A response and its body are complete (body: null when skipped; else the stored file).
    struct Body {
        std::string path;
        bool complete = false; // every byte arrived and was stored
        bool received = false; // every byte arrived (stored or not)
    };
    virtual void OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body) = 0;
    virtual void OnConnected() = 0;
    virtual void OnMessage(MailMessage& message) = 0;
    virtual void OnQuit() {}
    // The server closed the connection, or it broke, or the stream made no sense.
    virtual void OnConnectionLost() = 0;
    virtual int PollTimeoutMs() const { return -1; }
    // Upload channels treat a close seen together with data as the end, once the data that
    // came before it has been handed on.
    virtual bool CloseBeforeRead() const { return false; }

    // Sends all bytes (waiting for the socket as needed). False when the connection broke (errno
    // tells) or UM_QUIT arrived while the socket would not take more; when the deadline (ms,
    // -1 none) passes, errno is ETIMEDOUT. sent, when given, tells how many bytes went.
    bool SendAll(std::string_view data, int deadlineMs = -1, size_t* sent = nullptr);
    bool Ended() const { return m_ended; }
    // Ends the wait loop after the current handler: reports the loss first when asked.
    void EndConnection(bool reportLost);
    // Handles the answers that have already arrived, without waiting for more (before a
    // connection is closed on purpose, or between uploads, so that no answer waits unread).
    // False once the server has closed its side or the connection broke.
    bool TakeArrivedInput();
    void Deliver(talvex::Report& report) { m_context.Send(report); }
    Mailbox& Mail() { return m_context.mailbox; }
    // The temporary file name in the working folder.
    std::string WorkFile(const std::string& name) const;
    int Socket() const { return m_fd; }
    const CChannelStartInfo& Info() const { return m_info; }
    // The first error the socket itself reported (errno of a failed recv, send or poll), or 0:
    // why the connection was lost, told with the loss (Report::error). A later error of the
    // same broken socket (EPIPE once the kernel has closed it) does not replace it.
    int LostError() const { return m_lostError; }
    // Notes error as the socket's when it is the first; returns LostError() (error when none).
    int NoteSocketError(int error);

private:
    // One recv into the input, which is then handled; recv's result.
    ssize_t ReceiveInput(int flags);
    bool ReadSocket();
    void ProcessInput();
    bool DrainMailbox(); // false after UM_QUIT
    void StartBody(std::unique_ptr<CTlxspResponse> response);
    void FinishBody(bool complete);
    void AbortBody();
    void CloseSocket(bool shutdownFirst);
    void ProtocolError();

    CChannelStartInfo m_info;
    WorkerContext& m_context;
    tlxsp::HeaderOrder m_order;
    int m_fd = -1;
    bool m_quitDuringConnect = false;
    bool m_ended = false;
    int m_lostError = 0;

    std::string m_input;       // bytes received and not yet consumed
    size_t m_inputStart = 0;   // consumed prefix of m_input

    // The body in progress.
    std::unique_ptr<CTlxspResponse> m_bodyResponse;
    int m_bodyFd = -1;
    bool m_bodyStored = false;
    bool m_bodyWriteFailed = false;
    std::string m_bodyPath;
    int64_t m_bodyRemaining = 0;
};

// Starts the worker thread of a channel: it builds Channel(info, context, extra...), connects,
// runs the wait loop, and reports a connection that failed (not one given up for UM_QUIT) as
// {failMessage, failCode}; then the mailbox is closed and the worker marked ended.
template <class Channel, class... Extra>
std::unique_ptr<Worker> StartChannel(CChannelStartInfo info, IReportSink& sink, uint32_t failMessage,
                                     int32_t failCode, Extra... extra)
{
    auto context = std::make_shared<WorkerContext>(sink);
    std::thread thread([info = std::move(info), context, failMessage, failCode, ... extra = std::move(extra)]() mutable {
        {
            Channel channel(info, *context, std::move(extra)...);
            if (channel.Connect()) {
                channel.Run();
            } else if (!channel.QuitDuringConnect()) {
                talvex::Report r;
                r.message = failMessage;
                r.code = failCode;
                context->Send(r);
            }
        }
        context->mailbox.Close();
        context->ended = true;
    });
    return std::make_unique<Worker>(context, std::move(thread));
}

} // namespace talvex
