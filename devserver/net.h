#pragma once
// Sockets of the development server: listening sockets, one thread per connection, and a
// connection wrapper whose every read and write is bounded in size and in time and gives up
// as soon as the server is asked to stop.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace talvex::devserver {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

enum class IoStatus { Ok, Closed, TooLarge, Timeout, Stopped, Error };
const char* IoStatusText(IoStatus s);

class Connection {
public:
    Connection(int fd, int stopFd) : m_fd(fd), m_stopFd(stopFd) {}

    // Reads up to and including the next CR LF CR LF; `header` receives the text before it.
    // Bytes after it stay buffered for the next read. idleMs bounds the wait for the first byte
    // (-1: wait until the peer or the server ends the connection); completeMs bounds the time
    // from the first byte to the end of the block.
    IoStatus ReadHeaderBlock(std::string& header, size_t maxBytes, int idleMs, int completeMs);

    // Reads exactly `length` bytes and hands them to `sink` piece by piece (sink false: stop
    // with Error). Each piece must arrive within idleMs.
    IoStatus ReadBody(int64_t length, int idleMs, const std::function<bool(const char*, size_t)>& sink);

    IoStatus SendAll(std::string_view data, int timeoutMs);

private:
    IoStatus WaitFor(short events, int timeoutMs);
    IoStatus Fill(int timeoutMs);

    UniqueFd m_fd;
    int m_stopFd;
    std::string m_buffer;
};

// A pipe that becomes readable, for good, once the server is asked to stop.
class StopSignal {
public:
    StopSignal();
    int Fd() const { return m_read.Get(); }
    void Raise();
    bool Raised() const { return m_raised.load(); }

private:
    UniqueFd m_read, m_write;
    std::atomic<bool> m_raised{false};
};

// Counts the connection threads so that the server can refuse connections beyond its limit
// and wait for the last one to end before it goes away.
class ConnectionCounter {
public:
    explicit ConnectionCounter(size_t limit) : m_limit(limit) {}
    bool TryEnter();
    void Leave();
    void WaitForNone();
    size_t Active();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    size_t m_active = 0;
    size_t m_limit;
};

class Listener {
public:
    using Handler = std::function<void(Connection&)>;

    ~Listener();
    // Binds and listens; port 0 picks a free port. False with a message on failure.
    bool Open(const std::string& address, uint16_t port, std::string& error);
    uint16_t Port() const { return m_port; }
    // Accepts on a thread of its own until `stop` is raised; each connection runs `handler` on a
    // thread of its own.
    void Start(Handler handler, StopSignal& stop, ConnectionCounter& counter);
    void Join();

private:
    void AcceptLoop();

    UniqueFd m_fd;
    uint16_t m_port = 0;
    Handler m_handler;
    StopSignal* m_stop = nullptr;
    ConnectionCounter* m_counter = nullptr;
    std::thread m_thread;
};

} // namespace talvex::devserver
