// Exported functions for the value labels of the current variable.
#include <cmath>
#include <cstring>
#include <string_view>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "dict/dict_env.h"
#include "dict/dictionary.h"
#include "dict/value_labels.h"

using namespace tabulon;

namespace {

// A variable holds at most this many value labels.
constexpr int32_t kMaxValueLabels = 65535;

VarRecord* current_var(EnvRecord& env) { return dict_var(env.dict, env.dict.current_labels_var); }

ValueLabel* entry(EnvRecord& env, int32_t k, VarRecord** var = nullptr) {
  VarRecord* v = current_var(env);
  if (!v || k < 0 || static_cast<size_t>(k) >= v->value_labels.size()) return nullptr;
  if (var) *var = v;
  return &v->value_labels[static_cast<size_t>(k)];
}

void set_label(ValueLabel& e, const char* label) {
  if (label)
    e.label.assign(label);
  else
    e.label.clear();
}

int32_t truncate_to_int(double x) {
  if (!(x > -2147483649.0 && x < 2147483648.0)) return 0;
  return static_cast<int32_t>(x);
}

}  // namespace

DX_EXPORT int32_t DX_GetNValueLabels(int32_t env, int32_t var) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    if (!v) return -1;
    e.dict.current_labels_var = var;
    if (v->value_labels.empty()) return -1;
    return static_cast<int32_t>(v->value_labels.size());
  });
}

DX_EXPORT int32_t DX_GetValueLabel(int32_t env, int32_t k, int32_t* value, const char** label) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    ValueLabel* l = entry(e, k);
    if (!l || !value || !label) return -1;
    *value = truncate_to_int(l->value);
    *label = l->label.c_str();
    return 0;
  });
}

DX_EXPORT int32_t DX_GetValueLabelStr(int32_t env, int32_t k, const char** value, const char** label) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = nullptr;
    ValueLabel* l = entry(e, k, &v);
    if (!l || !value || !label) return -1;
    *value = v->is_string() && l->has_text ? l->text.c_str() : nullptr;
    *label = l->label.c_str();
    return 0;
  });
}

DX_EXPORT int32_t DX_GetValueLabelExt(int32_t env, int32_t k, double* value, char* valueText, char* labelBuffer,
                                      int32_t labelSize) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    ValueLabel* l = entry(e, k);
    if (!l) return -1;
    int32_t kind;
    if (l->has_text) {
      if (!valueText) return -1;
      std::string_view t = label_value_text(l->text, dict_long_values(e));
      std::memcpy(valueText, t.data(), t.size());
      valueText[t.size()] = '\0';
      kind = 2;
    } else {
      if (!value) return -1;
      *value = l->value;
      kind = 1;
    }
    if (!l->label.empty() && labelBuffer && labelSize > 0) {
      size_t n = utf8_cut(l->label.data(), l->label.size(), static_cast<size_t>(labelSize) - 1);
      std::memcpy(labelBuffer, l->label.data(), n);
      labelBuffer[n] = '\0';
    }
    return kind;
  });
}

DX_EXPORT int32_t DX_SetNValueLabels(int32_t env, int32_t var, int32_t n) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = dict_var(e.dict, var);
    if (!v || n < 0 || n > kMaxValueLabels) return -1;
    e.dict.current_labels_var = var;
    v->value_labels.assign(static_cast<size_t>(n), ValueLabel{});
    e.dict.value_labels_present = true;
    return 0;
  });
}

DX_EXPORT int32_t DX_SetValueLabel(int32_t env, int32_t k, int32_t value, const char* label) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = nullptr;
    ValueLabel* l = entry(e, k, &v);
    if (!l || v->is_string()) return -1;
    *l = ValueLabel{};
    l->value = value;
    set_label(*l, label);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetValueLabelExt(int32_t env, int32_t k, double value, const char* text, const char* label) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    VarRecord* v = nullptr;
    ValueLabel* l = entry(e, k, &v);
    if (!l) return -1;
    ValueLabel fresh;
    if (v->is_string()) {
      if (!text) return -1;
      size_t len = strnlen(text, kLongLabelValue + 1);
      if (len > kLongLabelValue) {
        emit_message(e, MsgKind::Warning, " Length of the submitted variable value will be limited to 32768 bytes");
        len = kLongLabelValue;
      }
      std::string_view t = label_value_text(std::string_view(text, len), dict_long_values(e));
      fresh.text.assign(t);
      fresh.has_text = true;
    } else {
      fresh.value = value;
    }
    set_label(fresh, label);
    *l = std::move(fresh);
    return 0;
  });
}

DX_EXPORT int32_t DX_SetMissingValueLabel(int32_t env, int32_t k, int32_t code, const char* label) {
  return call_frame(env, -1, [&](EnvRecord& e) -> int32_t {
    if (code < 1 || code > kLastMissingCode) return -3;
    VarRecord* v = current_var(e);
    if (v && v->is_string()) return -2;
    ValueLabel* l = entry(e, k);
    if (!l) return -1;
    ValueLabel fresh;
    fresh.text = missing_code_text(code);
    fresh.has_text = true;
    fresh.missing = static_cast<uint32_t>(code);
    set_label(fresh, label);
    *l = std::move(fresh);
    return 0;
  });
}
