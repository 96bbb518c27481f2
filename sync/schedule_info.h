#pragma once
// CScheduleInfo: the one upload schedule of a running client, kept in memory only. The window
// creates it at start and keeps it for the life of the process; the dialog edits it, the
// schedule pane shows and runs it, "스케줄 취소" resets it.

#include <QDateTime>
#include <QString>

#include <cstdint>

class CScheduleInfo {
public:
    enum Kind : int { AtSetTime = 0, EveryPeriod = 1 };
    enum Unit : int { Hours = 0, Minutes = 1 };

    CScheduleInfo() { Reset(); }

    // Back to the defaults: every period, set time now, hours, period 0, no paths, move option
    // on, not active.
    void Reset();

    // Whether a run is due at `now`, the last run having started at lastRun (seconds since
    // 1970 UTC; 0: never ran). A schedule that never ran is due at once; after that an every-
    // period schedule is due once at least `period` hours (minutes) have passed, and a set-time
    // schedule once `now` has reached the set time (date and time of day), if it has not run since. A clock set back behind the last run makes
    // the schedule due rather than stalling it.
    bool IsDue(int64_t lastRun, const QDateTime& now) const;

    // The period field of the pane: "%d 시간 주기로" / "%d 분 주기로".
    QString PeriodText() const;

    int kind = EveryPeriod;
    QDateTime setTime;
    int unit = Hours;
    int period = 0;
    QString sourcePath;
    QString targetPath; // begins and ends with "/"
    QString movePath;
    bool moveOption = true;
    bool active = false;
};

// A remote target as stored: "/" in front and at the end ("backup" becomes "/backup/"; a lone
// "/" stays).
QString NormalizeScheduleTarget(const QString& target);
