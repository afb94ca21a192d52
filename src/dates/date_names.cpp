#include "dates/date_names.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

namespace tabulon {

const char* const kEnglishMonthShort[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kEnglishMonthLong[12] = {"January", "February", "March",     "April",   "May",      "June",
                                           "July",    "August",   "September", "October", "November", "December"};
const char* const kEnglishDayShort[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kEnglishDayLong[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

DateNames::DateNames() { date_names_set_english(*this); }

void date_names_set_english(DateNames& names) {
  for (int i = 0; i < 12; ++i) {
    names.month_long[i] = kEnglishMonthLong[i];
    names.month_short[i] = kEnglishMonthShort[i];
  }
  for (int i = 0; i < 7; ++i) {
    names.day_long[i] = kEnglishDayLong[i];
    names.day_short[i] = kEnglishDayShort[i];
  }
  names.ampm[0] = "AM";
  names.ampm[1] = "PM";
}

int32_t date_order_of_layout(const char* layout) {
  if (!layout) return kDateOrderMdy;
  for (const char* p = layout; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0' || *p == '^' || *p == '#') ++p;
    switch (*p) {
      case 'd': case 'e': return kDateOrderDmy;
      case 'm': case 'b': case 'B': case 'h': case 'D': return kDateOrderMdy;
      case 'y': case 'Y': case 'C': case 'F': case 'G': return kDateOrderYmd;
      case '\0': return kDateOrderMdy;
      default: break;
    }
  }
  return kDateOrderMdy;
}

namespace {

bool is_ascii(const char* text) {
  for (; *text; ++text)
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  return true;
}

void take(std::string& slot, const char* text, bool utf8) {
  if (text && *text && (utf8 || is_ascii(text))) slot = text;
}

}  // namespace

bool date_names_from_locale(const char* locale_name, DateNames& names, int32_t* date_order) {
  locale_t loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, locale_name ? locale_name : "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return false;
  const char* codeset = nl_langinfo_l(CODESET, loc);
  bool utf8 = codeset && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0);
  static const nl_item kMon[12] = {MON_1, MON_2, MON_3, MON_4, MON_5, MON_6,
                                   MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
  static const nl_item kAbMon[12] = {ABMON_1, ABMON_2, ABMON_3, ABMON_4, ABMON_5, ABMON_6,
                                     ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  static const nl_item kDay[7] = {DAY_1, DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7};
  static const nl_item kAbDay[7] = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4, ABDAY_5, ABDAY_6, ABDAY_7};
  for (int i = 0; i < 12; ++i) {
    take(names.month_long[i], nl_langinfo_l(kMon[i], loc), utf8);
    take(names.month_short[i], nl_langinfo_l(kAbMon[i], loc), utf8);
  }
  for (int i = 0; i < 7; ++i) {
    take(names.day_long[i], nl_langinfo_l(kDay[i], loc), utf8);
    take(names.day_short[i], nl_langinfo_l(kAbDay[i], loc), utf8);
  }
  // Locales on a 24-hour clock give empty words: keep the ones we have.
  take(names.ampm[0], nl_langinfo_l(AM_STR, loc), utf8);
  take(names.ampm[1], nl_langinfo_l(PM_STR, loc), utf8);
  if (date_order) *date_order = date_order_of_layout(nl_langinfo_l(D_FMT, loc));
  freelocale(loc);
  return true;
}

}  // namespace tabulon
