#pragma once
// Loopback sockets for tests: an address on 127.0.0.1, binding to a free port, and a port that
// nothing listens on.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace talvex::test {

// 127.0.0.1 with the given port (host order; 0 lets bind() choose).
inline sockaddr_in LoopbackAddress(uint16_t port = 0)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Binds fd to a free loopback port. Returns 0, with port set to the port taken, or -1.
inline int BindLoopback(int fd, int& port)
{
    sockaddr_in a = LoopbackAddress();
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return -1;
    port = ntohs(a.sin_port);
    return 0;
}

// Connects fd to the loopback port. Returns connect()'s result.
inline int ConnectLoopback(int fd, uint16_t port)
{
    const sockaddr_in a = LoopbackAddress(port);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// A loopback port nothing listens on: taken and freed again.
inline int UnusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    BindLoopback(fd, port);
    ::close(fd);
    return port;
}

} // namespace talvex::test
