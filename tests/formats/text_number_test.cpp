// Number cells of delimited input and number texts of text output.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "formats/text/number_text.h"

using namespace tabulon;

namespace {

std::string fmt(double v) {
  char buf[kNumberTextMax];
  return std::string(buf, format_number_default(v, buf));
}

ParsedNumber parse(const char* s, NumberPunct p = {}) { return parse_number(s, std::strlen(s), p); }

}  // namespace

TEST(TextNumberParse, CellsWithDefaultPunctuation) {
  struct Case {
    const char* text;
    uint8_t failure;
    double value;
    int decimals;
  } cases[] = {
      {"0", kNumOk, 0, 0},
      {"42", kNumOk, 42, 0},
      {"-17", kNumOk, -17, 0},
      {"  -17  ", kNumOk, -17, 0},
      {"- 5", kNumOk, -5, 0},
      {"+3", kNumOk, 3, 0},
      {"2.5", kNumOk, 2.5, 1},
      {".5", kNumOk, 0.5, 1},
      {"5.", kNumOk, 5, 0},
      {"$1,234.50", kNumOk, 1234.5, 2},
      {"-1.5E-3", kNumOk, -0.0015, 1},
      {"1e+5", kNumOk, 100000, 0},
      {"2E3", kNumOk, 2000, 0},
      {"123456789012345678", kNumOk, 123456789012345678.0, 0},
      {"(3)", kNumForeign, 0, 0},
      {"12-", kNumNotNumber, 0, 0},
      {"--5", kNumNotNumber, 0, 0},
      {"1-2", kNumNotNumber, 0, 0},
      {"1.2.3", kNumNotNumber, 0, 0},
      {"1e5e5", kNumNotNumber, 0, 0},
      {"e5", kNumNotNumber, 0, 0},
      {"1e", kNumNotNumber, 0, 0},
      {"1ex", kNumNotNumber, 0, 0},
      {"1e-", kNumNotNumber, 0, 0},
      {"1e400", kNumNotNumber, 0, 0},
      {".", kNumNotNumber, 0, 0},
      {"", kNumNotNumber, 0, 0},
      {"$", kNumNotNumber, 0, 0},
      {"abc", kNumForeign, 0, 0},
      {"inf", kNumForeign, 0, 0},
      {"nan", kNumForeign, 0, 0},
      {"1/2/2020", kNumForeign, 0, 0},
      {".b", kNumForeign, 0, 0},
      // Grouping marks only between groups of three digits of the whole part.
      {"1,234,567", kNumOk, 1234567, 0},
      {"-12,345.25", kNumOk, -12345.25, 2},
      {"$999,999", kNumOk, 999999, 0},
      {"1234,5", kNumForeign, 0, 0},
      {"12,34", kNumForeign, 0, 0},
      {"1,2345", kNumForeign, 0, 0},
      {"1234,567", kNumForeign, 0, 0},
      {",123", kNumForeign, 0, 0},
      {"1,234,56", kNumForeign, 0, 0},
      {"1,23e5", kNumForeign, 0, 0},
      {"1.5,000", kNumForeign, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ParsedNumber p = parse(c.text);
    EXPECT_EQ(p.failure, c.failure);
    if (c.failure == kNumOk) {
      EXPECT_EQ(p.missing, 0);
      EXPECT_DOUBLE_EQ(p.value, c.value);
      EXPECT_EQ(p.decimals, c.decimals);
    } else {
      EXPECT_EQ(p.missing, 1);
      EXPECT_EQ(p.value, 0);
    }
  }
}

TEST(TextNumberParse, DecimalCommaAndThousandsPoint) {
  NumberPunct p;
  p.decimal_point = ',';
  p.thousands = '.';
  struct Case {
    const char* text;
    double value;
    int decimals;
  } cases[] = {{"1,234", 1.234, 3}, {"1.234", 1234, 0}, {"1.234.567,5", 1234567.5, 1}, {"-0,5", -0.5, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ParsedNumber r = parse(c.text, p);
    ASSERT_EQ(r.failure, kNumOk);
    EXPECT_DOUBLE_EQ(r.value, c.value);
    EXPECT_EQ(r.decimals, c.decimals);
  }
  // Two decimal points.
  EXPECT_EQ(parse("1,2,3", p).failure, kNumNotNumber);
}

TEST(TextNumberParse, ExtendedMissingCodes) {
  NumberPunct p;
  p.extended_missing = true;
  struct Case {
    const char* text;
    uint8_t missing;
  } cases[] = {{".", 1}, {" . ", 1}, {".a", 2}, {".b", 3}, {".B", 3}, {".z", 27}, {"._", 29}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ParsedNumber r = parse(c.text, p);
    EXPECT_EQ(r.failure, kNumOk);
    EXPECT_EQ(r.missing, c.missing);
    EXPECT_EQ(r.value, 0);
  }
  // Still numbers; ".ab" is not a code.
  EXPECT_DOUBLE_EQ(parse(".5", p).value, 0.5);
  EXPECT_EQ(parse(".ab", p).failure, kNumForeign);
  EXPECT_EQ(parse(".1", p).missing, 0);
}

TEST(TextNumberParse, OverlongCellIsForeign) {
  std::string digits(300, '7');
  ParsedNumber r = parse_number(digits.data(), digits.size(), NumberPunct{});
  EXPECT_EQ(r.failure, kNumForeign);
  EXPECT_EQ(r.missing, 1);
}

TEST(TextNumberFormat, DefaultTextPlacement) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {1, "1"},
      {-2.5, "-2.5"},
      {1.5, "1.5"},
      {0.15, "0.15"},
      {0.015, "0.015"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {0.000015, "1.5e-05"},
      {123456789012, "123456789012"},
      {1e9, "1000000000"},
      {1e10, "1e+10"},
      {1.5e10, "15000000000"},
      {1e20, "1e+20"},
      {1e21, "1e+21"},
      {-1e-300, "-1e-300"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {0.1 + 0.2, "0.30000000000000004"},
      {3.141592653589793, "3.141592653589793"},
      {1.0 / 3, "0.3333333333333333"},
      {123456789012345678.0, "123456789012345680"},
      {1.5e25, "1.5e+25"},
      {999999999999999.9, "999999999999999.9"},
      {5e-324, "5e-324"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
      {12345.678, "12345.678"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(fmt(c.value), c.text);
  }
  EXPECT_EQ(fmt(INFINITY), "");
  EXPECT_EQ(fmt(NAN), "");
}

// Every value comes back exactly, in at most kNumberFixedWidth characters.
TEST(TextNumberFormat, ParseOfFormatGivesTheValueBack) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<int> exp_dist(-30, 30);
  std::uniform_int_distribution<int> digits_dist(1, 15);
  std::uniform_int_distribution<uint64_t> mant;
  for (int i = 0; i < 200000; ++i) {
    // A random value with at most 15 significant digits.
    int nd = digits_dist(rng);
    uint64_t m = mant(rng) % 1000000000000000ULL;
    char text[64];
    int len = std::snprintf(text, sizeof text, "%s%.*se%d", (i & 1) ? "-" : "", nd,
                            std::to_string(m + 1000000000000000ULL).c_str() + 1, exp_dist(rng));
    double v = 0;
    std::from_chars(text, text + len, v);
    std::string s = fmt(v);
    ParsedNumber p = parse_number(s.data(), s.size(), NumberPunct{});
    ASSERT_EQ(p.failure, kNumOk) << s;
    ASSERT_EQ(p.value, v) << text << " -> " << s;
  }
  // Arbitrary bit patterns, subnormals included.
  std::uniform_int_distribution<uint64_t> bits;
  for (int i = 0; i < 100000; ++i) {
    uint64_t b = bits(rng);
    double v;
    std::memcpy(&v, &b, sizeof v);
    if (!std::isfinite(v)) continue;
    std::string s = fmt(v);
    ASSERT_LE(s.size(), kNumberTextMax);
    ParsedNumber p = parse_number(s.data(), s.size(), NumberPunct{});
    ASSERT_EQ(p.failure, kNumOk) << s;
    ASSERT_EQ(p.value, v) << s;
    char fit[kNumberTextMax];
    ASSERT_GT(format_number_fit(s.data(), s.size(), kNumberFixedWidth, fit), 0u) << s;
    // The same for 4-byte floats.
    const float f = static_cast<float>(v);
    if (std::isfinite(f)) {
      char t[kNumberTextMax];
      const size_t n = format_number_float(f, t);
      float back = 0;
      std::from_chars(t, t + n, back);
      ASSERT_EQ(back, f) << std::string(t, n);
    }
  }
}

TEST(TextNumberFormat, PrintfStyleForms) {
  char buf[400];
  EXPECT_EQ(std::string(buf, format_number_general(1234.5678, 6, buf, sizeof buf)), "1234.57");
  EXPECT_EQ(std::string(buf, format_number_general(1e20, 3, buf, sizeof buf)), "1e+20");
  EXPECT_EQ(std::string(buf, format_number_general(-2.5, 14, buf, sizeof buf)), "-2.5");
  EXPECT_EQ(std::string(buf, format_number_general(0.5, 0, buf, sizeof buf)), "0.5");
  EXPECT_EQ(std::string(buf, format_number_fixed(2.345, 2, buf, sizeof buf)), "2.35");
  EXPECT_EQ(std::string(buf, format_number_fixed(-1, 3, buf, sizeof buf)), "-1.000");
  EXPECT_EQ(std::string(buf, format_number_fixed(1e300, 2, buf, sizeof buf)).size(), 304u);
}

// The shortcuts for whole numbers and short decimals give the same text as the general
// digit path, for values near their edges (1e9, 1e10, 1e-3, 5 decimals) and arbitrary bits.
TEST(TextNumberFormat, ShortcutsMatchTheGeneralDigits) {
  auto general = [](double v) {
    char buf[kNumberTextMax];
    return std::string(buf, format_number_digits(v, buf));
  };
  std::mt19937_64 rng(777);
  std::uniform_int_distribution<int64_t> whole(-20000000000LL, 20000000000LL);
  std::uniform_int_distribution<int> places(0, 7);
  std::uniform_int_distribution<uint64_t> bits;
  static constexpr double kPow[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 3) {
      case 0: v = static_cast<double>(whole(rng)) / kPow[places(rng)]; break;  // short decimals
      case 1: v = static_cast<double>(whole(rng) % 100000) / kPow[places(rng)]; break;  // near 1e-3
      default: {
        uint64_t b = bits(rng);
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
      }
    }
    ASSERT_EQ(fmt(v), general(v)) << v;
  }
  for (double v : {0.001, 0.0015, 999999999.99999, 999999999.5, 1e9 + 0.5, 9999999999.0, 1e10, 0.1, 0.3,
                   0.1 + 0.2, 1.0 / 3, 2.675, 1e-4, 123456.78901, 5e-324, -1.5e-310, 1e300 / 3})
    EXPECT_EQ(fmt(v), general(v)) << v;
}
