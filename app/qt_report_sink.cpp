#include "app/qt_report_sink.h"

#include <QMetaObject>
#include <QThread>

#include <atomic>

struct CQtReportSink::Handoff {
    enum State { Pending, Taken, Abandoned };
    explicit Handoff(talvex::Report& r) : report(r) {}

    talvex::Report& report;
    std::atomic<int> state{Pending};
    bool done = false;             // guarded by the sink's mutex
    std::condition_variable doneCv;
};

CQtReportSink::CQtReportSink(Handler handler, QObject* parent) : QObject(parent), m_handler(std::move(handler)) {}

CQtReportSink::~CQtReportSink()
{
    // Release every waiting sender and let it leave Send before the members go.
    std::unique_lock lock(m_mutex);
    m_closed = true;
    for (const auto& h : m_waiting)
        h->doneCv.notify_all();
    m_idle.wait(lock, [this] { return m_waiting.empty(); });
}

void CQtReportSink::Send(talvex::Report& report)
{
    if (QThread::currentThread() == thread()) {
        m_handler(report); // a report made on our own thread needs no hand-over
        return;
    }
    if (report.selfContained) {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_kept.push_back(std::move(report));
        if (!m_bKeptPosted) { // the first since the last batch: one turn takes them all
            m_bKeptPosted = true;
            QMetaObject::invokeMethod(this, [this] { DeliverKept(); }, Qt::QueuedConnection);
        }
        return;
    }
    auto handoff = std::make_shared<Handoff>(report);
    std::unique_lock lock(m_mutex);
    if (m_closed)
        return;
    m_waiting.insert(handoff);
    QMetaObject::invokeMethod(this, [this, handoff] { Deliver(handoff); }, Qt::QueuedConnection);

    auto released = [&] {
        return handoff->done || m_closed || (report.senderStopping && report.senderStopping->load());
    };
    handoff->doneCv.wait(lock, released);
    if (!handoff->done) {
        int pending = Handoff::Pending;
        if (!handoff->state.compare_exchange_strong(pending, Handoff::Abandoned)) {
            // The handler is already running with the report: it must finish first.
            handoff->doneCv.wait(lock, [&] { return handoff->done; });
        }
    }
    m_waiting.erase(handoff);
    if (m_waiting.empty())
        m_idle.notify_all();
}

void CQtReportSink::Deliver(const std::shared_ptr<Handoff>& handoff)
{
    int pending = Handoff::Pending;
    if (!handoff->state.compare_exchange_strong(pending, Handoff::Taken))
        return; // its sender has gone; the records went with it
    m_handler(handoff->report);
    std::lock_guard lock(m_mutex);
    handoff->done = true;
    handoff->doneCv.notify_all();
}

void CQtReportSink::DeliverKept()
{
    // The reports that are here now, one at a time from the front (a handler that turns the
    // event loop meets the later ones in their order); those that come meanwhile wait for the
    // next turn, so that a busy channel never keeps the window from its other events.
    size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        m_bKeptPosted = false;
        count = m_kept.size();
    }
    for (; count > 0; --count) {
        talvex::Report report;
        {
            std::lock_guard lock(m_mutex);
            if (m_kept.empty())
                return;
            report = std::move(m_kept.front());
            m_kept.pop_front();
        }
        m_handler(report);
    }
}

void CQtReportSink::WakeSenders()
{
    std::lock_guard lock(m_mutex);
    for (const auto& h : m_waiting)
        h->doneCv.notify_all();
}
