// Day numbers: whole days since 30 December 1899 plus the time of day as a fraction.
// Dates are counted internally as proleptic Gregorian ordinals (1 January 0001 = 1).
#pragma once

#include <cstdint>

namespace tabulon {

constexpr int32_t kDayNumberOffset = 693594;  // ordinal of 30 December 1899 (day 0)
constexpr int32_t kMaxOrdinal = 3652059;      // 31 December 9999
constexpr double kNowDayNumber = -1000000.0;  // formats as the current local date and time
constexpr double kTimeNudge = 5e-9;           // keeps whole milliseconds from rounding down

// Bits of DateParts::flags.
constexpr int32_t kPartsDate = 1;
constexpr int32_t kPartsTime = 2;

// Broken-down date and time. The field order is part of the interface.
struct DateParts {
  int32_t leap = 0;         // 1 in a leap year
  int32_t year = 0;         // full year
  int32_t month = 0;        // 0..11
  int32_t mday = 0;         // 1..31
  int32_t yday = 0;         // 0..365
  int32_t wday = 0;         // 0..6, 0 = Sunday
  int32_t hour = 0;         // 0..23
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
  int32_t afternoon = 0;    // hour >= 12
  int32_t flags = 0;        // kPartsDate | kPartsTime
};

bool is_leap_year(int32_t year);
// Days before 1 January of `year` (year >= 1).
int32_t days_before_year(int32_t year);
// Days before the first of month0 (0..11) in `year`.
int32_t days_before_month(int32_t year, int32_t month0);
int32_t month_length(int32_t year, int32_t month0);

// Ordinal of year/month/mday; with mday <= 0 the day of year (0-based) is used instead.
bool parts_to_ordinal(const DateParts& parts, int32_t* ordinal);
// Fills leap, year, month, mday, yday and wday; false outside 1..kMaxOrdinal.
bool ordinal_to_parts(int32_t ordinal, DateParts* parts);

// Day number of the parts: the date when kPartsDate is set (else day 0), plus the time
// of day when kPartsTime is set. Fails on an invalid date or time field.
bool parts_to_day(const DateParts& parts, double* day);
// Splits a day number (sign-magnitude: -1.25 is day -1 at 06:00). Sets kPartsDate, and
// kPartsTime when the fraction is not 0. Fails outside the convertible range.
bool day_to_parts(double day, DateParts* parts);

// Adds a time of day (0 <= fraction < 1) to a whole day number, away from zero.
double combine_day_time(double whole_day, double fraction);

// Files count time continuously (-1.75 is 29 December 1899 at 06:00); day numbers keep the
// time of a day before 30 December 1899 apart from its sign (that moment is -1.25).
// Continuous days since 30 December 1899 to a day number, and back.
double signed_days_to_day_number(double days);
double day_number_to_signed_days(double day);

// A time (a T_TIME value) is a signed duration in days: 25:00:00 is 25/24 and -01:00:00 is
// -1/24. Files that count times in seconds convert through these two, never through the
// time of day, so whole days and the sign survive.
// Seconds of a time, to whole microseconds (day fractions carry binary noise).
double time_to_seconds(double time);
inline double seconds_to_time(double seconds) { return seconds / 86400.0; }

// A time split for writing: hours are not wrapped at 24.
struct DurationParts {
  bool negative = false;
  int64_t hours = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};
// False for a value that is not finite or too large to count in milliseconds.
bool time_to_duration(double time, DurationParts* out);

// Calendar arithmetic: whole day number of `day` moved by years, months, weeks and days.
// A month end that does not exist in the target month becomes its last day.
bool day_add(double day, int32_t years, int32_t months, int32_t weeks, int32_t days, double* out);

// The current local date and time, and its day number.
void current_parts(DateParts* parts);

}  // namespace tabulon
