#pragma once
// Sockets of the development server: listening sockets, one thread per connection, and a
// connection wrapper whose every read and write is bounded in size and in time and gives up
// as soon as the server is asked to stop.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
    // How many reads have brought bytes from the peer so far.
    uint64_t Reads() const { return m_reads; }

    // Timed writes. A queued write goes out once its time has come and after every write
    // queued before it; a repeating write goes out every `every` from now on. Both are sent
    // while the connection waits for bytes from the peer (inside the reads above), so a delayed
    // answer never holds up reading, and by SendQueued.
    using Clock = std::chrono::steady_clock;
    IoStatus QueueSend(std::string data, Clock::time_point due, int timeoutMs);
    void StartRepeatingSend(std::chrono::milliseconds every, std::function<std::string()> make, int timeoutMs);
    bool Repeating() const { return m_repeat != nullptr; }
    // Sends at once, or queues behind the writes still waiting so that answers keep their order.
    // While the peer's next request is already here, the answer is held and goes with the next
    // ones in one send: before the connection waits for anything, and before any other write.
    IoStatus SendInTurn(std::string_view data, int timeoutMs);
    // Waits for each queued write's time and sends it; stops early when the server stops or a
    // write fails. The repeating write is not sent here.
    IoStatus SendQueued();

    // Ways to end a connection other than closing it when the handler returns.
    void ShutdownWrite();                     // FIN after what was sent; reading goes on
    void DiscardUntilClosed(int timeoutMs);   // reads and drops bytes until the peer closes
    IoStatus WaitForPeerClose(int timeoutMs); // neither reads nor writes; Closed once the peer closed
    void Reset();                             // closes at once with RST; queued writes are dropped

private:
    struct TimedSend {
        std::string data;
        Clock::time_point due;
        int timeoutMs;
    };

    IoStatus WaitFor(short events, int timeoutMs);
    IoStatus Fill(int timeoutMs);
    bool HasTimedSends() const { return !m_queue.empty() || m_repeat != nullptr; }
    // Waits for the socket to be readable like WaitFor, sending timed writes as they fall due.
    IoStatus WaitReadableServingTimedSends(int timeoutMs);
    IoStatus SendDue();
    IoStatus SendFirstQueued(); // waits for its time
    IoStatus SendNow(std::string_view data, int timeoutMs);
    IoStatus SendHeld(); // the answers held back, in one send

    UniqueFd m_fd;
    int m_stopFd;
    // Bytes read and not yet taken: m_buffer from m_start on (taken requests leave no copy of
    // what follows them; the taken part goes before the next read).
    std::string m_buffer;
    size_t m_start = 0;
    int m_readsUnwaited = 0; // reads since the last wait
    uint64_t m_reads = 0;
    std::string_view Unread() const { return std::string_view(m_buffer).substr(m_start); }
    void Consume(size_t n);
    // One recv appended to the unread bytes; Ok, Closed or Error, or Timeout when flags has
    // MSG_DONTWAIT and nothing is there.
    IoStatus Receive(int flags);
    std::string m_held;   // answers not sent yet: the next request was already here
    int m_heldTimeoutMs = 0;
    std::deque<TimedSend> m_queue;
    size_t m_queuedBytes = 0;
    std::function<std::string()> m_repeat;
    std::chrono::milliseconds m_repeatEvery{0};
    Clock::time_point m_nextRepeat{};
    int m_repeatTimeoutMs = 0;
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
