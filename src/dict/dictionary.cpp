#include "dict/dictionary.h"

#include <algorithm>

#include "api/env_record.h"
#include "api/raise.h"
#include "dict/dict_env.h"

namespace tabulon {

VarRecord& dict_append_var(DictState& d) {
  d.vars.push_back(std::make_unique<VarRecord>());
  return *d.vars.back();
}

VarRecord& dict_append_var(DictState& d, std::string_view name, int ttype, uint32_t width) {
  VarRecord& v = dict_append_var(d);
  var_set_name(v, name);
  v.ttype = static_cast<uint16_t>(ttype);
  v.api_type = api_type_of_ttype(ttype);
  v.input_width = v.output_width = v.print_width = width;
  return v;
}

static bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

int32_t dict_find(const DictState& d, std::string_view name) {
  for (int32_t i = 0; i < d.count(); ++i)
    if (iequal(d.vars[static_cast<size_t>(i)]->name, name)) return i;
  return -1;
}

void dict_release_record(DictState& d) {
  d.record_store.reset();
  d.record_length = 0;
  d.laid_out_count = d.string_count = d.numeric_count = 0;
  d.any_var_label = false;
}

void dict_clear(DictState& d) {
  d.vars.clear();
  d.vars.shrink_to_fit();
  d.dataset_attrs = ExtAttrList{};
  d.file_label.clear();
  d.has_file_label = false;
  d.reader_count = 0;
  d.value_labels_present = false;
  d.current_labels_var = -1;
  d.user_dict = false;
  d.pool_in_use = false;
  d.ascii_defining = d.ascii_finished = false;
  d.ascii_max_column = 0;
  d.ascii_max_record = 0;
  d.ascii_line.clear();
  d.ascii_line.shrink_to_fit();
  dict_release_record(d);
}

void dict_derive_api_types(DictState& d) {
  for (auto& v : d.vars) v->api_type = api_type_of_ttype(v->ttype);
}

// The existing layout still serves: every variable that takes part has a slot laid
// out for a value of its kind and width.
static bool layout_fits(const DictState& d, uint64_t max_string) {
  for (const auto& p : d.vars) {
    const VarRecord& v = *p;
    if (!v.selected && !v.needed && !d.user_dict) continue;
    if (!v.storage_width || (v.slot_ttype == 1) != (v.ttype == 1)) return false;
    if (v.ttype == 1 && v.storage_width < 4 * std::min<uint64_t>(v.print_width + 1, max_string)) return false;
  }
  return true;
}

void dict_layout_record(EnvRecord& env) {
  DictState& d = env.dict;
  const uint64_t max_string = static_cast<uint64_t>(dict_max_string_length(env));
  if (d.has_record()) {
    if (layout_fits(d, max_string)) return;
    dict_release_record(d);
  }
  const bool worksheet = dict_input_is_worksheet(env);
  const uint32_t numeric_slot = worksheet ? 32 : dict_complex_values(env) ? 16 : 8;

  uint64_t at = 0;
  int32_t laid = 0, strings = 0, numerics = 0;
  bool labels = false;
  for (auto& p : d.vars) {
    VarRecord& v = *p;
    if (v.needed) v.selected = 1;
    if (!v.selected && !d.user_dict) {
      v.offset = v.storage_width = 0;
      v.slot_ttype = 0;
      continue;
    }
    v.slot_ttype = v.ttype;
    v.name.resize(std::min(v.name.size(), kMaxVarName));
    if (v.ttype == 1) {
      uint64_t w = static_cast<uint64_t>(v.print_width) + 1;
      w += w & 1;
      w = std::min(w, max_string);
      if (worksheet) w = std::max<uint64_t>(w, 32);
      w *= 4;
      v.offset = static_cast<uint32_t>(at);
      v.storage_width = static_cast<uint32_t>(w);
      at += w;
      ++strings;
    } else {
      if (v.ttype > 9)
        RaiseErrorF(env, "Internal Error -- Unsupported Type %d - variable: %s", v.ttype, v.name.c_str());
      at = (at + 7) & ~uint64_t{7};
      v.offset = static_cast<uint32_t>(at);
      v.storage_width = numeric_slot;
      at += numeric_slot;
      ++numerics;
    }
    if (at > UINT32_MAX - 8) RaiseErrorF(env, "The record of %d variables is too long.", laid + 1);
    if (!v.label.empty()) labels = true;
    ++laid;
  }
  at = (at + 7) & ~uint64_t{7};
  size_t words = std::max<size_t>(static_cast<size_t>(at / 8), 1);
  d.record_store = std::make_unique<uint64_t[]>(words);  // zero-filled
  d.record_length = static_cast<uint32_t>(at);
  d.laid_out_count = laid;
  d.string_count = strings;
  d.numeric_count = numerics;
  d.any_var_label = labels;
}

}  // namespace tabulon
