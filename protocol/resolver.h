#pragma once
// Host name resolution with a time limit. getaddrinfo itself cannot be interrupted, so a name
// that needs a look-up is resolved on a short-lived thread of its own; the caller waits for it
// until its deadline or until its wake descriptor (the worker's mailbox) becomes readable, and
// leaves the thread behind when it gives up: the thread frees its result when it finishes.

#include <chrono>
#include <memory>
#include <netdb.h>
#include <string>

namespace talvex {

using AddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

enum class ResolveOutcome { Resolved, Failed, TimedOut, Interrupted };

struct ResolveResult {
    ResolveOutcome outcome = ResolveOutcome::Failed;
    AddressList addresses{nullptr, &::freeaddrinfo};
};

// Resolves host for a TCP connection to port. wakeFd (or -1) interrupts the wait when it
// becomes readable; interrupted() is then asked whether to give up.
ResolveResult ResolveHost(const std::string& host, int port, std::chrono::steady_clock::time_point deadline,
                          int wakeFd = -1, bool (*interrupted)(void*) = nullptr, void* context = nullptr);

} // namespace talvex
