// Stata field codes, missing-value patterns, display formats, date values and release choice.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/stata/stata_codes.h"
#include "formats/stata/stata_dates.h"
#include "formats/stata/stata_writer.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

TEST(StataCodes, IntegerMissingCodesDependOnTheRelease) {
  struct Case {
    uint32_t release;
    int32_t value;
    uint16_t code;
  } cases[] = {
      {113, 100, 0}, {113, 101, 1}, {113, 102, 2}, {113, 127, 27},
      {110, 101, 0}, {110, 126, 0}, {110, 127, 1},
  };
  for (const Case& c : cases) {
    StataThresholds th = stata_thresholds(c.release);
    EXPECT_EQ(stata_int_missing(c.value, th.byte_min), c.code) << c.release << " byte " << c.value;
  }
  EXPECT_EQ(stata_int_missing(32741, stata_thresholds(114).int_min), 1);
  EXPECT_EQ(stata_int_missing(32742, stata_thresholds(114).int_min), 2);
  EXPECT_EQ(stata_int_missing(2147483621, stata_thresholds(117).long_min), 1);
  EXPECT_EQ(stata_int_missing(2147483646, stata_thresholds(108).long_min), 0);
  // Before release 113 the long threshold is the largest int32: no overflow on the way to ".".
  EXPECT_EQ(stata_int_missing(2147483647, stata_thresholds(110).long_min), 1);
  EXPECT_EQ(stata_int_missing(2147483647, stata_thresholds(118).long_min), 27);
}

TEST(StataCodes, FloatAndDoubleMissingPatterns) {
  struct FloatCase {
    uint32_t bits;
    bool extended;
    uint16_t code;
  } floats[] = {
      {0x7F000000u, true, 1},  {0x7F000800u, true, 2},   {0x7F00D000u, true, 27},
      {0x7F000800u, false, 1}, {0x7F00F800u, true, 1},   {0x3F800000u, true, 0},  // 1.0
      {0x7F7FFFFFu, true, 1},  {0xFF000000u, true, 0},                           // -2^127 is a value
  };
  for (const FloatCase& c : floats)
    EXPECT_EQ(stata_float_missing(c.bits, c.extended), c.code) << std::hex << c.bits;

  StataThresholds modern = stata_thresholds(114), old = stata_thresholds(110), oldest = stata_thresholds(105);
  EXPECT_EQ(stata_double_missing(0x7FE0000000000000ull, modern), 1);
  EXPECT_EQ(stata_double_missing(0x7FE0010000000000ull, modern), 2);
  EXPECT_EQ(stata_double_missing(0x7FE01A0000000000ull, modern), 27);
  EXPECT_EQ(stata_double_missing(0x7FE0010000000000ull, old), 1);
  EXPECT_EQ(stata_double_missing(0x7FE0000000000001ull, modern), 0);  // above the threshold, no pattern
  double big = 1e200;
  uint64_t bits;
  std::memcpy(&bits, &big, 8);
  EXPECT_EQ(stata_double_missing(bits, oldest), 1);  // 2^333 and above before release 108
  EXPECT_EQ(stata_double_missing(bits, old), 0);
}

TEST(StataCodes, WrittenMissingPatternsReadBackAsTheirCodes) {
  for (uint16_t code = 1; code <= 27; ++code) {
    EXPECT_EQ(stata_float_missing(stata_float_missing_bits(code, true), true), code);
    EXPECT_EQ(stata_double_missing(stata_double_missing_bits(code, true), stata_thresholds(113)), code);
  }
  EXPECT_EQ(stata_float_missing_bits(2, true), 0x7F000800u);
  EXPECT_EQ(stata_float_missing_bits(5, false), kFloatMissingBits);
  EXPECT_EQ(stata_double_missing_bits(29, true), kDoubleMissingBits);  // "._" has no Stata code
}

TEST(StataCodes, TypeCodesOfEachLayout) {
  struct Case {
    uint32_t release;
    uint32_t code;
    uint8_t kind;
    uint32_t width;
  } cases[] = {
      {105, 'b', kStByte, 1},  {105, 'd', kStDouble, 8}, {110, 127 + 80, kStString, 80}, {110, 120, 0, 0},
      {113, 251, kStByte, 1},  {114, 255, kStDouble, 8}, {114, 244, kStString, 244},     {114, 250, 0, 0},
      {117, 65530, kStByte, 1}, {117, 65527, kStFloat, 4}, {117, 32768, kStStrL, 8},     {117, 2045, kStString, 2045},
      {117, 2046, 0, 0},       {117, 251, kStString, 251},
  };
  for (const Case& c : cases) {
    StataType t = stata_decode_type(c.release, c.code);
    EXPECT_EQ(t.kind, c.kind) << c.release << "/" << c.code;
    EXPECT_EQ(t.width, c.width) << c.release << "/" << c.code;
    if (t.kind) {
      EXPECT_EQ(stata_encode_type(c.release, t.kind, t.width), c.code);
    }
  }
}

TEST(StataFormats, DisplayFormatsGiveTypesWidthsAndDateKinds) {
  struct Case {
    const char* format;
    int ttype;
    uint8_t kind;
    uint32_t width;
    uint8_t decimals;
  } cases[] = {
      {"%9.2f", 0, kStNoDate, 9, 2},          {"%12.0g", 0, kStNoDate, 12, 0},
      {"%-10.3f", 0, kStNoDate, 10, 3},       {"%9,0g", 0, kStNoDate, 9, 0},
      {"%td", T_DATE, kStDays, 8, 255},       {"%tdD_m_Y", T_DATE, kStDays, 8, 255},
      {"%dD_m_Y", T_DATE, kStDays, 8, 255},   {"%tc", T_DATETIME, kStMillis, 8, 255},
      {"%tCDDmonCCYY", T_DATETIME, kStMillisLeap, 8, 255},
      {"%tcHH:MM:SS", T_TIME, kStMillis, 8, 255},
      {"%tw", 0, kStNoDate, 8, 255},          {"", 0, kStNoDate, 8, 255},
  };
  for (const Case& c : cases) {
    StataFormatInfo f = stata_parse_format(c.format, std::strlen(c.format));
    EXPECT_EQ(f.ttype, c.ttype) << c.format;
    EXPECT_EQ(f.date_kind, c.kind) << c.format;
    EXPECT_EQ(f.print_width, c.width) << c.format;
    EXPECT_EQ(f.decimals, c.decimals) << c.format;
  }
}

TEST(StataDates, ValuesToDayNumbers) {
  EXPECT_DOUBLE_EQ(stata_value_to_day(45000000, kStMillis, true), 45000000.0 / 86400000.0);
  EXPECT_DOUBLE_EQ(stata_value_to_day(0, kStMillis, false), 21916);
  EXPECT_DOUBLE_EQ(stata_value_to_day(0, kStDays, false), 21916);
  EXPECT_DOUBLE_EQ(stata_value_to_day(-21916, kStDays, false), 0);
  // 29 December 1899 06:00 is day -1 at 06:00: the time counts away from zero.
  EXPECT_DOUBLE_EQ(stata_value_to_day(-21916.75 * 86400000.0, kStMillis, false), -1.25);
  // Each leap second up to the value is taken out of a %tC clock.
  EXPECT_DOUBLE_EQ(stata_remove_leap_seconds(394415998000.0), 394415998000.0);
  EXPECT_DOUBLE_EQ(stata_remove_leap_seconds(394415999000.0), 394415998000.0);
  EXPECT_DOUBLE_EQ(stata_remove_leap_seconds(1656719964000.0), 1656719964000.0 - 25000.0);
}

TEST(StataDates, DayNumbersToStoredValues) {
  EXPECT_EQ(stata_day_to_days(21916), 0);
  EXPECT_EQ(stata_day_to_days(21916.75), 0);
  EXPECT_EQ(stata_day_to_days(-1.25), -21917);
  EXPECT_DOUBLE_EQ(stata_day_fraction(21916.5), 0.5);
  EXPECT_DOUBLE_EQ(stata_day_fraction(-1.25), 0.25);
  EXPECT_DOUBLE_EQ(stata_day_to_millis(21916), 0);
  EXPECT_DOUBLE_EQ(stata_day_to_millis(-1.25), -21916.75 * 86400000.0);
  for (double ms : {0.0, 45000000.0, 1904342400123.0, -86400000.0 * 30000 + 5000})
    EXPECT_DOUBLE_EQ(stata_day_to_millis(stata_value_to_day(ms, kStMillis, false)), ms) << ms;
}

TEST(StataRelease, VersionSettingChoosesReleaseAndLimits) {
  struct Case {
    int32_t setting;
    int32_t ver4;
    uint32_t release;
    bool large;
    bool version9;
  } cases[] = {
      {0, -1, 118, true, true},      // no setting: release 118, UTF-8 and strLs
      {1, -1, 104, false, false},    {5, -1, 105, false, false},  {6, -1, 108, false, false},
      {7, -1, 110, false, false},    {0x107, -1, 111, true, false}, {0x105, -1, 105, false, false},
      {8, -1, 113, false, false},    {9, -1, 113, false, true},   {10, -1, 114, false, true},
      {12, -1, 115, false, true},    {13, -1, 117, false, true},  {14, -1, 118, true, true},
      {0, 2, 111, true, false},      {0, 1, 108, false, false},   {0, 0, 110, false, false},
      {0, 7, 105, false, false},     {13, 1, 117, false, true},
      {10, -1, 114, false, true},    {16, -1, 118, true, true},   {119, -1, 119, true, true},
      {118, -1, 118, true, true},    {114, -1, 114, false, true}, {0x16E, -1, 111, true, false},
      {111, -1, 111, true, false},   {103, -1, 104, false, false},
  };
  for (const Case& c : cases) {
    StataRelease r = stata_choose_release(c.setting, c.ver4);
    EXPECT_EQ(r.release, c.release) << c.setting << "/" << c.ver4;
    EXPECT_EQ(r.large, c.large) << c.setting << "/" << c.ver4;
    EXPECT_EQ(r.version9, c.version9) << c.setting << "/" << c.ver4;
  }
  // 118 cannot hold more than 32,767 variables: 119 takes over, whatever asked for 118.
  EXPECT_EQ(stata_choose_release(0, -1, 32767).release, 118u);
  EXPECT_EQ(stata_choose_release(0, -1, 32768).release, 119u);
  EXPECT_EQ(stata_choose_release(15, -1, 40000).release, 119u);
  EXPECT_EQ(stata_choose_release(13, -1, 40000).release, 117u);  // the writer refuses it by name
}

}  // namespace
