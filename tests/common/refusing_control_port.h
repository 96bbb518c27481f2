#pragma once
// A control port on 127.0.0.1 that reads one request block per connection and answers it as
// a refused LOGIN____ (status 400), then waits for the client to close.

#include "tests/common/loopback.h"

#include <atomic>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace talvex::test {

class RefusingControlPort {
public:
    RefusingControlPort()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        BindLoopback(m_fd, m_port);
        ::listen(m_fd, 4);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RefusingControlPort()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    RefusingControlPort(const RefusingControlPort&) = delete;
    RefusingControlPort& operator=(const RefusingControlPort&) = delete;

    int Port() const { return m_port; }

private:
    void Serve()
    {
        pollfd listening{m_fd, POLLIN, 0};
        while (!m_stop) {
            if (::poll(&listening, 1, 100) <= 0)
                continue;
            const int c = ::accept(m_fd, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string got;
            char buf[2048];
            pollfd peer{c, POLLIN, 0};
            while (got.find("\r\n\r\n") == std::string::npos && ::poll(&peer, 1, 3000) > 0) {
                const ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<size_t>(n));
            }
            const std::string answer =
                "TLXSP/1.0 RESPONSE_ LOGIN____\r\nREQUEST-ID : login#1\r\nSTATUS-CODE : 400\r\n\r\n";
            (void)!::write(c, answer.data(), answer.size());
            // Until the client closes (it logs out first), but never long.
            while (!m_stop && ::poll(&peer, 1, 2000) > 0 && ::read(c, buf, sizeof buf) > 0) {
            }
            ::close(c);
        }
    }

    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace talvex::test
