// Worksheet settings. They are stored here; the worksheet layer acts on them when it opens
// a workbook, and installs hooks so that calls made while a workbook is open act at once.
#include <cctype>
#include <cstring>
#include <string>
#include <strings.h>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/option_setters.h"

namespace tabulon {

namespace {

constexpr size_t kMaxRangeText = 255;
constexpr int32_t kMaxColumnWidthIndex = 65535;

struct Corner {
  int32_t row = -1;  // 0-based; -1 when absent
  int32_t col = -1;
};

// One corner: optional "$", one or two column letters, optional "$", a 1-based row number.
bool parse_corner(const char*& p, Corner& c) {
  if (*p == '$') ++p;
  int letters = 0, col = 0;
  while (letters < 2 && std::isalpha(static_cast<unsigned char>(*p))) {
    int v = std::toupper(static_cast<unsigned char>(*p)) - 'A';
    col = letters == 0 ? v : (col + 1) * 26 + v;
    ++letters;
    ++p;
  }
  if (letters == 0 || std::isalpha(static_cast<unsigned char>(*p)) || col > kWksOpenLastCol) return false;
  if (*p == '$') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long row = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    row = row * 10 + (*p - '0');
    if (row > 0x7FFFFFF) return false;
    ++p;
  }
  if (row < 1) return false;
  c.row = static_cast<int32_t>(row - 1);
  c.col = col;
  return true;
}

// A sheet part "name!" or "'name'!" at p, up to end; empty when there is none.
std::string take_sheet(const char*& p, const char* end) {
  const char* bang = static_cast<const char*>(std::memchr(p, '!', static_cast<size_t>(end - p)));
  if (!bang) return {};
  std::string sheet(p, bang);
  if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'') sheet = sheet.substr(1, sheet.size() - 2);
  p = bang + 1;
  return sheet;
}

int32_t choose_page(EnvRecord& env, int32_t page) {
  WksSettings& w = env.options.wks;
  if (page < 0) return -1;
  if (w.hooks.select_page && w.hooks.select_page(env, page) < 0) return -1;
  w.page = page;
  w.page_chosen = 1;
  w.page_name.clear();
  return 0;
}

int32_t choose_sheet(EnvRecord& env, const std::string& sheet) {
  WksSettings& w = env.options.wks;
  if (std::isdigit(static_cast<unsigned char>(sheet[0]))) {
    long n = std::strtol(sheet.c_str(), nullptr, 10);
    if (n < 1 || n > 0x7FFFFFFF) return -1;
    return choose_page(env, static_cast<int32_t>(n - 1));
  }
  if (w.hooks.page_by_name) {
    int32_t page = w.hooks.page_by_name(env, sheet.c_str());
    return page < 0 ? -1 : choose_page(env, page);
  }
  w.page_name = sheet;  // looked up when the workbook opens
  return 0;
}

void clear_range(WksSettings& w) {
  w.range_active = 0;
  w.first_row = w.first_col = 0;
  w.last_row = kWksOpenLastRow;
  w.last_col = kWksOpenLastCol;
  w.pending_range_name.clear();
  w.pending_range_number = -1;
}

int32_t set_cell_range(EnvRecord& env, const char* text) {
  size_t len = std::strlen(text);
  if (len > kMaxRangeText) return -1;
  const char* p = text;
  const char* colon = std::strchr(text, ':');
  std::string sheet = take_sheet(p, colon);
  Corner first, last;
  if (!parse_corner(p, first) || p != colon) return -1;
  p = colon + 1;
  if (*p) {
    take_sheet(p, text + len);  // the second corner's sheet is the first one's
    if (!parse_corner(p, last) || *p) return -1;
  }
  if (!sheet.empty() && choose_sheet(env, sheet) < 0) return -1;
  WksSettings& w = env.options.wks;
  clear_range(w);
  w.range_active = 1;
  w.first_row = first.row;
  w.first_col = first.col;
  w.last_row = last.row >= first.row ? last.row : kWksOpenLastRow;
  w.last_col = last.col >= first.col ? last.col : kWksOpenLastCol;
  return 0;
}

}  // namespace

int32_t wks_set_range(EnvRecord& env, int32_t first_row, int32_t first_col, int32_t last_row, int32_t last_col) {
  if (first_row == 0 && first_col == 0 && last_row < 0 && last_col < 0) return 0;
  if (first_row < 0 || first_col < 0 || first_col > kWksOpenLastCol) return -1;
  WksSettings& w = env.options.wks;
  clear_range(w);
  w.range_active = 1;
  w.first_row = first_row;
  w.first_col = first_col;
  w.last_row = last_row < first_row ? kWksOpenLastRow : last_row;
  w.last_col = last_col < first_col ? kWksOpenLastCol : (last_col > kWksOpenLastCol ? kWksOpenLastCol : last_col);
  return 0;
}

int32_t wks_set_range_with_name(EnvRecord& env, const char* text) {
  if (!text) return -1;
  WksSettings& w = env.options.wks;
  if (strcasecmp(text, "autosense") == 0) {
    clear_range(w);
    return 0;
  }
  if (std::strchr(text, ':')) return set_cell_range(env, text);
  if (!*text) return -1;
  if (w.hooks.range_by_name) return w.hooks.range_by_name(env, text);
  clear_range(w);
  w.pending_range_name = text;
  return 0;
}

int32_t wks_set_name_row(EnvRecord& env, int32_t mode, int32_t row) {
  if (mode < 0 || mode > 2) return -1;
  env.options.wks.name_row_mode = mode;
  env.options.wks.name_row = row < 0 ? 0 : row;
  return 0;
}

}  // namespace tabulon

using namespace tabulon;

namespace {

template <class F>
int32_t wks(int32_t handle, F&& f) {
  return call_frame(handle, -1, [&](EnvRecord& env) { return f(env, env.options.wks); });
}

}  // namespace

DX_EXPORT int32_t DX_SetWksRange(int32_t env, int32_t firstRow, int32_t firstColumn, int32_t lastRow,
                                 int32_t lastColumn) {
  return call_frame(env, -1, [&](EnvRecord& e) { return wks_set_range(e, firstRow, firstColumn, lastRow, lastColumn); });
}
DX_EXPORT int32_t DX_SetWksRangeWithName(int32_t env, const char* text) {
  return call_frame(env, -1, [&](EnvRecord& e) { return wks_set_range_with_name(e, text); });
}
DX_EXPORT int32_t DX_SetWksRangeWithNumb(int32_t env, int32_t n) {
  return wks(env, [&](EnvRecord& e, WksSettings& w) {
    if (n < 0) return -1;
    if (w.hooks.range_by_number) return w.hooks.range_by_number(e, n);
    clear_range(w);
    w.pending_range_number = n;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksPage(int32_t env, int32_t page) {
  return call_frame(env, -1, [&](EnvRecord& e) { return choose_page(e, page); });
}
DX_EXPORT int32_t DX_SetWksNameRow(int32_t env, int32_t mode, int32_t row) {
  return call_frame(env, -1, [&](EnvRecord& e) { return wks_set_name_row(e, mode, row); });
}
DX_EXPORT int32_t DX_SetWksMinStrWidth(int32_t env, int32_t width) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.min_str_width = width < 0 ? 0 : width;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksUseNullCol(int32_t env, int32_t flag) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.use_null_cols = flag ? 1 : 0;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksRetNullRows(int32_t env, int32_t flag) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.return_null_rows = flag ? 1 : 0;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksReadFromBottom(int32_t env, int32_t n) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    if (n < 0) return -1;
    w.read_from_bottom = n;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksReadMode(int32_t env, int32_t mode) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.read_mode = mode;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksNoVnames(int32_t env, int32_t flag) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.no_vnames = flag ? 1 : 0;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksWriteHeading(int32_t env, int32_t on) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.write_heading = on ? 1 : 0;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksColWidth(int32_t env, int32_t variable, int32_t width) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    if (variable < 0 || variable > kMaxColumnWidthIndex || width < 0) return -1;
    if (static_cast<size_t>(variable) >= w.col_widths.size()) w.col_widths.resize(static_cast<size_t>(variable) + 1, 0);
    w.col_widths[static_cast<size_t>(variable)] = width;
    return 0;
  });
}
DX_EXPORT int32_t DX_SetWksCellNote(int32_t env, const char* note) {
  return wks(env, [&](EnvRecord&, WksSettings& w) {
    w.cell_note = note ? note : "";
    return 0;
  });
}
