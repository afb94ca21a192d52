// Exported functions that read and set the values of the current case.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dates/date_pattern.h"
#include "dict/dict_env.h"
#include "dict/dict_frame.h"
#include "dict/dictionary.h"
#include "dict/value_labels.h"

using namespace tabulon;

namespace tabulon {

VarRecord* dict_value_var(EnvRecord& env, int32_t index) {
  VarRecord* v = dict_var(env.dict, index);
  if (!v || !v->selected) return nullptr;
  bool fits = env.dict.has_record() && v->storage_width && (v->slot_ttype == 1) == v->is_string();
  // The selection or a type changed since the layout: lay out again unless a writer
  // already works from the current one.
  if (!fits && !env.transfer.output_open) dict_layout_record(env);
  fits = env.dict.has_record() && v->storage_width && (v->slot_ttype == 1) == v->is_string();
  return fits ? v : nullptr;
}

}  // namespace tabulon

namespace {

// Text a number or date is formatted into by DX_CopyVarDataStr.
constexpr size_t kNumberTextMax = 1023;
constexpr size_t kDateTextMax = 128;
// Code of S-Plus object inputs, whose numeric values count their labels from 1.
constexpr int32_t kSPlusInput = 17;

bool is_date_type(int ttype) { return ttype >= 7 && ttype <= 9; }
bool is_numeric_type(int ttype) { return ttype >= 2 && ttype <= 6; }

// "%*.*f" or "%-*.9g" of x into out (cap bytes with the NUL); returns the length.
size_t format_number(double x, uint32_t width, int decimals, bool g_format, char* out, size_t cap) {
  char digits[1100];  // room for 309 integer digits and 255 decimals
  std::to_chars_result r;
  if (g_format)
    r = std::to_chars(digits, digits + sizeof digits, x, std::chars_format::general, 9);
  else
    r = std::to_chars(digits, digits + sizeof digits, x, std::chars_format::fixed, decimals);
  size_t n = r.ec == std::errc() ? static_cast<size_t>(r.ptr - digits) : 0;
  if (r.ec != std::errc()) {  // beyond the work area: fall back to the shortest exact form
    r = std::to_chars(digits, digits + sizeof digits, x);
    n = static_cast<size_t>(r.ptr - digits);
  }
  size_t w = std::min<size_t>(width, cap - 1);
  size_t pad = w > n ? w - n : 0;
  n = std::min(n, cap - 1 - std::min(pad, cap - 1));
  if (g_format) {  // left-justified
    std::memcpy(out, digits, n);
    std::memset(out + n, ' ', pad);
  } else {
    std::memset(out, ' ', pad);
    std::memcpy(out + pad, digits, n);
  }
  out[n + pad] = '\0';
  return n + pad;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Missing code written as "." or ".A".."._", else 0.
uint16_t missing_from_text(std::string_view s) {
  for (int code = 1; code <= kLastMissingCode; ++code) {
    const char* t = missing_code_text(code);
    if (*t && s == t) return static_cast<uint16_t>(code);
  }
  return 0;
}

}  // namespace

DX_EXPORT int32_t DX_GetVarData(int32_t env, int32_t var, void** value, int32_t* apiType) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !value) return -1;
    *value = var_slot(e.dict, *v);
    if (apiType) *apiType = v->api_type;
    return v->missing ? 1 : 0;
  });
}

DX_EXPORT int32_t DX_GetVarDataExt(int32_t env, int32_t var, void** value, const char** label, int32_t* apiType) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !value) return -1;
    *value = var_slot(e.dict, *v);
    // A missing value takes the label of its missing code; its cleared slot matches nothing.
    const ValueLabel* l =
        v->missing ? find_missing_label(*v, v->missing)
                   : find_value_label(*v, var_slot(e.dict, *v), dict_long_values(e), dict_input_code(e) == kSPlusInput);
    if (label) *label = l ? l->label.c_str() : "";
    if (apiType) *apiType = l ? 64 : v->api_type;
    return v->missing ? 1 : 0;
  });
}

DX_EXPORT double DX_GetVarDataVB(int32_t env, int32_t var, char* strBuffer, int32_t* status) {
  unsigned char st[4] = {2, 0, 0, 0};
  double result = call_frame_value<double>(env, -99.0, [&](EnvRecord& e) -> double {
    VarRecord* v = dict_value_var(e, var);
    if (!v) return -99.0;
    st[1] = static_cast<unsigned char>(v->api_type);
    if (v->missing) {
      st[0] = 1;
      return -99.0;
    }
    st[0] = 0;
    if (v->is_string()) {
      const char* s = var_get_string(e.dict, *v);
      size_t n = utf8_cut(s, strnlen(s, v->storage_width), 255);
      if (strBuffer) {
        std::memcpy(strBuffer, s, n);
        strBuffer[n] = '\0';
      }
      st[2] = static_cast<unsigned char>(n);
      return -99.0;
    }
    return var_get_double(e.dict, *v);
  });
  if (status) std::memcpy(status, st, sizeof st);
  return result;
}

DX_EXPORT int32_t DX_CopyVarDataStr(int32_t env, int32_t var, char* buffer) {
  if (!buffer) return call_frame(env, -1, [](EnvRecord&) { return -1; });
  buffer[0] = '\0';
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return -1;
    v = dict_value_var(e, var);
    if (!v || v->missing) return 0;
    if (v->is_string()) {
      const char* s = var_get_string(e.dict, *v);
      size_t n = strnlen(s, v->storage_width);
      std::memcpy(buffer, s, n);
      buffer[n] = '\0';
      return static_cast<int32_t>(n);
    }
    double x = var_get_double(e.dict, *v);
    if (is_date_type(v->ttype)) {
      size_t n = date_format_value(e, v->ttype, x, buffer, kDateTextMax);
      buffer[std::min(n, kDateTextMax - 1)] = '\0';
      return static_cast<int32_t>(strlen(buffer));
    }
    bool g = dict_use_g_format(e) || (dict_input_is_worksheet(e) && !(v->flags & kVarDecimalsMeaningful));
    int decimals = v->decimals == kDecimalsNotGiven ? 0 : v->decimals;
    return static_cast<int32_t>(format_number(x, v->print_width, decimals, g, buffer, kNumberTextMax + 1));
  });
}

DX_EXPORT int32_t DX_CopyVarDataNumb(int32_t env, int32_t var, double* value) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !value || v->is_string() || is_date_type(v->ttype)) return -1;
    if (v->missing) return 1;
    *value = var_get_double(e.dict, *v);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarData(int32_t env, int32_t var, const void* data) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !data) return -1;
    if (v->is_string()) {
      const char* s = static_cast<const char*>(data);
      var_set_string(e.dict, *v, s, strnlen(s, v->storage_width - 1));
    } else {
      // Only the doubles the host owns are read; a worksheet slot is wider than that.
      size_t n = std::min<size_t>(v->storage_width, dict_complex_values(e) ? 16 : 8);
      std::memcpy(var_slot(e.dict, *v), data, n);
      v->missing = kValuePresent;
    }
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarString(int32_t env, int32_t var, const char* text) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !text || !v->is_string()) return -1;
    if (!*text)
      var_set_missing(e.dict, *v, kSystemMissing);
    else
      var_set_string(e.dict, *v, text, strnlen(text, v->storage_width));
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarDouble(int32_t env, int32_t var, const double* value) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !value || v->is_string()) return -1;
    var_set_double(e.dict, *v, *value);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarAnyFromStr(int32_t env, int32_t var, const char* text) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || !text) return -1;
    DictState& d = e.dict;
    if (v->is_string()) {
      var_set_string(d, *v, text, strnlen(text, v->storage_width));
      return 0;
    }
    std::string_view s = trim(std::string_view(text, strnlen(text, 4096)));
    if (is_numeric_type(v->ttype)) {
      if (uint16_t code = missing_from_text(s)) {
        var_set_missing(d, *v, code);
        return 0;
      }
      if (!s.empty() && s.front() == '+') s.remove_prefix(1);
      double x;
      auto r = std::from_chars(s.data(), s.data() + s.size(), x);
      if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size())
        var_set_missing(d, *v, kSystemMissing);
      else
        var_set_double(d, *v, x);
      return 0;
    }
    if (is_date_type(v->ttype)) {
      double day;
      if (!s.empty() && date_parse_value(e, v->ttype - 7, s.data(), s.size(), &day))
        var_set_double(d, *v, day);
      else
        var_set_missing(d, *v, kSystemMissing);
      return 0;
    }
    var_set_missing(d, *v, kSystemMissing);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarMissingExt(int32_t env, int32_t var, int32_t code) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_value_var(e, var);
    if (!v || code < 1 || code > kLastMissingCode) return -1;
    var_set_missing(e.dict, *v, static_cast<uint16_t>(code));
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarMissing(int32_t env, int32_t var) { return DX_SetVarMissingExt(env, var, kSystemMissing); }

DX_EXPORT int32_t DX_GetVarMissing(int32_t env, int32_t var) {
  return call_frame(env, -2, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return -2;
    if (!v->selected) return -1;
    return v->missing;
  });
}
