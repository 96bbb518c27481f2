// The main frame's connect sequence, login refusals, polls, disconnect and the paths that end
// the program, against a development server running in this process.

#include "app/client_session.h"
#include "app/prompt.h"
#include "app/registry_key.h"
#include "devserver/server.h"
#include "tests/common/client_env.h"
#include "devserver/server_log.h"
#include "drm/drm_view.h"
#include "panes/flat_tab_view.h"
#include "protocol/message_ids.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/upload_queue.h"
#include "sync/remote_ops.h"
#include "sync/sync_job.h"
#include "tests/common/loopback.h"
#include "tests/common/refusing_control_port.h"
#include "tests/common/frame_fixture.h"
#include "tests/common/scripted_prompt.h"

#include <QAction>
#include <QEventLoop>
#include <QTimer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using namespace talvex;

namespace {


struct Login {
    QString userId, password;
    bool save = false;
};


} // namespace

class FrameConnectTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        devserver::SetServerLogQuiet(true);
        m_server = StartServer();
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }

    void init()
    {
        m_env.Begin(*m_server);
        m_logins.clear();
    }
    void cleanup() { m_env.End(); }

    void connectsSavesTheIdAndDisconnects()
    {
        CMainFrame frame;
        Script(frame);
        int listings = 0;
        connect(&frame, &CMainFrame::listingArrived, this, [&](const CRemoteEntryList&) { ++listings; });
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), true});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        QCOMPARE(frame.StatusText(), QStringLiteral("동기화 대기중"));
        QCOMPARE(frame.windowTitle(), QStringLiteral("Talvex [demo]"));
        QVERIFY(!frame.Session().SessionId().isEmpty());
        QCOMPARE(frame.Session().UserRoot(), QStringLiteral("/demo/"));
        QCOMPARE(frame.ServerPath(QStringLiteral("/a/b.txt")), QStringLiteral("/devset/demo/a/b.txt"));
        QCOMPARE(SavedUserId(), QStringLiteral("demo"));
        QTRY_COMPARE_WITH_TIMEOUT(listings, 1, 10000); // the root, listed on connect
        QVERIFY(!frame.Action(ID_CONNECT)->isEnabled());
        QVERIFY(frame.Action(ID_DISCONNECT)->isEnabled());
        QVERIFY(!frame.IsTimerArmed(kNoticeTimer)); // not a sync-service account

        frame.RefreshRemote();
        QTRY_COMPARE_WITH_TIMEOUT(listings, 2, 10000);

        m_prompt.answers = {false};
        frame.Action(ID_DISCONNECT)->trigger(); // "No" keeps the connection
        QVERIFY(frame.IsConnected());
        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        QVERIFY(!frame.IsConnected());
        QCOMPARE(frame.StatusText(), QStringLiteral("연결끊김"));
        QCOMPARE(frame.windowTitle(), QStringLiteral("Talvex"));
        QVERIFY(frame.Action(ID_CONNECT)->isEnabled());
        QCOMPARE(m_prompt.shown.count(QStringLiteral("정말 연결을 끊으시겠습니까?")), 2);
    }

    void refusedChecksAskAgainAndLeaveTheSavedIdAlone()
    {
        SaveUserId(QStringLiteral("kept"));
        CMainFrame frame;
        Script(frame);
        // Wrong password: asked whether to try again; Yes shows the dialog, which is cancelled.
        m_logins.append({QStringLiteral("demo"), QStringLiteral("wrong"), false});
        m_prompt.answers = {true};
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!frame.IsCheckingUser() && m_prompt.shown.size() == 1, 15000);
        QCOMPARE(m_prompt.shown.first(), QStringLiteral("암호가 일치하지 않습니다.\n다시 시도하시겠습니까?"));
        QCOMPARE(m_loginShown, 2);
        QVERIFY(!frame.IsConnected());
        QCOMPARE(SavedUserId(), QStringLiteral("kept"));

        // Unknown account, then No.
        m_logins.append({QStringLiteral("nobody"), QStringLiteral("x"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!frame.IsCheckingUser() && m_prompt.shown.size() == 2, 15000);
        QCOMPARE(m_prompt.shown.last(), QStringLiteral("로그인 계정을 찾을 수 없습니다.\n다시 시도하시겠습니까?"));

        // Accepted with the box unticked: the saved id goes once the control connection is up.
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        QCOMPARE(SavedUserId(), QString());
    }

    void anUnreachableLogonServerIsReported()
    {
        qputenv("TALVEX_WEB_HOST", QByteArray("127.0.0.1:") + QByteArray::number(test::UnusedLoopbackPort()));
        CMainFrame frame;
        Script(frame);
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!m_prompt.shown.isEmpty(), 20000);
        QCOMPARE(m_prompt.shown.first(),
                 QStringLiteral("Logon Server에 연결할 수 없습니다. 잠시후 다시 시도해주시기 바랍니다."));
        QVERIFY(!frame.IsConnected());
        QVERIFY(frame.Action(ID_CONNECT)->isEnabled());
    }

    void aSyncServiceAccountPollsNotices()
    {
        {
            CRegistryKey key; // the deployment's confirmation time-out, in seconds
            QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.WriteString(QStringLiteral("ConfirmTimeout"), QStringLiteral("7")));
        }
        CMainFrame frame;
        Script(frame);
        int notices = 0;
        connect(&frame, &CMainFrame::noticesArrived, this, [&](CSyncNoticeList&) { ++notices; });
        m_logins.append({QStringLiteral("sync"), QStringLiteral("sync1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        QVERIFY(frame.Session().IsSyncService());
        QCOMPARE(frame.Queue().Deadlines().confirmMs, int64_t(7000)); // 옵션's seconds
        QTRY_VERIFY_WITH_TIMEOUT(notices >= 1, 12000); // first poll after 5 s
        QVERIFY(frame.IsTimerArmed(kNoticeTimer));       // and the next one armed
    }

    void aRefusedLoginShowsTheDialogAgain()
    {
        test::RefusingControlPort refusing;
        qputenv("TALVEX_CONTROL_PORT", QByteArray::number(refusing.Port()));
        CMainFrame frame;
        Script(frame);
        // The dialog shown again runs its own event loop while the refusal is still in hand,
        // as a real modal dialog does; the refused control session must not hang it.
        auto scripted = frame.Dialogs().showLogin;
        frame.Dialogs().showLogin = [&, scripted](QString& id, QString& pw, bool& save) {
            if (m_loginShown == 1) {
                QEventLoop modal;
                QTimer::singleShot(500, &modal, &QEventLoop::quit);
                modal.exec();
            }
            return scripted(id, pw, save);
        };
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(m_loginShown, 2, 15000); // shown again after the refusal; cancelled
        QCOMPARE(m_prompt.shown, QStringList{QStringLiteral("ID or Password가 일치하지 않습니다")});
        QVERIFY(!frame.IsConnected());
        QTRY_VERIFY_WITH_TIMEOUT(frame.Action(ID_CONNECT)->isEnabled(), 5000);
    }

    void aServerThatGoesAwayEndsTheProgram()
    {
        auto own = StartServer();
        test::PointClientAt(*own);
        CMainFrame frame;
        Script(frame);
        frame.show();
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
        own.reset(); // the server stops: every connection is closed
        QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 15000);
        QCOMPARE(m_prompt.shown.first(), QStringLiteral("서버와의 연결이 끊겼습니다. 다시 시도해 주시기 바랍니다."));
        QVERIFY(frame.IsClosing());
    }

    void theProgressTabIsTitledForTheAccountOnceTheCheckAnswers()
    {
        CMainFrame frame;
        Script(frame);
        const QString normal = frame.TabView()->TabTitle(CFlatTabView::ProcessPage);
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        QCOMPARE(frame.TabView()->TabTitle(CFlatTabView::ProcessPage), Str(318));
        QVERIFY(normal != Str(318));
        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QCOMPARE(frame.TabView()->TabTitle(CFlatTabView::ProcessPage), normal);
    }

    void theDrmPageIsThereOnlyForADrmAccountAndGoesOnDisconnect()
    {
        CMainFrame frame;
        Script(frame);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        QCOMPARE(frame.TabView()->TabCount(), int(CFlatTabView::DrmPage));
        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();

        test::ConnectFrame(frame, QStringLiteral("drm"), QStringLiteral("drm1234"));
        QCOMPARE(frame.TabView()->TabCount(), int(CFlatTabView::PageCount));
        QCOMPARE(frame.TabView()->TabTitle(CFlatTabView::DrmPage), QStringLiteral("DRM"));
        auto* page = qobject_cast<CDRMView*>(frame.TabView()->PageAt(CFlatTabView::DrmPage));
        QVERIFY(page);
        QTRY_VERIFY_WITH_TIMEOUT(page->Authenticated(), 15000);
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::QueuePage));
        frame.TabView()->SelectPage(CFlatTabView::DrmPage);
        m_prompt.answers = {true};
        frame.Action(ID_DISCONNECT)->trigger();
        QCOMPARE(frame.TabView()->TabCount(), int(CFlatTabView::DrmPage));
        // The page on show went: the queue comes to the front, not the page beside it.
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::QueuePage));
    }

    void aControlPortThatCannotBeReachedEndsTheProgram()
    {
        qputenv("TALVEX_CONTROL_PORT", QByteArray::number(test::UnusedLoopbackPort()));
        CMainFrame frame;
        Script(frame);
        frame.show();
        m_logins.append({QStringLiteral("demo"), QStringLiteral("demo1234"), false});
        frame.Action(ID_CONNECT)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!frame.isVisible(), 20000);
        QCOMPARE(m_prompt.shown.first(), QStringLiteral("서버 점검중입니다.\n잠시후 다시 시도해주시기 바랍니다."));
        QCOMPARE(frame.StatusText(), QStringLiteral("연결끊김"));
    }

private:
    static std::unique_ptr<devserver::Server> StartServer()
    {
        static QTemporaryDir storage;
        return test::StartDevServer(storage.path().toStdString() + "/" + std::to_string(++s_servers));
    }
    void Script(CMainFrame& frame)
    {
        m_loginShown = 0;
        frame.Dialogs().showLogin = [this](QString& id, QString& pw, bool& save) {
            ++m_loginShown;
            if (m_logins.isEmpty())
                return false; // cancelled
            const Login l = m_logins.takeFirst();
            id = l.userId;
            pw = l.password;
            save = l.save;
            return true;
        };
    }
    static QString SavedUserId()
    {
        CRegistryKey key;
        QString value;
        if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)))
            key.ReadString(QString::fromLatin1(kValueUserId), value);
        return value;
    }
    static void SaveUserId(const QString& id)
    {
        CRegistryKey key;
        key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey));
        key.WriteString(QString::fromLatin1(kValueUserId), id);
    }

    static inline int s_servers = 0;
    std::unique_ptr<devserver::Server> m_server;
    test::FrameTestEnv m_env;
    test::ScriptedPrompt& m_prompt = m_env.prompt;
    QList<Login> m_logins;
    int m_loginShown = 0;
};

QTEST_MAIN(FrameConnectTest)
#include "frame_connect_test.moc"
