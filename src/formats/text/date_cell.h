// Date and time cells of text input: by pattern, or by date order and punctuation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dates/date_pattern.h"

namespace tabulon {

struct EnvRecord;
struct TextSettings;

struct DateCellParser {
  const DateNames* names = nullptr;
  int32_t cutoff = 20;                 // for two-digit years
  // Patterns by storage type; scan is used while a column's type is unknown.
  const ParsePattern* scan = nullptr;
  const ParsePattern* date = nullptr;
  const ParsePattern* time = nullptr;
  const ParsePattern* datetime = nullptr;
  // The date pattern reads month/day/year: "m/d/yyyy" cells may skip the pattern engine.
  bool date_is_mdy = false;
  // Legacy mode: parts by position (0..2) around the punctuation character.
  bool legacy = false;
  int year_pos = 2, month_pos = 0, day_pos = 1;
  char punct = '/';
};

// Points the parser at the environment's reading patterns and names and at the date
// settings of the text options. Where the environment sets no date or time pattern, the
// built-in ones are compiled into the two given patterns, which must outlive the parser.
void date_cell_parser_init(DateCellParser& d, EnvRecord& env, const TextSettings& s, ParsePattern& date_fallback,
                           ParsePattern& time_fallback);

// True for the month-first date patterns the fast path stands in for.
bool date_pattern_is_mdy(const char* text);

// Parses a cell for a column of storage type `ttype` (0 unknown, 7 date, 8 time, 9
// date-time). Returns the type found (7, 8 or 9) with the day number in *day, or 0 when
// the cell is not a date (then *day is 0).
int parse_date_cell(const DateCellParser& p, int ttype, const char* text, size_t len, double* day);

}  // namespace tabulon
