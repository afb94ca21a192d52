#include "formats/text/line_reader.h"

#include <cstring>
#include <strings.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "encoding/transcode.h"

namespace tabulon {

namespace {

constexpr size_t kLineStart = 16384;

// Quote states of a line being joined.
constexpr uint8_t kQFieldStart = 0;  // outside quotes, nothing but blanks since the field began
constexpr uint8_t kQInField = 1;     // outside quotes, inside unquoted text
constexpr uint8_t kQInside = 2;      // inside a quoted field
constexpr uint8_t kQClosing = 3;     // a quote inside a quoted field: closes it unless doubled

// Kinds in RdLine::stops.
constexpr unsigned char kStopEnd = 1;    // line end, or a byte to drop
constexpr unsigned char kStopQuote = 2;
constexpr unsigned char kStopDelim = 3;
constexpr unsigned char kStopSemi = 4;   // statement mode

inline bool blank(unsigned char c) { return c == ' ' || c == '\t'; }

// The state after a run of ordinary bytes.
inline uint8_t after_run(uint8_t q, const unsigned char* p, const unsigned char* e) {
  if (p == e) return q;
  if (q == kQClosing) return kQInField;
  if (q != kQFieldStart) return q;
  for (; p < e; ++p)
    if (!blank(*p)) return kQInField;
  return q;
}

// The state after a quote or delimiter byte.
inline uint8_t after_stop(uint8_t q, unsigned char kind) {
  if (kind == kStopQuote) {
    switch (q) {
      case kQFieldStart: return kQInside;
      case kQInside: return kQClosing;
      case kQClosing: return kQInside;  // a doubled quote
      default: return q;
    }
  }
  return q == kQInside ? q : kQFieldStart;  // a delimiter
}
constexpr size_t kChunk = 1 << 20;

size_t file_read(void* ctx, char* buf, size_t n) { return std::fread(buf, 1, n, static_cast<FILE*>(ctx)); }
int64_t file_tell(void* ctx) { return ftello(static_cast<FILE*>(ctx)); }
bool file_seek(void* ctx, int64_t pos) {
  FILE* fp = static_cast<FILE*>(ctx);
  clearerr(fp);
  return fseeko(fp, pos, SEEK_SET) == 0;
}

bool fill(RdLine& r) {
  if (r.at_eof) return false;
  if (r.chunk.size() < kChunk) r.chunk.resize(kChunk);
  size_t got = r.src.read(r.src.ctx, r.chunk.data(), r.chunk.size());
  if (got == 0) {
    r.at_eof = true;
    return false;
  }
  r.chunk_pos = 0;
  r.chunk_len = got;
  return true;
}

inline int next_byte(RdLine& r) {
  if (r.chunk_pos == r.chunk_len && !fill(r)) return -1;
  return static_cast<unsigned char>(r.chunk[r.chunk_pos++]);
}

inline void put_back(RdLine& r) { --r.chunk_pos; }

int64_t position(const RdLine& r) {
  int64_t t = r.src.tell ? r.src.tell(r.src.ctx) : 0;
  return t < 0 ? 0 : t - static_cast<int64_t>(r.chunk_len - r.chunk_pos);
}

void reset_read_ahead(RdLine& r) {
  r.chunk_pos = r.chunk_len = 0;
  r.at_eof = false;
  r.unit_pos = r.unit_len = 0;
}

// One code unit of a UTF-16/UTF-32 source as UTF-8 bytes in unit_utf8; false at the end.
bool next_unit(RdLine& r) {
  auto unit = [&](int bytes, uint32_t* v) {
    uint32_t x = 0;
    for (int i = 0; i < bytes; ++i) {
      int b = next_byte(r);
      if (b < 0) return false;
      x = r.big_endian ? (x << 8) | static_cast<uint32_t>(b) : x | (static_cast<uint32_t>(b) << (8 * i));
    }
    *v = x;
    return true;
  };
  uint32_t cp;
  if (!unit(r.unit_kind, &cp)) return false;
  if (r.unit_kind == 2 && cp >= 0xD800 && cp <= 0xDBFF) {
    uint32_t lo;
    if (unit(2, &lo) && lo >= 0xDC00 && lo <= 0xDFFF)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    else
      cp = 0xFFFD;
  } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    cp = 0xFFFD;
  }
  unsigned char* u = r.unit_utf8;
  if (cp < 0x80) {
    u[0] = static_cast<unsigned char>(cp);
    r.unit_len = 1;
  } else if (cp < 0x800) {
    u[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    u[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    r.unit_len = 2;
  } else if (cp < 0x10000) {
    u[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    u[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    u[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    r.unit_len = 3;
  } else {
    u[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    u[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    u[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    u[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    r.unit_len = 4;
  }
  r.unit_pos = 0;
  return true;
}

inline int next_char(RdLine& r) {
  if (r.unit_kind == 1) return next_byte(r);
  if (r.unit_pos == r.unit_len && !next_unit(r)) return -1;
  return r.unit_utf8[r.unit_pos++];
}

inline void append(RdLine& r, const char* p, size_t n) {
  if (r.len + n + 1 > r.line.size()) {
    size_t cap = r.line.size() ? r.line.size() : kLineStart;
    while (r.len + n + 1 > cap) cap *= 2;
    r.line.resize(cap);
  }
  std::memcpy(r.line.data() + r.len, p, n);
  r.len += n;
}

inline void append_char(RdLine& r, char c) {
  if (r.len + 2 > r.line.size()) r.line.resize(r.line.size() ? r.line.size() * 2 : kLineStart);
  r.line[r.len++] = c;
}

// Reads the byte-order mark at the current position (skipping it) and sets the unit kind.
// Returns 0, or -1 when the source cannot be read.
int detect_source(RdLine& r) {
  r.unit_kind = 1;
  r.big_endian = false;
  r.bom_flags = 0;
  if (r.chunk_pos == r.chunk_len) fill(r);
  if (r.file && std::ferror(r.file)) return -1;
  const size_t left = r.chunk_len - r.chunk_pos;
  const size_t n = left < 4 ? left : 4;
  int skip = 0;
  const char* name = detect_bom(reinterpret_cast<const unsigned char*>(r.chunk.data()) + r.chunk_pos, n, &skip);
  r.chunk_pos += static_cast<size_t>(skip);
  const char* enc = name ? name : r.encoding.c_str();
  if (strncasecmp(enc, "UTF-16", 6) == 0 || strncasecmp(enc, "UCS-2", 5) == 0) {
    r.unit_kind = 2;
    r.big_endian = strcasecmp(enc + (enc[1] == 'C' || enc[1] == 'c' ? 5 : 6), "BE") == 0;
    r.bom_flags = 1;
  } else if (strncasecmp(enc, "UTF-32", 6) == 0 || strncasecmp(enc, "UCS-4", 5) == 0) {
    r.unit_kind = 4;
    r.big_endian = strcasecmp(enc + (enc[1] == 'C' || enc[1] == 'c' ? 5 : 6), "BE") == 0;
    r.bom_flags = 1;
  } else if (strcasecmp(enc, "UTF-8") == 0 || strcasecmp(enc, "UTF8") == 0) {
    r.bom_flags = 1;
  }
  return 0;
}

void set_stops(RdLine& r) {
  std::memset(r.stops, 0, sizeof r.stops);
  if (r.quote) {
    if (r.delim) r.stops[static_cast<unsigned char>(r.delim)] = kStopDelim;
    if (r.delim2) r.stops[static_cast<unsigned char>(r.delim2)] = kStopDelim;
    r.stops[static_cast<unsigned char>(r.quote)] = kStopQuote;
  }
  r.stops['\n'] = r.stops['\r'] = r.stops[0] = r.stops[26] = kStopEnd;
  if (r.statement_mode) r.stops[static_cast<unsigned char>(';')] = kStopSemi;
  std::memcpy(r.line_stops, r.stops, sizeof r.stops);
  if (r.delim) r.line_stops[static_cast<unsigned char>(r.delim)] = 0;
  if (r.delim2) r.line_stops[static_cast<unsigned char>(r.delim2)] = 0;
  int n = 0;
  for (int b = 0; b < 256 && n <= 6; ++b)
    if (r.line_stops[b]) {
      if (n < 6) r.line_stop_bytes[n] = static_cast<unsigned char>(b);
      ++n;
    }
  r.line_stop_count = n <= 6 ? n : 0;
  for (int k = n; k > 0 && k < 6; ++k) r.line_stop_bytes[k] = r.line_stop_bytes[0];  // repeats change nothing
}

// First byte at or after i (before end) that line_stops marks; end when none.
size_t find_line_stop(const RdLine& r, const unsigned char* u, size_t i, size_t end) {
#if defined(__SSE2__)
  if (r.line_stop_count > 0) {
    const __m128i s0 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[0]));
    const __m128i s1 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[1]));
    const __m128i s2 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[2]));
    const __m128i s3 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[3]));
    const __m128i s4 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[4]));
    const __m128i s5 = _mm_set1_epi8(static_cast<char>(r.line_stop_bytes[5]));
    for (; i + 16 <= end; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, s0), _mm_cmpeq_epi8(v, s1)),
                       _mm_or_si128(_mm_cmpeq_epi8(v, s2), _mm_cmpeq_epi8(v, s3))),
          _mm_or_si128(_mm_cmpeq_epi8(v, s4), _mm_cmpeq_epi8(v, s5)));
      const int mask = _mm_movemask_epi8(hit);
      if (mask) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
  }
#endif
  while (i < end && !r.line_stops[u[i]]) ++i;
  return i;
}

// A non-ASCII line from a source in another encoding becomes UTF-8.
void convert_line(RdLine& r) {
  if (!(r.non_ascii && r.has_converter)) return;
  int32_t errors = 0;
  TranscodeCall call;
  call.context = "Error encoding input string, ";
  call.record = r.line_count;
  call.error_counter = &errors;
  int64_t n = transcode_string(*r.env, r.converter, r.out, r.out_len, nullptr, 0, call);
  if (errors >= 2)
    RaiseErrorF(*r.env, "Some data could not be transcoded from \"%s\" to \"UTF-8\" (-175).", r.encoding.c_str());
  if (n >= 0) {
    r.out = r.converter.out_buf.data();
    r.out_len = static_cast<size_t>(n);
  }
}

// The common case: the whole line lies in the read-ahead and needs no byte dropped. It is
// handed out in place (terminated where its line end was) instead of being copied.
bool line_in_place(RdLine& r) {
  if (r.unit_kind != 1 || r.statement_mode || r.chunk_pos >= r.chunk_len) return false;
  char* base = r.chunk.data();
  const size_t begin = r.chunk_pos, end = r.chunk_len;
  uint8_t q = r.qstate;
  size_t i = begin;
  char c;
  // Most lines hold no quote: then the delimiters cannot hide a line end and need no
  // stop. A line that does hold one is followed field by field.
  if (q == kQFieldStart) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(base);
    i = find_line_stop(r, u, i, end);
    if (i >= end) return false;
    c = base[i];
    if (c == '\n' || c == '\r') goto line_end;
    if (r.stops[u[i]] != kStopQuote) return false;  // NUL or Ctrl-Z to drop
    i = begin;
  }
  for (;;) {
    const size_t run = i;
    while (i < end && !r.stops[static_cast<unsigned char>(base[i])]) ++i;
    if (i >= end) return false;
    q = after_run(q, reinterpret_cast<const unsigned char*>(base) + run, reinterpret_cast<const unsigned char*>(base) + i);
    c = base[i];
    const unsigned char kind = r.stops[static_cast<unsigned char>(c)];
    if (kind == kStopQuote || kind == kStopDelim) {
      q = after_stop(q, kind);
      ++i;
      continue;
    }
    if (c != '\n' && c != '\r') return false;  // NUL or Ctrl-Z to drop
    if (q != kQInside) break;
    ++i;
  }
line_end:
  size_t next = i + 1;
  if (c == '\r') {
    if (next >= end) return false;  // the LF may be in the next block
    if (base[next] == '\n') ++next;
  }
  size_t len = i - begin;
  while (len > 0 && base[begin + len - 1] == ' ') --len;
  base[begin + len] = 0;
  r.qstate = kQFieldStart;  // the next line starts a field
  r.chunk_pos = next;
  ++r.line_count;
  r.out = base + begin;
  r.out_len = len;
  r.len = len;
  r.non_ascii = false;
  if (r.has_converter)
    for (size_t k = 0; k < len && !r.non_ascii; ++k) r.non_ascii = static_cast<unsigned char>(r.out[k]) >= 0x80;
  return true;
}

}  // namespace

ByteSource file_source(FILE* fp) { return ByteSource{fp, file_read, file_tell, file_seek}; }

RdLine* rdline_open(EnvRecord& env, const ByteSource& src, const char* encoding, int32_t flags) {
  auto r = std::make_unique<RdLine>();
  r->env = &env;
  r->src = src;
  r->file = src.read == file_read ? static_cast<FILE*>(src.ctx) : nullptr;
  r->statement_mode = (flags & 1) ? 1 : 0;
  set_stops(*r);
  r->line.resize(kLineStart);
  r->line[0] = 0;
  r->out = r->line.data();
  if (encoding && *encoding) {
    r->encoding = encoding;
    if (detect_source(*r) != 0) {
      if (env.info_callback && msg_enabled(env, MsgKind::Error)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "%sThe input file cannot be transferred because BOM (Byte Order Mark) detection failed, "
                      "error code: %d.",
                      kPrefixError, -1);
        emit_raw(env, MsgKind::Error, text);
      }
      return nullptr;
    }
    if (!(r->bom_flags & 1)) {
      void* cd = open_free_encoder(env, "UTF-8", r->encoding.c_str());
      if (!cd || cd == reinterpret_cast<void*>(-1)) return nullptr;
      r->converter.cd = cd;
      r->converter.from = r->encoding;
      r->converter.to = "UTF-8";
      r->converter.flags = kSlotFreeStanding | kSlotInputDir;
      r->has_converter = true;
    }
  }
  r->data_start = position(*r);
  return r.release();
}

int rdline_read(RdLine& r) {
  if (line_in_place(r)) {
    convert_line(r);
    return 1;
  }
  r.len = 0;
  r.non_ascii = false;
  ++r.line_count;
  bool any = false;
  bool ended_by_cr = false;
  unsigned char high = 0;

  if (r.unit_kind == 1) {
    // Fast path: copy runs of ordinary bytes straight from the read-ahead.
    const bool track_high = r.has_converter;
    for (;;) {
      if (r.chunk_pos == r.chunk_len && !fill(r)) break;
      any = true;
      const unsigned char* p = reinterpret_cast<const unsigned char*>(r.chunk.data()) + r.chunk_pos;
      const unsigned char* e = reinterpret_cast<const unsigned char*>(r.chunk.data()) + r.chunk_len;
      const unsigned char* s = p;
      while (s < e && !r.stops[*s]) ++s;
      if (track_high)
        for (const unsigned char* h = p; h < s; ++h) high |= *h;
      if (r.quote) r.qstate = after_run(r.qstate, p, s);
      append(r, reinterpret_cast<const char*>(p), static_cast<size_t>(s - p));
      r.chunk_pos += static_cast<size_t>(s - p);
      if (s == e) continue;
      const unsigned char c = *s;
      const unsigned char kind = r.stops[c];
      ++r.chunk_pos;
      if (kind == kStopQuote || kind == kStopDelim) {
        r.qstate = after_stop(r.qstate, kind);
        append_char(r, static_cast<char>(c));
        continue;
      }
      if (c == 0 || c == 26) continue;
      if (kind == kStopSemi) break;  // statement mode
      // A line end.
      if (r.statement_mode) {
        append_char(r, ' ');
        continue;
      }
      if (r.qstate == kQInside) {
        append_char(r, static_cast<char>(c));  // a line break inside quotes belongs to the field
        continue;
      }
      ended_by_cr = c == '\r';
      break;
    }
  } else {
    for (;;) {
      int c = next_char(r);
      if (c < 0) break;
      any = true;
      if (r.quote != 0) {
        const unsigned char kind = r.stops[static_cast<unsigned char>(c)];
        if (kind == kStopQuote || kind == kStopDelim)
          r.qstate = after_stop(r.qstate, kind);
        else if (kind == 0) {
          const unsigned char u = static_cast<unsigned char>(c);
          r.qstate = after_run(r.qstate, &u, &u + 1);
        }
      }
      if (c == 0 || c == 26) continue;
      if (c == '\n' || c == '\r') {
        if (r.statement_mode) {
          append_char(r, ' ');
          continue;
        }
        if (r.qstate == kQInside) {
          append_char(r, static_cast<char>(c));
          continue;
        }
        ended_by_cr = c == '\r';
        break;
      }
      if (r.statement_mode && c == ';') break;
      high |= static_cast<unsigned char>(c);
      append_char(r, static_cast<char>(c));
    }
  }

  if (!any) {
    --r.line_count;
    r.line[0] = 0;
    r.out = r.line.data();
    r.out_len = 0;
    return -1;
  }
  if (ended_by_cr) {
    if (r.unit_kind == 1) {
      int c = next_byte(r);
      if (c >= 0 && c != '\n') put_back(r);
    } else {
      // Units: look at the next character without losing it.
      int c = next_char(r);
      if (c >= 0 && c != '\n') --r.unit_pos;
    }
  }
  r.qstate = kQFieldStart;
  while (r.len > 0 && r.line[r.len - 1] == ' ') --r.len;
  append_char(r, 0);
  --r.len;
  r.non_ascii = (high & 0x80) != 0;
  r.out = r.line.data();
  r.out_len = r.len;

  convert_line(r);
  return 1;
}

void rdline_set_quote(RdLine& r, char quote) { rdline_set_join(r, quote, 0, 0); }

void rdline_set_join(RdLine& r, char quote, char delim, char delim2) {
  r.quote = quote;
  r.delim = delim;
  r.delim2 = delim2;
  r.qstate = kQFieldStart;
  set_stops(r);
}

void rdline_mark_data_start(RdLine& r) { r.data_start = position(r); }

int64_t rdline_tell(const RdLine& r) { return position(r); }

void rdline_seek(RdLine& r, int64_t pos) {
  if (r.src.seek) r.src.seek(r.src.ctx, pos);
  reset_read_ahead(r);
  r.qstate = kQFieldStart;
}

void rdline_rewind(RdLine& r) {
  if (r.src.seek) r.src.seek(r.src.ctx, r.data_start);
  reset_read_ahead(r);
  r.len = 0;
  r.line[0] = 0;
  r.out = r.line.data();
  r.out_len = 0;
  r.qstate = kQFieldStart;
  r.line_count = 0;
}

int rdline_change_source(RdLine& r, const ByteSource& src) {
  r.src = src;
  r.file = src.read == file_read ? static_cast<FILE*>(src.ctx) : nullptr;
  reset_read_ahead(r);
  r.qstate = kQFieldStart;
  r.line_count = 0;
  int rc = detect_source(r);
  r.data_start = position(r);
  return rc;
}

void rdline_close(RdLine* r) {
  if (!r) return;
  if (r->has_converter) close_slot(r->converter);
  delete r;
}

}  // namespace tabulon
