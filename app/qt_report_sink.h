#pragma once
// Hands the reports of connection workers to the user-interface thread. A worker's Send waits
// until the handler has run on this object's thread, so records a report lends (the notice
// list) stay valid while the handler reads them, exactly as with a synchronous window message.
// A report that lends nothing (Report::selfContained: the upload channels') is kept instead
// and Send returns at once: such reports are handled in the order they came, all those that
// came meanwhile in one turn of the event loop (a channel sending small files makes three a
// file, and a turn each cost more than the files).
//
// Rules for the owner:
//  - Declare the sink before the workers that report to it: it must outlive them.
//  - A handler must never destroy (join) the worker whose report it is handling, nor any worker
//    that may be waiting in Send at that moment: it calls Worker::Detach() instead, or leaves
//    the destruction to a later turn of the event loop. Destroying a worker from anywhere else
//    on this thread is safe: the worker's pending report is then dropped unhandled.

#include "protocol/report_sink.h"

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <deque>
#include <set>

class CQtReportSink final : public QObject, public talvex::IReportSink {
    Q_OBJECT
public:
    using Handler = std::function<void(talvex::Report&)>;

    explicit CQtReportSink(Handler handler, QObject* parent = nullptr);
    ~CQtReportSink() override;

    void Send(talvex::Report& report) override;
    void WakeSenders() override;

private:
    struct Handoff;
    void Deliver(const std::shared_ptr<Handoff>& handoff);
    void DeliverKept();

    Handler m_handler;
    std::mutex m_mutex;
    std::set<std::shared_ptr<Handoff>> m_waiting; // reports whose senders wait
    std::condition_variable m_idle; // m_waiting became empty
    bool m_closed = false;
    std::deque<talvex::Report> m_kept; // selfContained reports not handled yet, in order
    bool m_bKeptPosted = false;        // a DeliverKept is on its way
};
