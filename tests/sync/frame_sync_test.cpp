// Manual sync and sync check: the frame against a development server in this process (start,
// polling, result), and the progress, complete and result dialogs on their own.

#include "app/client_session.h"
#include "app/prompt.h"
#include "devserver/accounts.h"
#include "devserver/server.h"
#include "tests/common/client_env.h"
#include "devserver/server_log.h"
#include "platform/workdir.h"
#include "protocol/message_ids.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/remote_ops.h"
#include "sync/sync_job.h"
#include "sync/start_sync_dlg.h"
#include "sync/sync_comp_dlg.h"
#include "sync/sync_result_dlg.h"
#include "tests/common/frame_fixture.h"
#include "tests/common/scripted_prompt.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace talvex;
using talvex::test::VisibleProgressDialogs;
using talvex::test::WriteFile;

namespace {

struct Shown {
    bool check = false;
    int total = 0;
    int fail = 0;
};

} // namespace

class FrameSyncTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid() && m_work.isValid());
        SetAppDir(m_work.path().toStdString() + "/");
        // Accounts: a normal one, a sync-service one and one without a sync target server.
        WriteFile(m_storage.filePath(QStringLiteral("accounts.ini")),
                  "[demo]\npassword = demo1234\n\n[sync]\npassword = sync1234\nservice_type = 1\n\n"
                  "[notarget]\npassword = nt1234\nsync_targets = 0\n");
        // demo's files: two in "docs", one of which fails.
        WriteFile(m_storage.filePath(QStringLiteral("data/demo/docs/report.txt")), "fine");
        WriteFile(m_storage.filePath(QStringLiteral("data/demo/docs/broken.syncfail")), "bad");
        m_server = StartServer(std::chrono::milliseconds(200));
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }

    void init()
    {
        m_env.Begin(*m_server);
        m_complete.clear();
        m_results.clear();
        QFile::remove(CMainFrame::SyncResultFile());
    }
    void cleanup() { m_env.End(); }

    // ---- the frame ------------------------------------------------------------------------

    void aManualSyncWithoutFailuresShowsTheCompleteDialog()
    {
        auto own = StartServer(std::chrono::milliseconds(200), "");
        test::PointClientAt(*own);
        CMainFrame frame;
        Script(frame);
        QVERIFY(!frame.Action(ID_MANUAL_SYNC)->isEnabled()); // not connected
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        Connect(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(frame.Action(ID_MANUAL_SYNC)->isEnabled());
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());

        frame.Action(ID_MANUAL_SYNC)->trigger();
        QVERIFY(frame.SyncJob().IsBusy());
        QVERIFY(!frame.SyncJob().IsCheck());
        QCOMPARE(frame.StatusText(), QStringLiteral("수동동기화 진행중"));
        QCOMPARE(VisibleProgressDialogs(frame).size(), 1);
        QCOMPARE(frame.ProgressDialog()->Mode(), int(CStartSyncDlg::kManualSync));
        QVERIFY(!frame.Action(ID_MANUAL_SYNC)->isEnabled()); // a job runs
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsTimerArmed(kSyncResultTimer), 5000); // start answered 200

        QTRY_COMPARE_WITH_TIMEOUT(m_complete.size(), 1, 15000);
        QVERIFY(m_results.isEmpty());
        QCOMPARE(m_complete.first().check, false);
        QCOMPARE(m_complete.first().total, 2);
        QCOMPARE(m_complete.first().fail, 0);
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QCOMPARE(frame.ProgressDialog()->windowTitle(), QStringLiteral("동기화 확인 결과 List 생성중"));
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화 대기중"));
        QVERIFY(frame.Action(ID_MANUAL_SYNC)->isEnabled());
        QVERIFY(QFile::exists(CMainFrame::SyncResultFile())); // the complete dialog leaves it
        QVERIFY(m_prompt.shown.isEmpty());
    }

    void aCheckOfTheWholeAccountReportsTheFailedFile()
    {
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QVERIFY(frame.SyncJob().IsBusy());
        QVERIFY(frame.SyncJob().IsCheck());
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화확인 진행중"));
        const QList<CStartSyncDlg*> open = VisibleProgressDialogs(frame);
        QCOMPARE(open.size(), 1);
        QCOMPARE(open.first()->Mode(), int(CStartSyncDlg::kCheckSync));
        QCOMPARE(open.first()->windowTitle(), QStringLiteral("동기화확인 진행중"));

        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), 1, 15000);
        QVERIFY(m_complete.isEmpty());
        QCOMPARE(m_results.first().check, true);
        QCOMPARE(m_results.first().total, 2);
        QCOMPARE(m_results.first().fail, 1);

        // The real dialog on the file the control session wrote.
        auto result = std::make_unique<CSyncNoticeList>();
        result->totalCount = 2;
        result->failCount = 1;
        CSyncResultDlg dlg(std::move(result), true, CMainFrame::SyncResultFile());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("동기화확인 결과"));
        dlg.ListButton()->click();
        QCOMPARE(dlg.ListedPaths().size(), 1);
        QVERIFY2(dlg.ListedPaths().first().endsWith(QStringLiteral("docs/broken.syncfail")),
                 qPrintable(dlg.ListedPaths().first()));
    }

    void aCheckOfOneFolderFromTheRemotePane()
    {
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        // As the remote pane's "동기화 확인" sends it: the flag, then the folder's path.
        frame.SetCheckSync(true);
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, "/docs/", {}}));
        QVERIFY(frame.SyncJob().IsBusy());
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QCOMPARE(VisibleProgressDialogs(frame).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), 1, 15000);
        QCOMPARE(m_results.first().fail, 1);

        // A path that is not there: refused with 204.
        frame.SetCheckSync(true);
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, "/docs/gone.txt", {}}));
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 1, 10000);
        QCOMPARE(m_prompt.shown.first(), QStringLiteral("파일이 존재하지 않습니다"));
        QCOMPARE(m_prompt.boxes.first().icon, PromptIcon::Information);
        QCOMPARE(m_prompt.boxes.first().caption, QStringLiteral("Talvex"));
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(!frame.IsTimerArmed(kSyncResultTimer));
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화 대기중"));
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());

        // A path the server cannot take: any other refusal names its status.
        frame.SetCheckSync(true);
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, "/../x/", {}}));
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 2, 10000);
        QCOMPARE(m_prompt.shown.last(), QStringLiteral("동기화 확인을 할 수 없습니다. [400]"));
        QVERIFY(!frame.SyncJob().IsBusy());
    }

    void anAccountWithoutSyncTargetIsRefused()
    {
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("notarget"), QStringLiteral("nt1234"));
        frame.Action(ID_MANUAL_SYNC)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 1, 10000);
        QCOMPARE(m_prompt.shown.first(), QStringLiteral("동기화 대상 서버가 없습니다."));
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 2, 10000);
        QCOMPARE(m_prompt.shown.last(), QStringLiteral("동기화 대상 서버가 없습니다."));
        QVERIFY(!frame.IsTimerArmed(kSyncResultTimer));
        QVERIFY(m_complete.isEmpty() && m_results.isEmpty());
    }

    void aResultNotReadyIsAskedForAgainAndShownOnce()
    {
        // The result needs longer than the first poll: 203, then 200.
        auto slow = StartServer(std::chrono::milliseconds(6500));
        test::PointClientAt(*slow);
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QElapsedTimer clock;
        clock.start();
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(clock.elapsed() > 6000, 8000); // first poll answered 203 by now
        QVERIFY(frame.SyncJob().IsBusy());
        QVERIFY(frame.IsTimerArmed(kSyncResultTimer));
        QVERIFY(m_results.isEmpty() && m_complete.isEmpty());
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(m_results.size(), 1, 15000);
        QVERIFY(!frame.SyncJob().IsBusy());
        QTest::qWait(6000); // no further poll, no second dialog
        QCOMPARE(m_results.size(), 1);
        QVERIFY(m_complete.isEmpty());
        QVERIFY(!frame.IsTimerArmed(kSyncResultTimer));
    }

    void enableRulesFollowTheAccountAndTheFrameState()
    {
        WriteFile(m_storage.filePath(QStringLiteral("data/sync/rule.txt")), "x");
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        QVERIFY(frame.Session().IsSyncService());
        QVERIFY(!frame.Action(ID_MANUAL_SYNC)->isEnabled()); // a sync-service account syncs by itself
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        // A rename waiting for its notice holds the check back until the notice comes.
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_RENAME, "/rule.txt", "/rule2.txt"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.RemoteOps().IsRenamePending(), 10000);
        frame.UpdateCommandUI();
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!frame.RemoteOps().IsRenamePending(), 10000);
        frame.UpdateCommandUI();
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());

        // A disconnect ends the job the frame was waiting for.
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QVERIFY(frame.SyncJob().IsBusy());
        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QVERIFY(!frame.IsTimerArmed(kSyncResultTimer));
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
    }

    void aRenameOfASyncServiceAccountShowsProgressUntilConfirmedOrRefused()
    {
        WriteFile(m_storage.filePath(QStringLiteral("data/sync/old.txt")), "x");
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        // Refused: the dialog closes with the warning.
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_RENAME, "/missing.txt", "/new.txt"}));
        QCOMPARE(VisibleProgressDialogs(frame).size(), 1);
        QCOMPARE(frame.ProgressDialog()->Mode(), int(CStartSyncDlg::kRename));
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 1, 10000);
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());

        // Accepted: the dialog stays until a notice confirms the rename.
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_RENAME, "/old.txt", "/new.txt"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.RemoteOps().IsRenamePending(), 10000);
        QCOMPARE(VisibleProgressDialogs(frame).size(), 1);
        QVERIFY(!frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!frame.RemoteOps().IsRenamePending(), 10000);
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
        QCOMPARE(frame.findChildren<CStartSyncDlg*>().size(), 1); // earlier dialogs are freed
    }

    void aRequestThatCannotBeSentEndsTheCheckOrRenameWaitingForIt()
    {
        WriteFile(m_storage.filePath(QStringLiteral("data/sync/plain.txt")), "x");
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        // No CP949 text holds this name: the check never leaves the client.
        const std::string unwritable = "/\xF0\x9F\x98\x80.txt";
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_CHECKSYNC, unwritable, {}}));
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 1, 10000);
        QCOMPARE(m_prompt.shown.first(),
                 QStringLiteral("서버에 보낼 수 없는 문자가 들어 있습니다: ") + QString::fromStdString(unwritable));
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());

        // A sync-service rename to such a name: its progress dialog closes too.
        frame.SendCommand(std::make_unique<CThreadCommand>(CThreadCommand{UM_RENAME, "/plain.txt", unwritable}));
        QCOMPARE(VisibleProgressDialogs(frame).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 2, 10000);
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QVERIFY(!frame.RemoteOps().IsRenamePending());
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());
    }

    void anAnswerWhoseBodyCannotBeStoredEndsTheJobAndPollingGoesOn()
    {
        CMainFrame frame;
        Script(frame);
        Connect(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        int polls = 0;
        connect(&frame, &CMainFrame::noticesArrived, this, [&](CSyncNoticeList&) { ++polls; });
        // From now on no body can be stored: the working folder cannot hold files.
        struct RestoreAppDir {
            std::string dir = AppDir();
            ~RestoreAppDir() { SetAppDir(dir); }
        } restore;
        SetAppDir("/dev/null/no-folder/");
        frame.Action(ID_CHECK_SYNC_ALL)->trigger();
        QVERIFY(frame.SyncJob().IsBusy());
        QTRY_COMPARE_WITH_TIMEOUT(m_prompt.shown.size(), 1, 20000);
        QCOMPARE(m_prompt.shown.first(), Str(247));
        QVERIFY(m_results.isEmpty() && m_complete.isEmpty());
        QVERIFY(!frame.SyncJob().IsBusy());
        QVERIFY(VisibleProgressDialogs(frame).isEmpty());
        QVERIFY(frame.Action(ID_CHECK_SYNC_ALL)->isEnabled());

        QTRY_VERIFY_WITH_TIMEOUT(polls >= 1, 12000);
        QVERIFY(frame.IsTimerArmed(kNoticeTimer)); // the next poll is armed all the same
    }

    // ---- the dialogs ----------------------------------------------------------------------

    void theProgressDialogTitlesItsModeAndSteps()
    {
        const QStringList titles{QStringLiteral("수동동기화 진행중"), QStringLiteral("동기화확인 진행중"),
                                 QStringLiteral("이름 바꾸기 진행중")};
        for (int mode = 0; mode < 3; ++mode)
            QCOMPARE(CStartSyncDlg(mode).windowTitle(), titles[mode]);
        CStartSyncDlg dlg(CStartSyncDlg::kManualSync);
        dlg.show();
        QTRY_VERIFY_WITH_TIMEOUT(dlg.Bar()->value() >= 10, 2000);
        QCOMPARE(dlg.Bar()->value() % 5, 0);
        dlg.Button()->click(); // closes the dialog only
        QVERIFY(!dlg.isVisible());
        const int stopped = dlg.Bar()->value();
        QTest::qWait(300);
        QCOMPARE(dlg.Bar()->value(), stopped);
    }

    void theCompleteDialogShowsTheTotal()
    {
        CSyncNoticeList result;
        result.totalCount = 42;
        CSyncCompDlg manual(result, false);
        QCOMPARE(manual.windowTitle(), QStringLiteral("수동동기화 결과"));
        QCOMPARE(manual.TotalText(), QStringLiteral("42"));
        CSyncCompDlg check(result, true);
        QCOMPARE(check.windowTitle(), QStringLiteral("동기화확인 결과"));
    }

    void theFailListShowsTheNumberedKeysUpToTheFailCount()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("GETSYNCED.tlx"));
        // Key 2 is missing, key 4 lies beyond FailCount, "03" is not key 3, the first "1" wins,
        // and a second CheckSync section does not count.
        WriteFile(path, "[CheckSync]\r\nTotalCount=9\r\nFailCount=3\r\n1=/a/one.txt\r\n03=/a/zero.txt\r\n"
                        "1=/a/dup.txt\r\n3 = \"/a/three.doc\"\r\n4=/a/four.txt\r\n[Other]\r\n2=/x.txt\r\n"
                        "[CheckSync]\r\n2=/a/two.txt\r\n");
        auto result = std::make_unique<CSyncNoticeList>();
        result->totalCount = 9;
        result->failCount = 3;
        CSyncResultDlg dlg(std::move(result), false, path);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("수동동기화 결과"));
        QCOMPARE(dlg.TotalText(), QStringLiteral("9"));
        QCOMPARE(dlg.FailText(), QStringLiteral("3"));
        QCOMPARE(dlg.List()->headerItem()->text(0), QStringLiteral("실패 파일 경로"));
        QCOMPARE(dlg.ListButton()->text(), QStringLiteral("실패파일 목록보기"));
        QVERIFY(dlg.ListedPaths().isEmpty()); // only on request
        dlg.ListButton()->click();
        const QStringList expected{QStringLiteral("/a/one.txt"), QStringLiteral("/a/three.doc")};
        QCOMPARE(dlg.ListedPaths(), expected);
        dlg.ListButton()->click();
        QCOMPARE(dlg.ListedPaths(), expected); // once, not twice
        QVERIFY(m_prompt.shown.isEmpty());

        dlg.accept();
        QVERIFY(!QFile::exists(path)); // OK deletes the result file
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }

    void aMissingResultFileIsWarnedAbout()
    {
        QTemporaryDir dir;
        auto result = std::make_unique<CSyncNoticeList>();
        result->failCount = 2;
        result->notices.push_back({"/kept/by/record.txt", 500, kNoticeUnknown});
        CSyncResultDlg dlg(std::move(result), true, dir.filePath(QStringLiteral("GETSYNCED.tlx")));
        QCOMPARE(dlg.ListedPaths(), QStringList{QStringLiteral("/kept/by/record.txt")});
        dlg.ListButton()->click();
        QCOMPARE(m_prompt.shown, QStringList{QStringLiteral("실패 정보 찾기에 실패하였습니다")});
        QCOMPARE(m_prompt.boxes.first().icon, PromptIcon::Warning);
        QVERIFY(dlg.ListedPaths().isEmpty()); // emptied before the file was looked for
    }

private:
    std::unique_ptr<devserver::Server> StartServer(std::chrono::milliseconds delay,
                                                   std::string failPattern = "*.syncfail")
    {
        devserver::ServerConfig config;
        config.sync.delay = delay;
        config.sync.failPattern = std::move(failPattern);
        return test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString(),
                                    m_storage.filePath(QStringLiteral("accounts.ini")).toStdString(), config);
    }
    void Script(CMainFrame& frame)
    {
        frame.Dialogs().showLogin = [](QString&, QString&, bool&) { return false; };
        frame.Dialogs().showSyncComplete = [this](std::unique_ptr<CSyncNoticeList> r, bool check) {
            m_complete.append({check, r->totalCount, r->failCount});
        };
        frame.Dialogs().showSyncResult = [this](std::unique_ptr<CSyncNoticeList> r, bool check) {
            m_results.append({check, r->totalCount, r->failCount});
        };
    }
    static void Connect(CMainFrame& frame, const QString& id, const QString& password)
    {
        test::ConnectFrame(frame, id, password);
    }

    QTemporaryDir m_storage;
    QTemporaryDir m_work;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
    test::ScriptedPrompt& m_prompt = m_env.prompt;
    QList<Shown> m_complete;
    QList<Shown> m_results;
};

QTEST_MAIN(FrameSyncTest)
#include "frame_sync_test.moc"
