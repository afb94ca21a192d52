// Record stage of the SAS data-set reader: rows of data and mixed pages, compressed rows of
// the row pointers, deleted rows, and the values of one row.
#include <strings.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "dates/sas_date_formats.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "engine/optimize.h"
#include "formats/sas/sas7bdat_internal.h"
#include "formats/sas/sas7bdat_reader.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

// Days from 30 December 1899 to 1 January 1960.
constexpr double kSasDayOffset = 21916.0;

struct Geometry {
  uint32_t type_at, block_at, count_at, first_ptr, ptr_size;
};

Geometry geometry(const SasReader& r) {
  return r.word == 8 ? Geometry{32, 34, 36, 40, 24} : Geometry{16, 18, 20, 24, 12};
}

[[noreturn]] void data_fail(EnvRecord& env, int32_t code) { sas7bdat_fail(env, code, 2); }

// Bytes read from the file at once: many small pages cost a seek and a read each.
constexpr size_t kWindowBytes = size_t{1} << 18;

// Makes page `index` current; false when the file has no such page. Pages come in windows
// of consecutive pages, and are decoded where they lie.
bool load_page(EnvRecord& env, SasReader& r, int64_t index) {
  if (index >= r.page_count) return false;
  if (index < r.window_first || index >= r.window_first + r.window_pages) {
    Stream* s = env.transfer.input_stream.get();
    const int64_t per_window = std::max<int64_t>(1, static_cast<int64_t>(kWindowBytes / r.page_size));
    const int64_t pages = std::min(per_window, r.page_count - index);
    const size_t bytes = static_cast<size_t>(pages) * r.page_size;
    r.window_pages = 0;
    if (index != r.stream_page) {
      r.stream_page = -1;
      const int64_t at = static_cast<int64_t>(r.header_length) + index * static_cast<int64_t>(r.page_size);
      if (StreamSeek64(s, at, SEEK_SET) != 0) data_fail(env, kSasErrDataSeek);
    }
    // The pages are decoded in place in the stream's chunk read ahead when they lie in it
    // whole (valid until the next read); across its edge, or without one, they are copied.
    size_t got = 0;
    const uint8_t* in_place = StreamBorrow(s, bytes, &got);
    if (in_place && got == bytes) {
      r.window_at = in_place;
    } else {
      if (r.window.size() < bytes) r.window.resize(bytes);
      if (got) std::memcpy(r.window.data(), in_place, got);
      // The pages lie within the file's length: a short read is a damaged or shrinking file.
      const int64_t rest = static_cast<int64_t>(bytes - got);
      if (StreamReadRaw(s, r.window.data() + got, rest) != rest) data_fail(env, kSasErrDataRead);
      r.window_at = r.window.data();
    }
    r.stream_page = index + pages;
    r.window_first = index;
    r.window_pages = pages;
  }
  r.cur_page = r.window_at + static_cast<size_t>(index - r.window_first) * r.page_size;
  r.page_index = index;
  r.page_loaded = true;
  return true;
}

// Uncompressed: places the rows of the loaded page; false when it has none.
bool place_rows(EnvRecord& env, SasReader& r) {
  const Geometry g = geometry(r);
  SasBytes b{r.swap, r.word};
  const uint8_t* pg = r.cur_page;
  const uint16_t type = b.u16(pg + g.type_at);
  r.page_rows = 0;
  r.entry = 0;
  r.bitmap_at = -1;
  if ((type & 0x8000) || !(type & 0x300)) return false;
  const uint32_t blocks = b.u16(pg + g.block_at), subheaders = b.u16(pg + g.count_at);
  if (blocks <= subheaders) return false;
  uint64_t start = g.first_ptr + static_cast<uint64_t>(subheaders) * g.ptr_size;
  start = (start + 7) & ~uint64_t{7};
  uint64_t rows = blocks - subheaders;
  // A page holds no more rows than remain.
  rows = std::min<uint64_t>(rows, static_cast<uint64_t>(r.total_rows - r.consumed));
  if (start + rows * r.record_length > r.page_size) data_fail(env, kSasErrPageRows);
  r.rows_start = static_cast<uint32_t>(start);
  r.page_rows = static_cast<int32_t>(rows);
  if (r.deleted_rows > 0) {
    // The deleted-row flags (a bit per row, the first row highest) lie past the page's unused
    // bytes, which the page header counts after the last row.
    const uint64_t unused = r.word == 8 ? (r.swap ? b.u32(pg + 28) : b.u32(pg + 24)) : b.u32(pg + 12);
    const uint64_t at = start + (blocks - subheaders) * static_cast<uint64_t>(r.record_length) + unused;
    if (at + (rows + 7) / 8 <= r.page_size) r.bitmap_at = static_cast<int64_t>(at);
  }
  return rows > 0;
}

void log_deleted(EnvRecord& env, SasReader& r) {
  emit_messagef(env, MsgKind::Info,
                "The input record number %d is marked as deleted and will be excluded from the transfer.",
                static_cast<int>(r.consumed + 1));
}

// Points r.cur_row at the next row; false at the end of the data.
bool next_uncompressed(EnvRecord& env, SasReader& r) {
  for (;;) {
    if (r.consumed >= r.total_rows) return false;
    if (!r.page_loaded || r.entry >= r.page_rows) {
      const int64_t next = r.page_loaded ? r.page_index + 1 : r.first_data_page;
      if (next < 0 || !load_page(env, r, next)) return false;
      place_rows(env, r);
      continue;
    }
    const int32_t k = r.entry++;
    if (r.bitmap_at >= 0 && (r.cur_page[static_cast<size_t>(r.bitmap_at) + k / 8] & (0x80u >> (k % 8)))) {
      log_deleted(env, r);
      ++r.consumed;
      continue;
    }
    r.cur_row = r.cur_page + r.rows_start + static_cast<size_t>(k) * r.record_length;
    ++r.consumed;
    return true;
  }
}

bool next_compressed(EnvRecord& env, SasReader& r) {
  const Geometry g = geometry(r);
  SasBytes b{r.swap, r.word};
  for (;;) {
    if (r.consumed >= r.total_rows) return false;
    if (!r.page_loaded) {
      // Rows stored as they are may stand before the first compressed one, even on a page of
      // subheaders: walk every pointer from the first page.
      if (!load_page(env, r, 0)) return false;
      r.entry = 0;
    }
    const uint8_t* pg = r.cur_page;
    const uint16_t type = b.u16(pg + g.type_at);
    const int32_t count = (type & 0x8000) ? 0 : b.u16(pg + g.count_at);
    if (r.entry >= count) {
      if (!load_page(env, r, r.page_index + 1)) return false;
      r.entry = 0;
      continue;
    }
    const uint64_t pos = g.first_ptr + static_cast<uint64_t>(r.entry++) * g.ptr_size;
    if (pos + g.ptr_size > r.page_size) data_fail(env, kSasErrPageRows);
    const uint32_t off = b.word(pg + pos), len = b.word(pg + pos + r.word);
    const uint8_t comp = pg[pos + 2 * r.word];
    if (len == 0) continue;
    if (off > r.page_size || len > r.page_size - off) data_fail(env, kSasErrPageRows);
    const uint8_t* src = pg + off;
    if (comp & 4) {
      if (comp & 1) {
        log_deleted(env, r);
        ++r.consumed;
        continue;
      }
      if (len == r.record_length) {
        r.cur_row = src;
      } else {
        std::memset(r.row.data(), 0, r.row.size());
        const int32_t e = r.compression == 2 ? sas7bdat_rdc(src, len, r.row.data(), r.row.size())
                                             : sas7bdat_rle(src, len, r.row.data(), r.row.size());
        if (e) data_fail(env, e);
        r.cur_row = r.row.data();
      }
      ++r.consumed;
      return true;
    }
    // Uncompressed rows stand between the compressed ones; subheaders may follow the rows too.
    if (comp != 0 || len < r.record_length || sas7bdat_is_subheader(r, src, len)) continue;
    r.cur_row = src;
    ++r.consumed;
    return true;
  }
}

inline uint64_t le16(const uint8_t* p) { return uint64_t{p[0]} | uint64_t{p[1]} << 8; }
inline uint64_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

// The first `width` (0 to 8) bytes at p as a little-endian integer, in a few whole loads.
[[gnu::always_inline]] inline uint64_t le_bytes(const uint8_t* p, uint32_t width) {
  switch (width) {
    case 8: return le32(p) | le32(p + 4) << 32;
    case 7: return le32(p) | le16(p + 4) << 32 | uint64_t{p[6]} << 48;
    case 6: return le32(p) | le16(p + 4) << 32;
    case 5: return le32(p) | uint64_t{p[4]} << 32;
    case 4: return le32(p);
    case 3: return le16(p) | uint64_t{p[2]} << 16;
    case 2: return le16(p);
    case 1: return p[0];
    default: return 0;
  }
}

constexpr bool kLittleHost = std::endian::native == std::endian::little;

// Eight bytes at p as a little-endian integer: one load.
inline uint64_t le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (!kLittleHost) v = __builtin_bswap64(v);
  return v;
}

// Length of the text without its trailing blanks and NULs, eight bytes at a time. `back`: the
// eight bytes that end with the text may be read (a short text inside a row).
[[gnu::always_inline]] inline size_t trimmed_length(const uint8_t* p, size_t n, bool back) {
  constexpr uint64_t kKeep = 0xDFDFDFDFDFDFDFDFull;  // leaves 0 of a blank or a NUL
  const bool whole = n >= 8;
  while (n >= 8) {
    const uint64_t w = le64(p + n - 8) & kKeep;
    if (w) return n - static_cast<size_t>(std::countl_zero(w) / 8);
    n -= 8;
  }
  if (n == 0) return 0;
  uint64_t w;
  if (whole) w = le64(p) & ((uint64_t{1} << (8 * n)) - 1);
  else if (back) w = le64(p + n - 8) >> (8 * (8 - n));
  else w = le_bytes(p, static_cast<uint32_t>(n));
  w &= kKeep;
  return w ? static_cast<size_t>(8 - std::countl_zero(w) / 8) : 0;
}

// Where the first NUL stands in the n bytes at p (n when there is none), eight bytes at a time;
// `back` as for trimmed_length.
[[gnu::always_inline]] inline size_t nul_length(const uint8_t* p, size_t n, bool back) {
  constexpr uint64_t kLow = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  // The lowest flagged byte of a word is its first NUL; flags above it may be false.
  auto first_zero = [](uint64_t w) { return (w - kLow) & ~w & kHigh; };
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    if (const uint64_t z = first_zero(le64(p + i))) return i + static_cast<size_t>(std::countr_zero(z) / 8);
  const size_t rest = n - i;
  if (rest == 0) return n;
  uint64_t w;
  // Bytes past the text become 0xFF, which is never a NUL.
  const uint64_t pad = ~uint64_t{0} << (8 * rest);
  if (i > 0 || back) w = le64(p + n - 8) >> (8 * (8 - rest));
  else w = le_bytes(p, static_cast<uint32_t>(rest));
  const uint64_t z = first_zero(w | pad);
  return z ? i + static_cast<size_t>(std::countr_zero(z) / 8) : n;
}

// var_set_string, with the copy of a short text as a few whole moves rather than a call.
[[gnu::always_inline]] inline void set_text(DictState& d, VarRecord& v, const uint8_t* p, size_t n) {
  const size_t cap = v.storage_width ? v.storage_width - 1 : 0;
  if (n > 16 || n > cap) {
    var_set_string(d, v, reinterpret_cast<const char*>(p), n);
    return;
  }
  uint8_t* slot = var_slot(d, v);
  // Two moves that overlap cover every length between one size and twice it.
  if (n >= 8) {
    std::memcpy(slot, p, 8);
    std::memcpy(slot + n - 8, p + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(slot, p, 4);
    std::memcpy(slot + n - 4, p + n - 4, 4);
  } else if (n >= 2) {
    std::memcpy(slot, p, 2);
    std::memcpy(slot + n - 2, p + n - 2, 2);
  } else if (n == 1) {
    slot[0] = p[0];
  }
  slot[n] = 0;
  v.missing = kValuePresent;
}

[[gnu::always_inline]] inline void put_string(EnvRecord& env, SasReader& r, bool converts, VarRecord& v, int32_t column, const uint8_t* p,
                size_t n, bool back) {
  if (r.ebcdic) {
    r.scratch.assign(reinterpret_cast<const char*>(p), n);
    for (char& c : r.scratch) c = static_cast<char>(sas7bdat_ebcdic(static_cast<uint8_t>(c)));
    p = reinterpret_cast<const uint8_t*>(r.scratch.data());
    back = false;
  }
  n = trimmed_length(p, n, back);
  if (n == 0) {
    // SAS has no missing string but the blank one; the dictionary calls it missing.
    var_set_missing(env.dict, v);
    return;
  }
  ConverterSlot& cs = env.encoding.input[0];
  if (converts && !(cs.ascii_identity && is_ascii(p, n))) {
    TranscodeCall call;
    call.context = "Error encoding input string value, ";
    call.variable = column + 1;
    call.record = r.delivered + 1;
    const int64_t len = transcode_string(env, cs, reinterpret_cast<const char*>(p), n, nullptr, 0, call);
    var_set_string(env.dict, v, cs.out_buf.data(), len > 0 ? static_cast<size_t>(len) : 0);
    return;
  }
  set_text(env.dict, v, p, n);
}

enum SasStepOp : uint8_t {
  kStepString,
  kStepNoBytes,   // a character column of width 0: always missing
  kStepDouble,    // 8 bytes in the machine's byte order
  kStepSwapped,   // 8 bytes in the other byte order
  kStepTail,      // fewer bytes, read with the eight that end with them
  kStepNumber,    // fewer bytes at the start of the row
  kStepIbm,       // IBM hexadecimal floating point
};

// IBM floating point (profile 6) to IEEE: the stored bytes, most significant first.
double read_ibm(const SasReader& r, const uint8_t* p, uint32_t width) {
  uint8_t be[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  if (r.swap) {
    std::memcpy(be, p, width);
  } else {
    for (uint32_t k = 0; k < width; ++k) be[k] = p[width - 1 - k];
  }
  return sas7bdat_ibm_to_double(be);
}

// A number of `width` bytes holds the most significant bytes of a double: they go to the top
// of the value, read in the file's byte order.
[[gnu::always_inline]] inline uint64_t number_bits(const SasStep& s, const uint8_t* p) {
  const uint64_t v = le_bytes(p, s.width);
  return s.swap ? __builtin_bswap64(v) : v << s.at;
}

// The stored number at p as the bits of a double. `op` is the step's, given apart so that a
// loop over one column can fix it.
[[gnu::always_inline]] inline uint64_t step_bits(const SasReader& r, const SasStep& s, uint8_t op, const uint8_t* p) {
  uint64_t bits;
  switch (op) {
    case kStepDouble: std::memcpy(&bits, p, 8); break;
    case kStepSwapped:
      std::memcpy(&bits, p, 8);
      bits = __builtin_bswap64(bits);
      break;
    case kStepTail: {
      // The value's bytes are the top ones of the word that ends with them; the bytes before
      // them drop out.
      const uint64_t w = le64(p + s.width - 8);
      bits = s.swap ? __builtin_bswap64(w) << s.at : w & (~uint64_t{0} << s.at);
      break;
    }
    case kStepNumber: bits = number_bits(s, p); break;
    default: {
      const double ibm = read_ibm(r, p, s.width);
      std::memcpy(&bits, &ibm, 8);
      break;
    }
  }
  return bits;
}

// Missing values are NaNs; numbers of fewer than 3 bytes have no room for their codes (and
// every NaN of 3 bytes or more has one).
[[gnu::always_inline]] inline bool holds_code(uint64_t bits, uint32_t width) {
  return ((bits >> 48) & 0x7FF0) == 0x7FF0 && width >= 3;
}

// A present number as the record receives it: dates, times and date-times from the SAS epoch
// and seconds.
[[gnu::always_inline]] inline double step_value(uint64_t bits, int ttype) {
  double v;
  std::memcpy(&v, &bits, 8);
  switch (ttype) {
    case T_DATE: return v + kSasDayOffset;
    case T_TIME: return seconds_to_time(v);
    case T_DATETIME: return signed_days_to_day_number(v / 86400.0 + kSasDayOffset);
    default: return v;
  }
}

// The number at p as the record receives it (*x), or its missing code.
[[gnu::always_inline]] inline uint16_t step_number(const SasReader& r, const SasStep& s, const uint8_t* p, double* x) {
  const uint64_t bits = step_bits(r, s, s.op, p);
  if (holds_code(bits, s.width)) {
    if (const uint16_t code = sas7bdat_missing_code(bits, r.family)) return code;
  }
  *x = step_value(bits, s.ttype);
  return 0;
}

// The length strlen finds in the record after put_string, without filling the record where
// the bytes go there unchanged.
inline size_t string_length(EnvRecord& env, SasReader& r, bool converts, const SasStep& s, const uint8_t* p) {
  if (s.op == kStepNoBytes) return 0;
  if (!r.ebcdic) {
    size_t n = trimmed_length(p, s.width, s.back);
    const ConverterSlot& cs = env.encoding.input[0];
    if (!converts || n == 0 || (cs.ascii_identity && is_ascii(p, n))) {
      const size_t cap = s.var->storage_width ? s.var->storage_width - 1 : 0;
      if (n > cap) n = utf8_cut(reinterpret_cast<const char*>(p), n, cap);
      return nul_length(p, n, s.back);
    }
  }
  put_string(env, r, converts, *s.var, s.column, p, s.width, s.back);
  return std::strlen(var_get_string(env.dict, *s.var));
}

void build_plan(EnvRecord& env, SasReader& r) {
  r.plan.clear();
  const bool same_order = r.swap == (std::endian::native == std::endian::big);
  for (uint32_t i = 0; i < r.column_count && i < r.columns.size(); ++i) {
    const SasColumn& c = r.columns[i];
    VarRecord* vp = dict_var(env.dict, static_cast<int32_t>(i));
    if (!vp || !vp->selected || vp->storage_width == 0) continue;
    SasStep st;
    st.offset = c.offset;
    st.width = c.width;
    st.column = static_cast<int32_t>(i);
    st.var = vp;
    st.ttype = c.ttype;
    st.back = uint64_t{c.offset} + c.width >= 8;
    if (c.type == 2) {
      st.op = c.width < 1 ? kStepNoBytes : kStepString;
    } else if (r.profile == 6) {
      st.op = kStepIbm;
    } else {
      st.swap = r.swap;  // a big-endian file: its first byte is the most significant
      st.at = static_cast<uint8_t>(c.width && c.width <= 8 ? 8 * (8 - c.width) : 0);
      if (c.width == 8) st.op = same_order ? kStepDouble : kStepSwapped;
      else if (kLittleHost && st.back && c.width > 0 && c.width < 8) st.op = kStepTail;
      else st.op = kStepNumber;
    }
    r.plan.push_back(st);
  }
  r.plan_ready = true;
}

void trace_value(EnvRecord& env, const VarRecord& v, int32_t column) {
  const char* label = v.label.empty() ? "NULL" : v.label.c_str();
  if (v.missing) {
    emit_messagef(env, MsgKind::Data, "<%s> [%d]: <.> = <%s>", v.name.c_str(), column + 1, label);
  } else if (v.is_string()) {
    const char* s = var_get_string(env.dict, v);
    if (std::strlen(s) > 32)
      emit_messagef(env, MsgKind::Data, "<%s> [%d]: <[First 32 bytes]:%.32s> = <%s>", v.name.c_str(), column + 1, s,
                    label);
    else
      emit_messagef(env, MsgKind::Data, "<%s> [%d]: <%s> = <%s>", v.name.c_str(), column + 1, s, label);
  } else {
    emit_messagef(env, MsgKind::Data, "<%s> [%d]: <%015E> = <%s>", v.name.c_str(), column + 1,
                  var_get_double(env.dict, v), label);
  }
}

}  // namespace

int sas7bdat_date_ttype(const char* name, size_t len) { return sas_date_format_type(name, len); }

uint16_t sas7bdat_missing_code(double x, char family) {
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  return sas7bdat_missing_code(bits, family);
}

uint16_t sas7bdat_missing_code(uint64_t bits, char family) {
  if (((bits >> 48) & 0x7FF0) != 0x7FF0) return 0;
  const uint32_t b = static_cast<uint32_t>((bits >> 40) & 0xFF);
  // Families A (the complement of the letter) and B (the complement of the code) use byte
  // ranges that do not meet, so a value decodes the same whichever host the header names.
  if (family == 'C') {
    if (b >= 22 && b <= 29) return static_cast<uint16_t>(27 - (b - 22));
    if (b >= 38 && b <= 46) return static_cast<uint16_t>(19 - (b - 38));
    if (b >= 54 && b <= 62) return static_cast<uint16_t>(10 - (b - 54));
    return 1;
  }
  if (b >= 165 && b <= 190) return static_cast<uint16_t>(192 - b);
  if (b == 210 || b == 160) return 29;
  if (b >= 228 && b <= 253) return static_cast<uint16_t>(255 - b);
  if (b == 255) return 29;
  return 1;
}

int32_t sas7bdat_read_case(EnvRecord& env) {
  SasReader* rp = reader_state<SasReader>(env);
  if (!rp) return kEndOfData;
  SasReader& r = *rp;
  const bool more = r.compression ? next_compressed(env, r) : next_uncompressed(env, r);
  if (!more) {
    sas7bdat_restore_position(env);
    return kEndOfData;
  }
  if (!r.plan_ready) build_plan(env, r);
  const bool trace = msg_enabled(env, MsgKind::Data);
  if (trace) emit_messagef(env, MsgKind::Data, "<%s> [%d]", " Current record: ", static_cast<int>(r.delivered + 1));
  const ConverterSlot& cs = env.encoding.input[0];
  const bool converts = !(cs.flags & (kSlotNoConversion | kSlotPassThrough)) && cs.has_descriptor();
  const uint8_t* row = r.cur_row;
  uint8_t* record = env.dict.record();
  for (const SasStep& s : r.plan) {
    VarRecord& v = *s.var;
    const uint8_t* p = row + s.offset;
    if (s.op == kStepString) {
      put_string(env, r, converts, v, s.column, p, s.width, s.back);
    } else if (s.op == kStepNoBytes) {
      var_set_missing(env.dict, v);
    } else {
      double x;
      if (const uint16_t code = step_number(r, s, p, &x)) {
        var_set_missing(env.dict, v, code);
      } else {
        std::memcpy(record + v.offset, &x, 8);
        v.missing = kValuePresent;
      }
    }
    if (trace) trace_value(env, v, s.column);
  }
  ++r.delivered;
  return kCaseRead;
}

namespace {

// Cases whose values the pass takes per column at once.
constexpr int32_t kGatherBlock = 1024;
// Rows taken a column at a time: few enough that their bytes stay in the first-level cache
// from one column to the next.
constexpr int32_t kGatherRun = 256;

// The pass's statistics from cases read into the record, as the engine takes them from
// each case it reads: where values are traced, or a variable does not hold what its column
// does.
int32_t gather_by_reading(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                          int32_t max_cases) {
  int32_t done = 0;
  const int32_t n = env.dict.count();
  while (done < max_cases) {
    dict_clear_record(env.dict);
    env.encoding.current_case = static_cast<int64_t>(env.transfer.cases_read) + done + 1;
    if (sas7bdat_read_case(env) != kCaseRead) break;
    for (int32_t i = 0; i < n; ++i) {
      if (want[i] == kWantNone) continue;
      const VarRecord& v = *dict_var(env.dict, i);
      VarStats& st = stats[i];
      if (want[i] == kWantString) {
        const double len = static_cast<double>(std::strlen(var_get_string(env.dict, v)));
        if (len > st.maximum) st.maximum = len;
      } else if (var_missing(v) == kValuePresent) {
        optimize_add_value(st, var_get_double(env.dict, v), exact_float, want[i] == kWantDate);
      }
    }
    ++done;
  }
  return done;
}

}  // namespace

namespace {

// The present numbers of one column over n rows `stride` bytes apart, into out (room for n);
// their count. No branch on the data: a missing value is written and then overwritten.
template <uint8_t kOp, int kType>
uint32_t take_column(const SasReader& r, const SasStep& s, const uint8_t* row, size_t stride, int32_t n, double* out) {
  uint32_t k = 0;
  const uint8_t* p = row + s.offset;
  const uint32_t width = s.width;
  for (int32_t j = 0; j < n; ++j, p += stride) {
    const uint64_t bits = step_bits(r, s, kOp, p);
    out[k] = step_value(bits, kType);
    k += !holds_code(bits, width);
  }
  return k;
}

template <uint8_t kOp>
uint32_t take_typed(const SasReader& r, const SasStep& s, const uint8_t* row, size_t stride, int32_t n, double* out) {
  switch (s.ttype) {
    case T_DATE: return take_column<kOp, T_DATE>(r, s, row, stride, n, out);
    case T_TIME: return take_column<kOp, T_TIME>(r, s, row, stride, n, out);
    case T_DATETIME: return take_column<kOp, T_DATETIME>(r, s, row, stride, n, out);
    default: return take_column<kOp, 0>(r, s, row, stride, n, out);
  }
}

uint32_t take_numbers(const SasReader& r, const SasStep& s, const uint8_t* row, size_t stride, int32_t n, double* out) {
  switch (s.op) {
    case kStepDouble: return take_typed<kStepDouble>(r, s, row, stride, n, out);
    case kStepSwapped: return take_typed<kStepSwapped>(r, s, row, stride, n, out);
    case kStepTail: return take_typed<kStepTail>(r, s, row, stride, n, out);
    case kStepNumber: return take_typed<kStepNumber>(r, s, row, stride, n, out);
    default: return take_typed<kStepIbm>(r, s, row, stride, n, out);
  }
}

// The longest text of one column over n rows as the record would keep it, where the bytes
// go there unchanged (no conversion, and room for the whole column).
double longest_text(const SasStep& s, const uint8_t* row, size_t stride, int32_t n, double longest) {
  const uint8_t* p = row + s.offset;
  size_t most = static_cast<size_t>(longest);
  if (s.width <= 8 && s.back) {
    // One word holds the whole text: its trimmed length, then its first NUL.
    constexpr uint64_t kKeep = 0xDFDFDFDFDFDFDFDFull, kLow = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const uint32_t drop = 8 * (8 - s.width);
    for (int32_t j = 0; j < n; ++j, p += stride) {
      const uint64_t w = drop ? le64(p + s.width - 8) >> drop : le64(p);
      const uint64_t t = w & kKeep;
      const size_t len = t ? static_cast<size_t>(8 - std::countl_zero(t) / 8) : 0;
      const uint64_t pad = len == 8 ? 0 : ~uint64_t{0} << (8 * len);
      const uint64_t v = w | pad;
      const uint64_t z = (v - kLow) & ~v & kHigh;
      const size_t kept = z ? static_cast<size_t>(std::countr_zero(z) / 8) : len;
      most = kept > most ? kept : most;
    }
  } else if (s.width > 8 && s.width <= 16) {
    // Two words that overlap: the last eight bytes, then the first eight.
    constexpr uint64_t kKeep = 0xDFDFDFDFDFDFDFDFull, kLow = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    const uint32_t w = s.width, head = w - 8;  // the bytes only the first word holds
    const uint64_t head_mask = head == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * head)) - 1;
    auto first_zero = [](uint64_t v) { return (v - kLow) & ~v & kHigh; };
    for (int32_t j = 0; j < n; ++j, p += stride) {
      const uint64_t lo = le64(p), hi = le64(p + head);
      size_t len;
      if (const uint64_t t = hi & kKeep) {
        len = w - static_cast<size_t>(std::countl_zero(t) / 8);
      } else {
        const uint64_t t2 = lo & kKeep & head_mask;
        len = t2 ? static_cast<size_t>(8 - std::countl_zero(t2) / 8) : 0;
      }
      // The first NUL among the kept bytes: in the first word, then in the rest of the last.
      const size_t in_lo = len < 8 ? len : 8;
      const uint64_t lo_pad = in_lo == 8 ? 0 : ~uint64_t{0} << (8 * in_lo);
      size_t kept = len;
      if (const uint64_t z = first_zero(lo | lo_pad)) {
        kept = static_cast<size_t>(std::countr_zero(z) / 8);
      } else if (len > 8) {
        // hi byte k is p[head + k]: bytes 8 - head up to len - head are still to look at.
        const uint32_t from = 8 - head, to = static_cast<uint32_t>(len) - head;
        const uint64_t below = (uint64_t{1} << (8 * from)) - 1;
        const uint64_t above = to == 8 ? 0 : ~uint64_t{0} << (8 * to);
        if (const uint64_t z2 = first_zero(hi | below | above)) kept = head + static_cast<size_t>(std::countr_zero(z2) / 8);
      }
      most = kept > most ? kept : most;
    }
  } else {
    for (int32_t j = 0; j < n; ++j, p += stride) {
      const size_t kept = nul_length(p, trimmed_length(p, s.width, s.back), s.back);
      most = kept > most ? kept : most;
    }
  }
  return static_cast<double>(most);
}

}  // namespace

int32_t sas7bdat_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                              int32_t max_cases) {
  SasReader* rp = reader_state<SasReader>(env);
  if (!rp) return 0;
  SasReader& r = *rp;
  if (!r.plan_ready) build_plan(env, r);
  struct Gather {
    const SasStep* step;
    VarStats* stats;
    double* values;  // numbers: the block's present values
    uint32_t count;
    bool date;
  };
  std::vector<Gather> strings, numbers;
  int32_t wanted = 0;
  for (int32_t i = 0; i < env.dict.count(); ++i) wanted += want[i] != kWantNone;
  for (const SasStep& s : r.plan) {
    const uint8_t w = want[s.column];
    if (w == kWantNone) continue;
    const bool text = s.op == kStepString || s.op == kStepNoBytes;
    if (text != (w == kWantString)) return gather_by_reading(env, want, stats, exact_float, max_cases);
    (text ? strings : numbers).push_back({&s, &stats[s.column], nullptr, 0, w == kWantDate});
  }
  if (static_cast<int32_t>(strings.size() + numbers.size()) != wanted || msg_enabled(env, MsgKind::Data))
    return gather_by_reading(env, want, stats, exact_float, max_cases);
  r.gathered.resize(numbers.size() * kGatherBlock);
  for (size_t k = 0; k < numbers.size(); ++k) numbers[k].values = r.gathered.data() + k * kGatherBlock;
  auto flush = [&] {
    for (Gather& g : numbers) {
      optimize_add_values(*g.stats, g.values, g.count, exact_float, g.date);
      g.count = 0;
    }
  };
  const ConverterSlot& cs = env.encoding.input[0];
  const bool converts = !(cs.flags & (kSlotNoConversion | kSlotPassThrough)) && cs.has_descriptor();
  const size_t stride = r.record_length;
  // Text that goes to the record as it stands is measured a column at a time; text to convert
  // a row at a time, as read_case converts it (and reports what it cannot).
  bool plain_text = !r.ebcdic && !converts;
  for (const Gather& g : strings)
    if (g.step->var->storage_width < g.step->width + 1) plain_text = false;
  int32_t done = 0, in_block = 0;
  while (done < max_cases) {
    env.encoding.current_case = static_cast<int64_t>(env.transfer.cases_read) + done + 1;
    const bool more = r.compression ? next_compressed(env, r) : next_uncompressed(env, r);
    if (!more) {
      sas7bdat_restore_position(env);
      break;
    }
    // The rows that follow on a page without deleted rows come with this one: they stand
    // `stride` bytes apart, and nothing is reported between them.
    int32_t run = 1;
    if (!r.compression && r.bitmap_at < 0) {
      run += std::min({r.page_rows - r.entry, max_cases - done - 1, kGatherBlock - in_block - 1, kGatherRun - 1});
      r.entry += run - 1;
      r.consumed += run - 1;
    }
    const uint8_t* row = r.cur_row;
    for (Gather& g : numbers) g.count += take_numbers(r, *g.step, row, stride, run, g.values + g.count);
    if (plain_text) {
      for (Gather& g : strings)
        if (g.step->op == kStepString) g.stats->maximum = longest_text(*g.step, row, stride, run, g.stats->maximum);
      r.delivered += run;
    } else if (!strings.empty()) {
      for (int32_t j = 0; j < run; ++j, row += stride) {
        env.encoding.current_case = static_cast<int64_t>(env.transfer.cases_read) + done + j + 1;
        for (const Gather& g : strings) {
          const double len = static_cast<double>(string_length(env, r, converts, *g.step, row + g.step->offset));
          if (len > g.stats->maximum) g.stats->maximum = len;
        }
        ++r.delivered;
      }
    } else {
      r.delivered += run;
    }
    done += run;
    in_block += run;
    if (in_block == kGatherBlock) {
      flush();
      in_block = 0;
    }
  }
  flush();
  return done;
}

int32_t sas7bdat_save_position(EnvRecord& env) { return reader_state<SasReader>(env) ? 0 : -1; }

int32_t sas7bdat_restore_position(EnvRecord& env) {
  SasReader* r = reader_state<SasReader>(env);
  if (!r) return -1;
  Stream* s = env.transfer.input_stream.get();
  if (s) StreamSeek64(s, 0, SEEK_SET);
  r->page_loaded = false;
  r->page_index = -1;
  r->entry = 0;
  r->page_rows = 0;
  r->bitmap_at = -1;
  r->consumed = 0;
  r->delivered = 0;
  r->row.assign(r->record_length, 0);
  r->cur_row = nullptr;
  r->cur_page = nullptr;
  r->window_pages = 0;
  r->stream_page = -1;
  r->plan_ready = false;
  if (r->page.size() != r->page_size) r->page.assign(r->page_size, 0);
  return 0;
}

}  // namespace tabulon
