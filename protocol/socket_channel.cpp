#include "protocol/socket_channel.h"

#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/resolver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// Linux 6.15 caps the retransmission back-off of one socket with this option; the C library's
// headers of older systems (Debian 12) do not name it yet.
#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44
#endif

namespace talvex {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// A link that goes dark (a tunnel, a roaming laptop, a router that reboots) drops everything
// sent meanwhile. The kernel retransmits the oldest segment with a back-off that doubles each
// time up to 120 s, so a connection that survives a 15 s outage sends its next retransmission
// up to about as long again after the link is back, and resumes only then. Capping the
// back-off at 1 s (the least the kernel takes) makes the first retransmission after the outage
// come within a second of it. The price: for as long as the path is silent, one segment a
// second per connection instead of ever fewer. On a congested link that is the traffic the
// back-off would have spared it, but a few connections sending one segment a second (about
// 12 kbit/s each) add nothing a link worth uploading over would notice. A healthy path's timer
// (the smoothed round trip plus four deviations) stays well under the cap; where the round trip
// itself passes a second (a satellite hop behind a full queue), a segment goes once more before
// its acknowledgement can come, and the kernel undoes the slowdown of such a spurious timeout
// (F-RTO): the cost is the duplicate segment.
constexpr int kRetransmitCapMs = 1000;

// A timer the kernel refused is said in the log once per process, not once per connection.
void LogOnce(std::atomic<bool>& said, const char* what, int error)
{
    if (!said.exchange(true))
        Log("%s (%s)\n", what, std::strerror(error));
}

// Sets the timers of LinkTimersFor on a socket before it connects (the cap then covers the SYN
// retransmissions too). None of them is needed to talk to the server: a kernel that refuses one
// leaves the system's timer in its place, said once in the log.
void SetLinkTimers(int fd, const LinkTimers& timers)
{
    static std::atomic<bool> saidUserTimeout{false}, saidKeepalive{false}, saidCap{false};
    if (timers.userTimeoutMs <= 0)
        return;
    const unsigned userTimeout = static_cast<unsigned>(timers.userTimeoutMs);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout) != 0) {
        // Without a bound of its own, the cap would let the kernel give the connection up in
        // the middle of an outage after its usual number of (now frequent) retransmissions.
        LogOnce(saidUserTimeout, "TCP_USER_TIMEOUT not set: connections keep the system's timers", errno);
        return;
    }
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &timers.keepIdleS, sizeof timers.keepIdleS) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &timers.keepIntervalS, sizeof timers.keepIntervalS) != 0)
        LogOnce(saidKeepalive, "TCP keepalive timers not set: an idle connection is probed at the system's pace", errno);
    if (::setsockopt(fd, IPPROTO_TCP, TCP_RTO_MAX_MS, &timers.retransmitCapMs, sizeof timers.retransmitCapMs) != 0)
        LogOnce(saidCap,
                errno == ENOPROTOOPT || errno == EINVAL
                    ? "this kernel cannot cap the retransmission back-off (TCP_RTO_MAX_MS, Linux 6.15 and later): a "
                      "connection that outlives an outage may resume only some seconds after the link is back"
                    : "TCP_RTO_MAX_MS not set",
                errno);
}

// Where a body is written until it is whole.
std::string PartPath(const std::string& path) { return path + ".part"; }

SteadyTime DeadlineAfter(int ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

int MsUntil(SteadyTime deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

// Why these values: TCP_USER_TIMEOUT is the dead-path bound itself. Data that goes
// unacknowledged that long (counted from its first transmission) ends the connection with
// ETIMEDOUT; with the 1 s cap the last retransmission falls within a second of the bound.
// An idle connection has nothing to retransmit: keepalive probes stand in for the data. The
// kernel ends it at the first probe that finds nothing heard for the whole bound, so probes
// go a second apart once the peer is silent (a few dozen bytes each, only while it is), and an
// idle connection is probed after a tenth of the bound: its silence before an outage is then
// at most that tenth, and an outage up to nine tenths of the bound less a second leaves idle
// connections standing as it leaves busy ones (45 s: a 39 s outage).
LinkTimers LinkTimersFor(int stallTimeoutMs)
{
    if (stallTimeoutMs <= 0)
        return {};
    LinkTimers timers;
    timers.retransmitCapMs = kRetransmitCapMs;
    timers.userTimeoutMs = stallTimeoutMs;
    timers.keepIdleS = std::max(1, stallTimeoutMs / 10000);
    timers.keepIntervalS = 1;
    return timers;
}

SocketChannel::SocketChannel(const CChannelStartInfo& info, WorkerContext& context, tlxsp::HeaderOrder order)
    : m_info(info), m_context(context), m_order(order)
{
}

SocketChannel::~SocketChannel()
{
    if (m_bodyFd >= 0)
        ::close(m_bodyFd);
    CloseSocket(false);
}

std::string SocketChannel::WorkFile(const std::string& name) const
{
    const std::string dir = m_info.workDir.empty() ? AppDir() : WithTrailingSlash(m_info.workDir);
    return dir + name;
}

bool SocketChannel::Connect()
{
    // One time limit covers the name look-up and the connect.
    const SteadyTime deadline = DeadlineAfter(std::max(1, m_info.connectTimeoutMs));
    auto quitPosted = [](void* self) {
        auto* channel = static_cast<SocketChannel*>(self);
        channel->m_context.mailbox.ClearWake();
        return channel->m_context.mailbox.Contains(UM_QUIT);
    };
    ResolveResult resolved =
        ResolveHost(m_info.host, m_info.port, deadline, m_context.mailbox.WakeFd(), quitPosted, this);
    if (resolved.outcome == ResolveOutcome::Interrupted)
        m_quitDuringConnect = true;
    if (resolved.outcome != ResolveOutcome::Resolved)
        return false;
    addrinfo* found = resolved.addresses.get();

    const LinkTimers timers = LinkTimersFor(m_info.stallTimeoutMs);
    for (addrinfo* a = found; a && m_fd < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        SetLinkTimers(fd, timers);
        bool connected = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        if (!connected && errno == EINPROGRESS) {
            for (;;) {
                pollfd fds[2] = {{fd, POLLOUT, 0}, {m_context.mailbox.WakeFd(), POLLIN, 0}};
                const int n = ::poll(fds, 2, MsUntil(deadline));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break; // time-out or failure
                if (fds[1].revents & POLLIN) {
                    m_context.mailbox.ClearWake();
                    if (m_context.mailbox.Contains(UM_QUIT)) {
                        m_quitDuringConnect = true;
                        break;
                    }
                }
                if (fds[0].revents) {
                    int error = 0;
                    socklen_t len = sizeof error;
                    connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
                    break;
                }
            }
        }
        if (!connected) {
            ::close(fd);
            if (m_quitDuringConnect || MsUntil(deadline) == 0)
                return false;
            continue;
        }
        const int one = 1;
        int sendBuffer = m_info.sendBufferBytes;
        if (sendBuffer > 0) {
            // A fixed buffer that cannot hold two full segments can stall the connection for good
            // (seen on loopback, whose segments are 64 KB: the last one is never acknowledged).
            int segment = 0;
            socklen_t len = sizeof segment;
            if (::getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &len) == 0 && segment > 0)
                sendBuffer = std::max(sendBuffer, 2 * segment);
        }
        if ((sendBuffer > 0 && ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0) ||
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
            ::close(fd);
            return false;
        }
        m_fd = fd;
    }
    return m_fd >= 0;
}

int SocketChannel::Run()
{
    if (m_fd < 0)
        return -1;
    OnConnected();
    while (!m_ended) {
        if (!m_bodyResponse) {
            if (!DrainMailbox())
                return 0;
            if (m_ended)
                break;
        }
        pollfd fds[2] = {{m_fd, static_cast<short>(POLLIN | POLLRDHUP), 0}, {m_context.mailbox.WakeFd(), POLLIN, 0}};
        const int n = ::poll(fds, 2, PollTimeoutMs());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            EndConnection(true);
            break;
        }
        if (n == 0)
            continue; // the control session's periodic wake: nothing to do
        if (fds[1].revents & POLLIN) {
            m_context.mailbox.ClearWake();
            if (m_bodyResponse && m_context.mailbox.Contains(UM_QUIT))
                FinishBody(false); // a quit does not wait for a body
        }
        if (fds[0].revents) {
            if (CloseBeforeRead() && (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                // Everything the server wrote before it closed is read and handed on first: an
                // answer that came together with the close is an answer.
                TakeArrivedInput();
                EndConnection(true);
                break;
            }
            ReadSocket();
        }
    }
    CloseSocket(false);
    return -1;
}

bool SocketChannel::DrainMailbox()
{
    while (std::optional<MailMessage> m = m_context.mailbox.Take()) {
        if (m->id == UM_QUIT) {
            OnQuit();
            CloseSocket(true);
            m_ended = true;
            return false;
        }
        OnMessage(*m);
        if (m_ended)
            return true;
    }
    return true;
}

ssize_t SocketChannel::ReceiveInput(int flags)
{
    char buffer[16384];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, flags);
    if (n > 0) {
        m_input.append(buffer, static_cast<size_t>(n));
        ProcessInput();
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        NoteSocketError(errno); // the kernel tells it once: a later call finds the socket closed
    }
    return n;
}

int SocketChannel::NoteSocketError(int error)
{
    if (m_lostError == 0)
        m_lostError = error;
    return m_lostError;
}

bool SocketChannel::ReadSocket()
{
    const ssize_t n = ReceiveInput(0);
    if (n > 0)
        return true;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    EndConnection(true); // closed by the server, or broken
    return false;
}

bool SocketChannel::TakeArrivedInput()
{
    // Bounded: at most 1 MiB of answers, then the connection goes as it was about to.
    for (int i = 0; i < 64 && m_fd >= 0 && !m_ended; ++i) {
        const ssize_t n = ReceiveInput(MSG_DONTWAIT);
        if (n == 0)
            return false; // the server has closed its side
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    return m_fd >= 0 && !m_ended;
}

void SocketChannel::ProcessInput()
{
    while (!m_ended) {
        const std::string_view in(m_input.data() + m_inputStart, m_input.size() - m_inputStart);
        if (m_bodyResponse) {
            if (in.empty())
                break;
            const size_t take = static_cast<size_t>(std::min<int64_t>(m_bodyRemaining, static_cast<int64_t>(in.size())));
            if (m_bodyFd >= 0 && !m_bodyWriteFailed && !WriteAll(m_bodyFd, in.data(), take))
                m_bodyWriteFailed = true;
            m_inputStart += take;
            m_bodyRemaining -= static_cast<int64_t>(take);
            if (m_bodyRemaining == 0)
                FinishBody(true);
            continue;
        }
        const ptrdiff_t h = tlxsp::FindHeaderEnd(in.substr(0, std::min(in.size(), tlxsp::kMaxHeaderBytes + 4)));
        if (h < 0) {
            if (in.size() > tlxsp::kMaxHeaderBytes)
                ProtocolError();
            break;
        }
        if (static_cast<size_t>(h) + 4 > tlxsp::kMaxHeaderBytes) {
            ProtocolError();
            break;
        }
        auto response = std::make_unique<CTlxspResponse>();
        tlxsp::ReadHeaderBlock(in, *response, m_order);
        m_inputStart += static_cast<size_t>(h) + 4;
        if (response->dataLength < 0 || response->dataLength > tlxsp::kMaxBodyBytes) {
            ProtocolError();
            break;
        }
        StartBody(std::move(response));
    }
    if (m_inputStart == m_input.size()) {
        m_input.clear();
        m_inputStart = 0;
    } else if (m_inputStart > 65536) {
        m_input.erase(0, m_inputStart);
        m_inputStart = 0;
    }
}

void SocketChannel::StartBody(std::unique_ptr<CTlxspResponse> response)
{
    m_bodyPath = BodyPathFor(*response);
    m_bodyStored = !m_bodyPath.empty();
    m_bodyWriteFailed = false;
    m_bodyRemaining = response->dataLength;
    if (m_bodyStored) {
        // The body goes to a file beside its own and takes its name only once it is whole: a
        // body cut short or a write that fails part-way leaves an earlier file of that name as
        // it was.
        m_bodyFd = ::open(PartPath(m_bodyPath).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_bodyFd < 0)
            m_bodyWriteFailed = true;
    }
    m_bodyResponse = std::move(response);
    if (m_bodyRemaining == 0)
        FinishBody(true);
}

void SocketChannel::FinishBody(bool complete)
{
    if (m_bodyFd >= 0) {
        if (::close(m_bodyFd) != 0)
            m_bodyWriteFailed = true;
        m_bodyFd = -1;
    }
    if (m_bodyStored) {
        const std::string part = PartPath(m_bodyPath);
        if (!complete || m_bodyWriteFailed || ::rename(part.c_str(), m_bodyPath.c_str()) != 0) {
            m_bodyWriteFailed = true;
            ::unlink(part.c_str());
        }
    }
    std::unique_ptr<CTlxspResponse> response = std::move(m_bodyResponse);
    Body body{m_bodyPath, complete && !m_bodyWriteFailed, complete};
    const bool stored = m_bodyStored;
    m_bodyPath.clear();
    m_bodyStored = false;
    m_bodyRemaining = 0;
    if (stored)
        OnResponse(std::move(response), &body);
    else if (complete)
        OnResponse(std::move(response), nullptr);
}

bool SocketChannel::SendAll(std::string_view data, int deadlineMs, size_t* sent)
{
    const SteadyTime deadline = DeadlineAfter(deadlineMs < 0 ? 0 : deadlineMs);
    size_t offset = 0;
    struct Told {
        size_t& offset;
        size_t* sent;
        ~Told()
        {
            if (sent)
                *sent = offset;
        }
    } told{offset, sent};
    while (offset < data.size()) {
        if (m_fd < 0) {
            errno = ENOTCONN;
            return false;
        }
        const ssize_t n = ::send(m_fd, data.data() + offset, data.size() - offset, MSG_NOSIGNAL);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_context.mailbox.WakeFd(), POLLIN, 0}};
            const int r = ::poll(fds, 2, deadlineMs < 0 ? -1 : MsUntil(deadline));
            if (r == 0) {
                errno = ETIMEDOUT;
                return false;
            }
            if (r > 0 && (fds[1].revents & POLLIN)) {
                m_context.mailbox.ClearWake();
                if (m_context.mailbox.Contains(UM_QUIT)) {
                    errno = ECANCELED;
                    return false;
                }
            }
            continue;
        }
        if (n < 0)
            NoteSocketError(errno);
        return false;
    }
    return true;
}

void SocketChannel::EndConnection(bool reportLost)
{
    if (m_ended)
        return;
    if (m_bodyResponse)
        FinishBody(false);
    m_ended = true;
    CloseSocket(false);
    if (reportLost)
        OnConnectionLost();
}

void SocketChannel::ProtocolError() { EndConnection(true); }

void SocketChannel::CloseSocket(bool shutdownFirst)
{
    if (m_fd < 0)
        return;
    if (shutdownFirst)
        ::shutdown(m_fd, SHUT_RDWR);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace talvex
