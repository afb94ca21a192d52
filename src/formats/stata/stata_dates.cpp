#include "formats/stata/stata_dates.h"

#include <cmath>

#include "dates/day_number.h"
#include "formats/stata/stata_codes.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

// Instants (ms since 1960, leap seconds counted) at which Stata's %tC clock inserts a second.
constexpr double kLeapSeconds[] = {
    394415999000.0,  410313600000.0,  441849601000.0,  473385602000.0,  504921603000.0,
    536544004000.0,  568080005000.0,  599616006000.0,  631152007000.0,  678412808000.0,
    709948809000.0,  741484810000.0,  804643211000.0,  883612812000.0,  946771213000.0,
    978307214000.0,  1025568015000.0, 1057104016000.0, 1088640017000.0, 1136073618000.0,
    1183334419000.0, 1230768020000.0, 1451692821000.0, 1546387163000.0, 1656719964000.0,
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

StataFormatInfo stata_parse_format(const char* text, size_t len) {
  StataFormatInfo info;
  size_t n = 0;
  while (n < len && text[n]) ++n;
  if (n < 2 || text[0] != '%') return info;
  size_t i = 1;
  if (i < n && text[i] == '-') ++i;  // left-aligned forms read like the others
  if (i < n && text[i] == 'd') {
    info.ttype = T_DATE;
    info.date_kind = kStDays;
    return info;
  }
  if (i + 1 < n && text[i] == 't') {
    const char k = text[i + 1];
    if (k == 'd') {
      info.ttype = T_DATE;
      info.date_kind = kStDays;
    } else if (k == 'c' || k == 'C') {
      const char next = i + 2 < n ? text[i + 2] : 0;
      info.ttype = (next == 'h' || next == 'H') ? T_TIME : T_DATETIME;
      info.date_kind = k == 'c' ? kStMillis : kStMillisLeap;
    }
    return info;
  }
  uint32_t width = 0;
  int digits = 0;
  while (i < n && is_digit(text[i]) && digits < 7) {
    width = width * 10 + static_cast<uint32_t>(text[i++] - '0');
    ++digits;
  }
  if (digits) info.print_width = width;
  if (i < n) ++i;  // the point (or comma), or the letter of a format without decimals
  uint32_t decimals = 0;
  digits = 0;
  while (i < n && is_digit(text[i]) && digits < 7) {
    decimals = decimals * 10 + static_cast<uint32_t>(text[i++] - '0');
    ++digits;
  }
  if (digits) info.decimals = static_cast<uint8_t>(decimals > 254 ? 254 : decimals);
  return info;
}

double stata_remove_leap_seconds(double ms) {
  if (ms < kLeapSeconds[0]) return ms;
  int passed = 0;
  for (double at : kLeapSeconds) {
    if (at > ms) break;
    ++passed;
  }
  return ms - 1000.0 * passed;
}

double stata_value_to_day_any(double value, uint8_t date_kind, bool time_only) {
  double days = value;
  if (date_kind == kStMillisLeap) days = stata_remove_leap_seconds(days);
  if (date_kind == kStMillis || date_kind == kStMillisLeap) days /= kMsPerDayStata;
  if (time_only) return days;  // a duration: whole days and sign kept
  return signed_days_to_day_number(days + kStataDay0);
}

int32_t stata_day_to_days_any(double day) {
  const double d = std::trunc(day) - kStataDay0;
  if (!(d > -2147483621.0)) return -2147483620;
  if (!(d < 2147483621.0)) return 2147483620;
  return static_cast<int32_t>(d);
}

double stata_day_fraction(double day) { return std::fabs(day - std::trunc(day)); }

double stata_day_to_days_exact(double day) { return day_number_to_signed_days(day) - kStataDay0; }

double stata_day_to_millis_any(double day) { return std::round(stata_day_to_days_exact(day) * kMsPerDayStata); }

}  // namespace tabulon
