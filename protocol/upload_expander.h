#pragma once
// CUploadExpander: the upload queue's expansion thread. Orders go in (Add); the thread walks
// their folders and makes one request per file and folder; the queue takes the requests out
// in order (Take). Cancel drops what is queued and stops a walk under way; orders added after
// it are expanded as usual.
//
// The queue is told that requests wait through `ready`, called on the expansion thread with
// no lock held, once until the next Take and again each time kSignalEvery more requests are
// made that VisitNew has not seen: it must only schedule work (post an event),
// never wait for the window thread. The totals (file requests and their sizes) are kept here
// and read by the window when it refreshes the status bar.

#include "protocol/upload_request.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace talvex {

class CUploadExpander {
public:
    static constexpr size_t kSignalEvery = 4096;
    // The walk waits while this many requests are made that VisitNew has not seen: a walk far
    // faster than the queue takes its requests in is not held in memory whole.
    static constexpr size_t kMaxUnvisited = 65536;

    // maxUnvisited: kMaxUnvisited but in tests.
    explicit CUploadExpander(std::function<void()> ready, size_t maxUnvisited = kMaxUnvisited);
    ~CUploadExpander(); // stops the walk and joins the thread

    CUploadExpander(const CUploadExpander&) = delete;
    CUploadExpander& operator=(const CUploadExpander&) = delete;

    void Add(CUploadOrder order);
    // Up to max requests, oldest first.
    std::vector<std::shared_ptr<CUploadRequest>> Take(size_t max);

    // Requests made and not taken yet, and orders not expanded yet.
    size_t Pending() const;
    bool Idle() const; // nothing queued, nothing being walked, nothing to take

    // Files made since the last ResetTotals, and their sizes.
    struct Totals {
        int64_t count = 0;
        int64_t size = 0;
    };
    Totals TakeTotals(); // returns and clears the totals made since the last call
    // Drops the queued orders and the requests not taken yet; a walk under way stops. Returns
    // the files among the requests it dropped (they were counted in the totals when made);
    // dropped, when given, sees each of them first.
    Totals Cancel(const std::function<void(const CUploadRequest&)>& dropped = {});
    // Calls visit, on the caller's thread, for up to max of the requests not visited yet and not
    // taken, oldest first (the queue journals them as soon as they exist). Returns how many are
    // left unvisited.
    size_t VisitNew(const std::function<void(CUploadRequest&)>& visit, size_t max = SIZE_MAX);
    // Every request VisitNew has seen and not taken yet, oldest first.
    std::vector<std::shared_ptr<CUploadRequest>> TakeVisited();

private:
    void Run();

    std::function<void()> m_ready;
    const size_t m_maxUnvisited;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room; // the walk may go on: fewer than kMaxUnvisited unvisited
    std::deque<CUploadOrder> m_orders;
    std::deque<std::shared_ptr<CUploadRequest>> m_pending;
    Totals m_totals;
    uint64_t m_generation = 0; // a cancel moves it on: requests of an older walk are dropped
    size_t m_unvisited = 0;    // the newest requests in m_pending that VisitNew has not seen
    bool m_walking = false;
    bool m_readySignalled = false;
    bool m_quit = false;
    std::atomic<bool> m_stopWalk{false};
    std::thread m_thread;
};

} // namespace talvex
