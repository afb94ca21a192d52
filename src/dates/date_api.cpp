// Exported date functions.
#include <cmath>

#include "api/call_frame.h"
#include "dates/date_pattern.h"
#include "dates/date_state.h"
#include "dates/day_number.h"

using namespace tabulon;

namespace {

// Name slots of DX_SetDateFmt categories 4..8.
std::string* name_slot(DateNames& names, int32_t category, int32_t index) {
  auto in = [index](int32_t count) { return index >= 0 && index < count; };
  switch (category) {
    case 4: return in(7) ? &names.day_long[index] : nullptr;
    case 5: return in(7) ? &names.day_short[index] : nullptr;
    case 6: return in(12) ? &names.month_long[index] : nullptr;
    case 7: return in(12) ? &names.month_short[index] : nullptr;
    case 8: return in(2) ? &names.ampm[index] : nullptr;
    default: return nullptr;
  }
}

const char* english_name(int32_t category, int32_t index) {
  switch (category) {
    case 4: return kEnglishDayLong[index];
    case 5: return kEnglishDayShort[index];
    case 6: return kEnglishMonthLong[index];
    case 7: return kEnglishMonthShort[index];
    default: return index == 0 ? "AM" : "PM";
  }
}

}  // namespace

DX_EXPORT int32_t DX_SetDateFmt(int32_t env, int32_t category, int32_t index, const char* text) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (category >= 1 && category <= 3) return date_store_pattern(e, category, index, text) ? 0 : -1;
    std::string* slot = name_slot(e.dates.names, category, index);
    if (!slot) return -1;
    *slot = text ? text : english_name(category, index);  // null restores the built-in name
    return 0;
  });
}

DX_EXPORT int32_t DX_MdyToIdate(int32_t month, int32_t day, int32_t year, double* out) {
  if (!out) return -1;
  if (day < 1 || day > 32 || year < -1900 || year > 9999 - 1900) return -1;
  DateParts parts;
  parts.month = month - 1;
  parts.mday = day;
  parts.year = year + 1900;
  parts.flags = kPartsDate;
  return parts_to_day(parts, out) ? 0 : -1;
}

DX_EXPORT int32_t DX_IdateToMdy(double day, int32_t* month, int32_t* mday, int32_t* year) {
  DateParts parts;
  if (!day_to_parts(day, &parts)) return -1;
  if (month) *month = parts.month + 1;
  if (mday) *mday = parts.mday;
  if (year) *year = parts.year - 1900;
  return 0;
}

DX_EXPORT int32_t DX_ToIDate(int32_t month, int32_t day, int32_t year, int32_t hour, int32_t minute, int32_t second,
                             double* out) {
  if (!out) return -1;
  DateParts parts;
  parts.month = month;
  parts.mday = day;
  parts.year = year;
  parts.hour = hour;
  parts.minute = minute;
  parts.second = second;
  // A day of 0 means no date; a zero time means no time. A negative day is not a date.
  if (day < 0) return -1;
  parts.flags = (day != 0 ? kPartsDate : 0) | (hour || minute || second ? kPartsTime : 0);
  return parts_to_day(parts, out) ? 0 : -1;
}

DX_EXPORT int32_t DX_FromIDate(double day, int32_t* month, int32_t* mday, int32_t* year, int32_t* hour,
                               int32_t* minute, int32_t* second) {
  DateParts parts;
  if (!day_to_parts(day, &parts)) return -1;
  if (month) *month = parts.month;
  if (mday) *mday = parts.mday;
  if (year) *year = parts.year;
  if (hour) *hour = parts.hour;
  if (minute) *minute = parts.minute;
  if (second) *second = parts.second;
  return 0;
}

DX_EXPORT int32_t DX_FormatIDate(int32_t env, double day, const char* pattern, char* out, int32_t size) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (!out || size <= 0) return -1;
    // Without a pattern the value itself says what it holds.
    int32_t kind = kDateKindDate;
    if (day == kNowDayNumber)
      kind = kDateKindDateTime;
    else if (std::isfinite(day) && day != std::trunc(day))
      kind = std::trunc(day) == 0 ? kDateKindTime : kDateKindDateTime;
    ptrdiff_t n = format_day_text(pattern, kind, e.dates.names, day, out, static_cast<size_t>(size));
    return n < 0 ? -1 : static_cast<int32_t>(n);
  });
}
