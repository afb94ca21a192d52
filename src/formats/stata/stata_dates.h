// Stata display formats and the conversion of Stata date values to day numbers and back.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "formats/stata/stata_codes.h"

namespace tabulon {

// What a numeric variable's display format says.
struct StataFormatInfo {
  int ttype = 0;            // T_DATE / T_TIME / T_DATETIME, or 0: keep the numeric type
  uint8_t date_kind = 0;    // StataDateKind
  uint32_t print_width = 8;
  uint8_t decimals = 255;   // kDecimalsNotGiven unless the format gives them
};

// Reads a display format (NUL-terminated within len bytes).
StataFormatInfo stata_parse_format(const char* text, size_t len);

// Milliseconds with leap seconds ("%tC") to milliseconds without them.
double stata_remove_leap_seconds(double ms);

// A Stata value of a date kind to a day number; time_only keeps the time of day alone.
double stata_value_to_day_any(double value, uint8_t date_kind, bool time_only);
// The same, with the common cases (dates and times after 30 December 1899) done in line:
// it runs once per date value.
inline double stata_value_to_day(double value, uint8_t date_kind, bool time_only) {
  if (!time_only) {
    double day = -1;
    if (date_kind == kStDays) day = value + kStataDay0;
    else if (date_kind == kStMillis) day = value / kMsPerDayStata + kStataDay0;
    if (day >= 0) return day;
  }
  return stata_value_to_day_any(value, date_kind, time_only);
}

// Day number to the values the writer stores.
int32_t stata_day_to_days_any(double day);
// Whole days since 1 January 1960.
inline int32_t stata_day_to_days(double day) {
  if (day >= 0 && day < 2147483647.0) return static_cast<int32_t>(day) - static_cast<int32_t>(kStataDay0);
  return stata_day_to_days_any(day);
}
double stata_day_fraction(double day);        // time of day, 0 <= f < 1
double stata_day_to_millis_any(double day);
// Milliseconds since 1 January 1960, rounded half away from zero.
inline double stata_day_to_millis(double day) {
  const double ms = (day - kStataDay0) * kMsPerDayStata;
  if (day >= 0 && std::fabs(ms) < 4e15) {
    // Whole part and fraction are exact in this range: std::round without the library call.
    double whole = static_cast<double>(static_cast<int64_t>(ms));
    const double fraction = ms - whole;
    if (fraction >= 0.5) whole += 1;
    else if (fraction <= -0.5) whole -= 1;
    return std::copysign(whole, ms);
  }
  return stata_day_to_millis_any(day);
}
double stata_day_to_days_exact(double day);   // days since 1 January 1960 with the time as fraction

}  // namespace tabulon
