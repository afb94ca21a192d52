// The worksheet layer: a workbook held as sheets of rows of cells, the choice of page,
// range and name row, the dictionary built from it and one record per worksheet row.
// Cell sources (the BIFF reader, later others) fill a Workbook; everything else is here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;

enum WksCellKind : uint8_t { kCellEmpty = 0, kCellString = 1, kCellNumber = 2 };

// Number classes of a cell (the class of its number format).
constexpr uint8_t kClassDate = 32;
constexpr uint8_t kClassTime = 64;
constexpr uint8_t kClassDateTime = 65;

struct WksCell {
  uint8_t kind = kCellEmpty;
  uint8_t number_class = 0;
  uint8_t error = 0;     // an error value (#N/A...) stands in the cell; value holds its code
  uint8_t decimals = 0;  // of the cell's number format
  uint16_t col = 0;
  uint8_t boolean = 0;   // a TRUE/FALSE cell (value 1 or 0)
  uint32_t text_index = 0;  // into Workbook::texts; string cells only
  double value = 0;
};

// Only the cells a record gave are kept (sorted by column), so that a file cannot make
// the table grow beyond its own cell records.
struct WksRow {
  int32_t row = 0;
  std::vector<WksCell> cells;
  int32_t width() const { return cells.empty() ? 0 : cells.back().col + 1; }
  const WksCell* find(int32_t col) const;
};

struct WksSheet {
  std::string name;
  std::vector<WksRow> rows;  // the rows with cells, sorted by row
  int32_t row_count = 0;     // last used row + 1
  int64_t handle_base = 0;   // row handle of the sheet's row 0 (the rows of the sheets before it)
  bool has_cells = false;
  uint8_t widths[256] = {};
  uint8_t default_width = 9;
};

// A defined name of the workbook.
struct WksRange {
  uint32_t first_sheet = 0, last_sheet = 0;
  uint8_t first_col = 0, last_col = 0;
  uint32_t first_row = 0, last_row = 0;
  int32_t sheet = 0;
  std::string name;
};

struct Workbook {
  std::vector<WksSheet> sheets;
  std::vector<WksRange> ranges;
  std::vector<std::string> texts;  // UTF-8 strings the cells refer to
  bool date1904 = false;

  // The cell at a place, made empty when the place had none.
  WksCell& cell(int32_t sheet, uint32_t row, uint32_t col);
  // Numbers the rows of all sheets for the cell API's row handles (once the workbook is read).
  void finish();
  uint32_t add_text(std::string text) {
    texts.push_back(std::move(text));
    return static_cast<uint32_t>(texts.size() - 1);
  }
};

// A row of a sheet, or null when it holds no cell.
const WksRow* wks_sheet_row(const WksSheet& sh, int32_t row);

// Column letters: 0 "A", 25 "Z", 26 "AA", 255 "IV".
std::string wks_column_letters(uint32_t col);
// "A:B2..A:F40".
std::string wks_range_coord(const WksRange& r);
// Text of a cell: strings as they are, numbers in their shortest exact form; "#NA" for errors.
std::string wks_cell_text(const Workbook& wb, const WksCell& c);
// Text of a cell placed in a text column: dates as the date (and time) they show, booleans
// TRUE/FALSE, errors as Excel names them, other numbers in their shortest exact form.
std::string wks_cell_display(const Workbook& wb, const WksCell& c);
// Excel's error codes and their texts (#DIV/0! is 0x07); -1 / null for unknown ones.
const char* wks_error_text(uint8_t code);
int32_t wks_error_code(std::string_view text);
// Day number (days since 30 December 1899) of a serial number of a date or date-time cell.
// 1904 workbooks count from 1 January 1904. The 1900 system counts a 29 February 1900 that
// never was: serials 1 to 59 are one day later than day numbers, serial 60 (that phantom
// day) reads as 28 February 1900, serials below 1 are times of day and stay as they are.
double wks_day_number(const Workbook& wb, double serial);

// Per-column facts of the dictionary scan.
struct WksColumn {
  uint32_t col = 0;
  int32_t var = -1;  // variable index, -1 when the column was dropped
};

// Rows first..last of one sheet, read in turn.
struct WksSegment {
  int32_t page = 0, first = 0, last = -1;
};

struct WorksheetState : FormatState {
  Workbook wb;
  int32_t page = -1;  // sheet read
  int32_t first_col = 0, last_col = 255;
  int32_t data_first = 0, data_last = -1;  // 0-based rows of the sheet
  int32_t next_row = 0;
  int32_t start_row = 0, start_page = 0;
  bool dict_built = false;
  std::vector<WksColumn> columns;
  std::vector<int32_t> member_pages;  // page of each member
  std::vector<WksSegment> segments;   // the rows read: the page's, then concatenated pages'
  size_t seg = 0, saved_seg = 0;
  int32_t blank_rows = 0;             // kBlankStop, kBlankSkip or kBlankUse
  std::string na_text;                // a string cell with this text is a missing value

  bool is_value(const Workbook& w, const WksCell& c) const {
    if (c.kind == kCellEmpty || c.error) return false;
    return c.kind != kCellString || na_text.empty() || w.texts[c.text_index] != na_text;
  }
  // No cell (not even an error value) in the columns read.
  bool blank_row(const WksSheet& sh, int32_t r) const {
    const WksRow* row = wks_sheet_row(sh, r);
    if (!row) return true;
    for (const WksColumn& col : columns) {
      const WksCell* c = row->find(static_cast<int32_t>(col.col));
      if (c && (c->error || (c->kind != kCellEmpty && is_value(wb, *c)))) return false;
    }
    return true;
  }
};

// Numbered option 6 (wks-blank-rows).
constexpr int32_t kBlankStop = 0, kBlankSkip = 1, kBlankUse = 2;

// Called by a cell source's open hook once its Workbook is filled: lists the sheets as
// members and installs the setting hooks. Raises "Worksheet is empty" for a workbook without sheets.
void wks_attach(EnvRecord& env, WorksheetState& s);
int32_t wks_read_dict(EnvRecord& env);
int32_t wks_read_case(EnvRecord& env);
int32_t wks_read_members(EnvRecord& env);
int32_t wks_select_member(EnvRecord& env, int32_t index);
int32_t wks_save_position(EnvRecord& env);
int32_t wks_restore_position(EnvRecord& env);
void wks_close(EnvRecord& env);
// The open workbook's state, or null when the input is no worksheet read by this layer.
WorksheetState* wks_state(EnvRecord& env);

}  // namespace tabulon
