#pragma once
// CReconnect: makes a lost session again on its own (when the user asked for it in "옵션").
// Attempts run the whole connect sequence (web check, control session, LOGIN, command channel)
// 1, 2, 4 … 60 seconds apart, for at most the time the user set; the status bar says which
// attempt runs. It ends when a login succeeds, when the user disconnects (Stop), or when the
// time is up (gaveUp: the window then shows the lost connection's message and ends).
//
// No attempt starts after the time set: when the next delay would end after it, none is
// planned, and the end comes when the time is up (also while an attempt still runs then).

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>

class CClientSession;

class CReconnect : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDelayMs = 60000;
    // A monotonic clock in milliseconds.
    using Clock = std::function<int64_t()>;

    explicit CReconnect(CClientSession& session, QObject* parent = nullptr);

    // The connection was lost: attempts begin, for at most limitSeconds.
    void Begin(int limitSeconds);
    // The user disconnected, or a login succeeded: no further attempt.
    void Stop();
    bool IsActive() const { return m_bActive; }
    int Attempts() const { return m_nAttempt; }
    // The delay before the attempt after n failed ones: 1, 2, 4 … 60 seconds.
    static int DelayAfter(int failed, int unitMs = 1000);
    // Tests make the seconds shorter (delays and the time limit alike) and read the time on a
    // clock of their own.
    void SetSecondMs(int ms) { m_nSecondMs = ms; }
    void SetClock(Clock clock) { m_clock = std::move(clock); }
    // Milliseconds since Begin on that clock.
    int64_t Elapsed() const;
    // When the next attempt is due, in milliseconds since Begin on that clock; -1 while an
    // attempt runs or when none will start before the time is up.
    int64_t NextAttemptAt() const { return m_nNextAtMs; }

signals:
    // An attempt begins: its number, from 1.
    void attempting(int attempt);
    void succeeded();
    void gaveUp();

private:
    // The next attempt after delayMs when it starts within the time set; otherwise none, and
    // the end when the time is up.
    void Plan(int64_t delayMs);
    void OnTimer();
    void OnAttemptFailed();
    void Arm(int64_t ms);

    CClientSession& m_session;
    Clock m_clock;
    QTimer m_timer;
    int64_t m_nStartMs = 0;
    int64_t m_nLimitMs = 0;
    int64_t m_nNextAtMs = -1; // when the next attempt starts (since Begin); -1: none planned
    int m_nAttempt = 0;
    int m_nSecondMs = 1000;
    bool m_bActive = false;
    // An attempt was started and has not failed: only its failure plans the next one. The
    // connection already lost can still report its end (its other worker) after Begin.
    bool m_bAttemptRunning = false;
};
