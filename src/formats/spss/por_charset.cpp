#include "formats/spss/por_charset.h"

#include <cstring>

#include "encoding/case_map.h"
#include "encoding/translit.h"

namespace tabulon {

namespace {

// Positions 64 to 155: digits, letters and punctuation, as SPSS itself writes them ("0" at the
// solid bar, 131, and "#" at 151, where SPSS puts it).
constexpr char kAsciiPositions[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz .<(+0&[]!$*);^-/|,%_>?`:#@'=\"";
static_assert(sizeof kAsciiPositions - 1 == 92);

// The set's other characters: position, code point and the byte that stands for it here
// (Latin-1's where it has the character).
struct Symbol {
  uint8_t position;
  uint32_t code_point;
  uint8_t byte;
};
constexpr Symbol kSymbols[] = {
    {156, 0x2264, 0x80}, {157, 0x25A1, 0x81}, {158, 0x00B1, 0xB1}, {159, 0x25A0, 0x82}, {160, 0x00B0, 0xB0},
    {161, 0x2020, 0x86}, {162, '~', '~'},     {163, 0x2013, 0x96}, {164, 0x2514, 0x83}, {165, 0x250C, 0x84},
    {166, 0x2265, 0x85}, {167, 0x2070, 0x87}, {168, 0x00B9, 0xB9}, {169, 0x00B2, 0xB2}, {170, 0x00B3, 0xB3},
    {171, 0x2074, 0x88}, {172, 0x2075, 0x89}, {173, 0x2076, 0x8A}, {174, 0x2077, 0x8B}, {175, 0x2078, 0x8C},
    {176, 0x2079, 0x8D}, {177, 0x2518, 0x8E}, {178, 0x2510, 0x8F}, {179, 0x2260, 0x90}, {180, 0x2014, 0x97},
    {181, 0x207D, 0x91}, {182, 0x207E, 0x92}, {183, 0x2E38, 0x93}, {184, '{', '{'},     {185, '}', '}'},
    {186, '\\', '\\'},   {187, 0x00A2, 0xA2}, {188, 0x00B7, 0xB7},
};

const Symbol* symbol_of_code_point(uint32_t cp) {
  for (const Symbol& s : kSymbols)
    if (s.code_point == cp && cp >= 0x80) return &s;
  return nullptr;
}

std::string make_table() {
  std::string t(256, '0');
  std::memcpy(&t[64], kAsciiPositions, sizeof kAsciiPositions - 1);
  for (const Symbol& s : kSymbols) t[s.position] = static_cast<char>(s.byte);
  return t;
}

// A character outside printable ASCII: transliterated, dropped (combining marks) or "?".
// `symbols`: the set's own symbols are written as themselves.
void encode_other(uint32_t cp, bool symbols, std::string& out, size_t& changed) {
  if (symbols) {
    if (const Symbol* s = symbol_of_code_point(cp)) {
      out.push_back(static_cast<char>(s->byte));
      return;
    }
  }
  ++changed;
  if (cp < 0x20 || cp == 0x7F) {
    out.push_back(' ');
    return;
  }
  const TranslitRow* row = find_translit(cp);
  if (!row) row = find_script_translit(cp);
  if (row) {
    out.append(row->text, row->length);
    return;
  }
  if (cp >= 0x0300 && cp <= 0x036F) return;  // a combining accent: its letter stays
  out.push_back('?');
}

size_t encode(const char* p, size_t n, std::string& out, bool symbols) {
  size_t changed = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  size_t i = 0;
  while (i < n) {
    size_t j = i;
    while (j < n && s[j] >= 0x20 && s[j] < 0x7F) ++j;
    out.append(p + i, j - i);
    i = j;
    if (i >= n) break;
    uint32_t cp = 0;
    const int len = utf8_decode(s + i, n - i, &cp);
    if (len <= 0) {  // not UTF-8
      out.push_back('?');
      ++changed;
      ++i;
      continue;
    }
    encode_other(cp, symbols, out, changed);
    i += static_cast<size_t>(len);
  }
  return changed;
}

}  // namespace

const std::string& por_translation_table() {
  static const std::string table = make_table();
  return table;
}

size_t por_encode(const char* p, size_t n, std::string& out) { return encode(p, n, out, true); }

size_t por_ascii(const char* p, size_t n, std::string& out) { return encode(p, n, out, false); }

void PorDecoder::reset() {
  for (int b = 0; b < 256; ++b) code[b] = static_cast<int16_t>(b);
  identity = true;
}

void PorDecoder::build(const unsigned char* table) {
  reset();
  bool named[256] = {};
  // The first position that names a byte wins: "0" fills the unused positions after the digit.
  for (int pos = 64; pos <= 188; ++pos) {
    const unsigned char b = table[pos];
    if (named[b] || b == '\r' || b == '\n') continue;
    named[b] = true;
    int c;
    if (pos < 156) {
      c = pos == 131 ? '|' : static_cast<unsigned char>(kAsciiPositions[pos - 64]);
    } else {
      c = kPorSymbol + pos;
      for (const Symbol& s : kSymbols)
        if (s.position == pos && s.code_point < 0x80) c = static_cast<int>(s.code_point);
    }
    code[b] = static_cast<int16_t>(c);
    if (c != b) identity = false;
  }
}

void por_append_decoded(int c, std::string& out) {
  if (c < kPorSymbol) {
    out.push_back(static_cast<char>(c));
    return;
  }
  for (const Symbol& s : kSymbols) {
    if (s.position == c - kPorSymbol) {
      char u[4];
      out.append(u, static_cast<size_t>(utf8_encode(s.code_point, u)));
      return;
    }
  }
  out.push_back('?');
}

}  // namespace tabulon
