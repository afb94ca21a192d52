// Month and day names, the morning/afternoon words and the century cutoff of one
// environment. Every name is an owned copy.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tabulon {

struct DateNames {
  std::array<std::string, 12> month_long;
  std::array<std::string, 12> month_short;
  std::array<std::string, 7> day_long;   // Sunday first
  std::array<std::string, 7> day_short;
  std::array<std::string, 2> ampm;       // morning, afternoon
  int32_t century_cutoff = 20;           // an environment reads its cutoff from the text options

  DateNames();  // the English names
};

// Built-in English names (used by "%3" and as the defaults).
extern const char* const kEnglishMonthShort[12];
extern const char* const kEnglishMonthLong[12];
extern const char* const kEnglishDayShort[7];
extern const char* const kEnglishDayLong[7];

void date_names_set_english(DateNames& names);

// Date orders: 1 month-day-year, 2 day-month-year, 3 year-month-day.
constexpr int32_t kDateOrderMdy = 1;
constexpr int32_t kDateOrderDmy = 2;
constexpr int32_t kDateOrderYmd = 3;

// Names and date order of a locale ("" = the one the environment variables name), read
// without touching the process locale. Names the locale lacks, or gives in a character
// set other than UTF-8, stay as they are. False when the locale cannot be loaded.
bool date_names_from_locale(const char* locale_name, DateNames& names, int32_t* date_order);

// Date order of a strftime-style date layout such as "%d.%m.%Y".
int32_t date_order_of_layout(const char* layout);

}  // namespace tabulon
