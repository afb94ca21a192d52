// Dates and times between ODBC's structures and day numbers (days since 30 December 1899 plus
// the time of day as a fraction; before that day the time is taken away from the day).
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cmath>
#include <cstdint>

namespace odbc {

inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;  // days since 1970-01-01
}

inline void civil_from_days(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kUnixDay = 25569;  // day number of 1 January 1970

inline double day_number(const SQL_DATE_STRUCT& d) {
  return static_cast<double>(days_from_civil(d.year, d.month, d.day) + kUnixDay);
}

inline double time_fraction(int hour, int minute, double second) { return (hour * 3600.0 + minute * 60.0 + second) / 86400.0; }

inline double day_number(const SQL_TIMESTAMP_STRUCT& t) {
  const double day = static_cast<double>(days_from_civil(t.year, t.month, t.day) + kUnixDay);
  const double f = time_fraction(t.hour, t.minute, t.second + t.fraction / 1e9);
  return day < 0 ? day - f : day + f;
}

// Splits a day number into the day and the microseconds of its time. Day numbers hold
// milliseconds: finer digits are noise of the conversion and are rounded away.
inline void split(double x, int64_t& day, int64_t& micros) {
  double whole = std::trunc(x);
  double frac = std::fabs(x - whole);
  micros = static_cast<int64_t>(std::llround(frac * 86400e3)) * 1000;
  day = static_cast<int64_t>(whole);
  if (micros >= 86400000000LL) {
    micros -= 86400000000LL;
    day += x < 0 ? -1 : 1;
  }
}

inline SQL_DATE_STRUCT to_date(double x) {
  int64_t day, micros;
  split(x, day, micros);
  int y;
  unsigned m, d;
  civil_from_days(day - kUnixDay, y, m, d);
  return SQL_DATE_STRUCT{static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(m), static_cast<SQLUSMALLINT>(d)};
}

inline SQL_TIMESTAMP_STRUCT to_timestamp(double x) {
  int64_t day, micros;
  split(x, day, micros);
  int y;
  unsigned m, d;
  civil_from_days(day - kUnixDay, y, m, d);
  const int64_t s = micros / 1000000;
  SQL_TIMESTAMP_STRUCT t{};
  t.year = static_cast<SQLSMALLINT>(y);
  t.month = static_cast<SQLUSMALLINT>(m);
  t.day = static_cast<SQLUSMALLINT>(d);
  t.hour = static_cast<SQLUSMALLINT>(s / 3600);
  t.minute = static_cast<SQLUSMALLINT>(s / 60 % 60);
  t.second = static_cast<SQLUSMALLINT>(s % 60);
  t.fraction = static_cast<SQLUINTEGER>(micros % 1000000 * 1000);
  return t;
}

// A time of day; false when the value is not one (negative, or a day or more).
inline bool to_time(double x, SQL_TIME_STRUCT& out) {
  if (!(x >= 0) || x >= 1) return false;
  const int64_t s = static_cast<int64_t>(std::llround(x * 86400.0));
  if (s >= 86400) return false;
  out.hour = static_cast<SQLUSMALLINT>(s / 3600);
  out.minute = static_cast<SQLUSMALLINT>(s / 60 % 60);
  out.second = static_cast<SQLUSMALLINT>(s % 60);
  return true;
}

}  // namespace odbc
