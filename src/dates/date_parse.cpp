// Parsing date and time texts with a compiled pattern.
#include <strings.h>

#include "dates/date_pattern.h"

namespace tabulon {

const char* const kDefaultParsePattern = "[%m[/][.]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]";

namespace {

constexpr int kMaxGroupDepth = 32;
constexpr int kMaxNumberDigits = 9;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80;  // UTF-8 bytes of local names
}

}  // namespace

void compile_parse_pattern(std::string_view pattern, ParsePattern* out) {
  out->ops.clear();
  out->valid = true;
  uint32_t open[kMaxGroupDepth];
  int depth = 0;
  const size_t n = pattern.size();
  size_t i = 0;
  while (i < n) {
    char c = pattern[i++];
    ParseOp op;
    if (is_blank(c)) continue;  // blanks in the pattern match nothing
    if (c == '[') {
      if (depth == kMaxGroupDepth) {
        out->valid = false;
        return;
      }
      open[depth++] = static_cast<uint32_t>(out->ops.size());
      op.kind = ParseOp::kGroupOpen;
    } else if (c == ']' && depth > 0) {
      out->ops[open[--depth]].close = static_cast<uint32_t>(out->ops.size());
      op.kind = ParseOp::kGroupClose;
    } else if (c != '%') {
      op.ch = c;  // a stray "]" is an ordinary character
    } else if (i < n && (pattern[i] == '%' || pattern[i] == '[' || pattern[i] == ']')) {
      op.ch = pattern[i++];
    } else {
      op.kind = ParseOp::kField;
      if (i < n && is_digit(pattern[i])) {
        unsigned width = 0;
        while (i < n && is_digit(pattern[i])) {
          width = width * 10 + static_cast<unsigned>(pattern[i++] - '0');
          if (width > 0xFFFF) width = 0xFFFF;
        }
        op.extent = 1;
        op.width = static_cast<uint16_t>(width);
      } else if (i < n && pattern[i] == ':') {
        ++i;
        op.extent = 2;
        op.stop = i < n ? pattern[i++] : '\0';
      } else if (i < n && pattern[i] == '$') {
        ++i;
        op.extent = 3;
      }
      op.ch = i < n ? pattern[i++] : '\0';  // no letter: the directive fails
    }
    out->ops.push_back(op);
  }
  if (depth != 0) out->valid = false;
}

namespace {

struct ParseState {
  int32_t month = 1, day = 1, year = 1960;
  int32_t hour = 0, minute = 0, second = 0, millisecond = 0;
  bool date_read = false, time_read = false;
};

struct Parser {
  const ParsePattern& pattern;
  const DateNames& names;
  int32_t cutoff;
  const char* text;
  size_t len;

  void skip_blanks(size_t& pos) const {
    while (pos < len && is_blank(text[pos])) ++pos;
  }

  static bool equal_nocase(const char* a, size_t n, const std::string& b) {
    return n == b.size() && n > 0 && strncasecmp(a, b.data(), n) == 0;
  }

  bool number(const char* f, size_t n, int32_t* value) const {
    if (n > kMaxNumberDigits) return false;
    int32_t v = 0;
    for (size_t k = 0; k < n; ++k) {
      if (!is_digit(f[k])) return false;
      v = v * 10 + (f[k] - '0');
    }
    *value = v;
    return true;
  }

  int32_t full_year(int32_t y) const {
    if (y >= 100) return y;
    if (cutoff >= 100) {
      int32_t century = cutoff / 100 * 100;
      return y >= cutoff % 100 ? century + y : century + 100 + y;
    }
    return y < cutoff ? 2000 + y : 1900 + y;
  }

  bool field(const ParseOp& op, size_t& pos, ParseState& st) const {
    const char letter = op.ch;
    const bool numeric = letter == 'H' || letter == 'M' || letter == 'S' || letter == 'N' || letter == 'n' ||
                         letter == 'd' || letter == 'Y' || letter == 'y';
    size_t end = pos;
    switch (op.extent) {
      case 1:
        if (len - pos < op.width) return false;
        end = pos + op.width;
        break;
      case 2:
        while (end < len && text[end] != op.stop) ++end;
        break;
      case 3: end = len; break;
      default:
        if (numeric) {
          while (end < len && is_digit(text[end])) ++end;
        } else if (letter == 'm') {
          if (end < len && is_digit(text[end])) {
            while (end < len && is_digit(text[end])) ++end;
          } else {
            while (end < len && is_letter(text[end])) ++end;
          }
        } else if (letter == 'c') {
          if (end < len) ++end;
        } else {
          while (end < len && !is_blank(text[end])) ++end;  // %Z, %p, %w: a word
        }
        break;
    }
    const char* f = text + pos;
    const size_t n = end - pos;
    if (letter == 'w') {  // skips a word and always succeeds
      pos = end;
      return true;
    }
    if (n == 0) return false;
    int32_t v = 0;
    switch (letter) {
      case 'H': if (!number(f, n, &st.hour)) return false; st.time_read = true; break;
      case 'M': if (!number(f, n, &st.minute)) return false; st.time_read = true; break;
      case 'S': if (!number(f, n, &st.second)) return false; st.time_read = true; break;
      case 'n': if (!number(f, n, &st.millisecond)) return false; st.time_read = true; break;
      case 'N': {
        // Digits past the third are below a millisecond: checked, then dropped.
        for (size_t k = 0; k < n; ++k)
          if (!is_digit(f[k])) return false;
        size_t used = n < 3 ? n : 3;
        number(f, used, &v);
        st.millisecond = used == 1 ? v * 100 : used == 2 ? v * 10 : v;
        st.time_read = true;
        break;
      }
      case 'd': if (!number(f, n, &st.day)) return false; st.date_read = true; break;
      case 'Y': if (!number(f, n, &st.year)) return false; st.date_read = true; break;
      case 'y':
        if (!number(f, n, &v)) return false;
        st.year = full_year(v);
        st.date_read = true;
        break;
      case 'm':
        if (is_digit(f[0])) {
          if (!number(f, n, &v) || v < 1 || v > 12) return false;
          st.month = v;
          break;
        }
        for (int k = 0; k < 12; ++k)
          if (equal_nocase(f, n, names.month_long[k])) { st.month = k + 1; goto matched; }
        for (int k = 0; k < 12; ++k)
          if (equal_nocase(f, n, names.month_short[k])) { st.month = k + 1; goto matched; }
        return false;
      matched:
        break;
      case 'p':
        if (equal_nocase(f, n, names.ampm[1])) {
          if (st.hour < 12) st.hour += 12;
        } else if (equal_nocase(f, n, names.ampm[0])) {
          if (st.hour == 12) st.hour = 0;
        } else {
          return false;
        }
        break;
      case 'c':
      case 'Z': break;
      default: return false;
    }
    pos = end;
    return true;
  }

  bool run(uint32_t begin, uint32_t end_op, size_t& pos, ParseState& st) const {
    for (uint32_t i = begin; i < end_op; ++i) {
      const ParseOp& op = pattern.ops[i];
      skip_blanks(pos);
      switch (op.kind) {
        case ParseOp::kGroupOpen: {
          ParseState trial = st;
          size_t at = pos;
          if (run(i + 1, op.close, at, trial)) {
            st = trial;
            pos = at;
          }
          i = op.close;
          break;
        }
        case ParseOp::kGroupClose: break;
        case ParseOp::kLiteral:
          if (pos >= len || text[pos] != op.ch) return false;
          ++pos;
          break;
        case ParseOp::kField:
          if (!field(op, pos, st)) return false;
          break;
      }
    }
    return true;
  }
};

}  // namespace

bool parse_date_text(const ParsePattern& pattern, const DateNames& names, int32_t century_cutoff,
                     const char* text, size_t len, DateParts* parts) {
  *parts = DateParts{};
  if (!pattern.valid || (!text && len)) return false;
  Parser parser{pattern, names, century_cutoff, text, len};
  ParseState st;
  size_t pos = 0;
  if (!parser.run(0, static_cast<uint32_t>(pattern.ops.size()), pos, st)) return false;
  parser.skip_blanks(pos);
  if (pos != len) return false;
  DateParts result;
  result.year = st.year;
  result.month = st.month - 1;
  result.mday = st.day;
  result.hour = st.hour;
  result.minute = st.minute;
  result.second = st.second;
  result.millisecond = st.millisecond;
  result.afternoon = st.hour >= 12 ? 1 : 0;
  result.flags = (st.date_read ? kPartsDate : 0) | (st.time_read ? kPartsTime : 0);
  *parts = result;
  return true;
}

}  // namespace tabulon
