#include "fake_server.h"
#include "tests/common/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace fake {

namespace {
int MsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}
} // namespace

Connection::Connection(int fd) : m_fd(fd) {}

Connection::~Connection() { Close(); }

void Connection::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool Connection::Fill(std::chrono::steady_clock::time_point deadline)
{
    if (m_fd < 0 || m_closedByPeer)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(deadline)) <= 0)
        return false;
    char buf[65536];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) {
        m_closedByPeer = true;
        return false;
    }
    m_buffer.append(buf, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> Connection::ReadRequest(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const size_t end = m_buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string request = m_buffer.substr(0, end + 4);
            m_buffer.erase(0, end + 4);
            return request;
        }
        if (!Fill(deadline))
            return std::nullopt;
    }
}

std::optional<std::string> Connection::ReadBytes(size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_buffer.size() < n)
        if (!Fill(deadline))
            return std::nullopt;
    std::string out = m_buffer.substr(0, n);
    m_buffer.erase(0, n);
    return out;
}

bool Connection::Drain(uint64_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const uint64_t take = std::min<uint64_t>(n, m_buffer.size());
        m_buffer.erase(0, take);
        n -= take;
        if (n == 0)
            return true;
        if (!Fill(deadline))
            return false;
    }
}

bool Connection::WaitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_closedByPeer)
        if (!Fill(deadline) && !m_closedByPeer)
            return false;
    return true;
}

bool Connection::Quiet(std::chrono::milliseconds timeout)
{
    const size_t before = m_buffer.size();
    Fill(std::chrono::steady_clock::now() + timeout);
    return m_buffer.size() == before;
}

void Connection::Write(std::string_view bytes)
{
    while (!bytes.empty() && m_fd >= 0) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

void Connection::WriteSplit(std::string_view bytes, std::initializer_list<size_t> cuts, std::chrono::milliseconds pause)
{
    size_t from = 0;
    for (size_t cut : cuts) {
        Write(bytes.substr(from, cut - from));
        from = cut;
        std::this_thread::sleep_for(pause);
    }
    Write(bytes.substr(from));
}

Server::Server(int backlog)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (talvex::test::BindLoopback(m_fd, m_port) != 0 || ::listen(m_fd, backlog) != 0)
        throw std::runtime_error("fake server: cannot listen on 127.0.0.1");
}

Server::~Server() { ::close(m_fd); }

std::unique_ptr<Connection> Server::Accept(std::chrono::milliseconds timeout)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return nullptr;
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    return fd < 0 ? nullptr : std::make_unique<Connection>(fd);
}

std::string Answer(std::string_view command, int status, std::string_view moreLines)
{
    std::string out = "TLXSP/1.0 RESPONSE_ ";
    out.append(command);
    out.append("\r\nSTATUS-CODE : ");
    out.append(std::to_string(status));
    out.append("\r\nSTATUS-DESC : answer\r\n");
    out.append(moreLines);
    out.append("\r\n");
    return out;
}

} // namespace fake
