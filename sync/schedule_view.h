#pragma once
// CScheduleView: the schedule page of the tab pane. It shows the schedule ("스케줄 정보"), starts
// and stops it ("시작", "중지") and keeps a log of the runs ("작업 진행 상황": start and end time
// of each run, and lines such as the skip message). While started it looks every 5 seconds
// whether the schedule is due and, if so, has the run hook queue the upload.

#include <QDateTime>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>

class QLineEdit;
class QPushButton;
class QTreeWidget;
class CScheduleInfo;

class CScheduleView : public QWidget {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;
    static constexpr int kTickMs = 5000;

    explicit CScheduleView(QWidget* parent = nullptr);

    // The record shown and run; null until the first accepted dialog.
    void SetInfo(CScheduleInfo* info) { m_pInfo = info; }
    CScheduleInfo* Info() const { return m_pInfo; }
    // Called when the schedule is due; it returns once the run is queued or skipped.
    void SetRunHook(std::function<void()> run) { m_run = std::move(run); }
    // The time source of the due test and the log (tests set it; the local time otherwise).
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // Shows the record again: "시작" is enabled while an active schedule is stopped, "중지"
    // while it runs. Without an active record the fields are empty and both buttons gray.
    void Refresh();
    // Appends a row (now, text).
    void AddLogLine(const QString& text);

    // "시작" and "중지". A stop pauses: a start after it keeps the time of the last run, so the
    // next run comes when it was due anyway. The first start runs at the first look.
    void Start();
    void Stop();
    // The record was reset ("스케줄 취소"): stopped, and the next start is a first one.
    void Forget();
    // One look at the schedule, as the timer does it.
    void Tick();

    bool IsRunning() const { return m_timer.isActive(); }
    int64_t LastRun() const { return m_nLastRun; }

    QLineEdit* PeriodField() const { return m_pPeriod; }
    QLineEdit* SourceField() const { return m_pSource; }
    QLineEdit* TargetField() const { return m_pTarget; }
    QLineEdit* MoveField() const { return m_pMove; }
    QTreeWidget* LogList() const { return m_pLog; }
    QPushButton* StartButton() const { return m_pStart; }
    QPushButton* StopButton() const { return m_pStop; }

    // "yyyy-MM-dd HH:mm:ss", the form of the log's times.
    static QString TimeText(const QDateTime& time);

private:
    QDateTime Now() const;
    void AddRow(const QString& first, const QString& second);

    CScheduleInfo* m_pInfo = nullptr;
    std::function<void()> m_run;
    Clock m_clock;
    QTimer m_timer;
    int64_t m_nLastRun = 0; // seconds since 1970 UTC; 0: not run since the schedule was set
    QLineEdit* m_pPeriod;
    QLineEdit* m_pSource;
    QLineEdit* m_pTarget;
    QLineEdit* m_pMove;
    QTreeWidget* m_pLog;
    QPushButton* m_pStart;
    QPushButton* m_pStop;
};
