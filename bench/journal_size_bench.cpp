// The upload journal's size and speed for many queued entries: N files queued (the way a
// folder of N files enters the queue), the file's size on disk, then the same entries through
// sending, sent and answered, and the time LoadUnfinished takes to read them back.

#include "protocol/upload_journal.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace talvex;
namespace fs = std::filesystem;

namespace {

double Ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

long PeakKb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

uint64_t SizeOf(const std::string& path)
{
    std::error_code ec;
    uint64_t n = 0;
    for (const char* suffix : {"", "-wal"}) {
        const auto s = fs::file_size(path + suffix, ec);
        if (!ec)
            n += s;
    }
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    int entries = 100000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--entries") == 0)
            entries = std::atoi(argv[++i]);
    const fs::path dir = fs::temp_directory_path() / ("talvex-journal-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "journal" / "bench.sqlite").string();
    {
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        if (!opened.journal) {
            std::fprintf(stderr, "cannot open the journal: %s\n", opened.error.c_str());
            return 1;
        }
        CUploadJournal& journal = *opened.journal;
        std::vector<CUploadRequest> requests(static_cast<size_t>(entries));
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < entries; ++i) {
            CUploadRequest& r = requests[static_cast<size_t>(i)];
            char name[96];
            std::snprintf(name, sizeof name, "d%03d/f%06d.jpg", i / 1000, i);
            r.localPath = "/home/user/Pictures/holiday/" + std::string(name);
            r.remotePath = "photos/holiday/" + std::string(name);
            r.size = 1024 + i;
            journal.Queued(r);
        }
        journal.Flush();
        const double queueMs = Ms(t0);
        std::printf("%d entries queued: %.0f ms (%.2f us each); journal %.1f MB (%.0f bytes an entry)\n", entries, queueMs,
                    queueMs * 1000 / entries, SizeOf(path) / 1048576.0, static_cast<double>(SizeOf(path)) / entries);
        t0 = std::chrono::steady_clock::now();
        for (CUploadRequest& r : requests) {
            r.stamp = CFileStamp{r.size, 1700000000000000000, 123456, 2049};
            journal.Sending(r);
            journal.Sent(r);
            journal.Answered(r);
        }
        journal.Flush();
        const double stepMs = Ms(t0);
        std::printf("sending, sent, answered for each: %.0f ms (%.2f us a change)\n", stepMs, stepMs * 1000 / (3.0 * entries));
    }
    std::printf("journal after closing: %.1f MB (%.0f bytes an entry)\n", SizeOf(path) / 1048576.0,
                static_cast<double>(SizeOf(path)) / entries);
    {
        // What the window does before its question: open, drop an older version's copies,
        // count without loading.
        const auto t0 = std::chrono::steady_clock::now();
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        const double openMs = Ms(t0);
        const bool dropped = opened.journal && opened.journal->DropCopies();
        const double dropMs = Ms(t0) - openMs;
        const int64_t files = dropped ? opened.journal->CountUnfinishedFiles() : -1;
        std::printf("open and count: %lld unfinished files in %.0f ms (open %.0f ms, copies %.0f ms)\n",
                    static_cast<long long>(files), Ms(t0), openMs, dropMs);
        // A resume's pass in batches: memory stays at one batch.
        const long before = PeakKb();
        const auto t1 = std::chrono::steady_clock::now();
        int64_t after = 0;
        size_t seen = 0;
        for (;;) {
            CJournalResume batch = opened.journal->LoadBatch(after, 2048);
            const size_t n = batch.unfinished.size() + batch.failed.size() + batch.moved.size();
            if (n == 0)
                break;
            seen += n;
        }
        std::printf("read in batches of 2,048: %zu entries in %.0f ms, peak memory %+ld KB\n", seen, Ms(t1),
                    PeakKb() - before);
    }
    {
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        const auto t0 = std::chrono::steady_clock::now();
        CJournalResume found = opened.journal->LoadUnfinished();
        std::printf("LoadUnfinished: %zu unfinished, %zu failed (their files do not exist here) in %.0f ms\n",
                    found.unfinished.size(), found.failed.size(), Ms(t0));
    }
    fs::remove_all(dir);
    return 0;
}
