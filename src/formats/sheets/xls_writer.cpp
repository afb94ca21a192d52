// Excel binary workbooks (format 48), written from a style sheet: a BIFF 8 workbook whose
// keyword cells ("!COLTOP", "!DATALINE", ...) name row styles and whose sample rows give the
// XF index of each kind of cell. The output is a copy of the style sheet's records with the
// data sheet's cells in place of the template's, in a compound file of our own writing.
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "engine/format_hooks.h"
#include "engine/output_files.h"
#include "formats/sheets/sheet_writer_common.h"
#include "io/compound_file.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

const uint8_t kBuiltinStyleSheet[] = {
#include "formats/sheets/xls_style_sheet.inc"
};

// BIFF 8 record types.
enum : uint16_t {
  kRecEof = 0x000A,
  kRecFormula = 0x0006,
  kRecHeader = 0x0014,
  kRecExternSheet = 0x0017,
  kRecName = 0x0018,
  kRecNote = 0x001C,
  kRecContinue = 0x003C,
  kRecWindow1 = 0x003D,
  kRecColInfo = 0x007D,
  kRecBoundSheet = 0x0085,
  kRecMulRk = 0x00BD,
  kRecMulBlank = 0x00BE,
  kRecDbCell = 0x00D7,
  kRecMergedCells = 0x00E5,
  kRecSst = 0x00FC,
  kRecLabelSst = 0x00FD,
  kRecExtSst = 0x00FF,
  kRecSupBook = 0x01AE,
  kRecHlink = 0x01B8,
  kRecDimensions = 0x0200,
  kRecBlank = 0x0201,
  kRecNumber = 0x0203,
  kRecLabel = 0x0204,
  kRecBoolErr = 0x0205,
  kRecString = 0x0207,
  kRecRow = 0x0208,
  kRecIndex = 0x020B,
  kRecArray = 0x0221,
  kRecRk = 0x027E,
  kRecShrFmla = 0x04BC,
  kRecBof = 0x0809,
};
constexpr size_t kMaxRecord = 8224;
constexpr uint32_t kMaxCases = 65536;
constexpr uint16_t kDefaultXf = 15;
constexpr size_t kMaxCellChars = 32767;

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void put16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(static_cast<uint8_t>(v));
  o.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& o, uint32_t v) {
  put16(o, v & 0xFFFF);
  put16(o, v >> 16);
}
inline void set32(std::vector<uint8_t>& o, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) o[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
void put_record(std::vector<uint8_t>& o, uint16_t type, const uint8_t* data, size_t n) {
  put16(o, type);
  put16(o, static_cast<uint32_t>(n));
  o.insert(o.end(), data, data + n);
}

struct Record {
  uint16_t type;
  const uint8_t* data;
  uint16_t size;
};

// ---- style kinds ----

struct StyleKindInfo {
  const char* keyword;
  const char* name;
  size_t match;
};
constexpr StyleKindInfo kStyleKinds[10] = {
    {"!DEFAULT", "default", 8},     {"!COLHEADS", "colhead", 8},  {"!SUBHEAD", "subhead", 8},
    {"!DATALINE", "dataline", 8},   {"!SUBTOT", "subtot", 7},     {"!TOTALS", "total", 7},
    {"!HEADSMALL", "SmallHead", 8}, {"!HEADLARGE", "LargeHead", 8}, {"!COLTOP", "ColTop", 7},
    {"!DEFAULT_RIGHT", "Default Right", 13},
};
constexpr int kStyleDataline = 3;
constexpr int kStyleColTop = 8;
constexpr const char* kCellKindNames[9] = {"text", "alpha", "numb-g", "numb-0", "numb-1",
                                           "numb2", "date", "time", "datetime"};

// "!DEFAULT_RIGHT" is tested before "!DEFAULT"; then 0, 6, 7, 1, 2, 3, 4, 5, 8.
int style_kind_of(const std::string& word) {
  static const int order[10] = {9, 0, 6, 7, 1, 2, 3, 4, 5, 8};
  for (int k : order) {
    const StyleKindInfo& s = kStyleKinds[k];
    if (word.size() >= s.match && std::strncmp(word.c_str(), s.keyword, s.match) == 0) return k;
  }
  return -1;
}

struct TemplateCell {
  uint16_t record = 0;  // record type of the sample cell
  uint16_t xf = kDefaultXf;
  uint16_t col = 0;
  uint16_t row_offset = 0;
  bool present = false;
};

struct StyleRow {
  bool defined = false;
  TemplateCell cells[9];
};

struct SheetCell {
  uint32_t row;
  uint16_t col, xf, record;
  int32_t text = -1;  // index into the text list for text cells
};

// The style sheet, parsed: its records (the data stays in `bytes`), its styles and widths.
struct StyleSheet {
  std::vector<uint8_t> bytes;
  std::vector<Record> records;
  size_t globals_end = 0;  // index of the globals' EOF record
  size_t sheet_begin = 0, sheet_end = 0;  // BOF and EOF of the first worksheet
  StyleRow styles[10];
  uint16_t widths[256] = {};  // characters, 0 = not set
  uint16_t default_width = 8;
  int32_t totals_row = -1;
};

// Characters of a BIFF 8 unicode string that may run on into CONTINUE records.
struct StringReader {
  const std::vector<Record>& recs;
  size_t rec;
  size_t pos;
  bool ok = true;
  bool more(size_t n) {
    while (ok && pos >= recs[rec].size) {
      if (rec + 1 >= recs.size() || recs[rec + 1].type != kRecContinue) return ok = false;
      ++rec;
      pos = 0;
    }
    return ok && pos + n <= recs[rec].size;
  }
  std::string read(uint32_t chars, uint8_t flags) {
    std::string out;
    bool wide = flags & 1;
    const uint32_t rich = (flags & 8) && more(2) ? u16(recs[rec].data + pos) : 0;
    if (flags & 8) pos += 2;
    uint32_t ext = 0;
    if (flags & 4) {
      if (!more(4)) return out;
      ext = u32(recs[rec].data + pos);
      pos += 4;
    }
    while (chars > 0 && ok) {
      if (pos >= recs[rec].size) {
        if (!more(1)) break;
        wide = recs[rec].data[pos++] & 1;  // a continued string restates its width
      }
      const size_t unit = wide ? 2 : 1;
      if (!more(unit)) break;
      const uint32_t c = wide ? u16(recs[rec].data + pos) : recs[rec].data[pos];
      pos += unit;
      --chars;
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    skip(rich * 4 + ext);
    return out;
  }
  void skip(size_t n) {
    while (n > 0 && more(1)) {
      const size_t step = std::min(n, recs[rec].size - pos);
      pos += step;
      n -= step;
    }
  }
};

[[noreturn]] void bad_style_sheet(EnvRecord& env) { RaiseError(env, "error in style sheet", nullptr); }

void split_records(EnvRecord& env, StyleSheet& ss) {
  const std::vector<uint8_t>& b = ss.bytes;
  size_t at = 0;
  int depth = 0, substream = 0;
  ss.sheet_begin = ss.sheet_end = 0;
  while (at + 4 <= b.size()) {
    const uint16_t type = u16(&b[at]);
    const uint16_t size = u16(&b[at + 2]);
    if (at + 4 + size > b.size() || size > kMaxRecord) bad_style_sheet(env);
    ss.records.push_back(Record{type, &b[at + 4], size});
    at += 4 + size;
    const size_t index = ss.records.size() - 1;
    if (type == kRecBof) {
      ++depth;
      if (substream == 0 && (size < 4 || u16(&b[at - size]) != 0x0600))
        RaiseError(env, "Cannot read style sheet: %s", "only BIFF 8 (Excel 97 and later) style sheets are read");
      if (substream == 1 && !ss.sheet_begin) ss.sheet_begin = index;
    } else if (type == kRecEof) {
      --depth;
      if (substream == 0) ss.globals_end = index;
      if (substream == 1 && !ss.sheet_end && ss.sheet_begin) ss.sheet_end = index;
      ++substream;
      if (ss.sheet_end) break;  // padding and further sheets are not needed
    }
  }
  if (ss.records.empty() || ss.records[0].type != kRecBof || !ss.sheet_begin || !ss.sheet_end) bad_style_sheet(env);
}

// Reads the style keywords and their sample rows from the first worksheet.
void read_styles(EnvRecord& env, StyleSheet& ss) {
  std::vector<std::string> sst;
  for (size_t i = 0; i < ss.globals_end; ++i) {
    if (ss.records[i].type != kRecSst) continue;
    if (ss.records[i].size < 8) bad_style_sheet(env);
    const uint32_t unique = u32(ss.records[i].data + 4);
    StringReader r{ss.records, i, 8};
    for (uint32_t k = 0; k < unique && r.more(3); ++k) {
      const uint16_t chars = u16(ss.records[r.rec].data + r.pos);
      const uint8_t flags = ss.records[r.rec].data[r.pos + 2];
      r.pos += 3;
      sst.push_back(r.read(chars, flags));
    }
  }
  std::vector<SheetCell> cells;
  std::vector<std::string> texts;
  for (size_t i = ss.sheet_begin + 1; i < ss.sheet_end; ++i) {
    const Record& rec = ss.records[i];
    const uint8_t* p = rec.data;
    switch (rec.type) {
      case kRecLabelSst:
        if (rec.size < 10) bad_style_sheet(env);
        if (u32(p + 6) < sst.size()) {
          texts.push_back(sst[u32(p + 6)]);
          cells.push_back(SheetCell{u16(p), u16(p + 2), u16(p + 4), rec.type, static_cast<int32_t>(texts.size() - 1)});
        }
        break;
      case kRecLabel: {
        if (rec.size < 9) bad_style_sheet(env);
        StringReader r{ss.records, i, 9};
        texts.push_back(r.read(u16(p + 6), p[8]));
        cells.push_back(SheetCell{u16(p), u16(p + 2), u16(p + 4), rec.type, static_cast<int32_t>(texts.size() - 1)});
        break;
      }
      case kRecNumber:
      case kRecRk:
      case kRecBlank:
      case kRecBoolErr:
      case kRecFormula:
        if (rec.size < 6) bad_style_sheet(env);
        cells.push_back(SheetCell{u16(p), u16(p + 2), u16(p + 4), rec.type});
        break;
      case kRecMulRk:
      case kRecMulBlank: {
        const size_t step = rec.type == kRecMulRk ? 6 : 2;
        if (rec.size < 6) bad_style_sheet(env);
        const uint16_t first = u16(p + 2);
        const size_t count = (rec.size - 6u) / step;
        for (size_t k = 0; k < count; ++k)
          cells.push_back(SheetCell{u16(p), static_cast<uint16_t>(first + k), u16(p + 4 + k * step),
                                    rec.type == kRecMulRk ? kRecRk : kRecBlank});
        break;
      }
      case kRecColInfo: {
        if (rec.size < 10) bad_style_sheet(env);
        const uint16_t chars = static_cast<uint16_t>(u16(p + 4) / 256);
        for (uint32_t c = u16(p); c <= u16(p + 2) && c < 256; ++c) ss.widths[c] = chars;
        break;
      }
      case 0x0055:  // DEFCOLWIDTH
        if (rec.size >= 2) ss.default_width = u16(p);
        break;
      default:
        break;
    }
  }
  std::stable_sort(cells.begin(), cells.end(),
                   [](const SheetCell& a, const SheetCell& b) { return a.row != b.row ? a.row < b.row : a.col < b.col; });

  for (const SheetCell& c : cells) {
    if (c.text < 0) continue;
    const std::string& text = texts[static_cast<size_t>(c.text)];
    size_t at = 0;
    while (at < text.size()) {
      const size_t start = text.find_first_not_of(" \t,;\r\n", at);
      if (start == std::string::npos) break;
      size_t end = text.find_first_of(" \t,;\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string word = text.substr(start, end - start);
      at = end;
      if (word[0] != '!') continue;
      if (word == "!") return;
      if (word.compare(0, 2, "!!") == 0 || word.compare(0, 2, "!*") == 0) break;  // a comment runs to the cell's end
      const int kind = style_kind_of(word);
      if (kind < 0) RaiseErrorF(env, "Do not understand the word %s\n", text.c_str());
      if (kind == 5) ss.totals_row = static_cast<int32_t>(c.row);
      StyleRow& style = ss.styles[kind];
      style = StyleRow{};
      style.defined = true;
      for (const SheetCell& b : cells) {
        if (b.row != c.row + 1 || b.col >= 9 || style.cells[b.col].present) continue;
        style.cells[b.col] = TemplateCell{b.record, b.xf, b.col, 0, true};
      }
    }
  }
}

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

bool read_workbook_stream(const std::string& path, std::vector<uint8_t>& out) {
  int32_t error = 0;
  CompoundFile* cf = cf_open(path.c_str(), CF_READ, &error);
  if (!cf) return false;
  bool ok = false;
  const int32_t id = cf_find(cf, 0, "Workbook");
  if (id != kCfNoEntry && cf_entry_type(cf, id) == CF_STREAM) {
    if (CfStream* s = cf_stream_open(cf, id, false, &error)) {
      const uint64_t n = cf_stream_length(s);
      out.resize(n);
      ok = cf_stream_read(s, out.data(), n) == static_cast<int64_t>(n);
      cf_stream_release(s);
    }
  }
  cf_release(cf);
  return ok;
}

// ---- shared strings ----

// The strings of all text cells with their use counts, found through 256 buckets keyed by
// the usual BIFF string hash.
struct SharedStrings {
  std::vector<std::string> strings;
  uint32_t total = 0;
  std::unordered_map<std::string, uint32_t> buckets[256];

  static uint8_t bucket(const std::string& s) {
    uint32_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      const uint32_t b = static_cast<uint8_t>(s[i]);
      sum += (i & 1) ? b << 8 : b;
    }
    return static_cast<uint8_t>((sum * 40499u) >> 8);
  }
  uint32_t add(const char* s, size_t n) {
    ++total;
    std::string key(s, n);
    auto& b = buckets[bucket(key)];
    auto it = b.find(key);
    if (it != b.end()) return it->second;
    const uint32_t index = static_cast<uint32_t>(strings.size());
    strings.push_back(key);
    b.emplace(std::move(key), index);
    return index;
  }
};

// UTF-8 to code units; false when a code point needs two bytes (UTF-16 then).
void to_units(const std::string& s, std::vector<uint16_t>& units, size_t max_chars, bool* cut) {
  units.clear();
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0 && i + 3 < s.size()) {
      cp = (c & 0x07u) << 18 | (s[i + 1] & 0x3Fu) << 12 | (s[i + 2] & 0x3Fu) << 6 | (s[i + 3] & 0x3Fu);
      len = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = (c & 0x0Fu) << 12 | (s[i + 1] & 0x3Fu) << 6 | (s[i + 2] & 0x3Fu);
      len = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = (c & 0x1Fu) << 6 | (s[i + 1] & 0x3Fu);
      len = 2;
    } else if (c >= 0x80) {
      cp = 0xFFFD;
    }
    const size_t need = cp >= 0x10000 ? 2 : 1;
    if (units.size() + need > max_chars) {
      if (cut) *cut = true;
      break;
    }
    if (cp >= 0x10000) {
      units.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    i += len;
  }
}

// Writes SST and its CONTINUE records, then EXTSST. Strings whose characters all fit in one
// byte are stored compressed (ISO-8859-1), the others as UTF-16LE.
void write_sst(std::vector<uint8_t>& out, const SharedStrings& sst) {
  const uint32_t per_bucket = std::max<uint32_t>(8, static_cast<uint32_t>(sst.strings.size() / 128 + 1));
  std::vector<std::pair<uint32_t, uint16_t>> ext;
  size_t rec_start = out.size();
  auto begin_record = [&](uint16_t type) {
    rec_start = out.size();
    put16(out, type);
    put16(out, 0);
  };
  auto end_record = [&] {
    const size_t n = out.size() - rec_start - 4;
    out[rec_start + 2] = static_cast<uint8_t>(n);
    out[rec_start + 3] = static_cast<uint8_t>(n >> 8);
  };
  auto room = [&] { return kMaxRecord - (out.size() - rec_start - 4); };
  begin_record(kRecSst);
  put32(out, sst.total);
  put32(out, static_cast<uint32_t>(sst.strings.size()));
  std::vector<uint16_t> units;
  for (size_t k = 0; k < sst.strings.size(); ++k) {
    to_units(sst.strings[k], units, kMaxCellChars, nullptr);
    bool wide = false;
    for (uint16_t u : units) wide = wide || u > 0xFF;
    if (room() < 5) {  // a string header and its first character stay together
      end_record();
      begin_record(kRecContinue);
    }
    if (k % per_bucket == 0) ext.emplace_back(static_cast<uint32_t>(out.size()), static_cast<uint16_t>(out.size() - rec_start));
    put16(out, static_cast<uint32_t>(units.size()));
    out.push_back(wide ? 1 : 0);
    size_t i = 0;
    while (i < units.size()) {
      const size_t unit = wide ? 2 : 1;
      size_t fit = room() / unit;
      if (fit == 0) {
        end_record();
        begin_record(kRecContinue);
        out.push_back(wide ? 1 : 0);  // the rest of a split string restates its width
        fit = room() / unit;
      }
      const size_t n = std::min(fit, units.size() - i);
      for (size_t j = i; j < i + n; ++j) {
        if (wide)
          put16(out, units[j]);
        else
          out.push_back(static_cast<uint8_t>(units[j]));
      }
      i += n;
    }
  }
  end_record();
  std::vector<uint8_t> e;
  put16(e, per_bucket);
  for (const auto& [pos, off] : ext) {
    put32(e, pos);
    put16(e, off);
    put16(e, 0);
  }
  if (e.size() > kMaxRecord) e.resize(2);  // an index too long for one record is left empty
  put_record(out, kRecExtSst, e.data(), e.size());
}

// ---- the writer ----

struct XlsColumn {
  VarRecord* var;
  uint8_t kind;
  uint16_t xf;
  uint16_t head_xf;
  int64_t cut = 0, out_of_range = 0;
};

struct XlsWriter : FormatState {
  StyleSheet ss;
  std::vector<XlsColumn> cols;
  uint8_t widths[256];
  int32_t max_col = -1;
  uint32_t row = 0;
  uint32_t cases = 0;
  std::vector<uint8_t> cells;  // cell records of the data sheet
  SharedStrings sst;
  std::string sheet_name;
  std::vector<uint16_t> units;
};

void text_cell(XlsWriter& w, XlsColumn* col, uint32_t row, uint16_t c, uint16_t xf, const char* s, size_t n) {
  if (n == 0) return;
  if (col && utf8_chars(std::string_view(s, n)) > kMaxCellChars) {
    // Cut on a character boundary to what one cell holds.
    size_t chars = 0, i = 0;
    for (; i < n; ++i)
      if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && ++chars > kMaxCellChars) break;
    n = i;
    col->cut++;
  }
  const uint32_t index = w.sst.add(s, n);
  uint8_t rec[14] = {0xFD, 0x00, 10, 0};
  rec[4] = static_cast<uint8_t>(row), rec[5] = static_cast<uint8_t>(row >> 8);
  rec[6] = static_cast<uint8_t>(c), rec[7] = static_cast<uint8_t>(c >> 8);
  rec[8] = static_cast<uint8_t>(xf), rec[9] = static_cast<uint8_t>(xf >> 8);
  for (int i = 0; i < 4; ++i) rec[10 + i] = static_cast<uint8_t>(index >> (8 * i));
  w.cells.insert(w.cells.end(), rec, rec + 14);
}

void number_cell(XlsWriter& w, uint32_t row, uint16_t c, uint16_t xf, double x) {
  uint8_t rec[18] = {0x03, 0x02, 14, 0};
  rec[4] = static_cast<uint8_t>(row), rec[5] = static_cast<uint8_t>(row >> 8);
  rec[6] = static_cast<uint8_t>(c), rec[7] = static_cast<uint8_t>(c >> 8);
  rec[8] = static_cast<uint8_t>(xf), rec[9] = static_cast<uint8_t>(xf >> 8);
  std::memcpy(rec + 10, &x, 8);
  w.cells.insert(w.cells.end(), rec, rec + 18);
}

void load_style_sheet(EnvRecord& env, StyleSheet& ss) {
  const char* path = option_text(env, kOptWksStyleSheet);
  const bool builtin = !path || !*path || strcasecmp(path, "built-in") == 0 || strcasecmp(path, "none") == 0;
  if (builtin) {
    ss.bytes.assign(kBuiltinStyleSheet, kBuiltinStyleSheet + sizeof kBuiltinStyleSheet);
  } else {
    std::vector<uint8_t> file;
    if (!read_file(path, file)) RaiseErrorF(env, "Cannot read style sheet: %s", path);
    static const uint8_t kOle[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (file.size() >= 8 && std::memcmp(file.data(), kOle, 8) == 0) {
      if (!read_workbook_stream(path, ss.bytes)) RaiseErrorF(env, "Cannot read style sheet: %s", path);
    } else {
      ss.bytes = std::move(file);
    }
  }
  try {
    split_records(env, ss);
    read_styles(env, ss);
  } catch (const RaisedError&) {
    // The style sheet's own words stay; a damaged file names the style sheet.
    if (std::strncmp(env.message ? env.message : "", "Do not understand", 17) == 0) throw;
    RaiseErrorF(env, "Cannot read style sheet: %s", builtin ? "(built-in)" : path);
  }
}

void write_row_of_names(EnvRecord& env, XlsWriter& w, bool labels) {
  for (size_t i = 0; i < w.cols.size(); ++i) {
    const VarRecord& v = *w.cols[i].var;
    const std::string& text = labels ? v.label : v.name;
    text_cell(w, nullptr, w.row, static_cast<uint16_t>(i), w.cols[i].head_xf, text.data(), text.size());
  }
  (void)env;
  ++w.row;
}

int32_t xls_open(EnvRecord& env) {
  XlsWriter& w = make_writer_state<XlsWriter>(env);
  for (auto& vp : env.dict.vars)
    if (vp->selected) w.cols.push_back(XlsColumn{vp.get(), sheet_cell_kind(*vp), kDefaultXf, kDefaultXf});
  if (w.cols.size() > 255) RaiseError(env, "Sorry, Too many variables, Excel has a 255 column limit", nullptr);
  load_style_sheet(env, w.ss);

  std::memset(w.widths, 255, sizeof w.widths);
  for (size_t i = 0; i < w.cols.size(); ++i) {
    const XlsColumn& c = w.cols[i];
    const int32_t given = i < env.options.wks.col_widths.size() ? env.options.wks.col_widths[i] : 0;
    uint32_t fallback = given > 0 ? static_cast<uint32_t>(given) : w.ss.widths[c.kind];
    if (!fallback) fallback = w.ss.default_width;
    const uint32_t width = sheet_column_width(*c.var, fallback);
    w.widths[i] = static_cast<uint8_t>(width > 254 ? 254 : width);
    w.max_col = static_cast<int32_t>(i);
  }
  w.sheet_name = sheet_name_for_output(env);

  const StyleRow& data = w.ss.styles[kStyleDataline];
  const StyleRow& top = w.ss.styles[kStyleColTop];
  for (XlsColumn& c : w.cols) {
    if (data.cells[c.kind].present) {
      c.xf = data.cells[c.kind].xf;
    } else {
      emit_messagef(env, MsgKind::Warning, "Missing Style for: %s - %s - substituting default text",
                    kStyleKinds[kStyleDataline].name, kCellKindNames[c.kind]);
    }
    if (top.cells[c.kind].present) {
      c.head_xf = top.cells[c.kind].xf;
    } else if (!env.options.wks.no_vnames) {
      emit_messagef(env, MsgKind::Warning, "missing style for: %s - %s - substituting default text",
                    kStyleKinds[kStyleColTop].name, kCellKindNames[c.kind]);
    }
  }
  if (!env.options.wks.no_vnames) write_row_of_names(env, w, false);
  if (option_int(env, kOptWksWriteVarLabs)) {
    bool any = false;
    for (const XlsColumn& c : w.cols) any = any || !c.var->label.empty();
    if (any) write_row_of_names(env, w, true);
  }
  return 0;
}

int32_t xls_write_case(EnvRecord& env) {
  XlsWriter* wp = writer_state<XlsWriter>(env);
  if (!wp) return -1;
  XlsWriter& w = *wp;
  if (w.cases >= kMaxCases) {
    env.transfer.delete_output = 1;  // a cut sheet must not pass for the data
    RaiseError(env, "Excel record limit (65,536) has been exceeded", nullptr);
  }
  if (w.row > 0xFFFF) {
    env.transfer.delete_output = 1;
    RaiseError(env, "Excel record limit (65,536) has been exceeded", nullptr);
  }
  ++w.cases;
  const DictState& d = env.dict;
  for (size_t i = 0; i < w.cols.size(); ++i) {
    XlsColumn& c = w.cols[i];
    const VarRecord& v = *c.var;
    if (v.missing) continue;
    const uint16_t col = static_cast<uint16_t>(i);
    if (c.kind == kCellAlpha) {
      const char* s = var_get_string(d, v);
      text_cell(w, &c, w.row, col, c.xf, s, std::strlen(s));
      continue;
    }
    double x = var_get_double(d, v);
    if (!sheet_cell_number(c.kind, x)) {
      c.out_of_range++;
      continue;
    }
    number_cell(w, w.row, col, c.xf, x);
  }
  ++w.row;
  return 0;
}

void put_colinfo(std::vector<uint8_t>& out, const XlsWriter& w) {
  for (int32_t c = 0; c <= w.max_col; ++c) {
    if (w.widths[c] == 255) continue;
    std::vector<uint8_t> r;
    put16(r, static_cast<uint32_t>(c));
    put16(r, static_cast<uint32_t>(c));
    put16(r, static_cast<uint32_t>(w.widths[c]) * 256);
    put16(r, kDefaultXf);
    put16(r, 0);
    put16(r, 0);
    put_record(out, kRecColInfo, r.data(), r.size());
  }
}

bool is_cell_record(uint16_t t) {
  switch (t) {
    case kRecLabelSst: case kRecLabel: case kRecNumber: case kRecRk: case kRecMulRk: case kRecBlank:
    case kRecMulBlank: case kRecBoolErr: case kRecFormula: case kRecString: case kRecArray: case kRecShrFmla:
    case kRecMergedCells: case kRecHlink: case kRecNote:
      return true;
    default:
      return false;
  }
}

bool put_bytes(CfStream* s, const std::vector<uint8_t>& b) {
  return cf_stream_write(s, b.data(), b.size()) == static_cast<int64_t>(b.size());
}

// The template's records with the output's globals and data sheet in place, written to the
// workbook stream: the globals first (the sheet's offset is known once they are built), then
// the sheet with the collected cells.
bool write_stream(XlsWriter& w, CfStream* stream) {
  const StyleSheet& ss = w.ss;
  std::vector<uint8_t> out;
  out.reserve(ss.bytes.size() + 64 * w.sst.strings.size() + 4096);
  size_t boundsheet_at = 0;
  bool sst_written = false, sheet_written = false;
  for (size_t i = 0; i <= ss.globals_end; ++i) {
    const Record& r = ss.records[i];
    switch (r.type) {
      case kRecSst:
        if (!sst_written) write_sst(out, w.sst);
        sst_written = true;
        while (i + 1 < ss.globals_end && ss.records[i + 1].type == kRecContinue) ++i;
        continue;
      case kRecExtSst:
      case kRecExternSheet:
      case kRecSupBook:
      case kRecName:
        continue;  // names and references of the template's sheets do not fit the output
      case kRecBoundSheet: {
        if (sheet_written) continue;
        sheet_written = true;
        std::vector<uint8_t> b;
        put32(b, 0);  // patched once the sheet's position is known
        b.push_back(0);
        b.push_back(0);
        to_units(w.sheet_name, w.units, 31, nullptr);
        bool wide = false;
        for (uint16_t u : w.units) wide = wide || u > 0xFF;
        b.push_back(static_cast<uint8_t>(w.units.size()));
        b.push_back(wide ? 1 : 0);
        for (uint16_t u : w.units) {
          if (wide)
            put16(b, u);
          else
            b.push_back(static_cast<uint8_t>(u));
        }
        boundsheet_at = out.size() + 4;
        put_record(out, kRecBoundSheet, b.data(), b.size());
        continue;
      }
      case kRecWindow1:
        if (r.size >= 18) {
          std::vector<uint8_t> b(r.data, r.data + r.size);
          b[10] = b[11] = 0;  // active sheet
          b[12] = b[13] = 0;  // first visible tab
          b[14] = 1, b[15] = 0;
          put_record(out, r.type, b.data(), b.size());
          continue;
        }
        break;
      case kRecEof:
        if (!sst_written) write_sst(out, w.sst);
        break;
      default:
        break;
    }
    put_record(out, r.type, r.data, r.size);
  }
  set32(out, boundsheet_at, static_cast<uint32_t>(out.size()));
  if (!put_bytes(stream, out)) return false;
  out.clear();

  bool widths_written = false, cells_written = false;
  // The data's cells stand where the template's did: after the dimensions, before the sheet's
  // window and selection records (or, without dimensions, before its end).
  auto put_cells = [&]() {
    if (!widths_written) put_colinfo(out, w);
    widths_written = cells_written = true;
    std::vector<uint8_t> b;
    put32(b, 0);
    put32(b, w.row);
    put16(b, 0);
    put16(b, static_cast<uint32_t>(w.max_col + 1));
    put16(b, 0);
    put_record(out, kRecDimensions, b.data(), b.size());
    if (!put_bytes(stream, out) || !put_bytes(stream, w.cells)) return false;
    out.clear();
    std::vector<uint8_t>().swap(w.cells);
    return true;
  };
  for (size_t i = ss.sheet_begin; i <= ss.sheet_end; ++i) {
    const Record& r = ss.records[i];
    if (r.type == kRecColInfo) {
      if (!widths_written) put_colinfo(out, w);
      widths_written = true;
      continue;
    }
    if (r.type == kRecRow || r.type == kRecIndex || r.type == kRecDbCell || r.type == kRecHeader ||
        is_cell_record(r.type))
      continue;
    if (r.type == kRecDimensions || (r.type == kRecEof && !cells_written)) {
      if (!cells_written && !put_cells()) return false;
      if (r.type == kRecDimensions) continue;
    }
    put_record(out, r.type, r.data, r.size);
  }
  return put_bytes(stream, out);
}

int32_t xls_close(EnvRecord& env) {
  XlsWriter* wp = writer_state<XlsWriter>(env);
  if (!wp || env.transfer.delete_output) return 0;
  XlsWriter& w = *wp;
  for (const XlsColumn& c : w.cols) {
    if (c.cut) note_change(env, ChangeKind::StringCut, c.var->name, c.cut);
    if (c.out_of_range) note_change(env, ChangeKind::ValueOutOfRange, c.var->name, c.out_of_range);
  }
  // Written under the engine's temporary name, renamed over the target when the close succeeds.
  const std::string path = engine_output_write_path(env);
  if (cf_write_one_stream(path.c_str(), "Workbook", [&](CfStream* s) { return write_stream(w, s); }) != 0) {
    env.transfer.delete_output = 1;
    RaiseErrorF(env, "Cannot open file %s", env.transfer.output_path.c_str());
  }
  w.row = 0;
  w.max_col = -1;
  return 0;
}

}  // namespace

extern const FormatWriterOps kXlsWriter = {
    .flags = kWriterOwnContainer,
    .open = xls_open,
    .write_case = xls_write_case,
    .close = xls_close,
};

}  // namespace tabulon
