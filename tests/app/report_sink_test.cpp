// Worker reports reach the user-interface thread synchronously, and a worker being destroyed
// never hangs on a report nobody will handle.

#include "app/qt_report_sink.h"
#include "protocol/message_ids.h"
#include "protocol/worker.h"
#include "tests/common/loopback.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace talvex;

class ReportSinkTest : public QObject {
    Q_OBJECT
private slots:
    void sendWaitsForTheHandlerOnTheGuiThread()
    {
        QThread* gui = QThread::currentThread();
        std::atomic<bool> handled{false};
        size_t lentSeen = 0;
        CQtReportSink sink([&](Report& r) {
            QCOMPARE(QThread::currentThread(), gui);
            lentSeen = r.notices ? r.notices->notices.size() : 0; // the lent list is still alive
            r.response.reset();                                   // the handler owns the records
            handled = true;
        });
        std::atomic<bool> handledBeforeReturn{false};
        std::thread worker([&] {
            CSyncNoticeList lent;
            lent.notices.resize(3);
            Report r;
            r.message = UM_GETNOTIED;
            r.notices = &lent;
            r.response = std::make_unique<CTlxspResponse>();
            sink.Send(r);
            handledBeforeReturn = handled.load();
        });
        QTRY_VERIFY_WITH_TIMEOUT(handled.load(), 5000);
        worker.join();
        QVERIFY(handledBeforeReturn.load());
        QCOMPARE(lentSeen, size_t(3));
    }

    void reportsThatLendNothingAreKeptAndHandedOnInOrderAFewATurn()
    {
        // An upload channel's reports: Send returns before any handler ran, the reports are
        // handled in the order they came with their records, those that came before a turn in
        // that turn, and those that come while a turn is handling wait for the next one.
        std::vector<int32_t> handled;
        std::vector<size_t> perTurn;
        int turns = 0;
        CQtReportSink* self = nullptr;
        CQtReportSink sink([&](Report& r) {
            handled.push_back(r.code);
            QVERIFY(r.request);
            if (handled.size() == 1) { // a report that comes while the first turn handles
                std::thread late([&] {
                    Report more;
                    more.selfContained = true;
                    more.code = 99;
                    more.request = std::make_shared<CUploadRequest>();
                    self->Send(more);
                });
                late.join();
            }
        });
        self = &sink;
        std::thread worker([&] {
            for (int32_t code = 0; code < 50; ++code) {
                Report r;
                r.message = kUploadMessageBase;
                r.code = code;
                r.request = std::make_shared<CUploadRequest>();
                r.selfContained = true;
                sink.Send(r);
            }
        });
        worker.join(); // every Send returned with no turn of the event loop
        QVERIFY(handled.empty());
        while (handled.size() < 51 && turns < 10) {
            const size_t before = handled.size();
            QCoreApplication::processEvents();
            ++turns;
            perTurn.push_back(handled.size() - before);
        }
        QCOMPARE(handled.size(), size_t(51));
        for (int32_t code = 0; code < 50; ++code)
            QCOMPARE(handled[static_cast<size_t>(code)], code);
        QCOMPARE(handled.back(), 99);
        QCOMPARE(perTurn.front(), size_t(50)); // the late one waited for a turn of its own
    }

    void aRealWorkerReportsItsConnectFailure()
    {
        // A port nothing listens on.
        const int port = test::UnusedLoopbackPort();

        QList<uint32_t> messages;
        CQtReportSink sink([&](Report& r) { messages.append(r.message); });
        CChannelStartInfo info;
        info.host = "127.0.0.1";
        info.port = port;
        auto control = StartControlSession(info, sink);
        QTRY_COMPARE_WITH_TIMEOUT(messages, QList<uint32_t>{UM_CONTROL_CONNECT_FAILED}, 20000);
        control.reset(); // destroyed outside any handler: joins at once
    }

    void aSenderBeingStoppedIsReleasedAndItsReportDropped()
    {
        int calls = 0;
        CQtReportSink sink([&](Report&) { ++calls; });
        std::atomic<bool> stopping{false};
        std::atomic<bool> returned{false};
        std::thread worker([&] {
            Report r;
            r.message = UM_BROWSE;
            r.entries = std::make_unique<CRemoteEntryList>(2);
            r.senderStopping = &stopping;
            sink.Send(r);
            returned = true;
        });
        // The event loop does not run here, as when the owner is busy destroying the worker.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QVERIFY(!returned.load()); // Send waits for a handler that has not run
        stopping = true;
        sink.WakeSenders();
        worker.join();
        QCoreApplication::processEvents();
        QCOMPARE(calls, 0); // the report went with its sender; it is never handled late
    }
};

QTEST_GUILESS_MAIN(ReportSinkTest)
#include "report_sink_test.moc"
