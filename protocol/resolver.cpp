#include "protocol/resolver.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace talvex {
namespace {

// Shared between the waiting caller and the resolving thread; whoever leaves last frees it.
struct Lookup {
    std::mutex mutex;
    bool done = false;
    int status = 0;
    addrinfo* found = nullptr;
    int doneFd = -1;

    ~Lookup()
    {
        if (found)
            ::freeaddrinfo(found);
        if (doneFd >= 0)
            ::close(doneFd);
    }
};

addrinfo Hints(int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

int MsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

} // namespace

ResolveResult ResolveHost(const std::string& host, int port, std::chrono::steady_clock::time_point deadline,
                          int wakeFd, bool (*interrupted)(void*), void* context)
{
    ResolveResult result;
    if (host.empty() || port <= 0 || port > 65535)
        return result;
    const std::string service = std::to_string(port);

    // A dotted address needs no look-up: answer at once, without a thread.
    addrinfo hints = Hints(AI_NUMERICHOST | AI_NUMERICSERV);
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0) {
        result.addresses.reset(found);
        result.outcome = ResolveOutcome::Resolved;
        return result;
    }

    auto lookup = std::make_shared<Lookup>();
    lookup->doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (lookup->doneFd < 0)
        return result;
    try {
        std::thread([lookup, host, service] {
            addrinfo hints = Hints(AI_NUMERICSERV);
            addrinfo* list = nullptr;
            const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
            std::lock_guard lock(lookup->mutex);
            lookup->status = status;
            lookup->found = list;
            lookup->done = true;
            const uint64_t one = 1;
            (void)!::write(lookup->doneFd, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        return result; // no thread to be had: treat as a failed look-up
    }

    for (;;) {
        pollfd fds[2] = {{lookup->doneFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, MsUntil(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        {
            std::lock_guard lock(lookup->mutex);
            if (lookup->done) {
                if (lookup->status == 0 && lookup->found) {
                    result.addresses.reset(lookup->found);
                    lookup->found = nullptr;
                    result.outcome = ResolveOutcome::Resolved;
                }
                return result;
            }
        }
        if (n <= 0) {
            result.outcome = ResolveOutcome::TimedOut;
            return result;
        }
        if (wakeFd >= 0 && (fds[1].revents & POLLIN) && interrupted && interrupted(context)) {
            result.outcome = ResolveOutcome::Interrupted;
            return result;
        }
    }
}

} // namespace talvex
