// Calendar arithmetic on day numbers (days since 30 December 1899, proleptic Gregorian).
#pragma once

#include <cstdint>

namespace tabulon {

struct CivilDate {
  int32_t year;
  int32_t month;  // 1..12
  int32_t day;    // 1..31
};

// Day number of a calendar date (month and day must be in range).
int64_t civil_to_day(int32_t year, int32_t month, int32_t day);
// Calendar date of a whole day number.
CivilDate day_to_civil(int64_t day);
// Weekday of a day number, 1 = Sunday .. 7 = Saturday.
int32_t day_weekday(int64_t day);
// Day of the year, 1..366.
int32_t day_of_year(int64_t day);
bool civil_is_leap(int32_t year);
int32_t civil_days_in_month(int32_t year, int32_t month);

// Whole-day part of a finite day number within the range these helpers accept
// (years 1..9999); false otherwise.
bool day_number_in_range(double v, int64_t* whole);

}  // namespace tabulon
