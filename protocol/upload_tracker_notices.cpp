// The tracker's side of the sync service's notices: asking, matching them to answered files
// (and keeping those that come before their file's answer), and the deadlines that settle what
// waited too long.
#include "protocol/upload_tracker.h"

#include "protocol/message_ids.h"

#include <algorithm>

namespace talvex {

void CUploadTracker::NoticesAsked()
{
    const int64_t now = Now();
    if (m_lastAskedMs >= 0)
        m_noticeClockMs += std::clamp<int64_t>(now - m_lastAskedMs, 0, m_noticeGapMs);
    m_lastAskedMs = now;
}

void CUploadTracker::ApplyNotices(CSyncNoticeList& notices)
{
    auto& list = notices.notices;
    for (auto it = list.begin(); it != list.end();) {
        const std::string key = it->kind == kNoticePutFile ? PathKey(it->text) : std::string();
        auto waiting = it->kind == kNoticePutFile ? m_answered.find(key) : m_answered.end();
        if (waiting == m_answered.end() || waiting->second.empty()) {
            // The server stores a file, tells it, then answers: on a busy channel the notice can
            // come before the answer is read. It is kept for that file, not lost.
            if (it->kind == kNoticePutFile) {
                const size_t sent = SentUnder(key);
                auto& early = m_early[key];
                if (early.size() < sent) {
                    early.push_back(it->number);
                    it = list.erase(it);
                    continue;
                }
                if (early.empty())
                    m_early.erase(key);
            }
            ++it;
            continue;
        }
        CUploadItem* item = Lookup(waiting->second.front());
        if (item) {
            if (it->number == 200)
                Confirm(*item);
            else
                Fail(*item, UploadFailure::Unconfirmed, it->number);
        }
        it = list.erase(it);
    }
}

bool CUploadTracker::TakeEarlyNotice(CUploadItem& item)
{
    auto early = m_early.find(item.key);
    if (early == m_early.end())
        return false;
    const int32_t number = early->second.front();
    early->second.pop_front();
    if (early->second.empty())
        m_early.erase(early);
    if (number == 200)
        Confirm(item);
    else
        Fail(item, UploadFailure::Unconfirmed, number);
    return true;
}

std::vector<uint32_t> CUploadTracker::Expire(const UploadDeadlines& deadlines)
{
    std::vector<uint32_t> silent;
    const int64_t now = Now();
    if (deadlines.answerMs > 0) {
        for (const auto& [channel, byPath] : m_sent) {
            auto heard = m_heard.find(channel);
            if (!byPath.empty() && (heard == m_heard.end() || now - heard->second >= deadlines.answerMs))
                silent.push_back(channel);
        }
        for (uint32_t channel : silent)
            LoseChannel(channel, UploadFailure::NoAnswer, 0);
    }
    if (deadlines.refusalMs > 0 && !m_refused.empty()) {
        std::vector<uint32_t> stalled;
        for (const auto& [channel, since] : m_refused) {
            auto sent = m_sent.find(channel);
            if (now - since >= deadlines.refusalMs && sent != m_sent.end() && !sent->second.empty())
                stalled.push_back(channel);
        }
        for (uint32_t channel : stalled) {
            LoseChannel(channel, UploadFailure::SendFailed, kMaxResends);
            silent.push_back(channel);
        }
    }
    if (deadlines.confirmMs > 0 && m_nAnswered > 0) {
        std::vector<const CUploadRequest*> late;
        for (const auto& [path, queue] : m_answered)
            for (const CUploadRequest* request : queue)
                if (const CUploadItem* item = Find(request);
                    item && m_noticeClockMs - item->noticeSinceMs >= deadlines.confirmMs)
                    late.push_back(request);
        for (const CUploadRequest* request : late)
            if (CUploadItem* item = Lookup(request))
                Fail(*item, UploadFailure::TimedOut);
    }
    return silent;
}

} // namespace talvex
