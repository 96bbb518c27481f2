#include "protocol/report_sink.h"

#include <cerrno>

namespace talvex {

bool IsNetworkLoss(int error)
{
    switch (error) {
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return true;
    default:
        return false;
    }
}

BlockingReportQueue::~BlockingReportQueue() { Close(); }

void BlockingReportQueue::Send(Report& report)
{
    std::unique_lock lock(m_mutex);
    if (m_closed)
        return;
    Report kept;
    kept.message = report.message;
    kept.code = report.code;
    kept.error = report.error;
    kept.response = std::move(report.response);
    kept.entries = std::move(report.entries);
    kept.result = std::move(report.result);
    kept.progress = std::move(report.progress);
    kept.request = report.request;
    if (report.notices) {
        kept.keptNotices = std::make_unique<CSyncNoticeList>(*report.notices);
        kept.notices = kept.keptNotices.get();
    }
    const std::atomic<bool>* stopping = report.senderStopping;
    m_reports.push_back(std::move(kept));
    const uint64_t ticket = ++m_pushed;
    if (m_nReaders > 0)
        m_readable.notify_one();
    if (report.selfContained)
        return;
    ++m_nSenders;
    m_takenCv.wait(lock, [&] { return m_taken >= ticket || m_closed || (stopping && stopping->load()); });
    --m_nSenders;
}

void BlockingReportQueue::WakeSenders()
{
    std::lock_guard lock(m_mutex);
    m_takenCv.notify_all();
}

std::optional<Report> BlockingReportQueue::Next(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    ++m_nReaders;
    const bool ready = m_readable.wait_for(lock, timeout, [&] { return !m_reports.empty(); });
    --m_nReaders;
    if (!ready)
        return std::nullopt;
    Report r = std::move(m_reports.front());
    m_reports.pop_front();
    ++m_taken;
    if (m_nSenders > 0)
        m_takenCv.notify_all();
    return r;
}

std::optional<Report> BlockingReportQueue::NextOf(uint32_t message, std::chrono::milliseconds timeout,
                                                  std::deque<Report>* skipped)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return std::nullopt;
        std::optional<Report> r = Next(left);
        if (!r)
            return std::nullopt;
        if (r->message == message)
            return r;
        if (skipped)
            skipped->push_back(std::move(*r));
    }
}

void BlockingReportQueue::Close()
{
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_reports.clear();
    m_readable.notify_all();
    m_takenCv.notify_all();
}

size_t BlockingReportQueue::Pending() const
{
    std::lock_guard lock(m_mutex);
    return m_reports.size();
}

} // namespace talvex
