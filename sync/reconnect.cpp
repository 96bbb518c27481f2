#include "sync/reconnect.h"

#include "app/client_session.h"

#include <algorithm>

CReconnect::CReconnect(CClientSession& session, QObject* parent) : QObject(parent), m_session(session)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CReconnect::Attempt);
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

void CReconnect::Begin(int limitMs)
{
    m_bActive = true;
    m_nLimitMs = std::max(0, limitMs);
    m_nAttempt = 0;
    m_since.start();
    m_session.SetReconnecting(true);
    m_timer.start(DelayAfter(0, m_nUnitMs));
}

void CReconnect::Stop()
{
    m_bActive = false;
    m_timer.stop();
    m_session.SetReconnecting(false);
}

void CReconnect::Attempt()
{
    if (!m_bActive)
        return;
    ++m_nAttempt;
    emit attempting(m_nAttempt);
    m_session.Reconnect();
}

void CReconnect::OnAttemptFailed()
{
    if (!m_bActive)
        return;
    const int delay = DelayAfter(m_nAttempt, m_nUnitMs);
    if (m_since.elapsed() + delay > m_nLimitMs) {
        Stop();
        emit gaveUp();
        return;
    }
    m_timer.start(delay);
}
