// Stata display formats and the conversion of Stata date values to day numbers and back.
#pragma once

#include <cstddef>
#include <cstdint>

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
double stata_value_to_day(double value, uint8_t date_kind, bool time_only);

// Day number to the values the writer stores.
int32_t stata_day_to_days(double day);        // whole days since 1 January 1960
double stata_day_fraction(double day);        // time of day, 0 <= f < 1
double stata_day_to_millis(double day);       // milliseconds since 1 January 1960, rounded
double stata_day_to_days_exact(double day);   // days since 1 January 1960 with the time as fraction

}  // namespace tabulon
