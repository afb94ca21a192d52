// Office Open XML workbooks (format 54) through libxlsxwriter in its constant-memory mode:
// each row goes to a temporary file as soon as the next one starts, so memory stays flat in
// the number of cases. In that mode the library writes strings inline in their cells (it has
// no shared-string table then); readers see the same texts.
#include <xlsxwriter.h>

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "engine/format_hooks.h"
#include "engine/output_files.h"
#include "formats/sheets/sheet_writer_common.h"
#include "formats/sheets/xlsx_digits.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

constexpr uint32_t kXlsxMaxRows = LXW_ROW_MAX;  // 1,048,576
constexpr uint32_t kXlsxMaxCols = 16384;
constexpr size_t kXlsxMaxString = 32767;  // characters in one cell
// Worksheet numbers in the package, in the order they are added.
constexpr uint16_t kDataSheet = 1, kLabelSheet = 2;

struct XlsxColumn {
  VarRecord* var;
  uint8_t kind;  // SheetCellKind
  lxw_format* format;
  int64_t cut = 0, out_of_range = 0;
};

struct XlsxWriter : FormatState {
  lxw_workbook* wb = nullptr;
  lxw_worksheet* ws = nullptr;
  std::vector<XlsxColumn> cols;
  uint32_t row = 0;  // next row to write
  std::string scratch;
  XlsxDigitFixes digits;  // numbers the library would print one digit short
  ~XlsxWriter() override {
    // Only after a failure: nothing was written yet, libxlsxwriter writes the file at close.
    if (wb) lxw_workbook_free(wb);
  }
};

[[noreturn]] void fail_lxw(EnvRecord& env, lxw_error e) {
  RaiseErrorF(env, "Error writing output worksheet: %s", lxw_strerror(e));
}

// Control characters other than tab and line ends cannot stand in XML; they travel in the
// spreadsheet's own escape, _xHHHH_. Long texts are cut to what a cell holds.
const char* cell_text(XlsxWriter& w, XlsxColumn* col, const char* s, size_t n) {
  bool plain = n <= kXlsxMaxString;  // bytes bound characters from above
  for (size_t i = 0; i < n && plain; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    plain = !(c < 0x20 && c != '\t' && c != '\n' && c != '\r');
  }
  if (plain) return s;
  w.scratch.clear();
  size_t chars = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) != 0x80 && ++chars > kXlsxMaxString) {
      if (col) col->cut++;
      break;
    }
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "_x%04X_", c);
      w.scratch += esc;
    } else {
      w.scratch += static_cast<char>(c);
    }
  }
  return w.scratch.c_str();
}

void put_text(EnvRecord& env, XlsxWriter& w, uint32_t row, uint16_t col, const std::string& text, lxw_format* f) {
  lxw_error e = worksheet_write_string(w.ws, row, col, cell_text(w, nullptr, text.data(), text.size()), f);
  if (e != LXW_NO_ERROR) fail_lxw(env, e);
}

lxw_format* number_format(lxw_workbook* wb, const char* pattern) {
  lxw_format* f = workbook_add_format(wb);
  format_set_num_format(f, pattern);
  return f;
}

// A second sheet with the value labels, so that a conversion to a workbook keeps them.
void write_value_labels(EnvRecord& env, XlsxWriter& w, const std::string& data_sheet, lxw_format* bold) {
  bool any = false;
  for (const XlsxColumn& c : w.cols) any = any || c.var->has_value_labels();
  if (!any) return;
  const char* name = strcasecmp(data_sheet.c_str(), "Value labels") == 0 ? "Labels" : "Value labels";
  lxw_worksheet* ls = workbook_add_worksheet(w.wb, name);
  if (!ls) RaiseError(env, "Cannot open memory file", nullptr);
  lxw_worksheet* keep = w.ws;
  w.ws = ls;
  put_text(env, w, 0, 0, "Variable", bold);
  put_text(env, w, 0, 1, "Value", bold);
  put_text(env, w, 0, 2, "Label", bold);
  worksheet_set_column(ls, 0, 0, 16, nullptr);
  worksheet_set_column(ls, 2, 2, 40, nullptr);
  uint32_t row = 1;
  for (const XlsxColumn& c : w.cols) {
    for (const ValueLabel& l : c.var->value_labels) {
      if (row >= kXlsxMaxRows) RaiseError(env, "Too many value labels for one Office Open XML worksheet", nullptr);
      put_text(env, w, row, 0, c.var->name, nullptr);
      if (l.missing)
        put_text(env, w, row, 1, missing_code_text(static_cast<int>(l.missing)), nullptr);
      else if (l.has_text)
        put_text(env, w, row, 1, l.text, nullptr);
      else if (std::isfinite(l.value)) {
        worksheet_write_number(ls, row, 1, l.value, nullptr);
        if (xlsx_needs_exact_digits(l.value)) w.digits.add(kLabelSheet, row, 1, l.value);
      }
      put_text(env, w, row, 2, l.label, nullptr);
      ++row;
    }
  }
  w.ws = keep;
}

int32_t xlsx_open(EnvRecord& env) {
  XlsxWriter& w = make_writer_state<XlsxWriter>(env);
  for (auto& vp : env.dict.vars)
    if (vp->selected) w.cols.push_back(XlsxColumn{vp.get(), sheet_cell_kind(*vp), nullptr});
  if (w.cols.size() > kXlsxMaxCols)
    RaiseErrorF(env, "Too many variables (%zu): an Office Open XML worksheet has a 16,384 column limit",
                w.cols.size());

  lxw_workbook_options options = {};
  options.constant_memory = LXW_TRUE;
  options.use_zip64 = LXW_TRUE;
  // The workbook is made under the engine's temporary name and renamed over the target at close.
  const std::string path = engine_output_write_path(env);
  w.wb = workbook_new_opt(path.c_str(), &options);
  if (!w.wb) RaiseErrorF(env, "Error opening file: %s", env.transfer.output_path.c_str());
  const std::string sheet = sheet_name_for_output(env);
  w.ws = workbook_add_worksheet(w.wb, sheet.c_str());
  if (!w.ws) RaiseErrorF(env, "Cannot use the sheet name %s", sheet.c_str());

  lxw_format* bold = workbook_add_format(w.wb);
  format_set_bold(bold);
  lxw_format* date = number_format(w.wb, "yyyy-mm-dd");
  lxw_format* time = number_format(w.wb, "[h]:mm:ss");
  lxw_format* stamp = number_format(w.wb, "yyyy-mm-dd hh:mm:ss");
  for (size_t i = 0; i < w.cols.size(); ++i) {
    XlsxColumn& c = w.cols[i];
    uint32_t fallback = 9;
    if (c.kind == kCellDate) c.format = date, fallback = 10;
    if (c.kind == kCellTime) c.format = time;
    if (c.kind == kCellDateTime) c.format = stamp, fallback = 19;
    const uint16_t col = static_cast<uint16_t>(i);
    const int32_t given = i < env.options.wks.col_widths.size() ? env.options.wks.col_widths[i] : 0;
    const uint32_t width = sheet_column_width(*c.var, given > 0 ? static_cast<uint32_t>(given) : fallback);
    worksheet_set_column(w.ws, col, col, width, nullptr);
  }

  if (!env.options.wks.no_vnames) {
    for (size_t i = 0; i < w.cols.size(); ++i) put_text(env, w, w.row, static_cast<uint16_t>(i), w.cols[i].var->name, bold);
    ++w.row;
  }
  if (option_int(env, kOptWksWriteVarLabs)) {
    bool any = false;
    for (const XlsxColumn& c : w.cols) any = any || !c.var->label.empty();
    if (any) {
      for (size_t i = 0; i < w.cols.size(); ++i)
        if (!w.cols[i].var->label.empty()) put_text(env, w, w.row, static_cast<uint16_t>(i), w.cols[i].var->label, bold);
      ++w.row;
    }
  }
  write_value_labels(env, w, sheet, bold);
  return 0;
}

int32_t xlsx_write_case(EnvRecord& env) {
  XlsxWriter* wp = writer_state<XlsxWriter>(env);
  if (!wp || !wp->wb) return -1;
  XlsxWriter& w = *wp;
  if (w.row >= kXlsxMaxRows) {
    // A cut sheet must not pass for the data: the file is not written at all.
    env.transfer.delete_output = 1;
    RaiseError(env, "Office Open XML row limit (1,048,576) has been exceeded", nullptr);
  }
  const DictState& d = env.dict;
  const uint32_t row = w.row++;
  for (size_t i = 0; i < w.cols.size(); ++i) {
    XlsxColumn& c = w.cols[i];
    const VarRecord& v = *c.var;
    if (v.missing) continue;  // missing values stay empty cells
    const uint16_t col = static_cast<uint16_t>(i);
    lxw_error e;
    if (c.kind == kCellAlpha) {
      const char* s = var_get_string(d, v);
      const size_t n = std::strlen(s);
      if (n == 0) continue;
      e = worksheet_write_string(w.ws, row, col, cell_text(w, &c, s, n), nullptr);
    } else {
      double x = var_get_double(d, v);
      if (!sheet_cell_number(c.kind, x)) {
        c.out_of_range++;
        continue;
      }
      e = worksheet_write_number(w.ws, row, col, x, c.format);
      if (xlsx_needs_exact_digits(x)) w.digits.add(kDataSheet, row, col, x);
    }
    if (e != LXW_NO_ERROR) fail_lxw(env, e);
  }
  return 0;
}

int32_t xlsx_close(EnvRecord& env) {
  XlsxWriter* wp = writer_state<XlsxWriter>(env);
  if (!wp || !wp->wb) return 0;
  XlsxWriter& w = *wp;
  if (env.transfer.delete_output) return 0;  // a refused transfer leaves no file behind
  for (const XlsxColumn& c : w.cols) {
    if (c.cut) note_change(env, ChangeKind::StringCut, c.var->name, c.cut);
    if (c.out_of_range) note_change(env, ChangeKind::ValueOutOfRange, c.var->name, c.out_of_range);
  }
  lxw_workbook* wb = w.wb;
  w.wb = nullptr;  // workbook_close frees it, also when it fails
  const lxw_error e = workbook_close(wb);
  if (e != LXW_NO_ERROR) {
    env.transfer.delete_output = 1;
    fail_lxw(env, e);
  }
  // Still under the temporary name: the engine renames it over the target after this.
  std::string why;
  if (!w.digits.apply(engine_output_write_path(env), &why)) {
    env.transfer.delete_output = 1;
    RaiseErrorF(env, "Error writing output worksheet: %s", why.c_str());
  }
  return 0;
}

}  // namespace

// For tests: the row the next case goes to, so that the row limit can be reached without
// writing a million rows first.
void xlsx_writer_skip_rows(EnvRecord& env, uint32_t next_row) {
  if (XlsxWriter* w = writer_state<XlsxWriter>(env)) w->row = next_row;
}

extern const FormatWriterOps kXlsxWriter = {
    .flags = kWriterOwnContainer,
    .open = xlsx_open,
    .write_case = xlsx_write_case,
    .close = xlsx_close,
};

}  // namespace tabulon
