#include "devserver/sync_jobs.h"

#include <cstdio>
#include <fnmatch.h>
#include <random>

namespace talvex::devserver {
namespace {
constexpr size_t kMaxSessions = 10000;
constexpr size_t kMaxNoticesPerUser = 10000;
constexpr size_t kMaxWalkEntries = 1000000;

std::string NewSessionId()
{
    static std::mutex mutex;
    static std::random_device device;
    std::lock_guard lock(mutex);
    char text[40];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", device(), device(), device(), device());
    return text;
}

std::string BaseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
} // namespace

std::string ServerState::CreateSession(const std::string& userId)
{
    std::string id = NewSessionId();
    std::lock_guard lock(m_mutex);
    while (m_sessionOrder.size() >= kMaxSessions) {
        m_sessions.erase(m_sessionOrder.front());
        m_sessionOrder.pop_front();
    }
    m_sessions[id] = userId;
    m_sessionOrder.push_back(id);
    return id;
}

std::optional<std::string> ServerState::UserOfSession(const std::string& sessionId)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end())
        return std::nullopt;
    return it->second;
}

bool ServerState::EndSession(const std::string& sessionId)
{
    std::lock_guard lock(m_mutex);
    if (m_sessions.erase(sessionId) == 0)
        return false;
    std::erase(m_sessionOrder, sessionId);
    return true;
}

void ServerState::AddNotice(const std::string& userId, Notice notice)
{
    std::lock_guard lock(m_mutex);
    auto& queue = m_notices[userId];
    if (queue.size() >= kMaxNoticesPerUser)
        queue.pop_front();
    queue.push_back(std::move(notice));
}

std::vector<Notice> ServerState::TakeNotices(const std::string& userId)
{
    std::lock_guard lock(m_mutex);
    std::vector<Notice> out;
    const auto it = m_notices.find(userId);
    if (it != m_notices.end()) {
        out.assign(std::make_move_iterator(it->second.begin()), std::make_move_iterator(it->second.end()));
        m_notices.erase(it);
    }
    return out;
}

void ServerState::StartJob(const std::string& userId, bool check, PathParts scope)
{
    std::lock_guard lock(m_mutex);
    m_jobs[userId] = Job{check, std::move(scope), std::chrono::steady_clock::now() + m_options.delay};
}

SyncPoll ServerState::PollJob(const std::string& userId, const UserTree& tree, std::string& body)
{
    Job job;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_jobs.find(userId);
        if (it == m_jobs.end())
            return SyncPoll::NoJob;
        if (std::chrono::steady_clock::now() < it->second.readyAt)
            return SyncPoll::NotReady;
        job = std::move(it->second);
        m_jobs.erase(it);
    }
    body = BuildSyncResult(tree, job.scope, m_options.failPattern);
    return SyncPoll::Ready;
}

std::string BuildSyncResult(const UserTree& tree, const PathParts& scope, const std::string& failPattern)
{
    int64_t totalCount = 0, totalSize = 0, failCount = 0, failSize = 0;
    std::string failed;
    tree.Walk(scope,
              [&](const std::string& path, int64_t size) {
                  ++totalCount;
                  totalSize += size;
                  if (!failPattern.empty() && ::fnmatch(failPattern.c_str(), BaseName(path).c_str(), 0) == 0) {
                      ++failCount;
                      failSize += size;
                      failed += std::to_string(failCount) + "=" + path + "\r\n";
                  }
              },
              kMaxWalkEntries);
    std::string out = "[CheckSync]\r\n";
    out += "TotalCount=" + std::to_string(totalCount) + "\r\n";
    out += "TotalSize=" + std::to_string(totalSize) + "\r\n";
    out += "FailCount=" + std::to_string(failCount) + "\r\n";
    out += "FailSize=" + std::to_string(failSize) + "\r\n";
    return out + failed;
}

} // namespace talvex::devserver
