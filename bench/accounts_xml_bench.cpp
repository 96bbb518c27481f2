// Parsing a 10 MB document and walking every element with the cursor.
#include "accounts/xml_document.h"

#include <benchmark/benchmark.h>

#include <string>

using talvex::CXmlDocument;

namespace {

// About 10 MB: folders of accounts with attributes, comments and some element data.
const std::string& Document()
{
    static const std::string text = [] {
        std::string t = "<?xml version=\"1.0\"?>\r\n<!-- generated -->\r\n<Talvex>\r\n<Users>\r\n";
        int n = 0;
        while (t.size() < 10u * 1024u * 1024u) {
            t += "<Folder Name=\"folder " + std::to_string(n) + "\">\r\n";
            for (int i = 0; i < 50; ++i, ++n) {
                t += "<User Name=\"user &amp; " + std::to_string(n) + "\" ID=\"id" + std::to_string(n) +
                     "\" Pass=\"097112115\" Description=\"\xC8\xAB\xB1\xE6\xB5\xBF &lt;desc&gt;\"/>\r\n";
                if (i % 10 == 0)
                    t += "<Note>some text " + std::to_string(i) + "</Note>\r\n";
            }
            t += "</Folder>\r\n";
        }
        t += "</Users>\r\n</Talvex>\r\n";
        return t;
    }();
    return text;
}

// Depth-first over every element, reading each name and one attribute.
size_t Walk(CXmlDocument& doc)
{
    size_t elements = 0;
    doc.ResetPosition();
    if (!doc.FindSibling())
        return 0;
    int depth = 0;
    for (;;) {
        if (doc.FindChild()) {
            ++elements;
            benchmark::DoNotOptimize(doc.ChildName());
            benchmark::DoNotOptimize(doc.ChildAttribute("Name"));
            doc.EnterElement();
            ++depth;
            continue;
        }
        if (depth == 0)
            break;
        doc.LeaveElement();
        --depth;
    }
    return elements + 1;
}

void BM_XmlParse(benchmark::State& state)
{
    const std::string& text = Document();
    CXmlDocument doc;
    for (auto _ : state) {
        if (!doc.LoadText(text))
            state.SkipWithError(doc.Error().c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_XmlParse)->Unit(benchmark::kMillisecond);

void BM_XmlParseAndNavigate(benchmark::State& state)
{
    const std::string& text = Document();
    CXmlDocument doc;
    size_t elements = 0;
    for (auto _ : state) {
        if (!doc.LoadText(text))
            state.SkipWithError(doc.Error().c_str());
        elements = Walk(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["elements"] = static_cast<double>(elements);
}
BENCHMARK(BM_XmlParseAndNavigate)->Unit(benchmark::kMillisecond);

void BM_XmlNavigateOnly(benchmark::State& state)
{
    const std::string& text = Document();
    CXmlDocument doc;
    doc.LoadText(text);
    for (auto _ : state)
        benchmark::DoNotOptimize(Walk(doc));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_XmlNavigateOnly)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
