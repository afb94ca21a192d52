// Text output: delimited, fixed-column and HTML records, the ".SCH" file, date texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "dates/date_state.h"
#include "formats/text/text_writer.h"

using namespace tabulon;

// The writer's own date texts must be those of the date pattern code.
TEST(TextWriterDates, SimplePatternsMatchTheDateCode) {
  DateNames names;
  for (const char* text : {"%m/%d/%Y", "%m/%02d/%Y", "%m/%02d/%y", "%0m/%0d/%Y", "%x", "%Y-%0m-%0d", "%d.%m.%y!"}) {
    SCOPED_TRACE(text);
    FormatPattern p;
    compile_format_pattern(text, &p);
    ASSERT_TRUE(simple_date_pattern(p));
    for (double day = 2; day < 2958466; day += (day < 80000 ? 1 : 997)) {
      char a[64], b[64];
      ptrdiff_t na = format_simple_date(p, day, a, sizeof a);
      ptrdiff_t nb = format_day_number(p, names, day, b, sizeof b);
      ASSERT_GE(na, 0) << day;
      ASSERT_EQ(std::string(a, static_cast<size_t>(na)), std::string(b, static_cast<size_t>(nb))) << day;
    }
    char a[64];
    EXPECT_EQ(format_simple_date(p, 1.5, a, sizeof a), -1);   // a time of day
    EXPECT_EQ(format_simple_date(p, -3, a, sizeof a), -1);    // before 1900
    EXPECT_EQ(format_simple_date(p, 3e6, a, sizeof a), -1);   // after 9999
  }
  FormatPattern with_time;
  compile_format_pattern("%m/%d/%Y %H", &with_time);
  EXPECT_FALSE(simple_date_pattern(with_time));
}
