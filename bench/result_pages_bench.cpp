// The completed page with 1,000,000 rows, as a long upload leaves it: rows come in batches of
// settled files between window events (1,000 files of 1,000 folders each). Measured: the memory
// the rows take beyond the empty page, the time to append them, the longest gap between two
// window events meanwhile, then Ctrl+A and Ctrl+C over every row.
// Run: QT_QPA_PLATFORM=offscreen build/bench/bench_result_pages [rows] [rows-per-batch]

#include "bench/event_gaps.h"
#include "bench/memory_status.h"
#include "panes/result_views.h"
#include "panes/size_text.h"
#include "platform/heap_policy.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    talvex::GiveLargeBlocksBack(); // as the program does
    QApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int batch = std::max(1, argc > 2 ? std::atoi(argv[2]) : 1000);

    CCompleteResultView page;
    page.resize(900, 400);
    page.show();
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    const long emptyKb = StatusKb("VmRSS:");

    CEventGapMeter gaps;

    int added = 0;
    double appendSeconds = 0; // time in the appends alone, not the window's turns between them
    QEventLoop loop;
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        QElapsedTimer t;
        t.start();
        for (int n = 0; n < batch && added < rows; ++n, ++added) {
            const QString folder = QStringLiteral("d%1/").arg(added / 1000, 3, 10, QLatin1Char('0'));
            const QString name = QStringLiteral("f%1.bin").arg(added, 7, 10, QLatin1Char('0'));
            const qint64 size = (added * 7919LL) % (64LL << 20);
            page.AddResultRow({QStringLiteral("/home/user/upload/") + folder + name, QStringLiteral("upload/") + folder + name,
                               QString::fromStdString(talvex::SizeText(size, false)), QString()});
        }
        appendSeconds += t.nsecsElapsed() / 1e9;
        if (added >= rows)
            loop.quit();
    });
    QElapsedTimer wall;
    wall.start();
    feed.start(0);
    loop.exec();
    feed.stop();
    const double wallSeconds = wall.elapsed() / 1000.0;
    QTimer::singleShot(200, &settle, &QEventLoop::quit);
    settle.exec();
    gaps.Stop();
    const long fullKb = StatusKb("VmRSS:");
    std::printf("%d rows in batches of %d: %.1f MB beyond the empty page (%.0f bytes a row; empty page %.1f MB, "
                "peak of the process %.1f MB); appended in %.2f s (%.2f s with the window's turns); longest gap "
                "between window events %ld ms\n",
                page.RowCount(), batch, (fullKb - emptyKb) / 1024.0, (fullKb - emptyKb) * 1024.0 / std::max(1, rows),
                emptyKb / 1024.0, StatusKb("VmHWM:") / 1024.0, appendSeconds, wallSeconds, gaps.LongestMs());

    QElapsedTimer t;
    t.start();
    page.List()->selectAll();
    const double selectSeconds = t.nsecsElapsed() / 1e9;
    t.restart();
    const QString text = page.SelectionText();
    std::printf("Ctrl+A %.2f s; Ctrl+C text of %lld rows (%.1f MB of text) %.2f s\n", selectSeconds,
                static_cast<long long>(text.count(QLatin1Char('\n'))), text.size() * 2 / 1048576.0,
                t.nsecsElapsed() / 1e9);
    return 0;
}
