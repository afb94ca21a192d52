// The worksheet layer over a loaded workbook.
#include "formats/sheets/worksheet_model.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/option_setters.h"
#include "api/option_slots.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "engine/format_hooks.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

constexpr size_t kMaxNameLength = 255;
constexpr int kOptWksLabelRow = 135;
// Numbered option 99: a name cell "name - label" gives the variable's name and its label.
constexpr int kOptWksSplitNameLabels = 99;

// A cell that makes its row a row of data: any value, an error value too.
bool occupied(const WksCell& c) { return c.kind != kCellEmpty || c.error; }

const WksRow* sheet_row(const Workbook&, const WksSheet& sh, int32_t row) { return wks_sheet_row(sh, row); }

const WksCell* row_cell(const WksRow* r, int32_t col) { return r ? r->find(col) : nullptr; }

int32_t find_sheet(const Workbook& wb, const char* name) {
  for (size_t i = 0; i < wb.sheets.size(); ++i)
    if (strcasecmp(wb.sheets[i].name.c_str(), name) == 0) return static_cast<int32_t>(i);
  return -1;
}

void apply_range(EnvRecord& env, WorksheetState& s, const WksRange& r) {
  WksSettings& w = env.options.wks;
  w.range_active = 1;
  w.first_row = static_cast<int32_t>(r.first_row);
  w.last_row = static_cast<int32_t>(r.last_row);
  w.first_col = r.first_col;
  w.last_col = r.last_col;
  w.pending_range_name.clear();
  w.pending_range_number = -1;
  if (r.sheet >= 0 && r.sheet < static_cast<int32_t>(s.wb.sheets.size())) {
    w.page = r.sheet;
    w.page_chosen = 1;
    w.page_name.clear();
  }
}

int32_t hook_select_page(EnvRecord& env, int32_t page) {
  WorksheetState* s = wks_state(env);
  if (!s || page < 0 || page >= static_cast<int32_t>(s->wb.sheets.size())) return -1;
  for (size_t i = 0; i < s->member_pages.size(); ++i)
    if (s->member_pages[i] == page) env.transfer.current_member = static_cast<int32_t>(i);
  s->start_row = 0;
  return 0;
}
int32_t hook_page_by_name(EnvRecord& env, const char* name) {
  WorksheetState* s = wks_state(env);
  return s ? find_sheet(s->wb, name) : -1;
}
int32_t hook_range_by_number(EnvRecord& env, int32_t n) {
  WorksheetState* s = wks_state(env);
  if (!s || n < 0 || n >= static_cast<int32_t>(s->wb.ranges.size())) return -1;
  apply_range(env, *s, s->wb.ranges[static_cast<size_t>(n)]);
  return 0;
}
int32_t hook_range_by_name(EnvRecord& env, const char* name) {
  WorksheetState* s = wks_state(env);
  if (!s) return -1;
  for (size_t i = 0; i < s->wb.ranges.size(); ++i)
    if (strcasecmp(s->wb.ranges[i].name.c_str(), name) == 0)
      return hook_range_by_number(env, static_cast<int32_t>(i));
  // Not a defined name: a single corner such as "C5" or "Sheet2!C5", read to the last row and column.
  const std::string corner = std::string(name) + ":";
  return std::strchr(name, ':') ? -1 : wks_set_range_with_name(env, corner.c_str());
}

// Shortest exact digits: 1.02 stays "1.02" instead of showing the binary noise of 18 digits.
std::string number_name(double x) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

void put_text(DictState& d, VarRecord& v, std::string_view text) {
  char* slot = reinterpret_cast<char*>(var_slot(d, v));
  size_t n = var_set_string(d, v, text);
  for (size_t i = 0; i < n; ++i)
    if (slot[i] == '\n' || slot[i] == '\r') slot[i] = ' ';
}

}  // namespace

const WksRow* wks_sheet_row(const WksSheet& sh, int32_t row) {
  if (row < 0 || row >= sh.row_count) return nullptr;
  auto at = std::lower_bound(sh.rows.begin(), sh.rows.end(), row,
                             [](const WksRow& r, int32_t k) { return r.row < k; });
  return at != sh.rows.end() && at->row == row ? &*at : nullptr;
}

void Workbook::finish() {
  int64_t base = 0;
  for (WksSheet& sh : sheets) {
    sh.handle_base = base;
    base += sh.row_count;
  }
}

WksCell& Workbook::cell(int32_t sheet, uint32_t row, uint32_t col) {
  WksSheet& sh = sheets[static_cast<size_t>(sheet)];
  const int32_t r_index = static_cast<int32_t>(row);
  WksRow* rp;
  if (sh.rows.empty() || sh.rows.back().row < r_index) {
    rp = &sh.rows.emplace_back();
    rp->row = r_index;
  } else {
    auto at = std::lower_bound(sh.rows.begin(), sh.rows.end(), r_index,
                               [](const WksRow& x, int32_t k) { return x.row < k; });
    if (at == sh.rows.end() || at->row != r_index) {
      at = sh.rows.insert(at, WksRow{});
      at->row = r_index;
    }
    rp = &*at;
  }
  if (r_index >= sh.row_count) sh.row_count = r_index + 1;
  WksRow& r = *rp;
  sh.has_cells = true;
  if (r.cells.empty() || r.cells.back().col < col) {
    r.cells.emplace_back().col = static_cast<uint16_t>(col);
    return r.cells.back();
  }
  auto at = std::lower_bound(r.cells.begin(), r.cells.end(), col,
                             [](const WksCell& c, uint32_t k) { return c.col < k; });
  if (at == r.cells.end() || at->col != col) {
    at = r.cells.insert(at, WksCell{});
    at->col = static_cast<uint16_t>(col);
  }
  return *at;
}

const WksCell* WksRow::find(int32_t col) const {
  if (col < 0 || col >= width()) return nullptr;
  auto at = std::lower_bound(cells.begin(), cells.end(), col,
                             [](const WksCell& c, int32_t k) { return c.col < k; });
  return at != cells.end() && at->col == col ? &*at : nullptr;
}

std::string wks_column_letters(uint32_t col) {
  std::string s;
  if (col > 25) s += static_cast<char>('A' + col / 26 - 1);
  s += static_cast<char>('A' + col % 26);
  return s;
}

std::string wks_range_coord(const WksRange& r) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s:%s%u..%s:%s%u", wks_column_letters(r.first_sheet).c_str(),
                wks_column_letters(r.first_col).c_str(), r.first_row + 1,
                wks_column_letters(r.last_sheet).c_str(), wks_column_letters(r.last_col).c_str(),
                r.last_row + 1);
  return buf;
}

std::string wks_cell_text(const Workbook& wb, const WksCell& c) {
  if (c.error) return "#NA";
  if (c.kind == kCellString) return wb.texts[c.text_index];
  if (c.kind != kCellNumber) return {};
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, c.value);
  return std::string(buf, res.ptr);
}

const char* wks_error_text(uint8_t code) {
  switch (code) {
    case 0x00: return "#NULL!";
    case 0x07: return "#DIV/0!";
    case 0x0F: return "#VALUE!";
    case 0x17: return "#REF!";
    case 0x1D: return "#NAME?";
    case 0x24: return "#NUM!";
    case 0x2A: return "#N/A";
    case 0x2B: return "#GETTING_DATA";
    default: return nullptr;
  }
}

int32_t wks_error_code(std::string_view text) {
  for (int c = 0; c < 0x2C; ++c) {
    const char* t = wks_error_text(static_cast<uint8_t>(c));
    if (t && text == t) return c;
  }
  return -1;
}

double wks_day_number(const Workbook& wb, double serial) {
  if (wb.date1904) return serial + 1462.0;
  if (serial >= 1.0 && serial < 60.0) return serial + 1.0;
  return serial;
}

std::string wks_cell_display(const Workbook& wb, const WksCell& c) {
  if (c.error) {
    const char* t = wks_error_text(static_cast<uint8_t>(c.value));
    return t ? t : "#N/A";
  }
  if (c.kind == kCellString) return wb.texts[c.text_index];
  if (c.kind != kCellNumber) return {};
  if (c.boolean) return c.value != 0 ? "TRUE" : "FALSE";
  const bool dated = c.number_class == kClassDate || c.number_class == kClassDateTime;
  if (dated || c.number_class == kClassTime) {
    const double day = dated ? wks_day_number(wb, c.value) : c.value;
    DateParts p;
    if (day >= 0 && day_to_parts(day, &p)) {
      char buf[48];
      int n = 0;
      const bool has_time = day != static_cast<double>(static_cast<int64_t>(day));
      if (dated) n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month + 1, p.mday);
      if (!dated || has_time) {
        // Elapsed times may pass 24 hours.
        const int hours = dated ? p.hour : static_cast<int>(day) * 24 + p.hour;
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%s%02d:%02d:%02d", dated ? " " : "",
                           hours, p.minute, p.second);
      }
      return std::string(buf, static_cast<size_t>(n));
    }
  }
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, c.value);
  return std::string(buf, res.ptr);
}

WorksheetState* wks_state(EnvRecord& env) {
  if (!env.transfer.input_open || !(env.transfer.input_open_flags & kInputWorksheet)) return nullptr;
  return dynamic_cast<WorksheetState*>(env.transfer.reader_state.get());
}

void wks_attach(EnvRecord& env, WorksheetState& s) {
  if (s.wb.sheets.empty()) RaiseError(env, "Worksheet is empty", nullptr);
  WksSettings& w = env.options.wks;
  w.hooks.select_page = hook_select_page;
  w.hooks.page_by_name = hook_page_by_name;
  w.hooks.range_by_name = hook_range_by_name;
  w.hooks.range_by_number = hook_range_by_number;
  wks_read_members(env);
  env.transfer.members_read = 1;
  // The page is chosen by the settings (or the first sheet with cells) when the
  // dictionary is read; the engine must not force the first member.
  env.transfer.current_member = 0;
}

// Members are all the sheets, in workbook order; one without cells reads as an empty table.
int32_t wks_read_members(EnvRecord& env) {
  WorksheetState* s = wks_state(env);
  if (!s) return -1;
  env.transfer.members.clear();
  s->member_pages.clear();
  for (size_t i = 0; i < s->wb.sheets.size(); ++i) {
    const std::string& n = s->wb.sheets[i].name;
    env.transfer.members.push_back(n.empty() ? "Sheet" + std::to_string(i + 1) : n);
    s->member_pages.push_back(static_cast<int32_t>(i));
  }
  return static_cast<int32_t>(s->member_pages.size());
}

int32_t wks_select_member(EnvRecord& env, int32_t index) {
  WorksheetState* s = wks_state(env);
  if (!s || index < 0 || index >= static_cast<int32_t>(s->member_pages.size())) return -1;
  WksSettings& w = env.options.wks;
  const int32_t page = s->member_pages[static_cast<size_t>(index)];
  // The first member is also what hosts select by default: when that sheet is empty the
  // default rule (the first sheet with cells) still decides.
  if (index == 0 && !s->wb.sheets[static_cast<size_t>(page)].has_cells) return 0;
  w.page = page;
  w.page_chosen = 1;
  w.page_name.clear();
  return 0;
}

void wks_close(EnvRecord& env) { env.options.wks.hooks = WorkbookHooks{}; }

int32_t wks_save_position(EnvRecord& env) {
  WorksheetState* s = wks_state(env);
  if (!s) return -1;
  s->start_row = s->next_row;
  s->saved_seg = s->seg;
  return 0;
}
int32_t wks_restore_position(EnvRecord& env) {
  WorksheetState* s = wks_state(env);
  if (!s) return -1;
  s->next_row = s->start_row;
  s->seg = s->saved_seg;
  return 0;
}

int32_t wks_read_dict(EnvRecord& env) {
  WorksheetState* sp = wks_state(env);
  if (!sp) RaiseError(env, "error reading worksheet file", nullptr);
  WorksheetState& s = *sp;
  Workbook& wb = s.wb;
  WksSettings& w = env.options.wks;
  const int32_t nsheets = static_cast<int32_t>(wb.sheets.size());

  if (wb.sheets.empty()) RaiseError(env, "Worksheet is empty", nullptr);
  const char* na = option_text(env, kOptWksNaString);
  s.na_text = na && strcasecmp(na, "none") != 0 ? na : "";

  // Settings made before the workbook was open.
  if (!w.page_name.empty()) {
    int32_t p = find_sheet(wb, w.page_name.c_str());
    if (p < 0) RaiseError(env, "No cells found in file or selected range", nullptr);
    w.page = p;
    w.page_chosen = 1;
    w.page_name.clear();
  }
  if (!w.pending_range_name.empty()) {
    const std::string pending = w.pending_range_name;
    if (hook_range_by_name(env, pending.c_str()) < 0)
      RaiseErrorF(env, "Unknown range name: %s", pending.c_str());
  } else if (w.pending_range_number >= 0) {
    if (hook_range_by_number(env, w.pending_range_number) < 0)
      RaiseErrorF(env, "Unknown range number: %d", w.pending_range_number);
  } else if (!w.range_active) {
    for (const WksRange& r : wb.ranges)
      if (strcasecmp(r.name.c_str(), "DATA") == 0) {
        apply_range(env, s, r);
        break;
      }
  }

  int32_t page = -1;
  if (w.page_chosen) {
    page = w.page;
  } else {
    for (int32_t i = 0; i < nsheets && page < 0; ++i)
      if (wb.sheets[static_cast<size_t>(i)].has_cells) page = i;
    if (page < 0) page = 0;  // no sheet holds cells: the first one, as an empty table
  }
  if (page < 0 || page >= nsheets) RaiseError(env, "No cells found in file or selected range", nullptr);
  const WksSheet& sh = wb.sheets[static_cast<size_t>(page)];
  s.page = page;
  if (!sh.has_cells && !w.range_active) {
    // A sheet without cells is an empty table, not a failure: workbooks keep such sheets.
    s.columns.clear();
    s.first_col = 0;
    s.last_col = -1;
    s.data_first = s.next_row = s.start_row = 0;
    s.data_last = -1;
    s.segments.clear();
    s.seg = s.saved_seg = 0;
    s.start_page = page;
    s.dict_built = true;
    env.transfer.announced_cases = 0;
    env.transfer.current_member = page;
    return 0;
  }
  if (!sh.has_cells) RaiseError(env, "No cells found in file or selected range", nullptr);

  // The rectangle: with a range its corners, else the used rows and columns.
  int32_t first_row = 0, last_row = sh.row_count - 1, first_col = 0, last_col = 0;
  if (w.range_active) {
    first_row = w.first_row;
    first_col = w.first_col;
    last_row = w.last_row >= kWksOpenLastRow ? sh.row_count - 1 : w.last_row;
    last_col = std::min(w.last_col, kWksOpenLastCol);
  } else {
    if (!sh.rows.empty()) first_row = sh.rows.front().row;
  }
  int32_t used_last_col = -1;
  bool cells_inside = false;
  for (int32_t r = first_row; r <= last_row && r < sh.row_count; ++r) {
    const WksRow* row = sheet_row(wb, sh, r);
    if (!row) continue;
    for (auto it = row->cells.rbegin(); it != row->cells.rend(); ++it) {
      const int32_t c = it->col;
      if (c < first_col) break;
      if (!occupied(*it)) continue;
      if (w.range_active && c > last_col) continue;
      used_last_col = std::max(used_last_col, c);
      cells_inside = true;
      break;
    }
  }
  if (!cells_inside) RaiseError(env, "No cells found in file or selected range", nullptr);
  if (!w.range_active) last_col = used_last_col;
  if (!w.range_active || last_col > used_last_col) last_col = std::max(used_last_col, first_col);

  const bool no_names = w.no_vnames || w.name_row_mode == 1;
  int32_t name_row = -1, data_first = first_row;
  if (!no_names) {
    if (w.name_row_mode == 2) {
      name_row = w.name_row;
    } else {
      name_row = first_row;
      data_first = first_row + 1;
    }
  }
  // Numbered option 135: the row after the name row holds the variable labels.
  int32_t label_row = -1;
  if (name_row >= 0 && option_int(env, kOptWksLabelRow) != 0) {
    label_row = name_row + 1;
    if (data_first <= label_row) data_first = label_row + 1;
  }
  int32_t data_last = last_row;
  if (w.read_from_bottom > 0 && data_last - w.read_from_bottom + 1 > data_first)
    data_first = data_last - w.read_from_bottom + 1;

  // The rows read: those of the page, then (concatenated pages, numbered option 97) the rows of
  // every later sheet with cells below its own name row, column for column.
  s.segments.clear();
  s.segments.push_back({page, data_first, std::min(data_last, sh.row_count - 1)});
  if (option_int(env, kOptConcatenatePages) != 0) {
    for (int32_t p = page + 1; p < nsheets; ++p) {
      const WksSheet& more = wb.sheets[static_cast<size_t>(p)];
      if (!more.has_cells) continue;
      int32_t first = more.rows.front().row + (data_first - first_row);
      s.segments.push_back({p, first, more.row_count - 1});
    }
  }

  // Scan the data cells of every column.
  const WksRow* names = name_row >= 0 ? sheet_row(wb, sh, name_row) : nullptr;
  const WksRow* labels = label_row >= 0 ? sheet_row(wb, sh, label_row) : nullptr;
  s.columns.clear();
  DictState& d = env.dict;
  const bool split_labels = option_int(env, kOptWksSplitNameLabels) != 0;
  for (int32_t c = first_col; c <= last_col; ++c) {
    bool str = false, num = false, date = false, time = false;
    uint8_t decimals = 0;
    bool decimals_given = false;
    size_t longest = 0;
    for (const WksSegment& seg : s.segments)
    for (int32_t r = seg.first; r <= seg.last; ++r) {
      const WksCell* cell = row_cell(sheet_row(wb, wb.sheets[static_cast<size_t>(seg.page)], r), c);
      if (!cell || !s.is_value(wb, *cell)) continue;
      if (cell->kind == kCellString) {
        str = true;
        longest = std::max(longest, wb.texts[cell->text_index].size());
      } else if (cell->number_class == kClassDate) {
        date = true;
        // A time of day under a date-only format: the column keeps it as a date-time.
        if (cell->value != std::floor(cell->value)) time = true;
      } else if (cell->number_class == kClassTime) {
        time = true;
      } else if (cell->number_class == kClassDateTime) {
        date = time = true;
      } else {
        num = true;
        if (cell->decimals > decimals || !decimals_given) decimals = std::max(decimals, cell->decimals);
        decimals_given = true;
      }
      if (cell->kind != kCellString) longest = std::max(longest, wks_cell_display(wb, *cell).size());
    }
    std::string split_label;
    const WksCell* name_cell = row_cell(names, c);
    const bool named = name_cell && occupied(*name_cell);
    std::string name;
    bool made_up = false;
    if (named) {
      name = name_cell->kind == kCellString ? wb.texts[name_cell->text_index]
             : name_cell->error || name_cell->boolean ? wks_cell_display(wb, *name_cell)
                                                     : number_name(name_cell->value);
      if (split_labels) {
        // "income - yearly, in dollars": the name, then the variable label
        const size_t dash = name.find(" -");
        if (dash != std::string::npos && dash > 0) {
          size_t from = dash + 2;
          while (from < name.size() && name[from] == ' ') ++from;
          split_label = name.substr(from);
          name.resize(dash);
        }
      }
      if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
    }
    int ttype;
    uint32_t width = 8;
    if (str) {
      ttype = T_STRING;
    } else if (date || time) {
      ttype = date && time ? T_DATETIME : date ? T_DATE : T_TIME;
    } else if (num) {
      ttype = T_FLOAT;
    } else if (w.use_null_cols) {
      ttype = T_STRING;
    } else if (named) {
      ttype = T_FLOAT;
    } else {
      continue;  // neither name nor data
    }
    if (name.empty()) {
      if (names) {
        name = "Col" + std::to_string(c + 1);
      } else {
        name = "C" + std::to_string(c + 1);
      }
      made_up = true;
    }
    if (ttype == T_STRING) {
      uint8_t cw = c < 256 ? sh.widths[c] : 0;
      width = cw < 2 ? sh.default_width : cw;
      if (longest > 0) width = static_cast<uint32_t>(longest);
      if (width < static_cast<uint32_t>(w.min_str_width)) width = static_cast<uint32_t>(w.min_str_width);
      if (width < 1) width = 1;
    }
    VarRecord& v = dict_append_var(d, name, ttype, width);
    v.selected = 1;
    if (made_up) v.flags |= kVarNameMadeUp;
    if (!split_label.empty()) var_set_label(v, split_label);
    const WksCell* label_cell = row_cell(labels, c);
    if (label_cell && label_cell->kind == kCellString && !label_cell->error)
      var_set_label(v, wb.texts[label_cell->text_index]);
    v.decimals = ttype == T_FLOAT ? (decimals_given ? decimals : kDecimalsNotGiven) : 0;
    if (ttype == T_STRING) v.print_width = width;
    s.columns.push_back({static_cast<uint32_t>(c), d.count() - 1});
  }

  s.first_col = first_col;
  s.last_col = last_col;
  s.data_first = data_first;
  s.data_last = s.segments.front().last;
  s.seg = s.saved_seg = 0;
  s.next_row = data_first;
  s.start_row = data_first;
  s.start_page = page;
  s.dict_built = true;
  s.blank_rows = w.return_null_rows ? kBlankUse : option_int(env, kOptWksBlankRows);
  uint32_t n = 0;
  for (WksSegment& seg : s.segments) {
    const WksSheet& ss = wb.sheets[static_cast<size_t>(seg.page)];
    bool seen = false;
    for (int32_t r = seg.first; r <= seg.last; ++r) {
      if (!s.blank_row(ss, r)) {
        ++n;
        seen = true;
        continue;
      }
      if (s.blank_rows == kBlankUse) {
        ++n;
      } else if (s.blank_rows == kBlankStop && seen) {  // blank rows before the first data row are skipped
        // The data end at the first blank row; rows after it are counted so that the cut is never silent.
        int32_t left = 0;
        for (int32_t k = r + 1; k <= seg.last; ++k) left += s.blank_row(ss, k) ? 0 : 1;
        if (left > 0)
          emit_messagef(env, MsgKind::Warning,
                        " blank row %d ends the data of the worksheet; %d later rows with cells are not read "
                        "(wks-blank-rows skip or use reads them)",
                        r + 1, left);
        seg.last = r - 1;
        break;
      }
    }
  }
  s.data_last = s.segments.front().last;
  env.transfer.announced_cases = n;
  for (size_t i = 0; i < s.member_pages.size(); ++i)
    if (s.member_pages[i] == page) env.transfer.current_member = static_cast<int32_t>(i);
  return 0;
}

int32_t wks_read_case(EnvRecord& env) {
  WorksheetState* sp = wks_state(env);
  if (!sp || !sp->dict_built) return kEndOfData;
  WorksheetState& s = *sp;
  const Workbook& wb = s.wb;
  DictState& d = env.dict;
  const bool null_rows = s.blank_rows == kBlankUse;
  while (s.seg < s.segments.size()) {
    const WksSegment& seg = s.segments[s.seg];
    if (s.next_row > seg.last) {
      if (++s.seg < s.segments.size()) s.next_row = s.segments[s.seg].first;
      continue;
    }
    const WksSheet& sh = wb.sheets[static_cast<size_t>(seg.page)];
    const int32_t r = s.next_row++;
    const WksRow* row = sheet_row(wb, sh, r);
    if (!null_rows && s.blank_row(sh, r)) continue;
    for (const WksColumn& col : s.columns) {
      VarRecord& v = *d.vars[static_cast<size_t>(col.var)];
      if (!v.selected || v.storage_width == 0) continue;
      const WksCell* cell = row_cell(row, static_cast<int32_t>(col.col));
      if (v.is_string() && cell && cell->error) {
        put_text(d, v, wks_cell_display(wb, *cell));
        continue;
      }
      if (!cell || !s.is_value(wb, *cell)) {
        var_set_missing(d, v);
        continue;
      }
      if (v.is_string()) {
        if (cell->kind == kCellString)
          put_text(d, v, wb.texts[cell->text_index]);
        else
          put_text(d, v, wks_cell_display(wb, *cell));
      } else if (cell->kind != kCellNumber) {
        var_set_missing(d, v);
      } else {
        const bool dated = v.ttype == T_DATE || v.ttype == T_DATETIME;
        var_set_double(d, v, dated ? wks_day_number(wb, cell->value) : cell->value);
      }
    }
    return kCaseRead;
  }
  return kEndOfData;
}

}  // namespace tabulon
