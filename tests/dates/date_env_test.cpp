// The environment's date names and patterns, and the exported date functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "dates/date_pattern.h"
#include "dates/date_state.h"
#include "dates/day_number.h"
#include "dates/package_date_formats.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

// Environments take their names from the locale the environment variables name.
const bool kLocaleFixed = [] { return setenv("LC_ALL", "C.UTF-8", 1) == 0; }();

struct Env {
  int32_t handle;
  Env() : handle(DX_OpenEnvironment()) {}
  ~Env() { DX_CloseEnvironment(handle); }
  EnvRecord& rec() { return *env_from_handle(handle); }
};

std::string format_value(EnvRecord& env, int ttype, double day) {
  char buf[128];
  size_t n = date_format_value(env, ttype, day, buf, sizeof buf);
  EXPECT_EQ(n, strlen(buf));
  return buf;
}

bool parse_value(EnvRecord& env, int kind, const std::string& text, double* out) {
  return date_parse_value(env, kind, text.data(), text.size(), out);
}

double mdy(int32_t m, int32_t d, int32_t y) {
  double v = 0;
  EXPECT_EQ(DX_MdyToIdate(m, d, y - 1900, &v), 0);
  return v;
}

}  // namespace

TEST(DateEnv, SetDateFmtRanges) {
  ASSERT_TRUE(kLocaleFixed);
  Env env;
  struct Case {
    int32_t category, index, result;
  } cases[] = {
      {1, 0, 0}, {1, 3, 0},  {1, 4, -1}, {1, -1, -1}, {2, 2, 0},  {2, 3, -1}, {3, 2, 0},  {3, 3, -1},
      {4, 6, 0}, {4, 7, -1}, {5, 6, 0},  {5, 7, -1},  {6, 11, 0}, {6, 12, -1}, {7, 11, 0}, {7, 12, -1},
      {8, 1, 0}, {8, 2, -1}, {0, 0, -1}, {9, 0, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DX_SetDateFmt(env.handle, c.category, c.index, "%d"), c.result) << c.category << "," << c.index;
  EXPECT_EQ(DX_SetDateFmt(-5, 1, 0, "%d"), -99);
  EXPECT_STREQ(date_pattern_text(env.rec(), 3, 2), "%d");  // the third set is kept
}

TEST(DateEnv, FreshEnvironmentReadsAndWritesWithTheOptionDefaults) {
  Env env;
  EnvRecord& e = env.rec();
  double day = 0;
  ASSERT_TRUE(parse_value(e, kDateKindDate, "3/4/05", &day));
  EXPECT_EQ(day, mdy(3, 4, 2005));
  ASSERT_TRUE(parse_value(e, kDateKindTime, "12:30 AM", &day));
  EXPECT_NEAR(day, 30 / 1440.0, 1e-8);
  ASSERT_TRUE(parse_value(e, kDateKindDateTime, "3/4/05 14:30:15.25 (UTC)", &day));
  EXPECT_EQ(format_value(e, T_DATETIME, day), "3/4/2005 14:30:15");
  EXPECT_EQ(format_value(e, T_DATE, day), "3/4/2005");
  // A time is a duration: its whole days count as hours.
  EXPECT_EQ(format_value(e, T_TIME, day - std::trunc(day)), "14:30:15");
  EXPECT_EQ(format_value(e, T_TIME, 1 + day - std::trunc(day)), "38:30:15");
}

TEST(DateEnv, WritingPatternsAndBuiltInDefaults) {
  Env env;
  EnvRecord& e = env.rec();
  for (int c = 1; c <= 2; ++c)
    for (int i = 0; i < 3; ++i) DX_SetDateFmt(env.handle, c, i, nullptr);
  const double v = mdy(3, 5, 2024) + 0.5;
  EXPECT_EQ(format_value(e, T_DATE, v), "03/05/2024");
  EXPECT_EQ(format_value(e, T_TIME, 0.5), "12:00:00");
  EXPECT_EQ(format_value(e, T_TIME, -0.5), "-12:00:00");
  EXPECT_EQ(format_value(e, T_DATETIME, v), "03/05/2024 12:00:00");

  // The text is copied: the caller's buffer may change afterwards.
  char pattern[32];
  strcpy(pattern, "%Y-%0m-%0d");
  ASSERT_EQ(DX_SetDateFmt(env.handle, 2, 0, pattern), 0);
  strcpy(pattern, "garbage");
  ASSERT_EQ(DX_SetDateFmt(env.handle, 2, 1, "%0I:%0M %p"), 0);
  ASSERT_EQ(DX_SetDateFmt(env.handle, 2, 2, "%d %b %Y %H.%0M"), 0);
  EXPECT_EQ(format_value(e, T_DATE, v), "2024-03-05");
  EXPECT_EQ(format_value(e, T_TIME, 0.5), "12:00 PM");
  EXPECT_EQ(format_value(e, T_DATETIME, v), "5 Mar 2024 12.00");
  EXPECT_STREQ(date_pattern_text(e, 2, 0), "%Y-%0m-%0d");

  char small[6];
  EXPECT_EQ(date_format_value(e, T_DATE, v, small, sizeof small), 5u);
  EXPECT_STREQ(small, "2024-");
  EXPECT_EQ(format_value(e, T_DATE, 1e9), "");  // cannot be split

  ASSERT_EQ(DX_SetDateFmt(env.handle, 2, 0, ""), 0);  // empty unsets
  EXPECT_EQ(date_pattern_text(e, 2, 0), nullptr);
  EXPECT_EQ(format_value(e, T_DATE, v), "03/05/2024");
}

TEST(DateEnv, ReadingPatternsAndCutoff) {
  Env env;
  EnvRecord& e = env.rec();
  for (int i = 0; i < 4; ++i) DX_SetDateFmt(env.handle, 1, i, nullptr);
  double day = 0;
  ASSERT_TRUE(parse_value(e, kDateKindDate, "3/4/05", &day));
  EXPECT_EQ(day, mdy(3, 4, 2005));
  EXPECT_FALSE(parse_value(e, kDateKindDate, "", &day));       // nothing read: no value
  EXPECT_FALSE(parse_value(e, kDateKindDate, "   ", &day));
  EXPECT_FALSE(parse_value(e, kDateKindDate, "4/31/2023", &day));  // no such day
  EXPECT_FALSE(parse_value(e, kDateKindTime, "24:00", &day));
  EXPECT_FALSE(parse_value(e, 4, "3/4/05", &day));

  ASSERT_TRUE(parse_value(e, kDateKindTime, "1:05 pm", &day));
  EXPECT_NEAR(day, (13 * 60 + 5) / 1440.0, 1e-8);

  ASSERT_EQ(DX_SetDateFmt(env.handle, 1, 0, "%d.%m.%Y"), 0);
  ASSERT_TRUE(parse_value(e, kDateKindDate, "4.3.2005", &day));
  EXPECT_EQ(day, mdy(3, 4, 2005));
  EXPECT_FALSE(parse_value(e, kDateKindDate, "3/4/05", &day));
  ASSERT_TRUE(parse_value(e, kDateKindScan, "3/4/05 10:00", &day));  // the others keep their patterns
  EXPECT_NEAR(day, mdy(3, 4, 2005) + 10 / 24.0, 1e-8);

  ASSERT_EQ(DX_SetDateFmt(env.handle, 1, 1, "%H:%M["), 0);  // broken pattern: nothing parses
  EXPECT_FALSE(parse_value(e, kDateKindTime, "10:00", &day));

  ASSERT_EQ(DX_SetDateFmt(env.handle, 1, 0, "%m/%d/%y"), 0);
  ASSERT_EQ(DX_TxtCenturyCutoff(env.handle, 1950), 0);
  ASSERT_TRUE(parse_value(e, kDateKindDate, "1/2/49", &day));
  EXPECT_EQ(day, mdy(1, 2, 2049));
  ASSERT_TRUE(parse_value(e, kDateKindDate, "1/2/50", &day));
  EXPECT_EQ(day, mdy(1, 2, 1950));
  ASSERT_EQ(DX_TxtCenturyCutoff(env.handle, 30), 0);
  ASSERT_TRUE(parse_value(e, kDateKindDate, "1/2/29", &day));
  EXPECT_EQ(day, mdy(1, 2, 2029));
  ASSERT_TRUE(parse_value(e, kDateKindDate, "1/2/30", &day));
  EXPECT_EQ(day, mdy(1, 2, 1930));
}

TEST(DateEnv, NamesAreCopiedUsedAndRestorable) {
  Env env;
  EnvRecord& e = env.rec();
  DX_SetDateFmt(env.handle, 1, 0, nullptr);
  char name[16];
  strcpy(name, "Mars");
  ASSERT_EQ(DX_SetDateFmt(env.handle, 6, 2, name), 0);
  strcpy(name, "xxxx");
  ASSERT_EQ(DX_SetDateFmt(env.handle, 7, 2, "mrs"), 0);
  ASSERT_EQ(DX_SetDateFmt(env.handle, 4, 2, "mardi"), 0);
  ASSERT_EQ(DX_SetDateFmt(env.handle, 5, 2, "mar."), 0);
  ASSERT_EQ(DX_SetDateFmt(env.handle, 8, 1, "soir"), 0);
  char buf[64];
  const double v = mdy(3, 5, 2024) + 0.75;
  ASSERT_GT(DX_FormatIDate(env.handle, v, "%A %a %B %b %p", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "mardi mar. Mars mrs soir");
  double day = 0;
  ASSERT_EQ(DX_SetDateFmt(env.handle, 1, 0, "%d %m %Y"), 0);
  ASSERT_TRUE(parse_value(e, kDateKindDate, "5 MRS 2024", &day));
  EXPECT_EQ(day, mdy(3, 5, 2024));
  ASSERT_EQ(DX_SetDateFmt(env.handle, 6, 2, nullptr), 0);  // back to the built-in name
  ASSERT_TRUE(parse_value(e, kDateKindDate, "5 march 2024", &day));
  // Another environment keeps its own names.
  Env other;
  ASSERT_GT(DX_FormatIDate(other.handle, v, "%A %p", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "Tuesday PM");
}

TEST(DateEnv, MdyAndIdateConversions) {
  struct Case {
    int32_t m, d, y;
    int32_t result;
    double day;
  } cases[] = {
      {1, 1, 1900, 0, 2},      {12, 30, 1899, 0, 0},   {2, 28, 1900, 0, 60},   {3, 1, 1900, 0, 61},
      {1, 1, 1960, 0, 21916},  {12, 29, 1899, 0, -1},  {2, 29, 1900, -1, 0},   {2, 30, 2000, -1, 0},
      {1, 32, 2000, -1, 0},    {1, 33, 2000, -1, 0},   {1, 0, 2000, -1, 0},    {13, 1, 2000, -1, 0},
      {0, 1, 2000, -1, 0},     {1, 1, 10000, -1, 0},   {1, 1, 0, -1, 0},
  };
  for (const Case& c : cases) {
    double v = 0;
    EXPECT_EQ(DX_MdyToIdate(c.m, c.d, c.y - 1900, &v), c.result) << c.m << "/" << c.d << "/" << c.y;
    EXPECT_EQ(v, c.day);
    if (c.result != 0) continue;
    int32_t m = 0, d = 0, y = 0;
    ASSERT_EQ(DX_IdateToMdy(combine_day_time(v, 0.3), &m, &d, &y), 0);  // a time does not move the date
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
    EXPECT_EQ(y, c.y - 1900);
  }
  EXPECT_EQ(DX_MdyToIdate(1, 1, 2000, nullptr), -1);
  EXPECT_EQ(DX_MdyToIdate(1, 1, INT32_MAX, nullptr), -1);
  int32_t m = 7, d = 7, y = 7;
  EXPECT_EQ(DX_IdateToMdy(1e10, &m, &d, &y), -1);
  EXPECT_EQ(m, 7);
}

TEST(DateEnv, ToAndFromIDate) {
  double v = -1;
  ASSERT_EQ(DX_ToIDate(2, 29, 2024, 0, 0, 0, &v), 0);  // month 0..11, full year
  EXPECT_EQ(v, mdy(3, 29, 2024));
  ASSERT_EQ(DX_ToIDate(0, 0, 0, 6, 30, 15, &v), 0);  // time only
  EXPECT_NEAR(v, (6 * 3600 + 30 * 60 + 15) / 86400.0, 1e-8);
  ASSERT_EQ(DX_ToIDate(11, 31, 1999, 23, 59, 59, &v), 0);
  int32_t mo, d, y, h, mi, s;
  ASSERT_EQ(DX_FromIDate(v, &mo, &d, &y, &h, &mi, &s), 0);
  EXPECT_EQ(mo, 11);
  EXPECT_EQ(d, 31);
  EXPECT_EQ(y, 1999);
  EXPECT_EQ(h, 23);
  EXPECT_EQ(mi, 59);
  EXPECT_EQ(s, 59);
  ASSERT_EQ(DX_ToIDate(0, 0, 0, 0, 0, 0, &v), 0);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(DX_ToIDate(1, 30, 2023, 0, 0, 0, &v), -1);  // 30 February
  EXPECT_EQ(DX_ToIDate(12, 1, 2023, 0, 0, 0, &v), -1);
  EXPECT_EQ(DX_ToIDate(0, 1, 2023, 24, 0, 0, &v), -1);
  EXPECT_EQ(DX_ToIDate(0, -3, 2023, 0, 0, 0, &v), -1);
  EXPECT_EQ(DX_FromIDate(-1e9, &mo, &d, &y, &h, &mi, &s), -1);
}

TEST(DateEnv, FormatIDate) {
  Env env;
  char buf[64];
  EXPECT_EQ(DX_FormatIDate(env.handle, 2.5, "%Y-%0m-%0dT%0H:%0M:%0S", buf, sizeof buf), 19);
  EXPECT_STREQ(buf, "1900-01-01T12:00:00");
  // Without a pattern the value picks the built-in one.
  ASSERT_GT(DX_FormatIDate(env.handle, 2, nullptr, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "01/01/1900");
  ASSERT_GT(DX_FormatIDate(env.handle, 0.25, nullptr, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "06:00:00");
  ASSERT_GT(DX_FormatIDate(env.handle, 2.25, "", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "01/01/1900 06:00:00");
  EXPECT_EQ(DX_FormatIDate(env.handle, 2.25, "%x", buf, 4), 3);
  EXPECT_STREQ(buf, "01/");
  EXPECT_EQ(DX_FormatIDate(env.handle, 1e12, "%x", buf, sizeof buf), -1);
  EXPECT_EQ(DX_FormatIDate(env.handle, 2, "%x", nullptr, 10), -1);
  EXPECT_EQ(DX_FormatIDate(env.handle, 2, "%x", buf, 0), -1);
  EXPECT_EQ(DX_FormatIDate(-3, 2, "%x", buf, sizeof buf), -99);
  ASSERT_GT(DX_FormatIDate(env.handle, -1000000, "%Y", buf, sizeof buf), 0);
  EXPECT_GE(atoi(buf), 2024);
  ASSERT_GT(DX_FormatIDate(env.handle, -1000000, nullptr, buf, sizeof buf), 0);  // date and time
  EXPECT_NE(strchr(buf, '/'), nullptr);
  EXPECT_NE(strchr(buf, ':'), nullptr);
}

TEST(DateEnv, RecordValuesThroughTheDictionary) {
  Env env;
  for (int i = 0; i < 3; ++i) {
    DX_SetDateFmt(env.handle, 1, i, nullptr);
    DX_SetDateFmt(env.handle, 2, i, nullptr);
  }
  ASSERT_EQ(DX_InitUserDict(env.handle, 3), 0);
  ASSERT_EQ(DX_AddUserVar(env.handle, 0, "d", API_DATE, 10, 0), 0);
  ASSERT_EQ(DX_AddUserVar(env.handle, 1, "t", API_TIME, 8, 0), 0);
  ASSERT_EQ(DX_AddUserVar(env.handle, 2, "dt", API_DATETIME, 19, 0), 0);
  char buf[1024];
  ASSERT_EQ(DX_SetVarAnyFromStr(env.handle, 0, "3/4/05"), 0);
  ASSERT_GT(DX_CopyVarDataStr(env.handle, 0, buf), 0);
  EXPECT_STREQ(buf, "03/04/2005");
  ASSERT_EQ(DX_SetVarAnyFromStr(env.handle, 1, "1:05:09 pm"), 0);
  ASSERT_GT(DX_CopyVarDataStr(env.handle, 1, buf), 0);
  EXPECT_STREQ(buf, "13:05:09");
  ASSERT_EQ(DX_SetVarAnyFromStr(env.handle, 2, "12/31/1999 23:59:59"), 0);
  ASSERT_GT(DX_CopyVarDataStr(env.handle, 2, buf), 0);
  EXPECT_STREQ(buf, "12/31/1999 23:59:59");
  ASSERT_EQ(DX_SetVarAnyFromStr(env.handle, 0, "not a date"), 0);
  EXPECT_EQ(DX_CopyVarDataStr(env.handle, 0, buf), 0);  // missing: empty text
  EXPECT_STREQ(buf, "");
  ASSERT_EQ(DX_SetDateFmt(env.handle, 2, 0, "%d %B %Y"), 0);
  ASSERT_EQ(DX_SetVarAnyFromStr(env.handle, 0, "2/29/2000"), 0);
  ASSERT_GT(DX_CopyVarDataStr(env.handle, 0, buf), 0);
  EXPECT_STREQ(buf, "29 February 2000");
}

TEST(DateNamesLocale, CLocalesGiveEnglishAndMonthFirst) {
  for (const char* name : {"C", "POSIX", "C.UTF-8"}) {
    DateNames names;
    names.month_long[0] = "changed";
    int32_t order = 0;
    ASSERT_TRUE(date_names_from_locale(name, names, &order)) << name;
    EXPECT_EQ(names.month_long[0], "January");
    EXPECT_EQ(names.month_short[11], "Dec");
    EXPECT_EQ(names.day_long[0], "Sunday");
    EXPECT_EQ(names.day_short[6], "Sat");
    EXPECT_EQ(names.ampm[0], "AM");
    EXPECT_EQ(names.ampm[1], "PM");
    EXPECT_EQ(order, kDateOrderMdy);
  }
  DateNames names;
  names.month_long[0] = "kept";
  EXPECT_FALSE(date_names_from_locale("xx_NOWHERE.UTF-8", names, nullptr));
  EXPECT_EQ(names.month_long[0], "kept");
  Env env;
  EXPECT_EQ(env.rec().dates.names.month_long[8], "September");
  EXPECT_EQ(env.rec().dates.locale_date_order, kDateOrderMdy);
}

TEST(DateNamesLocale, DateOrderOfLocaleLayouts) {
  struct Case {
    const char* layout;
    int32_t order;
  } cases[] = {
      {"%m/%d/%y", 1}, {"%d.%m.%Y", 2}, {"%Y-%m-%d", 3}, {"%F", 3},      {"%D", 1},
      {"%e/%m/%Y", 2}, {"%b %d %Y", 1}, {"%Od/%Om/%Oy", 2}, {"%y年%m月%d日", 3}, {"", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(date_order_of_layout(c.layout), c.order) << c.layout;
}

TEST(PackageDateFormats, NamesAndTypes) {
  struct Case {
    const char* name;
    int32_t ttype;
  } cases[] = {
      {"d-mmm-yy", T_DATE},          {"yyyy,mm,dd", T_DATE},      {"[WINDOW DATE FORMAT]", T_DATE},
      {"MM/DD/YYYY", T_DATE},        {"d/m/yy h:m AM/PM", T_DATETIME}, {"yy/m/d h:m", T_DATETIME},
      {"hh:mm:ss AM/PM", T_TIME},    {"h:m", T_TIME},             {"[WINDOW TIME FORMAT]", T_TIME},
      {"h:m:", 0},                   {"", 0},                     {"dd-mm-yy", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(package_date_format_type(c.name, strlen(c.name)), c.ttype) << c.name;
  EXPECT_EQ(package_date_format_type("h:m:s", 3), T_TIME);  // the length decides, not a terminator
  EXPECT_STREQ(package_date_format_for(T_DATE)->name, "[WINDOW DATE FORMAT]");
  EXPECT_STREQ(package_date_format_for(T_TIME)->name, "[WINDOW TIME FORMAT]");
  EXPECT_EQ(package_date_format_for(T_TIME)->length, 20);
  EXPECT_EQ(package_date_format_for(T_STRING), nullptr);
}
