#pragma once
// The packaging worker: one thread that packages queued files one after another and reports
// each step to a sink. Stopping asks it to finish after the current file; no thread is ever
// killed. Qt-free.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvex::drm {

struct PackJob {
    uint64_t id = 0;         // the target entry, stable while the list changes
    std::string inputPath;
    std::string outputPath;
};

// Called on the worker thread; a window posts these on to its own thread.
class IPackagingSink {
public:
    virtual ~IPackagingSink() = default;
    virtual void OnTaken(uint64_t id) = 0;
    // size: bytes of the packaged output (outcome 0), else -1.
    virtual void OnDone(uint64_t id, int outcome, int64_t size) = 0;
    // The last report of a run: the jobs it did not take (stopped early).
    virtual void OnFinished(const std::vector<uint64_t>& notTaken) = 0;
};

class PackagingWorker {
public:
    // Packages one job and answers its outcome (0, -1, -2, -3); it sets the job's outputPath to
    // the name the output was given when that is another one.
    using PackFn = std::function<int(PackJob&)>;

    PackagingWorker(PackFn pack, IPackagingSink& sink);
    ~PackagingWorker(); // asks to stop and waits for the current file
    PackagingWorker(const PackagingWorker&) = delete;
    PackagingWorker& operator=(const PackagingWorker&) = delete;

    // Queues jobs; starts a run when none is going. False when nothing was queued.
    bool Add(std::vector<PackJob> jobs);
    bool Running() const;
    // The run ends after the current file; its remaining jobs come back in OnFinished.
    void RequestStop();
    // Waits until no run is going.
    void Join();

private:
    void Run();

    PackFn m_pack;
    IPackagingSink& m_sink;
    mutable std::mutex m_mutex;
    std::deque<PackJob> m_queue;
    bool m_running = false;
    bool m_stop = false;
    std::thread m_thread;
    std::mutex m_threadMutex; // who starts or joins m_thread
};

} // namespace talvex::drm
