#include "expr/civil_date.h"

#include <cmath>

namespace tabulon {

namespace {

// Days from 0000-03-01 based counting to 1970-01-01 style epochs, shifted to our base.
int64_t days_from_civil(int64_t y, int32_t m, int32_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t mp = (m + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}

constexpr int64_t kUnixToBase = 25569;  // 1970-01-01 is day 25569

}  // namespace

int64_t civil_to_day(int32_t year, int32_t month, int32_t day) {
  return days_from_civil(year, month, day) + kUnixToBase;
}

CivilDate day_to_civil(int64_t day) {
  int64_t z = day - kUnixToBase + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int32_t d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  const int32_t m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t y = yoe + era * 400 + (m <= 2);
  return {static_cast<int32_t>(y), m, d};
}

int32_t day_weekday(int64_t day) {
  // Day 0 (1899-12-30) was a Saturday.
  int64_t w = (day + 6) % 7;
  if (w < 0) w += 7;
  return static_cast<int32_t>(w) + 1;
}

bool civil_is_leap(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int32_t civil_days_in_month(int32_t year, int32_t month) {
  static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && civil_is_leap(year) ? 29 : kDays[month - 1];
}

int32_t day_of_year(int64_t day) {
  CivilDate c = day_to_civil(day);
  return static_cast<int32_t>(day - civil_to_day(c.year, 1, 1)) + 1;
}

bool day_number_in_range(double v, int64_t* whole) {
  // Years 1 .. 9999.
  if (!std::isfinite(v) || v < -693593.0 || v >= 2958466.0) return false;
  *whole = static_cast<int64_t>(std::floor(v));
  return true;
}

}  // namespace tabulon
