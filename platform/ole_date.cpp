#include "platform/ole_date.h"

#include <cmath>

namespace talvex {
namespace {

// Days from 1 January of year 1 (proleptic Gregorian) to the given date; the 30 December 1899
// base is subtracted by the caller.
int64_t DayNumber(int64_t y, int m, int d)
{
    // Days-from-civil (Howard Hinnant's algorithm), relative to 1970-01-01.
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const int64_t kBaseDay = DayNumber(1899, 12, 30);
const int64_t kFirstDay = DayNumber(100, 1, 1);
const int64_t kLastDay = DayNumber(9999, 12, 31);

} // namespace

bool SystemTimeToOleDate(const CalendarTime& t, OleDate& out)
{
    out = OleDate{};
    const int fields[] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
    for (int f : fields)
        if (f < 0 || f > 0xFFFF)
            return false;
    if (t.month > 12 || t.day > 31 || t.year > 9999)
        return false;

    int year = t.year;
    if (year < 30)
        year += 2000;
    else if (year < 100)
        year += 1900;

    // Roll the time fields over into days, then the month (0 = December of the year before).
    int64_t second = t.second, minute = t.minute, hour = t.hour, day = t.day;
    minute += second / 60;
    second %= 60;
    hour += minute / 60;
    minute %= 60;
    day += hour / 24;
    hour %= 24;
    int month = t.month;
    if (month == 0) {
        month = 12;
        --year;
    }
    // Day 0 is the last day of the month before; days past the month's end roll forward.
    const int64_t dayNumber = DayNumber(year, month, 1) + (day - 1);
    if (dayNumber < kFirstDay || dayNumber > kLastDay)
        return false;

    const int64_t days = dayNumber - kBaseDay;
    const double fraction = static_cast<double>(hour * 3600 + minute * 60 + second) / 86400.0;
    out.value = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    out.status = 0;
    return true;
}

OleDate MakeOleDate(int year, int month, int day, int hour, int minute, int second)
{
    OleDate d;
    SystemTimeToOleDate(CalendarTime{year, month, day, hour, minute, second}, d);
    return d;
}

bool OleDateToSystemTime(const OleDate& date, CalendarTime& out)
{
    if (!date.IsValid() || !std::isfinite(date.value))
        return false;
    const double v = date.value;
    double dayPart = std::trunc(v);
    double fraction = std::fabs(v - dayPart);
    int64_t seconds = std::llround(fraction * 86400.0);
    int64_t days = static_cast<int64_t>(dayPart);
    if (seconds >= 86400) { // rounding reached midnight
        seconds -= 86400;
        days += v >= 0 ? 1 : -1;
    }
    const int64_t dayNumber = days + kBaseDay;
    if (dayNumber < kFirstDay || dayNumber > kLastDay)
        return false;
    CivilFromDays(dayNumber, out.year, out.month, out.day);
    out.hour = static_cast<int>(seconds / 3600);
    out.minute = static_cast<int>(seconds / 60 % 60);
    out.second = static_cast<int>(seconds % 60);
    return true;
}

} // namespace talvex
