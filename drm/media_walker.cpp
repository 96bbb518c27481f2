#include "drm/media_walker.h"

#include "drm/protect/packager.h"

#include <QDir>
#include <QFileInfo>

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
            if (talvex::drm::IsMediaPath(path))
                batch.push_back({entry.path, QString::fromStdString(talvex::drm::RelativeOutputPath(path, false, path))});
        } else {
            Collect(entry.path, entry.path, 0, batch);
        }
        if (m_stop)
            return;
        m_found(std::move(batch));
        m_entryDone();
    }
}

void CMediaWalker::Collect(const QString& folder, const QString& addedRoot, int depth, std::vector<MediaTarget>& batch)
{
    if (depth > kMaxDepth || m_stop)
        return;
    const QFileInfoList infos = QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                                           QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& fi : infos) {
        if (m_stop)
            return;
        const QString path = fi.absoluteFilePath();
        if (fi.isDir()) {
            if (!fi.isSymLink()) // a link back up the tree would never end
                Collect(path, addedRoot, depth + 1, batch);
        } else if (talvex::drm::IsMediaPath(path.toStdString())) {
            batch.push_back({path, QString::fromStdString(talvex::drm::RelativeOutputPath(addedRoot.toStdString(), true,
                                                                                           path.toStdString()))});
            if (batch.size() >= kBatch) {
                m_found(std::move(batch));
                batch.clear();
            }
        }
    }
}
