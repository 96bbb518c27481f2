// The upload queue of the window: its texts, and the whole queue against a development server
// (trees, refusals, cancel, delete, duplicate paths) or against scripted upload ports (a slow
// sink, a reset mid-file, a port that refuses connections).

#include "app/client_session.h"
#include "devserver/server_log.h"
#include "protocol/message_ids.h"
#include "panes/result_views.h"
#include "sync/main_frame.h"
#include "sync/queue_model.h"
#include "sync/queue_view.h"
#include "sync/result_panes.h"
#include "sync/upload_queue.h"
#include "res/string_table.h"
#include "tests/common/frame_fixture.h"
#include "tests/common/journal_disk_faults.h"
#include "tests/common/loopback.h"
#include "tests/common/scripted_tlxsp_port.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <atomic>
#include <map>
#include <sys/socket.h>
#include <thread>

using namespace talvex;
using talvex::test::WriteFile;

namespace {

// A loopback port that takes upload connections and either reads their bytes slowly and
// never answers (a transfer that takes long), or closes each connection once it has read
// `closeAfter` bytes (a reset mid-file). Stops by itself with the test.
class ScriptedUploadPort {
public:
    explicit ScriptedUploadPort(int64_t closeAfter = -1) : m_closeAfter(closeAfter)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int port = 0;
        if (talvex::test::BindLoopback(m_fd, port) == 0 && ::listen(m_fd, 8) == 0)
            m_port = static_cast<uint16_t>(port);
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedUploadPort()
    {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted; }

private:
    void Run()
    {
        while (!m_stop) {
            const int conn = ::accept(m_fd, nullptr, nullptr);
            if (conn < 0)
                return;
            ++m_accepted;
            timeval tv{0, 20000};
            ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            std::thread([this, conn] {
                char buf[4096];
                int64_t total = 0;
                while (!m_stop) {
                    const ssize_t n = ::recv(conn, buf, m_closeAfter >= 0 ? sizeof buf : 512, 0);
                    if (n == 0)
                        break;
                    if (n > 0)
                        total += n;
                    if (m_closeAfter >= 0 && total >= m_closeAfter)
                        break;
                    if (m_closeAfter < 0)
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                ::close(conn);
            }).detach();
        }
    }

    int64_t m_closeAfter;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
};

// Upload channels of the frame's session, but on another port.
void PointChannelsAt(CMainFrame& frame, uint16_t port)
{
    CClientSession& session = frame.Session();
    frame.Queue().SetChannelFactory([&session, port](uint32_t n) {
        CChannelStartInfo info;
        info.host = "127.0.0.1";
        info.port = port;
        info.sessionId = session.SessionId().toStdString();
        info.messageNumber = kUploadMessageBase + n;
        info.connectTimeoutMs = 2000;
        return StartUploadChannel(info, session.Sink());
    });
}

CUploadOrder FolderOrder(const QString& path, const QString& remoteFolder)
{
    CUploadOrder order;
    order.kind = 1;
    order.source = (path + QStringLiteral("/")).toStdString();
    order.name = QFileInfo(path).fileName().toStdString();
    order.remoteFolder = remoteFolder.toStdString();
    return order;
}

CUploadOrder FileOrder(const QString& path, const QString& remoteFolder)
{
    CUploadOrder order;
    order.source = path.toStdString();
    order.name = QFileInfo(path).fileName().toStdString();
    order.remoteFolder = remoteFolder.toStdString();
    return order;
}

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void MakeSparse(const QString& path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.resize(size));
}

} // namespace

class UploadQueueTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid() && m_local.isValid());
        devserver::ServerConfig config;
        config.refuseUploads = "*.refuse";
        m_server = test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString(), {}, config);
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }
    void init() { m_env.Begin(*m_server); }
    void cleanup() { m_env.End(); }

    void theTextsOfTheColumnsAndTheTotals()
    {
        QCOMPARE(QueueSizeText(-1), QStringLiteral("???"));
        QCOMPARE(QueueSizeText(0), QStringLiteral("0"));
        QCOMPARE(QueueSizeText(1023), QStringLiteral("1023"));
        QCOMPARE(QueueSizeText(1024), QStringLiteral("1 KB"));
        QCOMPARE(QueueSizeText(1048575), QStringLiteral("1023 KB"));
        QCOMPARE(QueueSizeText(1048576), QStringLiteral("1 MB"));
        QCOMPARE(QueueSpeedText(800), QStringLiteral("800 "));
        QCOMPARE(QueueSpeedText(1024), QStringLiteral("1024 "));
        QCOMPARE(QueueSpeedText(1025), QStringLiteral("1.0 K"));
        QCOMPARE(QueueSpeedText(1500), QStringLiteral("1.4 K"));
        QCOMPARE(QueueSpeedText(2047), QStringLiteral("1.9 K")); // a unit's last tenth
        QCOMPARE(QueueSpeedText(2048), QStringLiteral("2.0 K"));
        QCOMPARE(QueueSpeedText(1048575), QStringLiteral("1023.9 K"));
        QCOMPARE(QueueSpeedText(1048576), QStringLiteral("1024.0 K"));
        QCOMPARE(QueueSpeedText(1048577), QStringLiteral("1.0 M"));
        QCOMPARE(QueueSpeedText(2097151), QStringLiteral("1.9 M"));
        QCOMPARE(QueueSpeedText(2097152), QStringLiteral("2.0 M"));
        QCOMPARE(QueueSpeedText(2621440), QStringLiteral("2.5 M"));
        CUploadProgress p;
        p.sent = 2048;
        p.speed = 1500;
        QCOMPARE(QueueSentText(p), QStringLiteral("2 KB (1.4 KB/s)"));
        p.speed = 0;
        QCOMPARE(QueueSentText(p), QString());
        QCOMPARE(TotalSizeText(-5), QStringLiteral("파일크기 : 0 bytes"));
        QCOMPARE(TotalSizeText(10239), QStringLiteral("파일크기 : 10239 bytes"));
        QCOMPARE(TotalSizeText(10240), QStringLiteral("파일크기 : 10 KB"));
        QCOMPARE(TotalSizeText(10485759), QStringLiteral("파일크기 : 10239 KB"));
        QCOMPARE(TotalSizeText(10485760), QStringLiteral("파일크기 : 10 MB"));
    }

    void aTreeIsUploadedAndOnlyFilesCountInTheTotals()
    {
        const QString tree = m_local.filePath(QStringLiteral("tree"));
        WriteFile(tree + QStringLiteral("/a.txt"), "alpha");
        WriteFile(tree + QStringLiteral("/b.bin"), QByteArray(16385, 'b')); // one piece and a byte
        WriteFile(tree + QStringLiteral("/sub/c 한글.txt"), "gamma");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/empty")));
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        QTRY_COMPARE_WITH_TIMEOUT(queue.ConnectedChannels(), 1, 10000);
        QVERIFY(frame.Action(32797)->isEnabled()); // the sync check needs an empty queue
        frame.AddUploadOrders({FolderOrder(tree, QStringLiteral("/up"))});
        QVERIFY(!frame.Action(32797)->isEnabled());

        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(3), 20000);
        QCOMPARE(queue.CurrentTotals().count, int64_t(3));
        QCOMPARE(queue.CurrentTotals().size, int64_t(5 + 16385 + 5));
        QCOMPARE(queue.CurrentTotals().failed, int64_t(0));
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty(), 5000);
        const QString stored = m_storage.filePath(QStringLiteral("data/demo/up/tree"));
        QCOMPARE(Read(stored + QStringLiteral("/b.bin")), QByteArray(16385, 'b'));
        QCOMPARE(Read(stored + QStringLiteral("/sub/c 한글.txt")), QByteArray("gamma"));
        QVERIFY(QFileInfo(stored + QStringLiteral("/empty")).isDir());
        QCOMPARE(frame.StatusPane(2)->text(), QStringLiteral("전체 : 3     "));
        QCOMPARE(frame.StatusPane(3)->text(), QStringLiteral("완료 : 3  "));
        QCOMPARE(frame.StatusPane(5)->text(), QStringLiteral("파일크기 : 16 KB"));
        QTRY_VERIFY_WITH_TIMEOUT(frame.Action(32797)->isEnabled(), 5000);

        // Two rows with one remote path: each settles on its own, none stays running.
        const QString same = m_local.filePath(QStringLiteral("same.txt"));
        WriteFile(same, "twice");
        frame.AddUploadOrders({FileOrder(same, QStringLiteral("/")), FileOrder(same, QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(5), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty(), 5000);
        QCOMPARE(queue.RunningTransfers(), 0);

        // Disconnect: the totals go back to zero.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        QCOMPARE(queue.CurrentTotals().count, int64_t(0));
        QCOMPARE(queue.ChannelCount(), 0);
        QCOMPARE(frame.StatusPane(2)->text(), QStringLiteral("전체 : 0     "));
    }

    void aJournalThatStopsBeingWrittenIsSaidOnceAndTheFilesStillGoUp()
    {
        const QString dir = m_local.filePath(QStringLiteral("full"));
        for (int i = 0; i < 3; ++i)
            WriteFile(dir + QStringLiteral("/f%1.txt").arg(i), QByteArray(100, char('a' + i)));
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        QVERIFY(queue.HasJournal());
        m_env.prompt.Clear();
        {
            test::DiskFaults faults;
            test::DiskFaults::budget = 0; // the journal's disk is full from now on
            frame.AddUploadOrders({FolderOrder(dir, QStringLiteral("/full"))});
            QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(3), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty(), 5000);
            // The batch is committed within a second: that commit fails, and it is said.
            QTRY_COMPARE_WITH_TIMEOUT(m_env.prompt.shown.size(), 1, 5000);
            QVERIFY(frame.StatusPane(0)->text().startsWith(QString::fromUtf8(kTextJournalStopped)));
            QTest::qWait(1500);
        }
        QCOMPARE(queue.CurrentTotals().failed, int64_t(0));
        QCOMPARE(m_env.prompt.shown.size(), 1); // said once, at that moment
        QVERIFY2(m_env.prompt.shown[0].startsWith(QString::fromUtf8(kTextJournalStopped)), qPrintable(m_env.prompt.shown[0]));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(Read(m_storage.filePath(QStringLiteral("data/demo/full/full/f%1.txt").arg(i))),
                     QByteArray(100, char('a' + i)));
    }

    void aRefusedFileIsCountedFailedAndTheNextOneGoesOn()
    {
        const QString dir = m_local.filePath(QStringLiteral("refused"));
        WriteFile(dir + QStringLiteral("/no.refuse"), "no");
        WriteFile(dir + QStringLiteral("/yes.txt"), "yes");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        std::vector<CUploadItem> settled;
        connect(&frame.Queue(), &CUploadQueue::settled, this, [&](const CUploadItem& item) { settled.push_back(item); });
        frame.AddUploadOrders({FileOrder(dir + QStringLiteral("/no.refuse"), QStringLiteral("/")),
                               FileOrder(dir + QStringLiteral("/yes.txt"), QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(settled.size(), size_t(2), 20000);
        QCOMPARE(settled[0].failure, UploadFailure::Refused);
        QCOMPARE(settled[0].status, 500);
        QCOMPARE(settled[1].state, UploadState::Confirmed);
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(1));
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(1));
        QCOMPARE(frame.StatusPane(4)->text(), QStringLiteral("실패 : 1"));
        QVERIFY(!QFile::exists(m_storage.filePath(QStringLiteral("data/demo/no.refuse"))));
    }

    void cancelWhileATransferRunsEmptiesTheWholeQueueAndLeavesOneChannel()
    {
        ScriptedUploadPort slow;
        CMainFrame frame;
        PointChannelsAt(frame, slow.Port());
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        const QString big = m_local.filePath(QStringLiteral("big.bin"));
        MakeSparse(big, 256 << 20);
        const QString tree = m_local.filePath(QStringLiteral("many"));
        for (int i = 0; i < 150; ++i)
            WriteFile(tree + QStringLiteral("/f%1.txt").arg(i), "x");
        frame.AddUploadOrders({FileOrder(big, QStringLiteral("/")), FolderOrder(tree, QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.RunningTransfers(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(queue.Model().At(0).progress.has_value(), 10000);
        // The progress bar is drawn while the transfer reports a percent.
        QVERIFY(queue.Model().index(0, CQueueModel::StatusColumn).data(CQueueModel::PercentRole).isValid());
        QTRY_COMPARE_WITH_TIMEOUT(queue.Model().rowCount(), 101, 5000); // the rest waits unseen
        const uint32_t before = queue.Model().At(0).channel;

        // Delete with the running row selected: only the waiting rows go.
        frame.QueueView()->List()->selectAll();
        QVERIFY(!frame.QueueView()->DeleteAction()->isEnabled()); // grayed: a running row is selected
        QTest::keyClick(frame.QueueView()->List(), Qt::Key_Delete);
        QCOMPARE(queue.Model().At(0).state, CQueueModel::Running);
        // Rows that wait unseen come in as soon as rows leave.
        QTRY_VERIFY_WITH_TIMEOUT(queue.Model().rowCount() > 1, 5000);

        QVERIFY(frame.QueueView()->CancelAction()->isEnabled());
        frame.QueueView()->CancelAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty(), 10000);
        QCOMPARE(queue.Model().rowCount(), 0);
        QCOMPARE(queue.RunningTransfers(), 0);
        QCOMPARE(queue.ChannelCount(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(queue.ConnectedChannels(), 1, 10000);
        QVERIFY(queue.Model().rowCount() == 0);
        QVERIFY(before != 0);
        // The cancelled transfer is no failure; every file left the total with the queue.
        QCOMPARE(queue.CurrentTotals().failed, int64_t(0));
        QCOMPARE(queue.CurrentTotals().count, queue.CurrentTotals().completed);
    }

    void aConnectionResetMidFileFailsTheFileOnTheFailPageAndReplacesTheChannel()
    {
        ScriptedUploadPort cutter(64 * 1024);
        CMainFrame frame;
        PointChannelsAt(frame, cutter.Port());
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        const QString big = m_local.filePath(QStringLiteral("cut.bin"));
        MakeSparse(big, 64 << 20);
        frame.AddUploadOrders({FileOrder(big, QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().failed, int64_t(1), 20000);
        // The failure has one place: the fail page, with its reason; the queue is empty.
        QCOMPARE(queue.Model().rowCount(), 0);
        CFailView& fail = *frame.Results().FailView();
        QCOMPARE(fail.RowCount(), 1);
        QCOMPARE(fail.Model()->Text(0, 0), big);
        QCOMPARE(fail.Model()->Text(0, 3), QStringLiteral("파일 전송 실패"));
        QCOMPARE(queue.RunningTransfers(), 0);
        QCOMPARE(queue.ChannelCount(), 1);
        QCOMPARE(queue.CurrentTotals().count, int64_t(1));
        // Cut once, it went again on a new connection; cut again, it failed: three connections.
        QTRY_COMPARE_WITH_TIMEOUT(cutter.Accepted(), 3, 10000);

        // Files small enough to be given to a channel together go into the socket one behind
        // the other before the server cuts: each fails once, none is left running or waiting,
        // and the channel is replaced again.
        std::vector<CUploadOrder> orders;
        for (int i = 0; i < 4; ++i) {
            const QString name = m_local.filePath(QStringLiteral("cut%1.bin").arg(i));
            MakeSparse(name, 100 << 10);
            orders.push_back(FileOrder(name, QStringLiteral("/")));
        }
        frame.AddUploadOrders(orders);
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().failed, int64_t(5), 20000);
        QCOMPARE(fail.RowCount(), 5);
        QCOMPARE(queue.Model().rowCount(), 0);
        QCOMPARE(queue.RunningTransfers(), 0);
        QCOMPARE(queue.CurrentTotals().count, int64_t(5));
        QTRY_VERIFY_WITH_TIMEOUT(cutter.Accepted() >= 4, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(queue.ConnectedChannels(), 1, 10000);
    }

    void anAnswerTimeOutFailsWhatWasSentWholeAndNeverSendsItTwice()
    {
        // Uploads of files named s* are never answered, the others are: the channel that sent
        // them whole is replaced at the answer time-out, they fail without an answer, and none
        // of them (nor any other file) goes to the server a second time.
        test::ScriptedTlxspPort port([](const test::SeenRequest& r) -> std::string {
            const std::string path = r.Header("PATH").value_or("");
            if (r.command != "PUTFILE__" || path.rfind('s', 0) == 0)
                return test::ScriptedTlxspPort::kSilent;
            return test::TlxspAnswer(r.command, 200, "REQUEST-ID : vornasel\r\nPATH : " + path + "\r\n");
        });
        CMainFrame frame;
        PointChannelsAt(frame, static_cast<uint16_t>(port.Port()));
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        queue.SetDeadlines({1500, 300000});
        std::vector<CUploadOrder> orders;
        for (const char* name : {"s0.bin", "a0.bin", "s1.bin", "a1.bin", "a2.bin"}) {
            const QString path = m_local.filePath(QStringLiteral("expire/") + QLatin1String(name));
            WriteFile(path, QByteArray(300, name[0]));
            orders.push_back(FileOrder(path, QStringLiteral("/")));
        }
        frame.AddUploadOrders(orders);
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().failed, int64_t(2), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(3), 5000);
        QTest::qWait(2000); // a second send would come within this
        std::map<std::string, int> sends;
        for (const test::SeenRequest& r : port.Seen("PUTFILE__"))
            ++sends[r.Header("PATH").value_or("")];
        QCOMPARE(sends, (std::map<std::string, int>{{"a0.bin", 1}, {"a1.bin", 1}, {"a2.bin", 1}, {"s0.bin", 1}, {"s1.bin", 1}}));
        CFailView& fail = *frame.Results().FailView();
        QCOMPARE(fail.RowCount(), 2);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(fail.Model()->Text(row, 3), QString::fromUtf8(kTextNoAnswer));
        QCOMPARE(queue.CurrentTotals().count, int64_t(5));
    }

    void theTotalsAddUpAfterEveryUserActionOnAMixedQueue()
    {
        // On a sync-service account whose notices are held back: files confirmed by nothing
        // yet wait on the progress page.
        const QString dir = m_local.filePath(QStringLiteral("mixed"));
        WriteFile(dir + QStringLiteral("/ok1.txt"), "one");
        WriteFile(dir + QStringLiteral("/ok2.txt"), "two");
        WriteFile(dir + QStringLiteral("/no.refuse"), "no");
        for (int i = 1; i <= 3; ++i)
            WriteFile(dir + QStringLiteral("/w%1.txt").arg(i), "waits");
        MakeSparse(dir + QStringLiteral("/big.bin"), 8 << 20);
        // A file that cannot be read, even by root: a link that points at itself.
        QVERIFY(QFile::link(dir + QStringLiteral("/loop"), dir + QStringLiteral("/loop")));
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        CUploadQueue& queue = frame.Queue();
        queue.SetDeadlines({60000, 3600000});
        CResultPanes& panes = frame.Results();
        CFailView& fail = *frame.Results().FailView();
        auto held = QObject::connect(&frame.Session(), &CClientSession::noticesArrived, &frame,
                                     [](CSyncNoticeList& list) { list.notices.clear(); }, Qt::DirectConnection);
        QTRY_COMPARE_WITH_TIMEOUT(queue.ConnectedChannels(), 1, 10000);
        frame.Session().SetUploadLimit(256); // KB/s: the big file takes half a minute

        // 전체 = 완료 + 실패 + the files waiting or running in the queue and those awaiting their
        // answer or notice on the progress page; the status bar says the same numbers, and no
        // failure stands in the queue.
        const auto addsUp = [&](const char* after) {
            const CUploadQueue::Totals& t = queue.CurrentTotals();
            int64_t open = 0;
            for (int row = 0; row < queue.Model().rowCount(); ++row) {
                const CQueueModel::Item& item = queue.Model().At(row);
                QVERIFY2(item.state == CQueueModel::Waiting || item.state == CQueueModel::Running,
                         qPrintable(QStringLiteral("%1: a failed row in the queue").arg(after)));
                if (item.request->size >= 0)
                    ++open;
            }
            open += panes.ProcessView()->RowCount();
            QVERIFY2(t.count == t.completed + t.failed + open,
                     qPrintable(QStringLiteral("%1: 전체 %2, 완료 %3, 실패 %4, open %5")
                                    .arg(QLatin1String(after))
                                    .arg(t.count)
                                    .arg(t.completed)
                                    .arg(t.failed)
                                    .arg(open)));
            const QStringList texts = queue.TotalsTexts();
            for (int i = 0; i < 3; ++i)
                QCOMPARE(frame.StatusPane(2 + i)->text(), texts[i]);
        };
        const auto rowOf = [&](const QString& name) {
            for (int row = 0; row < queue.Model().rowCount(); ++row)
                if (QString::fromStdString(queue.Model().At(row).request->localPath).endsWith(name))
                    return row;
            return -1;
        };
        const auto deleteQueueRow = [&](int row) {
            QTreeView& list = *frame.QueueView()->List();
            list.setFocus();
            list.selectionModel()->setCurrentIndex(queue.Model().index(row, 0),
                                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            QTest::keyClick(&list, Qt::Key_Delete);
        };

        std::vector<CUploadOrder> orders;
        for (const char* name : {"ok1.txt", "loop", "no.refuse", "ok2.txt", "big.bin", "w1.txt", "w2.txt", "w3.txt"})
            orders.push_back(FileOrder(dir + QLatin1Char('/') + QLatin1String(name), QStringLiteral("/mixed")));
        frame.AddUploadOrders(orders);
        QTRY_VERIFY_WITH_TIMEOUT(queue.RunningTransfers() == 1 && queue.CurrentTotals().failed == 2
                                     && panes.ProcessView()->RowCount() == 2,
                                 20000);
        addsUp("queued");
        QCOMPARE(queue.CurrentTotals().count, int64_t(8));
        // The unreadable file: on the fail page with its reason, not in the queue.
        QCOMPARE(rowOf(QStringLiteral("/loop")), -1);
        QStringList reasons;
        for (int row = 0; row < fail.RowCount(); ++row)
            reasons << fail.Model()->Text(row, 0).section(QLatin1Char('/'), -1) + QStringLiteral(" | ") + fail.Model()->Text(row, 3);
        reasons.sort();
        QCOMPARE(reasons, (QStringList{QStringLiteral("loop | 파일 읽기 오류 (") + QString::fromLocal8Bit(strerror(ELOOP)) + ")",
                                       QStringLiteral("no.refuse | 동기화 실패")}));
        QCOMPARE(queue.Model().rowCount(), 4); // big.bin running, w1 … w3 waiting

        // A waiting row deleted: it leaves the total.
        deleteQueueRow(rowOf(QStringLiteral("/w3.txt")));
        QCOMPARE(rowOf(QStringLiteral("/w3.txt")), -1);
        addsUp("a waiting row deleted");
        // The running row is not deleted.
        deleteQueueRow(rowOf(QStringLiteral("/big.bin")));
        QVERIFY(rowOf(QStringLiteral("/big.bin")) >= 0);
        addsUp("the running row asked to go");
        // A notice confirms one of the files on the progress page.
        QObject::disconnect(held);
        CSyncNoticeList notices;
        notices.notices.push_back({panes.ProcessView()->Model()->Text(0, 1).toStdString(), 200, kNoticePutFile});
        emit frame.Session().noticesArrived(notices);
        QCOMPARE(queue.CurrentTotals().completed, int64_t(1));
        QCOMPARE(panes.ProcessView()->RowCount(), 1);
        addsUp("a notice confirmed one");
        // The progress page emptied by the user (Delete): what waited there leaves the total.
        held = QObject::connect(&frame.Session(), &CClientSession::noticesArrived, &frame,
                                [](CSyncNoticeList& list) { list.notices.clear(); }, Qt::DirectConnection);
        panes.ProcessView()->List()->setFocus();
        QTest::keyClick(panes.ProcessView()->List(), Qt::Key_Delete);
        QCOMPARE(panes.ProcessView()->RowCount(), 0);
        addsUp("the progress page emptied");
        QCOMPARE(queue.CurrentTotals().count, int64_t(6));
        // 재전송: the failures go through the queue again. The link fails again at once, even
        // behind rows that wait for the busy channel; the refused file waits its turn.
        fail.List()->selectAll();
        fail.MenuAction(32816)->trigger();
        addsUp("the failures resent");
        QTRY_VERIFY_WITH_TIMEOUT(queue.CurrentTotals().count == 8 && queue.CurrentTotals().failed == 3, 10000);
        addsUp("the resent failures queued");
        QCOMPARE(rowOf(QStringLiteral("/loop")), -1);
        QVERIFY(rowOf(QStringLiteral("/no.refuse")) >= 0);
        QCOMPARE(fail.RowCount(), 1);
        // 전송취소: what waits and runs leaves the total.
        frame.QueueView()->CancelAction()->trigger();
        addsUp("cancelled");
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty() && queue.RunningTransfers() == 0, 10000);
        addsUp("the cancel done");
        // The fail page emptied by the user: the failures stay counted.
        fail.List()->setFocus();
        QTest::keyClick(fail.List(), Qt::Key_Delete);
        QCOMPARE(fail.RowCount(), 0);
        addsUp("the fail page emptied");
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsIdle(), 10000);
        addsUp("idle");
        QCOMPARE(queue.CurrentTotals().count, queue.CurrentTotals().completed + queue.CurrentTotals().failed);
    }

    void aPortThatRefusesConnectionsIsRetriedWithAGrowingDelay()
    {
        // 1 s doubling to the 30-s cap: the fifth failure waits 16 s, the sixth 30 (not 32).
        const std::vector<std::pair<int, int>> delays = {{1, 1000}, {2, 2000}, {5, 16000}, {6, 30000}, {7, 30000}, {40, 30000}};
        for (const auto& [failures, ms] : delays)
            QCOMPARE(CUploadQueue::ConnectRetryDelayMs(failures), ms);
        CMainFrame frame;
        PointChannelsAt(frame, static_cast<uint16_t>(test::UnusedLoopbackPort()));
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CUploadQueue& queue = frame.Queue();
        QTRY_COMPARE_WITH_TIMEOUT(queue.RetryDelayMs(), 1000, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(queue.RetryDelayMs(), 2000, 10000);
        QCOMPARE(frame.StatusPane(0)->text(), QStringLiteral("File 전송 연결에 실패했습니다."));
        QVERIFY(queue.ChannelCount() <= 1);
        // A waiting row stays waiting (nothing is lost) until a channel connects.
        const QString file = m_local.filePath(QStringLiteral("waits.txt"));
        WriteFile(file, "w");
        frame.AddUploadOrders({FileOrder(file, QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.Model().rowCount(), 1, 5000);
        QCOMPARE(queue.Model().At(0).state, CQueueModel::Waiting);
        // Disconnecting stops the retries.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        QCOMPARE(queue.ChannelCount(), 0);
        QCOMPARE(queue.RetryDelayMs(), 0);
    }

    void aQueueWhoseChannelsCannotBeMadeStartsAndKeepsItsRows()
    {
        CMainFrame frame;
        CUploadQueue& queue = frame.Queue();
        queue.SetChannelFactory([](uint32_t) { return std::unique_ptr<Worker>(); });
        queue.Start(2); // returns: no channel, no endless attempt
        QCOMPARE(queue.ChannelCount(), 0);
        const QString file = m_local.filePath(QStringLiteral("kept.txt"));
        WriteFile(file, "k");
        frame.AddUploadOrders({FileOrder(file, QStringLiteral("/"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.Model().rowCount(), 1, 5000);
        QCOMPARE(queue.Model().At(0).state, CQueueModel::Waiting);
        QCOMPARE(queue.CurrentTotals().count, int64_t(1));
        queue.Stop();
    }

    void exactlyOneHundredAndOneRowsAreOnShowAndARowLeavingTakesTheNextIn()
    {
        CMainFrame frame;
        CUploadQueue& queue = frame.Queue();
        queue.SetChannelFactory([](uint32_t) { return std::unique_ptr<Worker>(); }); // nothing is sent
        queue.Start(1);
        const QString folder = m_local.filePath(QStringLiteral("rows"));
        std::vector<CUploadOrder> orders;
        for (int i = 0; i < 102; ++i) {
            const QString file = folder + QStringLiteral("/r%1.txt").arg(i, 3, 10, QLatin1Char('0'));
            WriteFile(file, "r");
            orders.push_back(FileOrder(file, QStringLiteral("/")));
        }
        auto first100 = std::vector<CUploadOrder>(orders.begin(), orders.begin() + 100);
        frame.AddUploadOrders(first100);
        QTRY_COMPARE_WITH_TIMEOUT(queue.Model().rowCount(), 100, 5000);
        frame.AddUploadOrders({orders[100]});
        QTRY_COMPARE_WITH_TIMEOUT(queue.Model().rowCount(), 101, 5000);
        frame.AddUploadOrders({orders[101]});
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().count, int64_t(102), 5000);
        QCOMPARE(queue.Model().rowCount(), 101); // the 102nd waits unseen
        QVERIFY(!queue.IsEmpty());
        queue.DeleteRows({0});
        QCOMPARE(queue.Model().rowCount(), 101); // taken in at once, not at the next tick
        QCOMPARE(QString::fromStdString(queue.Model().At(100).request->localPath), QString::fromStdString(orders[101].source));
        QCOMPARE(queue.CurrentTotals().count, int64_t(101));
        queue.Stop();
    }

    void ordersWithoutASessionAreNotKeptForTheNextLogin()
    {
        const QString file = m_local.filePath(QStringLiteral("nobody.txt"));
        WriteFile(file, "n");
        CMainFrame frame;
        frame.AddUploadOrders({FileOrder(file, QStringLiteral("/"))});
        QTest::qWait(100);
        QVERIFY(frame.Queue().IsEmpty());
        QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(0));
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        frame.AddUploadOrders({FileOrder(file, QStringLiteral("/"))});
        QTest::qWait(100);
        QVERIFY(frame.Queue().IsEmpty());
        QCOMPARE(frame.Queue().Model().rowCount(), 0);
    }

    void theTimersRunOnceASecondWhileConnected()
    {
        CMainFrame frame;
        QVERIFY(!frame.Queue().IsDispatching());
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(frame.Queue().IsDispatching());
        QCOMPARE(frame.Queue().DispatchIntervalMs(), 1000);
        QCOMPARE(frame.Queue().FillIntervalMs(), 1000);
    }

private:
    QTemporaryDir m_storage;
    QTemporaryDir m_local;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
};

QTEST_MAIN(UploadQueueTest)
#include "upload_queue_test.moc"
