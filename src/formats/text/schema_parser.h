// The schema language: a small text program describing a fixed-column or delimited
// data file (variables, columns, types, missing values, labels, the data file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dates/date_pattern.h"
#include "dict/user_missing.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;

// What the schema says about one variable beyond its dictionary record.
struct SchemaVar {
  VarRecord* var = nullptr;
  uint16_t line = 0;       // line of the record, 0-based
  uint32_t column = 0;     // first column, 0-based
  uint32_t width = 0;
  int implied = 0;         // implied decimals 0..10
  uint32_t lrecl = 0;      // record length in force when the variable was defined
  MissingSpec missing;
  std::string pattern;     // own date pattern (date, time, date-time)
  ParsePattern parsed;
  std::string tag;         // value-label set
};

struct SchemaInfo {
  bool delimited = false;
  char delimiter = ',';
  bool inline_data = false;      // the data follows "data" in the schema itself
  std::string data_file;         // from "file"
  std::string encoding;          // from "encoding"
  int32_t first_line = 0;        // from "first line"
  uint32_t lines_per_record = 1;
  uint32_t lrecl = 0;            // largest "lrecl"
  uint32_t line_width = 0;       // furthest end column
  std::vector<SchemaVar> vars;   // dictionary order
};

// Hands out the schema's lines one by one: true with a line (not NUL-terminated is fine),
// false at the end. The line stays valid until the next call.
struct SchemaLines {
  void* ctx = nullptr;
  bool (*next)(void* ctx, const char** line, size_t* len) = nullptr;
};

// Reads the schema into env.dict (which must be empty) and `info`. Stops after a "data"
// statement that is not "data list" (inline data). Raises on every schema error.
void parse_schema(EnvRecord& env, const SchemaLines& lines, SchemaInfo& info);

// Lines of an in-memory text (tests and small callers).
struct TextLines {
  const std::string* text = nullptr;
  size_t pos = 0;
  SchemaLines source();
};

// True when a missing-value specification marks x, under the user-missing mode
// (0 every entry, 1 the first only, 2 none).
bool missing_matches(const MissingSpec& spec, double x, int mode);

// Date-pattern kind of a schema type pattern: 7 date, 8 time, 9 date-time, 0 neither.
int pattern_ttype(const std::string& pattern);

}  // namespace tabulon
