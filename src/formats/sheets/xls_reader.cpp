// BIFF records of Excel binary workbooks turned into a Workbook.
#include "formats/sheets/xls_reader.h"

#include "formats/sheets/xlsx_reader.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "api/env_record.h"
#include "api/raise.h"
#include "encoding/iconv_api.h"
#include "engine/format_hooks.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kMaxFormatText = 100;
constexpr size_t kMaxFormats = 1012;
constexpr uint32_t kMaxColumn = 255;
constexpr int32_t kMaxLenWorkbook = 15384;
constexpr int32_t kMaxLenOther = 8224;

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline double f64(const uint8_t* p) {
  uint64_t bits = static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4)) << 32;
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

void put_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16LE code units to UTF-8; a lone surrogate becomes U+FFFD.
void utf16_to_utf8(std::string& out, const uint8_t* p, size_t units, uint16_t& pending_high) {
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = u16(p + 2 * i);
    if (pending_high) {
      if (u >= 0xDC00 && u <= 0xDFFF) {
        put_utf8(out, 0x10000 + ((pending_high - 0xD800u) << 10) + (u - 0xDC00));
        pending_high = 0;
        continue;
      }
      put_utf8(out, 0xFFFD);
      pending_high = 0;
    }
    if (u >= 0xD800 && u <= 0xDBFF)
      pending_high = static_cast<uint16_t>(u);
    else if (u >= 0xDC00 && u <= 0xDFFF)
      put_utf8(out, 0xFFFD);
    else
      put_utf8(out, u);
  }
}

void latin1_to_utf8(std::string& out, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) put_utf8(out, p[i]);
}

const char* builtin_format(uint32_t index) {
  switch (index) {
    case 0:
      return "General";
    case 1:
      return "0";
    case 2:
      return "0.00";
    case 3:
      return "#,##0";
    case 4:
      return "#,##0.00";
    case 5:
      return "$#,##0_);($#,##0)";
    case 6:
      return "$#,##0_);[Red]($#,##0)";
    case 7:
      return "$#,##0.00_);($#,##0.00)";
    case 8:
      return "$#,##0.00_);[Red]($#,##0.00)";
    case 9:
      return "0%";
    case 10:
      return "0.00%";
    case 11:
      return "0.00E+00";
    case 12:
      return "# ?/?";
    case 13:
      return "# ?\?/?\?";
    case 14:
      return "m/d/yy";
    case 15:
      return "d-mmm-yy";
    case 16:
      return "d-mmm";
    case 17:
      return "mmm-yy";
    case 18:
      return "h:mm AM/PM";
    case 19:
      return "h:mm:ss AM/PM";
    case 20:
      return "h:mm";
    case 21:
      return "h:mm:ss";
    case 22:
      return "m/d/yy h:mm";
    case 37:
      return "#,##0_);(#,##0)";
    case 38:
      return "#,##0_);[Red](#,##0)";
    case 39:
      return "#,##0.00_);(#,##0.00)";
    case 40:
      return "#,##0.00_);[Red](#,##0.00)";
    case 48:
      return "##0.0E+0";
    default:
      return nullptr;
  }
}

struct SstError {
  int code;
};

// The SST record and its CONTINUE records as one sequence of segments. Character data that
// crosses a segment boundary starts the next segment with a new option byte.
class SstReader {
 public:
  void add(const uint8_t* p, size_t n) { segs_.push_back({p, n}); }
  bool more_records_follow = false;

  uint8_t byte() {
    while (seg_ < segs_.size() && off_ >= segs_[seg_].n) next();
    if (seg_ >= segs_.size()) fail();
    return segs_[seg_].p[off_++];
  }
  uint16_t word() {
    uint8_t a = byte();
    return static_cast<uint16_t>(a | byte() << 8);
  }
  uint32_t dword() {
    uint32_t a = word();
    return a | static_cast<uint32_t>(word()) << 16;
  }
  void skip(uint64_t n) {
    while (n > 0) {
      while (seg_ < segs_.size() && off_ >= segs_[seg_].n) next();
      if (seg_ >= segs_.size()) fail();
      size_t take = segs_[seg_].n - off_;
      if (take > n) take = static_cast<size_t>(n);
      off_ += take;
      n -= take;
    }
  }
  // count characters, 16-bit when wide; the option byte is given again after a boundary.
  std::string chars(uint32_t count, bool wide) {
    std::string out;
    uint16_t high = 0;
    while (count > 0) {
      if (seg_ >= segs_.size()) fail();
      if (off_ >= segs_[seg_].n) {
        next();
        if (seg_ >= segs_.size()) fail();
        wide = (segs_[seg_].p[off_++] & 1) != 0;
        continue;
      }
      size_t avail = (segs_[seg_].n - off_) / (wide ? 2 : 1);
      if (avail == 0) throw SstError{-6};  // half a character before a boundary
      size_t take = avail < count ? avail : count;
      const uint8_t* p = segs_[seg_].p + off_;
      if (wide)
        utf16_to_utf8(out, p, take, high);
      else
        latin1_to_utf8(out, p, take);
      off_ += take * (wide ? 2 : 1);
      count -= static_cast<uint32_t>(take);
    }
    if (high) put_utf8(out, 0xFFFD);
    return out;
  }

 private:
  struct Seg {
    const uint8_t* p;
    size_t n;
  };
  void next() {
    ++seg_;
    off_ = 0;
  }
  [[noreturn]] void fail() { throw SstError{more_records_follow ? -7 : -8}; }
  std::vector<Seg> segs_;
  size_t seg_ = 0, off_ = 0;
};

struct Parser {
  EnvRecord& env;
  Workbook& wb;
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  int32_t max_len;
  int version = 0;
  uint16_t codepage = 1252;
  void* converter = nullptr;  // 8-bit text of BIFF 5 and earlier, when not Latin-1
  std::map<uint32_t, FormatClass> formats;
  std::vector<uint16_t> xf_format;
  std::vector<uint32_t> sst;  // text indexes
  struct Bound {
    uint32_t pos;
    int32_t sheet;  // worksheet index, -1 for other sheet types
  };
  std::vector<Bound> bound;
  std::vector<uint16_t> externsheet;
  std::vector<bool> sheet_started;
  int32_t cur_sheet = -1;
  int32_t worksheet_bofs = 0;
  // Formula whose string result follows in a STRING record.
  bool pending_string = false;
  uint32_t pending_row = 0, pending_col = 0;

  Parser(EnvRecord& e, Workbook& w, const uint8_t* d, size_t n, bool wbs)
      : env(e), wb(w), data(d), size(n), max_len(wbs ? kMaxLenWorkbook : kMaxLenOther) {}
  ~Parser() {
    if (converter) iconv_close_checked(converter);
  }

  [[noreturn]] void read_error() { RaiseError(env, "error reading worksheet file", nullptr); }

  // 8-bit text in the workbook's code page.
  std::string narrow(const uint8_t* p, size_t n) {
    std::string out;
    if (converter) {
      out.resize(n * 4 + 4);
      char* in = reinterpret_cast<char*>(const_cast<uint8_t*>(p));
      size_t in_left = n, out_left = out.size();
      char* o = out.data();
      const IconvApi& api = iconv_api();
      while (in_left > 0) {
        if (api.conv(converter, &in, &in_left, &o, &out_left) == static_cast<size_t>(-1)) {
          if (out_left < 4) break;
          put_utf8_raw(o, out_left, 0xFFFD);
          ++in;
          --in_left;
        }
      }
      out.resize(out.size() - out_left);
      return out;
    }
    latin1_to_utf8(out, p, n);
    return out;
  }
  static void put_utf8_raw(char*& o, size_t& left, uint32_t cp) {
    std::string s;
    put_utf8(s, cp);
    std::memcpy(o, s.data(), s.size());
    o += s.size();
    left -= s.size();
  }

  // A string at p (within n bytes): BIFF 8 with an option byte, earlier 8-bit text.
  // len_bytes: size of the character count (1 or 2). Returns false when it does not fit.
  bool string_at(const uint8_t* p, size_t n, int len_bytes, std::string& out, bool has_option = true) {
    if (n < static_cast<size_t>(len_bytes)) return false;
    uint32_t count = len_bytes == 1 ? p[0] : u16(p);
    p += len_bytes;
    n -= static_cast<size_t>(len_bytes);
    if (version < 8 || !has_option) {
      if (n < count) return false;
      out = narrow(p, count);
      return true;
    }
    if (n < 1) return false;
    uint8_t opt = p[0];
    ++p;
    --n;
    size_t skip = 0;
    if (opt & 0x08) {
      if (n < 2) return false;
      skip += 2;
    }
    if (opt & 0x04) {
      if (n < skip + 4) return false;
      skip += 4;
    }
    p += skip;
    n -= skip;
    const bool wide = opt & 1;
    if (n < static_cast<size_t>(count) * (wide ? 2 : 1)) return false;
    out.clear();
    uint16_t high = 0;
    if (wide) {
      utf16_to_utf8(out, p, count, high);
      if (high) put_utf8(out, 0xFFFD);
    } else {
      latin1_to_utf8(out, p, count);
    }
    return true;
  }

  FormatClass xf_class(uint16_t xf) const {
    if (xf >= xf_format.size()) return {};
    uint16_t f = xf_format[xf];
    auto it = formats.find(f);
    if (it != formats.end()) return it->second;
    const char* b = builtin_format(f);
    if (b) return xls_classify_format(b);
    if (f >= 45 && f <= 47) return {kClassTime, 0};
    return {};
  }

  // BIFF 2 cells name their FORMAT record directly.
  FormatClass biff2_class(uint16_t format) const {
    auto it = formats.find(format);
    return it != formats.end() ? it->second : FormatClass{};
  }

  WksCell& cell(uint32_t row, uint32_t col) {
    if (col > kMaxColumn) RaiseError(env, "Internal Error: Column out of range", nullptr);
    return wb.cell(cur_sheet, row, col);
  }
  void number(uint32_t row, uint32_t col, uint16_t xf, double x) {
    WksCell& c = cell(row, col);
    FormatClass fc = xf_class(xf);
    c = WksCell{.col = c.col};
    c.kind = kCellNumber;
    c.number_class = fc.cls;
    c.decimals = fc.decimals;
    c.value = x;
  }
  void text(uint32_t row, uint32_t col, std::string s) {
    WksCell& c = cell(row, col);
    c = WksCell{.col = c.col};
    c.kind = kCellString;
    c.text_index = wb.add_text(std::move(s));
  }
  void error_cell(uint32_t row, uint32_t col, uint8_t code) {
    WksCell& c = cell(row, col);
    c = WksCell{.col = c.col};
    c.kind = kCellNumber;
    c.error = 1;
    c.value = code;
  }
  void boolean(uint32_t row, uint32_t col, uint16_t xf, bool b) {
    number(row, col, xf, b ? 1.0 : 0.0);
    WksCell& c = cell(row, col);
    c.boolean = 1;
    c.number_class = 0;
  }

  static double rk(uint32_t v) {
    double x;
    if (v & 2) {
      x = static_cast<double>(static_cast<int32_t>(v) >> 2);
    } else {
      uint64_t bits = static_cast<uint64_t>(v & 0xFFFFFFFCu) << 32;
      std::memcpy(&x, &bits, sizeof x);
    }
    return v & 1 ? x / 100.0 : x;
  }

  void read_sst(const uint8_t* p, uint16_t n) {
    SstReader r;
    r.add(p, n);
    size_t look = pos;
    while (look + 4 <= size && u16(data + look) == 0x003C) {
      uint16_t len = u16(data + look + 2);
      if (look + 4 + len > size) break;
      r.add(data + look + 4, len);
      look += 4u + len;
    }
    r.more_records_follow = look + 4 <= size;
    try {
      r.dword();
      uint32_t unique = r.dword();
      sst.clear();
      // Every string takes at least 3 bytes: a count beyond that is damage, not a reason to allocate.
      if (unique > size / 3) throw SstError{-6};
      sst.reserve(unique);
      for (uint32_t i = 0; i < unique; ++i) {
        uint16_t count = r.word();
        uint8_t opt = r.byte();
        uint16_t runs = opt & 0x08 ? r.word() : 0;
        uint32_t ext = opt & 0x04 ? r.dword() : 0;
        std::string s = r.chars(count, opt & 1);
        r.skip(4ull * runs);
        r.skip(ext);
        sst.push_back(wb.add_text(std::move(s)));
      }
    } catch (const SstError& e) {
      RaiseErrorF(env, "Internal error, during processing of SST/CONTINUE record[error code: %d].", e.code);
    }
  }

  void read_name(const uint8_t* p, uint16_t n) {
    if (version < 8 || n < 14) return;
    uint16_t opt = u16(p);
    uint8_t name_len = p[3];
    uint16_t fsize = u16(p + 4);
    uint16_t local = u16(p + 8);
    std::string name;
    size_t q = 14;
    if (q >= n) return;
    const bool wide = p[q] & 1;
    ++q;
    const size_t name_bytes = static_cast<size_t>(name_len) * (wide ? 2 : 1);
    if (q + name_bytes > n) return;
    if (opt & 0x20) return;  // built-in names (print area, ...)
    uint16_t high = 0;
    if (wide)
      utf16_to_utf8(name, p + q, name_len, high);
    else
      latin1_to_utf8(name, p + q, name_len);
    q += name_bytes;
    if (q + fsize > n || fsize < 1) return;
    const uint8_t* f = p + q;
    const uint8_t tok = f[0];
    WksRange r;
    r.name = name;
    const uint8_t base = tok & 0x1F;
    auto sheet_of = [&](uint16_t ixti) -> int32_t {
      if (ixti >= externsheet.size()) return -1;
      uint16_t tab = externsheet[ixti];
      if (tab >= bound.size()) return -1;
      return bound[tab].sheet;
    };
    uint16_t c1, c2;
    if (base == 0x1A && fsize >= 7) {  // 3-D reference
      int32_t sh = sheet_of(u16(f + 1));
      r.first_row = r.last_row = u16(f + 3);
      c1 = c2 = u16(f + 5);
      if (sh < 0) return;
      r.sheet = sh;
    } else if (base == 0x1B && fsize >= 11) {  // 3-D area
      int32_t sh = sheet_of(u16(f + 1));
      r.first_row = u16(f + 3);
      r.last_row = u16(f + 5);
      c1 = u16(f + 7);
      c2 = u16(f + 9);
      if (sh < 0) return;
      r.sheet = sh;
    } else if (base == 0x04 && fsize >= 5) {
      r.first_row = r.last_row = u16(f + 1);
      c1 = c2 = u16(f + 3);
      r.sheet = local > 0 && local - 1 < static_cast<int>(bound.size()) ? bound[local - 1u].sheet : 0;
    } else if (base == 0x05 && fsize >= 9) {
      r.first_row = u16(f + 1);
      r.last_row = u16(f + 3);
      c1 = u16(f + 5);
      c2 = u16(f + 7);
      r.sheet = local > 0 && local - 1 < static_cast<int>(bound.size()) ? bound[local - 1u].sheet : 0;
    } else {
      return;
    }
    if (c1 > 16383 || c2 > 16383 || r.sheet < 0) return;  // relative references
    r.first_col = static_cast<uint8_t>(c1 & 0xFF);
    r.last_col = static_cast<uint8_t>(c2 & 0xFF);
    r.first_sheet = r.last_sheet = static_cast<uint32_t>(r.sheet);
    wb.ranges.push_back(std::move(r));
  }

  void set_codepage(uint16_t cp) {
    if (version >= 8) return;
    codepage = cp;
    if (converter) {
      iconv_close_checked(converter);
      converter = nullptr;
    }
    if (cp == 1200) return;
    if ((cp >= 874 && cp <= 1361) || cp == 10000) {
      char name[16];
      // 10000: Mac Roman, written by Excel on the Macintosh
      std::snprintf(name, sizeof name, cp == 10000 ? "MACINTOSH" : "CP%d", cp);
      void* cd = iconv_api().open ? iconv_open_mapped("UTF-8", name) : nullptr;
      if (descriptor_valid(cd)) converter = cd;
    }
  }

  void begin_sheet(size_t bof_pos) {
    int32_t sheet = -1;
    for (const Bound& b : bound)
      if (b.pos == bof_pos) sheet = b.sheet;
    if (sheet < 0 && bound.empty()) {
      // A single worksheet file or a workbook without BOUNDSHEET records.
      wb.sheets.emplace_back();
      sheet = static_cast<int32_t>(wb.sheets.size() - 1);
    }
    if (sheet < 0) {
      // Positions may be off in files from some writers: take the worksheets in order.
      int32_t k = 0;
      for (const Bound& b : bound)
        if (b.sheet >= 0 && k++ == worksheet_bofs) sheet = b.sheet;
    }
    ++worksheet_bofs;
    sheet_started.resize(wb.sheets.size(), false);
    if (sheet < 0 || sheet_started[static_cast<size_t>(sheet)]) {
      cur_sheet = -1;
      return;
    }
    sheet_started[static_cast<size_t>(sheet)] = true;
    cur_sheet = sheet;
  }

  void column_widths(uint32_t first, uint32_t last, uint32_t width) {
    if (cur_sheet < 0) return;
    uint32_t w = width / 256 + 1;
    if (w > 255) w = 255;
    for (uint32_t c = first; c <= last && c < 256; ++c)
      wb.sheets[static_cast<size_t>(cur_sheet)].widths[c] = static_cast<uint8_t>(w);
  }

  void run();
};

void Parser::run() {
  // BOF decides the version.
  if (size < 4) read_error();
  {
    uint16_t type = u16(data), len = u16(data + 2);
    if ((type & 0xFF) != 0x09) RaiseError(env, "Unsupported Excel Version", nullptr);
    if (size < 4u + len || len < 4) read_error();
    const uint8_t* b = data + 4;
    if (type == 0x0009 && len == 4)
      version = 2;
    else if (type == 0x0209 && len == 6)
      version = 3;
    else if (type == 0x0409 && len == 6)
      version = 4;
    else if (type == 0x0809 && len == 8)
      version = 5;
    else if (len == 16 && b[1] == 6)
      version = 8;
    else
      RaiseError(env, "Unsupported Excel Version", nullptr);
    uint16_t sub = u16(b + 2);
    if (version == 2) sub = u16(b + 2);
    if (sub != 0 && sub != 5 && sub != 16)
      RaiseError(env, "Only Excel worksheet documents are presently supported", nullptr);
  }
  if (version < 8) set_codepage(1252);  // until a CODEPAGE record says otherwise
  int skip_depth = 0;                   // inside a chart or macro substream
  bool globals_done = false;
  while (pos < size) {
    if (size - pos < 4) break;  // trailing padding of the stream
    const size_t rec_pos = pos;
    const uint16_t type = u16(data + pos);
    const uint16_t len = u16(data + pos + 2);
    if (type == 0 && len == 0 && globals_done) break;  // zero padding after the last EOF
    if (len > max_len)
      RaiseErrorF(env, "worksheet record %x too long: %d bytes - max: %d\n", type, len, max_len);
    if (size - pos - 4 < len) read_error();
    const uint8_t* p = data + pos + 4;
    pos += 4u + len;

    if ((type & 0xFF) == 0x09 && (type >> 8) <= 8) {  // BOF
      uint16_t sub = len >= 4 ? u16(p + 2) : 16;
      if (version <= 4 && len >= 4) sub = u16(p + 2);
      if (skip_depth > 0 || (sub != 5 && sub != 16 && sub != 0)) {
        ++skip_depth;
        continue;
      }
      if (sub == 16 || (sub == 0 && version <= 4)) begin_sheet(rec_pos);
      continue;
    }
    if (type == 0x000A) {  // EOF
      if (skip_depth > 0) {
        --skip_depth;
        continue;
      }
      if (cur_sheet >= 0 || version >= 5) globals_done = true;
      cur_sheet = -1;
      continue;
    }
    if (skip_depth > 0) continue;

    switch (type) {
      case 0x002F:  // FILEPASS
        RaiseError(env, "Cannot read password protected file", nullptr);
      case 0x0013:  // PASSWORD
        if (len >= 2 && u16(p) != 0) RaiseError(env, "Cannot read password protected file", nullptr);
        break;
      case 0x0042:
        if (len >= 2) set_codepage(u16(p));
        break;
      case 0x0022:
        if (len >= 2) wb.date1904 = u16(p) == 1;
        break;
      case 0x001E:
      case 0x041E: {
        if (formats.size() >= kMaxFormats) break;
        std::string s;
        uint32_t index;
        bool ok;
        if (version >= 8) {
          ok = len >= 2 && string_at(p + 2, len - 2u, 2, s);
          index = len >= 2 ? u16(p) : 0;
        } else if (version >= 5) {
          ok = len >= 2 && string_at(p + 2, len - 2u, 1, s);
          index = len >= 2 ? u16(p) : 0;
        } else if (version == 4) {
          ok = len >= 2 && string_at(p + 2, len - 2u, 1, s);
          index = static_cast<uint32_t>(formats.size());
        } else {
          ok = string_at(p, len, 1, s);
          index = static_cast<uint32_t>(formats.size());
        }
        if (ok) formats[index] = xls_classify_format(s);
        break;
      }
      case 0x00E0:
        if (len >= 4) xf_format.push_back(u16(p + 2));
        break;
      case 0x0043:
        if (len >= 3) xf_format.push_back(p[2] & 0x3F);
        break;
      case 0x0243:
      case 0x0443:
        if (len >= 2) xf_format.push_back(p[1]);
        break;
      case 0x0055:
        if (len >= 2 && cur_sheet >= 0) {
          uint32_t w = u16(p) + 1u;
          wb.sheets[static_cast<size_t>(cur_sheet)].default_width = static_cast<uint8_t>(w > 255 ? 255 : w);
        }
        break;
      case 0x007D:
        if (len >= 6) column_widths(u16(p), u16(p + 2), u16(p + 4));
        break;
      case 0x0024:
        if (len >= 4) column_widths(p[0], p[1], u16(p + 2));
        break;
      case 0x0085: {
        if (len < 7) break;
        Bound b{u32(p), -1};
        std::string name;
        bool ok =
            version >= 8 ? string_at(p + 6, len - 6u, 1, name) : string_at(p + 6, len - 6u, 1, name, false);
        if (version == 5 && ok && name.size() >= 3 && name[0] == '\0') name.erase(0, 1);
        if (p[5] == 0 && ok) {
          WksSheet sh;
          sh.name = name;
          wb.sheets.push_back(std::move(sh));
          b.sheet = static_cast<int32_t>(wb.sheets.size() - 1);
        }
        bound.push_back(b);
        break;
      }
      case 0x0017:
        if (version >= 8 && len >= 2) {
          uint32_t count = u16(p);
          externsheet.clear();
          for (uint32_t i = 0; i < count && i < 255 && 2 + 6 * (i + 1) <= len; ++i)
            externsheet.push_back(u16(p + 2 + 6 * i + 2));
        }
        break;
      case 0x0018:
      case 0x0218:
        read_name(p, len);
        break;
      case 0x00FC:
        read_sst(p, len);
        break;
      default:
        break;
    }
    if (cur_sheet < 0) continue;

    // Cell records.
    if (version == 2) {
      if (len < 7) continue;
      const uint32_t row = u16(p), col = u16(p + 2);
      const uint16_t xf = static_cast<uint16_t>(p[5] & 0x3F);  // format index in the cell attributes
      switch (type) {
        case 0x0002:
          if (len >= 9) {
            number(row, col, 0xFFFF, u16(p + 7));
            const FormatClass fc = biff2_class(xf);
            cell(row, col).number_class = fc.cls;
          }
          continue;
        case 0x0003:
          if (len >= 15) {
            number(row, col, 0xFFFF, f64(p + 7));
            const FormatClass fc = biff2_class(xf);
            WksCell& c = cell(row, col);
            c.number_class = fc.cls;
            c.decimals = fc.decimals;
          }
          continue;
        case 0x0004: {
          std::string s;
          if (string_at(p + 7, len - 7u, 1, s, false)) text(row, col, std::move(s));
          continue;
        }
        case 0x0005:
          if (len >= 9) {
            if (p[8])
              error_cell(row, col, p[7]);
            else
              boolean(row, col, 0xFFFF, p[7] != 0);
          }
          continue;
        default:
          break;
      }
    }
    switch (type) {
      case 0x0203:
        if (len >= 14) number(u16(p), u16(p + 2), u16(p + 4), f64(p + 6));
        break;
      case 0x027E:
      case 0x007E:
        if (len >= 10) number(u16(p), u16(p + 2), u16(p + 4), rk(u32(p + 6)));
        break;
      case 0x00BD: {
        if (len < 6) break;
        const uint32_t row = u16(p), first = u16(p + 2);
        const size_t n = (len - 6u) / 6u;
        for (size_t i = 0; i < n; ++i) {
          const uint8_t* q = p + 4 + 6 * i;
          number(row, first + static_cast<uint32_t>(i), u16(q), rk(u32(q + 2)));
        }
        break;
      }
      case 0x0204: {
        if (len < 8) break;
        std::string s;
        if (string_at(p + 6, len - 6u, 2, s)) text(u16(p), u16(p + 2), std::move(s));
        break;
      }
      case 0x00FD: {
        if (len < 10) break;
        uint32_t index = u32(p + 6);
        if (index >= sst.size()) RaiseError(env, "Internal error - string index out of range", nullptr);
        const uint32_t t = sst[index];
        WksCell& c = cell(u16(p), u16(p + 2));
        c = WksCell{.col = c.col};
        c.kind = kCellString;
        c.text_index = t;
        break;
      }
      case 0x0205:
        if (len >= 8) {
          if (p[7])
            error_cell(u16(p), u16(p + 2), p[6]);
          else
            boolean(u16(p), u16(p + 2), u16(p + 4), p[6] != 0);
        }
        break;
      case 0x0006:
      case 0x0206:
      case 0x0406: {
        // BIFF 2 has three attribute bytes where later versions have the XF index.
        const size_t at = version == 2 ? 7 : 6;
        if (len < at + 8) break;
        const uint32_t row = u16(p), col = u16(p + 2);
        const uint8_t* res = p + at;
        if (version == 2) {
          const FormatClass fc = biff2_class(p[5] & 0x3F);
          if (res[6] == 0xFF && res[7] == 0xFF && res[0] == 0) {
            pending_string = true;
            pending_row = row;
            pending_col = col;
          } else if (res[6] == 0xFF && res[7] == 0xFF) {
            if (res[0] == 1) boolean(row, col, 0xFFFF, res[2] != 0);
            if (res[0] == 2) error_cell(row, col, res[2]);
          } else {
            number(row, col, 0xFFFF, f64(res));
            WksCell& c = cell(row, col);
            c.number_class = fc.cls;
            c.decimals = fc.decimals;
          }
          continue;
        }
        if (res[6] == 0xFF && res[7] == 0xFF) {
          if (res[0] == 1) {
            boolean(row, col, u16(p + 4), res[2] != 0);
          } else if (res[0] == 0) {
            pending_string = true;
            pending_row = row;
            pending_col = col;
          } else if (res[0] == 2) {
            error_cell(row, col, res[2]);
          }
        } else {
          number(row, col, u16(p + 4), f64(res));
        }
        continue;
      }
      case 0x0007:
      case 0x0207: {
        if (!pending_string) break;
        pending_string = false;
        std::string s;
        if (string_at(p, len, version == 2 ? 1 : 2, s)) text(pending_row, pending_col, std::move(s));
        continue;
      }
      default:
        break;
    }
    // Shared and array formulas may stand between a formula and its string result.
    if (type != 0x003C && type != 0x04BC && type != 0x0221 && type != 0x0021 && type != 0x0236)
      pending_string = false;
  }
}

}  // namespace

FormatClass xls_classify_format(std::string_view format) {
  FormatClass fc;
  if (format.size() > kMaxFormatText) format = format.substr(0, kMaxFormatText);
  if (format.size() == 7 && strncasecmp(format.data(), "General", 7) == 0) return fc;
  // Only the first section (positive numbers) decides.
  bool date = false, time = false, digits = false, dot = false, counting = false;
  bool percent = false, dollar = false, comma = false, exp = false;
  char last_dt = 0;  // last date/time letter: 'm' after 'h' and before 's' is minutes
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
  for (size_t i = 0; i < format.size(); ++i) {
    const char ch = format[i];
    if (ch == ';') break;
    if (ch == '\\' || ch == '_' || ch == '*') {
      ++i;
      continue;
    }
    if (ch == '"') {
      while (++i < format.size() && format[i] != '"') {
      }
      continue;
    }
    if (ch == '[') {
      size_t end = format.find(']', i);
      if (end == std::string_view::npos) end = format.size();
      const std::string_view in = format.substr(i + 1, end - i - 1);
      // [h], [mm], [ss]: elapsed time, a duration rather than a moment
      bool elapsed = !in.empty();
      for (char c : in) elapsed = elapsed && (lower(c) == 'h' || lower(c) == 'm' || lower(c) == 's');
      if (elapsed) {
        time = true;
        last_dt = lower(in[0]);
      }
      i = end;
      continue;
    }
    const bool placeholder = ch == '0' || ch == '#' || ch == '?';
    if (counting && !placeholder) counting = false;
    switch (lower(ch)) {
      case 'h':
      case 's':
        time = true;
        last_dt = lower(ch);
        break;
      case 'm': {
        size_t j = i;
        while (j < format.size() && lower(format[j]) == 'm') ++j;
        size_t k = j;
        while (k < format.size() && (format[k] == ':' || format[k] == ' ')) ++k;
        const bool minutes = last_dt == 'h' || (k < format.size() && lower(format[k]) == 's');
        if (minutes)
          time = true;
        else
          date = true;
        last_dt = 'm';
        i = j - 1;
        break;
      }
      case 'd':
      case 'y':
        date = true;
        last_dt = lower(ch);
        break;
      case '.':
        if (!dot && i + 1 < format.size() &&
            (format[i + 1] == '0' || format[i + 1] == '#' || format[i + 1] == '?')) {
          dot = true;
          counting = true;
        }
        break;
      case '%':
        percent = true;
        break;
      case '$':
        dollar = true;
        break;
      case ',':
        comma = true;
        break;
      case 'e':
        if (ch == 'E') exp = true;
        break;
      default:
        break;
    }
    if (placeholder) {
      digits = true;
      if (counting && fc.decimals < 255) ++fc.decimals;
    }
  }
  if (date && time)
    fc.cls = kClassDateTime;
  else if (date)
    fc.cls = kClassDate;
  else if (time)
    fc.cls = kClassTime;
  else if (!digits)
    fc.cls = 0;
  else if (dollar)
    fc.cls = 4;
  else if (comma)
    fc.cls = 16;
  else if (percent)
    fc.cls = 8;
  else if (exp)
    fc.cls = 2;
  else
    fc.cls = 1;
  if (fc.cls >= kClassDate) fc.decimals = 0;
  if (!digits) fc.decimals = 0;
  return fc;
}

void xls_parse(EnvRecord& env, const uint8_t* data, size_t size, bool workbook_stream, Workbook& wb) {
  Parser p(env, wb, data, size, workbook_stream);
  p.run();
  wb.finish();
  DatasetFacts& facts = env.transfer.facts;
  facts.release = "BIFF" + std::to_string(p.version);
  facts.byte_order = byte_order_name(false);
  // BIFF8 keeps its text in UTF-16; earlier releases in the code page of the CODEPAGE record.
  facts.encoding = p.version >= 8        ? std::string("UTF-16LE")
                   : p.codepage == 1200  ? std::string("UTF-16LE")
                   : p.codepage == 367   ? std::string("ASCII")
                   : p.codepage == 32769 ? std::string("windows-1252")
                   : p.codepage == 10000 || p.codepage == 32768 ? std::string("macintosh")
                                         : "code page " + std::to_string(p.codepage);
  if (p.codepage >= 1250 && p.codepage <= 1258 && p.version < 8) facts.encoding = "windows-" + std::to_string(p.codepage);
}

namespace {

struct StreamCloser {
  void operator()(Stream* s) const { StreamClose(s); }
};
using OwnedStream = std::unique_ptr<Stream, StreamCloser>;

bool read_all(Stream* s, std::vector<uint8_t>& out) {
  constexpr int32_t kChunk = 1 << 16;
  size_t have = 0;
  for (;;) {
    out.resize(have + kChunk);
    int32_t n = StreamRead(s, out.data() + have, kChunk);
    if (n > 0) have += static_cast<size_t>(n);
    if (n < kChunk) break;
  }
  out.resize(have);
  return true;
}

}  // namespace

int32_t xls_open_input(EnvRecord& env) {
  const std::string& path = env.transfer.input_path;
  OwnedStream file(StreamOpenFile(&env, path.c_str(), "rb", 8192));
  if (!file) RaiseErrorF(env, "Cannot open worksheet file: %s", path.c_str());
  uint8_t head[8] = {};
  const int32_t got = StreamRead(file.get(), head, 8);
  if (got < 8) RaiseError(env, "error reading worksheet file", nullptr);
  if (head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4) {
    file.reset();
    return xlsx_open_input(env);
  }
  if (std::memcmp(head, "MIME-Ver", 8) == 0)
    RaiseError(env, "Excel \"Single File Web Page\" files are not supported", nullptr);
  static const uint8_t kOle[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::vector<uint8_t> bytes;
  bool workbook_stream = false;
  if (std::memcmp(head, kOle, 8) == 0) {
    file.reset();
    OwnedStream s(StreamOpenStorage(path.c_str(), "Workbook", 1, &env.ole_state));
    workbook_stream = s != nullptr;
    if (!s) s.reset(StreamOpenStorage(path.c_str(), "Book", 1, &env.ole_state));
    if (!s) s.reset(StreamOpenStorage(path.c_str(), "PerfectOffice_MAIN", 1, &env.ole_state));
    if (!s) {
      SetMessageF(env, "Cannot open OLE2 document file %s", path.c_str());
      env.transfer.input_open = 0;
      return -1;
    }
    read_all(s.get(), bytes);
  } else {
    if (StreamSeek(file.get(), 0, SEEK_SET) != 0) RaiseError(env, "error reading worksheet file", nullptr);
    read_all(file.get(), bytes);
  }
  WorksheetState& st = make_reader_state<WorksheetState>(env);
  xls_parse(env, bytes.data(), bytes.size(), workbook_stream, st.wb);
  wks_attach(env, st);
  return 0;
}

}  // namespace tabulon
