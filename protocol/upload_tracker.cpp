#include "protocol/upload_tracker.h"

#include "platform/move_after_upload.h"
#include "protocol/message_ids.h"

#include <algorithm>

namespace talvex {

namespace {

bool Drop(std::deque<const CUploadRequest*>& queue, const CUploadRequest* request)
{
    auto it = std::find(queue.begin(), queue.end(), request);
    if (it == queue.end())
        return false;
    queue.erase(it);
    return true;
}

} // namespace

CUploadTracker::CUploadTracker(bool confirmByNotice, Listener settled)
    : m_bConfirmByNotice(confirmByNotice), m_settled(std::move(settled))
{
}

std::string CUploadTracker::PathKey(const std::string& remotePath)
{
    size_t start = 0;
    while (start < remotePath.size() && remotePath[start] == '/')
        ++start;
    std::string key = remotePath.substr(start);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return key;
}

void CUploadTracker::Add(std::shared_ptr<CUploadRequest> request)
{
    if (!request)
        return;
    const CUploadRequest* key = request.get();
    CUploadItem item;
    item.request = std::move(request);
    m_items.insert_or_assign(key, std::move(item));
}

void CUploadTracker::Sending(const std::shared_ptr<CUploadRequest>& request, uint32_t channel)
{
    if (!request)
        return;
    CUploadItem* item = Lookup(request.get());
    if (!item) {
        Add(request);
        item = Lookup(request.get());
    }
    item->state = UploadState::Sending;
    item->channel = channel;
}

CUploadItem* CUploadTracker::Lookup(const CUploadRequest* request)
{
    auto it = m_items.find(request);
    return it == m_items.end() ? nullptr : &it->second;
}

const CUploadItem* CUploadTracker::Find(const CUploadRequest* request) const
{
    auto it = m_items.find(request);
    return it == m_items.end() ? nullptr : &it->second;
}

size_t CUploadTracker::CountIn(UploadState state) const
{
    return static_cast<size_t>(
        std::count_if(m_items.begin(), m_items.end(), [state](const auto& entry) { return entry.second.state == state; }));
}

const CUploadItem* CUploadTracker::Apply(const Report& report)
{
    const uint32_t channel = report.message;
    switch (report.code) {
    case UE_RESPONSE:
        if (report.response)
            Answer(*report.response, channel);
        return nullptr;
    case UE_RESET:
    case UE_SEND_FAILED:
        // The channel's connection is closed: what waited for an answer on it never gets one.
        ChannelLost(channel);
        break;
    default:
        break;
    }
    CUploadItem* item = report.request ? Lookup(report.request.get()) : nullptr;
    if (!item)
        return nullptr;
    switch (report.code) {
    case UE_DONE:
        MarkSent(*item);
        return item;
    case UE_OPEN_FAILED:
        Fail(*item, UploadFailure::ReadError);
        return &m_last;
    case UE_CANCELLED:
        Fail(*item, UploadFailure::Cancelled);
        return &m_last;
    case UE_RESET:
    case UE_SEND_FAILED:
        Fail(*item, UploadFailure::SendFailed);
        return &m_last;
    default:
        return item;
    }
}

void CUploadTracker::MarkSent(CUploadItem& item)
{
    item.state = UploadState::Sent;
    m_sent[item.channel][PathKey(item.request->remotePath)].push_back(item.request.get());
    ++m_nSent;
}

void CUploadTracker::Answer(const CTlxspResponse& answer, uint32_t channel)
{
    auto byChannel = m_sent.find(channel);
    if (byChannel == m_sent.end())
        return;
    auto byPath = byChannel->second.find(PathKey(answer.path));
    if (byPath == byChannel->second.end() || byPath->second.empty())
        return;
    CUploadItem* item = Lookup(byPath->second.front());
    if (!item)
        return;
    if (answer.statusCode != 200) {
        Fail(*item, UploadFailure::Refused, answer.statusCode);
        return;
    }
    if (m_bConfirmByNotice && !item->IsFolder()) {
        Unindex(*item);
        item->state = UploadState::Answered;
        m_answered[PathKey(item->request->remotePath)].push_back(item->request.get());
        ++m_nAnswered;
        TakeEarlyNotice(*item);
        return;
    }
    Confirm(*item);
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

size_t CUploadTracker::SentUnder(const std::string& key) const
{
    size_t n = 0;
    for (const auto& [channel, byPath] : m_sent)
        if (auto it = byPath.find(key); it != byPath.end())
            n += it->second.size();
    return n;
}

bool CUploadTracker::TakeEarlyNotice(CUploadItem& item)
{
    auto early = m_early.find(PathKey(item.request->remotePath));
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

void CUploadTracker::Confirm(CUploadItem& item)
{
    item.state = UploadState::Confirmed;
    if (!item.IsFolder()) {
        ++m_confirmed;
        if (!item.request->moveFolder.empty())
            item.movedTo = MoveAfterUpload(item.request->localPath, item.request->moveFolder, item.request->remotePath,
                                           &item.moveError);
    }
    Settle(item);
}

void CUploadTracker::Fail(CUploadItem& item, UploadFailure why, int32_t status)
{
    item.state = UploadState::Failed;
    item.failure = why;
    item.status = status;
    ++m_failed;
    Settle(item);
}

void CUploadTracker::ChannelLost(uint32_t channel)
{
    auto byChannel = m_sent.find(channel);
    if (byChannel == m_sent.end())
        return;
    std::vector<const CUploadRequest*> lost;
    for (auto& [path, queue] : byChannel->second)
        lost.insert(lost.end(), queue.begin(), queue.end());
    m_sent.erase(byChannel);
    m_nSent -= lost.size();
    for (const CUploadRequest* request : lost)
        if (CUploadItem* item = Lookup(request)) {
            item->state = UploadState::Sending; // no longer indexed as sent
            // A notice already told what the server made of it: that settles it, not the loss.
            if (!(m_bConfirmByNotice && TakeEarlyNotice(*item)))
                Fail(*item, UploadFailure::SendFailed);
        }

}

void CUploadTracker::FailAll(UploadFailure why)
{
    std::vector<const CUploadRequest*> all;
    all.reserve(m_items.size());
    for (auto& [request, item] : m_items)
        all.push_back(request);
    for (const CUploadRequest* request : all)
        if (CUploadItem* item = Lookup(request))
            Fail(*item, why);
}

void CUploadTracker::FailAnswered(UploadFailure why)
{
    std::vector<const CUploadRequest*> answered;
    for (auto& [path, queue] : m_answered)
        answered.insert(answered.end(), queue.begin(), queue.end());
    for (const CUploadRequest* request : answered)
        if (CUploadItem* item = Lookup(request))
            Fail(*item, why);
}

void CUploadTracker::Unindex(CUploadItem& item)
{
    const std::string key = PathKey(item.request->remotePath);
    if (item.state == UploadState::Sent) {
        auto byChannel = m_sent.find(item.channel);
        if (byChannel != m_sent.end()) {
            auto byPath = byChannel->second.find(key);
            if (byPath != byChannel->second.end()) {
                if (Drop(byPath->second, item.request.get()))
                    --m_nSent;
                if (byPath->second.empty())
                    byChannel->second.erase(byPath);
            }
        }
    } else if (item.state == UploadState::Answered) {
        auto byPath = m_answered.find(key);
        if (byPath != m_answered.end()) {
            if (Drop(byPath->second, item.request.get()))
                --m_nAnswered;
            if (byPath->second.empty())
                m_answered.erase(byPath);
        }
    }
}

void CUploadTracker::Settle(CUploadItem& item)
{
    // The state is final now; the indexes still hold the item under the state it had.
    const UploadState final = item.state;
    for (UploadState was : {UploadState::Sent, UploadState::Answered}) {
        item.state = was;
        Unindex(item);
    }
    item.state = final;
    if (!m_early.empty()) {
        // Notices kept for files of this path that will never be answered now wait for nothing.
        const std::string key = PathKey(item.request->remotePath);
        if (auto early = m_early.find(key); early != m_early.end()) {
            const size_t sent = SentUnder(key);
            while (early->second.size() > sent)
                early->second.pop_back();
            if (early->second.empty())
                m_early.erase(early);
        }
    }
    m_last = item;
    const CUploadRequest* key = item.request.get();
    m_items.erase(key);
    if (m_settled)
        m_settled(m_last);
}

} // namespace talvex
