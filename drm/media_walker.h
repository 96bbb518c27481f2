#pragma once
// Finds the media files of what "=>" adds (a file already protected is not one), on a thread of its own: a folder is searched depth
// first (WalkFolder), and a large tree never holds up the
// window. Entries are handled in the order they were added; the files found are handed to
// `found` in batches, on the walker's thread, each with its output path relative to the
// target folder.

#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct MediaTarget {
    QString path;         // the media file
    QString relativePath; // where its output goes below the target folder
};

class CMediaWalker {
public:
    // found: a batch of one entry's files (may be empty); called once or more per entry, then
    // entryDone once, both on the walker's thread.
    using Found = std::function<void(std::vector<MediaTarget> batch)>;
    using EntryDone = std::function<void()>;

    CMediaWalker(Found found, EntryDone entryDone);
    // Stops the walk in hand and waits for the thread.
    ~CMediaWalker();
    CMediaWalker(const CMediaWalker&) = delete;
    CMediaWalker& operator=(const CMediaWalker&) = delete;

    void Add(const QString& path, bool isFolder);

    static constexpr size_t kBatch = 256;

private:
    struct Entry {
        QString path;
        bool isFolder = false;
    };
    void Run();
    void Collect(const QString& folder, std::vector<MediaTarget>& batch);

    Found m_found;
    EntryDone m_entryDone;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Entry> m_entries;
    bool m_quit = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
