// The window's polls run at fixed intervals: change notices every 5 s for sync-service
// accounts and every 2 s while a rename waits for its notice, the sync result 5 s after the
// job was accepted and again 5 s after each "not ready". The intervals are read from the
// armed timers; one window of time counts the notice polls.

#include "app/client_session.h"
#include "devserver/server_log.h"
#include "platform/workdir.h"
#include "protocol/message_ids.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/remote_ops.h"
#include "sync/sync_job.h"
#include "tests/common/frame_fixture.h"

#include <QAction>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace talvex;
using talvex::test::WriteFile;

class PollIntervalTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid() && m_work.isValid());
        SetAppDir(m_work.path().toStdString() + "/");
        WriteFile(m_storage.filePath(QStringLiteral("accounts.ini")),
                  "[demo]\npassword = demo1234\n\n[sync]\npassword = sync1234\nservice_type = 1\n");
        WriteFile(m_storage.filePath(QStringLiteral("data/demo/docs/report.txt")), "fine");
        devserver::ServerConfig config;
        config.sync.delay = std::chrono::milliseconds(60000); // results stay "not ready"
        m_server = test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString(),
                                        m_storage.filePath(QStringLiteral("accounts.ini")).toStdString(), config);
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }
    void init() { m_env.Begin(*m_server); }
    void cleanup() { m_env.End(); }

    void noticesArePolledEveryFiveSecondsAndEveryTwoWhileARenameWaits()
    {
        WriteFile(m_storage.filePath(QStringLiteral("data/sync/old.txt")), "x");
        CMainFrame frame;
        frame.Dialogs().showLogin = [](QString&, QString&, bool&) { return false; };
        int polls = 0;
        connect(&frame, &CMainFrame::noticesArrived, this, [&](CSyncNoticeList&) { ++polls; });
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        QTRY_COMPARE_WITH_TIMEOUT(frame.Session().NoticePollIntervalMs(), 5000, 5000);

        // Counted over a window: a poll that has just been answered is followed by exactly one
        // more within 6 s (a 5 s interval), not by three (2 s) or none.
        QTRY_VERIFY_WITH_TIMEOUT(polls >= 1, 8000);
        const int before = polls;
        QTest::qWait(6000);
        QCOMPARE(polls - before, 1);
        QCOMPARE(frame.Session().NoticePollIntervalMs(), 5000);

        // A rename the server accepted waits for its notice: polled every 2 s until it comes.
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_RENAME, "/old.txt", "/new.txt"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.RemoteOps().IsRenamePending(), 10000);
        QCOMPARE(frame.Session().NoticePollIntervalMs(), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(!frame.RemoteOps().IsRenamePending(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(frame.Session().NoticePollIntervalMs(), 5000, 1000);
    }

    void anAccountWithoutNoticesIsNeverPolled()
    {
        CMainFrame frame;
        frame.Dialogs().showLogin = [](QString&, QString&, bool&) { return false; };
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTest::qWait(200);
        QCOMPARE(frame.Session().NoticePollIntervalMs(), 0);
    }

    void theSyncResultIsAskedForFiveSecondsAfterTheStartAndAfterEachNotReady()
    {
        CMainFrame frame;
        frame.Dialogs().showLogin = [](QString&, QString&, bool&) { return false; };
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QCOMPARE(frame.SyncJob().ResultPollIntervalMs(), 0);
        QElapsedTimer clock;
        clock.start();
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.SyncJob().IsResultPollArmed(), 5000);
        QCOMPARE(frame.SyncJob().ResultPollIntervalMs(), 5000);

        // Each poll that fires clears the status; the server answers 203 to each, and the
        // next poll is armed with the same interval: polls go out 5 s apart (a coarse timer may
        // fire up to 5 % early).
        QList<qint64> fired;
        connect(&frame.SyncJob(), &CSyncJob::statusChanged, this, [&](int status) {
            if (status == 0)
                fired.append(clock.elapsed());
        });
        QTRY_COMPARE_WITH_TIMEOUT(fired.size(), 2, 13000);
        QVERIFY2(fired[0] >= 4700 && fired[0] < 6500, qPrintable(QString::number(fired[0])));
        QVERIFY2(fired[1] - fired[0] >= 4700 && fired[1] - fired[0] < 6500,
                 qPrintable(QString::number(fired[1] - fired[0])));
        QTRY_VERIFY_WITH_TIMEOUT(frame.SyncJob().IsResultPollArmed(), 3000);
        QCOMPARE(frame.SyncJob().ResultPollIntervalMs(), 5000);
        QVERIFY(frame.SyncJob().IsBusy());
    }

private:
    QTemporaryDir m_storage;
    QTemporaryDir m_work;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
};

QTEST_MAIN(PollIntervalTest)
#include "poll_interval_test.moc"
