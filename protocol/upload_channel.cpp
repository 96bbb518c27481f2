#include "protocol/upload_channel.h"

#include "platform/text_codec.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

using namespace tlxsp;

namespace {
struct FileCloser {
    int fd;
    ~FileCloser()
    {
        if (fd >= 0)
            ::close(fd);
    }
};
} // namespace

UploadChannel::UploadChannel(const CChannelStartInfo& info, WorkerContext& context, std::shared_ptr<const Clock> clock)
    : SocketChannel(info, context, HeaderOrder::Upload), m_clock(clock ? std::move(clock) : SystemClock()),
      m_block(kBlockBytes)
{
}

void UploadChannel::Event(int32_t event, std::shared_ptr<CUploadRequest> request)
{
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = event;
    r.request = std::move(request);
    Deliver(r);
}

void UploadChannel::OnConnected() { Event(UE_CONNECTED); }

void UploadChannel::OnConnectionLost() { Event(UE_RESET); }

void UploadChannel::OnResponse(std::unique_ptr<CTlxspResponse> response, const Body*)
{
    if (!SameCommand(response->command, kPutFile))
        return;
    response->path = FromWireLossy(response->path);
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = UE_RESPONSE;
    r.response = std::move(response);
    Deliver(r);
}

void UploadChannel::OnMessage(MailMessage& message)
{
    if (message.id == UM_CANCEL) {
        m_cancel = true;
        return;
    }
    if (message.id != UM_UPLOAD || !message.upload)
        return;
    const std::string& remote = message.upload->remotePath;
    if (!remote.empty() && remote.back() == '/')
        CreateFolder(message.upload);
    else
        UploadFile(message.upload);
}

void UploadChannel::Fail(const std::shared_ptr<CUploadRequest>& request, int error)
{
    // The stream is no longer in step with the server: report and close.
    if (error == ECANCELED)
        Event(UE_CANCELLED, request);
    else
        Event(error == ECONNRESET || error == EPIPE ? UE_RESET : UE_SEND_FAILED, request);
    EndConnection(false);
}

int32_t UploadChannel::PutFileHeader(const CUploadRequest& request, bool withLength, std::string& header) const
{
    std::string path, id;
    int32_t error = ToWireText(request.remotePath, path);
    if (error == 0)
        error = ToWireText(request.requestId, id);
    if (error == 0 && withLength && request.size < 0)
        error = kRequestBadText; // a file request without a valid size cannot be announced
    header = withLength ? FormatPutFile(Info().sessionId, id, request.size, path)
                        : FormatPutFileNoLength(Info().sessionId, id, path);
    if (error == 0)
        error = CheckRequestSize(header);
    return error;
}

void UploadChannel::CreateFolder(const std::shared_ptr<CUploadRequest>& request)
{
    std::string header;
    if (PutFileHeader(*request, false, header) != 0) {
        Event(UE_SEND_FAILED, request);
        return;
    }
    if (!SendAll(header)) {
        const int e = errno;
        Event(e == ECANCELED ? UE_CANCELLED : UE_SEND_FAILED, request);
        EndConnection(false);
        return;
    }
    Event(UE_DONE, request);
}

void UploadChannel::SendProgress()
{
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = UE_PROGRESS;
    r.progress = std::make_unique<CUploadProgress>(
        ComputeProgress(m_total, m_stillToSend, m_clock->Seconds() - m_startTime, m_window));
    Deliver(r);
}

bool UploadChannel::CancelRequested()
{
    if (Mail().TakeFirst(UM_CANCEL))
        m_cancel = true;
    // A quit ends a transfer as a cancel does; the loop serves the quit afterwards.
    if (Mail().Contains(UM_QUIT))
        m_cancel = true;
    return m_cancel;
}

UploadChannel::BlockResult UploadChannel::SendBlock(const char* data, size_t size)
{
    size_t offset = 0;
    while (offset < size) {
        const ssize_t n = ::send(Socket(), data + offset, size - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The server reads nothing: wait for room, a cancel, or the end of our patience.
            pollfd fds[2] = {{Socket(), POLLOUT, 0}, {Mail().WakeFd(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, std::max(1, Info().sendStallMs));
            if (ready == 0) {
                errno = ETIMEDOUT;
                return BlockResult::Failed;
            }
            if (ready > 0 && (fds[1].revents & POLLIN)) {
                Mail().ClearWake();
                if (CancelRequested()) {
                    errno = ECANCELED;
                    return BlockResult::Cancelled;
                }
            }
            continue;
        }
        return BlockResult::Failed;
    }
    return BlockResult::Sent;
}

void UploadChannel::UploadFile(const std::shared_ptr<CUploadRequest>& request)
{
    m_total = m_stillToSend = request->size;
    m_startTime = m_clock->Seconds();
    m_window.Reset(m_startTime);
    m_cancel = false;
    m_limiter.Clear();
    SendProgress(); // the initial report is never held back

    FileCloser file{::open(request->localPath.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st{};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Event(UE_OPEN_FAILED, request);
        return;
    }
    const bool empty = st.st_size == 0;

    std::string header;
    if (PutFileHeader(*request, !empty, header) != 0) {
        Event(UE_SEND_FAILED, request);
        return;
    }
    if (!SendAll(header)) {
        Fail(request, errno);
        return;
    }

    const int64_t dataLength = empty ? 0 : request->size;
    int64_t sent = 0;
    bool cancelled = m_cancel;
    while (!cancelled && sent < dataLength) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kBlockBytes), dataLength - sent));
        ssize_t n;
        do
            n = ::read(file.fd, m_block.data(), want);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // The file has shrunk below DATA-LENGTH, or cannot be read any more.
            Fail(request, EIO);
            return;
        }
        const BlockResult result = SendBlock(m_block.data(), static_cast<size_t>(n));
        if (result == BlockResult::Cancelled) {
            cancelled = true;
            break;
        }
        if (result == BlockResult::Failed) {
            Fail(request, errno);
            return;
        }
        sent += n;
        m_stillToSend -= n;
        m_window.Add(m_clock->Seconds(), n);
        if (m_limiter.Allow(m_clock->Ticks(), m_clock->TicksPerSecond()))
            SendProgress();
        cancelled = CancelRequested();
    }
    m_limiter.Clear();
    if (!cancelled) {
        Event(UE_DONE, request);
        return;
    }
    Event(UE_CANCELLED, request);
    if (sent < dataLength)
        EndConnection(false); // the body is unfinished: the stream cannot go on
}

std::unique_ptr<Worker> StartUploadChannel(CChannelStartInfo info, IReportSink& sink, std::shared_ptr<const Clock> clock)
{
    const uint32_t message = info.messageNumber; // upload reports carry the channel's own number
    return StartChannel<UploadChannel>(std::move(info), sink, message, UE_CONNECT_FAILED, std::move(clock));
}

} // namespace talvex
