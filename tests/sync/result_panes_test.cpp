// The result pages inside the window against a development server: files pass through the
// progress page to the completed or fail page on a normal account (the 200 answer confirms) and
// on a sync-service account (the notice confirms), with the move after upload, the counts of
// the status bar, the second chance of a failed file, the resend, and the search command.

#include "app/client_session.h"
#include "devserver/server_log.h"
#include "panes/flat_tab_view.h"
#include "panes/remote_view.h"
#include "panes/result_views.h"
#include "sync/main_frame.h"
#include "sync/plugin_hooks.h"
#include "sync/result_panes.h"
#include "sync/upload_queue.h"
#include "tests/common/frame_fixture.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace talvex;
using talvex::test::WriteFile;

namespace {

CUploadOrder FileOrder(const QString& path, const QString& remoteFolder, const QString& moveFolder = {})
{
    CUploadOrder order;
    order.source = path.toStdString();
    order.name = QFileInfo(path).fileName().toStdString();
    order.remoteFolder = remoteFolder.toStdString();
    order.moveFolder = moveFolder.toStdString();
    return order;
}

QByteArray Read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void InjectNotice(CMainFrame& frame, int number, const std::string& path)
{
    CSyncNoticeList list;
    CSyncNotice notice;
    notice.number = number;
    notice.kind = kNoticePutFile;
    notice.text = path;
    list.notices.push_back(notice);
    emit frame.Session().noticesArrived(list);
}

// Waits for the session's next notice poll, then restarts the poll: five quiet seconds follow.
void QuietNoticePoll(CMainFrame& frame)
{
    bool polled = false;
    auto c = QObject::connect(&frame.Session(), &CClientSession::noticesArrived, [&] { polled = true; });
    QTRY_VERIFY_WITH_TIMEOUT(polled, 8000);
    QObject::disconnect(c);
    frame.Session().SetNoticePoll(NoticePoll::Normal);
}

} // namespace

class ResultPanesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid() && m_local.isValid());
        devserver::ServerConfig config;
        config.refuseUploads = "*.refuse";
        config.sync.failPattern = "*.syncfail";
        m_server = test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString(), {}, config);
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }
    void init() { m_env.Begin(*m_server); }
    void cleanup() { m_env.End(); }

    void onANormalAccountTheAnswerConfirmsAndTheFileMovesToAFreeName()
    {
        // The move target is the move folder followed by the remote name.
        const QString keep = m_local.filePath(QStringLiteral("keep"));
        const QString target = keep + QStringLiteral("/normal/a.txt");
        WriteFile(target, "old");
        WriteFile(target + QStringLiteral("_[1]"), "older");
        const QString src = m_local.filePath(QStringLiteral("n/a.txt"));
        WriteFile(src, "alpha");
        WriteFile(m_local.filePath(QStringLiteral("n/no.refuse")), "no");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        CResultPanes& panes = frame.Results();
        frame.AddUploadOrders({FileOrder(src, QStringLiteral("/normal"), keep),
                               FileOrder(m_local.filePath(QStringLiteral("n/no.refuse")), QStringLiteral("/normal"))});
        QTRY_COMPARE_WITH_TIMEOUT(panes.CompleteView()->RowCount(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 1, 20000);
        QVERIFY(panes.IsProgressEmpty());
        QCOMPARE(panes.CompleteView()->Model()->Text(0, 0), src);
        // The remote name as the request holds it: from the account's root, no leading "/".
        QCOMPARE(panes.CompleteView()->Model()->Text(0, 1), QStringLiteral("normal/a.txt"));
        QCOMPARE(panes.CompleteView()->Model()->Text(0, 3), QStringLiteral("동기화 완료"));
        // The target and its "_[1]" are taken: the file goes to "_[2]", nothing is overwritten.
        QCOMPARE(Read(target + QStringLiteral("_[2]")), QByteArray("alpha"));
        QCOMPARE(Read(target), QByteArray("old"));
        QCOMPARE(Read(target + QStringLiteral("_[1]")), QByteArray("older"));
        QVERIFY(!QFile::exists(src));
        QCOMPARE(panes.FailView()->Model()->Text(0, 1), QStringLiteral("normal/no.refuse"));
        QCOMPARE(frame.StatusPane(3)->text(), QStringLiteral("완료 : 1  "));
        QCOMPARE(frame.StatusPane(4)->text(), QStringLiteral("실패 : 1"));

        // Sent again with only one row selected: the list empties and the file goes through the
        // queue once more (refused again, it comes back).
        panes.FailView()->List()->selectAll();
        panes.FailView()->MenuAction(32816)->trigger();
        QCOMPARE(panes.FailView()->RowCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 1, 20000);
        QCOMPARE(panes.FailView()->Model()->Text(0, 1), QStringLiteral("normal/no.refuse")); // the same folder
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(2));
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(1));

        // Disconnect: progress and completed pages are emptied; the fail page keeps its rows.
        m_env.prompt.answers = {true};
        frame.Action(32819)->trigger();
        QCOMPARE(panes.CompleteView()->RowCount(), 0);
        QCOMPARE(panes.FailView()->RowCount(), 1);
        // Without a session the resend is gray and keeps the rows: nothing would take them.
        QVERIFY(!panes.FailView()->CommandAllowed(32816));
        panes.FailView()->ResendFailed();
        QCOMPARE(panes.FailView()->RowCount(), 1);
    }

    void onASyncServiceAccountTheRowWaitsForItsNotice()
    {
        const QString src = m_local.filePath(QStringLiteral("s/b.txt"));
        WriteFile(src, "beta");
        const QString bad = m_local.filePath(QStringLiteral("s/c.syncfail"));
        WriteFile(bad, "gamma");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        CResultPanes& panes = frame.Results();
        QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().ConnectedChannels(), 1, 10000);
        QuietNoticePoll(frame);
        frame.AddUploadOrders({FileOrder(src, QStringLiteral("/s")), FileOrder(bad, QStringLiteral("/s"))});
        // Answered 200, both wait in the progress page until the notices come.
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsEmpty() && frame.Queue().AwaitingNotices() == 2, 3000);
        QCOMPARE(panes.ProcessView()->RowCount(), 2);
        QCOMPARE(panes.ProcessView()->Model()->Text(0, 3), QStringLiteral("동기화 진행중"));
        QCOMPARE(panes.CompleteView()->RowCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(panes.CompleteView()->RowCount(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(panes.FailView()->RowCount(), 1, 10000);
        QVERIFY(panes.IsProgressEmpty());
        QCOMPARE(panes.FailView()->Model()->Text(0, 1), QStringLiteral("s/c.syncfail"));
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(1));

        // A later 200 notice for the failed name confirms it after all: both counts corrected.
        InjectNotice(frame, 200, "/s/C.syncfail");
        QCOMPARE(panes.FailView()->RowCount(), 0);
        QCOMPARE(panes.CompleteView()->RowCount(), 2);
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(2));
        QCOMPARE(frame.Queue().CurrentTotals().failed, int64_t(0));
        QCOMPARE(frame.StatusPane(4)->text(), QStringLiteral("실패 : 0"));
    }

    void aDroppedFolderWithKoreanNamesIsConfirmedByTheServersNotices()
    {
        const QString folder = m_local.filePath(QStringLiteral("업로드시험"));
        for (int i = 1; i <= 3; ++i)
            WriteFile(folder + QStringLiteral("/파일_%1.bin").arg(i), QByteArray(1000 * i, 'k'));
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        CResultPanes& panes = frame.Results();
        QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().ConnectedChannels(), 1, 10000);
        CUploadOrder order;
        order.kind = 1;
        order.source = (folder + QStringLiteral("/")).toStdString();
        order.name = QFileInfo(folder).fileName().toStdString();
        order.remoteFolder = "/";
        frame.AddUploadOrders({order});
        QTRY_COMPARE_WITH_TIMEOUT(panes.CompleteView()->RowCount(), 3, 20000);
        QVERIFY(panes.IsProgressEmpty());
        QCOMPARE(panes.FailView()->RowCount(), 0);
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(3));
    }

    void twoRowsWithOneRemoteNameAreConfirmedOneNoticeAtATime()
    {
        const QString first = m_local.filePath(QStringLiteral("d1/same.txt"));
        const QString second = m_local.filePath(QStringLiteral("d2/same.txt"));
        WriteFile(first, "one");
        WriteFile(second, "two");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        CResultPanes& panes = frame.Results();
        QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().ConnectedChannels(), 1, 10000);
        QuietNoticePoll(frame);
        frame.AddUploadOrders({FileOrder(first, QStringLiteral("/dup")), FileOrder(second, QStringLiteral("/dup"))});
        // Notices carry no request id: the second copy of a remote path is not sent while the
        // first is in flight, so each notice has one owner.
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().AwaitingNotices() == 1, 3000);
        QTest::qWait(1500); // a dispatch tick or more
        QCOMPARE(frame.Queue().AwaitingNotices(), size_t(1));
        QCOMPARE(frame.Queue().Model().rowCount(), 1);
        QCOMPARE(panes.ProcessView()->RowCount(), 1);
        QCOMPARE(panes.ProcessView()->Model()->Text(0, 0), first);
        InjectNotice(frame, 200, "/dup/same.txt");
        QCOMPARE(panes.CompleteView()->Model()->Text(0, 0), first);
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().IsEmpty() && frame.Queue().AwaitingNotices() == 1, 5000);
        QCOMPARE(panes.ProcessView()->RowCount(), 1);
        QCOMPARE(panes.ProcessView()->Model()->Text(0, 0), second);
        InjectNotice(frame, 200, "/dup/same.txt");
        QVERIFY(panes.IsProgressEmpty());
        QCOMPARE(panes.CompleteView()->Model()->Text(1, 0), second);
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(2));
        // The server's own notices come later and find nothing left to confirm.
        QTest::qWait(6000);
        QCOMPARE(panes.CompleteView()->RowCount(), 2);
        QCOMPARE(panes.FailView()->RowCount(), 0);
        QCOMPARE(frame.Queue().CurrentTotals().completed, int64_t(2));
    }

    void theSyncHookGetsTheServerPathAnEmptyTextAndTheRemoteNameOfTheRow()
    {
        // The recording plug-in in a folder of its own, loaded into the window.
        QTemporaryDir plugins;
        QVERIFY(QFile::copy(QStringLiteral(TEST_PLUGIN_FULL), plugins.filePath(QStringLiteral("full.so"))));
        const QString log = plugins.filePath(QStringLiteral("calls.log"));
        qputenv("TALVEX_TEST_PLUGIN_LOG", QFile::encodeName(log));
        const QString src = m_local.filePath(QStringLiteral("hook/p q.txt"));
        WriteFile(src, "hooked");
        CMainFrame frame;
        frame.Plugins().Load(plugins.path().toStdString());
        QCOMPARE(frame.Plugins().Count(CPluginHooks::kSync), 1);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.AddUploadOrders({FileOrder(src, QStringLiteral("/hooked/sub"))});
        QTRY_COMPARE_WITH_TIMEOUT(frame.Results().CompleteView()->RowCount(), 1, 20000);
        frame.Plugins().Unload();
        qunsetenv("TALVEX_TEST_PLUGIN_LOG");
        // The server path, an empty text and the remote name, the text of the row
        // (from the account's root, no leading "/").
        const QString remote = frame.Results().CompleteView()->Model()->Text(0, 1);
        QCOMPARE(remote, QStringLiteral("hooked/sub/p q.txt"));
        const QString server = frame.Session().ServerPath(QStringLiteral("/hooked/sub/p q.txt"));
        QVERIFY2(server.startsWith(QLatin1Char('/')) && server.endsWith(QStringLiteral("/hooked/sub/p q.txt")),
                 qPrintable(server));
        QCOMPARE(QString::fromUtf8(Read(log)), QStringLiteral("full.so Sync %1||%2\n").arg(server, remote));
    }

    void aSearchShowsItsResultsInTheSearchPage()
    {
        WriteFile(m_storage.filePath(QStringLiteral("data/demo/docs/한글 보고서.txt")), QByteArray(12345, 'x'));
        CMainFrame frame;
        QVERIFY(!frame.Action(32818)->isEnabled());
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QVERIFY(frame.Action(32818)->isEnabled());
        CResultPanes& panes = frame.Results();
        // A cancelled dialog sends nothing.
        panes.m_askFindText = [](QString&) { return false; };
        frame.Action(32818)->trigger();
        QVERIFY(frame.StatusText() != QStringLiteral("파일 찾기 진행중"));
        panes.m_askFindText = [](QString& text) {
            text = QStringLiteral("보고서");
            return true;
        };
        frame.Action(32818)->trigger();
        QCOMPARE(frame.StatusText(), QStringLiteral("파일 찾기 진행중"));
        QTRY_COMPARE_WITH_TIMEOUT(panes.FindView()->RowCount(), 1, 10000);
        QVERIFY(panes.FindView()->Model()->Text(0, 0).contains(QStringLiteral("한글 보고서.txt")));
        QCOMPARE(panes.FindView()->Model()->Text(0, 1), QStringLiteral("12,345"));
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::FindPage));
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화 대기중"));
    }

private:
    QTemporaryDir m_storage;
    QTemporaryDir m_local;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
};

QTEST_MAIN(ResultPanesTest)
#include "result_panes_test.moc"
