#include "formats/spss/spss_formats.h"

#include <charconv>

#include "api/env_record.h"
#include "dict/var_record.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

// Index = format code; null for codes without a name.
constexpr const char* kNames[] = {
    nullptr, "A",     "AHEX",  "COMMA", "DOLLAR", "F",     "IB",    "PIBHEX", "P",     "PIB",   "PK",
    "RB",    "RBHEX", nullptr, nullptr, "Z",      "N",     "E",     nullptr,  nullptr, "DATE",  "TIME",
    "DATETIME", "ADATE", "JDATE", "DTIME", "WKDAY", "MONTH", "MOYR", "QYR", "WKYR", "PCT", "DOT",
    "CCA",   "CCB",   "CCC",   "CCD",   "CCE",    "EDATE", "SDATE", "MTIME", "YMDHMS"};
constexpr int kNameCount = static_cast<int>(sizeof kNames / sizeof kNames[0]);

bool fits(int type, int ttype) {
  switch (type) {
    case 21: case 25: case 40: return ttype == T_TIME;
    case 22: case 41: return ttype == T_DATETIME;
    case 20: case 23: case 24: case 28: case 29: case 30: case 38: case 39: return ttype == T_DATE;
    case 3: case 4: case 5: case 16: case 17: case 26: case 27: case 31: case 32:
    case 33: case 34: case 35: case 36: case 37:
      return ttype >= T_BYTE && ttype <= T_DOUBLE;
    default: return false;
  }
}

}  // namespace

std::string spss_format_text(const SpssFormat& f) {
  if (f.type <= 0 || f.type >= kNameCount || !kNames[f.type]) return {};
  std::string s = kNames[f.type];
  s += std::to_string(f.width);
  if (f.decimals > 0) s += "." + std::to_string(f.decimals);
  return s;
}

bool spss_format_parse(std::string_view text, SpssFormat* out) {
  size_t letters = 0;
  while (letters < text.size() && text[letters] >= 'A' && text[letters] <= 'Z') ++letters;
  const std::string_view name = text.substr(0, letters);
  SpssFormat f;
  for (int t = 1; t < kNameCount; ++t)
    if (kNames[t] && name == kNames[t]) f.type = t;
  if (!f.type) return false;
  const char* p = text.data() + letters;
  const char* end = text.data() + text.size();
  auto r = std::from_chars(p, end, f.width);
  if (r.ec != std::errc() || f.width < 1 || f.width > 255) return false;
  p = r.ptr;
  if (p < end && *p == '.') {
    r = std::from_chars(p + 1, end, f.decimals);
    if (r.ec != std::errc() || f.decimals < 0 || f.decimals > 16) return false;
    p = r.ptr;
  }
  if (p != end) return false;
  *out = f;
  return true;
}

bool spss_input_format(const EnvRecord& env, const VarRecord& v, SpssFormat* out) {
  const int32_t input = env.transfer.input_code;
  if ((input != 13 && input != 22) || v.native_format.empty()) return false;
  SpssFormat f;
  if (!spss_format_parse(v.native_format, &f) || !fits(f.type, v.ttype)) return false;
  *out = f;
  return true;
}

}  // namespace tabulon
