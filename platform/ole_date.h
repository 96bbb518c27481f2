#pragma once
// Calendar date-times as OLE automation dates: days since 30 December 1899 as a real number,
// the time of day as the fraction. Dates before the base day keep a positive time fraction
// with a negative day number (-1.25 is 29 December 1899, 06:00).
//
// The conversion from calendar fields behaves like the Windows SystemTimeToVariantTime:
//  - fields are unsigned 16-bit values; anything outside 0..65535 is invalid;
//  - month above 12 or day above 31 is invalid; year above 9999 is invalid;
//  - years 0..29 mean 2000..2029, years 30..99 mean 1930..1999; years 100..9999 are taken as they are;
//  - month 0 and day 0 roll back (day 0 of January 1980 is 31 December 1979), a day past the
//    end of its month rolls forward (29 February 1981 is 1 March 1981), and hours, minutes and
//    seconds past their range roll over into the next unit;
//  - a result before 1 January 100 is invalid.

#include <cstdint>

namespace talvex {

struct OleDate {
    double value = 0.0;
    int32_t status = 1; // 0 valid, 1 invalid
    bool IsValid() const { return status == 0; }
};

struct CalendarTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// False (and an invalid date) when the fields cannot be converted.
bool SystemTimeToOleDate(const CalendarTime& time, OleDate& out);
OleDate MakeOleDate(int year, int month, int day, int hour, int minute, int second);

// Back to calendar fields (seconds rounded); false for an invalid date or one out of range.
bool OleDateToSystemTime(const OleDate& date, CalendarTime& out);

} // namespace talvex
