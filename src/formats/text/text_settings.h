// The text settings one text transfer works with, taken from the environment when the
// input or output opens (the reader changes its copy: guessed delimiter, names row).
#pragma once

#include <cstdint>
#include <string>

namespace tabulon {

struct EnvRecord;

struct TextSettings {
  // Reading.
  char read_delimiter = ',';
  bool delimiter_autosense = false;
  char read_quote = '"';
  int date_order = 1;
  int year_pos = 2, month_pos = 0, day_pos = 1;
  char date_punct = '/';
  bool legacy_dates = false;
  char currency = '$';
  char decimal_point = '.';
  char thousands = ',';
  int century_cutoff = 20;        // two-digit form
  int century_cutoff_full = 20;   // as given
  bool names_autosense = true;
  uint32_t names_row = 0;
  uint32_t scan_limit = 16;       // 0 = all lines
  uint32_t line_width = 4096;
  uint32_t first_row = 0, last_row = 0, first_col = 0, last_col = 0;
  uint32_t skip_rows = 0;
  bool labels_second_row = false;
  uint32_t blank_rows = 2;        // 0 stop, 1 skip, 2 use
  uint32_t combine = 0;           // 0 off, 1 spaces, 2 spaces and tabs
  std::string na_read;
  bool na_read_set = false;
  bool extended_read = false;
  uint32_t min_string_width = 0;
  uint32_t max_string_width = 0;
  int default_type = 5;
  uint32_t initial_columns = 255;

  // Writing.
  char write_delimiter = ',';
  char write_quote = '"';
  bool write_vnames = true;
  int write_precision = 0;
  bool use_input_decimals = false;
  bool write_century = true;
  bool write_schema = true;
  std::string na_write;
  bool na_write_set = false;
  bool extended_write = false;
  int line_end = 0;               // 0 native, 1 CR LF, 2 line feed alone
};

// The line end of the "line-end" choice: "win" is CR LF, "unix" a line feed alone,
// "native" the platform's.
const char* text_line_end(int line_end);

// The environment's settings (text options, numbered options, date state).
TextSettings text_settings_from_env(const EnvRecord& env);

}  // namespace tabulon
