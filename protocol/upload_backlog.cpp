#include "protocol/upload_backlog.h"

#include "platform/log.h"
#include "protocol/upload_journal.h"

#include <algorithm>

namespace talvex {

namespace {

void Count(CUploadBacklog::Totals& totals, const CUploadRequest& request, int sign)
{
    if (request.size < 0)
        return;
    totals.files += sign;
    totals.size += sign * request.size;
}

} // namespace

void CUploadBacklog::Keep(std::vector<std::shared_ptr<CUploadRequest>> requests)
{
    if (requests.empty())
        return;
    // The entries must be on disk before the only other copy goes: a batch the journal failed
    // to commit would take them with it.
    const bool journaled = m_journal && m_journal->Healthy() && (m_journal->Flush(), m_journal->Healthy());
    for (auto& request : requests) {
        const int64_t id = request->journalId;
        if (journaled && id != 0 && request->readError == 0) {
            if (m_segments.empty() || m_segments.back().last != id - 1 || m_segments.back().last == 0)
                m_segments.push_back(Segment{{}, id - 1, id - 1, {}});
            Segment& back = m_segments.back();
            back.last = id;
            Count(back.unread, *request, 1);
        } else {
            if (m_segments.empty() || !m_segments.back().RangeDone())
                m_segments.emplace_back();
            m_segments.back().held.push_back(std::move(request));
        }
    }
}

void CUploadBacklog::KeepFirst(int64_t after, int64_t last, Totals totals)
{
    if (last <= after)
        return;
    m_segments.push_front(Segment{{}, after, last, totals});
}

void CUploadBacklog::HoldFirst(std::vector<std::shared_ptr<CUploadRequest>> requests)
{
    if (requests.empty())
        return;
    Segment segment;
    segment.held.assign(std::make_move_iterator(requests.begin()), std::make_move_iterator(requests.end()));
    m_segments.push_front(std::move(segment));
}

void CUploadBacklog::ReadBack(Segment& segment, size_t want)
{
    std::vector<std::shared_ptr<CUploadRequest>> read;
    const size_t limit = std::max(want, kReadBatch);
    if (!m_journal || !m_journal->LoadWaiting(segment.after, segment.last, limit, read)) {
        // Left in the journal (a resume of the next login may find them); not in this queue.
        Log("upload backlog: entries %lld to %lld cannot be read back\n", static_cast<long long>(segment.after + 1),
            static_cast<long long>(segment.last));
        m_lost.files += segment.unread.files;
        m_lost.size += segment.unread.size;
        segment.unread = {};
        segment.after = segment.last;
        read.clear();
    }
    for (auto& request : read) {
        Count(segment.unread, *request, -1);
        segment.held.push_back(std::move(request));
    }
    if (segment.RangeDone()) {
        // Entries that left the journal meanwhile cannot be read: their counts go with them.
        segment.unread = {};
    }
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadBacklog::Take(size_t max)
{
    std::vector<std::shared_ptr<CUploadRequest>> out;
    while (out.size() < max && !m_segments.empty()) {
        Segment& front = m_segments.front();
        if (front.held.empty() && !front.RangeDone())
            ReadBack(front, max - out.size());
        while (out.size() < max && !front.held.empty()) {
            out.push_back(std::move(front.held.front()));
            front.held.pop_front();
        }
        if (front.held.empty() && front.RangeDone())
            m_segments.pop_front();
    }
    return out;
}

CUploadBacklog::Totals CUploadBacklog::Clear(bool forget)
{
    Totals dropped;
    for (Segment& segment : m_segments) {
        for (const auto& request : segment.held) {
            Count(dropped, *request, 1);
            if (forget && m_journal && request->journalId != 0)
                m_journal->Forget(request->journalId);
        }
        if (!segment.RangeDone()) {
            dropped.files += segment.unread.files;
            dropped.size += segment.unread.size;
            if (forget && m_journal)
                m_journal->ForgetWaiting(segment.after, segment.last);
        }
    }
    m_segments.clear();
    return dropped;
}

CUploadBacklog::Totals CUploadBacklog::TakeLost()
{
    const Totals lost = m_lost;
    m_lost = {};
    return lost;
}

CUploadBacklog::Totals CUploadBacklog::Kept() const
{
    Totals kept;
    for (const Segment& segment : m_segments) {
        for (const auto& request : segment.held)
            Count(kept, *request, 1);
        kept.files += segment.unread.files;
        kept.size += segment.unread.size;
    }
    return kept;
}

size_t CUploadBacklog::InMemory() const
{
    size_t n = 0;
    for (const Segment& segment : m_segments)
        n += segment.held.size();
    return n;
}

} // namespace talvex
