#include "encoding/case_map.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tabulon {

namespace {

struct CasePair {
  uint16_t from;
  uint16_t to;
};

#include "encoding/case_tables.inc"

template <size_t N>
uint32_t map_cp(const CasePair (&table)[N], uint32_t cp) {
  if (cp > 0xFFFF) return cp;
  auto it = std::lower_bound(table, table + N, cp, [](const CasePair& p, uint32_t v) { return p.from < v; });
  return (it != table + N && it->from == cp) ? it->to : cp;
}

template <class MapAscii, class MapCp>
void map_in_place(char* text, MapAscii ascii, MapCp other) {
  if (!text) return;
  unsigned char* r = reinterpret_cast<unsigned char*>(text);
  unsigned char* w = r;
  size_t left = strlen(text);
  while (left > 0) {
    if (*r < 0x80) {
      *w++ = static_cast<unsigned char>(ascii(*r));
      ++r;
      --left;
      continue;
    }
    uint32_t cp = 0;
    int n = utf8_decode(r, left, &cp);
    if (n == 0) {  // not UTF-8: keep the byte
      *w++ = *r++;
      --left;
      continue;
    }
    uint32_t m = other(cp);
    char enc[4];
    int k = m != cp ? utf8_encode(m, enc) : n + 1;
    if (k <= n) {
      memcpy(w, enc, static_cast<size_t>(k));
      w += k;
    } else {
      memmove(w, r, static_cast<size_t>(n));
      w += n;
    }
    r += n;
    left -= static_cast<size_t>(n);
  }
  *w = '\0';
}

}  // namespace

int utf8_decode(const unsigned char* s, size_t n, uint32_t* cp) {
  if (n == 0) return 0;
  unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int len;
  uint32_t v;
  if (c >= 0xC2 && c <= 0xDF) { len = 2; v = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) { len = 3; v = c & 0x0F; }
  else if (c >= 0xF0 && c <= 0xF4) { len = 4; v = c & 0x07; }
  else return 0;
  if (n < static_cast<size_t>(len)) return 0;
  for (int i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3F);
  }
  if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
    return 0;
  *cp = v;
  return len;
}

int utf8_encode(uint32_t cp, char* out) {
  if (cp < 0x80) { out[0] = static_cast<char>(cp); return 1; }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

uint32_t lower_code_point(uint32_t cp) {
  if (cp < 0x80) return static_cast<uint32_t>(tolower(static_cast<int>(cp)));
  return map_cp(kUpperToLower, cp);
}

uint32_t upper_code_point(uint32_t cp) {
  if (cp < 0x80) return static_cast<uint32_t>(toupper(static_cast<int>(cp)));
  return map_cp(kLowerToUpper, cp);
}

void to_lower_utf8(char* text) {
  map_in_place(text, [](unsigned char c) { return tolower(c); }, [](uint32_t cp) { return map_cp(kUpperToLower, cp); });
}

void to_upper_utf8(char* text) {
  map_in_place(text, [](unsigned char c) { return toupper(c); }, [](uint32_t cp) { return map_cp(kLowerToUpper, cp); });
}

}  // namespace tabulon
