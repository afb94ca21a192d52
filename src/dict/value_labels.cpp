#include "dict/value_labels.h"

#include <cmath>
#include <cstring>

namespace tabulon {

std::string_view label_value_text(std::string_view text, bool long_values) {
  while (text.size() > 1 && text.back() == ' ') text.remove_suffix(1);
  size_t max = long_values ? kLongLabelValue : kShortLabelValue;
  if (text.size() > max) text = text.substr(0, utf8_cut(text.data(), text.size(), max));
  return text;
}

const ValueLabel* find_value_label(const VarRecord& v, const unsigned char* slot, bool long_values, bool s_plus) {
  if (v.value_labels.empty()) return nullptr;
  if (v.is_string()) {
    const char* s = reinterpret_cast<const char*>(slot);
    std::string_view key = label_value_text(std::string_view(s, strnlen(s, v.storage_width)), long_values);
    for (const ValueLabel& e : v.value_labels)
      if (e.has_text && e.missing == 0 && e.text == key) return &e;
    return nullptr;
  }
  double x;
  std::memcpy(&x, slot, sizeof x);
  if (s_plus && std::isfinite(x)) {
    double t = std::trunc(x);
    if (t >= 1 && t <= static_cast<double>(v.value_labels.size()))
      return &v.value_labels[static_cast<size_t>(t) - 1];
  }
  for (const ValueLabel& e : v.value_labels)
    if (!e.has_text && e.value == x) return &e;
  return nullptr;
}

const ValueLabel* find_missing_label(const VarRecord& v, uint16_t code) {
  for (const ValueLabel& e : v.value_labels)
    if (e.missing == code) return &e;
  return nullptr;
}

}  // namespace tabulon
