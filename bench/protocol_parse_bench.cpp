// Parser throughput: response header blocks and listings.
#include "platform/text_codec.h"
#include "protocol/listing.h"
#include "protocol/message.h"

#include <benchmark/benchmark.h>

using namespace talvex;

static void BM_ReadHeaderBlock(benchmark::State& state)
{
    const std::string header = "TLXSP/1.0 RESPONSE_ BROWSE___\r\nREQUEST-ID : browse#1\r\nPATH : /some/folder/with/a/name\r\n"
                               "PATH2 : /another/path\r\nSTATUS-CODE : 200\r\nSTATUS-DESC : OK\r\nDATA-LENGTH : 123456\r\n\r\n";
    for (auto _ : state) {
        CTlxspResponse r;
        benchmark::DoNotOptimize(tlxsp::ReadHeaderBlock(header, r, tlxsp::HeaderOrder::Command));
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * header.size()));
}
BENCHMARK(BM_ReadHeaderBlock);

static std::string Listing(int lines)
{
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += std::to_string(i % 7 == 0) + " " + std::to_string(i * 1237LL) + " 2006 11 30 14 5 9 \xB9\xAE\xBC\xAD report " +
                std::to_string(i) + ".doc\r\n";
    return text;
}

static void BM_ParseListing(benchmark::State& state)
{
    SetWireEncoding("CP949");
    const std::string text = Listing(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CRemoteEntryList list;
        ParseListing(text, list);
        benchmark::DoNotOptimize(list.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}
BENCHMARK(BM_ParseListing)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
