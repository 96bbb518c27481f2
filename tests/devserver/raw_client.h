#pragma once
// A plain TCP client for tests: sends bytes as given and reads TLXSP answers or raw bytes,
// every read bounded in time.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace talvex::testing {

struct RawAnswer {
    bool ok = false;       // a whole header block (and its body) arrived
    std::string firstLine;
    std::string command;   // third word of the first line
    int status = -1;
    std::map<std::string, std::string> headers;
    std::string body;
    std::string Header(const std::string& name) const
    {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class RawClient {
public:
    explicit RawClient(uint16_t port);
    ~RawClient();
    bool Connected() const { return m_fd >= 0; }
    bool Send(std::string_view bytes);
    // Sends what the connection takes within the time, without blocking; the count sent.
    size_t SendFor(std::string_view bytes, int timeoutMs);
    void ShutdownWrite(); // FIN: the server sees the end of the stream, answers still arrive
    RawAnswer Read(int timeoutMs = 5000);
    RawAnswer Request(std::string_view bytes, int timeoutMs = 5000);
    // True when the server closes the connection within the time (buffered bytes are skipped).
    bool WaitClosed(int timeoutMs);
    // Everything until the server closes the connection (or the time is up).
    std::string ReadAll(int timeoutMs);
    void Close();

private:
    bool Fill(int timeoutMs);
    int m_fd = -1;
    std::string m_buffer;
};

// One HTTP GET on 127.0.0.1:port; the whole answer (head and body) as received.
std::string HttpGet(uint16_t port, const std::string& target, int timeoutMs = 5000);

} // namespace talvex::testing
