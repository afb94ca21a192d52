// Text output: delimited (18), fixed-column (19) and HTML table (31), and the ".SCH" file.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dates/date_pattern.h"
#include "engine/transfer_state.h"
#include "formats/text/text_settings.h"

namespace tabulon {

struct VarRecord;
struct Stream;

struct TextWriter : FormatState {
  TextSettings s;
  int32_t format = 18;
  Stream* out = nullptr;
  std::vector<char> buf;          // pending output, written in large blocks
  std::vector<char> line;         // a delimited record being built (grown, never shrunk)
  std::vector<VarRecord*> vars;   // kept variables in dictionary order
  const char* eol = "\r\n";
  size_t eol_len = 2;
  bool started = false;           // names line / page head written
  bool convert = false;           // strings go through the output encoder

  FormatPattern date_fmt[3];      // date, time, date-time
  bool date_fraction[3] = {};     // default pattern: seconds get their fraction when there is one
  bool quote_numbers = false;     // the decimal point is the delimiter: numbers are quoted
  std::vector<int64_t> cut;       // per kept variable: values that did not fit their column
  bool date_fast = false;         // the date pattern has only month, day, year and literals
  bool datetime_fast = false;     // the date-time pattern has only those and hours, minutes, seconds

  // Fixed layout.
  std::vector<uint32_t> start, width;
  uint32_t total = 0;
  // Set before opening: start/width/total and these date patterns are kept as given.
  bool preset_layout = false;
  std::string preset_patterns[3];

  // HTML.
  size_t html_column = 0;
};

// Sets up a writer for format 18, 19 or 31 over the output stream (or, in tests, a
// null stream with the text collected in w.buf). Writes the ".SCH" file for 18 and 19
// when asked. 0, or -1 when the ".SCH" file cannot be created.
int32_t text_writer_open(EnvRecord& env, TextWriter& w, int32_t format, Stream* out, const std::string& path);
// One record from the record buffer. 0, or -1 on a write error.
int32_t text_writer_record(EnvRecord& env, TextWriter& w);
// Finishes (HTML trailer) and writes what is pending. 0, or -1 on a write error.
int32_t text_writer_close(EnvRecord& env, TextWriter& w);

// Date text of a whole day number for patterns made of %m %d %Y %y %x and literals (with
// or without the zero flag). Returns -1 when the pattern or the day is outside that case.
ptrdiff_t format_simple_date(const FormatPattern& pattern, double day, char* out, size_t cap);
bool simple_date_pattern(const FormatPattern& pattern);
// The same for date-times (%H %M %S too) from 1900 to 9998, as format_day_number writes
// them; *millisecond receives the part of a second the text leaves out.
ptrdiff_t format_simple_datetime(const FormatPattern& pattern, double day, char* out, size_t cap, int* millisecond);
bool simple_datetime_pattern(const FormatPattern& pattern);

// Path of the ".SCH" file beside an output path.
std::string schema_path_for(const std::string& path);
// The ".SCH" text for a writer (its fields also fix the fixed layout for format 19).
std::string schema_text(EnvRecord& env, TextWriter& w, const std::string& path);

}  // namespace tabulon
