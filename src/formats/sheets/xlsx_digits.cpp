#include "formats/sheets/xlsx_digits.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

#include "io/zip_archive.h"

namespace tabulon {

bool xlsx_needs_exact_digits(double x) {
  // The workbook library prints "%.16G": the cell needs fixing exactly when those 16 digits do
  // not read back as x (the shortest text's length is not the test: next to a power of two the
  // shortest text may round up where the 16 digits round down).
  if (!std::isfinite(x)) return false;
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 15);
  double back = 0;
  const auto p = std::from_chars(buf, r.ptr, back);
  return p.ec != std::errc() || back != x;
}

XlsxDigitFixes::~XlsxDigitFixes() {
  if (spill_) std::fclose(spill_);
}

void XlsxDigitFixes::spill() {
  if (!spill_) spill_ = std::tmpfile();
  if (!spill_ || std::fwrite(cells_.data(), sizeof(Cell), cells_.size(), spill_) != cells_.size()) failed_ = true;
  cells_.clear();
}

void XlsxDigitFixes::add(uint16_t sheet, uint32_t row, uint16_t col, double value) {
  if (failed_) return;
  cells_.push_back(Cell{row, col, sheet, value});
  ++count_;
  if (cells_.size() >= kInMemory && !failed_) spill();
}

namespace {

// The noted cells of one sheet, in the order they were noted: the spilled ones first.
class SheetCursor {
 public:
  SheetCursor(std::FILE* f, const std::vector<XlsxDigitFixes::Cell>& mem, uint16_t sheet)
      : f_(f), mem_(mem), sheet_(sheet) {
    if (f_) std::rewind(f_);
  }
  bool next(XlsxDigitFixes::Cell* c) {
    for (;;) {
      if (fi_ < fn_) {
        *c = fbuf_[fi_++];
      } else if (f_) {
        fn_ = std::fread(fbuf_, sizeof fbuf_[0], kChunk, f_);
        fi_ = 0;
        if (fn_ == 0) f_ = nullptr;
        continue;
      } else if (mi_ < mem_.size()) {
        *c = mem_[mi_++];
      } else {
        return false;
      }
      if (c->sheet == sheet_) return true;
    }
  }

 private:
  static constexpr size_t kChunk = 1024;
  std::FILE* f_;
  const std::vector<XlsxDigitFixes::Cell>& mem_;
  uint16_t sheet_;
  XlsxDigitFixes::Cell fbuf_[kChunk];
  size_t fn_ = 0, fi_ = 0, mi_ = 0;
};

// "B12" -> row 11, column 1.
bool parse_ref(std::string_view ref, uint32_t* row, uint32_t* col) {
  size_t i = 0;
  uint64_t c = 0, r = 0;
  while (i < ref.size() && ref[i] >= 'A' && ref[i] <= 'Z' && i < 4) c = c * 26 + static_cast<uint64_t>(ref[i++] - 'A' + 1);
  if (c == 0 || i == ref.size()) return false;
  for (; i < ref.size(); ++i) {
    if (ref[i] < '0' || ref[i] > '9' || r > 100000000) return false;
    r = r * 10 + static_cast<uint64_t>(ref[i] - '0');
  }
  if (r == 0) return false;
  *row = static_cast<uint32_t>(r - 1);
  *col = static_cast<uint32_t>(c - 1);
  return true;
}

unsigned sheet_number(const std::string& member) {
  unsigned n = 0;
  char tail = 0;
  if (std::sscanf(member.c_str(), "xl/worksheets/sheet%u.xm%c", &n, &tail) == 2 && tail == 'l' &&
      member.size() == std::strlen("xl/worksheets/sheet.xml") + std::to_string(n).size())
    return n;
  return 0;
}

bool copy_member(ZipReader* in, ZipWriter* out) {
  char piece[1 << 16];
  for (;;) {
    const int n = zip_read_piece(in, piece, sizeof piece);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!zip_write_member(out, piece, static_cast<size_t>(n))) return false;
  }
}

// Streams one worksheet, replacing the <v> text of the noted cells. The cells come in the
// order the library wrote them, so one pass with a small window suffices. `at` marks what is
// written already: the window is compacted only when more is read, never per cell.
bool rewrite_sheet(ZipReader* in, ZipWriter* out, SheetCursor& cur, std::string* error) {
  static constexpr std::string_view kTag = "<c r=\"";
  std::string buf;
  size_t at = 0;
  char piece[1 << 16];
  bool eof = false;
  auto fill = [&]() {
    buf.erase(0, at);
    at = 0;
    const int n = zip_read_piece(in, piece, sizeof piece);
    if (n < 0) return false;
    if (n == 0) eof = true;
    buf.append(piece, static_cast<size_t>(n));
    return true;
  };
  auto emit_to = [&](size_t to) {  // writes buf[at, to)
    const bool ok = to <= at || zip_write_member(out, buf.data() + at, to - at);
    if (to > at) at = to;
    return ok;
  };
  XlsxDigitFixes::Cell next{};
  bool have = cur.next(&next);
  while (have) {
    const size_t i = buf.find(kTag, at);
    if (i == std::string::npos) {
      if (eof) break;
      if (!emit_to(buf.size() > at + kTag.size() ? buf.size() - kTag.size() : at) || !fill()) return false;
      continue;
    }
    if (!emit_to(i)) return false;
    const size_t q = buf.find('"', i + kTag.size());
    const size_t gt = q == std::string::npos ? q : buf.find('>', q);
    const size_t end = gt == std::string::npos ? gt : buf.find("</c>", gt);
    if (gt == std::string::npos || (buf[gt - 1] != '/' && end == std::string::npos)) {
      if (eof) break;
      if (!fill()) return false;
      continue;
    }
    uint32_t row = 0, col = 0;
    if (!parse_ref(std::string_view(buf).substr(i + kTag.size(), q - i - kTag.size()), &row, &col)) {
      if (!emit_to(i + kTag.size())) return false;
      continue;
    }
    if (next.row < row || (next.row == row && next.col < col)) break;
    if (next.row != row || next.col != col) {
      if (!emit_to(i + kTag.size())) return false;
      continue;
    }
    const size_t vs = buf[gt - 1] == '/' ? std::string::npos : buf.find("<v>", gt);
    if (vs == std::string::npos || vs > end) break;  // not a number cell
    const size_t ve = buf.find("</v>", vs);
    if (ve == std::string::npos || ve > end) break;
    char digits[40];
    const auto r = std::to_chars(digits, digits + sizeof digits, next.value);
    if (!emit_to(vs + 3) || !zip_write_member(out, digits, static_cast<size_t>(r.ptr - digits))) return false;
    at = ve;  // the old digits are dropped
    have = cur.next(&next);
  }
  if (have) {
    *error = "a cell noted for exact digits is missing from its worksheet";
    return false;
  }
  if (!emit_to(buf.size())) return false;
  return eof || copy_member(in, out);
}

}  // namespace

bool XlsxDigitFixes::apply(const std::string& path, std::string* error) {
  if (count_ == 0) return true;
  if (failed_) {
    *error = "cannot keep the cells that need exact digits in a temporary file";
    return false;
  }
  std::set<unsigned> sheets;
  if (spill_) {
    std::rewind(spill_);
    Cell chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, sizeof chunk[0], 1024, spill_)) > 0)
      for (size_t i = 0; i < n; ++i) sheets.insert(chunk[i].sheet);
  }
  for (const Cell& c : cells_) sheets.insert(c.sheet);

  const std::string tmp = path + ".digits";
  ZipReader* in = zip_open_read(path.c_str());
  if (!in) {
    *error = "cannot read the workbook back";
    return false;
  }
  ZipWriter* out = zip_create(tmp.c_str());
  if (!out) {
    zip_close_read(in);
    *error = "cannot create " + tmp;
    return false;
  }
  bool ok = true;
  for (const std::string& name : zip_member_names(in)) {
    if (zip_open_member(in, name.c_str()) != ZipStatus::Ok || !zip_begin_member(out, name.c_str(), 6, true)) {
      ok = false;
      break;
    }
    const unsigned sheet = sheet_number(name);
    if (sheet && sheets.count(sheet)) {
      SheetCursor cur(spill_, cells_, static_cast<uint16_t>(sheet));
      ok = rewrite_sheet(in, out, cur, error);
    } else {
      ok = copy_member(in, out);
    }
    ok = zip_close_member(in) == ZipStatus::Ok && zip_end_member(out) && ok;
    if (!ok) break;
  }
  ok = zip_close_write(out) && ok;
  zip_close_read(in);
  if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    std::remove(tmp.c_str());
    if (error->empty()) *error = "cannot rewrite the workbook";
  }
  return ok;
}

}  // namespace tabulon
