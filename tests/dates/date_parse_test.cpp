// Parsing date and time texts with the pattern language.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "dates/date_pattern.h"

using namespace tabulon;

namespace {

struct Result {
  bool ok;
  DateParts parts;
};

Result parse(const char* pattern, const std::string& text, int32_t cutoff = 20, const DateNames& names = DateNames()) {
  ParsePattern compiled;
  compile_parse_pattern(pattern ? pattern : kDefaultParsePattern, &compiled);
  Result r{};
  r.ok = parse_date_text(compiled, names, cutoff, text.data(), text.size(), &r.parts);
  return r;
}

constexpr int32_t D = kPartsDate;
constexpr int32_t T = kPartsTime;

}  // namespace

TEST(DateParse, MatchesAndFields) {
  struct Case {
    const char* pattern;  // null: the built-in pattern
    const char* text;
    int32_t cutoff;
    int32_t y, m, d, h, mi, s, ms, flags;
  } cases[] = {
      // Dates with the built-in pattern: month first, two-digit years by the cutoff.
      {nullptr, "3/4/05", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/2005", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "  3/4/05  ", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "1/2/19", 20, 2019, 1, 2, 0, 0, 0, 0, D},
      {nullptr, "1/2/20", 20, 1920, 1, 2, 0, 0, 0, 0, D},
      {nullptr, "3/4/05", 1950, 2005, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/51", 1950, 1951, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/50", 1950, 1950, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/49", 1950, 2049, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/49", 2030, 2049, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3/4/29", 2030, 2129, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "3.4.05", 20, 0, 0, 0, 0, 0, 0, 0, -1},  // "." only between month and day
      {nullptr, "3.4/05", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {nullptr, "12/25/1999 10:30", 20, 1999, 12, 25, 10, 30, 0, 0, D | T},
      {nullptr, "Mar 4, 2005", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      // Times: optional seconds, fractions, AM/PM and a zone in parentheses.
      {nullptr, "12:30 PM", 20, 1960, 1, 1, 12, 30, 0, 0, T},
      {nullptr, "12:30 AM", 20, 1960, 1, 1, 0, 30, 0, 0, T},
      {nullptr, "1:05 pm", 20, 1960, 1, 1, 13, 5, 0, 0, T},
      {nullptr, "1:05PM", 20, 1960, 1, 1, 13, 5, 0, 0, T},
      {nullptr, "11:05:06 am", 20, 1960, 1, 1, 11, 5, 6, 0, T},
      {nullptr, "2:05:06 PM (EST)", 20, 1960, 1, 1, 14, 5, 6, 0, T},
      {nullptr, "14:05:06.5", 20, 1960, 1, 1, 14, 5, 6, 500, T},
      {nullptr, "14:05:06.25", 20, 1960, 1, 1, 14, 5, 6, 250, T},
      {nullptr, "14:05:06.123", 20, 1960, 1, 1, 14, 5, 6, 123, T},
      {nullptr, "14:05:06.123456", 20, 1960, 1, 1, 14, 5, 6, 123, T},
      {nullptr, "10/15/2023 14:05:06.007", 20, 2023, 10, 15, 14, 5, 6, 7, D | T},
      {nullptr, "12:30 XM", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {nullptr, "3/4/05 x", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {nullptr, "", 20, 1960, 1, 1, 0, 0, 0, 0, 0},  // matches, but nothing was read
      // A day alone takes the start year and month; a month alone is no date.
      {"%d", "17", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%m", "7", 20, 1960, 7, 1, 0, 0, 0, 0, 0},
      {"%m/%d", "13/1", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      // Month names: long, then short, any case; a partial name fails.
      {"%m %d %Y", "March 4 2005", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {"%m %d %Y", "mar 4 2005", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {"%m %d %Y", "SEPTEMBER 30 2005", 20, 2005, 9, 30, 0, 0, 0, 0, D},
      {"%m %d %Y", "Marc 4 2005", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {"%d-%m-%y", "04-Mar-05", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      // Field widths: exactly that many characters, all digits.
      {"%4Y%2m%2d", "20050304", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {"%4Y%2m%2d", "2005034", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {"%2d%Y", "x72005", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {"%3m%Y", "Mar2005", 20, 2005, 3, 1, 0, 0, 0, 0, D},
      {"%2H%2M%2S", "235958", 20, 1960, 1, 1, 23, 59, 58, 0, T},
      // Stop characters and the rest of the text.
      {"%:/m/%d/%Y", "March/4/2005", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      {"%:-c-%d", "abc-17", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%d %$c", "17 anything at all", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%m[/]%d[/][,]%y[%$c]", "3/4/05 trailing junk", 20, 2005, 3, 4, 0, 0, 0, 0, D},
      // Optional groups, nested; a failed group leaves no trace.
      {"%d[.%m[.%Y]]", "17", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%d[.%m[.%Y]]", "17.3", 20, 1960, 3, 17, 0, 0, 0, 0, D},
      {"%d[.%m[.%Y]]", "17.3.2001", 20, 2001, 3, 17, 0, 0, 0, 0, D},
      {"[%d/%m/]%Y", "2005", 20, 2005, 1, 1, 0, 0, 0, 0, D},
      {"[%d", "17", 20, 0, 0, 0, 0, 0, 0, 0, -1},  // a group without its "]"
      {"%d]", "17]", 20, 1960, 1, 17, 0, 0, 0, 0, D},  // a stray "]" is a character
      // Escapes, skipped characters and words.
      {"%[%d%]%%", "[17]%", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%d%c%m", "17x3", 20, 1960, 3, 17, 0, 0, 0, 0, D},
      {"%d %3c %Y", "17 abc 2001", 20, 2001, 1, 17, 0, 0, 0, 0, D},
      {"%w %d", "Tuesday 17", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%d%w", "17", 20, 1960, 1, 17, 0, 0, 0, 0, D},
      {"%H:%M %Z", "10:30 UTC", 20, 1960, 1, 1, 10, 30, 0, 0, T},
      {"%H:%M %Z", "10:30", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {"%H:%M:%S.%n", "1:02:03.45", 20, 1960, 1, 1, 1, 2, 3, 45, T},
      {"%q", "1", 20, 0, 0, 0, 0, 0, 0, 0, -1},
      {"%d", "1234567890", 20, 0, 0, 0, 0, 0, 0, 0, -1},  // too many digits for a number
      {"%d-%m", "5 - 6", 20, 1960, 6, 5, 0, 0, 0, 0, D},   // blanks in the text before each element
      {"%d - %m", "5-6", 20, 1960, 6, 5, 0, 0, 0, 0, D},   // blanks in the pattern match nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.pattern ? c.pattern : "<default>") << " on \"" << c.text << "\"");
    Result r = parse(c.pattern, c.text, c.cutoff);
    if (c.flags < 0) {
      EXPECT_FALSE(r.ok);
      EXPECT_EQ(r.parts.year, 0);  // cleared
      continue;
    }
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.parts.flags, c.flags);
    EXPECT_EQ(r.parts.year, c.y);
    EXPECT_EQ(r.parts.month, c.m - 1);
    EXPECT_EQ(r.parts.mday, c.d);
    EXPECT_EQ(r.parts.hour, c.h);
    EXPECT_EQ(r.parts.minute, c.mi);
    EXPECT_EQ(r.parts.second, c.s);
    EXPECT_EQ(r.parts.millisecond, c.ms);
  }
}

TEST(DateParse, EnvironmentNamesAndWords) {
  DateNames names;
  names.month_long[2] = "März";
  names.month_short[2] = "Mär";
  names.ampm[0] = "vorm.";
  names.ampm[1] = "nachm.";
  Result r = parse("%d. %m %Y %H:%M %p", "4. März 2005 2:15 nachm.", 20, names);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.parts.month, 2);
  EXPECT_EQ(r.parts.hour, 14);
  EXPECT_TRUE(parse("%d %m %Y", "4 mär 2005", 20, names).ok);
  EXPECT_FALSE(parse("%d %m %Y", "4 March 2005", 20, names).ok);  // replaced names no longer match
  EXPECT_FALSE(parse("%H:%M %p", "2:15 PM", 20, names).ok);
}

TEST(DateParse, InvalidDatesParseButDoNotConvert) {
  // The pattern matches; the calendar refuses the result.
  for (const char* text : {"4/31/2023", "2/29/1900", "2/29/2023", "1/1/2000 25:00", "1/1/2000 10:61"}) {
    Result r = parse(nullptr, text);
    ASSERT_TRUE(r.ok) << text;
    double day = 0;
    EXPECT_FALSE(parts_to_day(r.parts, &day)) << text;
  }
  Result r = parse(nullptr, "2/29/2000 23:59:59.999");
  ASSERT_TRUE(r.ok);
  double day = 0;
  ASSERT_TRUE(parts_to_day(r.parts, &day));
  DateParts back;
  ASSERT_TRUE(day_to_parts(day, &back));
  EXPECT_EQ(back.mday, 29);
  EXPECT_EQ(back.millisecond, 999);
}

TEST(DateParse, DeepNestingIsRefusedNotOverflowed) {
  std::string pattern(1000, '[');
  pattern += "%d";
  pattern += std::string(1000, ']');
  ParsePattern compiled;
  compile_parse_pattern(pattern, &compiled);
  EXPECT_FALSE(compiled.valid);
  DateParts parts;
  EXPECT_FALSE(parse_date_text(compiled, DateNames(), 20, "1", 1, &parts));
}

TEST(DateParse, TextNeedNotBeTerminated) {
  ParsePattern compiled;
  compile_parse_pattern("%d/%m", &compiled);
  const char text[] = {'1', '7', '/', '3', '9'};
  DateParts parts;
  ASSERT_TRUE(parse_date_text(compiled, DateNames(), 20, text, 4, &parts));
  EXPECT_EQ(parts.month, 2);
  EXPECT_EQ(parts.mday, 17);
}

TEST(DateParse, FormatThenParseRoundTrip) {
  FormatPattern out;
  compile_format_pattern("%0m/%0d/%Y %0H:%0M:%0S.%N", &out);
  ParsePattern in;
  compile_parse_pattern(kDefaultParsePattern, &in);
  const DateNames names;
  // Years 101..9999 (two-digit years read back by the cutoff), negative day numbers, with a millisecond pattern that tends to round down.
  for (double base = -657000; base < 2958000; base += 9973.37) {
    double whole = std::trunc(base);
    double value = combine_day_time(whole, (37 * 3600 % 86400 + 1234.567) / 86400.0);
    char buf[64];
    ASSERT_GT(format_day_number(out, names, value, buf, sizeof buf), 0);
    DateParts parts;
    ASSERT_TRUE(parse_date_text(in, names, 20, buf, strlen(buf), &parts)) << buf;
    double again = 0;
    ASSERT_TRUE(parts_to_day(parts, &again)) << buf;
    char buf2[64];
    format_day_number(out, names, again, buf2, sizeof buf2);
    ASSERT_STREQ(buf, buf2);
    ASSERT_EQ(std::trunc(again), whole) << buf;
  }
}
