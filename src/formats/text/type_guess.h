// Guessing a column's storage type, width and decimals from the cells of the first lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/optimize.h"
#include "formats/text/date_cell.h"
#include "formats/text/number_text.h"

namespace tabulon {

struct ColumnGuess {
  int type = 0;        // storage type; 0 while nothing is known
  uint32_t width = 0;  // widest text seen
  int decimals = 0;
  // What the record reader will deliver from the cells taken while collecting (for the
  // optimization pass): present numbers, and the longest cell.
  VarStats numbers;              // complete once finish_guess has run
  std::vector<double> pending;   // values not yet in numbers: taken a run at a time
  uint32_t longest = 0;
  bool saw_date = false;  // a cell read as a date: a numeric column reads it otherwise
  bool saw_nul = false;
};

// Widest string column a scan sets up when nothing else is asked (the longest string an
// output can hold).
constexpr uint32_t kDefaultStringCap = 32767;

struct CellContext {
  NumberPunct punct;
  const DateCellParser* dates = nullptr;
  uint32_t max_string_width = 0;  // 0 counts up to kDefaultStringCap
  // The scan pattern cannot match a plain number ("-12", "3.5"): such cells skip it.
  bool plain_numbers_not_dates = false;
  bool collect = false;  // the line is a record: gather the pass's statistics
  size_t pending_run = 1024;  // values a column holds back before taking them as a run
};

// True for the scan patterns known not to match plain numbers.
bool scan_pattern_skips_numbers(const char* pattern_text);

// Takes one cell into the column's guess. A quoted cell makes the column a string for good.
void guess_cell(ColumnGuess& col, const char* text, size_t len, bool quoted, const CellContext& ctx);

// Final type and width of a column after the scan.
void finish_guess(ColumnGuess& col, int default_type, uint32_t min_string_width);

}  // namespace tabulon
