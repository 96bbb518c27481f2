#include "app/desktop_notifier.h"

#include "platform/log.h"
#include "res/desktop_texts.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The icon's name in the icon theme and the desktop entry's name, as installed.
const QString kIconName = QStringLiteral("talvex");

} // namespace

CDesktopNotifier::CDesktopNotifier(QObject* parent) : CDesktopNotifier(QDBusConnection::sessionBus(), parent) {}

CDesktopNotifier::CDesktopNotifier(const QDBusConnection& bus, QObject* parent) : QObject(parent), m_bus(bus)
{
    if (!m_bus.isConnected())
        return;
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(OnActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(OnClosed(uint, uint)));
}

void CDesktopNotifier::Notify(const QString& summary, const QString& body, int tag, bool urgent)
{
    if (!m_bus.isConnected()) {
        emit failed(QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), kIconName);
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(static_cast<uchar>(urgent ? 2 : 1)));
    const QStringList actions{QStringLiteral("default"), QString::fromUtf8(talvex::kTextNotifyOpen)};
    call << QStringLiteral("Talvex") << uint(0) << kIconName << summary << body << actions << hints << int(-1);
    ++m_nPending;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, tag](QDBusPendingCallWatcher* w) { OnAnswer(w, tag); });
}

void CDesktopNotifier::OnAnswer(QDBusPendingCallWatcher* watcher, int tag)
{
    watcher->deleteLater();
    --m_nPending;
    const QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError()) {
        const QString why = reply.error().message();
        ::Log("desktop notification not shown: %s", why.toUtf8().constData());
        emit failed(why);
        return;
    }
    const uint id = reply.value();
    m_tags.insert(id, tag);
    emit shown(id);
}

void CDesktopNotifier::OnActionInvoked(uint id, const QString& action)
{
    const auto it = m_tags.constFind(id);
    if (it == m_tags.constEnd() || action != QLatin1String("default"))
        return;
    emit activated(it.value());
}

void CDesktopNotifier::OnClosed(uint id, uint /*reason*/) { m_tags.remove(id); }
