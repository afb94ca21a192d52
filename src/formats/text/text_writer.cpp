#include "formats/text/text_writer.h"
#include "engine/output_files.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "dates/date_state.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "engine/change_report.h"
#include "formats/text/number_text.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr size_t kHtmlLineMax = 80;

bool flush(TextWriter& w) {
  if (!w.out || w.buf.empty()) return true;
  const char* p = w.buf.data();
  size_t left = w.buf.size();
  while (left > 0) {
    const int32_t n = left > (1u << 30) ? (1 << 30) : static_cast<int32_t>(left);
    if (StreamWrite(w.out, p, n) != n) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  w.buf.clear();
  return left == 0 && !(w.out->error & STREAM_ERR_WRITE);
}

inline void put(TextWriter& w, const char* p, size_t n) { w.buf.insert(w.buf.end(), p, p + n); }
inline void put(TextWriter& w, char c) { w.buf.push_back(c); }
inline void put(TextWriter& w, const char* s) { put(w, s, std::strlen(s)); }
inline void put_eol(TextWriter& w) { put(w, w.eol, w.eol_len); }

// Text in the output encoding.
// `variable`: the 1-based dictionary position of the value's variable (0 for other text), named
// in the change report.
void converted(EnvRecord& env, TextWriter& w, const char* s, size_t n, const char** out, size_t* out_len,
               int32_t variable = 0) {
  *out = s;
  *out_len = n;
  if (!w.convert) return;
  bool ascii = true;
  for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
  ConverterSlot& slot = env.encoding.output[0];
  if (ascii && slot.ascii_identity) return;
  TranscodeCall call;
  call.variable = variable;
  int64_t len = transcode_string(env, slot, s, n, nullptr, 0, call);
  if (len >= 0) {
    *out = slot.out_buf.data();
    *out_len = static_cast<size_t>(len);
  }
}

// True when a field must be quoted to read back as one field.
// Without a quote character a double quote matters only where a field starts.
inline bool needs_quotes(const char* s, size_t n, char delim, char quote) {
  if (quote == 0 && n > 0 && s[0] == '"') return true;
  for (size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == delim || c == '\n' || c == '\r' || (quote != 0 && c == quote)) return true;
  }
  return false;
}

void put_quoted(TextWriter& w, const char* s, size_t n, char quote) {
  if (quote == 0) {
    // No quote asked for, but a field that holds the delimiter or a line break would
    // split: such a field is quoted with the double quote all the same.
    if (!needs_quotes(s, n, w.s.write_delimiter, 0)) {
      put(w, s, n);
      return;
    }
    quote = '"';
  }
  put(w, quote);
  const char* end = s + n;
  while (s < end) {
    const char* q = static_cast<const char*>(std::memchr(s, quote, static_cast<size_t>(end - s)));
    if (!q) {
      put(w, s, static_cast<size_t>(end - s));
      break;
    }
    put(w, s, static_cast<size_t>(q - s) + 1);
    put(w, quote);
    s = q + 1;
  }
  put(w, quote);
}

// Characters that would change the table: &, < and >.
void put_html(TextWriter& w, const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    switch (s[i]) {
      case '&': put(w, "&amp;", 5); break;
      case '<': put(w, "&lt;", 4); break;
      case '>': put(w, "&gt;", 4); break;
      default: put(w, s[i]);
    }
  }
}

int kind_of(int ttype) { return ttype == 7 ? kDateKindDate : ttype == 8 ? kDateKindTime : kDateKindDateTime; }

// ".fff" (trailing zeros dropped) for the part of a second a day number holds; 0 when none.
size_t fraction_text(int ms, char* out) {
  int digits = 3;
  while (ms % 10 == 0) {
    ms /= 10;
    --digits;
  }
  out[0] = '.';
  for (int i = digits; i >= 1; --i) {
    out[i] = static_cast<char>('0' + ms % 10);
    ms /= 10;
  }
  return static_cast<size_t>(digits) + 1;
}

size_t second_fraction(double day, char* out) {
  DateParts p;
  if (!day_to_parts(day, &p) || p.millisecond == 0) return 0;
  return fraction_text(p.millisecond, out);
}

size_t date_text(EnvRecord& env, const TextWriter& w, int ttype, double day, char* out, size_t cap) {
  if (ttype == 7 && w.date_fast) {
    ptrdiff_t n = format_simple_date(w.date_fmt[0], day, out, cap);
    if (n >= 0) return static_cast<size_t>(n);
  }
  const int kind = kind_of(ttype);
  if (ttype == 9 && w.datetime_fast) {
    int ms = 0;
    const ptrdiff_t n = format_simple_datetime(w.date_fmt[kind], day, out, cap, &ms);
    if (n > 0) {
      size_t len = static_cast<size_t>(n);
      if (w.date_fraction[kind] && len + 5 < cap && ms != 0) {
        len += fraction_text(ms, out + len);
        out[len] = 0;
      }
      return len;
    }
  }
  ptrdiff_t n = format_day_number(w.date_fmt[kind], env.dates.names, day, out, cap);
  if (n <= 0) return 0;
  size_t len = static_cast<size_t>(n);
  if (w.date_fraction[kind] && len + 5 < cap) {
    len += second_fraction(day, out + len);
    out[len] = 0;
  }
  return len;
}

void replace_point(char* p, size_t n, char point) {
  if (point == '.' || point == 0) return;
  for (size_t i = 0; i < n; ++i)
    if (p[i] == '.') p[i] = point;
}

// A value read from 4-byte storage prints as the shortest text of that float; readers also
// call 8-byte numbers T_FLOAT, and those need the digits of the double.
bool single_precision(const VarRecord& v) { return v.ttype == T_FLOAT && v.input_width == 4; }

// Number text of a field: precision, input decimals, or the shortest exact text.
size_t number_text(const TextWriter& w, const VarRecord& v, double x, char* out, size_t cap) {
  size_t n;
  if (w.s.write_precision > 0)
    n = format_number_general(x, w.s.write_precision, out, cap);
  else if (w.s.use_input_decimals && v.decimals >= 1 && v.decimals != kDecimalsNotGiven)
    n = format_number_fixed(x, v.decimals, out, cap);
  else if (single_precision(v))
    n = format_number_float(x, out);
  else
    n = format_number_default(x, out);
  replace_point(out, n, w.s.decimal_point);
  return n;
}

// ---- fixed layout ----

uint32_t fixed_width(const VarRecord& v, bool schema) {
  switch (v.ttype) {
    case 1: return schema || v.print_width < 255 ? v.print_width : 254;
    case 2: return 4;
    case 3: return 6;
    case 4: return 11;
    case 5:
    case 6: return kNumberFixedWidth;
    case 7: return 10;
    case 8: return 12;   // with milliseconds
    case 9: return 23;
    default: return 0;
  }
}

void fixed_layout(TextWriter& w, bool schema) {
  w.start.clear();
  w.width.clear();
  w.total = 0;
  for (VarRecord* v : w.vars) {
    const uint32_t wd = fixed_width(*v, schema);
    w.start.push_back(w.total);
    w.width.push_back(wd);
    w.total += wd;
  }
}

void escape_char(std::string& out, char c) {
  if (c == 0)
    out += "\\0";
  else if (c == '\t')
    out += "\\t";
  else if (c == 8)
    out += "\\b";
  else
    out += c;
}

// ---- records ----

// A record is built with plain stores into w.line, room being made once per field, and
// appended to the output in one piece.
struct LineOut {
  TextWriter& w;
  char* o;
  char* end;

  explicit LineOut(TextWriter& tw) : w(tw), o(tw.line.data()), end(tw.line.data() + tw.line.size()) {}
  size_t used() const { return static_cast<size_t>(o - w.line.data()); }
  void room(size_t n) {
    if (static_cast<size_t>(end - o) >= n) return;
    const size_t at = used();
    size_t cap = w.line.size() < 4096 ? 4096 : w.line.size();
    while (cap - at < n) cap *= 2;
    w.line.resize(cap);
    o = w.line.data() + at;
    end = w.line.data() + cap;
  }
  void put(const char* p, size_t n) {
    std::memcpy(o, p, n);
    o += n;
  }
};

// put_quoted into a record being built (room for 2n + 2 made by the caller).
void line_quoted(LineOut& l, const char* s, size_t n, char quote, char delim) {
  if (quote == 0) {
    if (!needs_quotes(s, n, delim, 0)) {
      l.put(s, n);
      return;
    }
    quote = '"';
  }
  *l.o++ = quote;
  const char* end = s + n;
  while (s < end) {
    const char* q = static_cast<const char*>(std::memchr(s, quote, static_cast<size_t>(end - s)));
    if (!q) {
      l.put(s, static_cast<size_t>(end - s));
      break;
    }
    l.put(s, static_cast<size_t>(q - s) + 1);
    *l.o++ = quote;
    s = q + 1;
  }
  *l.o++ = quote;
}

// put_plain into a record being built (room for 2n + 2 made by the caller).
void line_plain(LineOut& l, const char* s, size_t n, char delim, char quote) {
  if (needs_quotes(s, n, delim, quote))
    line_quoted(l, s, n, quote ? quote : '"', delim);
  else
    l.put(s, n);
}

void delimited_record(EnvRecord& env, TextWriter& w) {
  DictState& d = env.dict;
  char num[800];
  const char delim = w.s.write_delimiter;
  const char quote = w.s.write_quote;
  LineOut l(w);
  bool first = true;
  for (VarRecord* v : w.vars) {
    l.room(1 + sizeof num * 2 + 2);  // a delimiter and any number or date text, quoted
    if (!first) *l.o++ = delim;
    first = false;
    if (v->missing != 0) {
      if (w.s.na_write_set && !v->is_string()) {
        l.room(w.s.na_write.size());
        l.put(w.s.na_write.data(), w.s.na_write.size());
      } else if (w.s.extended_write) {
        *l.o++ = '.';
        const uint16_t c = v->missing;
        if (c >= 2 && c <= 28)
          *l.o++ = static_cast<char>(c + 95);
        else if (c >= 29)
          *l.o++ = '_';
      }
      continue;
    }
    switch (v->ttype) {
      case 1: {
        const char* s;
        size_t n;
        const char* raw = var_get_string(d, *v);
        converted(env, w, raw, std::strlen(raw), &s, &n, static_cast<int32_t>(v->writer_aux[3]));
        l.room(2 * n + 2);
        line_quoted(l, s, n, quote, delim);
        break;
      }
      case 7:
      case 8:
      case 9:
        line_plain(l, num, date_text(env, w, v->ttype, var_get_double(d, *v), num, 101), delim, quote);
        break;
      default: {
        if (w.quote_numbers) {
          line_plain(l, num, number_text(w, *v, var_get_double(d, *v), num, sizeof num), delim, quote);
        } else {
          // Room for sizeof num was made: the text goes straight into the record.
          l.o += number_text(w, *v, var_get_double(d, *v), l.o, sizeof num);
        }
      }
    }
  }
  l.room(w.eol_len);
  l.put(w.eol, w.eol_len);
  put(w, w.line.data(), l.used());
}

void fixed_record(EnvRecord& env, TextWriter& w) {
  DictState& d = env.dict;
  if (w.cut.size() < w.vars.size()) w.cut.resize(w.vars.size(), 0);
  const size_t base = w.buf.size();
  w.buf.resize(base + w.total, ' ');
  char num[128];
  for (size_t k = 0; k < w.vars.size(); ++k) {
    VarRecord& v = *w.vars[k];
    if (v.missing != 0) continue;
    const size_t width = w.width[k];
    char* field = w.buf.data() + base + w.start[k];
    size_t n = 0;
    bool right = true;
    const char* text = num;
    switch (v.ttype) {
      case 1: {
        const char* raw = var_get_string(d, v);
        converted(env, w, raw, std::strlen(raw), &text, &n, static_cast<int32_t>(v.writer_aux[3]));
        if (n > width) {
          n = utf8_cut(text, n, width);
          ++w.cut[k];
        }
        right = false;
        break;
      }
      case 2:
      case 3:
      case 4:
      case 5:
      case 6:
        n = number_text(w, v, var_get_double(d, v), num, sizeof num);
        break;
      case 7:
      case 8:
      case 9:
        n = date_text(env, w, v.ttype, var_get_double(d, v), num, sizeof num);
        if (n > width) {
          ++w.cut[k];
          n = width;
        }
        right = false;
        break;
      default:
        break;
    }
    if (right) {
      n = format_number_fit(num, n, width, num);
      if (n == 0) {  // does not fit even in exponent form: the field stays blank
        ++w.cut[k];
        continue;
      }
      std::memcpy(field + width - n, text, n);
    } else {
      std::memcpy(field, text, n);
      // A line break would end the record early: fixed text has no way to quote one.
      for (size_t i = 0; i < n; ++i)
        if (field[i] == '\n' || field[i] == '\r') field[i] = ' ';
    }
  }
  put_eol(w);
}

void html_cell_break(TextWriter& w) {
  if (w.html_column > kHtmlLineMax) {
    put(w, "\n     ", 6);
    w.html_column = 6;
  }
}

// Appends and keeps the line-length counter.
void html_put(TextWriter& w, const char* s, size_t n) {
  put(w, s, n);
  const void* nl = std::memchr(s, '\n', n);
  if (nl) {
    const char* last = s + n;
    const char* p = static_cast<const char*>(nl);
    for (const char* q = p; q < last; ++q)
      if (*q == '\n') p = q;
    w.html_column = static_cast<size_t>(last - p - 1);
  } else {
    w.html_column += n;
  }
}
void html_put(TextWriter& w, const char* s) { html_put(w, s, std::strlen(s)); }

void html_escaped(EnvRecord& env, TextWriter& w, const char* raw, size_t len) {
  const char* s;
  size_t n;
  converted(env, w, raw, len, &s, &n);
  const size_t before = w.buf.size();
  put_html(w, s, n);
  w.html_column += w.buf.size() - before;
}

void html_head(EnvRecord& env, TextWriter& w) {
  html_put(w, "<HTML>\n");
  html_put(w, "<TABLE BORDER=4 CELLPADDING=5 CELLSPACING=1>\n");
  if (w.s.write_vnames) {
    html_put(w, "<TR ALIGN=RIGHT> ");
    for (VarRecord* v : w.vars) {
      html_cell_break(w);
      html_put(w, v->is_string() ? "<TH ALIGN=LEFT> " : "<TH> ");
      html_escaped(env, w, v->name.data(), v->name.size());
    }
    html_put(w, "<BR></TD>\n");
  }
  w.started = true;
}

void html_record(EnvRecord& env, TextWriter& w) {
  if (!w.started) html_head(env, w);
  DictState& d = env.dict;
  char num[128];
  html_put(w, "<TR ALIGN=RIGHT> ");
  for (VarRecord* v : w.vars) {
    html_cell_break(w);
    html_put(w, "<TD");
    if (v->missing != 0) {
      html_put(w, "> &nbsp; ");
      continue;
    }
    switch (v->ttype) {
      case 1: {
        const char* s = var_get_string(d, *v);
        if (*s == 0) {
          html_put(w, "> &nbsp;");
        } else {
          html_put(w, " ALIGN=LEFT> ");
          html_escaped(env, w, s, std::strlen(s));
        }
        break;
      }
      case 7:
      case 8:
      case 9: {
        html_put(w, "> ");
        size_t n = date_text(env, w, v->ttype, var_get_double(d, *v), num, 101);
        html_escaped(env, w, num, n);
        html_put(w, " ");
        break;
      }
      default: {
        html_put(w, "> ");
        html_put(w, num, single_precision(*v) ? format_number_float(var_get_double(d, *v), num)
                                        : format_number_default(var_get_double(d, *v), num));
      }
    }
  }
  html_put(w, "<BR></TD>\n");
}

void names_line(EnvRecord& env, TextWriter& w) {
  bool first = true;
  for (VarRecord* v : w.vars) {
    if (!first) put(w, w.s.write_delimiter);
    first = false;
    const char* s;
    size_t n;
    converted(env, w, v->name.data(), v->name.size(), &s, &n);
    put_quoted(w, s, n, w.s.write_quote);
  }
  put_eol(w);
}

inline char* put_number(char* o, int v, int width) {
  // Days, months and years of dates first: no loop for them.
  if (v >= 0 && v < 100 && width <= 2) {
    if (v >= 10 || width == 2) *o++ = static_cast<char>('0' + v / 10);
    *o++ = static_cast<char>('0' + v % 10);
    return o;
  }
  if (v >= 1000 && v < 10000 && width <= 4) {
    o[0] = static_cast<char>('0' + v / 1000);
    o[1] = static_cast<char>('0' + v / 100 % 10);
    o[2] = static_cast<char>('0' + v / 10 % 10);
    o[3] = static_cast<char>('0' + v % 10);
    return o + 4;
  }
  char d[12];
  int k = 0;
  do {
    d[k++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  while (k < width) d[k++] = '0';
  while (k) *o++ = d[--k];
  return o;
}

}  // namespace

bool simple_date_pattern(const FormatPattern& pattern) {
  for (const FormatOp& op : pattern.ops)
    if (op.letter != 0 && op.letter != 'm' && op.letter != 'd' && op.letter != 'Y' && op.letter != 'y' &&
        op.letter != 'x')
      return false;
  return true;
}

namespace {

// A day's civil date and time of day, as the simple patterns show them.
struct CivilParts {
  int y, m, d;
  int hour = 0, minute = 0, second = 0;
  bool with_time = false;  // hours, minutes and seconds may be shown
};

// The civil date of a day number from 1 January 1900 to 31 December 9999 (days since
// 1 March 0000 in 400-year eras). Positive in this range: unsigned 32-bit arithmetic, whose
// divisions by constants are the cheapest.
CivilParts civil_date(int64_t day) {
  const uint32_t z = static_cast<uint32_t>(day - 25569 + 719468);
  const uint32_t era = z / 146097;
  const uint32_t doe = z - era * 146097;
  const uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint32_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d};
}

// Writes the parts of a simple pattern from o, up to end: null when a part might pass it (a
// literal by its length, a number by number_room), and *bad set as well when the pattern
// holds a part it cannot show (a time of day, unless `with_time`, or any other letter).
char* put_date_parts(const FormatPattern& pattern, const CivilParts& p, char* o, const char* end,
                     size_t number_room, bool* bad) {
  const char* text = pattern.text.data();
  for (const FormatOp& op : pattern.ops) {
    if (o + (op.letter == 0 ? op.length : number_room) > end) return nullptr;
    const int w = op.zero ? 2 : 1;
    switch (op.letter) {
      case 0:
        std::memcpy(o, text + op.offset, op.length);
        o += op.length;
        break;
      case 'm': o = put_number(o, p.m, w); break;
      case 'd': o = put_number(o, p.d, w); break;
      case 'Y': o = put_number(o, p.y, 4); break;
      case 'y': o = put_number(o, p.y % 100, 2); break;
      case 'x':
        o = put_number(o, p.m, 2);
        *o++ = '/';
        o = put_number(o, p.d, 2);
        *o++ = '/';
        o = put_number(o, p.y, 4);
        break;
      case 'H':
      case 'M':
      case 'S':
        if (p.with_time) {
          o = put_number(o, op.letter == 'H' ? p.hour : op.letter == 'M' ? p.minute : p.second, w);
          break;
        }
        [[fallthrough]];
      default:
        *bad = true;
        return nullptr;
    }
  }
  return o;
}

}  // namespace

ptrdiff_t format_simple_date(const FormatPattern& pattern, double day, char* out, size_t cap) {
  // Whole days from 1 January 1900 to 31 December 9999.
  if (!(day >= 2 && day <= 2958465) || day != static_cast<double>(static_cast<int64_t>(day))) return -1;
  const CivilParts p = civil_date(static_cast<int64_t>(day));
  const char* text = pattern.text.data();
  // Month, day and year between two one-character literals ("%m/%d/%Y"): the usual shape.
  const std::vector<FormatOp>& ops = pattern.ops;
  if (cap >= 12 && ops.size() == 5 && ops[0].letter == 'm' && ops[1].letter == 0 && ops[1].length == 1 &&
      ops[2].letter == 'd' && ops[3].letter == 0 && ops[3].length == 1 && ops[4].letter == 'Y') {
    char* o = put_number(out, p.m, ops[0].zero ? 2 : 1);
    *o++ = text[ops[1].offset];
    o = put_number(o, p.d, ops[2].zero ? 2 : 1);
    *o++ = text[ops[3].offset];
    o = put_number(o, p.y, 4);
    *o = 0;
    return static_cast<ptrdiff_t>(o - out);
  }
  // Straight into out when every part surely fits (the text is then the one the bounded
  // buffer below gives); else through that buffer.
  bool bad = false;
  if (cap > 0) {
    const size_t limit = cap - 1 < 224 ? cap - 1 : 224;
    if (char* o = put_date_parts(pattern, p, out, out + limit, 12, &bad)) {
      *o = 0;
      return static_cast<ptrdiff_t>(o - out);
    }
    if (bad) return -1;
  }
  char buf[256];
  char* o = put_date_parts(pattern, p, buf, buf + sizeof buf - 32, 0, &bad);
  if (!o) return -1;
  size_t n = static_cast<size_t>(o - buf);
  if (cap == 0) return 0;
  if (n > cap - 1) n = cap - 1;
  std::memcpy(out, buf, n);
  out[n] = 0;
  return static_cast<ptrdiff_t>(n);
}

bool simple_datetime_pattern(const FormatPattern& pattern) {
  if (pattern.duration) return false;
  for (const FormatOp& op : pattern.ops)
    if (op.letter != 0 && op.letter != 'm' && op.letter != 'd' && op.letter != 'Y' && op.letter != 'y' &&
        op.letter != 'x' && op.letter != 'H' && op.letter != 'M' && op.letter != 'S')
      return false;
  return true;
}

ptrdiff_t format_simple_datetime(const FormatPattern& pattern, double day, char* out, size_t cap, int* millisecond) {
  // From 1 January 1900 to the day before 31 December 9999, so that a time rounding up
  // to midnight still lands on a day of that range.
  if (!(day >= 2 && day < 2958465)) return -1;
  int64_t whole = static_cast<int64_t>(day);
  const double fraction = day - static_cast<double>(whole);
  int64_t ms = 0;
  if (fraction != 0) {
    // As day_to_parts reads the time of day.
    ms = static_cast<int64_t>(std::floor((fraction + kTimeNudge) * 86400000.0));
    if (ms >= 86400000) {
      ms -= 86400000;
      ++whole;
    }
  }
  CivilParts p = civil_date(whole);
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.with_time = true;
  if (cap == 0) return -1;
  // Every part must surely fit: else the general code, which cuts, writes it.
  bool bad = false;
  char* o = put_date_parts(pattern, p, out, out + cap - 1, 12, &bad);
  if (!o) return -1;
  *o = 0;
  *millisecond = static_cast<int>(ms % 1000);
  return static_cast<ptrdiff_t>(o - out);
}

std::string schema_path_for(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  std::string base = (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? path.substr(0, dot) : path;
  return base + ".SCH";
}

std::string schema_text(EnvRecord& env, TextWriter& w, const std::string& path) {
  const bool fixed = w.format == 19;
  const size_t slash = path.find_last_of('/');
  std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string::npos) base.resize(dot);

  std::string t;
  t += "[" + base + "]\n";
  t += fixed ? "Filetype=Fixed\n" : "Filetype=Varying\n";
  if (!fixed) {
    // The characters the data was written with, so that the file reads back as written.
    t += "Delimiter=";
    escape_char(t, w.s.write_quote);
    t += "\nSeparator=";
    escape_char(t, w.s.write_delimiter);
    t += "\nNames=";
    t += w.s.write_vnames ? "in-file" : "not-in-file";
    t += "\n";
  }
  if (w.s.legacy_dates) {
    static const char* const kOrders[] = {"MDY", "DMY", "YMD"};
    const int o = w.s.date_order >= 1 && w.s.date_order <= 3 ? w.s.date_order - 1 : 0;
    t += "Date-Order=";
    t += kOrders[o];
    t += "\nDate-Punctuation=";
    t += w.s.date_punct;
    t += "\nDec-Point=";
    t += w.s.decimal_point;
    t += "\n";
  } else if (w.preset_layout) {
    // The patterns the data is written with, in their reading form.
    static const char* const kKeys[3] = {"Date-Format=", "Time-Format=", "DateTime-Format="};
    for (int k = 0; k < 3; ++k) {
      t += kKeys[k];
      for (size_t i = 0; i < w.preset_patterns[k].size(); ++i) {
        t += w.preset_patterns[k][i];
        if (w.preset_patterns[k][i] == '%' && i + 1 < w.preset_patterns[k].size() && w.preset_patterns[k][i + 1] == '0')
          ++i;
      }
      t += "\n";
    }
  } else {
    const char* df = date_pattern_text(env, kPatternsRead, kDateKindDate);
    const char* tf = date_pattern_text(env, kPatternsRead, kDateKindTime);
    const char* dtf = date_pattern_text(env, kPatternsRead, kDateKindDateTime);
    t += "Date-Format=";
    t += df ? df : "%m/%d/%y";
    t += "\nTime-Format=";
    t += tf ? tf : "%H:%M:%S";
    t += "\nDateTime-Format=";
    t += dtf ? dtf : "%m/%d/%y %H:%M:%S";
    t += "\n";
  }
  t += "CharSet=ascii\n";

  const bool preset = w.preset_layout && fixed && w.width.size() == w.vars.size();
  if (!preset) {
    w.start.clear();
    w.width.clear();
  }
  uint32_t column = 0;
  char line[600];
  for (size_t k = 0; k < w.vars.size(); ++k) {
    const VarRecord& v = *w.vars[k];
    const char* word;
    int decimals = 0;
    switch (v.ttype) {
      case 1: word = "Char"; break;
      case 7: word = "Date"; break;
      case 8: word = "Time"; break;
      case 9: word = "Timestamp"; break;
      default:
        word = "Float";
        if (v.ttype >= 5 && v.decimals != kDecimalsNotGiven) decimals = v.decimals;
    }
    const uint32_t width = preset ? w.width[k] : fixed_width(v, true);
    int n = std::snprintf(line, sizeof line, "Field%zu=%s,%s,%u,%d", k + 1, v.name.c_str(), word, width, decimals);
    t.append(line, n > 0 && static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    if (fixed) t += "," + std::to_string(column);
    t += "\n";
    if (!preset) {
      w.start.push_back(column);
      w.width.push_back(width);
    }
    column += width;
  }
  w.total = column;
  return t;
}

int32_t text_writer_open(EnvRecord& env, TextWriter& w, int32_t format, Stream* out, const std::string& path) {
  w.s = text_settings_from_env(env);
  w.format = format;
  w.out = out;
  w.buf.clear();
  w.buf.reserve(kFlushAt + 65536);
  w.started = false;
  w.html_column = 0;
  w.eol = text_line_end(w.s.line_end);
  w.eol_len = std::strlen(w.eol);
  // A ".tsv" output is tab-separated unless another delimiter than the default was set.
  if (format == 18 && w.s.write_delimiter == ',' && path.size() > 4 &&
      strcasecmp(path.c_str() + path.size() - 4, ".tsv") == 0)
    w.s.write_delimiter = '\t';
  w.quote_numbers = w.s.decimal_point == w.s.write_delimiter;
  const ConverterSlot& slot = env.encoding.output[0];
  w.convert = slot.has_descriptor() && !(slot.flags & (kSlotNoConversion | kSlotPassThrough));

  w.vars.clear();
  DictState& d = env.dict;
  for (int32_t i = 0; i < dict_count(d); ++i) {
    VarRecord* v = dict_var(d, i);
    v->writer_aux[3] = i + 1;  // names the variable where its text changes
    if (v->selected) w.vars.push_back(v);
  }

  // Date patterns: the environment's writing patterns, else the text defaults.
  static const char* const kTextDefaults[3] = {"%m/%02d/%Y", "%0H:%0M:%0S", "%m/%02d/%Y %0H:%0M:%0S"};
  static const char* const kDefaultWrite[3] = {"%m/%d/%Y", "%0H:%0M:%0S", "%m/%d/%Y %0H:%0M:%0S"};
  for (int kind = 0; kind < 3; ++kind) {
    static const char* const kIso[3] = {"%Y-%0m-%0d", "%0H:%0M:%0S", "%Y-%0m-%0dT%0H:%0M:%0S"};
    const char* p = w.preset_layout                   ? w.preset_patterns[kind].c_str()
                    : env.transfer.output_code == 66 ? kIso[kind]
                                                     : date_pattern_text(env, kPatternsWrite, kind);
    // The default patterns (none set, or the option defaults) stop at whole seconds; a
    // value with a part of a second gets it written after them.
    w.date_fraction[kind] = kind != kDateKindDate && (!p || std::strcmp(p, kDefaultWrite[kind]) == 0 ||
                                                       std::strcmp(p, kTextDefaults[kind]) == 0);
    if (w.preset_layout) w.date_fraction[kind] = false;
    if (!p && format != 19) p = kind == 0 && !w.s.write_century ? "%m/%02d/%y" : kTextDefaults[kind];
    if (p)
      compile_format_pattern(p, &w.date_fmt[kind], kind == kDateKindTime);
    else
      w.date_fmt[kind] = env.dates.write[kind];
  }

  w.date_fast = simple_date_pattern(w.date_fmt[0]);
  w.datetime_fast = simple_datetime_pattern(w.date_fmt[kDateKindDateTime]);
  w.cut.assign(w.vars.size(), 0);
  if (format == 19 && !w.preset_layout) fixed_layout(w, false);
  if ((format == 18 || format == 19) && w.s.write_schema && !path.empty()) {
    std::string text = schema_text(env, w, path);
    // Beside standard output or a device there is no place for a description.
    const std::string sch = engine_side_file(env, schema_path_for(path));
    if (sch.empty()) return 0;
    FILE* f = std::fopen(sch.c_str(), "wb");
    if (!f) return -1;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) return -1;
  }
  return 0;
}

int32_t text_writer_record(EnvRecord& env, TextWriter& w) {
  switch (w.format) {
    case 18:
      if (!w.started) {
        // Program-file outputs describe the names elsewhere.
        const int32_t code = env.transfer.output_code;
        if (w.s.write_vnames && code != 55 && code != 66) names_line(env, w);
        w.started = true;
      }
      delimited_record(env, w);
      break;
    case 19:
      fixed_record(env, w);
      break;
    default:
      html_record(env, w);
  }
  if (w.buf.size() >= kFlushAt && !flush(w)) return -1;
  return 0;
}

int32_t text_writer_close(EnvRecord& env, TextWriter& w) {
  for (size_t k = 0; k < w.cut.size() && k < w.vars.size(); ++k)
    if (w.cut[k]) note_change(env, w.vars[k]->is_string() ? ChangeKind::StringCut : ChangeKind::ValueOutOfRange,
                              w.vars[k]->name, w.cut[k]);
  if (w.format == 31) {
    if (!w.started) html_head(env, w);
    html_put(w, "</TABLE>\n</HTML>\n");
  } else if (w.format == 18 && !w.started && w.s.write_vnames && env.transfer.output_code != 55 &&
             env.transfer.output_code != 66) {
    names_line(env, w);  // no records: the names line alone
    w.started = true;
  }
  return flush(w) ? 0 : -1;
}

}  // namespace tabulon
