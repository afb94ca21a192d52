// Direct setters of the text options and the writer variants.
#include <strings.h>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/option_setters.h"
#include "api/option_slots.h"

namespace tabulon {

void txt_max_cols(EnvRecord& env, int32_t n) { env.options.text.max_fields = n + 1; }

void txt_read_vnames(EnvRecord& env, int32_t mode) {
  TextOptions& t = env.options.text;
  t.names_given = 1;
  if (mode == -1) {
    t.names_autosense = 1;
  } else {
    t.names_autosense = 0;
    t.names_row = mode;
  }
}

void txt_look_max_lines(EnvRecord& env, int32_t n) { env.options.text.look_max_lines = n < 0 ? 0 : n; }

void txt_max_line_width(EnvRecord& env, int32_t n) {
  if (n > 128) env.options.text.max_line_width = n;
}

void txt_century_cutoff(EnvRecord& env, int32_t n) {
  TextOptions& t = env.options.text;
  t.century_cutoff = n > 99 ? n - 1900 : n;
  t.full_year_cutoff = n;
}

int32_t set_na_string(EnvRecord& env, int32_t side, const char* text) {
  if (side != 1 && side != 2) return -1;
  TextOptions& t = env.options.text;
  std::string& na = side == 1 ? t.na_read : t.na_write;
  int32_t& set = side == 1 ? t.na_read_set : t.na_write_set;
  int32_t& extended = side == 1 ? t.na_read_extended : t.na_write_extended;
  na.clear();
  set = 0;
  extended = 0;
  if (!text || strcasecmp(text, "none") == 0) return 0;
  if (strcasecmp(text, "extended") == 0) {
    extended = 1;
    return 0;
  }
  na = text;
  set = 1;
  return 0;
}

void preserve_case(EnvRecord& env, int32_t on) { option_store(env, kOptVarCaseCi, on ? 2 : 0, nullptr); }

// With 0x100 (or a SAS data-set output, decided by that writer from the same value) the low
// byte is the data-set writer's representation; otherwise it goes to the SAS 6 writer.
void set_sas_style(EnvRecord& env, int32_t style) {
  WriterVariants& w = env.options.writer;
  w.sas_style_raw = style;
  if (style & 0x100) {
    w.sas_outrep = style & 0xFF;
  } else {
    w.sas6_style = style & 0xFF;
  }
}

}  // namespace tabulon

using namespace tabulon;

namespace {

// Runs a setter that cannot fail.
template <class F>
int32_t set(int32_t handle, F&& f) {
  return call_frame(handle, -1, [&](EnvRecord& env) {
    f(env);
    return 0;
  });
}

}  // namespace

DX_EXPORT int32_t DX_TxtMaxCols(int32_t env, int32_t n) {
  return set(env, [&](EnvRecord& e) { txt_max_cols(e, n); });
}
DX_EXPORT int32_t DX_TxtReadVnames(int32_t env, int32_t mode) {
  return set(env, [&](EnvRecord& e) { txt_read_vnames(e, mode); });
}
DX_EXPORT int32_t DX_TxtWriteVnames(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.text.write_vnames = on ? 1 : 0; });
}
DX_EXPORT int32_t DX_TxtLookMaxLines(int32_t env, int32_t n) {
  return set(env, [&](EnvRecord& e) { txt_look_max_lines(e, n); });
}
DX_EXPORT int32_t DX_TxtMaxLineWidth(int32_t env, int32_t n) {
  return set(env, [&](EnvRecord& e) { txt_max_line_width(e, n); });
}
DX_EXPORT int32_t DX_TxtQuoteChar(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) {
    int32_t q = c == ' ' ? 0 : c;
    e.options.text.read_quote = q;
    e.options.text.write_quote = q;
  });
}
DX_EXPORT int32_t DX_TxtDelimiter(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) {
    TextOptions& t = e.options.text;
    if (c >= 1) {
      t.read_delimiter = c;
      t.write_delimiter = c;
      t.delimiter_autosense = 0;
      t.delimiter_given = 1;
    } else {
      t.delimiter_autosense = 1;
    }
  });
}
DX_EXPORT int32_t DX_TxtDateOrder(int32_t env, int32_t order) {
  return call_frame(env, -1, [&](EnvRecord& e) {
    TextOptions& t = e.options.text;
    switch (order) {
      case 1: t.year_pos = 2, t.month_pos = 0, t.day_pos = 1; break;  // MDY
      case 2: t.year_pos = 2, t.month_pos = 1, t.day_pos = 0; break;  // DMY
      case 3: t.year_pos = 0, t.month_pos = 1, t.day_pos = 2; break;  // YMD
      default: return -1;
    }
    t.date_order = order;
    return 0;
  });
}
DX_EXPORT int32_t DX_TxtDatePunct(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) {
    e.options.text.date_punct = c;
    e.options.text.legacy_dates = 1;
  });
}
DX_EXPORT int32_t DX_TxtCurrencyMark(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) { e.options.text.currency_mark = c; });
}
DX_EXPORT int32_t DX_TxtDecimalPoint(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) { e.options.text.decimal_point = c; });
}
DX_EXPORT int32_t DX_Txt000Punct(int32_t env, int32_t c) {
  return set(env, [&](EnvRecord& e) { e.options.text.thousands_sep = c; });
}
DX_EXPORT int32_t DX_TxtCenturyCutoff(int32_t env, int32_t n) {
  return set(env, [&](EnvRecord& e) { txt_century_cutoff(e, n); });
}
DX_EXPORT int32_t DX_TxtWriteCentury(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.text.write_century = on ? 1 : 0; });
}
DX_EXPORT int32_t DX_CenturyOn(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.text.century_on = on ? 1 : 0; });
}
DX_EXPORT int32_t DX_TxtSetRange(int32_t env, int32_t firstRow, int32_t firstCol, int32_t lastRow, int32_t lastCol) {
  return set(env, [&](EnvRecord& e) {
    TextOptions& t = e.options.text;
    t.range_first_row = firstRow;
    t.range_first_col = firstCol;
    t.range_last_row = lastRow;
    t.range_last_col = lastCol;
  });
}
DX_EXPORT int32_t DX_TxtWriteSchema(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.text.write_schema = on ? 1 : 0; });
}
DX_EXPORT int32_t DX_TxtWritePrecision(int32_t env, int32_t n) {
  return set(env, [&](EnvRecord& e) { e.options.text.write_precision = n < 0 ? 0 : n; });
}
DX_EXPORT int32_t DX_SetNaString(int32_t env, int32_t side, const char* text) {
  return call_frame(env, -1, [&](EnvRecord& e) { return set_na_string(e, side, text); });
}
DX_EXPORT int32_t DX_PreserveCase(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { preserve_case(e, on); });
}
DX_EXPORT int32_t DX_UseGFormat(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.text.use_g_format = on ? 1 : 0; });
}

// Writer variants.
DX_EXPORT int32_t DX_SetOldVersion(int32_t env, int32_t v) {
  return set(env, [&](EnvRecord& e) { e.options.writer.old_dbase = v; });
}
DX_EXPORT int32_t DX_SetStataVer4(int32_t env, int32_t v) {
  return set(env, [&](EnvRecord& e) { e.options.writer.stata_ver4 = v; });
}
DX_EXPORT int32_t DX_SetGauss96(int32_t env, int32_t v) {
  return set(env, [&](EnvRecord& e) { e.options.writer.gauss96 = v; });
}
DX_EXPORT int32_t DX_SetSasStyle(int32_t env, int32_t style) {
  return set(env, [&](EnvRecord& e) { set_sas_style(e, style); });
}
DX_EXPORT int32_t DX_SetOutBtOrd(int32_t env, int32_t order) {
  return set(env, [&](EnvRecord& e) { e.options.writer.out_byte_order = order; });
}
DX_EXPORT int32_t DX_ComplexFileSet(int32_t env, int32_t on) {
  return set(env, [&](EnvRecord& e) { e.options.writer.complex_values = on ? 1 : 0; });
}
DX_EXPORT int32_t DX_ComplexFileGet(int32_t env) {
  return call_frame(env, -1, [&](EnvRecord& e) { return e.options.writer.complex_values; });
}
