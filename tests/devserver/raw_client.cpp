#include "raw_client.h"
#include "tests/common/loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace talvex::testing {

RawClient::RawClient(uint16_t port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (test::ConnectLoopback(m_fd, port) != 0)
        Close();
}

RawClient::~RawClient()
{
    Close();
}

void RawClient::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RawClient::Send(std::string_view bytes)
{
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return m_fd >= 0;
}

size_t RawClient::SendFor(std::string_view bytes, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        else {
            pollfd p{m_fd, POLLOUT, 0};
            ::poll(&p, 1, 20);
        }
    }
    return sent;
}

void RawClient::ShutdownWrite()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

bool RawClient::Fill(int timeoutMs)
{
    if (m_fd < 0)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0)
        return false;
    m_buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

RawAnswer RawClient::Read(int timeoutMs)
{
    RawAnswer a;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&] {
        return static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
    };
    size_t end;
    while ((end = m_buffer.find("\r\n\r\n")) == std::string::npos)
        if (!Fill(left()))
            return a;
    const std::string head = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 4);
    size_t pos = 0;
    bool first = true;
    while (pos < head.size()) {
        size_t eol = head.find("\r\n", pos);
        if (eol == std::string::npos)
            eol = head.size();
        const std::string line = head.substr(pos, eol - pos);
        pos = eol + 2;
        if (first) {
            first = false;
            a.firstLine = line;
            const size_t s1 = line.find(' ');
            const size_t s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
            if (s2 != std::string::npos)
                a.command = line.substr(s2 + 1);
            continue;
        }
        const size_t sep = line.find(" : ");
        if (sep != std::string::npos)
            a.headers[line.substr(0, sep)] = line.substr(sep + 3);
    }
    a.status = a.headers.count("STATUS-CODE") ? std::stoi(a.headers["STATUS-CODE"]) : -1;
    const size_t length = a.headers.count("DATA-LENGTH") ? std::stoul(a.headers["DATA-LENGTH"]) : 0;
    while (m_buffer.size() < length)
        if (!Fill(left()))
            return a;
    a.body = m_buffer.substr(0, length);
    m_buffer.erase(0, length);
    a.ok = true;
    return a;
}

RawAnswer RawClient::Request(std::string_view bytes, int timeoutMs)
{
    if (!Send(bytes))
        return {};
    return Read(timeoutMs);
}

bool RawClient::WaitClosed(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

std::string RawClient::ReadAll(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !Fill(static_cast<int>(left)))
            break;
    }
    std::string all;
    all.swap(m_buffer);
    return all;
}

std::string HttpGet(uint16_t port, const std::string& target, int timeoutMs)
{
    RawClient c(port);
    c.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return c.ReadAll(timeoutMs); // the server closes after its answer
}

} // namespace talvex::testing
