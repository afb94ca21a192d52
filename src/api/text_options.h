// Text-reading/writing settings and worksheet settings of one environment. They are set
// by the direct setters, the numbered options and the keyword table, and read by the
// delimited text reader and writer, the date code and the worksheet layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {

struct EnvRecord;

struct TextOptions {
  // Delimiters and quotes. A read delimiter the user never gave is guessed by the reader.
  int32_t read_delimiter = ',';
  int32_t write_delimiter = ',';
  int32_t delimiter_autosense = 0;  // DX_TxtDelimiter with c <= 0
  int32_t delimiter_given = 0;      // the read delimiter was set by the user
  int32_t read_quote = '"';         // 0 = no quote character
  int32_t write_quote = '"';

  // Dates in text: order 1 MDY, 2 DMY, 3 YMD and the position (0..2) of each part.
  int32_t date_order = 1;
  int32_t year_pos = 2, month_pos = 0, day_pos = 1;
  int32_t date_punct = '/';
  int32_t legacy_dates = 0;         // set by DX_TxtDatePunct: read dates by order and punctuation
  int32_t century_cutoff = 20;      // two-digit form (n - 1900 when n was a full year)
  int32_t full_year_cutoff = 20;    // the value as given; >= 100 means a full-year cutoff
  int32_t write_century = 1;
  int32_t century_on = 0;           // DX_CenturyOn

  // Numbers.
  int32_t currency_mark = '$';
  int32_t decimal_point = '.';
  int32_t thousands_sep = ',';
  int32_t write_precision = 0;      // 0 = none
  int32_t use_g_format = 0;         // DX_UseGFormat: "%g" display of numbers

  // Dictionary guessing of the delimited reader.
  int32_t max_fields = 255;         // initial column count
  int32_t look_max_lines = 16;      // 0 = all lines
  int32_t max_line_width = 4096;
  int32_t names_autosense = 1;      // decide from the data whether line 1 holds names
  int32_t names_row = 0;            // 1-based line holding names, 0 = none
  int32_t names_given = 0;          // DX_TxtReadVnames was called

  // Writing.
  int32_t write_vnames = 1;
  int32_t write_schema = 1;

  // Range to read: 1-based, 0 = open.
  int32_t range_first_row = 0, range_last_row = 0, range_first_col = 0, range_last_col = 0;

  // Numeric missing-value texts of the reader (side 1) and the writer (side 2).
  std::string na_read;
  std::string na_write;
  int32_t na_read_set = 0, na_write_set = 0;
  int32_t na_read_extended = 0, na_write_extended = 0;  // the word "extended"

  int32_t text_mode = 5;            // numbered option 22
};

// Installed by the worksheet layer while a workbook is open, so that the setters can act on it.
struct WorkbookHooks {
  int32_t (*select_page)(EnvRecord& env, int32_t page) = nullptr;       // -1 when not a page
  int32_t (*page_by_name)(EnvRecord& env, const char* name) = nullptr;  // page index or -1
  int32_t (*range_by_name)(EnvRecord& env, const char* name) = nullptr;  // 0, -1 unknown name
  int32_t (*range_by_number)(EnvRecord& env, int32_t n) = nullptr;       // 0, -1 past the end
};

constexpr int32_t kWksOpenLastRow = 65535;
constexpr int32_t kWksOpenLastCol = 255;

struct WksSettings {
  // Range, 0-based. An open last row is kWksOpenLastRow until the sheet is opened.
  int32_t range_active = 0;
  int32_t first_row = 0, first_col = 0, last_row = kWksOpenLastRow, last_col = kWksOpenLastCol;
  // Page (sheet), 0-based, or a sheet name still to be looked up when the workbook opens.
  int32_t page_chosen = 0;
  int32_t page = 0;
  std::string page_name;
  // A defined name (or its number) to resolve when the workbook opens; empty / -1 when none.
  std::string pending_range_name;
  int32_t pending_range_number = -1;

  int32_t name_row_mode = 0;        // 0 names in the first row, 1 no name row, 2 names in name_row
  int32_t name_row = 0;
  int32_t read_from_bottom = 0;
  int32_t min_str_width = 0;
  int32_t use_null_cols = 0;
  int32_t return_null_rows = 0;
  int32_t no_vnames = 0;            // reading: no name row; writing: no row of names
  int32_t read_mode = 0;            // non-zero: load the whole workbook into the cell store

  // Writer.
  int32_t write_heading = 0;
  std::vector<int32_t> col_widths;  // per selected variable; 0 = style sheet's width
  std::string cell_note;

  WorkbookHooks hooks;
};

}  // namespace tabulon
