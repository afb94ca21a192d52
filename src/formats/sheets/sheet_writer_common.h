// What the two workbook writers (Excel binary and Office Open XML) share: the sheet name
// taken from the output path, spreadsheet serial numbers of day numbers, column widths.
#pragma once

#include <cmath>

#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon {

struct EnvRecord;
struct VarRecord;

// The file part of an output path without its extension, made a legal sheet name (no
// []:*?/\ characters, no apostrophe at either end, at most max_units UTF-16 units), or
// "Sheet1" when nothing is left.
std::string sheet_name_from_path(std::string_view path, size_t max_units = 31);
// The sheet of an output: the input's chosen member (a transport member, a sheet, a table)
// where there is one, else the output's file name.
std::string sheet_name_for_output(const EnvRecord& env);

// The spreadsheet serial of a day number: day numbers count from 30 December 1899, serials
// also count the 29 February 1900 that never was, so days before 1 March 1900 move down by one.
inline double excel_serial(double day) { return day < 61 ? day - 1 : day; }

// True when a serial is a date a spreadsheet can show (31 December 1899 to 31 December 9999).
inline bool excel_serial_in_range(double serial) { return serial >= 0 && serial < 2958466.0; }

// Cell kinds of a variable (the column of a style-sheet row that formats it).
enum SheetCellKind : uint8_t {
  kCellText = 0,
  kCellAlpha = 1,
  kCellNumbG = 2,
  kCellNumb0 = 3,
  kCellNumb1 = 4,
  kCellNumb2 = 5,
  kCellDate = 6,
  kCellTime = 7,
  kCellDateTime = 8,
};

// The number a cell of this kind holds (dates as serials); false when a sheet cannot hold it.
inline bool sheet_cell_number(unsigned kind, double& x) {
  if (kind == kCellDate || kind == kCellDateTime) {
    x = excel_serial(x);
    if (!excel_serial_in_range(x)) return false;
  }
  return std::isfinite(x);
}

SheetCellKind sheet_cell_kind(const VarRecord& v);

// Column width of a variable: strings their print width (at most 35), others `fallback`;
// widened to the name's length plus 3 when the name is longer.
uint32_t sheet_column_width(const VarRecord& v, uint32_t fallback);

// Characters (code points) of a UTF-8 text.
size_t utf8_chars(std::string_view s);

}  // namespace tabulon
