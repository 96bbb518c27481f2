#pragma once
// Reports from the workers. A worker calls IReportSink::Send and waits until it returns, so a
// record it lends (the notice list of UM_GETNOTIED) stays valid during the call. Records in
// unique_ptr members belong to the receiver once Send returns (whatever it leaves there is
// freed by the worker).
//
// Report fields by message:
//   control session  UM_CONTROL_CONNECTED, UM_CONTROL_CONNECT_FAILED, UM_CONNECTION_LOST: nothing
//                    UM_LOGIN_RESULT, UM_LOGOUT_RESULT: response
//                    UM_GETNOTIED: notices (lent)
//                    UM_CHECKSYNC, UM_STARTSYNC: code = status code
//                    UM_GETSYNCED: code = status code, result (only for 200)
//   command channel  UM_BROWSE, UM_SEARCH: entries
//                    UM_MKDIR_RESULT, UM_RMDIR_RESULT, UM_RENAME_RESULT: response
//                    UM_DELFILE_DONE: code = 200, response
//                    UM_COMMAND_CONNECT_FAILED, UM_CONNECTION_LOST: nothing
//   both             UM_REQUEST_NOT_SENT: response (command word, texts as given, status = RequestError)
//   upload channel   message = the channel's number, code = UploadEvent; request for
//                    UE_CANCELLED, UE_DONE, UE_OPEN_FAILED, UE_SEND_FAILED and UE_RESET while
//                    sending; progress for UE_PROGRESS; response for UE_RESPONSE.
//
// Rules for a sink:
//  - Send may block until the receiver has handled the report (a selfContained one may also be
//    kept and handed on later, in order), but it must return once
//    *report.senderStopping is true and WakeSenders() has been called: the worker's owner is
//    destroying it and may be the very thread the sink would wait for.
//  - A sink must outlive the workers that report to it.

#include "protocol/records.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace talvex {

struct Report {
    uint32_t message = 0;
    int32_t code = 0;
    // UM_CONNECTION_LOST, UE_RESET and UE_SEND_FAILED: the errno that ended the connection when
    // the socket told one (IsNetworkLoss sorts it), 0 otherwise.
    int32_t error = 0;
    std::unique_ptr<CTlxspResponse> response;
    std::unique_ptr<CRemoteEntryList> entries;
    std::unique_ptr<CSyncNoticeList> result;
    const CSyncNoticeList* notices = nullptr; // lent: valid only during Send
    std::unique_ptr<CUploadProgress> progress;
    std::shared_ptr<CUploadRequest> request;

    const std::atomic<bool>* senderStopping = nullptr; // set by the worker
    // Nothing in the report is lent: a sink may keep it and return at once, handing it on later
    // in the order it came (the upload channel's reports, so that a channel goes on with the
    // files it was given while the window takes its reports a batch at a time).
    bool selfContained = false;
    std::unique_ptr<CSyncNoticeList> keptNotices;      // a sink's own copy of lent notices
};

// The connection was lost to the network, not ended by the server: it timed out (nothing
// acknowledged, no keepalive answered within the dead-path bound, CChannelStartInfo::
// stallTimeoutMs), or the host or its network could not be reached. The server gave no verdict
// on anything in flight on it: what was cut or unanswered is sent again once the connection is
// made again, never counted failed.
bool IsNetworkLoss(int error);

class IReportSink {
public:
    virtual ~IReportSink() = default;
    virtual void Send(Report& report) = 0;
    // Called when a worker is being destroyed: a Send of that worker must return soon.
    virtual void WakeSenders() {}
};

// A sink for the command-line client and tests: reports are handed to whichever thread calls
// Next. Send of a self-contained report (the upload channel's) returns at once, the report kept
// in order; any other Send waits until its report has been taken (or the worker is being
// destroyed, or the queue is closed). Lent notices are copied, so a taken report is
// self-contained.
class BlockingReportQueue : public IReportSink {
public:
    ~BlockingReportQueue() override;
    void Send(Report& report) override;
    void WakeSenders() override;

    // The next report, or nothing after the time-out.
    std::optional<Report> Next(std::chrono::milliseconds timeout);
    // The next report with that message; reports before it are dropped (they are returned
    // in skipped when given).
    std::optional<Report> NextOf(uint32_t message, std::chrono::milliseconds timeout,
                                 std::deque<Report>* skipped = nullptr);
    // Releases waiting workers and drops every later report.
    void Close();
    size_t Pending() const;

private:
    mutable std::mutex m_mutex;
    // Two conditions, each told only when somebody waits on it: a thread switch is most of
    // what a small file costs.
    std::condition_variable m_readable; // a report came (readers wait)
    std::condition_variable m_takenCv;   // a report was taken (senders of lent reports wait)
    int m_nReaders = 0, m_nSenders = 0; // waiting on each
    std::deque<Report> m_reports;
    uint64_t m_pushed = 0;
    uint64_t m_taken = 0;
    bool m_closed = false;
};

} // namespace talvex
