// The remote pane inside the main frame, against a development server in this process: the
// listings it shows, and the rows that change on the results of its own requests.

#include "app/client_session.h"
#include "app/prompt.h"
#include "devserver/server.h"
#include "devserver/server_log.h"
#include "panes/local_view.h"
#include "panes/remote_view.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/remote_ops.h"
#include "sync/sync_job.h"
#include "sync/upload_queue.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include "tests/common/client_env.h"
#include "tests/common/frame_fixture.h"
#include "tests/common/menu_keys.h"
#include "tests/common/scripted_prompt.h"

#include <QApplication>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace talvex;

namespace {

QStringList Names(const CRemoteView& view)
{
    QStringList names;
    for (int r = 0; r < view.Model()->rowCount(); ++r)
        names.append(view.Model()->index(r, 0).data().toString());
    return names;
}

int RowOf(const CRemoteView& view, const QString& name) { return Names(view).indexOf(name); }

void SelectOnly(CRemoteView& view, int row)
{
    view.List()->selectionModel()->select(view.Model()->index(row, 0),
                                          QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

} // namespace

class RemoteFrameTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        QVERIFY(m_storage.isValid());
        const QString user = m_storage.path() + QStringLiteral("/store/demo");
        QVERIFY(QDir().mkpath(user + QStringLiteral("/docs")));
        WriteFile(user + QStringLiteral("/top.txt"), 10);
        WriteFile(user + QStringLiteral("/docs/note.txt"), 2048);
        WriteFile(user + QStringLiteral("/docs/big.bin"), 1234567);
        const QString syncUser = m_storage.path() + QStringLiteral("/store/sync");
        QVERIFY(QDir().mkpath(syncUser));
        WriteFile(syncUser + QStringLiteral("/plan.txt"), 5);

        devserver::ServerConfig config;
        config.root = (m_storage.path() + QStringLiteral("/store")).toStdString();
        config.webPort = config.commandPort = config.controlPort = 0;
        m_server = std::make_unique<devserver::Server>(config, devserver::AccountBook::Defaults());
        std::string error;
        QVERIFY2(m_server->Start(error), error.c_str());
        qputenv("TALVEX_CONFIG_FILE", (m_storage.path() + QStringLiteral("/talvex.ini")).toUtf8());
        test::PointClientAt(*m_server);
        SetPrompt(&m_prompt);
    }
    void cleanupTestCase()
    {
        SetPrompt(nullptr);
        m_server.reset();
    }

    void thePaneBrowsesCreatesRenamesAndDeletesThroughTheFrame()
    {
        CMainFrame frame;
        frame.Dialogs().showLogin = [](QString& id, QString& pw, bool& save) {
            id = QStringLiteral("demo");
            pw = QStringLiteral("demo1234");
            save = false;
            return true;
        };
        CRemoteView& view = *frame.RemoteView();
        QCOMPARE(frame.findChild<CRemoteView*>(QStringLiteral("CRemoteView")), &view);
        QVERIFY(!view.Action(ID_REMOTE_MKDIR)->isEnabled()); // not connected yet

        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("docs")), 10000);
        QVERIFY(Names(view).contains(QStringLiteral("top.txt")));
        QVERIFY(!Names(view).contains(QStringLiteral("..")));
        QVERIFY(view.Action(ID_REMOTE_MKDIR)->isEnabled());

        // Into docs.
        SelectOnly(view, RowOf(view, QStringLiteral("docs")));
        view.OpenSelected();
        QTRY_COMPARE_WITH_TIMEOUT(view.PathEdit()->text(), QStringLiteral("/docs/"), 10000);
        QCOMPARE(Names(view).first(), QStringLiteral(".."));
        const int note = RowOf(view, QStringLiteral("note.txt"));
        QVERIFY(note > 0);
        QCOMPARE(view.Model()->index(note, 1).data().toString(), QStringLiteral("2 KB"));

        // Detailed sizes: the folder is listed again with the other texts.
        frame.Action(ID_DETAIL_SIZE)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(view.Model()->index(RowOf(view, QStringLiteral("big.bin")), 1).data().toString(),
                                  QStringLiteral("1,234,567"), 10000);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/docs/"));

        // A new folder appears once the server made it.
        view.m_askFolderName = [](QString& name) {
            name = QStringLiteral("made");
            return true;
        };
        view.CreateFolder();
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("made")), 10000);
        QVERIFY(QFileInfo(UserPath("docs/made")).isDir());

        // Renamed in place: the row takes the new name on the result.
        view.EndRenameInPlace(RowOf(view, QStringLiteral("note.txt")), QStringLiteral("memo.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("memo.txt")), 10000);
        QVERIFY(!Names(view).contains(QStringLiteral("note.txt")));
        QVERIFY(QFile::exists(UserPath("docs/memo.txt")));
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화 대기중"));

        // Moved out of the folder on show: the row goes.
        view.m_askRenameTarget = [](const QString&, QString& target) {
            target = QStringLiteral("/moved.bin");
            return true;
        };
        SelectOnly(view, RowOf(view, QStringLiteral("big.bin")));
        view.RenameSelected();
        QTRY_VERIFY_WITH_TIMEOUT(!Names(view).contains(QStringLiteral("big.bin")), 10000);
        QVERIFY(QFile::exists(UserPath("moved.bin")));

        // Deleted: the row goes on the result, and so does the file.
        SelectOnly(view, RowOf(view, QStringLiteral("memo.txt")));
        m_prompt.answers = {true};
        view.DeleteSelected();
        QTRY_VERIFY_WITH_TIMEOUT(!Names(view).contains(QStringLiteral("memo.txt")), 10000);
        QVERIFY(!QFile::exists(UserPath("docs/memo.txt")));

        // Up again.
        SelectOnly(view, 0);
        view.OpenSelected();
        QTRY_COMPARE_WITH_TIMEOUT(view.PathEdit()->text(), QStringLiteral("/"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("moved.bin")), 10000);
        QVERIFY(!Names(view).contains(QStringLiteral("..")));

        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        QVERIFY(!frame.IsConnected());
        QVERIFY(!view.Action(ID_REMOTE_MKDIR)->isEnabled());
        QCOMPARE(view.CurrentPath(), QStringLiteral("/"));
    }

    void aSyncServiceRenameWaitsForItsNotice()
    {
        CMainFrame frame;
        frame.Dialogs().showLogin = [](QString& id, QString& pw, bool& save) {
            id = QStringLiteral("sync");
            pw = QStringLiteral("sync1234");
            save = false;
            return true;
        };
        CRemoteView& view = *frame.RemoteView();
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        QVERIFY(frame.Session().IsSyncService());
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("plan.txt")), 10000);

        view.EndRenameInPlace(RowOf(view, QStringLiteral("plan.txt")), QStringLiteral("Plan2.txt"));
        QCOMPARE(frame.StatusText(), QStringLiteral("이름 바꾸기 진행중"));
        QTRY_VERIFY_WITH_TIMEOUT(frame.RemoteOps().IsRenamePending(), 10000);
        QVERIFY(Names(view).contains(QStringLiteral("plan.txt"))); // not before the notice
        QTRY_VERIFY_WITH_TIMEOUT(!frame.RemoteOps().IsRenamePending(), 15000);
        QVERIFY(Names(view).contains(QStringLiteral("Plan2.txt")));
        QVERIFY(!Names(view).contains(QStringLiteral("plan.txt")));

        // A sync check of one item marks the job as a check.
        QVERIFY(!frame.SyncJob().IsCheck());
        SelectOnly(view, RowOf(view, QStringLiteral("Plan2.txt")));
        view.CheckSyncSelected();
        QVERIFY(frame.SyncJob().IsCheck());
    }

    void aReconnectShowsTheRootAndNeverTheOldFolderWithTheRootsRows()
    {
        WriteFile(UserPath("both.txt"), 3);
        WriteFile(UserPath("docs/both.txt"), 4);
        CMainFrame frame;
        CRemoteView& view = *frame.RemoteView();
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("docs")), 10000);
        SelectOnly(view, RowOf(view, QStringLiteral("docs")));
        view.OpenSelected();
        QTRY_COMPARE_WITH_TIMEOUT(view.PathEdit()->text(), QStringLiteral("/docs/"), 10000);

        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        QCOMPARE(view.Model()->rowCount(), 0);
        QCOMPARE(view.CurrentPath(), QStringLiteral("/"));
        QCOMPARE(view.PathEdit()->text(), QStringLiteral("/"));

        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(Names(view).contains(QStringLiteral("docs")), 10000);
        QCOMPARE(view.PathEdit()->text(), QStringLiteral("/"));
        QVERIFY(!Names(view).contains(QStringLiteral("..")));

        // The root's both.txt is the one deleted; the one in docs stays.
        SelectOnly(view, RowOf(view, QStringLiteral("both.txt")));
        m_prompt.answers = {true};
        view.DeleteSelected();
        QTRY_VERIFY_WITH_TIMEOUT(!Names(view).contains(QStringLiteral("both.txt")), 10000);
        QVERIFY(!QFile::exists(UserPath("both.txt")));
        QVERIFY(QFile::exists(UserPath("docs/both.txt")));
    }

    void aFolderReachedWithTheKeyboardAloneIsUploadedFromAFreshWindow()
    {
        // 홈 폴더 holds share/album with two files; the journal goes to a folder of the test's.
        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("share/album"))));
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("docs"))));
        WriteFile(home.filePath(QStringLiteral("share/album/one.txt")), 100);
        WriteFile(home.filePath(QStringLiteral("share/album/two.txt")), 200);
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("TALVEX_JOURNAL_DIR", QFile::encodeName(home.path() + QStringLiteral("/journal/")));
        const auto restore = qScopeGuard([&oldHome] {
            qputenv("HOME", oldHome);
            qunsetenv("TALVEX_JOURNAL_DIR");
        });

        CMainFrame frame;
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QApplication::setActiveWindow(&frame);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QTRY_VERIFY_WITH_TIMEOUT(Names(*frame.RemoteView()).contains(QStringLiteral("docs")), 10000);
        CLocalListCtrl& local = *frame.LocalView()->List();
        local.setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(local.hasFocus());
        QVERIFY(local.Model()->IsVolumeList());
        QSignalSpy shown(&local, &CLocalListCtrl::folderShown);
        const auto enter = [&] {
            shown.clear();
            QTest::keyClick(&local, Qt::Key_Return);
            return shown.count() > 0 || shown.wait(5000);
        };

        // Home: 홈 폴더; Enter opens it.
        QTest::keyClick(&local, Qt::Key_Home);
        QVERIFY(enter());
        QCOMPARE(local.CurrentFolder(), home.path() + QLatin1Char('/'));
        // Type-ahead to a folder; Enter opens it.
        QTest::keyClicks(&local, QStringLiteral("sh"));
        QVERIFY(enter());
        QCOMPARE(local.CurrentFolder(), home.filePath(QStringLiteral("share/")));
        // Type-ahead (a new search in the folder just shown) to the folder to send; the menu
        // key's 업로드.
        QTest::keyClicks(&local, QStringLiteral("al"));
        QCOMPARE(local.SelectedRows(), QList<int>{1});
        QStringList entries;
        test::AnswerNextMenu(1, &entries);
        test::PressMenuKey(local);
        QCOMPARE(entries, QStringList{local.UploadAction()->text()});

        // The folder is on the server, with both files.
        QTRY_COMPARE_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed, int64_t(2), 20000);
        QCOMPARE(QFileInfo(UserPath("album/one.txt")).size(), 100);
        QCOMPARE(QFileInfo(UserPath("album/two.txt")).size(), 200);
        m_prompt.answers = {true};
        frame.Action(32819)->trigger();
    }

private:
    static void WriteFile(const QString& path, qint64 size)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(size, 'x')) == size);
    }
    QString UserPath(const char* relative) const
    {
        return m_storage.path() + QStringLiteral("/store/demo/") + QString::fromLatin1(relative);
    }

    QTemporaryDir m_storage;
    std::unique_ptr<devserver::Server> m_server;
    test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(RemoteFrameTest)
#include "remote_frame_test.moc"
