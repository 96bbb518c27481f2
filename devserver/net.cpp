#include "devserver/net.h"

#include "devserver/server_log.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvex::devserver {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int UniqueFd::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

const char* IoStatusText(IoStatus s)
{
    switch (s) {
    case IoStatus::Ok: return "ok";
    case IoStatus::Closed: return "closed by peer";
    case IoStatus::TooLarge: return "too large";
    case IoStatus::Timeout: return "timed out";
    case IoStatus::Stopped: return "server stopping";
    case IoStatus::Error: return "error";
    }
    return "?";
}

namespace {
using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Milliseconds until `due`, rounded up so that a wait ends at or after it.
int MsUntil(Clock::time_point due)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

constexpr size_t kMaxQueuedSends = 4096;
constexpr size_t kMaxQueuedBytes = size_t{64} << 20;
constexpr size_t kMaxHeldBytes = size_t{64} << 10; // answers held together at most
} // namespace

IoStatus Connection::WaitFor(short events, int timeoutMs)
{
    if (const IoStatus s = SendHeld(); s != IoStatus::Ok)
        return s;
    pollfd fds[2] = {{m_fd.Get(), events, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return IoStatus::Error;
        }
        if (n == 0)
            return IoStatus::Timeout;
        if (fds[1].revents != 0)
            return IoStatus::Stopped;
        return IoStatus::Ok; // readable, writable, hung up or in error: the next call tells
    }
}

void Connection::Consume(size_t n)
{
    m_start += n;
    if (m_start >= m_buffer.size()) {
        m_buffer.clear();
        m_start = 0;
    }
}

IoStatus Connection::Receive(int flags)
{
    constexpr size_t kReadBytes = 65536; // a batch of small uploads in one read
    if (m_start > 0) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    const size_t had = m_buffer.size();
    m_buffer.resize(had + kReadBytes);
    for (;;) {
        const ssize_t n = ::recv(m_fd.Get(), m_buffer.data() + had, kReadBytes, flags);
        m_buffer.resize(had + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        if (n > 0) {
            ++m_reads;
            return IoStatus::Ok;
        }
        if (n == 0)
            return IoStatus::Closed;
        if (errno == EINTR) {
            m_buffer.resize(had + kReadBytes);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return IoStatus::Timeout;
        return errno == ECONNRESET ? IoStatus::Closed : IoStatus::Error;
    }
}

IoStatus Connection::Fill(int timeoutMs)
{
    // What is there already is read without a wait (held answers stay held for the requests it
    // brings); only an empty socket costs a poll, and one read in kMaxReadsUnwaited, so that a
    // peer that never pauses still finds the server's stop.
    constexpr int kMaxReadsUnwaited = 64;
    if (!HasTimedSends() && ++m_readsUnwaited < kMaxReadsUnwaited) {
        if (const IoStatus s = Receive(MSG_DONTWAIT); s != IoStatus::Timeout)
            return s;
    }
    m_readsUnwaited = 0;
    const IoStatus w = HasTimedSends() ? WaitReadableServingTimedSends(timeoutMs) : WaitFor(POLLIN, timeoutMs);
    if (w != IoStatus::Ok)
        return w;
    const IoStatus r = Receive(0);
    return r == IoStatus::Timeout ? IoStatus::Error : r;
}

IoStatus Connection::ReadHeaderBlock(std::string& header, size_t maxBytes, int idleMs, int completeMs)
{
    header.clear();
    Clock::time_point deadline{};
    bool started = !Unread().empty();
    if (started)
        deadline = Clock::now() + std::chrono::milliseconds(completeMs);
    size_t searchFrom = 0;
    for (;;) {
        const std::string_view unread = Unread();
        const size_t end = unread.find("\r\n\r\n", searchFrom);
        if (end != std::string_view::npos && end + 4 <= maxBytes) {
            header.assign(unread.substr(0, end));
            Consume(end + 4);
            return IoStatus::Ok;
        }
        if (unread.size() >= maxBytes)
            return IoStatus::TooLarge;
        searchFrom = unread.size() >= 3 ? unread.size() - 3 : 0;
        const IoStatus s = Fill(started ? RemainingMs(deadline) : idleMs);
        if (s != IoStatus::Ok)
            return s;
        if (!started) {
            started = true;
            deadline = Clock::now() + std::chrono::milliseconds(completeMs);
        }
    }
}

IoStatus Connection::ReadBody(int64_t length, int idleMs, const std::function<bool(const char*, size_t)>& sink)
{
    int64_t left = length;
    while (left > 0) {
        if (Unread().empty()) {
            const IoStatus s = Fill(idleMs);
            if (s != IoStatus::Ok)
                return s;
        }
        const std::string_view unread = Unread();
        const size_t take = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(unread.size())));
        if (!sink(unread.data(), take))
            return IoStatus::Error;
        Consume(take);
        left -= static_cast<int64_t>(take);
    }
    return IoStatus::Ok;
}

IoStatus Connection::SendHeld()
{
    if (m_held.empty())
        return IoStatus::Ok;
    const std::string held = std::move(m_held);
    m_held.clear();
    return SendNow(held, m_heldTimeoutMs);
}

IoStatus Connection::SendAll(std::string_view data, int timeoutMs)
{
    if (const IoStatus s = SendHeld(); s != IoStatus::Ok)
        return s;
    return SendNow(data, timeoutMs);
}

IoStatus Connection::SendNow(std::string_view data, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(m_fd.Get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const IoStatus w = WaitFor(POLLOUT, RemainingMs(deadline));
            if (w != IoStatus::Ok)
                return w;
            continue;
        }
        return IoStatus::Closed;
    }
    return IoStatus::Ok;
}

IoStatus Connection::WaitReadableServingTimedSends(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (const IoStatus s = SendDue(); s != IoStatus::Ok)
            return s;
        int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        bool timedSendFirst = false;
        const auto next = !m_queue.empty() && (!m_repeat || m_queue.front().due < m_nextRepeat) ? m_queue.front().due
                                                                                                 : m_nextRepeat;
        if (HasTimedSends()) {
            const int untilNext = MsUntil(next);
            if (wait < 0 || untilNext < wait) {
                wait = untilNext;
                timedSendFirst = true;
            }
        }
        const IoStatus w = WaitFor(POLLIN, wait);
        if (w != IoStatus::Timeout || !timedSendFirst)
            return w;
    }
}

IoStatus Connection::SendDue()
{
    const auto now = Clock::now();
    while (!m_queue.empty() && m_queue.front().due <= now)
        if (const IoStatus s = SendFirstQueued(); s != IoStatus::Ok)
            return s;
    if (m_repeat && m_nextRepeat <= now) {
        m_nextRepeat += m_repeatEvery;
        if (m_nextRepeat < now)
            m_nextRepeat = now + m_repeatEvery; // fell behind (a slow peer): no burst to catch up
        if (const IoStatus s = SendAll(m_repeat(), m_repeatTimeoutMs); s != IoStatus::Ok)
            return s;
    }
    return IoStatus::Ok;
}

IoStatus Connection::SendFirstQueued()
{
    TimedSend& first = m_queue.front();
    for (int wait; (wait = MsUntil(first.due)) > 0;) {
        pollfd stop{m_stopFd, POLLIN, 0};
        const int n = ::poll(&stop, 1, wait);
        if (n < 0 && errno != EINTR)
            return IoStatus::Error;
        if (n > 0)
            return IoStatus::Stopped;
    }
    const TimedSend taken = std::move(first);
    m_queue.pop_front();
    m_queuedBytes -= taken.data.size();
    return SendAll(taken.data, taken.timeoutMs);
}

IoStatus Connection::QueueSend(std::string data, Clock::time_point due, int timeoutMs)
{
    if (const IoStatus s = SendHeld(); s != IoStatus::Ok)
        return s;
    if (!m_queue.empty() && due < m_queue.back().due)
        due = m_queue.back().due;
    // A peer that sends requests faster than their answers fall due waits for room.
    while (!m_queue.empty() && (m_queue.size() >= kMaxQueuedSends || m_queuedBytes + data.size() > kMaxQueuedBytes))
        if (const IoStatus s = SendFirstQueued(); s != IoStatus::Ok)
            return s;
    m_queuedBytes += data.size();
    m_queue.push_back({std::move(data), due, timeoutMs});
    return IoStatus::Ok;
}

void Connection::StartRepeatingSend(std::chrono::milliseconds every, std::function<std::string()> make, int timeoutMs)
{
    m_repeat = std::move(make);
    m_repeatEvery = every;
    m_nextRepeat = Clock::now() + every;
    m_repeatTimeoutMs = timeoutMs;
}

IoStatus Connection::SendInTurn(std::string_view data, int timeoutMs)
{
    if (m_queue.empty() && !Unread().empty() && m_held.size() + data.size() <= kMaxHeldBytes) {
        m_held.append(data);
        m_heldTimeoutMs = timeoutMs;
        return IoStatus::Ok;
    }
    if (m_queue.empty())
        return SendAll(data, timeoutMs);
    return QueueSend(std::string(data), Clock::now(), timeoutMs);
}

IoStatus Connection::SendQueued()
{
    if (const IoStatus s = SendHeld(); s != IoStatus::Ok)
        return s;
    while (!m_queue.empty() && m_fd.Valid())
        if (const IoStatus s = SendFirstQueued(); s != IoStatus::Ok)
            return s;
    return IoStatus::Ok;
}

void Connection::ShutdownWrite()
{
    SendHeld();
    ::shutdown(m_fd.Get(), SHUT_WR);
}

void Connection::DiscardUntilClosed(int timeoutMs)
{
    SendHeld();
    m_buffer.clear();
    m_start = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (WaitFor(POLLIN, RemainingMs(deadline)) == IoStatus::Ok) {
        char chunk[16384];
        const ssize_t n = ::recv(m_fd.Get(), chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}

IoStatus Connection::WaitForPeerClose(int timeoutMs)
{
    if (const IoStatus s = SendHeld(); s != IoStatus::Ok)
        return s;
    // POLLRDHUP alone: bytes waiting to be read do not end the wait, the peer's FIN does
    // (and a reset, reported as POLLHUP or POLLERR whether asked for or not).
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{m_fd.Get(), POLLRDHUP, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, RemainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return IoStatus::Error;
        if (n == 0)
            return IoStatus::Timeout;
        return fds[1].revents != 0 ? IoStatus::Stopped : IoStatus::Closed;
    }
}

void Connection::Reset()
{
    SendHeld(); // what was answered before the reset went before it
    const linger abort{1, 0};
    ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    m_fd.Reset();
    m_queue.clear();
    m_queuedBytes = 0;
    m_repeat = nullptr;
}

StopSignal::StopSignal()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
        m_read.Reset(fds[0]);
        m_write.Reset(fds[1]);
    }
}

void StopSignal::Raise()
{
    if (m_raised.exchange(true))
        return;
    const char c = 's';
    [[maybe_unused]] const ssize_t n = ::write(m_write.Get(), &c, 1);
}

bool ConnectionCounter::TryEnter()
{
    std::lock_guard lock(m_mutex);
    if (m_active >= m_limit)
        return false;
    ++m_active;
    return true;
}

void ConnectionCounter::Leave()
{
    std::lock_guard lock(m_mutex);
    --m_active;
    m_cv.notify_all();
}

void ConnectionCounter::WaitForNone()
{
    // Every wait of a connection thread ends when the stop signal is raised, so this returns
    // as soon as the threads have seen it.
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_active == 0; });
}

size_t ConnectionCounter::Active()
{
    std::lock_guard lock(m_mutex);
    return m_active;
}

Listener::~Listener()
{
    Join();
}

bool Listener::Open(const std::string& address, uint16_t port, std::string& error)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    if (::listen(fd.Get(), 128) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_fd = std::move(fd);
    return true;
}

void Listener::Start(Handler handler, StopSignal& stop, ConnectionCounter& counter)
{
    m_handler = std::move(handler);
    m_stop = &stop;
    m_counter = &counter;
    m_thread = std::thread([this] { AcceptLoop(); });
}

void Listener::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Listener::AcceptLoop()
{
    for (;;) {
        pollfd fds[2] = {{m_fd.Get(), POLLIN, 0}, {m_stop->Fd(), POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[1].revents != 0 || m_stop->Raised())
            return;
        const int client = ::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EMFILE || errno == ENFILE)
                ::poll(nullptr, 0, 50); // let connections end before trying again
            continue;
        }
        if (!m_counter->TryEnter()) {
            ServerLog("port %u: connection refused, too many connections\n", m_port);
            ::close(client);
            continue;
        }
        const int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        try {
            std::thread([this, client] {
                {
                    Connection conn(client, m_stop->Fd());
                    m_handler(conn);
                }
                m_counter->Leave();
            }).detach();
        } catch (const std::system_error&) {
            ::close(client);
            m_counter->Leave();
        }
    }
}

} // namespace talvex::devserver
