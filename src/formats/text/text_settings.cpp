#include "formats/text/text_settings.h"

#include "api/env_record.h"
#include "api/option_slots.h"

namespace tabulon {

namespace {

// Numbered options this reader and writer use beyond the text options.
constexpr int kOptSkipRowsNumber = 127;
constexpr int kOptLabelsSecondRow = 128;
constexpr int kOptBlankRows = 143;
constexpr int kOptUseInputDecimals = 146;

char as_char(int32_t c) { return static_cast<char>(c > 0 && c < 256 ? c : 0); }

}  // namespace

TextSettings text_settings_from_env(const EnvRecord& env) {
  const TextOptions& t = env.options.text;
  TextSettings s;
  s.read_delimiter = as_char(t.read_delimiter);
  // A read delimiter the user never gave is guessed (the "autosense" default of "delimiter-rd").
  s.delimiter_autosense = t.delimiter_autosense != 0 || !t.delimiter_given || s.read_delimiter == 0;
  if (s.read_delimiter == 0) s.read_delimiter = ',';
  s.read_quote = as_char(t.read_quote);
  if (s.read_quote == ' ') s.read_quote = 0;
  s.date_order = t.date_order;
  s.year_pos = t.year_pos;
  s.month_pos = t.month_pos;
  s.day_pos = t.day_pos;
  s.date_punct = as_char(t.date_punct);
  s.legacy_dates = t.legacy_dates != 0;
  s.currency = as_char(t.currency_mark);
  s.decimal_point = as_char(t.decimal_point);
  if (s.decimal_point == 0) s.decimal_point = '.';
  s.thousands = as_char(t.thousands_sep);
  s.century_cutoff = t.century_cutoff;
  s.century_cutoff_full = t.full_year_cutoff;
  s.names_autosense = t.names_autosense != 0;
  s.names_row = t.names_row > 0 ? static_cast<uint32_t>(t.names_row) : 0;
  s.scan_limit = t.look_max_lines > 0 ? static_cast<uint32_t>(t.look_max_lines) : 0;
  s.line_width = t.max_line_width > 0 ? static_cast<uint32_t>(t.max_line_width) : 4096;
  s.first_row = t.range_first_row > 0 ? static_cast<uint32_t>(t.range_first_row) : 0;
  s.last_row = t.range_last_row > 0 ? static_cast<uint32_t>(t.range_last_row) : 0;
  s.first_col = t.range_first_col > 0 ? static_cast<uint32_t>(t.range_first_col) : 0;
  s.last_col = t.range_last_col > 0 ? static_cast<uint32_t>(t.range_last_col) : 0;
  const int32_t skip = option_int(env, kOptSkipRowsNumber);
  s.skip_rows = skip > 0 ? static_cast<uint32_t>(skip) : 0;
  s.labels_second_row = option_int(env, kOptLabelsSecondRow) != 0;
  const int32_t blank = option_int(env, kOptBlankRows);
  s.blank_rows = blank >= 0 && blank <= 2 ? static_cast<uint32_t>(blank) : 2;
  const int32_t combine = option_int(env, kOptCombineDelimiters);
  s.combine = combine >= 0 && combine <= 2 ? static_cast<uint32_t>(combine) : 0;
  s.na_read_set = t.na_read_set != 0 && !t.na_read.empty() && !t.na_read_extended;
  s.na_read = t.na_read;
  s.extended_read = t.na_read_extended != 0;
  s.initial_columns = t.max_fields > 0 ? static_cast<uint32_t>(t.max_fields) : 255;

  s.write_delimiter = as_char(t.write_delimiter);
  s.write_quote = as_char(t.write_quote);
  if (s.write_quote == ' ') s.write_quote = 0;
  s.write_vnames = t.write_vnames != 0;
  s.write_precision = t.write_precision > 0 ? t.write_precision : 0;
  s.use_input_decimals = option_int(env, kOptUseInputDecimals) != 0;
  s.write_century = t.write_century != 0;
  s.write_schema = t.write_schema != 0;
  s.na_write_set = t.na_write_set != 0 && !t.na_write.empty() && !t.na_write_extended;
  s.na_write = t.na_write;
  s.extended_write = t.na_write_extended != 0;
  s.line_end = option_int(env, kOptLineEnd);
  return s;
}

const char* text_line_end(int line_end) {
  if (line_end == 1) return "\r\n";
  if (line_end == 2) return "\n";
#ifdef _WIN32
  return "\r\n";
#else
  return "\n";
#endif
}

}  // namespace tabulon
