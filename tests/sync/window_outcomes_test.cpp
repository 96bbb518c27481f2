// What the window tells about each file when the server, the disk or the user do something
// awkward: fail rows of one account never go to another, a cancel is no failure and keeps the
// totals whole, deleted progress rows are forgotten, a silent LOGIN ends, unconfirmed and
// unreadable files stand on the fail page with their reason.

#include "app/client_session.h"
#include "app/deployment_settings.h"
#include "devserver/server_log.h"
#include "panes/result_views.h"
#include "sync/main_frame.h"
#include "sync/option_dlg.h"
#include "sync/queue_view.h"
#include "sync/reconnect.h"
#include "sync/result_panes.h"
#include "protocol/message_ids.h"
#include "protocol/upload_expander.h"
#include "sync/upload_queue.h"
#include "res/string_table.h"
#include "tests/common/frame_fixture.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace talvex;
using talvex::test::WriteFile;

namespace {

CUploadOrder Order(const QString& path, const QString& remoteFolder, const QString& moveFolder = {}, int kind = 0)
{
    CUploadOrder order;
    order.kind = kind;
    order.source = path.toStdString();
    order.name = QFileInfo(path).fileName().toStdString();
    order.remoteFolder = remoteFolder.toStdString();
    order.moveFolder = moveFolder.toStdString();
    return order;
}

void InjectNotice(CMainFrame& frame, int number, const std::string& path)
{
    CSyncNoticeList list;
    list.notices.push_back({path, number, kNoticePutFile});
    emit frame.Session().noticesArrived(list);
}

// 전체 = 완료 + 실패 + what is queued, running or awaiting its answer or notice.
int64_t Accounted(CMainFrame& frame)
{
    CUploadQueue& q = frame.Queue();
    int64_t open = 0;
    for (int row = 0; row < q.Model().rowCount(); ++row) {
        const auto state = q.Model().At(row).state;
        if (state == CQueueModel::Waiting || state == CQueueModel::Running)
            ++open;
    }
    return q.CurrentTotals().completed + q.CurrentTotals().failed + open
           + static_cast<int64_t>(frame.Results().ProcessView()->RowCount());
}

} // namespace

class WindowOutcomesTest : public QObject {
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

    void failRowsOfOneAccountAreNeverSentIntoAnother()
    {
        const QString refused = m_local.filePath(QStringLiteral("mix/only.refuse"));
        WriteFile(refused, "demo's");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.AddUploadOrders({Order(refused, QStringLiteral("/zz-mix"))});
        CResultPanes& panes = frame.Results();
        QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 1, 20000);

        // The same account again: its rows stay, to be resent.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        QVERIFY(!frame.IsConnected());
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QCOMPARE(panes.FailView()->RowCount(), 1);

        // Another account: the rows are gone, and nothing of demo's lands in sync's folder.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        QCOMPARE(panes.FailView()->RowCount(), 0);
        panes.FailView()->List()->selectAll();
        panes.FailView()->MenuAction(32816)->trigger();
        QTest::qWait(1500);
        QVERIFY(!QDir(m_storage.filePath(QStringLiteral("data/sync/zz-mix"))).exists());
        QVERIFY(frame.Queue().IsEmpty());
    }

    void aCancelIsNoFailureAndEveryFileIsAccountedFor()
    {
        QStringList small;
        for (int i = 0; i < 5; ++i) {
            small << m_local.filePath(QStringLiteral("c/s%1.txt").arg(i));
            WriteFile(small.last(), QByteArray(100, 'a' + i));
        }
        const QString big = m_local.filePath(QStringLiteral("c/big.bin"));
        WriteFile(big, QByteArray(8 << 20, 'b'));
        const QString after = m_local.filePath(QStringLiteral("c/after.txt"));
        WriteFile(after, "x");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.Session().SetUploadLimit(512); // KB/s: the big file takes about 16 s
        std::vector<CUploadOrder> orders;
        for (const QString& f : small)
            orders.push_back(Order(f, QStringLiteral("/cancel")));
        orders.push_back(Order(big, QStringLiteral("/cancel")));
        orders.push_back(Order(after, QStringLiteral("/cancel")));
        frame.AddUploadOrders(orders);
        CUploadQueue& queue = frame.Queue();
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().count, int64_t(7), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(queue.RunningTransfers() == 1 && queue.Model().rowCount() == 2, 20000);
        QTest::qWait(500);
        frame.QueueView()->CancelAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty() && queue.RunningTransfers() == 0, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(5), 10000);
        QCOMPARE(queue.CurrentTotals().failed, int64_t(0));
        // The cancelled and the dropped file left the total.
        QCOMPARE(queue.CurrentTotals().count, int64_t(5));
        QCOMPARE(Accounted(frame), queue.CurrentTotals().count);
        QCOMPARE(frame.Results().FailView()->RowCount(), 0);
        QVERIFY(!QFile::exists(m_storage.filePath(QStringLiteral("data/demo/cancel/after.txt"))));
        // The queue takes files again afterwards.
        frame.Session().SetUploadLimit(0);
        frame.AddUploadOrders({Order(after, QStringLiteral("/cancel"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(6), 20000);

        // A channel holds small files behind the one it sends: a cancel takes them all, unsent,
        // none failed, and the queue goes on with a new channel.
        const QString mid = m_local.filePath(QStringLiteral("c/mid.bin"));
        WriteFile(mid, QByteArray(600 << 10, 'm'));
        frame.Session().SetUploadLimit(64); // KB/s: the first file takes about 10 s
        orders = {Order(mid, QStringLiteral("/cancel2"))};
        for (int i = 0; i < 3; ++i)
            orders.push_back(Order(small[i], QStringLiteral("/cancel2")));
        frame.AddUploadOrders(orders);
        QTRY_COMPARE_WITH_TIMEOUT(queue.RunningTransfers(), 4, 10000); // given to the channel together
        QTest::qWait(300);
        frame.QueueView()->CancelAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(queue.IsEmpty() && queue.RunningTransfers() == 0, 10000);
        QCOMPARE(queue.CurrentTotals().failed, int64_t(0));
        QCOMPARE(queue.CurrentTotals().count, int64_t(6));
        QCOMPARE(Accounted(frame), queue.CurrentTotals().count);
        QCOMPARE(frame.Results().FailView()->RowCount(), 0);
        QVERIFY(!QDir(m_storage.filePath(QStringLiteral("data/demo/cancel2"))).exists()
                || QDir(m_storage.filePath(QStringLiteral("data/demo/cancel2"))).isEmpty());
        frame.Session().SetUploadLimit(0);
        frame.AddUploadOrders({Order(small[0], QStringLiteral("/cancel2"))});
        QTRY_COMPARE_WITH_TIMEOUT(queue.CurrentTotals().completed, int64_t(7), 20000);
    }

    void oneFileToTwoFoldersOneAfterTheOtherGoesToBoth()
    {
        const QString src = m_local.filePath(QStringLiteral("twice/t.txt"));
        WriteFile(src, "twice");
        for (const QString& user : {QStringLiteral("demo"), QStringLiteral("sync")}) {
            CMainFrame frame;
            frame.show();
            test::ConnectFrame(frame, user, user + QStringLiteral("1234"));
            frame.AddUploadOrders({Order(src, QStringLiteral("/twice-a"))});
            QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed, int64_t(1), 20000);
            frame.AddUploadOrders({Order(src, QStringLiteral("/twice-b"))});
            QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed, int64_t(2), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsEmpty(), 5000);
            QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(0));
            m_env.prompt.answers = {true};
            frame.Action(32819)->trigger();
        }
    }

    void deletedProgressRowsAreForgotten()
    {
        const QString src = m_local.filePath(QStringLiteral("del/d.txt"));
        const QString keep = m_local.filePath(QStringLiteral("del-moved"));
        WriteFile(src, "d");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        frame.Session().SetNoticePoll(NoticePoll::Normal);
        frame.Queue().SetDeadlines({60000, 3600000});
        CResultPanes& panes = frame.Results();
        // Notices are taken before they reach the window, so the row waits.
        auto taken = QObject::connect(&frame.Session(), &CClientSession::noticesArrived, &frame,
                                      [](CSyncNoticeList& list) { list.notices.clear(); }, Qt::DirectConnection);
        frame.AddUploadOrders({Order(src, QStringLiteral("/del"), keep)});
        QTRY_COMPARE_WITH_TIMEOUT(panes.ProcessView()->RowCount(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().AwaitingNotices(), size_t(1), 10000);
        QObject::disconnect(taken);
        QTest::keyClick(panes.ProcessView()->List(), Qt::Key_Delete);
        QCOMPARE(frame.Queue().AwaitingNotices(), size_t(0));
        InjectNotice(frame, 200, "/del/d.txt");
        QCOMPARE(panes.CompleteView()->RowCount(), 0);
        QCOMPARE(panes.FailView()->RowCount(), 0);
        QVERIFY2(QFile::exists(src), "nothing is moved for a deleted row");
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(0));
        QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(0));
    }

private:
    QTemporaryDir m_storage;
    QTemporaryDir m_local;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
};

// Servers that misbehave on purpose: each test has its own.
class WindowFaultsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid() && m_local.isValid());
    }
    void cleanup() { m_env.End(); }

    void aLoginThatIsNeverAnsweredEndsWithItsMessage()
    {
        auto server = Start("login-silent");
        QVERIFY(server);
        m_env.Begin(*server);
        // The minute counts from the LOGIN, on a clock the test moves, starting at zero and at
        // a large value; the watchdog looks once a second.
        for (const qint64 start : {qint64{0}, qint64{1} << 42}) {
            m_env.prompt.Clear();
            qint64 now = start;
            CMainFrame frame;
            frame.show();
            frame.Session().SetClock([&now] { return now; });
            frame.ConnectAs(QStringLiteral("demo"), QStringLiteral("demo1234"));
            // LOGIN goes once the control connection is made (the title names the user then).
            QTRY_VERIFY_WITH_TIMEOUT(frame.windowTitle().contains(QStringLiteral("[demo]")), 10000);
            now = start + 59999;
            QTest::qWait(1300);
            QVERIFY2(frame.isVisible(), "ended before its minute");
            now = start + 60000;
            // Requests keep coming, faster than the watchdog looks: it looks all the same.
            QElapsedTimer stream;
            stream.start();
            while (frame.isVisible() && stream.elapsed() < 5000) {
                QVERIFY(frame.Session().SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_GETSYNCED, {}, {}})));
                QTest::qWait(200);
            }
            QVERIFY2(!frame.isVisible(), "the watchdog did not look while requests came");
            QVERIFY(!m_env.prompt.shown.isEmpty());
            QCOMPARE(m_env.prompt.shown.last(), Str(241));
            QVERIFY(!frame.IsConnected());
        }
    }

    void anUploadCutByTheNetworkWaitsToGoAgainAndTheLostConnectionIsSaidAtTheBound()
    {
        // The server reads the header and nothing more: with a dead-path bound of one second the
        // kernel gives the upload connection up (its window stays shut), as it would over a dark
        // link: a network loss, which fails no file.
        auto server = Start("never-read@*.stall");
        QVERIFY(server);
        m_env.Begin(*server);
        const QString big = m_local.filePath(QStringLiteral("stall/big.stall"));
        WriteFile(big, QByteArray(32 << 20, 's'));
        for (const bool reconnect : {true, false}) {
            UploadOptions options = UploadOptions::Load();
            options.autoReconnect = reconnect;
            options.reconnectMinutes = 1;
            options.stallTimeoutSeconds = 1;
            QVERIFY(options.Save());
            m_env.prompt.Clear();
            CMainFrame frame;
            frame.show();
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            QCOMPARE(frame.Session().StallTimeoutMs(), 1000);
            frame.AddUploadOrders({Order(big, QStringLiteral("/stall"))});
            if (reconnect) {
                // Reconnecting at once, the row waiting to go again, nothing failed.
                QTRY_VERIFY_WITH_TIMEOUT(frame.Reconnector().IsActive(), 20000);
                QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(0));
                QCOMPARE(frame.Results().FailView()->RowCount(), 0);
                QCOMPARE(frame.Queue().Model().rowCount(), 1);
                QVERIFY(frame.Queue().Model().At(0).state != CQueueModel::SendFailed);
                m_env.prompt.answers = {true};
                frame.Action(32819)->trigger(); // 접속끊기; the journal keeps the file
            } else {
                // The lost connection's message and the end.
                QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 20000);
                QVERIFY(!m_env.prompt.shown.isEmpty());
                QCOMPARE(m_env.prompt.shown.last(), Str(329));
                QVERIFY(!m_env.prompt.shown.join('\n').contains(QString::fromUtf8(kTextQueueSendFailed)));
            }
        }
        // Never counted failed: the next login offers the file again.
        m_env.prompt.Clear();
        m_env.prompt.answers = {false};
        CMainFrame frame;
        frame.show();
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_env.prompt.shown.isEmpty(), 5000);
        QCOMPARE(m_env.prompt.shown[0], QString::fromUtf8(kTextResumeAsk).arg(1));
        QCOMPARE(frame.Results().FailView()->RowCount(), 0);
    }

    void unconfirmedAndUnreadableFilesStandOnTheFailPageWithTheirReason()
    {
        auto server = Start("no-notices");
        QVERIFY(server);
        m_env.Begin(*server);
        const QString dir = m_local.filePath(QStringLiteral("u"));
        WriteFile(dir + QStringLiteral("/ok.txt"), "ok");
        // An entry that cannot be read, even by root: a link that points at itself.
        QVERIFY(QFile::link(dir + QStringLiteral("/loop"), dir + QStringLiteral("/loop")));
        const QString keep = m_local.filePath(QStringLiteral("u-moved"));
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        frame.Queue().SetDeadlines({60000, 1500});
        frame.AddUploadOrders({Order(dir, QStringLiteral("/"), keep, 1)});
        CResultPanes& panes = frame.Results();
        QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 2, 20000);
        QStringList reasons;
        for (int row = 0; row < 2; ++row)
            reasons << panes.FailView()->Model()->Text(row, 0) + QStringLiteral(" | ") + panes.FailView()->Model()->Text(row, 3);
        reasons.sort();
        QVERIFY2(reasons[0].endsWith(QStringLiteral("/u/loop | 파일 읽기 오류 (") + QString::fromLocal8Bit(strerror(ELOOP)) + ")"),
                 qPrintable(reasons.join('\n')));
        QVERIFY2(reasons[1].endsWith(QStringLiteral("/u/ok.txt | 서버의 확인이 오지 않았습니다 (시간 초과)")),
                 qPrintable(reasons.join('\n')));
        QVERIFY2(QFile::exists(dir + QStringLiteral("/ok.txt")), "an unconfirmed file is not moved");
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(2));
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(0));
        // Nothing waits any more: a scheduled run is not held back for ever.
        QVERIFY(panes.IsProgressEmpty());
        QCOMPARE(frame.Queue().AwaitingNotices(), size_t(0));
        QVERIFY(frame.Queue().IsIdle()); // failed rows stay in the queue, but hold nothing back
        // A notice that comes late still gives the file its second chance.
        InjectNotice(frame, 200, "/u/ok.txt");
        QCOMPARE(panes.CompleteView()->RowCount(), 1);
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(1));
    }

    void aLostConnectionIsMadeAgainAndTheQueueGoesOnWithNothingLost()
    {
        const std::string root = m_storage.filePath(QStringLiteral("reconnect")).toStdString();
        auto server = test::StartDevServer(root);
        QVERIFY(server);
        m_env.Begin(*server);
        UploadOptions options = UploadOptions::Load();
        options.autoReconnect = true;
        options.reconnectMinutes = 1;
        QVERIFY(options.Save());
        const QString dir = m_local.filePath(QStringLiteral("r"));
        for (int i = 0; i < 8; ++i)
            WriteFile(dir + QStringLiteral("/f%1.bin").arg(i), QByteArray(256 * 1024, char('a' + i)));
        CMainFrame frame;
        frame.show();
        frame.Reconnector().SetSecondMs(100);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.Session().SetUploadLimit(256); // KB/s: eight seconds in all
        frame.AddUploadOrders({Order(dir, QStringLiteral("/"), {}, 1)});
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed >= 2, 20000);

        // The server goes away in the middle and comes back on the same ports.
        devserver::ServerConfig same;
        same.webPort = server->WebPort();
        same.commandPort = server->CommandPort();
        same.controlPort = server->ControlPort();
        same.root = root;
        server.reset();
        QTRY_VERIFY_WITH_TIMEOUT(frame.Reconnector().IsActive(), 10000);
        QVERIFY(frame.isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(frame.StatusPane(0)->text().startsWith(QStringLiteral("다시 접속 중")), 5000);
        QVERIFY(frame.Action(32819)->isEnabled()); // 접속끊기 stops the attempts
        QTest::qWait(1500);
        std::string error;
        auto again = std::make_unique<devserver::Server>(same, devserver::AccountBook::Defaults());
        QVERIFY2(again->Start(error), error.c_str());
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 20000);
        QVERIFY(!frame.Reconnector().IsActive());
        frame.Session().SetUploadLimit(0);
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsIdle() && frame.Queue().CurrentTotals().completed == 8, 30000);
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(0));
        QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(8));
        for (int i = 0; i < 8; ++i) {
            QFile stored(QString::fromStdString(root) + QStringLiteral("/demo/r/f%1.bin").arg(i));
            QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
            QCOMPARE(stored.readAll(), QByteArray(256 * 1024, char('a' + i)));
        }
    }

    void aWindowClosedMidUploadOffersTheUnfinishedFilesAtTheNextLogin()
    {
        const std::string root = m_storage.filePath(QStringLiteral("resume")).toStdString();
        auto server = test::StartDevServer(root);
        QVERIFY(server);
        m_env.Begin(*server);
        const QString dir = m_local.filePath(QStringLiteral("j"));
        for (int i = 0; i < 6; ++i)
            WriteFile(dir + QStringLiteral("/g%1.bin").arg(i), QByteArray(200 * 1024, char('k' + i)));
        // A sub-folder still to be made when the window goes: the question counts files only.
        for (int i = 0; i < 2; ++i)
            WriteFile(dir + QStringLiteral("/zsub/h%1.bin").arg(i), QByteArray(1000, char('h' + i)));
        int64_t left = 0;
        {
            CMainFrame frame;
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            QVERIFY(frame.Queue().HasJournal());
            frame.Session().SetUploadLimit(200); // KB/s: a file a second
            frame.AddUploadOrders({Order(dir, QStringLiteral("/"), {}, 1)});
            QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed >= 2, 20000);
            left = 8 - frame.Queue().CurrentTotals().completed;
            QVERIFY(left >= 1);
        } // the window goes mid-upload, as when the user quits

        // The next login of the account asks once, and "No" would forget them: "Yes" here.
        m_env.prompt.Clear();
        m_env.prompt.answers = {true};
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(m_env.prompt.shown.size() == 1, 5000);
        QVERIFY2(m_env.prompt.shown[0].startsWith(QStringLiteral("끝나지 않은 업로드 ")) &&
                     m_env.prompt.shown[0].endsWith(QStringLiteral("개가 있습니다. 다시 보낼까요?")),
                 qPrintable(m_env.prompt.shown[0]));
        const int asked = m_env.prompt.shown[0].section(QLatin1Char(' '), 3, 3).chopped(2).toInt();
        // The one in flight may have been answered before the window went.
        QVERIFY2(asked >= left - 1 && asked <= left, qPrintable(m_env.prompt.shown[0] + QStringLiteral(" left %1").arg(left)));
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsIdle() && frame.Queue().CurrentTotals().completed == asked, 30000);
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(0));
        QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(asked)); // 전체 is what was asked
        QVERIFY(QFile::exists(QString::fromStdString(root) + QStringLiteral("/demo/j/zsub/h1.bin")));
        for (int i = 0; i < 6; ++i) {
            QFile stored(QString::fromStdString(root) + QStringLiteral("/demo/j/g%1.bin").arg(i));
            QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
            QCOMPARE(stored.readAll(), QByteArray(200 * 1024, char('k' + i)));
        }
        // Nothing is left to offer at the login after that.
        m_env.prompt.Clear();
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        m_env.prompt.Clear();
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTest::qWait(500);
        QVERIFY2(m_env.prompt.shown.isEmpty(), qPrintable(m_env.prompt.shown.join('\n')));
    }

    void filesBeyondTheRowsOnShowAreInTheJournalAndNoForgetsThem()
    {
        // More files than two of the batches the journal is read back in (2,048), sent at 4 KB/s:
        // a file a second at most, so nearly all are still to go at each login.
        constexpr int kFiles = 4200;
        auto server = test::StartDevServer(m_storage.filePath(QStringLiteral("many")).toStdString());
        QVERIFY(server);
        m_env.Begin(*server);
        QVERIFY(DeploymentSettings::SaveUploadLimit(4));
        const QString dir = m_local.filePath(QStringLiteral("many"));
        for (int i = 0; i < kFiles; ++i)
            WriteFile(dir + QStringLiteral("/m%1.txt").arg(i), QByteArray(4096, 'm'));
        auto askedIn = [](const QString& question) { return question.section(QLatin1Char(' '), 3, 3).chopped(2).toInt(); };
        {
            CMainFrame frame;
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            frame.AddUploadOrders({Order(dir, QStringLiteral("/"), {}, 1)});
            QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().CurrentTotals().count, int64_t(kFiles), 20000);
            QCOMPARE(frame.Queue().Model().rowCount(), 101); // the rest waits unseen
            QTest::qWait(1200); // a fill tick: what was made is journaled
            // ... and waits there, not in memory.
            QVERIFY2(frame.Queue().RequestsInMemory() < CUploadExpander::kSignalEvery,
                     qPrintable(QString::number(frame.Queue().RequestsInMemory())));
        }
        // "예": every unfinished file is queued again, read in batches, and 전체 is what was asked.
        int asked = 0;
        m_env.prompt.Clear();
        m_env.prompt.answers = {true};
        {
            CMainFrame frame;
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            QTRY_VERIFY_WITH_TIMEOUT(m_env.prompt.shown.size() == 1, 5000);
            asked = askedIn(m_env.prompt.shown[0]);
            QVERIFY2(asked >= kFiles - 20 && asked <= kFiles, qPrintable(m_env.prompt.shown[0])); // the files not sent
            QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(asked));
            QCOMPARE(frame.Queue().Model().rowCount(), 101);
            QVERIFY2(frame.Queue().RequestsInMemory() <= CUploadBacklog::kReadBatch,
                     qPrintable(QString::number(frame.Queue().RequestsInMemory())));
            QTest::qWait(1200);
        }
        // "아니요": nothing is queued, and the journal forgets them.
        m_env.prompt.Clear();
        m_env.prompt.answers = {false};
        {
            CMainFrame frame;
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            QTRY_VERIFY_WITH_TIMEOUT(m_env.prompt.shown.size() == 1, 5000);
            const int again = askedIn(m_env.prompt.shown[0]);
            QVERIFY2(again >= asked - 20 && again <= asked, qPrintable(m_env.prompt.shown[0]));
            QVERIFY(frame.Queue().IsEmpty());
            QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(0));
            // Queued once more and cancelled: what waited in the journal leaves it and the total.
            frame.AddUploadOrders({Order(dir, QStringLiteral("/"), {}, 1)});
            QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().CurrentTotals().count, int64_t(kFiles), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().RequestsInMemory() < CUploadExpander::kSignalEvery, 5000);
            frame.Queue().CancelAll();
            QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsIdle(), 10000);
            const CUploadQueue::Totals& t = frame.Queue().CurrentTotals();
            QCOMPARE(t.count, t.completed + t.failed);
            QCOMPARE(t.failed, int64_t(0));
        }
        m_env.prompt.Clear();
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTest::qWait(500);
        QVERIFY2(m_env.prompt.shown.isEmpty(), "forgotten and cancelled: not asked again");
    }

    void disconnectStopsTheAttemptsAndTheirTimeEndsThemWithTheLostConnectionsMessage()
    {
        auto server = test::StartDevServer(m_storage.filePath(QStringLiteral("gone")).toStdString());
        QVERIFY(server);
        m_env.Begin(*server);
        UploadOptions options = UploadOptions::Load();
        options.autoReconnect = true;
        QVERIFY(options.Save());
        CMainFrame frame;
        frame.show();
        frame.Reconnector().SetSecondMs(100);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        server.reset();
        QTRY_VERIFY_WITH_TIMEOUT(frame.Reconnector().IsActive(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(frame.Reconnector().Attempts() >= 2, 10000);
        // 접속끊기 stops the attempts; the window stays, disconnected, and can connect again.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        QVERIFY(!frame.Reconnector().IsActive());
        const int attempts = frame.Reconnector().Attempts();
        QTest::qWait(1500);
        QCOMPARE(frame.Reconnector().Attempts(), attempts);
        QVERIFY(frame.isVisible());
        QVERIFY(!frame.IsConnected());
        QVERIFY(!frame.Action(32819)->isEnabled());

        // When the time is up: the lost connection's message, and the end.
        m_env.prompt.Clear();
        frame.Reconnector().Begin(8); // seconds of 100 ms
        QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 10000);
        QVERIFY(!m_env.prompt.shown.isEmpty());
        QCOMPARE(m_env.prompt.shown.last(), Str(329));

        // The delays: 1, 2, 4 … seconds, and never more than a minute.
        QCOMPARE(CReconnect::DelayAfter(0), 1000);
        QCOMPARE(CReconnect::DelayAfter(1), 2000);
        QCOMPARE(CReconnect::DelayAfter(5), 32000);
        QCOMPARE(CReconnect::DelayAfter(6), 60000);
        QCOMPARE(CReconnect::DelayAfter(40), 60000);
    }

    void noAttemptStartsAfterTheTimeSetAndTheEndComesThenWithTheLostConnectionsMessage_data()
    {
        QTest::addColumn<qint64>("clockStart"); // the clock's reading when the test begins
        QTest::newRow("clock at zero") << qint64(0);
        QTest::newRow("clock at a large value") << (qint64(1) << 42);
    }
    void noAttemptStartsAfterTheTimeSetAndTheEndComesThenWithTheLostConnectionsMessage()
    {
        QFETCH(qint64, clockStart);
        auto server = test::StartDevServer(m_storage.filePath(QStringLiteral("late")).toStdString());
        QVERIFY(server);
        m_env.Begin(*server);
        UploadOptions options = UploadOptions::Load();
        options.autoReconnect = true;
        options.reconnectMinutes = 1; // 60 seconds, here of 20 ms each: 1,200 ms on the test's clock
        QVERIFY(options.Save());
        CMainFrame frame;
        frame.show();
        CReconnect& reconnect = frame.Reconnector();
        // The test's clock stands still unless the test moves it: to the moment an attempt is
        // due, and on by 5 ms while each attempt runs (it fails, the server being gone). What
        // is decided when is then the same on an idle machine and a loaded one.
        constexpr int64_t kAttemptMs = 5;
        int64_t now = clockStart;
        reconnect.SetSecondMs(20);
        reconnect.SetClock([&now] { return now; });
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QList<int64_t> attemptsAt;
        bool running = false;
        int failed = 0; // attempts that failed; the lost connection's own last report is none
        int64_t endAt = -1;
        QString endMessage;
        connect(&reconnect, &CReconnect::attempting, this, [&] {
            attemptsAt.append(reconnect.Elapsed());
            running = true;
            now += kAttemptMs;
        });
        // After the reconnect's own handlers: the next attempt is planned by then, and the
        // window's message is shown.
        connect(&frame.Session(), &CClientSession::attemptFailed, this, [&] {
            failed += running ? 1 : 0;
            running = false;
        });
        connect(&reconnect, &CReconnect::gaveUp, this, [&] {
            endAt = reconnect.Elapsed();
            endMessage = m_env.prompt.shown.value(m_env.prompt.shown.size() - 1);
        });
        m_env.prompt.Clear();
        server.reset();
        QTRY_VERIFY_WITH_TIMEOUT(reconnect.IsActive(), 10000);
        // A failure said while no attempt runs (the lost connection's other worker ending after
        // it) is no attempt's: it plans nothing anew.
        QCOMPARE(reconnect.NextAttemptAt(), int64_t(20));
        now = clockStart + 10;
        emit frame.Session().attemptFailed();
        QCOMPARE(reconnect.NextAttemptAt(), int64_t(20));
        // Attempts 1, 3, 7, 15 and 31 seconds in, each later by the failing attempts before it;
        // none starts a millisecond before it is due.
        const QList<int64_t> due = {20, 20 + 5 + 40, 65 + 5 + 80, 150 + 5 + 160, 315 + 5 + 320};
        for (int i = 0; i < due.size(); ++i) {
            QCOMPARE(reconnect.NextAttemptAt(), due[i]);
            now = clockStart + due[i] - 1;
            QTest::qWait(int(CReconnect::DelayAfter(i, 20)) + 50); // the timer armed for it has fired
            QCOMPARE(attemptsAt.size(), i);
            now = clockStart + due[i];
            QTRY_COMPARE_WITH_TIMEOUT(failed, i + 1, 10000);
        }
        QCOMPARE(attemptsAt, due);
        // The sixth would start at 1,285 ms, after the 1,200 set: none is planned, and the end
        // waits for the time set, not a millisecond less.
        const int64_t limit = 60 * 20;
        QCOMPARE(reconnect.NextAttemptAt(), int64_t(-1));
        now = clockStart + limit - 1;
        QTest::qWait(int(limit - due.last() - kAttemptMs) + 50); // the timer armed for the end has fired
        QVERIFY(reconnect.IsActive());
        QVERIFY(frame.isVisible());
        now = clockStart + limit;
        QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 10000);
        QCOMPARE(endAt, limit);
        QCOMPARE(endMessage, Str(329));
        QVERIFY(!reconnect.IsActive());
        QTest::qWait(200);
        QCOMPARE(attemptsAt.size(), due.size());
    }

    void theTimeLimitIsTheMinutesSetToTheMillisecond_data()
    {
        noAttemptStartsAfterTheTimeSetAndTheEndComesThenWithTheLostConnectionsMessage_data();
    }
    void theTimeLimitIsTheMinutesSetToTheMillisecond()
    {
        QFETCH(qint64, clockStart);
        auto server = test::StartDevServer(m_storage.filePath(QStringLiteral("limit")).toStdString());
        QVERIFY(server);
        m_env.Begin(*server);
        UploadOptions options = UploadOptions::Load();
        options.autoReconnect = true;
        options.reconnectMinutes = 2; // 120 seconds, here of 10 ms each: 1,200 ms on the test's clock
        QVERIFY(options.Save());
        CMainFrame frame;
        frame.show();
        CReconnect& reconnect = frame.Reconnector();
        int64_t now = clockStart; // stands still unless the test moves it
        reconnect.SetSecondMs(10);
        reconnect.SetClock([&now] { return now; });
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        server.reset();
        QTRY_VERIFY_WITH_TIMEOUT(reconnect.IsActive(), 10000);
        now = clockStart + 1199;
        QTest::qWait(200);
        QVERIFY2(reconnect.IsActive(), "ended a millisecond early");
        now = clockStart + 1200;
        QTRY_VERIFY_WITH_TIMEOUT(!reconnect.IsActive(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 5000);
    }

    void theFailPageIsTheAccountsOfItsHostServiceSetAndUserId()
    {
        // One run of the window knows one web host and its ports; what differs between logins
        // is the server behind them. Each server below takes the ports of the first in turn.
        devserver::ServerConfig home;
        home.refuseUploads = "*.refuse";
        home.root = m_storage.filePath(QStringLiteral("acct-home")).toStdString();
        auto server = test::StartDevServer(home.root, {}, home);
        QVERIFY(server);
        home.webPort = server->WebPort();
        home.commandPort = server->CommandPort();
        home.controlPort = server->ControlPort();
        m_env.Begin(*server);
        const auto startOn = [&](devserver::ServerConfig config, const QString& storage, const QString& accounts = {}) {
            server.reset();
            config.root = m_storage.filePath(storage).toStdString();
            devserver::AccountBook book = devserver::AccountBook::Defaults();
            std::string error;
            if (!accounts.isEmpty() && !devserver::AccountBook::Load(accounts.toStdString(), book, error))
                return false;
            server = std::make_unique<devserver::Server>(config, book);
            return server->Start(error);
        };
        // The same user id in another service set, on the same host.
        const QString otherSetAccounts = m_storage.filePath(QStringLiteral("acct-otherset.ini"));
        WriteFile(otherSetAccounts, "[demo]\npassword = demo1234\nserviceset_id = otherset\n");
        // The same user id in the same service set on another host: the web check names
        // 127.0.0.2, where a server on the same ports takes the login.
        devserver::ServerConfig pointing = home;
        pointing.hostIp = "127.0.0.2";
        devserver::ServerConfig elsewhere = home;
        elsewhere.bind = "127.0.0.2";
        elsewhere.webPort = 0;
        std::unique_ptr<devserver::Server> otherHost;

        const QString refused = m_local.filePath(QStringLiteral("acct/only.refuse"));
        WriteFile(refused, "demo's");
        CMainFrame frame;
        CResultPanes& panes = frame.Results();
        for (int round = 0; round < 2; ++round) {
            // At home: demo's failure on the fail page (the second time back from the journal).
            if (round > 0)
                QVERIFY(startOn(home, QStringLiteral("acct-home")));
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            if (round == 0)
                frame.AddUploadOrders({Order(refused, QStringLiteral("/zz-acct"))});
            QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 1, 20000);
            QCOMPARE(frame.Session().Host(), QStringLiteral("127.0.0.1"));
            QCOMPARE(frame.Session().ServiceSetId(), QStringLiteral("devset"));
            m_env.prompt.answers = {true};
            frame.Action(32819)->trigger();
            QCOMPARE(panes.FailView()->RowCount(), 1); // kept while nobody is logged in

            // The same user id elsewhere is another account: the page empties, and 재전송
            // sends nothing into it.
            QString storage;
            if (round == 0) {
                storage = QStringLiteral("acct-set");
                QVERIFY(startOn(home, storage, otherSetAccounts));
            } else {
                storage = QStringLiteral("acct-host");
                QVERIFY(startOn(pointing, QStringLiteral("acct-pointing")));
                elsewhere.root = m_storage.filePath(storage).toStdString();
                otherHost = std::make_unique<devserver::Server>(elsewhere, devserver::AccountBook::Defaults());
                std::string error;
                QVERIFY2(otherHost->Start(error), error.c_str());
            }
            test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
            QCOMPARE(frame.Session().UserId(), QStringLiteral("demo"));
            QCOMPARE(frame.Session().Host(), round == 0 ? QStringLiteral("127.0.0.1") : QStringLiteral("127.0.0.2"));
            QCOMPARE(frame.Session().ServiceSetId(), round == 0 ? QStringLiteral("otherset") : QStringLiteral("devset"));
            QCOMPARE(panes.FailView()->RowCount(), 0);
            panes.FailView()->List()->selectAll();
            panes.FailView()->MenuAction(32816)->trigger();
            QTest::qWait(1500);
            QVERIFY(frame.Queue().IsEmpty());
            QCOMPARE(frame.Queue().CurrentTotals().count, int64_t(0));
            QVERIFY(QDir(m_storage.filePath(storage)).exists()); // the account's folder is there
            QDirIterator stored(m_storage.filePath(storage), QDirIterator::Subdirectories);
            while (stored.hasNext())
                QVERIFY2(!stored.next().endsWith(QStringLiteral("only.refuse")), qPrintable(stored.filePath()));
            m_env.prompt.answers = {true};
            frame.Action(32819)->trigger();
        }
        otherHost.reset();
    }

private:
    std::unique_ptr<devserver::Server> Start(const std::string& fault)
    {
        devserver::ServerConfig config;
        devserver::Fault f;
        std::string error;
        if (!devserver::ParseFault(fault, f, error))
            return nullptr;
        config.faults.push_back(f);
        return test::StartDevServer(m_storage.filePath(QString::fromStdString(fault)).toStdString(), {}, config);
    }

    QTemporaryDir m_storage;
    QTemporaryDir m_local;
    test::FrameTestEnv m_env;
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int status = 0;
    {
        WindowOutcomesTest outcomes;
        status |= QTest::qExec(&outcomes, argc, argv);
    }
    {
        WindowFaultsTest faults;
        status |= QTest::qExec(&faults, argc, argv);
    }
    return status;
}

#include "window_outcomes_test.moc"
