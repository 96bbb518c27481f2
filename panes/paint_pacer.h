#pragma once
// CPaintPacer: a window paints at most once every interval. A busy transfer changes the window
// hundreds of times a second (rows, progress, totals), and each change would cost a whole
// paint; the upload channels, which wait for the window to take each of their reports, would
// wait on the paints too. What changes in between is painted together once the interval is
// over. Input is never held back, and a window shown or uncovered paints at once.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <QWidget>

class CPaintPacer final : public QObject {
public:
    // 40 paints a second at most, however fast the uploads report.
    static constexpr int kIntervalMs = 25;

    explicit CPaintPacer(QWidget& window, int intervalMs = kIntervalMs)
        : QObject(&window), m_window(window), m_intervalMs(intervalMs)
    {
        m_held.setSingleShot(true);
        connect(&m_held, &QTimer::timeout, this, [this] {
            QCoreApplication::postEvent(&m_window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
        });
        window.installEventFilter(this);
    }

    int Held() const { return m_heldCount; } // paints put off so far

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != &m_window || event->type() != QEvent::UpdateRequest)
            return false;
        if (m_sincePaint.isValid() && m_sincePaint.elapsed() < m_intervalMs) {
            if (!m_held.isActive())
                m_held.start(static_cast<int>(m_intervalMs - m_sincePaint.elapsed()));
            ++m_heldCount;
            return true; // the window's changes wait; the request is made again when the time is up
        }
        m_sincePaint.start();
        return false;
    }

private:
    QWidget& m_window;
    const int m_intervalMs;
    QElapsedTimer m_sincePaint;
    QTimer m_held;
    int m_heldCount = 0;
};
