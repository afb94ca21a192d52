// Exact digits for numbers in a workbook written by libxlsxwriter. The library prints a
// number with 16 significant digits, so a double that needs 17 reads back as a neighbour.
// The writer notes those (rare) cells while it writes; after the workbook is closed, only the
// worksheets that hold such cells are rewritten in the zip with the shortest exact digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tabulon {

// True when the 16-digit text of x does not read back as x.
bool xlsx_needs_exact_digits(double x);

class XlsxDigitFixes {
 public:
  struct Cell {
    uint32_t row;
    uint16_t col;
    uint16_t sheet;  // 1-based, as in xl/worksheets/sheet<N>.xml
    double value;
  };
  XlsxDigitFixes() = default;
  XlsxDigitFixes(const XlsxDigitFixes&) = delete;
  XlsxDigitFixes& operator=(const XlsxDigitFixes&) = delete;
  ~XlsxDigitFixes();

  // Cells of one sheet must come in row-major order; sheets may interleave.
  void add(uint16_t sheet, uint32_t row, uint16_t col, double value);
  bool empty() const { return count_ == 0; }
  uint64_t count() const { return count_; }

  // Rewrites the noted cells of the closed workbook at `path` (through `path`.digits, renamed
  // over it). False with *error set when the package cannot be read or written.
  bool apply(const std::string& path, std::string* error);

 private:
  // Cells beyond this many go to a temporary file, so memory stays flat.
  static constexpr size_t kInMemory = 1 << 16;
  void spill();
  std::vector<Cell> cells_;
  std::FILE* spill_ = nullptr;
  uint64_t count_ = 0;
  bool failed_ = false;  // the temporary file could not be written: apply() refuses
};

}  // namespace tabulon
