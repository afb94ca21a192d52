// The host's read-only view of an open workbook: sheets, defined names and cells.
#include <cstdint>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "formats/sheets/worksheet_model.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

int32_t copy_out(char* buffer, const std::string& s) {
  if (!buffer) return -1;
  std::memcpy(buffer, s.data(), s.size());
  buffer[s.size()] = '\0';
  return static_cast<int32_t>(s.size());
}

// The row of a handle; a row without cells is an empty row.
const WksRow* row_of(WorksheetState* s, int32_t handle) {
  static const WksRow kEmptyRow{};
  if (!s || handle < 0) return nullptr;
  for (const WksSheet& sh : s->wb.sheets) {
    if (handle >= sh.handle_base + sh.row_count) continue;
    const WksRow* r = wks_sheet_row(sh, static_cast<int32_t>(handle - sh.handle_base));
    return r ? r : &kEmptyRow;
  }
  return nullptr;
}

int32_t current_page(EnvRecord& env, const WorksheetState& s) {
  if (s.dict_built) return s.page;
  const WksSettings& w = env.options.wks;
  if (w.page_chosen && w.page >= 0 && w.page < static_cast<int32_t>(s.wb.sheets.size())) return w.page;
  return 0;
}

}  // namespace

DX_EXPORT int32_t DX_GetWksNPages(int32_t env) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    return s ? static_cast<int32_t>(s->wb.sheets.size()) : -1;
  });
}

DX_EXPORT int32_t DX_GetWksPageName(int32_t env, int32_t page, char* buffer) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || !buffer || page < 0 || page >= static_cast<int32_t>(s->wb.sheets.size())) return -1;
    const std::string& name = s->wb.sheets[static_cast<size_t>(page)].name;
    return copy_out(buffer, name.empty() ? "Sheet" + std::to_string(page + 1) : name);
  });
}

DX_EXPORT int32_t DX_GetWksNRanges(int32_t env) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    return s ? static_cast<int32_t>(s->wb.ranges.size()) : 0;
  });
}

DX_EXPORT int32_t DX_GetWksRangeName(int32_t env, int32_t n, char* buffer) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || n < 0 || n >= static_cast<int32_t>(s->wb.ranges.size()))
      return copy_out(buffer, "") < 0 ? -1 : 0;
    return copy_out(buffer, s->wb.ranges[static_cast<size_t>(n)].name);
  });
}

DX_EXPORT int32_t DX_GetWksRangeCoord(int32_t env, int32_t n, char* buffer) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || n < 0 || n >= static_cast<int32_t>(s->wb.ranges.size()))
      return copy_out(buffer, "") < 0 ? -1 : 0;
    return copy_out(buffer, wks_range_coord(s->wb.ranges[static_cast<size_t>(n)]));
  });
}

DX_EXPORT int32_t DX_GetWksNameStat(int32_t env) {
  return call_frame(env, -1,
                    [&](EnvRecord& e) -> int32_t { return e.options.wks.name_row_mode == 1 ? 1 : 0; });
}

DX_EXPORT int32_t DX_GetWksStartRow(int32_t env) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    return s && s->dict_built ? s->data_first : 0;
  });
}

DX_EXPORT int32_t DX_GetWksStartPage(int32_t env) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    return s && s->dict_built ? s->start_page : 0;
  });
}

// Excel binary workbooks carry no label event: the events end first.
DX_EXPORT int32_t DX_GetWksLabel(int32_t env, char* buffer, int32_t size) {
  return call_frame(env, -1, [&](EnvRecord&) -> int32_t {
    if (buffer && size > 0) buffer[0] = '\0';
    return -1;
  });
}

DX_EXPORT int32_t DX_CellGetNRowsInSheet(int32_t env, int32_t sheet) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || sheet < 0 || sheet >= static_cast<int32_t>(s->wb.sheets.size())) return -2;
    return s->wb.sheets[static_cast<size_t>(sheet)].row_count;
  });
}

DX_EXPORT int32_t DX_CellGetRowHandle(int32_t env, int32_t sheet, int32_t row) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || sheet < 0 || sheet >= static_cast<int32_t>(s->wb.sheets.size())) return -2;
    const WksSheet& sh = s->wb.sheets[static_cast<size_t>(sheet)];
    if (row < 0 || row >= sh.row_count) return -1;
    const int64_t handle = sh.handle_base + row;
    return handle > INT32_MAX ? -2 : static_cast<int32_t>(handle);
  });
}

DX_EXPORT int32_t DX_CellGetNColsInRow(int32_t env, int32_t handle) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    const WksRow* r = row_of(wks_state(e), handle);
    return r ? r->width() : -2;
  });
}

DX_EXPORT int32_t DX_CellGetDataStr(int32_t env, int32_t handle, int32_t column, char* buffer) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    const WksRow* r = row_of(s, handle);
    if (!r) return -2;
    if (column < 0 || column >= r->width()) return -1;
    const WksCell* c = r->find(column);
    return copy_out(buffer, c ? wks_cell_text(s->wb, *c) : std::string());
  });
}

DX_EXPORT int32_t DX_CellGetData(int32_t env, int32_t handle, int32_t column, double* value, char* text,
                                 int32_t* type) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    const WksRow* r = row_of(s, handle);
    if (!r) return -2;
    if (column < 0 || column >= r->width()) return -1;
    static const WksCell kEmpty{};
    const WksCell* found = r->find(column);
    const WksCell& c = found ? *found : kEmpty;
    int32_t t = 0;
    if (c.error)
      t = API_NUMERIC;
    else if (c.kind == kCellString)
      t = API_STRING;
    else if (c.kind == kCellNumber)
      t = c.number_class == kClassDate       ? API_DATE
          : c.number_class == kClassTime     ? API_TIME
          : c.number_class == kClassDateTime ? API_DATETIME
                                             : API_NUMERIC;
    double x = c.kind == kCellNumber && !c.error ? c.value : 0.0;
    if (t == API_DATE || t == API_DATETIME) x = wks_day_number(s->wb, x);
    if (value) *value = x;
    if (type) *type = t;
    std::string txt = wks_cell_text(s->wb, c);
    if (text) copy_out(text, txt);
    return static_cast<int32_t>(txt.size());
  });
}

DX_EXPORT int32_t DX_CellGetColWidths(int32_t env, char* buffer) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    WorksheetState* s = wks_state(e);
    if (!s || !buffer || s->wb.sheets.empty()) return -2;
    const WksSheet& sh = s->wb.sheets[static_cast<size_t>(current_page(e, *s))];
    for (int i = 0; i < 256; ++i)
      buffer[i] = static_cast<char>(sh.widths[i] < 2 ? sh.default_width : sh.widths[i]);
    return 256;
  });
}
