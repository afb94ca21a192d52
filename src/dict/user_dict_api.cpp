// Dictionaries the host builds: user dictionaries and fixed-column text definitions.
#include <algorithm>
#include <cstring>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dict_env.h"
#include "dict/dictionary.h"
#include "engine/transfer.h"

namespace tabulon {
// The fixed-column record reader installs itself for the defined variables; it lives
// with the text formats and may be absent from a build.
__attribute__((weak)) bool fixed_text_install_reader(EnvRecord& env);
}  // namespace tabulon

using namespace tabulon;

namespace {

// Most variables a host may declare at once.
constexpr int32_t kMaxUserVars = 1 << 20;
// Furthest column a fixed-column definition may name.
constexpr int32_t kMaxFixedColumn = 1 << 24;

// Storage type of a user variable's API type, 0 when the type is not allowed.
uint16_t user_ttype(int32_t type) {
  switch (type) {
    case 1: return 6;   // T_DOUBLE
    case 2: return 1;   // T_STRING
    case 4: return 7;   // T_DATE
    case 8: return 8;   // T_TIME
    case 16: return 9;  // T_DATETIME
    default: return 0;
  }
}

uint16_t ascii_ttype(int32_t type) {
  switch (type) {
    case 1: return 5;  // T_FLOAT
    case 2: return 1;  // T_STRING
    case 4: return 7;  // T_DATE
    default: return 0;
  }
}

}  // namespace

DX_EXPORT int32_t DX_InitUserDict(int32_t env, int32_t n) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (n < 0 || n > kMaxUserVars) return -1;
    if (e.transfer.input_open || e.transfer.output_open || e.dict.count() > 0) transfer_close_files(e);
    transfer_reset_input(e);
    e.dict.user_dict = true;
    e.transfer.input_kind = kInputUserDict;
    e.dict.vars.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) dict_append_var(e.dict);
    return 0;
  });
}

DX_EXPORT int32_t DX_AddUserVar(int32_t env, int32_t var, const char* name, int32_t type, int32_t width,
                                int32_t decimals) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    uint16_t ttype = user_ttype(type);
    if (!v || !name || !ttype || width < 0 || decimals < 0 || decimals > 255) return -1;
    // The slots follow the definitions: a layout made earlier no longer holds.
    dict_release_record(e.dict);
    var_set_name(*v, std::string_view(name, strnlen(name, kMaxVarName + 4)));
    v->api_type = static_cast<uint16_t>(type);
    v->ttype = ttype;
    v->input_width = v->output_width = v->print_width = static_cast<uint32_t>(width);
    v->decimals = static_cast<uint8_t>(decimals);
    v->selected = 1;
    return 0;
  });
}

DX_EXPORT int32_t DX_DefineAsciiVar(int32_t env, int32_t var, const char* name, int32_t type, int32_t width,
                                    int32_t decimals, int32_t recordNumber, int32_t column) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    DictState& d = e.dict;
    if (var == -1) {
      if (!d.ascii_defining || d.count() == 0) return -1;
      d.ascii_line.assign(static_cast<size_t>(d.ascii_max_column) + 256, '\0');
      d.ascii_defining = false;
      d.ascii_finished = true;
      if (!fixed_text_install_reader) {
        SetMessageF(e, "Reading fixed-column text is not available in this build.");
        return -1;
      }
      return fixed_text_install_reader(e) ? 0 : -1;
    }
    if (var < 0) return -1;
    uint16_t ttype = ascii_ttype(type);
    if (!name || !ttype) return -1;
    int32_t max_string = dict_option(e, 83);
    if (width < 0 || (max_string > 0 ? width > max_string : width >= 256)) return -2;
    if (decimals < -255 || decimals > 255 || recordNumber < 0 || recordNumber > 65535 || column < 0 ||
        column > kMaxFixedColumn)
      return -1;
    if (var == 0) {
      d.vars.clear();
      dict_release_record(d);
      d.ascii_max_column = 0;
      d.ascii_max_record = 0;
      d.ascii_finished = false;
      d.ascii_defining = true;
      d.pool_in_use = true;
    }
    if (!d.ascii_defining) return -1;
    if (d.count() >= kMaxUserVars) return -1;
    VarRecord& v = dict_append_var(d);
    var_set_name(v, std::string_view(name, strnlen(name, kMaxVarName + 4)));
    v.ttype = ttype;
    v.api_type = static_cast<uint16_t>(type);
    v.input_width = v.output_width = v.print_width = static_cast<uint32_t>(width);
    if (decimals < 0) {
      v.implied_decimals = static_cast<int16_t>(-decimals);
      v.decimals = static_cast<uint8_t>(-decimals);
    } else {
      v.decimals = static_cast<uint8_t>(decimals);
    }
    v.fixed_record = static_cast<uint16_t>(recordNumber);
    v.fixed_column = static_cast<uint32_t>(column);
    v.selected = 1;
    d.ascii_max_column = std::max(d.ascii_max_column, static_cast<uint32_t>(column) + static_cast<uint32_t>(width));
    d.ascii_max_record = std::max(d.ascii_max_record, static_cast<uint16_t>(recordNumber));
    return 0;
  });
}
