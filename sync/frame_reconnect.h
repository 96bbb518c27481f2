#pragma once
// CFrameReconnect: the window's side of reconnecting on its own. When the session is lost it
// keeps the remote folder that was on show and starts CReconnect's attempts for the minutes set
// in "옵션"; the status bar says which attempt runs; the first listing after a login shows that
// folder again; when the time is up, gaveUp: the window ends with the lost connection's message.

#include "sync/reconnect.h"

#include <QObject>
#include <QString>

#include <functional>

class CClientSession;

class CFrameReconnect : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(const QString&)> statusLine; // the status bar's message pane
        std::function<void(const QString&)> reopen;     // shows this remote folder again
        std::function<void()> commandsChanged;          // the commands' enable rules to apply again
    };
    CFrameReconnect(CClientSession& session, Hooks hooks, QObject* parent = nullptr);

    CReconnect& Reconnector() { return m_reconnect; }
    bool IsActive() const { return m_reconnect.IsActive(); }
    // The session was lost while folder was on show: the attempts begin.
    void Begin(const QString& folder);
    // The user disconnected: no further attempt, no folder to show again.
    void Stop();

signals:
    void gaveUp();

private:
    CReconnect m_reconnect;
    Hooks m_hooks;
    QString m_strReopenFolder; // shown again by the first listing after the login
};
