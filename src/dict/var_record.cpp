#include "dict/var_record.h"

namespace tabulon {

size_t utf8_cut(const char* s, size_t len, size_t max) {
  if (len <= max) return len;
  size_t n = max;
  // Step back over continuation bytes so a sequence is never split.
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

void var_set_name(VarRecord& v, std::string_view name) {
  v.name.assign(name.data(), utf8_cut(name.data(), name.size(), kMaxVarName));
}

void var_set_input_name(VarRecord& v, std::string_view input_name) {
  v.has_input_name = input_name != v.name;
  if (v.has_input_name)
    v.input_name.assign(input_name);
  else
    v.input_name.clear();
}

void var_set_label(VarRecord& v, std::string_view label) { v.label.assign(label); }

const char* ttype_name(int ttype) {
  static const char* const names[] = {"undefined", "String", "Byte", "Int",  "Long",
                                      "Float",     "Double", "Date", "Time", "Date/Time"};
  return ttype >= 0 && ttype <= 9 ? names[ttype] : "undefined";
}

uint16_t api_type_of_ttype(int ttype) {
  switch (ttype) {
    case 1: return 2;
    case 2: case 3: case 4: case 5: case 6: return 1;
    case 7: return 4;
    case 8: return 8;
    case 9: return 16;
    default: return 0;
  }
}

const char* missing_code_text(int code) {
  static const char* const texts[] = {
      ".",  ".A", ".B", ".C", ".D", ".E", ".F", ".G", ".H", ".I", ".J", ".K", ".L", ".M", ".N",
      ".O", ".P", ".Q", ".R", ".S", ".T", ".U", ".V", ".W", ".X", ".Y", ".Z", "",   "._"};
  return code >= 1 && code <= 29 ? texts[code - 1] : nullptr;
}

}  // namespace tabulon
