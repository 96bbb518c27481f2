#pragma once
// A connection worker: one thread that owns one TLXSP connection, fed through its mailbox and
// reporting through a sink.
//
//   BlockingReportQueue reports;                       // declare the sink first: it must outlive
//   auto control = StartControlSession(info, reports); // the workers reporting to it
//   control->Post(UM_LOGIN, std::make_unique<CThreadCommand>(CThreadCommand{UM_LOGIN, "id", "pw"}));
//   auto r = reports.Next(std::chrono::seconds(10));
//   control->Quit();                                   // or just destroy it
//
// Destroying a Worker posts UM_QUIT, releases a report the thread may be waiting to hand over
// (IReportSink::WakeSenders) and joins the thread. Reports made after that point still reach the
// sink, but the worker does not wait for them to be taken.
// The receiver of a sink that cannot be woken (a user interface thread answering synchronous
// calls) must not destroy a worker while handling its own events in a way that waits for them:
// it calls Detach() instead, and the thread ends by itself after its UM_QUIT.

#include "protocol/clock.h"
#include "protocol/mailbox.h"
#include "protocol/message_ids.h"
#include "protocol/report_sink.h"

#include <atomic>
#include <memory>
#include <thread>

namespace talvex {

// Shared by a Worker handle and its thread.
struct WorkerContext {
    explicit WorkerContext(IReportSink& s) : sink(s) {}
    Mailbox mailbox;
    IReportSink& sink;
    std::atomic<bool> stopping{false};
    std::atomic<bool> ended{false};

    void Send(Report& report)
    {
        report.senderStopping = &stopping;
        sink.Send(report);
    }
};

class Worker {
public:
    Worker(std::shared_ptr<WorkerContext> context, std::thread thread);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Hands a request to the worker. False when the worker has ended (the record is dropped).
    // A command whose messageId is 0 gets id.
    bool Post(uint32_t id, std::unique_ptr<CThreadCommand> command = nullptr);
    // Upload channels: upload one file or create one folder (remote path ending in '/').
    bool PostUpload(std::shared_ptr<CUploadRequest> request);
    // Upload channels: cancel the running transfer.
    bool Cancel() { return Post(UM_CANCEL); }
    void Quit() { Post(UM_QUIT); }
    // Waits for the thread to end (post UM_QUIT first, or it may wait for ever).
    void Join();
    // Quits and lets the thread end by itself; the sink must still outlive it.
    void Detach();
    bool HasEnded() const { return m_context->ended.load(); }

private:
    std::shared_ptr<WorkerContext> m_context;
    std::thread m_thread;
};

std::unique_ptr<Worker> StartControlSession(CChannelStartInfo info, IReportSink& sink);
std::unique_ptr<Worker> StartCommandChannel(CChannelStartInfo info, IReportSink& sink);
std::unique_ptr<Worker> StartUploadChannel(CChannelStartInfo info, IReportSink& sink,
                                           std::shared_ptr<const Clock> clock = nullptr);

} // namespace talvex
