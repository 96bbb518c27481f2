#pragma once
// CDesktopProgress: the upload's progress outside the window.
//
// An icon in the system tray (the desktop's StatusNotifierItem host, through QSystemTrayIcon)
// tells the state in its tooltip: idle, uploading with 완료 / 전체 and the speed, failures
// waiting on the fail page. A click brings the window forward; its menu shows the window or
// quits. With no tray on the desktop no icon is made and nothing is said.
//
// Docks and task bars read the launcher entry's signal ("Update" of
// com.canonical.Unity.LauncherEntry on the session bus): while an upload runs it carries the
// fraction settled and the count of files left, and once the upload ends a last one hides both.
// A signal goes only when what it shows changes (a whole percent, a file); without a session
// bus none goes.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <memory>

class QMenu;
class QSystemTrayIcon;
class QWidget;

class CDesktopProgress : public QObject {
    Q_OBJECT
public:
    struct State {
        int64_t total = 0, completed = 0, failed = 0; // files of the current upload
        int64_t bytesPerSecond = 0;
        bool uploading = false;
    };
    static constexpr const char* kLauncherInterface = "com.canonical.Unity.LauncherEntry";
    static constexpr const char* kLauncherPath = "/com/talvex/Talvex/LauncherEntry";
    static constexpr const char* kAppUri = "application://talvex.desktop";

    // withTray false: no tray icon even where the desktop has a tray (tests of the signal).
    CDesktopProgress(QWidget& window, const QDBusConnection& bus, bool withTray = true, QObject* parent = nullptr);
    ~CDesktopProgress() override;

    void Show(const State& state);

    QSystemTrayIcon* Tray() const { return m_pTray.get(); }
    // The tray icon's menu (made with or without a tray).
    QMenu* Menu() const { return m_pMenu.get(); }
    QString ToolTip() const { return m_strTip; }
    // The properties of the launcher entry's last signal (empty before the first).
    QVariantMap LauncherProperties() const { return m_launcher; }
    static QString ToolTipOf(const State& state);

signals:
    void quitRequested();

private:
    void BringForward();
    void SendLauncher(const QVariantMap& properties);

    QWidget& m_window;
    QDBusConnection m_bus;
    std::unique_ptr<QMenu> m_pMenu;
    std::unique_ptr<QSystemTrayIcon> m_pTray;
    QString m_strTip;
    QVariantMap m_launcher;
};
