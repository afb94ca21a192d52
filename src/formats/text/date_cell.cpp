#include "formats/text/date_cell.h"

#include "api/env_record.h"
#include "dates/date_state.h"
#include "dates/day_number.h"
#include "formats/text/text_settings.h"

#include <cctype>
#include <cstring>

namespace tabulon {

namespace {

constexpr size_t kMaxDateCell = 78;
constexpr size_t kLegacyReach = 20;

const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// One part of a legacy date: skip `pos` punctuation characters and blanks, then read
// a number (or, for the month, a month name). -1 when the part is missing.
int legacy_part(const char* text, size_t len, int pos, char punct, bool month) {
  size_t i = 0;
  const size_t reach = len < kLegacyReach ? len : kLegacyReach;
  for (int k = 0; k < pos; ++k) {
    while (i < reach && text[i] != punct) ++i;
    if (i >= reach) return -1;
    ++i;
  }
  while (i < reach && text[i] == ' ') ++i;
  if (i >= len) return -1;
  if (std::isdigit(static_cast<unsigned char>(text[i]))) {
    int v = 0, n = 0;
    while (i < len && std::isdigit(static_cast<unsigned char>(text[i])) && n < 9) {
      v = v * 10 + (text[i] - '0');
      ++i;
      ++n;
    }
    return v;
  }
  if (month && i + 3 <= len) {
    for (int m = 0; m < 12; ++m) {
      bool same = true;
      for (int c = 0; c < 3 && same; ++c)
        same = std::toupper(static_cast<unsigned char>(text[i + c])) == kMonths[m][c];
      if (same) return m + 1;
    }
  }
  return -1;
}

int legacy_date(const DateCellParser& p, const char* text, size_t len, double* day) {
  const int d = legacy_part(text, len, p.day_pos, p.punct, false);
  const int m = legacy_part(text, len, p.month_pos, p.punct, true);
  int y = legacy_part(text, len, p.year_pos, p.punct, false);
  if (d < 1 || d > 31 || m < 1 || m > 12 || y < 0) return 0;
  if (y < 100) y = y >= p.cutoff % 100 ? 1900 + y : 2000 + y;
  DateParts parts;
  parts.year = y;
  parts.month = m - 1;
  parts.mday = d;
  parts.flags = kPartsDate;
  if (!parts_to_day(parts, day)) {
    *day = 0;
    return 0;
  }
  return 7;
}

// "m/d/yyyy" with one- or two-digit month and day: the common shape of month-first dates.
bool mdy_fast(const char* t, size_t len, double* day) {
  if (len < 8 || len > 10) return false;
  auto digit = [&](size_t i) { return t[i] >= '0' && t[i] <= '9'; };
  size_t i = 0;
  int m = 0, d = 0, y = 0;
  if (!digit(i)) return false;
  m = t[i++] - '0';
  if (digit(i)) m = m * 10 + (t[i++] - '0');
  if (t[i++] != '/' || !digit(i)) return false;
  d = t[i++] - '0';
  if (i < len && digit(i)) d = d * 10 + (t[i++] - '0');
  if (i >= len || t[i++] != '/' || len - i != 4) return false;
  for (size_t k = i; k < len; ++k) {
    if (!digit(k)) return false;
    y = y * 10 + (t[k] - '0');
  }
  if (m < 1 || m > 12 || d < 1 || y < 1 || d > month_length(y, m - 1)) return false;
  *day = static_cast<double>(days_before_year(y) + days_before_month(y, m - 1) + d - kDayNumberOffset);
  return true;
}

}  // namespace

bool date_pattern_is_mdy(const char* text) {
  static const char* const kMdy[] = {"%m[/][.]%d[/][,]%y", "%m[/]%d[/][,]%y[%$c]", "%m/%d/%y", "%m/%d/%Y"};
  if (!text) return false;
  for (const char* k : kMdy)
    if (std::strcmp(text, k) == 0) return true;
  return false;
}

int parse_date_cell(const DateCellParser& p, int ttype, const char* text, size_t len, double* day) {
  *day = 0;
  if (len > kMaxDateCell) len = kMaxDateCell;
  if (p.legacy) return legacy_date(p, text, len, day);
  if (ttype == 7 && p.date_is_mdy && mdy_fast(text, len, day)) return 7;
  const ParsePattern* pattern = ttype == 7 ? p.date : ttype == 8 ? p.time : ttype == 9 ? p.datetime : p.scan;
  if (!pattern || !p.names) return 0;
  DateParts parts;
  // A time alone is a duration: it may be negative ("-01:00:00").
  bool negative = false;
  if (!parse_date_text(*pattern, *p.names, p.cutoff, text, len, &parts)) {
    if ((ttype != 0 && ttype != 8) || len < 2 || text[0] != '-' ||
        !parse_date_text(*pattern, *p.names, p.cutoff, text + 1, len - 1, &parts) ||
        (parts.flags & (kPartsDate | kPartsTime)) != kPartsTime)
      return 0;
    negative = true;
  }
  const bool has_date = parts.flags & kPartsDate;
  const bool has_time = parts.flags & kPartsTime;
  int found;
  switch (ttype) {
    case 7:
    case 9:
      if (!has_date) return 0;
      found = ttype;
      break;
    case 8:
      if (!has_time) return 0;
      found = 8;
      break;
    default:
      if (has_date && has_time)
        found = 9;
      else if (has_date)
        found = 7;
      else if (has_time)
        found = 8;
      else
        return 0;
  }
  if (found == 8) {  // hours run past 23: 25:00:00 is a day and an hour
    if (parts.hour < 0 || parts.minute < 0 || parts.minute > 59 || parts.second < 0 || parts.second > 59 ||
        parts.millisecond < 0 || parts.millisecond > 999)
      return 0;
    const double seconds = parts.hour * 3600.0 + parts.minute * 60.0 + parts.second + parts.millisecond / 1000.0;
    *day = seconds_to_time(negative ? -seconds : seconds);
    return 8;
  }
  double v = 0;
  if (!parts_to_day(parts, &v)) return 0;
  *day = v;
  return found;
}

void date_cell_parser_init(DateCellParser& d, EnvRecord& env, const TextSettings& s, ParsePattern& date_fallback,
                           ParsePattern& time_fallback) {
  static const char* const kDefaultDateRead = "%m[/][.]%d[/][,]%y";
  static const char* const kDefaultTimeRead = "%H:%M[:%S[.%N]][%p]";
  d.names = &env.dates.names;
  d.cutoff = s.century_cutoff_full;
  if (const char* text = date_pattern_text(env, kPatternsRead, kDateKindDate)) {
    d.date = &env.dates.read[kDateKindDate];
    d.date_is_mdy = date_pattern_is_mdy(text);
  } else {
    compile_parse_pattern(kDefaultDateRead, &date_fallback);
    d.date = &date_fallback;
    d.date_is_mdy = true;
  }
  if (date_pattern_text(env, kPatternsRead, kDateKindTime)) {
    d.time = &env.dates.read[kDateKindTime];
  } else {
    compile_parse_pattern(kDefaultTimeRead, &time_fallback);
    d.time = &time_fallback;
  }
  d.datetime = &env.dates.read[kDateKindDateTime];
  d.scan = &env.dates.read[kDateKindScan];
  d.legacy = s.legacy_dates;
  d.year_pos = s.year_pos;
  d.month_pos = s.month_pos;
  d.day_pos = s.day_pos;
  d.punct = s.date_punct;
  if (d.legacy) d.cutoff = s.century_cutoff;
}

}  // namespace tabulon
