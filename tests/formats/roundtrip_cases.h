// The round-trip table: small dictionaries with a few records, and the formats each one suits.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "dict/dictionary.h"
#include "support/format_harness.h"

namespace roundtrip {

using namespace tabulon;

// Formats the table runs; a case's mask names those that can hold it.
enum Target : unsigned {
  kDelim = 1u << 0,     // delimited text, 18
  kFixed = 1u << 1,     // fixed-column text with its .SCH, 19
  kSch46 = 1u << 2,     // fixed-column data with a schema file
  kSch53 = 1u << 3,     // data inside the schema file
  kSch55 = 1u << 4,     // delimited data with a schema file
  kDta113 = 1u << 5,
  kDta114 = 1u << 6,
  kDta115 = 1u << 7,
  kDta117 = 1u << 8,
  kDelimNa = 1u << 9,    // delimited text, extended missing codes written and read
  kDelimP17 = 1u << 10,  // delimited text at 17 significant digits
  kSav = 1u << 11,       // SPSS system file, 22
  kPor = 1u << 12,       // SPSS portable file, 13
  kSas = 1u << 13,       // SAS data set, 38 and 62
  kXpt = 1u << 14,       // SAS transport file, 12
};
constexpr unsigned kText = kDelim | kFixed | kSch46 | kSch53 | kSch55;
constexpr unsigned kStata = kDta113 | kDta114 | kDta115 | kDta117;
constexpr unsigned kSpss = kSav | kPor;
constexpr unsigned kSasAll = kSas | kXpt;
constexpr unsigned kAll = kText | kStata | kDelimNa | kDelimP17 | kSpss | kSasAll;

struct Label {
  double value;
  uint16_t missing;  // extended missing code the label is for, 0 for a value
  std::string text;
};

struct Var {
  std::string name;
  int ttype;
  int width = 8;
  int decimals = 0;
  std::string label = {};
  std::vector<Label> labels = {};
};

// A value: a number (dates as day numbers), a text, or a missing code (M(1) ".", M(2).. ".a"..).
using test::Cell;
using test::M;
using test::N;
using test::S;

struct Case {
  const char* name;
  unsigned mask;
  std::vector<Var> vars;
  std::vector<std::vector<Cell>> rows;
};

constexpr double kDay = 86400.0;
constexpr double k2p53 = 9007199254740992.0;

inline const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      // Whole numbers in every integer storage type, at their edges.
      {"integers",
       kAll,
       {{"b", T_BYTE}, {"i", T_INT}, {"l", T_LONG}},
       {{N(0), N(0), N(0)},
        {N(-100), N(-32767), N(-2147483647)},
        {N(100), N(32740), N(2147483620)},
        {N(-1), N(7), N(-7)}}},
      // Doubles that need all 17 digits, or the far ends of the exponent range.
      {"doubles",
       kDelim | kFixed | kSch55 | kStata | kDelimP17 | kPor | kSas,  // SPSS takes -1.79e308 for missing
       {{"d", T_DOUBLE, 24, 0}, {"e", T_DOUBLE, 24, 0}},
       {{N(0.1), N(1e-300)},
        {N(1.0 / 3), N(1e300)},
        {N(-2.5e-7), N(-1.7976931348623157e308)},
        {N(k2p53), N(-k2p53)},
        {N(123456789.125), N(4.9406564584124654e-320)}}},
      // Float storage keeps what a float holds.
      {"floats",
       kAll,
       {{"f", T_FLOAT, 12, 3}},
       {{N(0.5)}, {N(-1234.5)}, {N(0.25)}, {N(16777216)}}},
      // Strings: empty, long, non-ASCII, with delimiters and quotes inside.
      // (An empty string is a missing string everywhere.)
      {"strings",
       kText | kSav | kSasAll,
       {{"n", T_LONG}, {"s", T_STRING, 40}, {"t", T_STRING, 200}},
       {{N(1), S("plain"), S(std::string(200, 'x'))},
        {N(2), S(""), S("Größe — 日本語 ñ")},
        {N(3), S("a,b \"q\""), S("tab\there")},
        {N(4), S("in  side"), S("x")}}},
      // Portable files hold their own character set: ASCII without control characters, and a
      // few symbols beyond it ("±", "°", "²", the dashes).
      {"strings_portable",
       kPor,
       {{"n", T_LONG}, {"s", T_STRING, 40}, {"t", T_STRING, 200}},
       {{N(1), S("plain"), S(std::string(200, 'x'))},
        {N(2), S(""), S("± 2 °C – 10 m² — {a|b} \\ ~#`")},
        {N(3), S("a,b \"q\""), S("in  side")}}},
      // Stata text is Windows-1252 up to release 117: no CJK there.
      {"strings_latin",
       kStata,
       {{"n", T_LONG}, {"s", T_STRING, 40}, {"t", T_STRING, 200}},
       {{N(1), S("plain"), S(std::string(200, 'x'))},
        {N(2), S(""), S("Größe — ñ")},
        {N(3), S("a,b \"q\""), S("tab\there")}}},
      // Variable labels and value labels, numeric and for extended missing codes.
      {"labels",
       kAll,
       {{"q1", T_BYTE, 8, 0, "How satisfied are you?",
         {{1, 0, "low"}, {2, 0, "mid"}, {3, 0, "high"}, {-1, 0, "minus one"}}},
        {"q2", T_LONG, 8, 0, "Income band", {{10, 0, "ten"}, {0, 3, "refused"}, {0, 27, "not asked"}}}},
       {{N(1), N(10)}, {N(3), M(3)}, {N(-1), M(27)}, {M(1), N(20)}}},
      // Extended missing codes .a to .z and system missing in every numeric type.
      {"missing",
       kDelim | kSch55 | kStata | kDelimNa | kSpss | kSasAll,
       {{"id", T_LONG}, {"b", T_BYTE}, {"l", T_LONG}, {"d", T_DOUBLE, 12}},
       {{N(1), M(1), M(2), M(27)}, {N(2), M(2), M(27), M(1)}, {N(3), M(27), M(1), M(2)}, {N(4), N(5), M(14), N(2.5)}}},
      // Dates from the 19th century to past 2038, times and date-times with milliseconds.
      // Release 113 has no date-time storage: its dates are in the Stata tests.
      {"dates",
       kText | kDta114 | kDta115 | kDta117 | kSpss | kSasAll,
       {{"id", T_LONG}, {"day", T_DATE, 10}, {"tod", T_TIME, 12, 3}, {"stamp", T_DATETIME, 23, 3}},
       {{N(1), N(21916), N(0.5), N(40000.25)},                                          // 1960-01-01
        {N(2), N(2), N((13 * 3600 + 14 * 60 + 15.125) / kDay), N(2 + 1.0 / 3)},        // 1900-01-01
        {N(3), N(-36522), N(0), N(-36522 + (1 * 3600 + 2 * 60 + 3.004) / kDay)},        // 1800-01-01
        {N(4), N(51501), N((23 * 3600 + 59 * 60 + 59.999) / kDay), N(73051 + 0.75)},   // 2040-12-31, 2099-12-31
        {N(5), M(1), M(1), M(1)},
        {N(6), N(-2), N(0.25), N(-1.25)}}},  // 29 December 1899 06:00: the time apart from the sign
      // Durations: whole days and the sign survive every file that counts time in seconds.
      {"durations",
       kDta114 | kDta115 | kDta117 | kSpss | kSasAll,
       {{"id", T_LONG}, {"span", T_TIME, 12, 3}},
       {{N(1), N(25.0 / 24)},                               // 25:00:00
        {N(2), N(-1.0 / 24)},                               // -01:00:00
        {N(3), N((72 * 3600 + 5) / kDay)},                  // 72:00:05
        {N(4), N(-(49 * 3600 + 30 * 60 + 0.5) / kDay)}}},  // -49:30:00.5
      // Many variables of mixed kinds in one record.
      {"mixed",
       kAll,
       {{"id", T_LONG, 8, 0, "Identifier"},
        {"name", T_STRING, 12},
        {"score", T_DOUBLE, 12, 2},
        {"when", T_DATE, 10},
        {"flag", T_BYTE, 4, 0, {}, {{0, 0, "no"}, {1, 0, "yes"}}}},
       {{N(1), S("Ann"), N(12.25), N(44000), N(1)},
        {N(2), S(""), N(-0.75), N(1), N(0)},
        {N(3), S("Bob Smith"), M(1), M(1), M(1)}}},
  };
  return table;
}

}  // namespace roundtrip
