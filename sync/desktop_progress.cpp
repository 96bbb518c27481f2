#include "sync/desktop_progress.h"

#include "res/desktop_texts.h"
#include "sync/queue_model.h"

#include <QAction>
#include <QDBusMessage>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

#include <algorithm>

namespace {

QString U(const char* text) { return QString::fromUtf8(text); }

} // namespace

CDesktopProgress::CDesktopProgress(QWidget& window, const QDBusConnection& bus, bool withTray, QObject* parent)
    : QObject(parent), m_window(window), m_bus(bus)
{
    m_strTip = U(talvex::kTextTrayIdle);
    m_pMenu = std::make_unique<QMenu>();
    QAction* show = m_pMenu->addAction(U(talvex::kTextTrayShow));
    show->setObjectName(QStringLiteral("trayShow"));
    m_pMenu->addSeparator();
    QAction* quit = m_pMenu->addAction(U(talvex::kTextTrayQuit));
    quit->setObjectName(QStringLiteral("trayQuit"));
    connect(show, &QAction::triggered, this, &CDesktopProgress::BringForward);
    connect(quit, &QAction::triggered, this, &CDesktopProgress::quitRequested);
    if (!withTray || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    QIcon icon = QIcon::fromTheme(QStringLiteral("talvex"), window.windowIcon());
    if (icon.isNull())
        icon = window.style()->standardIcon(QStyle::SP_ComputerIcon);
    m_pTray = std::make_unique<QSystemTrayIcon>(icon);
    m_pTray->setContextMenu(m_pMenu.get());
    m_pTray->setToolTip(m_strTip);
    connect(m_pTray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
            BringForward();
    });
    m_pTray->show();
}

CDesktopProgress::~CDesktopProgress()
{
    // A dock keeps the last progress it heard of: it is cleared with the window.
    if (m_launcher.value(QStringLiteral("progress-visible")).toBool() || m_launcher.value(QStringLiteral("count-visible")).toBool())
        SendLauncher({{QStringLiteral("progress-visible"), false}, {QStringLiteral("count-visible"), false}});
}

QString CDesktopProgress::ToolTipOf(const State& state)
{
    QString tip = state.uploading ? U(talvex::kTextTrayUploading)
                                        .arg(state.completed)
                                        .arg(state.total)
                                        .arg(QueueSpeedText(state.bytesPerSecond).trimmed())
                                  : U(talvex::kTextTrayIdle);
    if (state.failed > 0)
        tip += QLatin1Char('\n') + U(talvex::kTextTrayFailures).arg(state.failed);
    return tip;
}

void CDesktopProgress::Show(const State& state)
{
    m_strTip = ToolTipOf(state);
    if (m_pTray && m_pTray->toolTip() != m_strTip)
        m_pTray->setToolTip(m_strTip);

    const bool running = state.uploading && state.total > 0;
    const int64_t settled = std::clamp<int64_t>(state.completed + state.failed, 0, std::max<int64_t>(state.total, 0));
    QVariantMap properties;
    if (running) {
        // Whole percents: a dock redraws for each signal.
        const double fraction = static_cast<double>(settled * 100 / state.total) / 100.0;
        properties = {{QStringLiteral("progress"), fraction},
                      {QStringLiteral("progress-visible"), true},
                      {QStringLiteral("count"), static_cast<qint64>(state.total - settled)},
                      {QStringLiteral("count-visible"), true}};
    } else if (m_launcher.isEmpty() || m_launcher.value(QStringLiteral("progress-visible")).toBool()) {
        properties = {{QStringLiteral("progress-visible"), false}, {QStringLiteral("count-visible"), false}};
        if (m_launcher.isEmpty()) {
            m_launcher = properties; // nothing shown yet: nothing to clear
            return;
        }
    } else {
        return;
    }
    if (properties != m_launcher)
        SendLauncher(properties);
}

void CDesktopProgress::SendLauncher(const QVariantMap& properties)
{
    m_launcher = properties;
    if (!m_bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kLauncherPath), QString::fromLatin1(kLauncherInterface),
                                                     QStringLiteral("Update"));
    signal << QString::fromLatin1(kAppUri) << properties;
    m_bus.send(signal);
}

void CDesktopProgress::BringForward()
{
    if (m_window.isMinimized())
        m_window.showNormal();
    else
        m_window.show();
    m_window.raise();
    m_window.activateWindow();
}
