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
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            const long gap = static_cast<long>(m_sinceTick.restart());
            if (gap > m_longestMs) {
                m_longestMs = gap;
                m_longestAtMs = static_cast<long>(m_sinceStart.elapsed());
            }
        });
        m_sinceTick.start();
        m_sinceStart.start();
        m_ticker.start(5);
    }
    void Stop() { m_ticker.stop(); }
    long LongestMs() const { return m_longestMs; }
    // When the longest gap ended, in ms since the meter started.
    long LongestAtMs() const { return m_longestAtMs; }

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
    QElapsedTimer m_sinceStart;
    long m_longestMs = 0;
    long m_longestAtMs = 0;
};
