#include "protocol/upload_expander.h"

#include "protocol/upload_expansion.h"

namespace talvex {

CUploadExpander::CUploadExpander(std::function<void()> ready, size_t maxUnvisited)
    : m_ready(std::move(ready)), m_maxUnvisited(std::max<size_t>(1, maxUnvisited))
{
    m_thread = std::thread([this] { Run(); });
}

CUploadExpander::~CUploadExpander()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_stopWalk = true;
    m_wake.notify_all();
    m_room.notify_all();
    m_thread.join();
}

void CUploadExpander::Add(CUploadOrder order)
{
    {
        std::lock_guard lock(m_mutex);
        m_orders.push_back(std::move(order));
    }
    m_wake.notify_all();
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadExpander::Take(size_t max)
{
    std::vector<std::shared_ptr<CUploadRequest>> out;
    std::lock_guard lock(m_mutex);
    while (out.size() < max && !m_pending.empty()) {
        out.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    m_unvisited = std::min(m_unvisited, m_pending.size());
    m_readySignalled = false;
    m_room.notify_all();
    return out;
}

std::vector<std::shared_ptr<CUploadRequest>> CUploadExpander::TakeVisited()
{
    std::vector<std::shared_ptr<CUploadRequest>> out;
    std::lock_guard lock(m_mutex);
    const size_t visited = m_pending.size() - std::min(m_unvisited, m_pending.size());
    out.reserve(visited);
    for (size_t i = 0; i < visited; ++i) {
        out.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    m_readySignalled = false;
    return out;
}

CUploadExpander::Totals CUploadExpander::Cancel(const std::function<void(const CUploadRequest&)>& droppedOne)
{
    std::lock_guard lock(m_mutex);
    Totals dropped;
    for (const auto& request : m_pending) {
        if (droppedOne)
            droppedOne(*request);
        if (request->size >= 0) {
            ++dropped.count;
            dropped.size += request->size;
        }
    }
    m_unvisited = 0;
    m_orders.clear();
    m_pending.clear();
    ++m_generation;
    if (m_walking)
        m_stopWalk = true;
    m_room.notify_all();
    return dropped;
}

size_t CUploadExpander::VisitNew(const std::function<void(CUploadRequest&)>& visit, size_t max)
{
    std::lock_guard lock(m_mutex);
    const size_t n = std::min(m_unvisited, m_pending.size());
    const size_t first = m_pending.size() - n;
    const size_t count = std::min(n, max);
    for (size_t i = first; i < first + count; ++i)
        visit(*m_pending[i]);
    m_unvisited = n - count;
    m_room.notify_all();
    return m_unvisited;
}

size_t CUploadExpander::Pending() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size() + m_orders.size();
}

bool CUploadExpander::Idle() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.empty() && m_orders.empty() && !m_walking;
}

CUploadExpander::Totals CUploadExpander::TakeTotals()
{
    std::lock_guard lock(m_mutex);
    Totals totals = m_totals;
    m_totals = {};
    return totals;
}

void CUploadExpander::Run()
{
    // Requests are handed over in batches, so the lock is taken once per batch, not per file.
    constexpr size_t kBatch = 256;
    for (;;) {
        CUploadOrder order;
        uint64_t generation = 0;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_orders.empty(); });
            if (m_quit)
                return;
            order = std::move(m_orders.front());
            m_orders.pop_front();
            generation = m_generation;
            m_walking = true;
            m_stopWalk = false;
        }
        std::vector<std::shared_ptr<CUploadRequest>> batch;
        Totals made;
        auto flush = [&] {
            bool signal = false;
            {
                std::unique_lock lock(m_mutex);
                m_room.wait(lock, [&] {
                    return m_unvisited < m_maxUnvisited || m_quit || m_stopWalk || generation != m_generation;
                });
                if (generation == m_generation) {
                    const size_t before = m_unvisited;
                    m_unvisited += batch.size();
                    for (auto& request : batch)
                        m_pending.push_back(std::move(request));
                    m_totals.count += made.count;
                    m_totals.size += made.size;
                    // Told again every kSignalEvery new requests: the queue journals them and lets
                    // them go, so a long walk is never held in memory whole.
                    signal = !m_pending.empty() &&
                             (!m_readySignalled || before / kSignalEvery != m_unvisited / kSignalEvery);
                    if (signal)
                        m_readySignalled = true;
                }
            }
            batch.clear();
            made = {};
            if (signal && m_ready)
                m_ready();
        };
        ExpandUploadOrder(
            order,
            [&](std::unique_ptr<CUploadRequest> request) {
                if (request->size >= 0) {
                    ++made.count;
                    made.size += request->size;
                }
                batch.push_back(std::move(request));
                if (batch.size() >= kBatch)
                    flush();
            },
            &m_stopWalk);
        flush();
        std::lock_guard lock(m_mutex);
        m_walking = false;
    }
}

} // namespace talvex
