// Exported functions that read and change the dictionary.
#include <cstring>
#include <string_view>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dict_env.h"
#include "dict/dict_frame.h"
#include "dict/dictionary.h"

using namespace tabulon;

namespace {

// Longest label DX_CopyVarLabel writes, without its NUL.
constexpr size_t kCopyLabelMax = 1023;

template <class Body>
const char* text_frame(int32_t handle, int32_t var, Body&& body) noexcept {
  return call_frame_value<const char*>(handle, "", [&](EnvRecord& env) -> const char* {
    VarRecord* v = dict_var(env.dict, var);
    return v ? body(*v) : "";
  });
}

template <class Body>
int32_t var_frame(int32_t handle, int32_t var, Body&& body) noexcept {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    VarRecord* v = dict_var(env.dict, var);
    return v ? body(env, *v) : -1;
  });
}

int32_t copy_text(const std::string& text, char* buffer, size_t max) {
  size_t n = utf8_cut(text.data(), text.size(), max);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int32_t>(n);
}

bool is_date_type(int ttype) { return ttype >= 7 && ttype <= 9; }

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A 1-based number or a name compared without regard to case.
int32_t resolve_var(const DictState& d, std::string_view part) {
  part = trim_blanks(part);
  if (all_digits(part)) {
    if (part.size() > 9) return -1;
    int32_t n = 0;
    for (char c : part) n = n * 10 + (c - '0');
    return n >= 1 && n <= d.count() ? n - 1 : -1;
  }
  return dict_find(d, part);
}

void set_selected(VarRecord& v, int32_t on) {
  if (v.ttype != 0) v.selected = on ? 1 : 0;
}

}  // namespace

DX_EXPORT const char* DX_GetVarName(int32_t env, int32_t var) {
  return text_frame(env, var, [](VarRecord& v) { return v.name.c_str(); });
}

DX_EXPORT int32_t DX_CopyVarName(int32_t env, int32_t var, char* buffer) {
  if (!buffer) return call_frame(env, -1, [](EnvRecord&) { return -1; });
  buffer[0] = '\0';
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) { return copy_text(v.name, buffer, kMaxVarName); });
}

DX_EXPORT const char* DX_GetInputVarName(int32_t env, int32_t var) {
  return text_frame(env, var, [](VarRecord& v) { return v.has_input_name ? v.input_name.c_str() : v.name.c_str(); });
}

DX_EXPORT int32_t DX_VarNameMadeUp(int32_t env, int32_t var) {
  return call_frame(env, 0, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    return v && (v->flags & kVarNameMadeUp) ? 1 : 0;
  });
}

DX_EXPORT const char* DX_GetVarLabel(int32_t env, int32_t var) {
  return text_frame(env, var, [](VarRecord& v) { return v.label.c_str(); });
}

DX_EXPORT int32_t DX_CopyVarLabel(int32_t env, int32_t var, char* buffer) {
  if (!buffer) return call_frame(env, -1, [](EnvRecord&) { return -1; });
  buffer[0] = '\0';
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) { return copy_text(v.label, buffer, kCopyLabelMax); });
}

DX_EXPORT int32_t DX_GetVarType(int32_t env, int32_t var) {
  return var_frame(env, var, [](EnvRecord&, VarRecord& v) { return int32_t{v.api_type}; });
}

DX_EXPORT int32_t DX_GetVarTypeExt(int32_t env, int32_t var) {
  return var_frame(env, var,
                   [](EnvRecord&, VarRecord& v) { return v.has_value_labels() ? 64 : int32_t{v.api_type}; });
}

DX_EXPORT int32_t DX_GetTType(int32_t env, int32_t var) {
  return var_frame(env, var, [](EnvRecord&, VarRecord& v) { return int32_t{v.ttype} - 1; });
}

DX_EXPORT int32_t DX_GetVarPrintWidth(int32_t env, int32_t var) {
  return var_frame(env, var, [](EnvRecord&, VarRecord& v) { return static_cast<int32_t>(v.print_width); });
}

DX_EXPORT int32_t DX_GetVarNDec(int32_t env, int32_t var) {
  return var_frame(env, var,
                   [](EnvRecord&, VarRecord& v) { return v.decimals == kDecimalsNotGiven ? 0 : int32_t{v.decimals}; });
}

DX_EXPORT int32_t DX_GetVarSelect(int32_t env, int32_t var) {
  return var_frame(env, var, [](EnvRecord&, VarRecord& v) { return int32_t{v.selected}; });
}

DX_EXPORT int32_t DX_FileHasVarLabels(int32_t env) {
  return call_frame(env, 0, [](EnvRecord& e) -> int32_t {
    if (!dict_input_has_var_labels(e)) return 0;
    for (auto& v : e.dict.vars)
      if (!v->label.empty()) return 1;
    return 0;
  });
}

DX_EXPORT int32_t DX_AreValueLabelsPresent(int32_t env) {
  return call_frame(env, 0, [](EnvRecord& e) -> int32_t { return e.dict.value_labels_present ? 1 : 0; });
}

DX_EXPORT int32_t DX_GetNativeFormat(int32_t env, int32_t var, const char** format) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    if (!v || !format) return -1;
    switch (dict_input_code(e)) {
      case 16: case 20: case 38: case 62:
        *format = v->native_format.c_str();
        return 0;
      default:
        return -2;
    }
  });
}

DX_EXPORT int32_t DX_GetVarInfo(int32_t env, int32_t var, int32_t what, int32_t* out) {
  return dict_frame(env, -2, -1, -1, [&](EnvRecord& e) -> int32_t {
    if (!out) return -1;
    if (what != 8 && what != 16) return -8;
    if (e.dict.count() == 0) return -12;
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return -13;
    if (dict_input_code(e) != 38) return -16;
    *out = v->input_attrs[what == 8 ? 0 : 1];
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarSelect(int32_t env, int32_t var, int32_t on) {
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) {
    set_selected(v, on);
    return 0;
  });
}

DX_EXPORT int32_t DX_SelectAllVarsExt(int32_t env, int32_t on) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (e.dict.count() == 0) return -1;
    for (auto& v : e.dict.vars) set_selected(*v, on);
    return 0;
  });
}

DX_EXPORT int32_t DX_SelectAllVars(int32_t env) { return DX_SelectAllVarsExt(env, 1); }

DX_EXPORT int32_t DX_SetVarSelectName(int32_t env, const char* spec, int32_t on) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (!spec) return -1;
    std::string_view s(spec);
    size_t cut = s.find_first_of("-:");
    int32_t first, last;
    if (cut == std::string_view::npos) {
      first = last = resolve_var(e.dict, s);
    } else {
      first = resolve_var(e.dict, s.substr(0, cut));
      last = resolve_var(e.dict, s.substr(cut + 1));
    }
    if (first < 0 || last < 0) return -1;
    if (first > last) std::swap(first, last);
    for (int32_t i = first; i <= last; ++i) set_selected(*dict_var(e.dict, i), on);
    return last;
  });
}

DX_EXPORT int32_t DX_SetVarLabel(int32_t env, int32_t var, const char* label) {
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) {
    if (label && *label) var_set_label(v, label);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetTType(int32_t env, int32_t var, int32_t code) {
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) -> int32_t {
    if (code < 0 || code > 8) return -1;  // storage types 1..9
    v.ttype = static_cast<uint16_t>(code + 1);
    v.flags |= kVarTypeSetByHost;
    return 0;
  });
}

DX_EXPORT int32_t DX_SetDictVarToString(int32_t env, int32_t var, int32_t width) {
  return var_frame(env, var, [&](EnvRecord&, VarRecord& v) {
    if (is_date_type(v.ttype)) v.flags |= kVarDateMadeString;
    v.ttype = 1;
    v.api_type = 2;
    if (width > 0) v.print_width = static_cast<uint32_t>(width);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetVarInfo(int32_t env, int32_t var, int32_t what, int32_t value, const char* text) {
  return dict_frame(env, -2, -1, -1, [&](EnvRecord& e) -> int32_t {
    if (what != 1 && what != 2 && what != 4) return -5;
    if (e.dict.count() == 0) return -12;
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return -13;
    if (what == 1) {
      if (!is_date_type(v->ttype)) return -14;
      if (!text) return -1;
      v->display_format.assign(text, strnlen(text, 1024));
      v->state_flags |= kVarDisplayFormatGiven;
    } else {
      v->output_attrs[what == 2 ? 0 : 1] = static_cast<uint16_t>(value);
      v->state_flags |= kVarOutputAttrsGiven;
    }
    return 0;
  });
}
