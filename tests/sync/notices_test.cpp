// Desktop notifications against a notification service of the test's own, registered on a
// private session bus: the calls the window makes and their texts (an upload that ends, a
// scheduled run, a lost connection), a click bringing the window forward on its page, and the
// cases that stay silent (a short upload, the window in front, the option off).

#include "app/client_session.h"
#include "app/desktop_notifier.h"
#include "app/keyring_store.h"
#include "devserver/server_log.h"
#include "panes/flat_tab_view.h"
#include "res/desktop_texts.h"
#include "res/string_table.h"
#include "sync/desktop_progress.h"
#include "sync/frame_desktop.h"
#include "sync/frame_notices.h"
#include "sync/main_frame.h"
#include "sync/option_dlg.h"
#include "sync/schedule_controller.h"
#include "sync/schedule_view.h"
#include "sync/upload_queue.h"
#include "tests/common/frame_fixture.h"
#include "tests/common/private_session_bus.h"

#include <QAction>
#include <QBoxLayout>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace talvex;
using talvex::test::WriteFile;

namespace {

QString U(const char* text) { return QString::fromUtf8(text); }

// The desktop's notification service, as far as the window uses it: every call is kept.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Call> calls;
    uint nextId = 40;

public slots:
    uint Notify(const QString& app, uint /*replaces*/, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int /*timeout*/)
    {
        calls.append({app, icon, summary, body, actions, hints});
        return ++nextId;
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
};

// What a dock hears of the launcher entry: each Update's properties.
class LauncherRecorder : public QObject {
    Q_OBJECT
public:
    QList<QVariantMap> updates;
    QStringList apps;
public slots:
    void Update(const QString& app, const QVariantMap& properties)
    {
        apps.append(app);
        updates.append(properties);
    }
};

// Message boxes answered with OK; what onShow counts is kept for each.
struct RecordingPrompt final : IPrompt {
    std::function<int()> onShow;
    QStringList shown;
    QList<int> sentBefore;
    bool Show(QWidget*, const QString&, const QString& text, PromptIcon, PromptButtons) override
    {
        shown.append(text);
        sentBefore.append(onShow ? onShow() : 0);
        return true;
    }
};

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

CUploadOrder FileOrder(const QString& path, const QString& remoteFolder)
{
    CUploadOrder order;
    order.source = path.toStdString();
    order.name = QFileInfo(path).fileName().toStdString();
    order.remoteFolder = remoteFolder.toStdString();
    return order;
}

} // namespace

class NoticesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        std::string why;
        test::PrivateSessionBus* bus = test::PrivateSessionBus::Get(why);
        if (!bus)
            QSKIP(qPrintable(QStringLiteral("no private D-Bus session bus: %1").arg(QString::fromStdString(why))));
        m_service = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(bus->Address()), QStringLiteral("fake-notifications")));
        QVERIFY(m_service->isConnected());
        QVERIFY(m_service->registerObject(kPath, &m_fake, QDBusConnection::ExportAllSlots));
        QVERIFY(m_service->registerService(kService));
        QVERIFY(QDBusConnection::sessionBus().isConnected());

        devserver::SetServerLogQuiet(true);
        devserver::ServerConfig config;
        config.refuseUploads = "*.refuse";
        m_server = test::StartDevServer(m_storage.filePath(QStringLiteral("data")).toStdString(), {}, config);
        QVERIFY(m_server);
    }
    void cleanupTestCase() { m_server.reset(); }
    void init()
    {
        if (m_server)
            m_env.Begin(*m_server);
        m_fake.calls.clear();
    }
    void cleanup() { m_env.End(); }

    void theNotifierSendsTalvexsNotificationAndHandsBackAClick()
    {
        CDesktopNotifier notifier;
        QSignalSpy shown(&notifier, &CDesktopNotifier::shown);
        QSignalSpy activated(&notifier, &CDesktopNotifier::activated);
        notifier.Notify(U("요약"), U("완료 1, 실패 0"), 3);
        QTRY_COMPARE(shown.count(), 1);
        QCOMPARE(m_fake.calls.size(), 1);
        const FakeNotifications::Call& call = m_fake.calls[0];
        QCOMPARE(call.app, QStringLiteral("Talvex"));
        QCOMPARE(call.icon, QStringLiteral("talvex"));
        QCOMPARE(call.summary, U("요약"));
        QCOMPARE(call.body, U("완료 1, 실패 0"));
        QCOMPARE(call.actions, QStringList({QStringLiteral("default"), U("열기")}));
        QCOMPARE(call.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("talvex"));
        const uint id = shown[0][0].toUInt();

        // Another program's notification and another action are none of the window's business.
        Emit("ActionInvoked", {QVariant::fromValue(id + 100), QStringLiteral("default")});
        Emit("ActionInvoked", {QVariant::fromValue(id), QStringLiteral("other")});
        Emit("ActionInvoked", {QVariant::fromValue(id), QStringLiteral("default")});
        QTRY_COMPARE(activated.count(), 1);
        QCOMPARE(activated[0][0].toInt(), 3);
        // Once closed, a late click is ignored.
        Emit("NotificationClosed", {QVariant::fromValue(id), QVariant::fromValue(uint(2))});
        Emit("ActionInvoked", {QVariant::fromValue(id), QStringLiteral("default")});
        QTest::qWait(200);
        QCOMPARE(activated.count(), 1);

        // No service on the bus: the call fails at once; nothing waits for it.
        m_service->unregisterService(kService);
        QSignalSpy failed(&notifier, &CDesktopNotifier::failed);
        QElapsedTimer took;
        took.start();
        notifier.Notify(U("요약"), U("본문"), 1);
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY(took.elapsed() < CDesktopNotifier::kCallTimeoutMs);
        QCOMPARE(notifier.Pending(), 0);
        QVERIFY(m_service->registerService(kService));
    }

    void theOptionDialogEndsWithTheNotificationChoice()
    {
        QVERIFY(UploadOptions::Load().notify); // on unless turned off
        COptionDlg dlg(UploadOptions::Load());
        QCOMPARE(dlg.NotifyBox()->text(), U(kTextOptionNotify));
        // Last before the buttons, below the speed limit.
        auto* layout = qobject_cast<QBoxLayout*>(dlg.layout());
        QVERIFY(layout);
        QCOMPARE(layout->itemAt(layout->count() - 3)->widget(), dlg.NotifyBox());
        // Then staying in the tray, off unless chosen.
        QCOMPARE(layout->itemAt(layout->count() - 2)->widget(), dlg.KeepInTrayBox());
        QCOMPARE(dlg.KeepInTrayBox()->text(), U(kTextOptionKeepInTray));
        QVERIFY(!dlg.KeepInTrayBox()->isChecked());
        if (const int wait = qEnvironmentVariableIntValue("TALVEX_SHOTS_WAIT_MS"); wait > 0) {
            dlg.show(); // for a screenshot of the display taken from outside
            QTest::qWait(wait);
        }
    }

    void theDockHearsTheUploadsProgressAndTheTrayTellsItsState()
    {
        LauncherRecorder dock;
        QVERIFY(m_service->connect(QString(), QString(), QString::fromLatin1(CDesktopProgress::kLauncherInterface),
                                   QStringLiteral("Update"), &dock, SLOT(Update(QString,QVariantMap))));
        const auto settle = [&](int count) { QTRY_COMPARE_WITH_TIMEOUT(int(dock.updates.size()), count, 5000); };
        {
            QWidget window;
            CDesktopProgress progress(window, QDBusConnection::sessionBus(), false);
            using State = CDesktopProgress::State;
            struct Step {
                State state;
                int heard; // signals in all after the step
                double fraction;
                qint64 left;  // -1: progress and count hidden
                const char* tip;
            };
            const Step steps[] = {
                {{0, 0, 0, 0, false}, 0, 0, -1, "Talvex - 대기 중"}, // nothing shown: nothing to clear
                {{4, 1, 0, 2047, true}, 1, 0.25, 3, "Talvex - 업로드 중: 완료 1 / 전체 4, 1.9 KB/s"},
                {{4, 1, 0, 900, true}, 1, 0.25, 3, "Talvex - 업로드 중: 완료 1 / 전체 4, 900B/s"}, // the same to a dock
                {{3, 1, 1, 0, true}, 2, 0.66, 1, "Talvex - 업로드 중: 완료 1 / 전체 3, 0B/s\n실패 1개가 동기화 실패 탭에 있습니다"},
                {{3, 2, 1, 0, false}, 3, 0, -1, "Talvex - 대기 중\n실패 1개가 동기화 실패 탭에 있습니다"},
                {{3, 2, 1, 0, false}, 3, 0, -1, "Talvex - 대기 중\n실패 1개가 동기화 실패 탭에 있습니다"},
                {{300, 1, 0, 3 << 20, true}, 4, 0.0, 299, "Talvex - 업로드 중: 완료 1 / 전체 300, 3.0 MB/s"},
            };
            for (const Step& step : steps) {
                progress.Show(step.state);
                QCOMPARE(progress.ToolTip(), U(step.tip));
                settle(step.heard);
                if (step.heard == 0)
                    continue;
                const QVariantMap& last = dock.updates.last();
                QCOMPARE(dock.apps.last(), QStringLiteral("application://talvex.desktop"));
                QCOMPARE(last.value(QStringLiteral("progress-visible")).toBool(), step.left >= 0);
                QCOMPARE(last.value(QStringLiteral("count-visible")).toBool(), step.left >= 0);
                if (step.left >= 0) {
                    QCOMPARE(last.value(QStringLiteral("progress")).toDouble(), step.fraction);
                    QCOMPARE(last.value(QStringLiteral("count")).toLongLong(), step.left);
                }
            }
        } // the window goes: the dock is cleared
        settle(5);
        QVERIFY(!dock.updates.last().value(QStringLiteral("progress-visible")).toBool());

        // The window's upload: shown on the dock while it runs, cleared when it ends.
        dock.updates.clear();
        const QString file = m_local.filePath(QStringLiteral("d/a.txt"));
        WriteFile(file, "dock");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.AddUploadOrders({FileOrder(file, QStringLiteral("/d"))});
        QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed == 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!dock.updates.isEmpty() &&
                                     !dock.updates.last().value(QStringLiteral("progress-visible")).toBool(), 5000);
        QVERIFY(std::any_of(dock.updates.begin(), dock.updates.end(), [](const QVariantMap& u) {
            return u.value(QStringLiteral("progress-visible")).toBool() && u.value(QStringLiteral("count")).toLongLong() == 1;
        }));
        QVERIFY(!frame.Desktop().KeepsRunningInTray()); // off by default, and no tray here

        // The tray's menu: the window comes forward, and 끝내기 closes it for good.
        QMenu* menu = frame.Desktop().Progress()->Menu();
        QCOMPARE(menu->actions().first()->text(), U(kTextTrayShow));
        QCOMPARE(menu->actions().last()->text(), U(kTextTrayQuit));
        frame.hide();
        menu->actions().first()->trigger();
        QVERIFY(frame.isVisible());
        menu->actions().last()->trigger();
        QVERIFY(!frame.isVisible());
    }

    void anUploadThatEndsBehindOtherWindowsIsToldAndAClickShowsItsPage()
    {
        const QString good = m_local.filePath(QStringLiteral("u/a.txt"));
        const QString bad = m_local.filePath(QStringLiteral("u/b.refuse"));
        WriteFile(good, "alpha");
        WriteFile(bad, "beta");
        CMainFrame frame; // never shown: not in front
        frame.Notices().SetMinUploadMs(0);
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        frame.AddUploadOrders({FileOrder(good, QStringLiteral("/n")), FileOrder(bad, QStringLiteral("/n"))});
        QTRY_COMPARE_WITH_TIMEOUT(m_fake.calls.size(), 1, 20000);
        QCOMPARE(m_fake.calls[0].summary, U(kTextNotifyUploadDone));
        QCOMPARE(m_fake.calls[0].body, QStringLiteral("완료 1, 실패 1"));
        QVERIFY(!frame.Notices().IsBatchRunning());

        // The click: the window comes forward on the fail page (a file failed).
        QTRY_VERIFY(frame.Notifier().Pending() == 0);
        Emit("ActionInvoked", {QVariant::fromValue(m_fake.nextId), QStringLiteral("default")});
        QTRY_VERIFY(frame.isVisible());
        QCOMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::FailPage));

        // A second upload, all well, tells its own counts.
        frame.hide();
        const QString more = m_local.filePath(QStringLiteral("u/c.txt"));
        WriteFile(more, "gamma");
        frame.AddUploadOrders({FileOrder(more, QStringLiteral("/n"))});
        QTRY_COMPARE_WITH_TIMEOUT(m_fake.calls.size(), 2, 20000);
        QCOMPARE(m_fake.calls[1].body, QStringLiteral("완료 1, 실패 0"));
        QTRY_VERIFY(frame.Notifier().Pending() == 0);
        Emit("ActionInvoked", {QVariant::fromValue(m_fake.nextId), QStringLiteral("default")});
        QTRY_COMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::CompletePage));
        QVERIFY(m_env.prompt.boxes.isEmpty());
    }

    void shortUploadsTheWindowInFrontAndTheOptionOffStaySilent()
    {
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        int batches = 0;
        const auto uploadOnce = [&](const QString& name) {
            const QString file = m_local.filePath(QStringLiteral("q/") + name);
            WriteFile(file, name.toUtf8());
            const int completed = int(frame.Queue().CurrentTotals().completed);
            frame.AddUploadOrders({FileOrder(file, QStringLiteral("/q"))});
            QTRY_VERIFY_WITH_TIMEOUT(frame.Queue().CurrentTotals().completed == completed + 1, 20000);
            QTRY_VERIFY_WITH_TIMEOUT(!frame.Notices().IsBatchRunning(), 20000);
            QTest::qWait(100);
            ++batches;
        };
        // Quicker than the shortest upload that is told (a few seconds by default).
        uploadOnce(QStringLiteral("1.txt"));
        QCOMPARE(m_fake.calls.size(), 0);

        // Any length, but the window is active and in front.
        frame.Notices().SetMinUploadMs(0);
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        uploadOnce(QStringLiteral("2.txt"));
        QCOMPARE(m_fake.calls.size(), 0);

        // Behind other windows (minimised), with "옵션" turning notifications off.
        frame.showMinimized();
        QTRY_VERIFY(frame.isMinimized());
        COptionDlg dlg(UploadOptions::Load());
        QVERIFY(dlg.NotifyBox()->isChecked());
        dlg.NotifyBox()->setChecked(false);
        QVERIFY(dlg.Options().Save());
        QVERIFY(!UploadOptions::Load().notify);
        uploadOnce(QStringLiteral("3.txt"));
        QCOMPARE(m_fake.calls.size(), 0);

        // Turned on again: the same upload is told.
        UploadOptions on = UploadOptions::Load();
        on.notify = true;
        QVERIFY(on.Save());
        uploadOnce(QStringLiteral("4.txt"));
        QTRY_COMPARE(m_fake.calls.size(), 1);
        QCOMPARE(m_fake.calls[0].body, QStringLiteral("완료 1, 실패 0"));
        QCOMPARE(batches, 4);
    }

    void aScheduledRunIsToldWhenItsUploadEnds()
    {
        const QString src = m_local.filePath(QStringLiteral("sched"));
        WriteFile(src + QStringLiteral("/one.txt"), "1");
        WriteFile(src + QStringLiteral("/two.txt"), "22");
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("sync"), QStringLiteral("sync1234"));
        frame.UpdateCommandUI();
        frame.Schedule().SetDialog([&](CScheduleInfo& info, QWidget*) {
            info.unit = CScheduleInfo::Minutes;
            info.period = 1;
            info.sourcePath = src;
            info.targetPath = QStringLiteral("/scheduled/");
            info.active = true;
            return true;
        });
        frame.Action(32812)->trigger();
        CScheduleView& view = frame.Schedule().View();
        view.StartButton()->click();
        view.Tick();
        QVERIFY(!frame.Queue().IsEmpty());
        // Confirmed by the server's notices; however short, a scheduled run is told.
        QTRY_COMPARE_WITH_TIMEOUT(m_fake.calls.size(), 1, 30000);
        QCOMPARE(m_fake.calls[0].summary, U(kTextNotifyScheduleDone));
        QCOMPARE(m_fake.calls[0].body, QStringLiteral("완료 2, 실패 0"));
        frame.TabView()->SelectPage(CFlatTabView::QueuePage);
        QTRY_VERIFY(frame.Notifier().Pending() == 0);
        Emit("ActionInvoked", {QVariant::fromValue(m_fake.nextId), QStringLiteral("default")});
        QTRY_COMPARE(frame.TabView()->CurrentPage(), int(CFlatTabView::SchedulePage));
        frame.Action(32813)->trigger();
    }

    void aLostConnectionIsToldBeforeItsMessage()
    {
        QTemporaryDir storage;
        auto server = test::StartDevServer(storage.filePath(QStringLiteral("data")).toStdString());
        QVERIFY(server);
        test::PointClientAt(*server);
        CMainFrame frame;
        test::ConnectFrame(frame, QStringLiteral("demo"), QStringLiteral("demo1234"));
        // The message box (after which the window closes) comes once the notification is out.
        RecordingPrompt prompt;
        prompt.onShow = [&] { return frame.Notifier().Pending() + int(m_fake.calls.size()); };
        SetPrompt(&prompt);
        server.reset();
        QTRY_VERIFY_WITH_TIMEOUT(prompt.shown.contains(Str(329)), 20000);
        QCOMPARE(prompt.sentBefore.value(prompt.shown.indexOf(Str(329))), 1);
        QTRY_COMPARE(m_fake.calls.size(), 1);
        QCOMPARE(m_fake.calls[0].summary, U(kTextNotifyConnectionLost));
        QCOMPARE(m_fake.calls[0].body, QStringLiteral("완료 0, 실패 0"));
        QCOMPARE(m_fake.calls[0].hints.value(QStringLiteral("urgency")).value<uchar>(), uchar(2));
        QCOMPARE(prompt.shown.count(Str(329)), 1);
    }

    // This bus has no secret store: the frame says so once in its status bar; an account of
    // the book without a password is asked for it, its user id filled in.
    void noKeyringIsToldOnceAndAnAccountWithoutPasswordIsAskedFor()
    {
        CMainFrame frame;
        std::string password;
        QCOMPARE(frame.Keyring().Read("demo", password), StoreResult::Unavailable);
        QCOMPARE(frame.StatusPane(0)->text(), U(kTextKeyringUnavailable));
        frame.StatusPane(0)->clear();
        QCOMPARE(frame.Keyring().Write("demo", "x"), StoreResult::Unavailable);
        QCOMPARE(frame.StatusPane(0)->text(), QString());

        QString askedFor;
        frame.Dialogs().showManager = [](QString& id, QString& pw) {
            id = QStringLiteral("demo");
            pw.clear();
            return true;
        };
        frame.Dialogs().showLogin = [&](QString& id, QString& pw, bool&) {
            askedFor = id;
            pw = QStringLiteral("demo1234");
            return true;
        };
        frame.Action(32821)->trigger();
        QCOMPARE(askedFor, QStringLiteral("demo"));
        QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
    }

private:
    void Emit(const char* name, const QList<QVariant>& args)
    {
        QDBusMessage signal =
            QDBusMessage::createSignal(kPath, QStringLiteral("org.freedesktop.Notifications"), QString::fromLatin1(name));
        signal.setArguments(args);
        QVERIFY(m_service->send(signal));
    }

    FakeNotifications m_fake;
    std::unique_ptr<QDBusConnection> m_service;
    test::FrameTestEnv m_env;
    QTemporaryDir m_local;
    QTemporaryDir m_storage;
    std::unique_ptr<devserver::Server> m_server;
};

QTEST_MAIN(NoticesTest)
#include "notices_test.moc"
