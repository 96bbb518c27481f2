#pragma once
// What the server remembers per account between commands: sessions, the notices waiting for
// GETNOTIED, and the one sync job of each account.

#include "devserver/store.h"

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace talvex::devserver {

struct Notice {
    int number = 200;
    std::string command;  // the 9-character command word
    std::string wirePath; // the path exactly as the request carried it
};

struct SyncJobOptions {
    std::chrono::milliseconds delay{3000}; // time until GETSYNCED has a result
    std::string failPattern;               // file names matching this glob fail; empty: none
};

enum class SyncPoll { NoJob, NotReady, Ready };

class ServerState {
public:
    explicit ServerState(SyncJobOptions options) : m_options(std::move(options)) {}

    std::string CreateSession(const std::string& userId);
    std::optional<std::string> UserOfSession(const std::string& sessionId);
    bool EndSession(const std::string& sessionId);

    void AddNotice(const std::string& userId, Notice notice);
    std::vector<Notice> TakeNotices(const std::string& userId);

    // Starts (or restarts) the account's job: a sync (check false) or a check of `scope`.
    void StartJob(const std::string& userId, bool check, PathParts scope);
    // When the job is ready, `body` receives its INI result (built from `tree`) and the job ends.
    SyncPoll PollJob(const std::string& userId, const UserTree& tree, std::string& body);

    const SyncJobOptions& Options() const { return m_options; }

private:
    struct Job {
        bool check = false;
        PathParts scope;
        std::chrono::steady_clock::time_point readyAt;
    };

    SyncJobOptions m_options;
    std::mutex m_mutex;
    std::map<std::string, std::string> m_sessions; // session id -> account id
    std::deque<std::string> m_sessionOrder;         // oldest first, for the cap
    std::map<std::string, std::deque<Notice>> m_notices;
    std::map<std::string, Job> m_jobs;
};

// The INI text of a finished job: section CheckSync with TotalCount, TotalSize, FailCount,
// FailSize and the failed paths under the keys 1 .. FailCount (UTF-8; the caller converts).
std::string BuildSyncResult(const UserTree& tree, const PathParts& scope, const std::string& failPattern);

} // namespace talvex::devserver
