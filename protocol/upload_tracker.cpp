#include "protocol/upload_tracker.h"

#include "platform/move_after_upload.h"
#include "protocol/message_ids.h"
#include "protocol/upload_journal.h"
#include "res/string_table.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace talvex {

namespace {

bool Drop(std::vector<const CUploadRequest*>& queue, const CUploadRequest* request)
{
    auto it = std::find(queue.begin(), queue.end(), request);
    if (it == queue.end())
        return false;
    queue.erase(it);
    return true;
}

} // namespace

const char* UploadFailureText(UploadFailure why)
{
    switch (why) {
    case UploadFailure::ReadError: return kTextQueueReadError;
    case UploadFailure::Cancelled: return kTextQueueCancelled;
    case UploadFailure::Refused: return kTextRefused;
    case UploadFailure::TimedOut: return kTextUnconfirmed;
    case UploadFailure::Changed: return kTextFileChanged;
    case UploadFailure::NoAnswer: return kTextNoAnswer;
    case UploadFailure::NameNotWritable: return kTextNameNotWritable;
    case UploadFailure::BadName: return kTextBadName;
    case UploadFailure::PathTooLong: return kTextPathTooLong;
    default: return kTextQueueSendFailed;
    }
}

UploadFailure HeaderFailure(int32_t headerError)
{
    switch (headerError) {
    case kRequestNotEncodable: return UploadFailure::NameNotWritable;
    case kRequestTooLong: return UploadFailure::PathTooLong;
    default: return UploadFailure::BadName;
    }
}

std::string UploadFailureReason(UploadFailure why, int32_t status)
{
    if (why == UploadFailure::ReadError) {
        switch (status) {
        case kReadFifo: return std::string(kTextNotAFile) + " (" + kTextKindFifo + ")";
        case kReadDevice: return std::string(kTextNotAFile) + " (" + kTextKindDevice + ")";
        case kReadSocket: return std::string(kTextNotAFile) + " (" + kTextKindSocket + ")";
        case kReadDanglingLink: return kTextDanglingLink;
        default: break;
        }
        if (status > 0)
            return std::string(kTextQueueReadError) + " (" + std::strerror(status) + ")";
    }
    std::string text = UploadFailureText(why);
    if ((why == UploadFailure::Refused || why == UploadFailure::Unconfirmed) && status != 0)
        text += " (" + std::to_string(status) + ")";
    return text;
}

CUploadTracker::CUploadTracker(bool confirmByNotice, Listener settled, NowMs now)
    : m_bConfirmByNotice(confirmByNotice), m_settled(std::move(settled)), m_now(std::move(now))
{
}

int64_t CUploadTracker::Now() const
{
    if (m_now)
        return m_now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool CUploadTracker::Unchanged(const CUploadRequest& request)
{
    const CFileStamp& before = request.stamp;
    if (before.size < 0)
        return true; // no body was started here: nothing to compare
    struct stat st{};
    if (::stat(request.localPath.c_str(), &st) != 0)
        return true; // gone since: what was sent was whole (the open file was read to the end)
    const CFileStamp now{static_cast<int64_t>(st.st_size),
                         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                         static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
    return now == before;
}

bool CUploadTracker::PathBusy(const std::string& remotePath) const
{
    return !m_busy.empty() && m_busy.count(PathKey(remotePath)) != 0;
}

bool CUploadTracker::HasKey(std::string_view remotePath, std::string_view key)
{
    while (!remotePath.empty() && remotePath.front() == '/')
        remotePath.remove_prefix(1);
    if (remotePath.size() != key.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char c = remotePath[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        if (c != key[i])
            return false;
    }
    return true;
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

void CUploadTracker::Add(std::shared_ptr<CUploadRequest> request, bool journaled)
{
    if (!request)
        return;
    const CUploadRequest* key = request.get();
    if (m_journal && !(journaled && request->journalId != 0))
        m_journal->Queued(*request);
    CUploadItem item;
    item.key = PathKey(request->remotePath);
    item.request = std::move(request);
    item.order = ++m_added;
    m_items.insert_or_assign(key, std::move(item));
}

void CUploadTracker::AddAnswered(std::shared_ptr<CUploadRequest> request)
{
    if (!request)
        return;
    const CUploadRequest* key = request.get();
    CUploadItem fresh;
    fresh.key = PathKey(request->remotePath);
    fresh.request = std::move(request);
    fresh.order = ++m_added;
    CUploadItem& item = m_items.insert_or_assign(key, std::move(fresh)).first->second;
    item.busy = true;
    ++m_busy[item.key];
    if (!m_bConfirmByNotice || item.IsFolder()) {
        Confirm(item);
        return;
    }
    item.state = UploadState::Answered;
    item.sinceMs = Now();
    item.noticeSinceMs = m_noticeClockMs;
    m_answered[item.key].push_back(key);
    ++m_nAnswered;
    if (m_journal)
        m_journal->Answered(*item.request);
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadTracker::TakeResends()
{
    std::vector<std::shared_ptr<CUploadRequest>> out;
    out.swap(m_resends);
    // Only those still waiting (not forgotten or settled meanwhile), in the order they were added.
    std::erase_if(out, [this](const auto& r) {
        const CUploadItem* item = Find(r.get());
        return !item || item->state != UploadState::Waiting;
    });
    std::sort(out.begin(), out.end(),
              [this](const auto& a, const auto& b) { return Find(a.get())->order < Find(b.get())->order; });
    return out;
}

void CUploadTracker::BackToWaiting(CUploadItem& item)
{
    ToWaiting(item);
    m_resends.push_back(item.request);
}

void CUploadTracker::Unsend(const std::shared_ptr<CUploadRequest>& request)
{
    CUploadItem* item = request ? Lookup(request.get()) : nullptr;
    if (item && item->state == UploadState::Sending)
        ToWaiting(*item);
}

void CUploadTracker::ToWaiting(CUploadItem& item)
{
    Unindex(item);
    item.state = UploadState::Waiting;
    item.channel = 0;
    if (item.busy) {
        item.busy = false;
        if (auto busy = m_busy.find(item.key); busy != m_busy.end() && --busy->second <= 0)
            m_busy.erase(busy);
    }
    if (m_journal)
        m_journal->Queued(*item.request);
}

void CUploadTracker::Requeue(const std::shared_ptr<CUploadRequest>& request)
{
    CUploadItem* item = request ? Lookup(request.get()) : nullptr;
    if (item && (item->state == UploadState::Sending || item->state == UploadState::Sent))
        BackToWaiting(*item);
}

void CUploadTracker::RequeueInFlight()
{
    std::vector<uint32_t> channels;
    for (const auto& [channel, byPath] : m_sent)
        channels.push_back(channel);
    for (uint32_t channel : channels)
        LoseChannel(channel, UploadFailure::SendFailed, -1);
    std::vector<const CUploadRequest*> sending;
    for (const auto& [request, item] : m_items)
        if (item.state == UploadState::Sending)
            sending.push_back(request);
    for (const CUploadRequest* request : sending)
        if (CUploadItem* item = Lookup(request); item && item->state == UploadState::Sending)
            BackToWaiting(*item);
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
    if (m_journal)
        m_journal->Sending(*item->request);
    if (!item->busy) {
        item->busy = true;
        ++m_busy[item->key];
    }
}

const CUploadItem* CUploadTracker::GiveUp(const std::shared_ptr<CUploadRequest>& request, UploadFailure why)
{
    CUploadItem* item = request ? Lookup(request.get()) : nullptr;
    if (!item)
        return nullptr;
    Fail(*item, why);
    return &m_last;
}

const CUploadItem* CUploadTracker::FailUnread(const std::shared_ptr<CUploadRequest>& request)
{
    if (!request)
        return nullptr;
    CUploadItem* item = Lookup(request.get());
    if (!item) {
        Add(request);
        item = Lookup(request.get());
    }
    Fail(*item, UploadFailure::ReadError, request->readError);
    return &m_last;
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
            Answer(*report.response, channel, report.request.get());
        return nullptr;
    case UE_PROGRESS:
        if (auto heard = m_heard.find(channel); heard != m_heard.end())
            heard->second = Now();
        return nullptr;
    case UE_RESET:
    case UE_SEND_FAILED:
        // The channel's connection is closed: what waited for an answer on it never gets one.
        // Lost to the network, the server said nothing of it: it all waits to be sent again,
        // however often (the caller's reconnects bound that), as after a reconnect.
        if (IsNetworkLoss(report.error))
            LoseChannel(channel, UploadFailure::SendFailed, -1);
        else
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
        if (item->request->headerError == 0)
            Fail(*item, UploadFailure::ReadError, item->request->readError);
        else
            Fail(*item, HeaderFailure(item->request->headerError));
        return &m_last;
    case UE_CANCELLED:
        Fail(*item, UploadFailure::Cancelled);
        return &m_last;
    case UE_RESET:
    case UE_SEND_FAILED:
        if (IsNetworkLoss(report.error)) {
            if (item->state == UploadState::Sending)
                BackToWaiting(*item); // its body was cut by the network, not by the server
            return item;
        }
        if (item->state == UploadState::Sending && item->resends < kMaxResends) {
            // The server's close cut this body short (or came over a file before it): it was not
            // kept, and goes again once.
            ++item->resends;
            BackToWaiting(*item);
            return item;
        }
        Fail(*item, UploadFailure::SendFailed);
        return &m_last;
    default:
        return item;
    }
}

void CUploadTracker::MarkSent(CUploadItem& item)
{
    // Its body was the file as it was when the body started: that size is what was sent.
    if (item.request->stamp.size >= 0)
        item.request->size = item.request->stamp.size;
    item.state = UploadState::Sent;
    item.sinceMs = Now();
    m_heard[item.channel] = item.sinceMs;
    if (auto refused = m_refused.find(item.channel); refused != m_refused.end())
        refused->second = item.sinceMs;
    m_sent[item.channel][item.key].push_back(item.request.get());
    ++m_nSent;
    if (m_journal)
        m_journal->Sent(*item.request);
}

void CUploadTracker::Answer(const CTlxspResponse& answer, uint32_t channel, const CUploadRequest* sending)
{
    if (sending) {
        // The server answered the file whose body was still going out: it will not take the
        // rest. A refusal is a refusal; a 200 for bytes it never read proves nothing.
        CUploadItem* item = Lookup(sending);
        if (item && item->state == UploadState::Sending && item->channel == channel) {
            if (answer.statusCode != 200)
                Fail(*item, UploadFailure::Refused, answer.statusCode);
            else
                Fail(*item, UploadFailure::SendFailed, answer.statusCode);
        }
        return;
    }
    auto byChannel = m_sent.find(channel);
    if (byChannel == m_sent.end())
        return;
    auto byPath = byChannel->second.find(PathKey(answer.path));
    if (byPath == byChannel->second.end() || byPath->second.empty())
        return;
    CUploadItem* item = Lookup(byPath->second.front());
    if (!item)
        return;
    m_heard[channel] = Now();
    if (answer.statusCode != 200) {
        Fail(*item, UploadFailure::Refused, answer.statusCode);
        // Files behind it on this channel, sent already or still to come: their answers must
        // follow soon, or the server left the refused body unread and never read them (Expire,
        // refusalMs; each file sent behind it starts the grace again).
        m_refused[channel] = Now();
        return;
    }
    m_refused.erase(channel);
    if (m_bConfirmByNotice && !item->IsFolder()) {
        Unindex(*item);
        item->state = UploadState::Answered;
        item->sinceMs = Now();
        item->noticeSinceMs = m_noticeClockMs;
        m_answered[item->key].push_back(item->request.get());
        ++m_nAnswered;
        if (m_journal)
            m_journal->Answered(*item->request);
        TakeEarlyNotice(*item);
        return;
    }
    Confirm(*item);
}

size_t CUploadTracker::SentOn(uint32_t channel) const
{
    auto byChannel = m_sent.find(channel);
    if (byChannel == m_sent.end())
        return 0;
    size_t n = 0;
    for (const auto& [path, queue] : byChannel->second)
        n += queue.size();
    return n;
}

size_t CUploadTracker::SentUnder(const std::string& key) const
{
    size_t n = 0;
    for (const auto& [channel, byPath] : m_sent)
        if (auto it = byPath.find(key); it != byPath.end())
            n += it->second.size();
    return n;
}

void CUploadTracker::Confirm(CUploadItem& item)
{
    if (!item.IsFolder() && !Unchanged(*item.request)) {
        // What the server holds is not the file as it is: never counted uploaded, never moved.
        Fail(item, UploadFailure::Changed);
        return;
    }
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
    if (why == UploadFailure::Cancelled)
        ++m_cancelled;
    else
        ++m_failed;
    Settle(item);
}

void CUploadTracker::ChannelLost(uint32_t channel) { LoseChannel(channel, UploadFailure::SendFailed, kMaxResends); }

void CUploadTracker::LoseChannel(uint32_t channel, UploadFailure why, int resendLimit)
{
    auto byChannel = m_sent.find(channel);
    if (byChannel == m_sent.end())
        return;
    std::vector<const CUploadRequest*> lost;
    for (auto& [path, queue] : byChannel->second)
        lost.insert(lost.end(), queue.begin(), queue.end());
    m_sent.erase(byChannel);
    m_heard.erase(channel);
    m_refused.erase(channel);
    m_nSent -= lost.size();
    // In the order they were added, so that those sent again go in their order.
    std::sort(lost.begin(), lost.end(),
              [this](const CUploadRequest* a, const CUploadRequest* b) { return Find(a)->order < Find(b)->order; });
    for (const CUploadRequest* request : lost)
        if (CUploadItem* item = Lookup(request)) {
            item->state = UploadState::Sending; // no longer indexed as sent
            // A notice already told what the server made of it: that settles it, not the loss.
            if (m_bConfirmByNotice && TakeEarlyNotice(*item))
                continue;
            if (resendLimit < 0 || item->resends < resendLimit) {
                if (resendLimit >= 0)
                    ++item->resends;
                BackToWaiting(*item);
                continue;
            }
            Fail(*item, why);
        }
}

void CUploadTracker::Forget(const CUploadRequest* request)
{
    CUploadItem* item = Lookup(request);
    if (!item)
        return;
    if (m_journal)
        m_journal->Forget(item->request->journalId);
    Unindex(*item);
    if (item->busy) {
        if (auto busy = m_busy.find(item->key); busy != m_busy.end() && --busy->second <= 0)
            m_busy.erase(busy);
    }
    m_items.erase(request);
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadTracker::ReturnUnanswered()
{
    std::vector<std::pair<int64_t, std::shared_ptr<CUploadRequest>>> back;
    for (auto& [key, item] : m_items)
        if (item.state == UploadState::Sending || item.state == UploadState::Sent)
            back.emplace_back(item.state == UploadState::Sent ? item.sinceMs : INT64_MAX, item.request);
    // Sent ones first, in the order they went; the ones being sent after them.
    std::stable_sort(back.begin(), back.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<CUploadRequest>> out;
    out.reserve(back.size());
    IUploadJournal* journal = m_journal;
    m_journal = nullptr; // not forgotten there: back to queued
    for (auto& [since, request] : back) {
        Forget(request.get()); // its stamp is taken again when its body starts once more
        if (journal)
            journal->Queued(*request);
        out.push_back(std::move(request));
    }
    m_journal = journal;
    return out;
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
    const std::string& key = item.key;
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
    if (item.busy) {
        item.busy = false;
        if (auto busy = m_busy.find(item.key); busy != m_busy.end() && --busy->second <= 0)
            m_busy.erase(busy);
    }
    if (!m_early.empty()) {
        // Notices kept for files of this path that will never be answered now wait for nothing.
        if (auto early = m_early.find(item.key); early != m_early.end()) {
            const size_t sent = SentUnder(item.key);
            while (early->second.size() > sent)
                early->second.pop_back();
            if (early->second.empty())
                m_early.erase(early);
        }
    }
    if (m_journal)
        m_journal->Settled(*item.request, item.state, item.failure, item.status);
    const CUploadRequest* key = item.request.get();
    m_last = std::move(item);
    m_items.erase(key);
    if (m_settled)
        m_settled(m_last);
}

} // namespace talvex
