#include "dates/day_number.h"

#include <cmath>
#include <ctime>

namespace tabulon {

namespace {

constexpr int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int32_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int64_t kMsPerDay = 86400000;

}  // namespace

bool is_leap_year(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t days_before_year(int32_t year) {
  int32_t p = year > 0 ? year - 1 : 0;
  return 365 * p + p / 4 - p / 100 + p / 400;
}

int32_t days_before_month(int32_t year, int32_t month0) {
  return kDaysBeforeMonth[month0] + (month0 >= 2 && is_leap_year(year) ? 1 : 0);
}

int32_t month_length(int32_t year, int32_t month0) {
  return kMonthDays[month0] + (month0 == 1 && is_leap_year(year) ? 1 : 0);
}

bool parts_to_ordinal(const DateParts& parts, int32_t* ordinal) {
  // Year 0 would share its ordinals with year 1: the calendar starts at year 1.
  if (parts.year < 1 || parts.year > 9999 || parts.month < 0 || parts.month > 11) return false;
  int32_t base = days_before_year(parts.year);
  if (parts.mday >= 1) {
    if (parts.mday > month_length(parts.year, parts.month)) return false;
    *ordinal = base + days_before_month(parts.year, parts.month) + parts.mday;
    return true;
  }
  int32_t last = is_leap_year(parts.year) ? 365 : 364;
  if (parts.yday < 0 || parts.yday > last) return false;
  *ordinal = base + parts.yday + 1;
  return true;
}

bool ordinal_to_parts(int32_t ordinal, DateParts* parts) {
  if (ordinal < 1 || ordinal > kMaxOrdinal) return false;
  int32_t year = static_cast<int32_t>(static_cast<int64_t>(ordinal) * 400 / 146097);
  if (year < 1) year = 1;
  while (year > 1 && days_before_year(year) >= ordinal) --year;
  while (days_before_year(year + 1) < ordinal) ++year;
  int32_t yday = ordinal - days_before_year(year) - 1;  // 0-based
  int32_t leap = is_leap_year(year) ? 1 : 0;
  int32_t month = 0;
  int32_t rest = yday;
  while (month < 11 && rest >= month_length(year, month)) rest -= month_length(year, month++);
  parts->leap = leap;
  parts->year = year;
  parts->month = month;
  parts->mday = rest + 1;
  parts->yday = yday;
  parts->wday = ordinal % 7;
  return true;
}

double combine_day_time(double whole_day, double fraction) {
  return whole_day < 0 ? whole_day - (fraction + kTimeNudge) : whole_day + (fraction + kTimeNudge);
}

double signed_days_to_day_number(double days) {
  if (days >= 0) return days;
  const double whole = std::floor(days);
  const double fraction = days - whole;
  return fraction == 0 ? whole : whole - fraction;
}

double day_number_to_signed_days(double day) {
  if (day >= 0) return day;
  const double whole = std::trunc(day);
  const double fraction = whole - day;  // time of day
  return fraction == 0 ? whole : whole + fraction;
}

double time_to_seconds(double time) { return std::nearbyint(time * 86400e6) / 1e6; }

bool time_to_duration(double time, DurationParts* out) {
  // 1e14 days hold about 8.6e21 ms: beyond int64; refuse rather than wrap.
  if (!std::isfinite(time) || std::fabs(time) > 1e11) return false;
  DurationParts d;
  d.negative = time < 0;
  const int64_t ms = static_cast<int64_t>(std::floor((std::fabs(time) + kTimeNudge) * static_cast<double>(kMsPerDay)));
  d.hours = ms / 3600000;
  d.minute = static_cast<int32_t>(ms / 60000 % 60);
  d.second = static_cast<int32_t>(ms / 1000 % 60);
  d.millisecond = static_cast<int32_t>(ms % 1000);
  if (d.hours == 0 && d.minute == 0 && d.second == 0 && d.millisecond == 0) d.negative = false;
  *out = d;
  return true;
}

bool parts_to_day(const DateParts& parts, double* day) {
  double whole = 0;
  if (parts.flags & kPartsDate) {
    int32_t ordinal = 0;
    if (!parts_to_ordinal(parts, &ordinal)) return false;
    whole = ordinal - kDayNumberOffset;
  }
  if (parts.flags & kPartsTime) {
    // An out-of-range field would silently move the value into another day.
    if (parts.hour < 0 || parts.hour > 23 || parts.minute < 0 || parts.minute > 59 || parts.second < 0 ||
        parts.second > 59 || parts.millisecond < 0 || parts.millisecond > 999)
      return false;
    double seconds = parts.hour * 3600.0 + parts.minute * 60.0 + parts.second;
    if (parts.millisecond != 0) seconds += parts.millisecond / 1000.0;
    *day = combine_day_time(whole, seconds / 86400.0);
    return true;
  }
  *day = whole;
  return true;
}

bool day_to_parts(double day, DateParts* parts) {
  if (!std::isfinite(day)) return false;
  double whole = std::trunc(day);
  if (whole + kDayNumberOffset < 1 || whole + kDayNumberOffset > kMaxOrdinal) return false;
  double fraction = std::fabs(day - whole);
  int32_t ordinal = static_cast<int32_t>(whole) + kDayNumberOffset;
  int64_t ms = 0;
  if (fraction != 0) {
    ms = static_cast<int64_t>(std::floor((fraction + kTimeNudge) * static_cast<double>(kMsPerDay)));
    if (ms >= kMsPerDay) {  // within the nudge of midnight: the next day begins
      ms -= kMsPerDay;
      ++ordinal;
    }
  }
  DateParts result;
  if (!ordinal_to_parts(ordinal, &result)) return false;
  result.hour = static_cast<int32_t>(ms / 3600000);
  result.minute = static_cast<int32_t>(ms / 60000 % 60);
  result.second = static_cast<int32_t>(ms / 1000 % 60);
  result.millisecond = static_cast<int32_t>(ms % 1000);
  result.afternoon = result.hour >= 12 ? 1 : 0;
  result.flags = kPartsDate | (fraction != 0 ? kPartsTime : 0);
  *parts = result;
  return true;
}

bool day_add(double day, int32_t years, int32_t months, int32_t weeks, int32_t days, double* out) {
  DateParts parts;
  if (!day_to_parts(day, &parts)) return false;
  int64_t year_count = static_cast<int64_t>(years) + months / 12;
  int32_t month = parts.month + months % 12;
  if (month > 11) {
    month -= 12;
    ++year_count;
  } else if (month < 0) {
    month += 12;
    --year_count;
  }
  int64_t year = parts.year + year_count;
  if (year < 1 || year > 9999) return false;
  parts.year = static_cast<int32_t>(year);
  parts.month = month;
  // A month end (or any day past the target month's end) becomes the target's last day.
  int32_t length = month_length(parts.year, month);
  if (parts.mday > length) parts.mday = length;
  int32_t ordinal = 0;
  if (!parts_to_ordinal(parts, &ordinal)) return false;
  int64_t result = static_cast<int64_t>(ordinal) + static_cast<int64_t>(weeks) * 7 + days;
  if (result < 1 || result > kMaxOrdinal) return false;
  *out = static_cast<double>(result - kDayNumberOffset);
  return true;
}

void current_parts(DateParts* parts) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  time_t seconds = now.tv_sec;
  tm local{};
  localtime_r(&seconds, &local);
  DateParts result;
  result.year = local.tm_year + 1900;
  result.month = local.tm_mon;
  result.mday = local.tm_mday;
  int32_t ordinal = 0;
  if (parts_to_ordinal(result, &ordinal)) ordinal_to_parts(ordinal, &result);
  result.hour = local.tm_hour;
  result.minute = local.tm_min;
  result.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  result.millisecond = static_cast<int32_t>(now.tv_nsec / 1000000);
  result.afternoon = result.hour >= 12 ? 1 : 0;
  result.flags = kPartsDate | kPartsTime;
  *parts = result;
}

}  // namespace tabulon
