// Loading and saving an account book of 10,000 accounts: time and peak heap use.
#include "accounts/account_book.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <new>
#include <string>

namespace {

std::atomic<size_t> g_current{0};
std::atomic<size_t> g_peak{0};

void Track(void* p)
{
    const size_t now = g_current += malloc_usable_size(p);
    size_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void* Allocate(size_t n)
{
    void* p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    Track(p);
    return p;
}

void Release(void* p) noexcept
{
    if (!p)
        return;
    g_current -= malloc_usable_size(p);
    std::free(p);
}

} // namespace

void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }

namespace {

using talvex::AccountEntry;
using talvex::CAccountBook;
namespace fs = std::filesystem;

constexpr int kAccounts = 10000;

void Fill(CAccountBook& book)
{
    // 100 folders of 90 accounts and 1,000 accounts directly under the root.
    for (int f = 0; f < 100; ++f) {
        auto* folder = book.AddFolder("폴더 " + std::to_string(f));
        for (int i = 0; i < 90; ++i) {
            AccountEntry e;
            e.name = "사용자 " + std::to_string(f * 90 + i);
            e.userId = "user" + std::to_string(f * 90 + i);
            e.password = "pw-" + std::to_string(i) + "-비밀";
            e.description = "설명 <" + std::to_string(i) + ">";
            book.AddAccount(folder, std::move(e));
        }
    }
    for (int i = 9000; i < kAccounts; ++i) {
        AccountEntry e;
        e.name = "계정 " + std::to_string(i);
        e.userId = "user" + std::to_string(i);
        e.password = "secret" + std::to_string(i);
        book.AddAccount(nullptr, std::move(e));
    }
}

std::string BookPath()
{
    static const std::string path = [] {
        std::string tmpl = (fs::temp_directory_path() / "talvex-bench-XXXXXX").string();
        return std::string(::mkdtemp(tmpl.data())) + "/Talvex.xml";
    }();
    return path;
}

void BM_AccountBookSave(benchmark::State& state)
{
    CAccountBook book;
    Fill(book);
    const std::string path = BookPath();
    size_t peak = 0;
    for (auto _ : state) {
        const size_t base = g_current.load();
        g_peak = base;
        if (!book.Save(path))
            state.SkipWithError(book.Error().c_str());
        peak = std::max(peak, g_peak.load() - base);
    }
    state.counters["accounts"] = kAccounts;
    state.counters["file_KB"] = static_cast<double>(fs::file_size(path)) / 1024.0;
    state.counters["peak_heap_KB"] = static_cast<double>(peak) / 1024.0;
}
BENCHMARK(BM_AccountBookSave)->Unit(benchmark::kMillisecond);

void BM_AccountBookLoad(benchmark::State& state)
{
    const std::string path = BookPath();
    {
        CAccountBook book;
        Fill(book);
        book.Save(path);
    }
    size_t peak = 0;
    size_t kept = 0;
    for (auto _ : state) {
        const size_t base = g_current.load();
        g_peak = base;
        {
            CAccountBook book;
            if (!book.Load(path))
                state.SkipWithError(book.Error().c_str());
            kept = g_current.load() - base;
        }
        peak = std::max(peak, g_peak.load() - base);
    }
    state.counters["peak_heap_KB"] = static_cast<double>(peak) / 1024.0;
    state.counters["tree_KB"] = static_cast<double>(kept) / 1024.0;
}
BENCHMARK(BM_AccountBookLoad)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
