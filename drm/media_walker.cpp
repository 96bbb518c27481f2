#include "drm/media_walker.h"

#include "drm/protect/drm_format.h"
#include "drm/protect/packager.h"
#include "panes/folder_walk.h"

CMediaWalker::CMediaWalker(Found found, EntryDone entryDone)
    : m_found(std::move(found)), m_entryDone(std::move(entryDone)), m_thread([this] { Run(); })
{
}

CMediaWalker::~CMediaWalker()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_stop = true;
    m_wake.notify_all();
    m_thread.join();
}

void CMediaWalker::Add(const QString& path, bool isFolder)
{
    {
        std::lock_guard lock(m_mutex);
        m_entries.push_back({path, isFolder});
    }
    m_wake.notify_all();
}

void CMediaWalker::Run()
{
    for (;;) {
        Entry entry;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_entries.empty(); });
            if (m_quit)
                return;
            entry = std::move(m_entries.front());
            m_entries.pop_front();
        }
        std::vector<MediaTarget> batch;
        const std::string path = entry.path.toStdString();
        if (!entry.isFolder) {
            if (talvex::drm::IsMediaPath(path) && !talvex::drm::IsProtectedFile(path))
                batch.push_back({entry.path, QString::fromStdString(talvex::drm::RelativeOutputPath(path, false, path))});
        } else {
            Collect(entry.path, batch);
        }
        if (m_stop)
            return;
        m_found(std::move(batch));
        m_entryDone();
    }
}

void CMediaWalker::Collect(const QString& folder, std::vector<MediaTarget>& batch)
{
    const std::string root = folder.toStdString();
    WalkFolder(folder, [&](const QFileInfo& entry) {
        if (m_stop)
            return false;
        const std::string path = entry.absoluteFilePath().toStdString();
        // Files already protected (the outputs of a target folder inside this one) are no media.
        if (entry.isDir() || !talvex::drm::IsMediaPath(path) || talvex::drm::IsProtectedFile(path))
            return true;
        batch.push_back({entry.absoluteFilePath(), QString::fromStdString(talvex::drm::RelativeOutputPath(root, true, path))});
        if (batch.size() >= kBatch) {
            m_found(std::move(batch));
            batch.clear();
        }
        return true;
    });
}
