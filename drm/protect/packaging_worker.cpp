#include "drm/protect/packaging_worker.h"

#include "drm/protect/packager.h"

#include <sys/stat.h>

namespace talvex::drm {

PackagingWorker::PackagingWorker(PackFn pack, IPackagingSink& sink) : m_pack(std::move(pack)), m_sink(sink) {}

PackagingWorker::~PackagingWorker()
{
    RequestStop();
    Join();
}

bool PackagingWorker::Add(std::vector<PackJob> jobs)
{
    if (jobs.empty())
        return false;
    std::lock_guard threadLock(m_threadMutex);
    {
        std::lock_guard lock(m_mutex);
        for (PackJob& j : jobs)
            m_queue.push_back(std::move(j));
        if (m_running)
            return true;
        m_running = true;
        m_stop = false;
    }
    if (m_thread.joinable())
        m_thread.join(); // the last run has reported its end and is leaving
    m_thread = std::thread(&PackagingWorker::Run, this);
    return true;
}

bool PackagingWorker::Running() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

void PackagingWorker::RequestStop()
{
    std::lock_guard lock(m_mutex);
    m_stop = true;
}

void PackagingWorker::Join()
{
    std::lock_guard threadLock(m_threadMutex);
    if (m_thread.joinable())
        m_thread.join();
}

void PackagingWorker::Run()
{
    for (;;) {
        PackJob job;
        std::vector<uint64_t> notTaken;
        bool finished = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stop || m_queue.empty()) {
                for (const PackJob& j : m_queue)
                    notTaken.push_back(j.id);
                m_queue.clear();
                m_running = false;
                finished = true;
            } else {
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
        }
        if (finished) {
            // A run started after this one joins this thread first, so its reports follow.
            m_sink.OnFinished(notTaken);
            return;
        }
        m_sink.OnTaken(job.id);
        int outcome = m_pack(job);
        int64_t size = -1;
        if (outcome == kPackOk) {
            struct stat st {};
            if (::stat(job.outputPath.c_str(), &st) == 0)
                size = static_cast<int64_t>(st.st_size);
            else
                outcome = kPackFailed; // packaged, but the output cannot be looked at
        }
        m_sink.OnDone(job.id, outcome, size);
    }
}

} // namespace talvex::drm
