#pragma once
// The longest gap between two turns of the window's event loop while the meter runs: a timer
// asks for a turn every 5 ms and each turn notes the time since the last one.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

class CEventGapMeter {
public:
    CEventGapMeter()
    {
        QObject::connect(&m_ticker, &QTimer::timeout,
                         [this] { m_longestMs = std::max<long>(m_longestMs, static_cast<long>(m_sinceTick.restart())); });
        m_sinceTick.start();
        m_ticker.start(5);
    }
    void Stop() { m_ticker.stop(); }
    long LongestMs() const { return m_longestMs; }

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
    long m_longestMs = 0;
};
