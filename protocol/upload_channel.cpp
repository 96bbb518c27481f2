#include "protocol/upload_channel.h"

#include "platform/text_codec.h"
#include "protocol/upload_rate.h"
#include "protocol/upload_tracker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>

#include <csignal>
#include <pthread.h>
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

namespace {

// sendfile(2) has no MSG_NOSIGNAL: a peer that closed the connection would raise SIGPIPE and end
// the whole program. The signal is blocked on this thread for the call, and one it raised is
// taken back before the mask is restored, so the caller sees the error only.
ssize_t SendFileNoSignal(int socket, int file, off_t* offset, size_t count)
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const ssize_t n = ::sendfile(socket, file, offset, count);
    const int error = errno;
    // Whatever the call returned (a part may have gone before the peer's reset arrived), a
    // SIGPIPE it raised is pending now.
    sigset_t pending;
    if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        while (::sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

// What the open file is when its body is read: size, modification time, identity.
CFileStamp StampOf(const struct stat& st)
{
    return CFileStamp{static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                      static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
}

} // namespace

UploadChannel::UploadChannel(const CChannelStartInfo& info, WorkerContext& context, std::shared_ptr<const Clock> clock)
    : SocketChannel(info, context, HeaderOrder::Upload), m_clock(clock ? std::move(clock) : SystemClock())
{
}

void UploadChannel::Event(int32_t event, std::shared_ptr<CUploadRequest> request, int error)
{
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = event;
    r.error = error;
    r.request = std::move(request);
    r.selfContained = true;
    Deliver(r);
}

void UploadChannel::OnConnected() { Event(UE_CONNECTED); }

void UploadChannel::OnConnectionLost()
{
    // Found while a body was going out (an answer read between its pieces came with the close):
    // the loss names that file, whose body it cut. Without a name, no body was begun on it.
    m_lostWith = m_current;
    Event(UE_RESET, m_current, LostError());
}

void UploadChannel::OnResponse(std::unique_ptr<CTlxspResponse> response, const Body*)
{
    if (!SameCommand(response->command, kPutFile))
        return;
    response->path = FromWireLossy(response->path);
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = UE_RESPONSE;
    const std::string key = CUploadTracker::PathKey(response->path);
    auto earlier = std::find_if(m_unanswered.begin(), m_unanswered.end(),
                                [&key](const auto& sent) { return CUploadTracker::HasKey(sent->remotePath, key); });
    if (earlier != m_unanswered.end()) {
        m_unanswered.erase(earlier);
    } else if (m_current && !m_answeredEarly && CUploadTracker::HasKey(m_current->remotePath, key)) {
        // No file sent whole waits under that path: this answers the body still going out.
        m_answeredEarly = true;
        r.request = m_current;
    }
    r.response = std::move(response);
    r.selfContained = true;
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
    // Requests can follow each other straight from the mailbox without a turn of the read loop:
    // the answers to the earlier files are handed on first, or they would wait until the queue
    // runs dry (and a long queue's answers could fill the server's socket).
    TakeArrivedInput();
    std::shared_ptr<CUploadRequest> upload = std::move(message.upload);
    while (upload && !Ended()) {
        std::optional<MailMessage> after;
        if (upload->IsFolder())
            CreateFolder(upload);
        else if (!SendSmallFiles(upload, after))
            UploadFile(upload);
        upload = after ? std::move(after->upload) : nullptr;
        if (upload)
            TakeArrivedInput();
    }
}

UploadChannel::Added UploadChannel::AddToBatch(const std::shared_ptr<CUploadRequest>& request)
{
    FileCloser file{::open(request->localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    struct stat st{};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        st.st_size > kOneSendBytes)
        return Added::NotSmall;
    const int64_t length = static_cast<int64_t>(st.st_size);
    std::string header;
    if (FormatPutFileRequest(Info().sessionId, *request, length, header) != 0)
        return Added::NotSmall;
    const size_t at = m_batch.size();
    if (!m_members.empty() && at + header.size() + static_cast<size_t>(length) > kBatchBytes)
        return Added::NoRoom;
    m_batch.append(header);
    const size_t bodyAt = m_batch.size();
    m_batch.resize(bodyAt + static_cast<size_t>(length));
    ssize_t n;
    do
        n = ::pread(file.fd, m_batch.data() + bodyAt, static_cast<size_t>(length), 0);
    while (n < 0 && errno == EINTR);
    if (n != length) {
        m_batch.resize(at); // changed since its size was taken: the usual path tells
        return Added::NotSmall;
    }
    request->stamp = StampOf(st);
    m_members.push_back({request, m_batch.size()});
    return Added::Yes;
}

bool UploadChannel::SendSmallFiles(const std::shared_ptr<CUploadRequest>& first, std::optional<MailMessage>& next)
{
    if (const UploadRateLimiter* limit = Info().rateLimit.get(); limit && limit->Rate() != 0)
        return false; // a limited rate goes piece by piece
    if (CancelledUnbegun(first))
        return true;
    m_batch.clear();
    m_members.clear();
    if (AddToBatch(first) != Added::Yes)
        return false;
    // The uploads waiting right behind it join while they are small files and there is room.
    while (m_batch.size() < kBatchBytes) {
        std::optional<MailMessage> m = Mail().TakeFront(UM_UPLOAD);
        if (!m)
            break;
        if (!m->upload || m->upload->IsFolder() || AddToBatch(m->upload) != Added::Yes) {
            next = std::move(m);
            break;
        }
    }
    size_t sent = 0;
    const int error = SendAll(m_batch, -1, &sent) ? 0 : errno;
    for (Member& member : m_members) {
        if (member.end > sent) {
            // The bytes this file was in went only in part: the loss names it; the ones behind
            // it never began.
            m_batch.clear();
            std::shared_ptr<CUploadRequest> cut = std::move(member.request);
            m_members.clear();
            next.reset();
            Fail(cut, error);
            return true;
        }
        m_unanswered.push_back(member.request);
        Event(UE_DONE, std::move(member.request));
    }
    m_members.clear();
    return true;
}

void UploadChannel::Fail(const std::shared_ptr<CUploadRequest>& request, int error)
{
    // The stream is no longer in step with the server: report and close. Answers to earlier
    // requests that have already arrived are handed on first: those files did arrive. Uploads
    // a cancel took before this failure are cancelled before it.
    TakeArrivedInput();
    CancelTakenAhead();
    if (request && request == m_lostWith) {
        EndConnection(false); // its loss was told with it already
        return;
    }
    if (error == ECANCELED) {
        Event(UE_CANCELLED, request);
    } else {
        // The socket's own first error tells why it broke: once the kernel has given a
        // connection up, the next send finds only EPIPE.
        if (LostError() != 0)
            error = LostError();
        Event(error == ECONNRESET || error == EPIPE ? UE_RESET : UE_SEND_FAILED, request, error);
    }
    EndConnection(false);
}

int32_t FormatPutFileRequest(std::string_view sessionId, const CUploadRequest& request, int64_t length,
                             std::string& header)
{
    std::string path, id;
    int32_t error = ToWireText(request.remotePath, path);
    if (error == 0)
        error = ToWireText(request.requestId, id);
    header = length >= 0 ? FormatPutFile(sessionId, id, length, path) : FormatPutFileNoLength(sessionId, id, path);
    if (error == 0)
        error = CheckRequestSize(header);
    return error;
}

void UploadChannel::CreateFolder(const std::shared_ptr<CUploadRequest>& request)
{
    if (CancelledUnbegun(request))
        return;
    std::string header;
    if (const int32_t error = FormatPutFileRequest(Info().sessionId, *request, -1, header); error != 0) {
        // Nothing was sent: the connection goes on, the entry fails with its own reason.
        request->headerError = error;
        Event(UE_OPEN_FAILED, request);
        return;
    }
    if (!SendAll(header)) {
        const int e = errno;
        if (e == ECANCELED)
            Event(UE_CANCELLED, request);
        else
            Event(UE_SEND_FAILED, request, LostError() != 0 ? LostError() : e);
        EndConnection(false);
        return;
    }
    m_unanswered.push_back(request);
    Event(UE_DONE, request);
}

void UploadChannel::SendProgress()
{
    talvex::Report r;
    r.message = Info().messageNumber;
    r.code = UE_PROGRESS;
    r.progress = std::make_unique<CUploadProgress>(
        ComputeProgress(m_total, m_stillToSend, m_clock->Seconds() - m_startTime, m_window));
    r.selfContained = true;
    Deliver(r);
}

bool UploadChannel::CancelledUnbegun(const std::shared_ptr<CUploadRequest>& request)
{
    if (!Mail().Contains(UM_CANCEL) || !CancelRequested())
        return false;
    // Given before a cancel: never begun.
    Event(UE_CANCELLED, request);
    CancelTakenAhead();
    AwaitEarlierAnswers();
    return true;
}

bool UploadChannel::CancelRequested()
{
    // A cancel ends this file and every upload given before the cancel (the window gives a
    // channel several at a time): those are taken out of the mailbox unsent.
    std::vector<MailMessage> taken = Mail().TakeThrough(UM_CANCEL, UM_UPLOAD);
    if (!taken.empty())
        m_cancel = true;
    for (MailMessage& m : taken)
        if (m.id == UM_UPLOAD && m.upload)
            m_cancelledAhead.push_back(std::move(m.upload));
    // A quit ends a transfer as a cancel does; the loop serves the quit afterwards.
    if (Mail().Contains(UM_QUIT))
        m_cancel = true;
    return m_cancel;
}

UploadChannel::Step UploadChannel::WaitWritable()
{
    // Arrived answers are taken once per wait: a peer that has closed its side stays readable.
    short socketEvents = POLLOUT | POLLIN;
    for (;;) {
        pollfd fds[2] = {{Socket(), socketEvents, 0}, {Mail().WakeFd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, std::max(1, Info().sendStallMs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Step::Failed;
        if (ready == 0) {
            // The server reads nothing: our patience has ended.
            errno = ETIMEDOUT;
            return Step::Failed;
        }
        if (fds[1].revents & POLLIN) {
            Mail().ClearWake();
            if (CancelRequested()) {
                errno = ECANCELED;
                return Step::Cancelled;
            }
        }
        if (fds[0].revents & POLLIN) {
            // Answers to earlier files while this one's body waits for room.
            TakeArrivedInput();
            if (m_answeredEarly) {
                errno = ECONNABORTED; // the server has answered this file: it reads no more of it
                return Step::Failed;
            }
            socketEvents = POLLOUT;
            if (!(fds[0].revents & (POLLOUT | POLLERR | POLLHUP)))
                continue;
        }
        return Step::Done; // room in the socket, an error to be told by the next send, or other mail
    }
}

int64_t UploadChannel::Allowance(int64_t want, bool& cancelled)
{
    UploadRateLimiter* limit = Info().rateLimit.get();
    if (!limit)
        return want;
    for (;;) {
        int waitMs = 0;
        if (const int64_t granted = limit->Take(want, waitMs); granted > 0)
            return granted;
        pollfd wake{Mail().WakeFd(), POLLIN, 0};
        if (::poll(&wake, 1, waitMs) > 0) {
            Mail().ClearWake();
            if (CancelRequested()) {
                cancelled = true;
                return 0;
            }
        }
    }
}

void UploadChannel::Sent(int64_t bytes)
{
    m_stillToSend -= bytes;
    m_window.Add(m_clock->Seconds(), bytes);
    if (m_limiter.Allow(m_clock->Ticks(), m_clock->TicksPerSecond()))
        SendProgress();
}

UploadChannel::Step UploadChannel::SendCopied(const char* data, size_t size)
{
    size_t offset = 0;
    while (offset < size) {
        const ssize_t n = ::send(Socket(), data + offset, size - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            Sent(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (const Step s = WaitWritable(); s != Step::Done)
                return s;
            continue;
        }
        return Step::Failed;
    }
    return Step::Done;
}

UploadChannel::Step UploadChannel::SendPiece(int file, int64_t& offset, int64_t count)
{
    while (count > 0) {
        if (!m_zeroCopy) {
            if (m_buffer.empty())
                m_buffer.resize(static_cast<size_t>(kPieceBytes));
            const size_t want = static_cast<size_t>(std::min<int64_t>(count, kPieceBytes));
            ssize_t n;
            do
                n = ::pread(file, m_buffer.data(), want, offset);
            while (n < 0 && errno == EINTR);
            if (n <= 0) {
                errno = EIO; // the file ended before DATA-LENGTH, or cannot be read any more
                return Step::Failed;
            }
            if (const Step s = SendCopied(m_buffer.data(), static_cast<size_t>(n)); s != Step::Done)
                return s;
            offset += n;
            count -= n;
            continue;
        }
        off_t at = static_cast<off_t>(offset);
        const ssize_t n = SendFileNoSignal(Socket(), file, &at, static_cast<size_t>(count));
        if (n > 0) {
            offset += n;
            count -= n;
            Sent(n);
            continue;
        }
        if (n == 0) {
            errno = EIO; // the file ended before DATA-LENGTH
            return Step::Failed;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const Step s = WaitWritable(); s != Step::Done)
                return s;
            continue;
        }
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            m_zeroCopy = false; // this file system cannot feed the socket itself: read and send
            continue;
        }
        return Step::Failed;
    }
    return Step::Done;
}

void UploadChannel::UploadFile(const std::shared_ptr<CUploadRequest>& request)
{
    m_cancel = false;
    m_zeroCopy = Info().zeroCopy;
    m_limiter.Clear();

    // Never blocks: a FIFO put where the file was opens at once here and is refused below.
    FileCloser file{::open(request->localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    struct stat st{};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
        request->readError = errno != 0 ? errno : EIO;
        Event(UE_OPEN_FAILED, request);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        request->readError = S_ISDIR(st.st_mode) ? EISDIR : NotAFileCode(st.st_mode);
        Event(UE_OPEN_FAILED, request);
        return;
    }
    // The file is sent as it is now, whatever its size was when the folder was read: the length
    // announced is the open file's, and the stamp holds it (the receiver of UE_DONE takes it over).
    const int64_t length = static_cast<int64_t>(st.st_size);
    request->stamp = StampOf(st);
    const bool empty = length == 0;
    m_total = m_stillToSend = length;
    m_startTime = m_clock->Seconds();
    m_window.Reset(m_startTime);

    std::string header;
    if (const int32_t error = FormatPutFileRequest(Info().sessionId, *request, empty ? -1 : length, header); error != 0) {
        request->headerError = error; // nothing was sent: the connection goes on
        Event(UE_OPEN_FAILED, request);
        return;
    }
    // A small file goes with its header in one send, its body read at once; it has no progress
    // reports (nothing lies between its first byte and its last). One that no longer holds its
    // length by then, or a limited rate, takes the piece by piece path below.
    const UploadRateLimiter* limit = Info().rateLimit.get();
    bool whole = false;
    if (length > 0 && length <= kOneSendBytes && !m_cancel && (!limit || limit->Rate() == 0)) {
        const size_t at = header.size();
        header.resize(at + static_cast<size_t>(length));
        ssize_t n;
        do
            n = ::pread(file.fd, header.data() + at, static_cast<size_t>(length), 0);
        while (n < 0 && errno == EINTR);
        whole = n == length;
        if (!whole)
            header.resize(at);
    }
    if (!whole)
        SendProgress(); // the initial report is never held back
    if (!SendAll(header)) {
        Fail(request, errno);
        return;
    }
    if (whole) {
        m_stillToSend = 0;
        m_window.Add(m_clock->Seconds(), length);
    }

    // Exactly DATA-LENGTH bytes follow, whatever the file does meanwhile; a cancel or a quit is
    // looked for after every piece and during every wait.
    const int64_t dataLength = length;
    int64_t sent = whole ? length : 0;
    bool cancelled = m_cancel;
    m_current = request;
    m_answeredEarly = false;
    while (!cancelled && sent < dataLength) {
        const int64_t piece = Allowance(std::min(kPieceBytes, dataLength - sent), cancelled);
        if (cancelled)
            break;
        const Step step = SendPiece(file.fd, sent, piece);
        if (step == Step::Cancelled) {
            cancelled = true;
            break;
        }
        if (step == Step::Done && sent < dataLength)
            TakeArrivedInput(); // an answer for this very file stops the body (a cheap look)
        if (step == Step::Failed || m_answeredEarly) {
            if (step != Step::Failed)
                errno = ECONNABORTED;
            m_current.reset();
            Fail(request, errno);
            return;
        }
        cancelled = CancelRequested();
    }
    m_current.reset();
    m_limiter.Clear();
    if (dataLength == 0 && !cancelled)
        cancelled = CancelRequested(); // no piece was sent to look for a cancel after
    if (!cancelled || sent == dataLength) {
        // Every byte went: the file's answer will come, whatever was asked meanwhile.
        m_unanswered.push_back(request);
        Event(UE_DONE, request);
        if (!m_cancelledAhead.empty()) {
            // Uploads given before the cancel are cancelled unsent; the channel ends once the
            // files it sent whole are answered, as after any cancel.
            CancelTakenAhead();
            AwaitEarlierAnswers();
        }
        return;
    }
    // Answers to earlier files that have already arrived are handed on before the cancel.
    TakeArrivedInput();
    Event(UE_CANCELLED, request);
    CancelTakenAhead();
    // The body is unfinished: the stream cannot go on, but what was sent whole before it is
    // still answered.
    AwaitEarlierAnswers();
}

void UploadChannel::CancelTakenAhead()
{
    for (std::shared_ptr<CUploadRequest>& request : m_cancelledAhead)
        Event(UE_CANCELLED, std::move(request));
    m_cancelledAhead.clear();
}

void UploadChannel::AwaitEarlierAnswers()
{
    if (m_unanswered.empty() || Socket() < 0) {
        EndConnection(true);
        return;
    }
    ::shutdown(Socket(), SHUT_WR); // the server sees the body end early and drops it
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, Info().answerWaitMs));
    // A quit that cut the body short is still in the mailbox, its wake-up already taken: it is
    // looked for at every turn, not only when the wake-up comes.
    while (!m_unanswered.empty() && Socket() >= 0 && !Mail().Contains(UM_QUIT)) {
        const int64_t left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd fds[2] = {{Socket(), POLLIN, 0}, {Mail().WakeFd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            Mail().ClearWake();
            if (Mail().Contains(UM_QUIT))
                break;
        }
        if (fds[0].revents && !TakeArrivedInput())
            break; // closed by the server: nothing more will come
    }
    // What is still unanswered never will be: the owner fails it when the loss is reported.
    EndConnection(true);
}

std::unique_ptr<Worker> StartUploadChannel(CChannelStartInfo info, IReportSink& sink, std::shared_ptr<const Clock> clock)
{
    const uint32_t message = info.messageNumber; // upload reports carry the channel's own number
    return StartChannel<UploadChannel>(std::move(info), sink, message, UE_CONNECT_FAILED, std::move(clock));
}

} // namespace talvex
