// Calendar arithmetic and the day-number model.
#include <gtest/gtest.h>

#include <cmath>

#include "dates/day_number.h"

using namespace tabulon;

namespace {

DateParts ymd(int32_t year, int32_t month1, int32_t mday) {
  DateParts p;
  p.year = year;
  p.month = month1 - 1;
  p.mday = mday;
  p.flags = kPartsDate;
  return p;
}

DateParts ymd_hms(int32_t year, int32_t month1, int32_t mday, int32_t h, int32_t m, int32_t s, int32_t ms = 0) {
  DateParts p = ymd(year, month1, mday);
  p.hour = h;
  p.minute = m;
  p.second = s;
  p.millisecond = ms;
  p.flags = kPartsDate | kPartsTime;
  return p;
}

// Independent civil-from-days conversion (days since 1970-01-01), used as the oracle.
void civil_from_days(int64_t z, int32_t* y, int32_t* m, int32_t* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int32_t>(yoe + era * 400 + (*m <= 2));
}

}  // namespace

TEST(DayNumber, KnownDates) {
  struct Case {
    int32_t y, m, d;
    double day;
    int32_t wday;
  } cases[] = {
      {1899, 12, 30, 0, 6},        {1899, 12, 31, 1, 0},     {1900, 1, 1, 2, 1},
      {1900, 2, 28, 60, 3},        {1900, 3, 1, 61, 4},      {1960, 1, 1, 21916, 5},
      {2000, 2, 29, 36585, 2},     {1899, 12, 29, -1, 5},    {1800, 1, 1, -36522, 3},
      {1, 1, 1, -693593, 1},       {9999, 12, 31, 2958465, 5}, {2024, 12, 31, 45657, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d);
    double day = -7;
    ASSERT_TRUE(parts_to_day(ymd(c.y, c.m, c.d), &day));
    EXPECT_EQ(day, c.day);
    DateParts back;
    ASSERT_TRUE(day_to_parts(c.day, &back));
    EXPECT_EQ(back.year, c.y);
    EXPECT_EQ(back.month, c.m - 1);
    EXPECT_EQ(back.mday, c.d);
    EXPECT_EQ(back.wday, c.wday);
    EXPECT_EQ(back.flags, kPartsDate);
  }
}

TEST(DayNumber, LeapYearsAndInvalidDates) {
  EXPECT_FALSE(is_leap_year(1900));
  EXPECT_TRUE(is_leap_year(2000));
  EXPECT_TRUE(is_leap_year(2024));
  EXPECT_FALSE(is_leap_year(2023));
  double day = 123;
  EXPECT_FALSE(parts_to_day(ymd(1900, 2, 29), &day));
  EXPECT_FALSE(parts_to_day(ymd(2023, 2, 29), &day));
  EXPECT_FALSE(parts_to_day(ymd(2023, 4, 31), &day));
  EXPECT_FALSE(parts_to_day(ymd(2023, 13, 1), &day));
  EXPECT_FALSE(parts_to_day(ymd(2023, 0, 1), &day));
  EXPECT_FALSE(parts_to_day(ymd(10000, 1, 1), &day));
  EXPECT_FALSE(parts_to_day(ymd(0, 3, 1), &day));  // year 0 would alias year 1
  EXPECT_FALSE(parts_to_day(ymd_hms(2000, 1, 1, 24, 0, 0), &day));
  EXPECT_FALSE(parts_to_day(ymd_hms(2000, 1, 1, 10, 60, 0), &day));
  EXPECT_FALSE(parts_to_day(ymd_hms(2000, 1, 1, 10, 0, 60), &day));
  EXPECT_EQ(day, 123);
  EXPECT_TRUE(parts_to_day(ymd(2024, 2, 29), &day));
}

TEST(DayNumber, DayOfYearWhenNoDayOfMonth) {
  DateParts p = ymd(2024, 1, 0);
  p.yday = 59;  // 0-based: 29 February in a leap year
  int32_t ordinal = 0;
  ASSERT_TRUE(parts_to_ordinal(p, &ordinal));
  DateParts back;
  ASSERT_TRUE(ordinal_to_parts(ordinal, &back));
  EXPECT_EQ(back.month, 1);
  EXPECT_EQ(back.mday, 29);
  p.yday = 365;
  EXPECT_TRUE(parts_to_ordinal(p, &ordinal));
  p.year = 2023;
  EXPECT_FALSE(parts_to_ordinal(p, &ordinal));
}

TEST(DayNumber, RoundTripAgainstIndependentCalendar) {
  // Every 7th ordinal plus both ends; compared with a separate algorithm.
  for (int32_t ordinal = 1; ordinal <= kMaxOrdinal; ordinal += (ordinal < 10 || ordinal > kMaxOrdinal - 10) ? 1 : 7) {
    DateParts p;
    ASSERT_TRUE(ordinal_to_parts(ordinal, &p));
    int32_t y, m, d;
    civil_from_days(static_cast<int64_t>(ordinal) - 719163, &y, &m, &d);  // 719163: ordinal of 1970-01-01
    ASSERT_EQ(p.year, y) << ordinal;
    ASSERT_EQ(p.month + 1, m) << ordinal;
    ASSERT_EQ(p.mday, d) << ordinal;
    ASSERT_EQ(p.leap, is_leap_year(y) ? 1 : 0);
    ASSERT_EQ(p.yday, ordinal - days_before_year(y) - 1);
    int32_t again = 0;
    ASSERT_TRUE(parts_to_ordinal(p, &again));
    ASSERT_EQ(again, ordinal);
  }
  DateParts p;
  EXPECT_FALSE(ordinal_to_parts(0, &p));
  EXPECT_FALSE(ordinal_to_parts(kMaxOrdinal + 1, &p));
}

TEST(DayNumber, TimesSurviveRoundTripsWithTheNudge) {
  // Every millisecond pattern that tends to round down, on positive and negative days.
  const int32_t years[] = {1850, 1899, 1960, 2024, 9999};
  for (int32_t year : years) {
    for (int32_t ms_of_day : {0, 1, 999, 1000, 43200000, 86399000, 86399999, 3723004, 45296789}) {
      DateParts in = ymd_hms(year, 12, 31, ms_of_day / 3600000, ms_of_day / 60000 % 60, ms_of_day / 1000 % 60,
                             ms_of_day % 1000);
      double day = 0;
      ASSERT_TRUE(parts_to_day(in, &day));
      DateParts out;
      ASSERT_TRUE(day_to_parts(day, &out));
      SCOPED_TRACE(testing::Message() << year << " ms " << ms_of_day);
      EXPECT_EQ(out.year, year);
      EXPECT_EQ(out.month, 11);
      EXPECT_EQ(out.mday, 31);
      EXPECT_EQ(out.hour * 3600000 + out.minute * 60000 + out.second * 1000 + out.millisecond, ms_of_day);
    }
  }
}

TEST(DayNumber, NegativeDaysAndPureTimes) {
  // -1.25 is 29 December 1899 at 06:00: the time is measured forward from the date.
  DateParts p;
  ASSERT_TRUE(day_to_parts(-1.25, &p));
  EXPECT_EQ(p.year, 1899);
  EXPECT_EQ(p.mday, 29);
  EXPECT_EQ(p.hour, 6);
  EXPECT_EQ(p.minute, 0);
  EXPECT_EQ(p.flags, kPartsDate | kPartsTime);
  double day = 0;
  ASSERT_TRUE(parts_to_day(ymd_hms(1899, 12, 29, 6, 0, 0), &day));
  EXPECT_NEAR(day, -1.25, 1e-8);
  EXPECT_LT(day, -1.25);  // the nudge goes away from zero

  DateParts t;
  t.hour = 18;
  t.flags = kPartsTime;
  ASSERT_TRUE(parts_to_day(t, &day));
  EXPECT_NEAR(day, 0.75, 1e-8);
  EXPECT_GT(day, 0.75);
  DateParts none;
  ASSERT_TRUE(parts_to_day(none, &day));
  EXPECT_EQ(day, 0);
}

TEST(DayNumber, FractionWithinTheNudgeOfMidnightStartsTheNextDay) {
  DateParts p;
  ASSERT_TRUE(day_to_parts(100.9999999999, &p));
  EXPECT_EQ(p.hour, 0);
  EXPECT_EQ(p.millisecond, 0);
  double next = 0;
  ASSERT_TRUE(parts_to_day(ymd(p.year, p.month + 1, p.mday), &next));
  EXPECT_EQ(next, 101);
  ASSERT_TRUE(day_to_parts(-5.9999999999, &p));  // day -5 at midnight becomes day -4
  ASSERT_TRUE(parts_to_day(ymd(p.year, p.month + 1, p.mday), &next));
  EXPECT_EQ(next, -4);
}

TEST(DayNumber, OutOfRangeValuesDoNotSplit) {
  DateParts p;
  for (double v : {-693594.0, 2958466.0, 1e300, -1e300, double(NAN), double(INFINITY)}) EXPECT_FALSE(day_to_parts(v, &p)) << v;
  EXPECT_TRUE(day_to_parts(-693593.5, &p));
  EXPECT_TRUE(day_to_parts(2958465.999, &p));
}

TEST(DayNumber, AddYearsMonthsWeeksDays) {
  struct Case {
    double from;
    int32_t years, months, weeks, days;
    int32_t y, m, d;
  };
  auto dn = [](int32_t y, int32_t m, int32_t d) {
    double v = 0;
    EXPECT_TRUE(parts_to_day(ymd(y, m, d), &v));
    return v;
  };
  const Case cases[] = {
      {dn(2023, 1, 31), 0, 1, 0, 0, 2023, 2, 28},    // month end into a shorter month
      {dn(2024, 1, 31), 0, 1, 0, 0, 2024, 2, 29},
      {dn(2024, 2, 29), 1, 0, 0, 0, 2025, 2, 28},    // leap day into a common year
      {dn(2023, 2, 28), 0, 1, 0, 0, 2023, 3, 28},
      {dn(2023, 11, 15), 0, 3, 0, 0, 2024, 2, 15},   // wraps into the next year
      {dn(2023, 2, 15), 0, -3, 0, 0, 2022, 11, 15},  // and back
      {dn(2023, 5, 10), 0, 25, 0, 0, 2025, 6, 10},   // months beyond a year
      {dn(2023, 5, 10), 0, -25, 0, 0, 2021, 4, 10},
      {dn(2023, 5, 10), 0, 0, 2, 3, 2023, 5, 27},
      {dn(2023, 12, 31) + 0.75, 0, 0, 0, 1, 2024, 1, 1},  // the time of day is dropped
      {dn(1899, 12, 29), 0, 0, 0, 2, 1899, 12, 31},
  };
  for (const Case& c : cases) {
    double out = 0;
    ASSERT_TRUE(day_add(c.from, c.years, c.months, c.weeks, c.days, &out)) << c.from;
    EXPECT_EQ(out, dn(c.y, c.m, c.d)) << c.from;
  }
  double out = 0;
  EXPECT_FALSE(day_add(dn(9999, 12, 1), 0, 1, 0, 0, &out));
  EXPECT_FALSE(day_add(dn(1, 1, 1), 0, 0, 0, -1, &out));
}
