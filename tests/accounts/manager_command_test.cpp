// The main frame's "사용자 관리" command: enabled by the connect command's rule, and the account
// chosen with "접속" goes into the connect sequence.

#include "app/client_session.h"
#include "app/prompt.h"
#include "res/menu_resource.h"
#include "sync/main_frame.h"
#include "sync/remote_ops.h"
#include "sync/sync_job.h"
#include "tests/common/scripted_prompt.h"

#include <QAction>
#include <QTemporaryDir>
#include <QTest>

using namespace talvex;

class ManagerCommandTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("TALVEX_CONFIG_FILE", (m_dir->path() + QStringLiteral("/talvex.ini")).toUtf8());
        // Nothing listens there: the web check is refused at once.
        qputenv("TALVEX_WEB_HOST", "127.0.0.1:1");
        m_prompt.Clear();
        SetPrompt(&m_prompt);
    }
    void cleanup() { SetPrompt(nullptr); }

    void enabledOnlyWhileDisconnected()
    {
        CMainFrame frame;
        QAction* manager = frame.Action(ID_USER_MANAGER);
        QVERIFY(manager);
        QCOMPARE(manager->text().remove(QLatin1Char('&')), QStringLiteral("사용자 관리"));
        QVERIFY(manager->isEnabled());
        frame.ConnectAs(QStringLiteral("x"), QStringLiteral("y")); // a connect sequence runs
        frame.UpdateCommandUI();
        QVERIFY(!manager->isEnabled());
        QCOMPARE(manager->isEnabled(), frame.Action(ID_CONNECT)->isEnabled());
        int shown = 0;
        frame.Dialogs().showManager = [&](QString&, QString&) { return ++shown, false; };
        manager->trigger();
        QCOMPARE(shown, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!frame.IsCheckingUser(), 20000); // refused: no session
        frame.UpdateCommandUI();
        QVERIFY(manager->isEnabled());
    }

    void closedWithoutConnectDoesNothing()
    {
        CMainFrame frame;
        int shown = 0;
        frame.Dialogs().showManager = [&](QString& id, QString& pw) {
            ++shown;
            id = QStringLiteral("ignored");
            pw = QStringLiteral("ignored");
            return false;
        };
        frame.Action(ID_USER_MANAGER)->trigger();
        QCOMPARE(shown, 1);
        QVERIFY(!frame.IsCheckingUser());
        QVERIFY(frame.Session().UserId().isEmpty());
    }

    void theChosenAccountStartsTheConnectSequence()
    {
        CMainFrame frame;
        frame.Dialogs().showManager = [](QString& id, QString& pw) {
            id = QStringLiteral("kimid");
            pw = QStringLiteral("s3cret");
            return true;
        };
        frame.Action(ID_USER_MANAGER)->trigger();
        QCOMPARE(frame.Session().UserId(), QStringLiteral("kimid"));
        QVERIFY(frame.Session().HoldsPassword(QStringLiteral("s3cret")));
        QVERIFY(frame.IsCheckingUser());
        QVERIFY(!frame.Action(ID_USER_MANAGER)->isEnabled());
        QVERIFY(!frame.Action(ID_CONNECT)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!frame.IsCheckingUser(), 20000);
        QVERIFY(!m_prompt.shown.isEmpty()); // the refused check was reported
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    talvex::test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(ManagerCommandTest)
#include "manager_command_test.moc"
