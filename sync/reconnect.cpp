#include "sync/reconnect.h"

#include "app/client_session.h"

#include <algorithm>
#include <chrono>

CReconnect::CReconnect(CClientSession& session, QObject* parent) : QObject(parent), m_session(session)
{
    m_clock = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer); // a minute's wait must not end seconds early or late
    connect(&m_timer, &QTimer::timeout, this, &CReconnect::OnTimer);
    connect(&session, &CClientSession::attemptFailed, this, &CReconnect::OnAttemptFailed);
    connect(&session, &CClientSession::loggedIn, this, [this] {
        if (!m_bActive)
            return;
        Stop();
        emit succeeded();
    });
}

int CReconnect::DelayAfter(int failed, int unitMs)
{
    const int64_t delay = int64_t{unitMs} << std::clamp(failed, 0, 16);
    return static_cast<int>(std::min<int64_t>(delay, int64_t{kMaxDelayMs} * unitMs / 1000));
}

int64_t CReconnect::Elapsed() const { return m_clock() - m_nStartMs; }

void CReconnect::Begin(int limitSeconds)
{
    m_bActive = true;
    m_nLimitMs = int64_t{std::max(0, limitSeconds)} * m_nSecondMs;
    m_nAttempt = 0;
    m_bAttemptRunning = false;
    m_nStartMs = m_clock();
    m_session.SetReconnecting(true);
    Plan(DelayAfter(0, m_nSecondMs));
}

void CReconnect::Stop()
{
    m_bActive = false;
    m_bAttemptRunning = false;
    m_nNextAtMs = -1;
    m_timer.stop();
    m_session.SetReconnecting(false);
}

void CReconnect::Arm(int64_t ms) { m_timer.start(static_cast<int>(std::clamp<int64_t>(ms, 0, INT32_MAX))); }

void CReconnect::Plan(int64_t delayMs)
{
    const int64_t elapsed = Elapsed();
    if (elapsed + delayMs > m_nLimitMs) {
        m_nNextAtMs = -1; // it would start after the time set: none does
        Arm(m_nLimitMs - elapsed);
        return;
    }
    m_nNextAtMs = elapsed + delayMs;
    Arm(delayMs);
}

void CReconnect::OnTimer()
{
    if (!m_bActive)
        return;
    const int64_t elapsed = Elapsed();
    if (elapsed >= m_nLimitMs) {
        // The time is up, whatever runs or was planned: the lost connection's message, the end.
        Stop();
        emit gaveUp();
        return;
    }
    if (m_nNextAtMs < 0 || elapsed < m_nNextAtMs) {
        Arm((m_nNextAtMs < 0 ? m_nLimitMs : m_nNextAtMs) - elapsed); // woken early
        return;
    }
    m_nNextAtMs = -1;
    ++m_nAttempt;
    m_bAttemptRunning = true;
    Arm(m_nLimitMs - elapsed); // the end comes at its time even while this attempt runs
    emit attempting(m_nAttempt);
    m_session.Reconnect();
}

void CReconnect::OnAttemptFailed()
{
    if (!m_bActive || !m_bAttemptRunning)
        return; // not an attempt's failure: the lost connection's last word
    m_bAttemptRunning = false;
    Plan(DelayAfter(m_nAttempt, m_nSecondMs));
}
