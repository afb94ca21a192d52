// The date pattern language: formatting day numbers and parsing date/time texts.
// Compile a pattern once; formatting and parsing a compiled pattern never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dates/date_names.h"
#include "dates/day_number.h"

namespace tabulon {

struct EnvRecord;

// Kinds of value, for the built-in patterns.
constexpr int32_t kDateKindDate = 0;
constexpr int32_t kDateKindTime = 1;
constexpr int32_t kDateKindDateTime = 2;
constexpr int32_t kDateKindScan = 3;  // parsing only

// Built-in patterns used where the environment has none.
extern const char* const kDefaultParsePattern;
const char* default_format_pattern(int32_t kind);  // date "%x", time, date-time

// ---- formatting ----
struct FormatOp {
  char letter = 0;        // 0: a literal run of `text`
  uint8_t zero = 0;       // "0" flag: two-digit zero-padded numbers
  uint8_t digits = 0;     // digit count of %N (0 = default 3)
  uint32_t offset = 0;    // literal run
  uint32_t length = 0;
};

struct FormatPattern {
  std::string text;
  std::vector<FormatOp> ops;
  // A time pattern with only time directives (%H %M %S %N %I %h %p): the value is a
  // duration, written with its sign and hours beyond 23 ("%H" of 25/24 writes 25).
  bool duration = false;
};

// `time_kind`: the pattern writes times (T_TIME values), not day numbers.
void compile_format_pattern(std::string_view pattern, FormatPattern* out, bool time_kind = false);

// Writes at most cap - 1 characters and terminates when cap > 0. Returns the length
// written, or -1 when the day number cannot be split. kNowDayNumber writes the current
// local date and time.
ptrdiff_t format_day_number(const FormatPattern& pattern, const DateNames& names, double day, char* out,
                            size_t cap);
ptrdiff_t format_date_parts(const FormatPattern& pattern, const DateNames& names, const DateParts& parts,
                            double day, char* out, size_t cap);
// Convenience for one-off calls on day numbers: a null or empty pattern takes the built-in
// one of `kind`; a time pattern writes the time of day, not a duration.
ptrdiff_t format_day_text(const char* pattern, int32_t kind, const DateNames& names, double day, char* out,
                          size_t cap);

// ---- parsing ----
struct ParseOp {
  enum Kind : uint8_t { kLiteral, kField, kGroupOpen, kGroupClose };
  Kind kind = kLiteral;
  char ch = 0;            // literal character or directive letter
  char stop = 0;          // field extent "%:x": up to the character x
  uint8_t extent = 0;     // 0 natural, 1 width, 2 stop character, 3 rest of the text
  uint16_t width = 0;
  uint32_t close = 0;     // kGroupOpen: index of its kGroupClose
};

struct ParsePattern {
  std::vector<ParseOp> ops;
  bool valid = false;     // false: a "[" without its "]" (or nesting too deep); every parse fails
};

void compile_parse_pattern(std::string_view pattern, ParsePattern* out);

// Parses the whole text (only blanks may follow the match). `century_cutoff` applies to
// two-digit years read by %y. On success the parts carry kPartsDate when a year or day was
// read and kPartsTime when a time field was read; on failure they are cleared.
bool parse_date_text(const ParsePattern& pattern, const DateNames& names, int32_t century_cutoff,
                     const char* text, size_t len, DateParts* parts);

// ---- the environment's patterns ----
// Formats with the environment's writing pattern for a storage type (T_DATE, T_TIME,
// T_DATETIME). Returns the length; 0 and an empty text when the value cannot be split.
size_t date_format_value(EnvRecord& env, int ttype, double day, char* out, size_t cap);
// Parses with the environment's reading pattern (kind 0 date, 1 time, 2 date-time, 3 scan).
// False when the text does not match or holds neither a date nor a time.
bool date_parse_value(EnvRecord& env, int kind, const char* text, size_t len, double* out);

// Century cutoff in force for two-digit years.
int32_t date_century_cutoff(const EnvRecord& env);

}  // namespace tabulon
