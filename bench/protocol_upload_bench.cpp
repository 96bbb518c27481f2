// Upload throughput of the engine against a zero-copy sender (sendfile of the whole file on a
// blocking socket) of the same bytes into the same draining sink, and the speed limit.
//
//   protocol_upload_bench [--size-mib N] [--runs N] [--limit-mbps R]   all on loopback (1024 MiB, 3 runs, 10)
//   protocol_upload_bench --serve PORT            only the sink, on 0.0.0.0:PORT
//   protocol_upload_bench --host H --port P       the senders only, against a sink started with --serve
//
// For each send-buffer setting (16,384; 0 = the system's automatic tuning, the default; 262,144)
// and for the read-and-send path it prints MB/s of the engine's upload and of the zero-copy
// sender, run one after the other, and their ratio; the best ratio of the runs counts. Then one
// upload of ten seconds' worth under a limit of R MB/s (0: skipped), measured at the sink: the
// mean rate and the largest burst above the limit. Peak memory is printed at the end.

#include "protocol/upload_rate.h"
#include "protocol/worker.h"

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace talvex;
using WallClock = std::chrono::steady_clock;

namespace {

// Arrival of body bytes at the sink, recorded while a measurement asks for it.
struct Arrival {
    WallClock::time_point at;
    long long bytes; // body bytes of the connection so far
};
std::atomic<std::vector<Arrival>*> g_arrivals{nullptr};

// The sink: per connection, either "RAW <n>\r\n\r\n" followed by n bytes, or PUTFILE__ requests
// with DATA-LENGTH bytes each, answered as the service does. Drains as fast as it can.
void ServeConnection(int fd)
{
    std::vector<char> buf(1 << 20);
    std::string header;
    for (;;) {
        header.clear();
        while (header.find("\r\n\r\n") == std::string::npos) {
            char c;
            const ssize_t n = ::recv(fd, &c, 1, 0);
            if (n <= 0) {
                ::close(fd);
                return;
            }
            header.push_back(c);
        }
        long long length = 0;
        const size_t at = header.find("DATA-LENGTH : ");
        if (at != std::string::npos)
            length = std::atoll(header.c_str() + at + 14);
        else if (header.rfind("RAW ", 0) == 0)
            length = std::atoll(header.c_str() + 4);
        std::vector<Arrival>* arrivals = g_arrivals.load();
        long long received = 0;
        while (length > 0) {
            const ssize_t n = ::recv(fd, buf.data(), std::min<long long>(length, static_cast<long long>(buf.size())), 0);
            if (n <= 0) {
                ::close(fd);
                return;
            }
            length -= n;
            received += n;
            if (arrivals)
                arrivals->push_back({WallClock::now(), received});
        }
        const std::string answer = header.rfind("RAW ", 0) == 0
                                       ? std::string("DONE\r\n\r\n")
                                       : std::string("TLXSP/1.0 RESPONSE_ PUTFILE__\r\nSTATUS-CODE : 200\r\n\r\n");
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
}

int Listen(const char* address, int port, int& boundPort)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        std::perror("listen");
        std::exit(1);
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
    return fd;
}

void AcceptLoop(int listenFd)
{
    for (;;) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        std::thread(ServeConnection, fd).detach();
    }
}

// The kernel's best: the whole file in sendfile calls on a blocking socket, no SO_SNDBUF.
double ZeroCopySend(const std::string& host, int port, const std::string& file, long long size)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0)
        return 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
        ::freeaddrinfo(res);
        ::close(fd);
        return 0;
    }
    ::freeaddrinfo(res);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int in = ::open(file.c_str(), O_RDONLY);
    const auto start = WallClock::now();
    const std::string header = "RAW " + std::to_string(size) + "\r\n\r\n";
    ::send(fd, header.data(), header.size(), 0);
    off_t offset = 0;
    while (offset < size) {
        const ssize_t n = ::sendfile(fd, in, &offset, static_cast<size_t>(size - offset));
        if (n <= 0) {
            ::close(in);
            ::close(fd);
            return 0;
        }
    }
    char done[8];
    ::recv(fd, done, sizeof done, MSG_WAITALL); // the sink has drained every byte
    const double seconds = std::chrono::duration<double>(WallClock::now() - start).count();
    ::close(in);
    ::close(fd);
    return static_cast<double>(size) / 1e6 / seconds;
}

double EngineUpload(const std::string& host, int port, int sendBuffer, const std::string& file, long long size,
                    bool zeroCopy = true, std::shared_ptr<UploadRateLimiter> limit = nullptr)
{
    BlockingReportQueue reports;
    CChannelStartInfo info;
    info.host = host;
    info.port = port;
    info.sessionId = "BENCH";
    info.messageNumber = kUploadMessageBase + 1;
    info.sendBufferBytes = sendBuffer;
    info.zeroCopy = zeroCopy;
    info.rateLimit = std::move(limit);
    auto channel = StartUploadChannel(info, reports);
    std::optional<Report> r = reports.Next(std::chrono::seconds(20));
    if (!r || r->code != UE_CONNECTED)
        return 0;
    auto request = std::make_shared<CUploadRequest>();
    request->localPath = file;
    request->remotePath = "bench.bin";
    request->size = size;
    const auto start = WallClock::now();
    channel->PostUpload(request);
    for (;;) {
        r = reports.Next(std::chrono::seconds(600));
        if (!r)
            return 0;
        if (r->code == UE_RESPONSE)
            break; // the sink has drained every byte and answered
        if (r->code != UE_PROGRESS && r->code != UE_DONE)
            return 0;
    }
    const double seconds = std::chrono::duration<double>(WallClock::now() - start).count();
    return static_cast<double>(size) / 1e6 / seconds;
}

// The limited upload: mean rate at the sink over the transfer, and the largest burst above the
// limit over any stretch of it (bytes that arrived beyond rate x time).
void MeasureLimit(const std::string& host, int port, const std::string& file, long long fileSize, double mbps)
{
    const double rate = mbps * 1e6;
    const long long size = std::min(fileSize, static_cast<long long>(rate * 10));
    std::vector<Arrival> arrivals;
    arrivals.reserve(1 << 20);
    g_arrivals = &arrivals;
    const double engine = EngineUpload(host, port, 0, file, size, true, std::make_shared<UploadRateLimiter>(static_cast<int64_t>(rate)));
    g_arrivals = nullptr;
    if (engine <= 0 || arrivals.size() < 2) {
        std::printf("limit %.1f MB/s: the upload failed\n", mbps);
        return;
    }
    // burst = max over i < j of (bytes(i..j) - rate x (t_j - t_i)), in one pass.
    double lowest = 0, burst = 0, secondMax = 0;
    size_t left = 0;
    const auto t0 = arrivals.front().at;
    for (size_t j = 0; j < arrivals.size(); ++j) {
        const double t = std::chrono::duration<double>(arrivals[j].at - t0).count();
        const double level = static_cast<double>(arrivals[j].bytes) - rate * t;
        burst = std::max(burst, level - lowest);
        lowest = std::min(lowest, level);
        while (arrivals[j].at - arrivals[left].at > std::chrono::seconds(1))
            ++left;
        const long long before = left > 0 ? arrivals[left - 1].bytes : 0;
        secondMax = std::max(secondMax, static_cast<double>(arrivals[j].bytes - before));
    }
    const double span = std::chrono::duration<double>(arrivals.back().at - t0).count();
    std::printf("limit %.1f MB/s, %.1f MB: %.2f MB/s over the whole upload (%.2f s), %.2f MB/s at the sink from the "
                "first byte to the last (%+.1f %%); most in any one second %.2f MB; largest burst above the limit "
                "%.0f KB (%.3f s worth)\n",
                mbps, static_cast<double>(size) / 1e6, engine, static_cast<double>(size) / 1e6 / engine,
                static_cast<double>(size) / 1e6 / span, (static_cast<double>(size) / span / rate - 1) * 100,
                secondMax / 1e6, burst / 1e3, burst / rate);
}

} // namespace

int main(int argc, char** argv)
{
    long long sizeMiB = 1024;
    int servePort = -1, port = 0, runs = 3;
    double limitMbps = 10;
    std::string host;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc)
            sizeMiB = std::max(1LL, std::atoll(argv[++i]));
        else if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--limit-mbps" && i + 1 < argc)
            limitMbps = std::max(0.0, std::atof(argv[++i]));
        else if (a == "--serve" && i + 1 < argc)
            servePort = std::atoi(argv[++i]);
        else if (a == "--host" && i + 1 < argc)
            host = argv[++i];
        else if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--size-mib N] [--runs N] [--limit-mbps R] [--serve PORT | --host H --port P]\n",
                         argv[0]);
            return 2;
        }
    }
    if (servePort >= 0) {
        int bound = 0;
        const int fd = Listen("0.0.0.0", servePort, bound);
        std::printf("sink listening on port %d\n", bound);
        std::fflush(stdout);
        AcceptLoop(fd);
        return 0;
    }
    if (host.empty()) {
        host = "127.0.0.1";
        const int fd = Listen("127.0.0.1", 0, port);
        std::thread(AcceptLoop, fd).detach();
    }

    const long long size = sizeMiB << 20;
    char name[] = "/tmp/talvex-upload-bench-XXXXXX";
    const int out = ::mkstemp(name);
    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 131);
        for (long long left = size; left > 0; left -= static_cast<long long>(block.size()))
            if (::write(out, block.data(), static_cast<size_t>(std::min<long long>(left, static_cast<long long>(block.size())))) < 0)
                return 1;
        ::close(out);
    }

    std::printf("upload of %lld MiB to %s:%d, %d runs; zero-copy = sendfile of the whole file on a blocking socket\n",
                sizeMiB, host.c_str(), port, runs);
    std::printf("%-30s %12s %14s %8s %10s\n", "engine: SO_SNDBUF, path", "engine MB/s", "zero-copy MB/s", "ratio",
                "best ratio");
    ZeroCopySend(host, port, name, std::min<long long>(size, 64 << 20)); // warm the page cache and the path
    struct Case {
        const char* label;
        int sendBuffer;
        bool zeroCopy;
    };
    const Case cases[] = {{"16384, sendfile", 16384, true},
                          {"0 (default), sendfile", 0, true},
                          {"262144, sendfile", 262144, true},
                          {"0 (default), read and send", 0, false}};
    for (const Case& c : cases) {
        double best = 0;
        for (int run = 0; run < runs; ++run) {
            // Alternate who goes first, so that a drift of the machine's load favours neither.
            double engine = 0, raw = 0;
            if (run % 2 == 0) {
                engine = EngineUpload(host, port, c.sendBuffer, name, size, c.zeroCopy);
                raw = ZeroCopySend(host, port, name, size);
            } else {
                raw = ZeroCopySend(host, port, name, size);
                engine = EngineUpload(host, port, c.sendBuffer, name, size, c.zeroCopy);
            }
            const double ratio = raw > 0 ? engine / raw : 0.0;
            best = std::max(best, ratio);
            std::printf("%-30s %12.1f %14.1f %8.3f", c.label, engine, raw, ratio);
            if (run + 1 == runs)
                std::printf(" %10.3f", best);
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    if (limitMbps > 0)
        MeasureLimit(host, port, name, size, limitMbps);
    ::unlink(name);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld KiB (file: %lld KiB)\n", usage.ru_maxrss, size >> 10);
    return 0;
}
