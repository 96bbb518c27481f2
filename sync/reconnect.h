#pragma once
// CReconnect: makes a lost session again on its own (when the user asked for it in "옵션").
// Attempts run the whole connect sequence (web check, control session, LOGIN, command channel)
// 1, 2, 4 … 60 seconds apart, for at most the time the user set; the status bar says which
// attempt runs. It ends when a login succeeds, when the user disconnects (Stop), or when the
// time is up (gaveUp: the window then shows the lost connection's message and ends).

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class CClientSession;

class CReconnect : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDelayMs = 60000;

    explicit CReconnect(CClientSession& session, QObject* parent = nullptr);

    // The connection was lost: attempts begin, for at most limitMs.
    void Begin(int limitMs);
    // The user disconnected, or a login succeeded: no further attempt.
    void Stop();
    bool IsActive() const { return m_bActive; }
    int Attempts() const { return m_nAttempt; }
    // The delay before the attempt after n failed ones: 1, 2, 4 … 60 seconds.
    static int DelayAfter(int failed, int unitMs = 1000);
    // Tests make the seconds shorter.
    void SetDelayUnitMs(int ms) { m_nUnitMs = ms; }

signals:
    // An attempt begins: its number, from 1.
    void attempting(int attempt);
    void succeeded();
    void gaveUp();

private:
    void Attempt();
    void OnAttemptFailed();

    CClientSession& m_session;
    QTimer m_timer;
    QElapsedTimer m_since;
    int m_nLimitMs = 0;
    int m_nAttempt = 0;
    int m_nUnitMs = 1000;
    bool m_bActive = false;
};
