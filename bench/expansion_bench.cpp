// Expansion of a 100,000-file tree (200 folders of 500 files) against a plain recursive walk
// that only collects each file's path and size. The ratio walk time / expansion time is
// measured side by side in one run (target >= 0.7). Peak memory is measured in a child process
// that expands the tree and keeps every request, as the upload queue's pending list does.

#include "protocol/upload_expansion.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 500;

class Tree {
public:
    Tree()
    {
        m_root = fs::temp_directory_path() / ("talvex-bench-expansion-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        char name[64];
        for (int d = 0; d < kFolders; ++d) {
            std::snprintf(name, sizeof name, "folder%03d", d);
            const fs::path dir = m_root / name;
            fs::create_directory(dir);
            for (int f = 0; f < kFilesPerFolder; ++f) {
                std::snprintf(name, sizeof name, "file%04d.dat", f);
                const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) {
                    [[maybe_unused]] const int rc = ::ftruncate(fd, (d * kFilesPerFolder + f) % 8192);
                    ::close(fd);
                }
            }
        }
    }
    ~Tree() { fs::remove_all(m_root); }
    std::string Root() const { return m_root.string(); }

private:
    fs::path m_root;
};

const Tree& TheTree()
{
    static Tree tree;
    return tree;
}

struct WalkEntry {
    std::string path;
    int64_t size;
};

// The plain walk: readdir and fstatat, collecting path and size of every file.
void PlainWalk(const std::string& dir, std::vector<WalkEntry>& out)
{
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
            continue;
        std::string path = dir + "/" + e->d_name;
        if (e->d_type == DT_DIR) {
            PlainWalk(path, out);
        } else {
            struct stat st {};
            if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                out.push_back({std::move(path), static_cast<int64_t>(st.st_size)});
        }
    }
    ::closedir(d);
}

talvex::CUploadOrder Order()
{
    return {1, TheTree().Root() + "/*.*", "upload/", "/bench/", ""};
}

size_t ExpandAll(std::vector<std::unique_ptr<talvex::CUploadRequest>>& out)
{
    talvex::ExpandUploadOrder(Order(), [&](std::unique_ptr<talvex::CUploadRequest> r) { out.push_back(std::move(r)); });
    return out.size();
}

void BM_PlainWalk(benchmark::State& state)
{
    const std::string root = TheTree().Root();
    for (auto _ : state) {
        std::vector<WalkEntry> entries;
        PlainWalk(root, entries);
        benchmark::DoNotOptimize(entries.data());
        if (entries.size() != kFolders * kFilesPerFolder)
            state.SkipWithError("the walk did not see every file");
    }
    state.counters["files/s"] = benchmark::Counter(double(kFolders * kFilesPerFolder), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Expansion(benchmark::State& state)
{
    TheTree();
    for (auto _ : state) {
        std::vector<std::unique_ptr<talvex::CUploadRequest>> requests;
        ExpandAll(requests);
        benchmark::DoNotOptimize(requests.data());
        if (requests.size() != 1 + kFolders + kFolders * kFilesPerFolder)
            state.SkipWithError("the expansion did not yield every request");
    }
    state.counters["files/s"] = benchmark::Counter(double(kFolders * kFilesPerFolder), benchmark::Counter::kIsIterationInvariantRate);
}

// Both alternately in one loop; ratio = walk time / expansion time (1.0: as fast as the walk).
void BM_ExpansionVsWalkRatio(benchmark::State& state)
{
    const std::string root = TheTree().Root();
    double walkSeconds = 0, expandSeconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        {
            std::vector<WalkEntry> entries;
            PlainWalk(root, entries);
            benchmark::DoNotOptimize(entries.data());
        }
        auto t1 = std::chrono::steady_clock::now();
        {
            std::vector<std::unique_ptr<talvex::CUploadRequest>> requests;
            ExpandAll(requests);
            benchmark::DoNotOptimize(requests.data());
        }
        auto t2 = std::chrono::steady_clock::now();
        walkSeconds += std::chrono::duration<double>(t1 - t0).count();
        expandSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    state.counters["ratio"] = walkSeconds / expandSeconds;
    state.counters["target"] = 0.7;
}

long MaxRssKiB()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// In a child process: resident peak before and after expanding and keeping every request.
void BM_ExpansionPeakMemory(benchmark::State& state)
{
    TheTree();
    for (auto _ : state) {
        int fds[2];
        if (::pipe(fds) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            const long before = MaxRssKiB();
            std::vector<std::unique_ptr<talvex::CUploadRequest>> requests;
            ExpandAll(requests);
            long result[2] = {before, MaxRssKiB()};
            [[maybe_unused]] const ssize_t n = ::write(fds[1], result, sizeof result);
            ::_exit(0);
        }
        ::close(fds[1]);
        long result[2] = {0, 0};
        const ssize_t n = ::read(fds[0], result, sizeof result);
        ::close(fds[0]);
        ::waitpid(pid, nullptr, 0);
        if (n != sizeof result) {
            state.SkipWithError("the child did not report");
            return;
        }
        state.counters["peak_rss_MiB"] = double(result[1]) / 1024.0;
        state.counters["growth_MiB"] = double(result[1] - result[0]) / 1024.0;
        state.counters["bytes/request"] = double(result[1] - result[0]) * 1024.0 / (1 + kFolders + kFolders * kFilesPerFolder);
    }
}

BENCHMARK(BM_PlainWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Expansion)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpansionVsWalkRatio)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ExpansionPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
