// SAS data sets built byte by byte here (32/64-bit layouts, both byte orders, RLE and RDC
// compressed rows, deleted rows, damaged headers) and read through the public entry points.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "engine/optimize.h"
#include "formats/sas/sas7bdat_reader.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"
#include "formats/corpus_fixture.h"

using namespace tabulon;

namespace {

// Every message is kept, for `logged`.
struct Env : test::TestEnv {
  Env() : TestEnv(true) {}
};

std::string temp_path(const std::string& name, const char* ext = ".sas7bdat") {
  return test::scratch_path("sas", name, ext);
}
using test::spill;

// ---- a small writer of SAS data sets ----

struct Col {
  std::string name;
  int type = 1;  // 1 numeric, 2 character
  uint32_t width = 8;
  std::string format = {};
  std::string label = {};
};

struct Cell {
  bool text = false;
  double x = 0;
  std::string s = {};
};
Cell N(double x) { return {false, x, {}}; }
Cell S(std::string s) { return {true, 0, std::move(s)}; }
// A SAS missing value with third-highest byte b (the rest of a quiet NaN).
Cell M(uint8_t b) {
  const uint64_t bits = 0xFFF8000000000000ull | (uint64_t{b} << 40);
  double x;
  std::memcpy(&x, &bits, 8);
  return N(x);
}

struct Spec {
  int profile = 7;        // 1, 2, 3 or 7
  int compression = 0;    // 0, 1 RLE, 2 RDC
  bool mixed = false;     // rows on the first page after the subheaders
  uint32_t page_size = 4096;
  int rows_per_page = 3;
  std::vector<Col> cols;
  std::vector<std::vector<Cell>> rows;
  std::vector<int> deleted = {};  // 0-based physical rows
  std::string literal = {};       // compression literal override ("" = by kind)
  size_t trailing = 0;            // bytes after the last page
  bool ebcdic = false;            // text in EBCDIC
  std::vector<int> raw = {};      // compressed data sets: rows stored as they are
  bool late_text = false;         // compressed data sets: the column text after the rows
  uint8_t encoding = 20;          // SAS encoding number (20 UTF-8)
  int64_t declared_rows = -1;     // the row count the header gives (-1: the rows given)
};

struct Layout {
  int w;
  bool be;
  uint8_t b32, b35, b36, b37, b39, b40;
  bool ibm = false;  // numbers in IBM hexadecimal floating point
};

Layout layout_of(int profile) {
  switch (profile) {
    case 1: return {4, false, 0x22, 0x32, 0x22, 1, 0x32, 0x04};
    case 2: return {4, true, 0x22, 0x33, 0x22, 0, 0x31, 0x01};
    case 3: return {8, true, 0x33, 0x33, 0x33, 0, 0x31, 0x01};
    case 6: return {4, true, 0x22, 0x33, 0x22, 0, 0x21, 0x02, true};
    default: return {8, false, 0x33, 0x33, 0x33, 1, 0x31, 0x01};
  }
}

// IBM System/360 double: sign, excess-64 exponent of 16, 56-bit fraction.
uint64_t ibm_bits(double v) {
  if (v == 0) return 0;
  uint64_t sign = v < 0 ? 0x80 : 0;
  double x = std::fabs(v);
  int e = 0;
  while (x >= 1) x /= 16, ++e;
  while (x < 1.0 / 16) x *= 16, --e;
  const uint64_t fraction = static_cast<uint64_t>(std::ldexp(x, 56));
  return ((sign | static_cast<uint64_t>(e + 64)) << 56) | fraction;
}

// ASCII text as EBCDIC (code page 037) for the mainframe layout.
std::string to_ebcdic(const std::string& s) {
  static const char* upper = "\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xD1\xD2\xD3\xD4\xD5\xD6\xD7\xD8\xD9\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9";
  static const char* lower = "\x81\x82\x83\x84\x85\x86\x87\x88\x89\x91\x92\x93\x94\x95\x96\x97\x98\x99\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9";
  std::string out;
  for (char c : s) {
    if (c >= 'A' && c <= 'Z') out += upper[c - 'A'];
    else if (c >= 'a' && c <= 'z') out += lower[c - 'a'];
    else if (c >= '0' && c <= '9') out += static_cast<char>(0xF0 + (c - '0'));
    else if (c == ' ') out += '\x40';
    else if (c == '$') out += '\x5B';
    else out += '\x6F';  // '?'
  }
  return out;
}

struct Out {
  Layout l;
  std::string& b;
  void u16(size_t at, uint32_t v) {
    for (int k = 0; k < 2; ++k) b[at + (l.be ? 1 - k : k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  void u32(size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + (l.be ? 3 - k : k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  void word(size_t at, uint64_t v) {
    for (int k = 0; k < l.w; ++k) b[at + (l.be ? l.w - 1 - k : k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  void f64(size_t at, double x, uint32_t width) {
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    if (l.ibm) bits = ibm_bits(x);
    // The high-order `width` bytes, in file order.
    for (uint32_t k = 0; k < width; ++k) {
      const uint8_t byte = static_cast<uint8_t>(bits >> (8 * (7 - k)));
      b[at + (l.be ? k : width - 1 - k)] = static_cast<char>(byte);
    }
  }
};

// RLE: literal runs of at most 64 bytes, runs of 3+ equal bytes as fills.
std::string rle(const std::string& row) {
  std::string out;
  size_t i = 0;
  while (i < row.size()) {
    size_t run = 1;
    while (i + run < row.size() && row[i + run] == row[i] && run < 18) ++run;
    if (run >= 3) {
      const char c = row[i];
      if (c == 0) out += static_cast<char>(0xF0 | (run - 2 > 15 ? 15 : run - 2)), run = run - 2 > 15 ? 17 : run;
      else out += static_cast<char>(0xC0 | (run - 3)), out += c;
      i += run;
      continue;
    }
    size_t lit = 0;
    while (i + lit < row.size() && lit < 64) ++lit;
    lit = std::min<size_t>(lit, 3);
    out += static_cast<char>(0x80 | (lit - 1));
    out.append(row, i, lit);
    i += lit;
  }
  return out;
}

// RDC: literals, byte fills and a back reference to the start of the row where it repeats.
std::string rdc(const std::string& row) {
  std::string out, body;
  uint16_t control = 0;
  int bits = 0;
  size_t control_at = 0;
  auto flag = [&](bool command) {
    if (bits == 0) {
      if (!out.empty() || !body.empty()) {
        out[control_at] = static_cast<char>(control >> 8);
        out[control_at + 1] = static_cast<char>(control & 0xFF);
      }
      control_at = out.size();
      out += std::string(2, '\0');
      control = 0;
      bits = 16;
    }
    --bits;
    if (command) control |= static_cast<uint16_t>(1u << bits);
  };
  size_t i = 0;
  while (i < row.size()) {
    size_t run = 1;
    while (i + run < row.size() && row[i + run] == row[i] && run < 18) ++run;
    if (run >= 3) {
      flag(true);
      out += static_cast<char>(run - 3);
      out += row[i];
      i += run;
      continue;
    }
    // Three bytes seen 16 or more bytes back: a command-3 copy.
    if (i >= 16 && i + 3 <= row.size() && row.compare(i, 3, row, i - 16, 3) == 0) {
      flag(true);
      out += static_cast<char>(0x30 | (16 - 3) % 16);  // back = N + 3 + next*16 = 13 + 3 + 0
      out += '\0';
      i += 3;
      continue;
    }
    flag(false);
    out += row[i++];
  }
  if (bits != 16 || !out.empty()) {
    out[control_at] = static_cast<char>(control >> 8);
    out[control_at + 1] = static_cast<char>(control & 0xFF);
  }
  return out;
}

std::string build(const Spec& sp) {
  const Layout l = layout_of(sp.profile);
  const int w = l.w;
  const uint32_t ps = sp.page_size;
  const uint32_t pad = l.b35 == 0x33 ? 4 : 0;  // byte 35 alone sets the pad, as SAS does
  // Row layout: columns in order.
  std::vector<uint32_t> offs;
  uint32_t reclen = 0;
  for (const Col& c : sp.cols) offs.push_back(reclen), reclen += c.width;
  std::vector<std::string> rowbytes;
  for (const auto& r : sp.rows) {
    std::string row(reclen, '\0');
    Out o{l, row};
    for (size_t k = 0; k < sp.cols.size(); ++k) {
      if (sp.cols[k].type == 2) {
        std::string s = r[k].s;
        s.resize(sp.cols[k].width, ' ');
        if (sp.ebcdic) s = to_ebcdic(s);
        row.replace(offs[k], s.size(), s);
      } else {
        o.f64(offs[k], r[k].x, sp.cols[k].width);
      }
    }
    rowbytes.push_back(row);
  }

  // Column text: the compression literal, then names, formats and labels.
  std::string text(32, '\0');
  const char* lit = sp.compression == 1 ? "SASYZCRL" : sp.compression == 2 ? "SASYZCR2" : "        ";
  std::string literal = sp.literal.empty() ? lit : sp.literal;
  literal.resize(8, ' ');
  text.replace(12, 8, literal);
  auto add_text = [&](const std::string& s) {
    const size_t at = text.size();
    text += sp.ebcdic ? to_ebcdic(s) : s;
    while (text.size() % 4) text += '\0';
    return std::pair<uint16_t, uint16_t>(static_cast<uint16_t>(at), static_cast<uint16_t>(s.size()));
  };
  struct Refs { std::pair<uint16_t, uint16_t> name, format, label; };
  std::vector<Refs> refs;
  for (const Col& c : sp.cols) refs.push_back({add_text(c.name), add_text(c.format), add_text(c.label)});

  std::vector<std::string> subs;
  std::string tmp;
  auto sig = [&](std::string& s, uint32_t v) {
    Out o{l, s};
    o.word(0, w == 8 ? (uint64_t{v & 0x80000000u ? 0xFFFFFFFFu : 0} << 32) | v : v);
  };
  {  // row size
    std::string s(w == 8 ? 808 : 480, '\0');  // the full size other readers expect
    Out o{l, s};
    o.word(0, w == 8 ? 0x00000000F7F7F7F7ull : 0xF7F7F7F7u);
    o.word(4 * w, 0x00223011);  // as SAS writes it, whether rows were deleted or not
    o.word(5 * w, reclen);
    o.word(6 * w, sp.declared_rows >= 0 ? static_cast<uint64_t>(sp.declared_rows) : sp.rows.size());
    o.word(7 * w, sp.deleted.size());
    o.word(8 * w, sp.compression ? 1 : 0);
    subs.push_back(s);
  }
  {  // column size
    std::string s(3 * w, '\0');
    Out o{l, s};
    o.word(0, w == 8 ? 0x00000000F6F6F6F6ull : 0xF6F6F6F6u);
    o.word(w, sp.cols.size());
    subs.push_back(s);
  }
  {  // column text
    std::string s(w, '\0');
    sig(s, 0xFFFFFFFDu);
    s += text;
    Out(l, s).u16(w, static_cast<uint32_t>(text.size()));  // the size of the text
    while (s.size() % 8) s += '\0';
    subs.push_back(s);
  }
  const size_t start = w == 8 ? 16 : 12;
  {  // column names
    std::string s(start + 8 * sp.cols.size() + w + 4, '\0');
    sig(s, 0xFFFFFFFFu);
    Out o{l, s};
    for (size_t k = 0; k < sp.cols.size(); ++k) {
      o.u16(start + 8 * k, 0);
      o.u16(start + 8 * k + 2, refs[k].name.first);
      o.u16(start + 8 * k + 4, refs[k].name.second);
    }
    subs.push_back(s);
  }
  {  // column attributes
    std::string s(start + (w + 8) * sp.cols.size() + w + 4, '\0');
    sig(s, 0xFFFFFFFCu);
    Out o{l, s};
    for (size_t k = 0; k < sp.cols.size(); ++k) {
      const size_t e = start + (w + 8) * k;
      o.word(e, offs[k]);
      o.u32(e + w, sp.cols[k].width);
      o.u16(e + w + 4, 4);
      s[e + w + 6] = static_cast<char>(sp.cols[k].type);
    }
    subs.push_back(s);
  }
  for (size_t k = 0; k < sp.cols.size(); ++k) {  // format and label
    std::string s(w == 8 ? 64 : 48, '\0');
    sig(s, 0xFFFFFBFEu);
    Out o{l, s};
    const size_t sizes = w == 8 ? 24 : 12, fmt = w == 8 ? 46 : 34, lab = w == 8 ? 52 : 40;
    o.u16(sizes, 10);
    o.u16(sizes + 2, 2);
    o.u16(fmt + 2, refs[k].format.first);
    o.u16(fmt + 4, refs[k].format.second);
    o.u16(lab + 2, refs[k].label.first);
    o.u16(lab + 4, refs[k].label.second);
    subs.push_back(s);
  }

  const uint32_t type_at = w == 8 ? 32 : 16, block_at = type_at + 2, count_at = type_at + 4;
  const uint32_t first_ptr = w == 8 ? 40 : 24, ptr_size = w == 8 ? 24 : 12;
  std::vector<std::string> pages;
  auto new_page = [&](uint16_t type) {
    std::string p(ps, '\0');
    Out o{l, p};
    o.u16(type_at, type);
    pages.push_back(p);
    return pages.size() - 1;
  };
  // Page 0: the subheaders, placed from the end of the page downwards.
  size_t p0 = new_page(sp.mixed && !sp.compression ? 0x200 : 0);
  uint32_t top = ps;
  auto put_entry = [&](size_t page, uint32_t i, const std::string& data, uint8_t comp) {
    std::string& p = pages[page];
    Out o{l, p};
    top -= static_cast<uint32_t>(data.size());
    p.replace(top, data.size(), data);
    const size_t at = first_ptr + static_cast<size_t>(i) * ptr_size;
    o.word(at, top);
    o.word(at + w, data.size());
    p[at + 2 * w] = static_cast<char>(comp);
    p[at + 2 * w + 1] = static_cast<char>(comp & 4 ? 1 : 0);
  };
  std::string late;
  if (sp.late_text && sp.compression) {
    late = subs[2];
    subs.erase(subs.begin() + 2);
  }
  for (size_t k = 0; k < subs.size(); ++k) put_entry(p0, static_cast<uint32_t>(k), subs[k], 0);
  Out(l, pages[p0]).u16(count_at, static_cast<uint32_t>(subs.size()));
  Out(l, pages[p0]).u16(block_at, static_cast<uint32_t>(subs.size()));

  auto is_deleted = [&](size_t r) {
    for (int d : sp.deleted)
      if (static_cast<size_t>(d) == r) return true;
    return false;
  };
  if (sp.compression) {
    size_t page = 0;
    uint32_t n = static_cast<uint32_t>(subs.size());
    for (size_t r = 0; r < rowbytes.size(); ++r) {
      if (!late.empty() && r == 2) {  // a new page: the column text, then the rows that follow
        page = new_page(0);
        top = ps;
        n = 0;
        put_entry(page, n++, late, 0);
        late.clear();
      }
      const bool raw = std::find(sp.raw.begin(), sp.raw.end(), static_cast<int>(r)) != sp.raw.end();
      const std::string packed = raw ? rowbytes[r] : sp.compression == 1 ? rle(rowbytes[r]) : rdc(rowbytes[r]);
      const uint32_t need = static_cast<uint32_t>(packed.size());
      if (first_ptr + (n + 1) * ptr_size + need + 8 > top) {
        page = new_page(0);
        top = ps;
        n = 0;
      }
      put_entry(page, n++, packed, raw ? 0 : is_deleted(r) ? 5 : 4);
      Out(l, pages[page]).u16(count_at, n);
      Out(l, pages[page]).u16(block_at, n);
    }

  } else {
    size_t r = 0;
    auto fill = [&](size_t page, uint32_t subheaders, size_t count) {
      std::string& p = pages[page];
      Out o{l, p};
      size_t at = (first_ptr + subheaders * ptr_size + 7) & ~size_t{7};
      const size_t first = r;
      for (size_t k = 0; k < count; ++k, ++r) p.replace(at + k * reclen, reclen, rowbytes[r]);
      // Unused bytes follow the rows, then the deleted-row flags; the page header counts the
      // unused bytes. The bytes in between are left as stale as SAS leaves them.
      const size_t unused = 12;
      o.word(w == 8 ? 24 : 12, unused);
      const size_t bitmap = at + count * reclen + unused;
      for (size_t k = at + count * reclen; k < bitmap; ++k) p[k] = '\xA5';
      if (!sp.deleted.empty()) {
        bool any = false;
        for (size_t k = 0; k < count; ++k)
          if (is_deleted(first + k)) {
            p[bitmap + k / 8] = static_cast<char>(p[bitmap + k / 8] | (0x80 >> (k % 8)));
            any = true;
          }
        if (any) o.u16(type_at, (subheaders ? 0x200 : 0x100) | 0x80);
      }
      o.u16(block_at, static_cast<uint32_t>(subheaders + count));
    };
    if (sp.mixed) {  // as many rows as fit below the subheaders
      const size_t at = (first_ptr + subs.size() * ptr_size + 7) & ~size_t{7};
      const size_t room = top - at - 12 - (rowbytes.size() + 7) / 8;  // the unused bytes and the flags
      fill(p0, static_cast<uint32_t>(subs.size()), std::min<size_t>(room / reclen, rowbytes.size()));
    }
    while (r < rowbytes.size()) fill(new_page(0x100), 0, std::min<size_t>(sp.rows_per_page, rowbytes.size() - r));
  }

  std::string file(1024, '\0');
  Out h{l, file};
  static const uint8_t magic[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC2, 0xEA, 0x81, 0x60,
                                    0xB3, 0x14, 0x11, 0xCF, 0xBD, 0x92, 0x08, 0x00, 0x09, 0xC7, 0x31, 0x8C,
                                    0x18, 0x1F, 0x10, 0x11};
  file.replace(0, 32, reinterpret_cast<const char*>(magic), 32);
  file[32] = static_cast<char>(l.b32);
  file[35] = static_cast<char>(l.b35);
  file[36] = static_cast<char>(l.b36);
  file[37] = static_cast<char>(l.b37);
  file[39] = static_cast<char>(l.b39);
  file[40] = static_cast<char>(l.b40);
  file[70] = static_cast<char>(sp.encoding);
  file.replace(156, 8, sp.ebcdic ? to_ebcdic("DATA    ") : "DATA    ");
  h.u32(196 + pad, 1024);
  h.u32(200 + pad, ps);
  h.word(204 + pad, pages.size());
  for (const auto& p : pages) file += p;
  file += std::string(sp.trailing, '\x01');
  return file;
}

// ---- reading back ----

struct ReadBack {
  int32_t rc = 0;
  std::string error;
  std::vector<std::string> rows;  // cells joined by '|'
};

std::string show(const EnvRecord& env, const VarRecord& v) {
  if (v.missing) return v.missing == 1 ? "." : std::string(missing_code_text(v.missing));
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  char b[64];
  std::snprintf(b, sizeof b, "%.15g", var_get_double(env.dict, v));
  return b;
}

ReadBack read_file(Env& e, const std::string& path) {
  const test::ReadBack cells = test::read_cases(e, 38, path, show, nullptr, 1000);
  ReadBack r{cells.rc, cells.error, {}};
  for (const auto& row : cells.rows) {
    std::string line;
    for (const std::string& c : row) line += (line.empty() ? "" : "|") + c;
    r.rows.push_back(line);
  }
  return r;
}

ReadBack read_spec(Env& e, const std::string& name, const Spec& sp) {
  const std::string path = temp_path(name);
  spill(path, build(sp));
  return read_file(e, path);
}

// Every kind of column: numbers (one stored in 3 bytes), text with non-ASCII letters, dates,
// times, date-times, system and special missing values.
Spec sample(int profile, int compression, bool mixed = false) {
  Spec sp;
  sp.profile = profile;
  sp.compression = compression;
  sp.mixed = mixed;
  // Special missing values: family A on Windows, B elsewhere.
  const bool a = profile == 1;
  sp.cols = {{"id", 1, 8, "BEST", "Identifier"},
             {"name", 2, 12, "$", "Näme"},
             {"short", 1, 3, "", ""},
             {"born", 1, 8, "date", "Birth day"},
             {"at", 1, 8, "TIME", ""},
             {"stamp", 1, 8, "DATETIME", ""},
             {"plain", 1, 8, "BEST12", ""}};
  sp.rows = {{N(1), S("ann"), N(2.5), N(0), N(3600), N(86400 * 1.5), N(7)},
             {N(-2.25), S("Zoë Ünal"), N(-1), N(-1), N(86400 + 43200), N(0), N(0)},
             {M(254), S(""), N(1e6), M(a ? 190 : 253), M(a ? 210 : 255), M(a ? 165 : 228), N(1.5)},
             {N(4), S("dddddddddddd"), N(0), N(21185), N(59), N(-60), N(1e300)},
             {N(5), S("e"), N(7), N(1), N(2), N(3), N(4)}};
  return sp;
}

const std::vector<std::string> kSampleRows = {
    "1|<ann>|2.5|21916|0.0416666666666667|21917.5|7",
    "-2.25|<Zoë Ünal>|-1|21915|1.5|21916|0",  // a time of 36 hours stays 36 hours
    ".|.|999936|.A|._|.Z|1.5",
    "4|<dddddddddddd>|0|43101|0.00068287037037037|21915.9993055556|1e+300",
    "5|<e>|7|21917|2.31481481481481e-05|21916.0000347222|4",
};

struct LayoutCase {
  int profile, compression;
  bool mixed;
};

class Sas7bdatLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Sas7bdatLayouts, EveryLayoutReadsTheSameDictionaryAndValues) {
  const LayoutCase c = GetParam();
  Env e;
  const ReadBack r = read_spec(e, "layout" + std::to_string(c.profile) + std::to_string(c.compression) +
                                       std::to_string(c.mixed), sample(c.profile, c.compression, c.mixed));
  ASSERT_EQ(r.rc, 0) << r.error;
  ASSERT_EQ(r.rows.size(), kSampleRows.size());
  for (size_t k = 0; k < r.rows.size(); ++k) EXPECT_EQ(r.rows[k], kSampleRows[k]) << "row " << k;
  const DictState& d = e.env->dict;
  ASSERT_EQ(d.count(), 7);
  EXPECT_EQ(d.vars[0]->label, "Identifier");
  EXPECT_EQ(d.vars[1]->label, "Näme");
  EXPECT_EQ(d.vars[1]->ttype, T_STRING);
  EXPECT_EQ(d.vars[3]->ttype, T_DATE);  // "date" in lower case
  EXPECT_EQ(d.vars[3]->native_format, "date");
  EXPECT_EQ(d.vars[4]->ttype, T_TIME);
  EXPECT_EQ(d.vars[5]->ttype, T_DATETIME);
  EXPECT_EQ(d.vars[6]->ttype, T_FLOAT);  // "BEST12" is no date format, width or not
  EXPECT_EQ(d.vars[0]->input_attrs[0], 10);
  EXPECT_EQ(d.vars[0]->input_attrs[1], 2);
  EXPECT_EQ(e.logged("The input SAS dataset uses RLE compression."), c.compression != 0);
}

INSTANTIATE_TEST_SUITE_P(Sas7bdatReader, Sas7bdatLayouts,
                         ::testing::Values(LayoutCase{1, 0, false}, LayoutCase{2, 0, false}, LayoutCase{3, 0, false},
                                           LayoutCase{7, 0, false}, LayoutCase{7, 0, true}, LayoutCase{2, 0, true},
                                           LayoutCase{7, 1, false}, LayoutCase{3, 1, false}, LayoutCase{1, 2, false},
                                           LayoutCase{7, 2, false}, LayoutCase{2, 2, false}));

TEST(Sas7bdatReader, DeletedRowsAreSkippedAndCounted) {
  struct Case {
    int compression;
    std::vector<int> deleted;
    const char* summary;
  };
  const Case cases[] = {
      {0, {1}, "contains 5 physical records but 1 is marked as deleted"},
      {0, {0, 3}, "contains 5 physical records but 2 are marked as deleted"},
      {1, {2, 4}, "contains 5 physical records but 2 are marked as deleted"},
  };
  int n = 0;
  for (const Case& c : cases) {
    Env e;
    Spec sp = sample(7, c.compression);
    sp.deleted = c.deleted;
    sp.rows_per_page = 2;  // the bitmap of each page counts from its first row
    const ReadBack r = read_spec(e, "deleted" + std::to_string(n++), sp);
    ASSERT_EQ(r.rc, 0) << r.error;
    std::vector<std::string> expect;
    for (size_t k = 0; k < kSampleRows.size(); ++k)
      if (std::find(c.deleted.begin(), c.deleted.end(), static_cast<int>(k)) == c.deleted.end())
        expect.push_back(kSampleRows[k]);
    EXPECT_EQ(r.rows, expect);
    EXPECT_TRUE(e.logged(c.summary));
    EXPECT_EQ(e.env->dict.reader_count, 5 - static_cast<int64_t>(c.deleted.size()));
    for (int d : c.deleted)
      EXPECT_TRUE(e.logged("The input record number " + std::to_string(d + 1) + " is marked as deleted"));
  }
}

TEST(Sas7bdatReader, RowsSpreadOverPagesAndReadTwice) {
  Env e;
  Spec sp = sample(3, 0);
  sp.rows_per_page = 1;
  const std::string path = temp_path("twice");
  spill(path, build(sp));
  ReadBack first = read_file(e, path);
  ASSERT_EQ(first.rc, 0) << first.error;
  EXPECT_EQ(first.rows, kSampleRows);
  // After the end of the data the next request starts over at the first row.
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(show(*e.env, *e.env->dict.vars[0]), "1");
}

// The damaged header or layout and the message each gives.
TEST(Sas7bdatReader, DamagedFilesFailWithTheirMessage) {
  using Bytes = std::function<void(std::string&)>;
  using Layout = std::function<void(Spec&)>;
  struct Case {
    const char* what;
    Layout layout;
    Bytes bytes;
    const char* message;
  };
  const std::string dict_stop = ") \nProcessing sas dataset dictionary was stopped because of the error (";
  const Layout same = [](Spec&) {};
  const Bytes none = [](std::string&) {};
  const Case cases[] = {
      {"byte 37", same, [](std::string& f) { f[37] = 2; }, "error (8)."},
      {"byte 32", same, [](std::string& f) { f[32] = 0x44; }, "error (5)."},
      // Byte 35 places the page fields: without the pad they point past the file.
      {"byte 35", same, [](std::string& f) { f[35] = 0x40; }, "error (16)."},
      {"member", same, [](std::string& f) { f.replace(156, 4, "VIEW"); }, "error (12)."},
      {"odd page", same, [](std::string& f) { f[204] = 1; }, "error (13)."},
      {"header", same, [](std::string& f) { f.resize(700); }, "is truncated: it ends inside its header (700 bytes)"},
      // A page cut off whole still leaves a body of whole pages: the header's count tells.
      {"cut", same, [](std::string& f) { f.resize(f.size() - 4096); }, "is truncated: it holds 0 of its 1 pages"},
      {"pointer", same, [](std::string& f) { f[1024 + 40 + 1] = 0x7F; }, "error (17)."},
      {"trailer", [](Spec& s) { s.trailing = 100; }, none,
       "is either longer or shorter than it should be. This most commonly happens"},
      {"literal", [](Spec& s) { s.literal = "SASYZCRX"; }, none,
       "Type of compression has not been identified correctly: "},
      {"type", [](Spec& s) { s.cols[0].type = 3; }, none, "error (36)."},
  };
  for (const Case& c : cases) {
    Env e;
    Spec sp = sample(7, 1);
    c.layout(sp);
    std::string bytes = build(sp);
    c.bytes(bytes);
    const std::string path = temp_path(std::string("damaged_") + c.what);
    spill(path, bytes);
    const ReadBack r = read_file(e, path);
    EXPECT_LT(r.rc, 0) << c.what;
    EXPECT_NE(r.error.find(c.message), std::string::npos) << c.what << ": " << r.error;
    if (std::string(c.message).rfind("error (", 0) == 0)
      EXPECT_NE(r.error.find(dict_stop), std::string::npos) << c.what << ": " << r.error;
  }
  // Bytes that name no known platform but leave the layout plain are read as they are: SAS
  // hosts beyond the profile table write such headers.
  const Bytes unmarked[] = {[](std::string& f) { f[36] = 0x40; }, [](std::string& f) { f[40] = 0x07; },
                            [](std::string& f) { f[39] = 0x32; }};
  for (const Bytes& change : unmarked) {
    Env e;
    std::string bytes = build(sample(7, 1));
    change(bytes);
    const std::string path = temp_path("unmarked");
    spill(path, bytes);
    const ReadBack r = read_file(e, path);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.rows, kSampleRows);
  }
}

TEST(Sas7bdatReader, WindowsTrailerIsReadAfterAWarningAndOtherProfilesFail) {
  Env e;
  Spec sp = sample(1, 0);
  sp.trailing = 4096 + 100;  // one more whole page than the header counts
  ReadBack r = read_spec(e, "trailer1", sp);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, kSampleRows);
  EXPECT_TRUE(e.logged("Warning:According to the file header information, the file should contain 3 pages but it's "
                       "longer than needed."));
  Env e2;
  sp.profile = 2;
  r = read_spec(e2, "trailer2", sp);
  EXPECT_LT(r.rc, 0);
  EXPECT_NE(r.error.find("is either longer or shorter than it should be"), std::string::npos) << r.error;
}

TEST(Sas7bdatReader, WrongSignatureWithTheExtensionFailsAtOpen) {
  Env e;
  const std::string path = temp_path("notsas");
  spill(path, std::string(2048, 'x'));
  EXPECT_LT(DX_OpenInputFile(e.handle, 38, path.c_str()), 0);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle),
               "Filename extension indicates that you are reading SAS V7-9 file, but the file signature is wrong.");
  // Code 62 reads the same data sets under any name.
  Env e2;
  const std::string other = temp_path("code62", ".dat");
  spill(other, build(sample(7, 2)));
  ASSERT_EQ(DX_OpenInputFile(e2.handle, 62, other.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e2.handle), 0) << DX_GetErrorMsg(e2.handle);
  ASSERT_EQ(DX_InitReadOnly(e2.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e2.handle), 0);
  EXPECT_EQ(show(*e2.env, *e2.env->dict.vars[1]), "<ann>");
}

TEST(Sas7bdatReader, CompressedRowThatOverflowsFailsInTheRecordStage) {
  Env e;
  Spec sp = sample(7, 1);
  std::string bytes = build(sp);
  // The first compressed row (after the 12 subheaders of page 1): its first command becomes a
  // long fill far past the row.
  const size_t page = 1024, ptr = page + 40 + 24 * 12;
  ASSERT_EQ(bytes[ptr + 16], 4);
  const uint32_t off = static_cast<uint8_t>(bytes[ptr]) | (static_cast<uint8_t>(bytes[ptr + 1]) << 8);
  bytes[page + off] = 0x4F;
  bytes[page + off + 1] = static_cast<char>(0xFF);
  const std::string path = temp_path("overflow");
  spill(path, bytes);
  const ReadBack r = read_file(e, path);
  EXPECT_EQ(r.rc, -2);
  EXPECT_NE(r.error.find(")\nReading records from the dataset was stopped because of the error (64)."),
            std::string::npos)
      << r.error;
}

TEST(Sas7bdatReader, DecompressorsExpandEveryCommand) {
  struct Case {
    int kind;
    std::vector<uint8_t> in;
    std::string out;
  };
  const Case cases[] = {
      {1, {0x81, 'a', 'b', 0xC1, 'x', 0xE0, 0xF1, 0xD0}, std::string("abxxxx  ") + std::string(3, '\0') + "@@"},
      {1, {0x40, 0x00, 'q'}, std::string(18, 'q')},
      {1, {0x50, 0x01, 0x60, 0x00, 0x70, 0x00}, std::string(18, '@') + std::string(17, ' ') + std::string(17, '\0')},
      {2, {0x00, 0x00, 'a', 'b'}, "ab"},
      // literal "abcd", fill 4 'z', copy 3 from 4 back (command 3, N = 1)
      {2, {0x0C, 0x00, 'a', 'b', 'c', 'd', 0x01, 'z', 0x31, 0x00}, "abcdzzzzzzz"},
      {2, {0x40, 0x00, 'k', 0x10, 0x01, 'y'}, "k" + std::string(35, 'y')},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(c.out.size(), 0);
    const int32_t rc = c.kind == 1 ? sas7bdat_rle(c.in.data(), c.in.size(), out.data(), out.size())
                                   : sas7bdat_rdc(c.in.data(), c.in.size(), out.data(), out.size());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(out.begin(), out.end()), c.out);
    // One byte less of room is an error, never a write past the row.
    std::vector<uint8_t> small(c.out.size() - 1, 0);
    EXPECT_NE(c.kind == 1 ? sas7bdat_rle(c.in.data(), c.in.size(), small.data(), small.size())
                          : sas7bdat_rdc(c.in.data(), c.in.size(), small.data(), small.size()),
              0);
  }
  uint8_t row[8];
  const uint8_t back[] = {0x80, 0x00, 0x35, 0x00};  // a back reference before the row
  EXPECT_EQ(sas7bdat_rdc(back, sizeof back, row, sizeof row), kSasErrRdcBackRef);
}

TEST(Sas7bdatReader, MissingCodesByFamily) {
  struct Case {
    char family;
    uint8_t b;
    uint16_t code;
  };
  const Case cases[] = {{'B', 254, 1}, {'B', 253, 2}, {'B', 228, 27}, {'B', 255, 29}, {'B', 0, 1},
                        {'A', 190, 2}, {'A', 165, 27}, {'A', 210, 29}, {'A', 254, 1}, {'C', 22, 27},
                        {'C', 30, 1},  {'C', 38, 19}, {'C', 62, 2},   {'C', 70, 1}};
  for (const Case& c : cases) {
    const uint64_t bits = 0xFFF0000000000000ull | (uint64_t{c.b} << 40) | 1;
    double x;
    std::memcpy(&x, &bits, 8);
    EXPECT_EQ(sas7bdat_missing_code(x, c.family), c.code) << c.family << int(c.b);
  }
  EXPECT_EQ(sas7bdat_missing_code(1.5, 'B'), 0);
  EXPECT_EQ(sas7bdat_date_ttype("yyqrs", 5), T_DATE);
  EXPECT_EQ(sas7bdat_date_ttype("tod", 3), T_TIME);
  EXPECT_EQ(sas7bdat_date_ttype("EURDFDT", 7), T_DATETIME);
  // The width and decimals SAS prints after a name do not hide the date.
  EXPECT_EQ(sas7bdat_date_ttype("DATE9", 5), T_DATE);
  EXPECT_EQ(sas7bdat_date_ttype("MMDDYY10.", 9), T_DATE);
  EXPECT_EQ(sas7bdat_date_ttype("DATETIME20.3", 12), T_DATETIME);
  EXPECT_EQ(sas7bdat_date_ttype("TIME8", 5), T_TIME);
  EXPECT_EQ(sas7bdat_date_ttype("e8601dz", 7), T_DATETIME);
  EXPECT_EQ(sas7bdat_date_ttype("B8601DA8", 8), T_DATE);
  EXPECT_EQ(sas7bdat_date_ttype("NLDATEMDL", 9), T_DATE);
  EXPECT_EQ(sas7bdat_date_ttype("E8601LZ", 7), T_TIME);
  EXPECT_EQ(sas7bdat_date_ttype("DTMONYY7", 8), T_DATETIME);
  EXPECT_EQ(sas7bdat_date_ttype("BEST12", 6), 0);
  EXPECT_EQ(sas7bdat_date_ttype("DATES", 5), 0);
  EXPECT_EQ(sas7bdat_date_ttype("12", 2), 0);
  const uint8_t ibm[8] = {0x41, 0x10, 0, 0, 0, 0, 0, 0};  // 1.0
  EXPECT_EQ(sas7bdat_ibm_to_double(ibm), 1.0);
  const uint8_t ibm2[8] = {0xC2, 0x76, 0xA0, 0, 0, 0, 0, 0};  // -118.625
  EXPECT_EQ(sas7bdat_ibm_to_double(ibm2), -118.625);
}

// Truncation at many offsets and random damage: a clean failure or a clean read, never a crash.
TEST(Sas7bdatReader, TruncatedAndDamagedFilesNeverCrash) {
  std::mt19937 rng(7);
  for (int kind = 0; kind < 3; ++kind) {
    const std::string good = build(sample(kind == 2 ? 2 : 7, kind));
    for (size_t cut = 0; cut < good.size(); cut += 97) {
      Env e;
      const std::string path = temp_path("cut");
      spill(path, good.substr(0, cut));
      const ReadBack r = read_file(e, path);
      EXPECT_LT(r.rc, 0) << cut;
      EXPECT_FALSE(r.error.empty());
    }
    for (int round = 0; round < 150; ++round) {
      std::string bad = good;
      for (int k = 0; k < 8; ++k) bad[rng() % bad.size()] = static_cast<char>(rng());
      Env e;
      const std::string path = temp_path("damage");
      spill(path, bad);
      const ReadBack r = read_file(e, path);
      if (r.rc < 0) EXPECT_FALSE(r.error.empty());
    }
  }
}

// Pages at and beyond 4 GB: a sparse file whose header puts the first page just below 4 GB.
TEST(Sas7bdatReader, PagesBeyondFourGigabytesAreReached) {
  Spec sp = sample(7, 0);
  sp.page_size = 1u << 20;
  sp.rows_per_page = 5;
  std::string bytes = build(sp);
  const uint32_t first_page = 0xFFF00000u;  // the data page then starts at 4 GB exactly
  for (int k = 0; k < 4; ++k) bytes[200 + k] = static_cast<char>((first_page >> (8 * k)) & 0xFF);
  const std::string path = temp_path("big");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const size_t pages = bytes.size() - 1024;
  const bool written = std::fwrite(bytes.data(), 1, 1024, f) == 1024 &&
                       fseeko(f, static_cast<off_t>(first_page), SEEK_SET) == 0 &&
                       std::fwrite(bytes.data() + 1024, 1, pages, f) == pages;
  std::fclose(f);
  if (!written) {
    std::remove(path.c_str());
    GTEST_SKIP() << "no room for a sparse file of 4 GB";
  }
  Env e;
  const ReadBack r = read_file(e, path);
  DX_CloseFiles(e.handle);
  std::remove(path.c_str());
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, kSampleRows);
}

// A mainframe data set: IBM floating point (also stored in 3 bytes) and EBCDIC text, read with
// data tracing on.
TEST(Sas7bdatReader, MainframeNumbersAndEbcdicText) {
  Spec sp;
  sp.profile = 6;
  sp.ebcdic = true;
  sp.cols = {{"ID", 1, 8, "BEST", "Identifier"}, {"NAME", 2, 6, "$", "Full name"}, {"SHORT", 1, 3, "", ""},
             {"DAY", 1, 8, "DATE", ""}};
  sp.rows = {{N(1), S("ANN"), N(2.5), N(1)}, {N(-118.625), S("Bob 2"), N(-1), N(-21916)}, {N(0), S(""), N(1e6), N(0)}};
  Env e;
  ASSERT_EQ(DX_SetDictOption(e.handle, 1, 1, const_cast<char*>("d")), 0);
  const ReadBack r = read_spec(e, "mvs", sp);
  ASSERT_EQ(r.rc, 0) << r.error;
  const std::vector<std::string> expect = {"1|<ANN>|2.5|21917", "-118.625|<Bob 2>|-1|0", "0|.|1000000|21916"};  // 3 IBM bytes hold 1e6 exactly
  EXPECT_EQ(r.rows, expect);
  EXPECT_EQ(e.env->dict.vars[0]->name, "ID");
  EXPECT_EQ(e.env->dict.vars[1]->label, "Full name");
  EXPECT_EQ(e.env->dict.vars[3]->ttype, T_DATE);
  EXPECT_TRUE(e.logged("Data:\t< Current record: > [2]"));
  EXPECT_TRUE(e.logged("Data:\t<NAME> [2]: <Bob 2> = <Full name>"));
  EXPECT_TRUE(e.logged("Data:\t<ID> [1]: <-001.186250E+02> = <Identifier>"));
  EXPECT_TRUE(e.logged("Data:\t<SHORT> [3]: <0002.500000E+00> = <NULL>"));
}

// Rows stored as they are among compressed ones, and the column text on a page after the rows:
// the dictionary is looked for past the first page with rows, and no subheader is taken for a row.
TEST(Sas7bdatReader, CompressedDataSetsWithPlainRowsAndALateDictionary) {
  // Row 2 starts with a missing value, whose high half looks like a subheader signature in
  // the big-endian 64-bit layout; stored as it is it must still be read as a row.
  for (int profile : {7, 3})
  for (int compression : {1, 2}) {
    Env e;
    Spec sp = sample(profile, compression);
    sp.raw = {1, 2, 4};
    sp.late_text = true;
    const uint64_t sas_missing = 0xFFFFFE0000000000ull;  // "." as SAS itself writes it
    std::memcpy(&sp.rows[2][0].x, &sas_missing, 8);
    const ReadBack r = read_spec(e, "late" + std::to_string(profile) + std::to_string(compression), sp);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.rows, kSampleRows);
    EXPECT_EQ(e.env->dict.vars[1]->name, "name");
  }
}

// Text in the encoding the header names (Windows Latin 1) arrives as UTF-8; an input encoding
// the user sets wins over the header.
TEST(Sas7bdatReader, TextIsConvertedFromTheDeclaredEncoding) {
  Spec sp;
  sp.profile = 1;
  sp.encoding = 62;
  sp.cols = {{"nam\xE9", 2, 8, "", "\xC9tiquette"}};
  sp.rows = {{S("Zo\xEB")}, {S("\x80 5")}};
  Env e;
  ReadBack r = read_spec(e, "latin", sp);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::string>{"<Zoë>", "<€ 5>"}));
  EXPECT_EQ(e.env->dict.vars[0]->label, "Étiquette");
  EXPECT_EQ(e.env->dict.vars[0]->name, "namé");
  Env e2;
  ASSERT_EQ(DX_SetOption(e2.handle, 25, 0, "ISO-8859-1"), 0);
  r = read_spec(e2, "latin_user", sp);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows[1], "<\xC2\x80 5>");  // Latin 1 has no euro sign at 0x80
}

// ---- the optimization pass ----

// The reader takes the pass's statistics straight from its pages; they must be those of a
// pass that reads the cases (forced by a WHERE that keeps every case), with the same
// messages and the same failure, and the transfer after it must start at the first case.
struct PassChoice : test::PassChoices {
  bool gathered = false;
  int32_t cases = 0;
  std::string error;
  std::vector<std::string> reports;  // what the reader says about the data
  std::vector<std::string> stats;    // of every variable, once every case is in
};

// The statistics of each variable as the pass holds them before it chooses.
std::vector<std::string> stats_of(const OptimizeState& o) {
  std::vector<std::string> out;
  for (size_t k = 0; k < o.vars.size(); ++k) {
    VarStats s = o.stats[k];
    if (o.gather) {
      s = o.gather_stats[k];  // every variable is selected: the same index
      if (o.gather_want[k] == kWantString) s.maximum *= o.bytes_per_char;
    }
    char b[200];
    std::snprintf(b, sizeof b, "%s %d: %.17g %.17g %d%d %d %d %d %u %u", o.vars[k]->name.c_str(), o.want[k], s.minimum,
                  s.maximum, s.has_fraction, s.not_float, s.widest, s.most_decimals, s.most_int_digits, s.date_parts,
                  s.count);
    out.push_back(b);
  }
  out.push_back("cases " + std::to_string(o.cases));
  return out;
}

// partial: the pass stops after its first chunk of two cases (DX_OptimizeClose).
// trace: values are traced (the reader then gathers from the cases it reads).
// retype: the host makes the first variable a string and the second a time before the pass.
PassChoice pass_over(const std::string& path, bool reading, int32_t mode, bool partial, int32_t total = -1,
                     bool trace = false, bool retype = false) {
  PassChoice c;
  Env e;
  if (!trace) e.env->log_settings[kLogCategoryMask] &= ~0xC0000000u;
  EXPECT_GE(DX_OpenInputFile(e.handle, 38, path.c_str()), 0);
  const int32_t n = DX_ReadDict(e.handle);
  EXPECT_GT(n, 0) << DX_GetErrorMsg(e.handle);
  DX_SelectAllVars(e.handle);
  if (retype) {
    EXPECT_EQ(DX_SetDictVarToString(e.handle, 0, 20), 0);
    EXPECT_EQ(DX_SetTType(e.handle, 1, 8), 0);
  }
  if (reading) EXPECT_EQ(DX_ParseWhere(e.handle, "1 = 1", 1), 0);
  EXPECT_EQ(DX_OptimizeInitEx(e.handle, 14, mode), 0);
  c.gathered = e.env->transfer.optimize->gather;
  for (;;) {
    // Chunks of two cases, the last one cut to end with the data: the pass ends only at the
    // call after it, and its statistics can be looked at.
    const int32_t chunk = total > c.cases && total - c.cases < 2 ? total - c.cases : 2;
    const int32_t got = DX_OptimizeDo(e.handle, chunk);
    if (got < 0) break;
    c.cases += got;
    if (got < chunk) break;
    if (partial) {
      EXPECT_EQ(DX_OptimizeClose(e.handle), 0);
      break;
    }
    if (c.cases == total) c.stats = stats_of(*e.env->transfer.optimize);
  }
  c.error = DX_GetErrorMsg(e.handle);
  test::take_pass_choices(e.handle, c, !partial && c.error.empty(), temp_path("pass_out", ".dta"));
  DX_CloseFiles(e.handle);
  for (const std::string& l : e.log)
    if (l.find("record number") != std::string::npos || l.find("ncoding input string") != std::string::npos ||
        l.rfind("Data:", 0) == 0)
      c.reports.push_back(l);
  return c;
}

void expect_same_pass(const std::string& path, const std::string& name, int32_t total, bool trace = false,
                      bool retype = false) {
  for (int32_t mode : {1, 0, 1 | 2, 8})
    for (bool partial : {false, true}) {
      SCOPED_TRACE(name + " mode " + std::to_string(mode) + (partial ? " partial" : ""));
      const PassChoice gathered = pass_over(path, false, mode, partial, total, trace, retype);
      const PassChoice read = pass_over(path, true, mode, partial, total, trace, retype);
      EXPECT_TRUE(gathered.gathered);
      EXPECT_EQ(gathered.stats.empty(), partial);
      EXPECT_EQ(gathered.stats, read.stats);
      EXPECT_FALSE(read.gathered);
      EXPECT_EQ(gathered.cases, std::min(total, partial ? 2 : total));
      EXPECT_EQ(gathered.cases, read.cases);
      EXPECT_EQ(gathered.error, "");
      EXPECT_EQ(read.error, "");
      if (!partial) {  // types from two cases need not hold the rest: no transfer then
        EXPECT_EQ(gathered.moved, total);
        EXPECT_EQ(read.moved, total);
      }
      test::expect_same_choices(gathered, read);
      EXPECT_EQ(gathered.reports, read.reports);
    }
}

// Many rows over several pages: numbers of every width (the first one at the start of the
// row), fractions, whole numbers a byte, an int or a long holds, missing values, dates of
// whole days and with a time, and text of every length.
Spec long_spec(int profile, int compression) {
  Spec sp;
  sp.profile = profile;
  sp.compression = compression;
  sp.page_size = 16384;
  sp.rows_per_page = 100;
  sp.cols = {{"small", 1, 4, "", ""},     {"name", 2, 10, "$", ""}, {"w3", 1, 3, "", ""},
             {"w5", 1, 5, "", ""},        {"w6", 1, 6, "", ""},     {"w7", 1, 7, "", ""},
             {"big", 1, 8, "BEST", ""},   {"day", 1, 8, "DATE", ""}, {"stamp", 1, 8, "DATETIME", ""},
             {"code", 2, 3, "$", ""},     {"frac", 1, 8, "", ""},   {"tag", 2, 12, "$", ""},
             {"tag2", 2, 12, "$", ""},    {"tag3", 2, 16, "$", ""}, {"tag4", 2, 16, "$", ""}};
  for (int k = 0; k < 2500; ++k) {
    std::string name(static_cast<size_t>(k % 11), static_cast<char>('a' + k % 26));
    if (k % 97 == 5) name = "in ner";
    sp.rows.push_back({k % 50 == 7 ? M(254) : N(k % 120),
                       S(name),
                       N(k % 3 == 0 ? -k : k * 2),
                       k % 41 == 0 ? M(253) : N(k * 100.0),
                       N(k % 2 ? 40000.0 + k : 3.0),
                       N(k == 1777 ? 3e9 : 0.5 * k),
                       N(k == 2100 ? 1e15 : k * 1000.0 + 1),
                       k % 13 == 0 ? M(254) : N(k - 700),
                       N(k == 2400 ? 86400.0 * k + 3600 : 86400.0 * (k - 1000)),
                       S(k % 7 ? "x" : ""),
                       N(k * 0.125),
                       // A NUL ends the text the record keeps: in the first eight bytes, after them.
                       S(k == 1234 ? std::string("ab\0defghijkl", 12) : k % 3 ? "x" : ""),
                       S(k == 2001 ? std::string("abcdefghi\0xy", 12) : k % 5 ? "abc" : "  "),
                       S(k == 77   ? std::string("abcdefghijk\0mnop", 16)
                         : k == 78 ? std::string("abcdefghijkl \0  ", 16)
                         : k % 4   ? "abc  d"
                                   : "abcdefghij"),
                       S(k % 9 ? "ab" : "abcdefg")});
  }
  return sp;
}

TEST(Sas7bdatOptimize, StatisticsFromThePagesMatchAReadingPass) {
  struct Case {
    std::string name;
    Spec spec;
  };
  std::vector<Case> cases;
  for (const LayoutCase& l : {LayoutCase{7, 0, false}, LayoutCase{2, 0, false}, LayoutCase{1, 0, false},
                              LayoutCase{7, 0, true}, LayoutCase{3, 1, false}, LayoutCase{7, 2, false},
                              LayoutCase{2, 2, false}, LayoutCase{1, 2, false}})
    cases.push_back({"layout" + std::to_string(l.profile) + std::to_string(l.compression) + (l.mixed ? "m" : ""),
                     sample(l.profile, l.compression, l.mixed)});
  for (int compression : {0, 1}) {  // deleted rows: one message each, at its place
    Spec sp = sample(7, compression);
    sp.deleted = {1, 3};
    sp.rows_per_page = 2;
    cases.push_back({"deleted" + std::to_string(compression), sp});
  }
  {
    Spec sp = sample(3, 2);  // rows stored as they are among compressed ones
    sp.raw = {1, 2, 4};
    sp.late_text = true;
    cases.push_back({"raw", sp});
  }
  {
    Spec sp;  // mainframe: IBM numbers, EBCDIC text
    sp.profile = 6;
    sp.ebcdic = true;
    sp.cols = {{"ID", 1, 8, "BEST", ""}, {"NAME", 2, 6, "$", ""}, {"SHORT", 1, 3, "", ""}, {"DAY", 1, 8, "DATE", ""}};
    sp.rows = {{N(1), S("ANN"), N(2.5), N(1)}, {N(-118.625), S("Bob 2"), N(-1), N(-21916)}, {N(0), S(""), N(1e6), N(0)}};
    cases.push_back({"mvs", sp});
  }
  {
    Spec sp;  // Windows Latin 1 text becomes longer in UTF-8; a NUL inside a text ends it
    sp.profile = 1;
    sp.encoding = 62;
    sp.cols = {{"t", 2, 8, "", ""}, {"z", 2, 8, "", ""}};
    sp.rows = {{S("Zo\xEB"), S("abc")}, {S("\xE9\xE9\xE9\xE9\xE9\xE9\xE9"), S(std::string("ab\0cdef", 7))},
               {S(std::string("ab\0cdef", 7)), S("\0")}, {S("plain"), S("")}};
    cases.push_back({"latin", sp});
  }
  for (int profile : {7, 2}) {
    Spec sp;  // short text and a short number at the start of the row: nothing before them to read
    sp.profile = profile;
    sp.cols = {{"s", 2, 3, "", ""}, {"n", 1, 4, "", ""}, {"d", 1, 8, "DATE", ""}};
    sp.rows = {{S("ab"), N(1.5), N(1)}, {S(std::string("a\0c", 3)), N(-70000), M(254)}, {S(""), M(254), N(2)},
               {S("a"), N(3), N(3)}};
    cases.push_back({"front" + std::to_string(profile), sp});
    Env e;
    const ReadBack r = read_spec(e, "front_values" + std::to_string(profile), sp);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.rows, (std::vector<std::string>{"<ab>|1.5|21917", "<a>|-70000|.", ".|.|21918", "<a>|3|21919"}));
  }
  for (const LayoutCase& l : {LayoutCase{7, 0, false}, LayoutCase{3, 0, false}, LayoutCase{2, 1, false},
                              LayoutCase{7, 2, false}}) {
    Spec sp = long_spec(l.profile, l.compression);
    if (l.profile == 7) sp.deleted = {5, 151, 1999};
    cases.push_back({"long" + std::to_string(l.profile) + std::to_string(l.compression), sp});
  }
  for (const Case& c : cases) {
    const std::string path = temp_path("pass_" + c.name);
    spill(path, build(c.spec));
    const int32_t total = static_cast<int32_t>(c.spec.rows.size() - c.spec.deleted.size());
    expect_same_pass(path, c.name, total);
    if (c.name == "deleted1" || c.name == "mvs") expect_same_pass(path, c.name + " traced", total, true);
    if (c.name == "layout70" || c.name == "long30") expect_same_pass(path, c.name + " retyped", total, false, true);
    std::remove(path.c_str());
  }
  // Files SAS wrote: both byte orders, 32 and 64 bits, RLE, deleted rows, many encodings.
  for (const char* name : {"haven_datetime", "haven_hadley", "pandas_airline", "pandas_productsales", "pandas_test12",
                           "pandas_test13", "pandas_test2", "pandas_test9", "parso_54-class", "parso_charset_lat1",
                           "parso_charset_utf8", "parso_charset_zwin", "parso_data_page_with_deleted",
                           "parso_fileserrors", "parso_time_formats", "polars_bank8dte", "pyreadstat_missing_test",
                           "readstatrs_hasmissing", "saslib_ahs2013_omov", "saslib_pooltest255"}) {
    const std::string path = corpus::fixture(std::string("sas/") + name + ".sas7bdat");
    Env e;
    ASSERT_GE(DX_OpenInputFile(e.handle, 38, path.c_str()), 0) << path;
    ASSERT_GT(DX_ReadDict(e.handle), 0) << DX_GetErrorMsg(e.handle);
    const int32_t total = static_cast<int32_t>(e.env->dict.reader_count);
    DX_CloseFiles(e.handle);
    expect_same_pass(path, name, total);
  }
}

// A damaged row, and data that end before the count the header gives: both passes stop at
// the same case with the same message.
TEST(Sas7bdatOptimize, FailuresComeAtTheSameCaseAsInAReadingPass) {
  std::vector<std::pair<std::string, std::string>> files;
  {
    std::string bytes = build(sample(7, 1));
    // The fourth compressed row (after the 12 subheaders): a long fill far past the row.
    const size_t page = 1024, ptr = page + 40 + 24 * 15;
    const uint32_t off = static_cast<uint8_t>(bytes[ptr]) | (static_cast<uint8_t>(bytes[ptr + 1]) << 8);
    bytes[page + off] = 0x4F;
    bytes[page + off + 1] = static_cast<char>(0xFF);
    files.push_back({"overflow", bytes});
  }
  for (int compression : {0, 1}) {
    Spec sp = sample(7, compression);
    sp.declared_rows = 7;
    files.push_back({"short" + std::to_string(compression), build(sp)});
  }
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    const std::string path = temp_path("fail_" + name);
    spill(path, bytes);
    const PassChoice gathered = pass_over(path, false, 1, false);
    const PassChoice read = pass_over(path, true, 1, false);
    EXPECT_TRUE(gathered.gathered);
    EXPECT_NE(gathered.error, "");
    EXPECT_EQ(gathered.error, read.error);
    EXPECT_EQ(gathered.cases, read.cases);
    EXPECT_EQ(gathered.cases, name == "overflow" ? 2 : 4);
    std::remove(path.c_str());
  }
}

// The interop test hands these files to pandas: SAS_PEER_DIR names the folder to write them to.
TEST(Sas7bdatReader, WritesLayoutsForThePeers) {
  const char* dir = std::getenv("SAS_PEER_DIR");
  if (!dir) GTEST_SKIP() << "SAS_PEER_DIR is not set";
  for (int profile : {1, 3, 7})
    for (int compression : {0, 1, 2}) {
      Spec sp = sample(profile, compression, profile == 3);
      sp.rows_per_page = 2;
      spill(std::string(dir) + "/p" + std::to_string(profile) + "c" + std::to_string(compression) + ".sas7bdat",
            build(sp));
    }
}

}  // namespace
