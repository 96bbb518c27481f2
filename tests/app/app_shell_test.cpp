// Start-up, settings and the main window's furniture.

#include "app/about_dlg.h"
#include "app/client_app.h"
#include "app/deployment_settings.h"
#include "app/instance_guard.h"
#include "app/prompt.h"
#include "app/registry_key.h"
#include "panes/flat_tab_view.h"
#include "res/menu_resource.h"
#include "app/client_session.h"
#include "sync/main_frame.h"
#include "sync/option_dlg.h"
#include "tests/common/scripted_prompt.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QScopeGuard>
#include <QSpinBox>
#include <QTimer>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QLabel>
#include <QMenuBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include <functional>
#include <memory>

using namespace talvex;

class AppShellTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        qputenv("TALVEX_CONFIG_FILE", (m_dir->path() + QStringLiteral("/cfg/talvex.ini")).toUtf8());
        SetPrompt(&m_prompt);
        m_prompt.Clear();
    }
    void cleanup()
    {
        SetPrompt(nullptr);
        m_dir.reset();
    }

    void userIdSurvivesAReopenedSettingsFile()
    {
        {
            CRegistryKey key;
            QVERIFY(!key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.WriteString(QString::fromLatin1(kValueUserId), QStringLiteral("홍길동")));
        }
        // A fresh object reads the file anew, as the next run of the program does.
        CRegistryKey key;
        QVERIFY(key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
        QString value;
        QVERIFY(key.ReadString(QString::fromLatin1(kValueUserId), value));
        QCOMPARE(value, QStringLiteral("홍길동"));
        QVERIFY(key.DeleteValue(QString::fromLatin1(kValueUserId)));
        QVERIFY(!key.ReadString(QString::fromLatin1(kValueUserId), value));
    }

    void valuesLongerThanTheReadBufferReadAsAbsent()
    {
        CRegistryKey key;
        QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
        QString value;
        QVERIFY(key.WriteString(QStringLiteral("Fits"), QString(199, QLatin1Char('a'))));
        QVERIFY(key.ReadString(QStringLiteral("Fits"), value));
        QCOMPARE(value.size(), 199);
        QVERIFY(key.WriteString(QStringLiteral("TooLong"), QString(200, QLatin1Char('a'))));
        QVERIFY(!key.ReadString(QStringLiteral("TooLong"), value));
        QVERIFY(!key.DeleteValue(QStringLiteral("Missing")));
    }

    void detailSizesOnlyForTheExactWord_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("detail");
        QTest::newRow("exact") << QStringLiteral("Detail") << true;
        QTest::newRow("case") << QStringLiteral("detail") << false;
        QTest::newRow("blank") << QStringLiteral("Detail ") << false;
        QTest::newRow("absent") << QString() << false;
    }
    void detailSizesOnlyForTheExactWord()
    {
        QFETCH(QString, stored);
        QFETCH(bool, detail);
        if (!stored.isNull()) {
            CRegistryKey key;
            QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.WriteString(QString::fromLatin1(kValueFileSize), stored));
        }
        CMainFrame frame;
        QCOMPARE(frame.IsDetailSize(), detail);
    }

    void deploymentSettingsFollowTheEnvironment()
    {
        qputenv("TALVEX_WEB_HOST", "10.1.2.3:8123");
        qputenv("TALVEX_CONTROL_PORT", "30002");
        qputenv("TALVEX_COMMAND_PORT", "not a port");
        const DeploymentSettings s = DeploymentSettings::Load();
        qunsetenv("TALVEX_WEB_HOST");
        qunsetenv("TALVEX_CONTROL_PORT");
        qunsetenv("TALVEX_COMMAND_PORT");
        QCOMPARE(s.webHost, QStringLiteral("10.1.2.3"));
        QCOMPARE(s.webPort, 8123);
        QCOMPARE(s.drmWebHost, QStringLiteral("10.1.2.3"));
        QCOMPARE(s.controlPort, 30002);
        QCOMPARE(s.commandPort, 20001);
        QCOMPARE(s.sendBufferBytes, 0);
        QCOMPARE(s.wireEncoding, QStringLiteral("CP949"));
    }

    void uploadSettingsDefaultFileAndEnvironment()
    {
        // No settings file at all: the system tunes the send buffer and nothing limits uploads.
        const DeploymentSettings empty = DeploymentSettings::Load();
        QCOMPARE(empty.sendBufferBytes, 0);
        QCOMPARE(empty.uploadLimitKBps, 0);

        {
            QSettings file(CRegistryKey::SettingsFile(), QSettings::IniFormat);
            file.setValue(QStringLiteral("Deployment/SendBufferBytes"), 16384);
            file.setValue(QStringLiteral("Deployment/UploadLimitKBps"), 2048);
        }
        const DeploymentSettings fromFile = DeploymentSettings::Load();
        QCOMPARE(fromFile.sendBufferBytes, 16384);
        QCOMPARE(fromFile.uploadLimitKBps, 2048);

        // The environment wins; a value out of range or not a number leaves the file's value.
        qputenv("TALVEX_UPLOAD_LIMIT", "0");
        QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 0);
        qputenv("TALVEX_UPLOAD_LIMIT", "-5");
        QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 2048);
        qputenv("TALVEX_UPLOAD_LIMIT", "fast");
        QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 2048);
        qputenv("TALVEX_UPLOAD_LIMIT", QByteArray::number(kMaxUploadLimitKBps + 1));
        QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 2048);
        qunsetenv("TALVEX_UPLOAD_LIMIT");
    }

    void environmentOverridesApplyToTheirRunAndOnlyWhatTheUserChangedIsSaved()
    {
        QVERIFY(DeploymentSettings::SaveUploadLimit(300));
        const QList<QByteArray> names = {"TALVEX_UPLOAD_LIMIT", "TALVEX_WEB_HOST",     "TALVEX_DRM_WEB_HOST",
                                         "TALVEX_COMMAND_PORT", "TALVEX_CONTROL_PORT", "TALVEX_ENCODING",
                                         "TALVEX_SEND_BUFFER"};
        const QList<QByteArray> values = {"2000", "10.9.8.7:8123", "10.9.8.6:8124", "30001", "30002", "UTF-8", "65536"};
        for (int i = 0; i < names.size(); ++i)
            qputenv(names[i].constData(), values[i]);
        const auto unset = qScopeGuard([&names] {
            for (const QByteArray& name : names)
                qunsetenv(name.constData());
        });
        const auto fileBytes = [] {
            QFile file(CRegistryKey::SettingsFile());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        // The run uses the overrides; what is saved stays what it was.
        QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 2000);
        QCOMPARE(DeploymentSettings::LoadSaved().uploadLimitKBps, 300);
        QCOMPARE(DeploymentSettings::LoadSaved().webHost, QStringLiteral("127.0.0.1"));
        QCOMPARE(DeploymentSettings::UploadLimitOverride(), 2000);

        auto frame = std::make_unique<CMainFrame>();
        frame->show();
        QCOMPARE(frame->Session().UploadLimitBytesPerSecond(), int64_t(2000) * 1024);
        // 옵션 as the user sees it: the saved value, the override said under it; the answer is
        // given by the dialog's own buttons.
        const auto answerOptions = [&](const std::function<void(COptionDlg&)>& change) {
            bool seen = false;
            QTimer::singleShot(0, [&] {
                auto* dlg = qobject_cast<COptionDlg*>(QApplication::activeModalWidget());
                QVERIFY(dlg);
                seen = true;
                QCOMPARE(dlg->LimitBox()->value(), DeploymentSettings::LoadSaved().uploadLimitKBps);
                QVERIFY(dlg->LimitOverrideLabel()->isVisibleTo(dlg));
                QVERIFY2(dlg->LimitOverrideLabel()->text().contains(QStringLiteral("TALVEX_UPLOAD_LIMIT=2000")),
                         qPrintable(dlg->LimitOverrideLabel()->text()));
                change(*dlg);
                auto* buttons = dlg->findChild<QDialogButtonBox*>();
                QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
            });
            frame->Action(ID_OPTIONS)->trigger();
            QVERIFY(seen);
        };

        // 확인 without touching anything: nothing is written, the override stays in force.
        const QByteArray before = fileBytes();
        answerOptions([](COptionDlg&) {});
        QCOMPARE(fileBytes(), before);
        QCOMPARE(frame->Session().UploadLimitBytesPerSecond(), int64_t(2000) * 1024);

        // Another field changed: only that one is written.
        answerOptions([](COptionDlg& dlg) { dlg.NotifyBox()->setChecked(false); });
        {
            QSettings file(CRegistryKey::SettingsFile(), QSettings::IniFormat);
            QCOMPARE(file.value(QStringLiteral("Deployment/UploadLimitKBps")).toInt(), 300);
            QStringList written = file.allKeys().filter(QStringLiteral("Client/"));
            written.sort();
            QVERIFY2(written.size() == 2 && written.first().endsWith(QStringLiteral("Client/DesktopNotify"))
                         && written.last().endsWith(QStringLiteral("Client/KeyExists")), // the key's marker
                     qPrintable(written.join(QLatin1Char(' '))));
        }
        QCOMPARE(frame->Session().UploadLimitBytesPerSecond(), int64_t(2000) * 1024);
        QVERIFY(!UploadOptions::Load().notify);

        // The limit changed by the user: saved, and in force at once.
        answerOptions([](COptionDlg& dlg) { dlg.LimitBox()->setValue(500); });
        QCOMPARE(DeploymentSettings::LoadSaved().uploadLimitKBps, 500);
        QCOMPARE(frame->Session().UploadLimitBytesPerSecond(), int64_t(500) * 1024);

        // "연결이 끊긴 것으로 볼 때까지": 45 s unless saved otherwise; saved, and given to the
        // connections made from now on. A saved value out of range counts as not saved.
        QCOMPARE(frame->Session().StallTimeoutMs(), 45000);
        answerOptions([](COptionDlg& dlg) {
            QCOMPARE(dlg.StallTimeoutBox()->value(), 45);
            dlg.StallTimeoutBox()->setValue(20);
        });
        QCOMPARE(UploadOptions::Load().stallTimeoutSeconds, 20);
        QCOMPARE(frame->Session().StallTimeoutMs(), 20000);
        for (const char* bad : {"0", "3601", "-4", "soon", ""}) {
            CRegistryKey key;
            QVERIFY(key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.WriteString(QStringLiteral("StallTimeout"), QString::fromLatin1(bad)));
            QVERIFY2(UploadOptions::Load().stallTimeoutSeconds == 45, bad);
        }

        // Closing the window writes its layout, and no other override of the run.
        frame->close();
        frame.reset();
        QSettings file(CRegistryKey::SettingsFile(), QSettings::IniFormat);
        file.beginGroup(QStringLiteral("Deployment"));
        QCOMPARE(file.childKeys(), QStringList{QStringLiteral("UploadLimitKBps")});
        QCOMPARE(file.value(QStringLiteral("UploadLimitKBps")).toInt(), 500);
        file.endGroup();
        for (const QByteArray& value : values)
            QVERIFY2(!fileBytes().contains(value), value.constData());
    }

    void secondCopyIsRefusedAndRaisesTheFirst()
    {
        CInstanceGuard first(QStringLiteral("Talvex Class"), m_dir->path());
        QVERIFY(first.Acquire());
        QSignalSpy raised(&first, &CInstanceGuard::raiseRequested);
        {
            CInstanceGuard second(QStringLiteral("Talvex Class"), m_dir->path());
            QVERIFY(!second.Acquire());
        }
        QVERIFY(raised.wait(3000));
    }

    void guardIsFreeAgainAfterTheFirstCopyEnds()
    {
        {
            CInstanceGuard first(QStringLiteral("Talvex Class"), m_dir->path());
            QVERIFY(first.Acquire());
        }
        CInstanceGuard next(QStringLiteral("Talvex Class"), m_dir->path());
        QVERIFY(next.Acquire());
    }

    void secondClientAppSaysAlreadyRunning()
    {
        qputenv("XDG_RUNTIME_DIR", m_dir->path().toUtf8());
        CClientApp first;
        QVERIFY(first.InitInstance());
        QVERIFY(first.Frame()->isVisible());
        QVERIFY(first.AppDir().endsWith(QLatin1Char('/')));
        CClientApp second;
        QVERIFY(!second.InitInstance());
        QCOMPARE(m_prompt.shown, QStringList{QStringLiteral("Talvex가 이미 실행중입니다. 프로세스를 먼저 종료하세요")});
        QCOMPARE(m_prompt.boxes.first().caption, QStringLiteral("Talvex"));
        QVERIFY(!second.Frame());
    }

    void mainWindowHasItsMenusToolBarStatusBarAndTabs()
    {
        CMainFrame frame;
        QStringList menus;
        for (QAction* a : frame.menuBar()->actions())
            menus << a->text();
        QCOMPARE(menus, (QStringList{QStringLiteral("파일"), QStringLiteral("도구"), QStringLiteral("도움말")}));
        QCOMPARE(frame.Action(ID_MANUAL_SYNC)->text(), QStringLiteral("수동동기화 시작(&S)"));
        QCOMPARE(frame.Action(ID_APP_ABOUT)->text(), QStringLiteral("Talvex 정보(&A)..."));

        auto* bar = frame.findChild<QToolBar*>(QStringLiteral("mainToolBar"));
        QVERIFY(bar);
        QList<unsigned> ids;
        for (QAction* a : bar->actions())
            ids << a->data().toUInt();
        QCOMPARE(ids, (QList<unsigned>{32821, 32820, 32819, 32785, 32797, 32788, 32812}));

        // Only what works is enabled while nothing is connected.
        QVERIFY(frame.Action(ID_APP_EXIT)->isEnabled());
        QVERIFY(frame.Action(ID_APP_ABOUT)->isEnabled());
        QVERIFY(!frame.Action(ID_DISCONNECT)->isEnabled());
        QVERIFY(!frame.Action(ID_REFRESH)->isEnabled());

        QCOMPARE(frame.StatusText(), QStringLiteral("연결끊김"));
        QCOMPARE(frame.StatusPane(2)->text(), QStringLiteral("전체 : 0     "));
        frame.SetStatus(11);
        QCOMPARE(frame.StatusText(), QStringLiteral("파일 찾기 진행중"));
        frame.SetStatus(42);
        QCOMPARE(frame.StatusText(), QStringLiteral("연결됨"));

        CFlatTabView* tabs = frame.TabView();
        QStringList titles;
        for (int i = 0; i < tabs->TabCount(); ++i)
            titles << tabs->TabTitle(i);
        QCOMPARE(titles, (QStringList{QStringLiteral("전송파일"), QStringLiteral("업로드 완료"),
                                      QStringLiteral("동기화 완료"), QStringLiteral("동기화 실패"),
                                      QStringLiteral("스케줄"), QStringLiteral("찾기 결과")}));
    }

    void aboutBoxShowsTitleVersionAndOk()
    {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("Talvex 정보"));
        auto* version = about.findChild<QLabel*>(QStringLiteral("versionLine"));
        QVERIFY(version);
        QCOMPARE(version->text(), QStringLiteral("Talvex Version 1.0.0.16"));
        auto* buttons = about.findChild<QDialogButtonBox*>();
        QVERIFY(buttons);
        QCOMPARE(buttons->button(QDialogButtonBox::Ok)->text(), QStringLiteral("확인"));
    }

    void tabPaneKeepsItsIndexesAroundTheDrmPage()
    {
        CFlatTabView syncTabs(true);
        QCOMPARE(syncTabs.TabTitle(CFlatTabView::ProcessPage), QStringLiteral("동기화 진행중"));
        syncTabs.RemoveDrmPage(); // six tabs: nothing happens
        QCOMPARE(syncTabs.TabCount(), 6);
        syncTabs.SelectPage(CFlatTabView::FindPage);
        syncTabs.AddDrmPageWidget(new QWidget);
        syncTabs.AddDrmPageWidget(new QWidget); // a repeated add replaces, never doubles
        QCOMPARE(syncTabs.TabCount(), 7);
        QCOMPARE(syncTabs.TabTitle(CFlatTabView::DrmPage), QStringLiteral("DRM"));
        QCOMPARE(syncTabs.CurrentPage(), 0);
        syncTabs.SelectPage(-1);
        QCOMPARE(syncTabs.CurrentPage(), 0);
        syncTabs.RemoveDrmPage();
        QCOMPARE(syncTabs.TabCount(), 6);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    test::ScriptedPrompt m_prompt;
};

QTEST_MAIN(AppShellTest)
#include "app_shell_test.moc"
