// Upload throughput of the engine against a raw socket send of the same bytes to the same sink.
//
//   protocol_upload_bench [--size-mib N]          both run on loopback (default 1024 MiB)
//   protocol_upload_bench --serve PORT            only the sink, on 0.0.0.0:PORT (for upload_wan.sh)
//   protocol_upload_bench --host H --port P       the senders only, against a sink started with --serve
//
// For each send-buffer setting (16,384 and 0 = the system's automatic tuning) it prints MB/s of
// the engine's upload, MB/s of the raw send, and their ratio. Peak memory is printed at the end.

#include "protocol/worker.h"

#include <arpa/inet.h>
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
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace talvex;
using WallClock = std::chrono::steady_clock;

namespace {

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
        while (length > 0) {
            const ssize_t n = ::recv(fd, buf.data(), std::min<long long>(length, static_cast<long long>(buf.size())), 0);
            if (n <= 0) {
                ::close(fd);
                return;
            }
            length -= n;
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

double RawSend(const std::string& host, int port, const std::string& file, long long size)
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
        return 0;
    }
    ::freeaddrinfo(res);
    const int in = ::open(file.c_str(), O_RDONLY);
    std::vector<char> buf(16384);
    const auto start = WallClock::now();
    const std::string header = "RAW " + std::to_string(size) + "\r\n\r\n";
    ::send(fd, header.data(), header.size(), 0);
    long long left = size;
    while (left > 0) {
        const ssize_t n = ::read(in, buf.data(), std::min<long long>(left, static_cast<long long>(buf.size())));
        if (n <= 0)
            break;
        for (ssize_t off = 0; off < n;) {
            const ssize_t s = ::send(fd, buf.data() + off, static_cast<size_t>(n - off), 0);
            if (s <= 0)
                return 0;
            off += s;
        }
        left -= n;
    }
    char done[8];
    ::recv(fd, done, sizeof done, MSG_WAITALL); // the sink has drained every byte
    const double seconds = std::chrono::duration<double>(WallClock::now() - start).count();
    ::close(in);
    ::close(fd);
    return static_cast<double>(size) / 1e6 / seconds;
}

double EngineUpload(const std::string& host, int port, int sendBuffer, const std::string& file, long long size)
{
    BlockingReportQueue reports;
    CChannelStartInfo info;
    info.host = host;
    info.port = port;
    info.sessionId = "BENCH";
    info.messageNumber = kUploadMessageBase + 1;
    info.sendBufferBytes = sendBuffer;
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

} // namespace

int main(int argc, char** argv)
{
    long long sizeMiB = 1024;
    int servePort = -1, port = 0;
    std::string host;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size-mib" && i + 1 < argc)
            sizeMiB = std::atoll(argv[++i]);
        else if (a == "--serve" && i + 1 < argc)
            servePort = std::atoi(argv[++i]);
        else if (a == "--host" && i + 1 < argc)
            host = argv[++i];
        else if (a == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--size-mib N] [--serve PORT | --host H --port P]\n", argv[0]);
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

    std::printf("upload of %lld MiB to %s:%d\n", sizeMiB, host.c_str(), port);
    std::printf("%-22s %12s %12s %8s\n", "SO_SNDBUF setting", "engine MB/s", "raw MB/s", "ratio");
    RawSend(host, port, name, std::min<long long>(size, 64 << 20)); // warm the page cache and the path
    for (int setting : {16384, 0}) {
        const double engine = EngineUpload(host, port, setting, name, size);
        const double raw = RawSend(host, port, name, size);
        std::printf("%-22s %12.1f %12.1f %8.3f\n", setting ? "16384 (default)" : "0 (system tuning)", engine, raw,
                    raw > 0 ? engine / raw : 0.0);
        std::fflush(stdout);
    }
    ::unlink(name);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld KiB (file: %lld KiB)\n", usage.ru_maxrss, size >> 10);
    return 0;
}
