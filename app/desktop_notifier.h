#pragma once
// CDesktopNotifier: desktop notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Each notification carries Talvex's icon
// and a "default" action; when the user clicks it, activated() gives back the tag it was sent
// with. Calls never wait: the answer (the notification's number) comes back on its own, and a
// service that does not answer within the timeout just leaves the notification unsent.

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

class CDesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr int kCallTimeoutMs = 5000;

    explicit CDesktopNotifier(const QDBusConnection& bus, QObject* parent = nullptr);
    // On the session bus.
    explicit CDesktopNotifier(QObject* parent = nullptr);

    // Sends one notification; tag comes back with activated() when it is clicked.
    // urgent: the service's critical urgency (a lost connection).
    void Notify(const QString& summary, const QString& body, int tag, bool urgent = false);

    // Calls sent and not answered yet.
    int Pending() const { return m_nPending; }

signals:
    // The service took the notification and gave it this number.
    void shown(uint id);
    // The service did not take it (no service, an error, no answer in time).
    void failed(const QString& reason);
    // The user clicked the notification sent with this tag.
    void activated(int tag);

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    void OnAnswer(QDBusPendingCallWatcher* watcher, int tag);

    QDBusConnection m_bus;
    QHash<uint, int> m_tags; // notification number -> tag, while it may be clicked
    int m_nPending = 0;
};
