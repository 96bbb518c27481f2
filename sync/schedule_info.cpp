#include "sync/schedule_info.h"

#include "res/string_table.h"

void CScheduleInfo::Reset()
{
    kind = EveryPeriod;
    setTime = QDateTime::currentDateTime();
    unit = Hours;
    period = 0;
    sourcePath.clear();
    targetPath.clear();
    movePath.clear();
    moveOption = true;
    active = false;
}

bool CScheduleInfo::IsDue(int64_t lastRun, const QDateTime& now) const
{
    if (kind == AtSetTime)
        return setTime.isValid() && now >= setTime && lastRun < setTime.toSecsSinceEpoch();
    if (kind != EveryPeriod || lastRun == 0)
        return true;
    const int64_t elapsed = now.toSecsSinceEpoch() - lastRun;
    if (elapsed < 0)
        return true;
    switch (unit) {
    case Hours: return elapsed >= int64_t(period) * 3600;
    case Minutes: return elapsed >= int64_t(period) * 60;
    default: return true;
    }
}

QString CScheduleInfo::PeriodText() const
{
    return QStringLiteral("%1 %2").arg(period).arg(
        QString::fromUtf8(unit == Minutes ? talvex::kTextSchedulePerMinutes : talvex::kTextSchedulePerHours));
}

QString NormalizeScheduleTarget(const QString& target)
{
    QString out = target;
    if (!out.startsWith(QLatin1Char('/')))
        out.prepend(QLatin1Char('/'));
    if (!out.endsWith(QLatin1Char('/')))
        out.append(QLatin1Char('/'));
    return out;
}
