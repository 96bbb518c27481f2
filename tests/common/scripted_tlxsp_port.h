#pragma once
// A TLXSP port on 127.0.0.1 whose answers a test scripts per request: every connection is
// served on its own thread, every request (header block and body) is recorded with the time
// it arrived, and a responder decides what goes back (an answer, nothing, or a closed
// connection). Serves the control and the command connections alike.

#include "tests/common/loopback.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace talvex::test {

struct SeenRequest {
    std::string command; // the third word of the first line
    std::string block;   // the header block, CR LF CR LF included
    std::string body;    // DATA-LENGTH bytes after it
    std::chrono::steady_clock::time_point at;

    // The value of a header line ("NAME : value"), if the block has one.
    std::optional<std::string> Header(const std::string& name) const
    {
        const std::string key = "\r\n" + name + " : ";
        const size_t at = block.find(key);
        if (at == std::string::npos)
            return std::nullopt;
        const size_t from = at + key.size();
        return block.substr(from, block.find("\r\n", from) - from);
    }
};

// A response header block for the command with the status and any further lines (each
// ending in CR LF), and the body after it (DATA-LENGTH added when there is one).
inline std::string TlxspAnswer(const std::string& command, int status, const std::string& lines = {},
                               const std::string& body = {})
{
    std::string out = "TLXSP/1.0 RESPONSE_ " + command + "\r\nSTATUS-CODE : " + std::to_string(status) +
                      "\r\nSTATUS-DESC : scripted\r\n" + lines;
    if (!body.empty())
        out += "DATA-LENGTH : " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

class ScriptedTlxspPort {
public:
    // What to send for a request: bytes, kSilent (nothing) or kClose (close the connection).
    using Responder = std::function<std::string(const SeenRequest&)>;
    static inline const std::string kSilent = "\x01silent";
    static inline const std::string kClose = "\x01close";

    explicit ScriptedTlxspPort(Responder responder) : m_responder(std::move(responder))
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        BindLoopback(m_fd, m_port);
        ::listen(m_fd, 16);
        m_accept = std::thread([this] { AcceptLoop(); });
    }
    ~ScriptedTlxspPort()
    {
        m_stop = true;
        m_accept.join();
        for (auto& t : m_served)
            t.join();
        ::close(m_fd);
    }
    ScriptedTlxspPort(const ScriptedTlxspPort&) = delete;
    ScriptedTlxspPort& operator=(const ScriptedTlxspPort&) = delete;

    int Port() const { return m_port; }
    std::vector<SeenRequest> Seen(const std::string& command = {}) const
    {
        std::lock_guard lock(m_mutex);
        std::vector<SeenRequest> out;
        for (const auto& r : m_seen)
            if (command.empty() || r.command == command)
                out.push_back(r);
        return out;
    }

    // The answers a session needs to get going: LOGIN____ accepted, LOGOUT___ answered, and the
    // root listing empty; nothing for any other request.
    static std::string SessionAnswer(const SeenRequest& r)
    {
        if (r.command == "LOGIN____")
            return TlxspAnswer(r.command, 200, "REQUEST-ID : login#1\r\nSESSION-ID : scripted-session\r\n");
        if (r.command == "LOGOUT___")
            return TlxspAnswer(r.command, 200, "REQUEST-ID : logout#1\r\n");
        if (r.command == "BROWSE___")
            return TlxspAnswer(r.command, 200, "REQUEST-ID : browse#1\r\n");
        return kSilent;
    }

private:
    void AcceptLoop()
    {
        pollfd listening{m_fd, POLLIN, 0};
        while (!m_stop) {
            if (::poll(&listening, 1, 50) <= 0)
                continue;
            const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                m_served.emplace_back([this, c] { Serve(c); });
        }
    }

    // Reads until the buffer holds n bytes; false on close, error or stop.
    bool Fill(int c, std::string& buffer, size_t n)
    {
        char chunk[65536];
        pollfd peer{c, POLLIN, 0};
        while (buffer.size() < n) {
            if (m_stop)
                return false;
            if (::poll(&peer, 1, 50) <= 0)
                continue;
            const ssize_t got = ::read(c, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    void Serve(int c)
    {
        std::string buffer;
        for (;;) {
            size_t end;
            while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
                if (!Fill(c, buffer, buffer.size() + 1))
                    goto done;
            {
                SeenRequest r;
                r.block = buffer.substr(0, end + 4);
                buffer.erase(0, end + 4);
                const size_t lineEnd = r.block.find("\r\n");
                const std::string first = r.block.substr(0, lineEnd);
                const size_t s1 = first.find(' ');
                const size_t s2 = s1 == std::string::npos ? s1 : first.find(' ', s1 + 1);
                if (s2 != std::string::npos)
                    r.command = first.substr(s2 + 1);
                if (const auto length = r.Header("DATA-LENGTH")) {
                    const size_t n = std::stoull(*length);
                    if (!Fill(c, buffer, n))
                        goto done;
                    r.body = buffer.substr(0, n);
                    buffer.erase(0, n);
                }
                r.at = std::chrono::steady_clock::now();
                {
                    std::lock_guard lock(m_mutex);
                    m_seen.push_back(r);
                }
                const std::string answer = m_responder(r);
                if (answer == kClose)
                    goto done;
                if (answer != kSilent)
                    (void)!::write(c, answer.data(), answer.size());
            }
        }
    done:
        ::close(c);
    }

    Responder m_responder;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_accept;
    std::vector<std::thread> m_served; // touched by the accepting thread only, then joined
    mutable std::mutex m_mutex;
    std::vector<SeenRequest> m_seen;
};

} // namespace talvex::test
