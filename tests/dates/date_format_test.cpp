// Formatting day numbers with the pattern language.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>

#include "dates/date_pattern.h"

using namespace tabulon;

namespace {

double day_of(int32_t y, int32_t m, int32_t d, int32_t h = -1, int32_t mi = 0, int32_t s = 0, int32_t ms = 0) {
  DateParts p;
  p.year = y;
  p.month = m - 1;
  p.mday = d;
  p.flags = kPartsDate;
  if (h >= 0) {
    p.hour = h;
    p.minute = mi;
    p.second = s;
    p.millisecond = ms;
    p.flags |= kPartsTime;
  }
  double v = 0;
  EXPECT_TRUE(parts_to_day(p, &v));
  return v;
}

std::string fmt(const char* pattern, double day, const DateNames& names = DateNames(), bool time_kind = false) {
  FormatPattern compiled;
  compile_format_pattern(pattern, &compiled, time_kind);
  char buf[256];
  ptrdiff_t n = format_day_number(compiled, names, day, buf, sizeof buf);
  if (n < 0) return "<fail>";
  EXPECT_EQ(static_cast<size_t>(n), std::string(buf).size());
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

TEST(DateFormat, EveryDirectiveAndFlag) {
  const double tue = day_of(2024, 3, 5, 14, 7, 9, 123);  // Tuesday 5 March 2024 14:07:09.123
  struct Case {
    const char* pattern;
    const char* expected;
  } cases[] = {
      {"%%", "%"},         {"%3", "Mar"},       {"%A", "Tuesday"},  {"%a", "Tue"},      {"%B", "March"},
      {"%b", "Mar"},       {"%H", "14"},        {"%0H", "14"},      {"%I", "2"},        {"%0I", "02"},
      {"%h", "2"},         {"%M", "7"},         {"%0M", "07"},      {"%S", "9"},        {"%0S", "09"},
      {"%N", "123"},       {"%03N", "123"},     {"%02N", "12"},     {"%01N", "1"},      {"%0N", "123"},
      {"%U", "10"},        {"%W", "09"},        {"%Y", "2024"},     {"%y", "24"},       {"%d", "5"},
      {"%0d", "05"},       {"%02d", "05"},      {"%j", "065"},      {"%m", "3"},        {"%0m", "03"},
      {"%p", "PM"},        {"%w", "2"},         {"%x", "03/05/2024"}, {"%q", ""},       {"%7", ""},
      {"%2d", "d"},  // without the "0" flag a digit is the directive (an unknown one)
      {"on %A, %d %B %Y at %0I:%0M %p", "on Tuesday, 5 March 2024 at 02:07 PM"},
      {"plain text", "plain text"},
      {"100%", "100"},  // a lone "%" at the end writes nothing
  };
  for (const Case& c : cases) EXPECT_EQ(fmt(c.pattern, tue), c.expected) << c.pattern;
}

TEST(DateFormat, DayNumberDirectiveAndSmallValues) {
  EXPECT_EQ(fmt("%Y-%0m-%0dT%0H:%0M:%0S", 2.5), "1900-01-01T12:00:00");
  EXPECT_EQ(fmt("%n", 2.5), "2.500000");
  EXPECT_EQ(fmt("%n", -1.25), "-1.250000");
  EXPECT_EQ(fmt("%x %0H:%0M", -1.25), "12/29/1899 06:00");
  EXPECT_EQ(fmt("%x", 0), "12/30/1899");
  EXPECT_EQ(fmt("%Y %y %j", day_of(1, 1, 1)), "0001 01 001");
  EXPECT_EQ(fmt("%j", day_of(2024, 12, 31)), "366");
}

TEST(DateFormat, TwelveHourClockAndAfternoonWord) {
  struct Case {
    int32_t hour;
    const char* expected;
  } cases[] = {{0, "12 AM"}, {1, "1 AM"}, {11, "11 AM"}, {12, "12 PM"}, {13, "1 PM"}, {23, "11 PM"}};
  for (const Case& c : cases) EXPECT_EQ(fmt("%I %p", day_of(2020, 6, 1, c.hour, 30)), c.expected) << c.hour;
  // The afternoon word follows the hour even without a 12-hour directive.
  EXPECT_EQ(fmt("%H:%0M %p", day_of(2020, 6, 1, 15, 0)), "15:00 PM");
}

TEST(DateFormat, MillisecondsSurviveAndNeverRollIntoTheNextDay) {
  EXPECT_EQ(fmt("%x %0H:%0M:%0S.%N", day_of(2023, 12, 31, 23, 59, 59, 999)), "12/31/2023 23:59:59.999");
  EXPECT_EQ(fmt("%0H:%0M:%0S.%N", day_of(2023, 1, 1, 0, 0, 0, 1)), "00:00:00.001");
  EXPECT_EQ(fmt("%02N|%01N", day_of(2023, 1, 1, 0, 0, 0, 987)), "98|9");
}

TEST(DateFormat, WeekNumbers) {
  // %U: weeks start on Monday; %W: weeks start on Sunday; days before the first are week 00.
  struct Case {
    int32_t y, m, d;
    const char* expected;  // "%U %W"
  } cases[] = {
      {2023, 1, 1, "00 01"},  {2023, 1, 2, "01 01"},  {2024, 1, 1, "01 00"}, {2024, 12, 31, "53 52"},
      {2017, 12, 31, "52 53"}, {2021, 1, 3, "00 01"}, {1899, 12, 30, "52 52"},
  };
  for (const Case& c : cases) EXPECT_EQ(fmt("%U %W", day_of(c.y, c.m, c.d)), c.expected) << c.y << c.m << c.d;
}

TEST(DateFormat, NamesComeFromTheEnvironmentExceptPercentThree) {
  DateNames names;
  names.month_long[2] = "März";
  names.month_short[2] = "Mär";
  names.day_long[2] = "Dienstag";
  names.day_short[2] = "Di";
  names.ampm[1] = "nachm.";
  EXPECT_EQ(fmt("%A %a %B %b %3 %p", day_of(2024, 3, 5, 14, 0), names), "Dienstag Di März Mär Mar nachm.");
}

TEST(DateFormat, BufferLimitsAndTermination) {
  FormatPattern compiled;
  compile_format_pattern("%x", &compiled);
  const DateNames names;
  char buf[8];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(format_day_number(compiled, names, day_of(2024, 3, 5), buf, 5), 4);
  EXPECT_STREQ(buf, "03/0");
  EXPECT_EQ(buf[5], 'Z');
  EXPECT_EQ(format_day_number(compiled, names, day_of(2024, 3, 5), buf, 1), 0);
  EXPECT_EQ(buf[0], '\0');
  buf[0] = 'Z';
  EXPECT_EQ(format_day_number(compiled, names, day_of(2024, 3, 5), buf, 0), 0);
  EXPECT_EQ(buf[0], 'Z');
}

TEST(DateFormat, UnsplittableValuesFail) {
  EXPECT_EQ(fmt("%x", 1e12), "<fail>");
  EXPECT_EQ(fmt("%x", -693594), "<fail>");
  EXPECT_EQ(fmt("%x", NAN), "<fail>");
}

TEST(DateFormat, BuiltInPatternsByKind) {
  const DateNames names;
  char buf[64];
  const double v = day_of(2024, 3, 5, 4, 5, 6);
  ASSERT_GT(format_day_text(nullptr, kDateKindDate, names, v, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "03/05/2024");
  ASSERT_GT(format_day_text("", kDateKindTime, names, v, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "04:05:06");
  ASSERT_GT(format_day_text(nullptr, kDateKindDateTime, names, v, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "03/05/2024 04:05:06");
}

TEST(DateFormat, NowIsTheCurrentLocalDateAndTime) {
  time_t before = time(nullptr);
  std::string text = fmt("%Y-%0m-%0d %0H:%0M", kNowDayNumber);
  time_t after = time(nullptr);
  char expect_before[32], expect_after[32];
  tm lt{};
  strftime(expect_before, sizeof expect_before, "%Y-%m-%d %H:%M", localtime_r(&before, &lt));
  strftime(expect_after, sizeof expect_after, "%Y-%m-%d %H:%M", localtime_r(&after, &lt));
  EXPECT_TRUE(text == expect_before || text == expect_after) << text;
  // %n writes the day number of now, not the marker value.
  EXPECT_NE(fmt("%n", kNowDayNumber).rfind("-1000000", 0), 0u);
}

TEST(DateFormat, TimePatternsWriteDurationsWithSignAndEveryHour) {
  const double hour = 1.0 / 24, second = 1.0 / 86400;
  struct Row {
    const char* pattern;
    double time;
    const char* want;
  } rows[] = {
      {"%0H:%0M:%0S", 25 * hour, "25:00:00"},
      {"%0H:%0M:%0S", -hour, "-01:00:00"},
      {"%0H:%0M:%0S", 72 * hour + 5 * second, "72:00:05"},
      {"%H:%0M:%0S.%N", -(49 * hour + 30 * 60 * second + 0.5 * second), "-49:30:00.500"},
      {"%0H:%0M:%0S", 0.5, "12:00:00"},
      {"%0H:%0M", -0.0, "00:00"},
      {"%I:%0M %p", 37 * hour, "1:00 PM"},  // the clock of a long duration
  };
  for (const Row& r : rows) EXPECT_EQ(fmt(r.pattern, r.time, DateNames(), true), r.want) << r.pattern << " " << r.time;
  // With a date directive, or compiled for day numbers, the time of day is written.
  EXPECT_EQ(fmt("%Y %0H:%0M", 25 * hour, DateNames(), true), "1899 01:00");
  EXPECT_EQ(fmt("%0H:%0M", 25 * hour), "01:00");
  EXPECT_EQ(fmt("%0H:%0M:%0S", 1e300, DateNames(), true), "<fail>");
  // The day-number API keeps the time of day for a time pattern.
  char buf[32];
  EXPECT_GT(format_day_text("%0H:%0M", kDateKindTime, DateNames(), 25 * hour, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "01:00");
}
