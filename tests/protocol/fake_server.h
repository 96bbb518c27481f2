#pragma once
// A scripted TLXSP server on 127.0.0.1 for the engine tests. The test thread plays the server:
// it accepts the worker's connection, reads its requests byte for byte and writes answers the
// way it wants them to arrive (split, coalesced, slow, cut short, garbage, or not at all).

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fake {

using namespace std::chrono_literals;

class Connection {
public:
    explicit Connection(int fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The next request header block (up to and including CR LF CR LF), or nothing after the time-out
    // or when the peer closed first.
    std::optional<std::string> ReadRequest(std::chrono::milliseconds timeout = 5s);
    // Exactly n more bytes (body bytes after a request).
    std::optional<std::string> ReadBytes(size_t n, std::chrono::milliseconds timeout = 10s);
    // Discards n bytes without keeping them; false on time-out or close.
    bool Drain(uint64_t n, std::chrono::milliseconds timeout = 60s);
    // True when the peer closes within the time-out (bytes arriving meanwhile are kept).
    bool WaitClosed(std::chrono::milliseconds timeout = 5s);
    // Nothing arrives within the time-out.
    bool Quiet(std::chrono::milliseconds timeout = 200ms);

    void Write(std::string_view bytes);
    // Writes the bytes in pieces cut at the given offsets, pausing between the pieces.
    void WriteSplit(std::string_view bytes, std::initializer_list<size_t> cuts,
                    std::chrono::milliseconds pause = 50ms);
    void Close();
    const std::string& Buffered() const { return m_buffer; }

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);
    int m_fd;
    std::string m_buffer;
    bool m_closedByPeer = false;
};

class Server {
public:
    explicit Server(int backlog = 16);
    ~Server();
    int Port() const { return m_port; }
    std::unique_ptr<Connection> Accept(std::chrono::milliseconds timeout = 5s);

private:
    int m_fd = -1;
    int m_port = 0;
};

// A response header block: first line for the command, then the given header lines.
std::string Answer(std::string_view command, int status, std::string_view moreLines = {});

} // namespace fake
