#include "formats/stata/stata_text_encoding.h"

#include <strings.h>

#include "api/env_record.h"

namespace tabulon {

namespace {

bool is_default(const std::string& name) {
  return name.empty() || strcasecmp(name.c_str(), "system") == 0 || strcasecmp(name.c_str(), "CHAR") == 0;
}

// Code points of bytes 0x80..0x9F in Windows-1252.
constexpr char16_t kHigh[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

void put_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool stata_input_encoding_is_default(const EnvRecord& env) {
  return is_default(env.encoding.in_encoding) && env.encoding.file_encoding.empty();
}

bool stata_output_encoding_is_default(const EnvRecord& env) {
  return is_default(env.encoding.out_encoding) && env.encoding.forced_output.empty();
}

bool utf8_valid(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

unsigned char cp1252_byte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == c && c != 0xFFFD) return static_cast<unsigned char>(0x80 + i);
  return 0;
}

size_t utf8_to_cp1252(const char* s, size_t n, std::string& out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t replaced = 0;
  size_t i = 0;
  out.reserve(out.size() + n);
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > n || !utf8_valid(p + i, len)) {
      out += '?';
      ++replaced;
      ++i;
      continue;
    }
    char32_t cp = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    const unsigned char b = cp1252_byte(cp);
    if (b) {
      out += static_cast<char>(b);
    } else {
      out += '?';
      ++replaced;
    }
    i += len;
  }
  return replaced;
}

void cp1252_to_utf8(const unsigned char* p, size_t n, std::string& out) {
  out.reserve(out.size() + n * 2);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c < 0x80)
      out += static_cast<char>(c);
    else if (c < 0xA0)
      put_utf8(kHigh[c - 0x80], out);
    else
      put_utf8(c, out);
  }
}

}  // namespace tabulon
