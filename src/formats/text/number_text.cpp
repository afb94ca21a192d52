#include "formats/text/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <cstring>

namespace tabulon {

namespace {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

ParsedNumber failed(uint8_t kind) {
  ParsedNumber p;
  p.missing = 1;
  p.failure = kind;
  return p;
}

}  // namespace

ParsedNumber parse_number(const char* text, size_t len, const NumberPunct& punct) {
  if (punct.extended_missing) {
    size_t b = 0, e = len;
    while (b < e && is_blank(text[b])) ++b;
    while (e > b && is_blank(text[e - 1])) --e;
    if (e - b >= 1 && e - b <= 2 && text[b] == '.') {
      ParsedNumber p;
      if (e - b == 1) {
        p.missing = 1;
        return p;
      }
      char c = text[b + 1];
      if (c == '_') {
        p.missing = 29;
        return p;
      }
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c >= 'a' && c <= 'z') {
        p.missing = static_cast<uint8_t>(c - 95);
        return p;
      }
    }
  }

  // Fast path: plain decimal texts such as "-12", "3.25" (no blanks, marks or exponent).
  // With at most 15 digits the mantissa and the power of ten are exact doubles, so one
  // division gives the correctly rounded value.
  if (len > 0 && len <= 17) {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    size_t i = 0;
    bool neg = false;
    if (text[0] == '-') {
      neg = true;
      i = 1;
    }
    uint64_t mant = 0;
    int nd = 0, point = -1;
    for (; i < len; ++i) {
      const char c = text[i];
      if (c >= '0' && c <= '9') {
        mant = mant * 10 + static_cast<uint64_t>(c - '0');
        ++nd;
      } else if (c == punct.decimal_point && point < 0) {
        point = nd;
      } else {
        break;
      }
    }
    if (i == len && nd > 0 && nd <= 15) {
      ParsedNumber p;
      const int decimals = point >= 0 ? nd - point : 0;
      double v = static_cast<double>(mant);
      if (decimals) v /= kPow10[decimals];
      p.value = neg ? -v : v;
      p.decimals = decimals;
      p.digits = nd;
      return p;
    }
  }

  constexpr size_t kWork = 255;
  if (len > kWork) return failed(kNumForeign);
  char work[kWork + 1];
  size_t w = 0;
  int digits = 0, minus_count = 0, points = 0, exponents = 0;
  int point_at = -1;  // mantissa digits seen when the point came
  int mantissa_digits = 0;
  bool negative = false, minus_after_digit = false;
  int group = -1;  // digits since the last grouping mark; -1 before any

  for (size_t i = 0; i < len; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      work[w++] = c;
      ++digits;
      if (exponents == 0) {
        ++mantissa_digits;
        if (group >= 0 && point_at < 0) ++group;
      }
    } else if (c == punct.decimal_point || (c == '.' && punct.thousands != '.')) {
      if (group >= 0 && group != 3 && point_at < 0) return failed(kNumForeign);
      work[w++] = '.';
      ++points;
      if (point_at < 0) point_at = mantissa_digits;
    } else if (c == punct.thousands && c != ' ' && c != punct.currency) {
      // Grouping only between groups of three digits of the whole part: "1,234,567"
      // is a number, "1234,5" or "12,34" is not (it is some other notation).
      if (exponents || point_at >= 0 || mantissa_digits == 0) return failed(kNumForeign);
      if (group < 0 ? mantissa_digits > 3 : group != 3) return failed(kNumForeign);
      group = 0;
    } else if (c == punct.currency || c == punct.thousands || c == ' ' || c == '+') {
      // skipped
    } else if (c == '-') {
      if (w > 0 && (work[w - 1] == 'e')) {
        work[w++] = '-';
      } else {
        ++minus_count;
        if (digits == 0)
          negative = true;
        else
          minus_after_digit = true;
      }
    } else if (c == 'E' || c == 'e') {
      if (digits == 0) return failed(kNumNotNumber);
      char next = 0;
      for (size_t j = i + 1; j < len; ++j) {
        if (text[j] != ' ') {
          next = text[j];
          break;
        }
      }
      if (!(next == '+' || next == '-' || (next >= '0' && next <= '9'))) return failed(kNumNotNumber);
      if (group >= 0 && group != 3 && point_at < 0) return failed(kNumForeign);
      ++exponents;
      work[w++] = 'e';
    } else {
      return failed(kNumForeign);
    }
  }

  if (digits == 0 || minus_count > 1 || minus_after_digit || points > 1 || exponents > 1)
    return failed(kNumNotNumber);
  if (group >= 0 && group != 3 && point_at < 0 && exponents == 0) return failed(kNumForeign);
  if (exponents == 1 && points == 1) {
    // A point inside the exponent ("1e2.5") is not a number.
    const char* ep = static_cast<const char*>(std::memchr(work, 'e', w));
    if (std::memchr(ep, '.', static_cast<size_t>(work + w - ep))) return failed(kNumNotNumber);
  }

  ParsedNumber p;
  const char* first = work;
  const char* last = work + w;
  auto r = std::from_chars(first, last, p.value, std::chars_format::general);
  // What from_chars refuses here is an incomplete exponent ("1e-") or an out-of-range value.
  if (r.ec == std::errc::result_out_of_range && r.ptr == last) {
    // The 15-digit text of the largest doubles ("1.79769313486232e+308") rounds past them.
    long double wide = 0;
    auto rw = std::from_chars(first, last, wide, std::chars_format::general);
    if (rw.ec != std::errc() || wide < std::numeric_limits<double>::max() || wide > 1.79769313486232e308L)
      return failed(kNumNotNumber);  // underflow, or truly too large
    p.value = std::numeric_limits<double>::max();
  } else if (r.ec != std::errc() || r.ptr != last) {
    return failed(kNumNotNumber);
  }
  if (negative) p.value = -p.value;
  p.digits = mantissa_digits;
  p.decimals = point_at >= 0 ? mantissa_digits - point_at : 0;
  return p;
}

namespace {

// Sign, digits and point of `n` significant digits whose point lies `e` places after the
// first digit: plain notation unless the point lies far from the digits.
size_t place_digits(bool negative, const char* digits, int n, int e, char* out) {
  char* o = out;
  if (negative) *o++ = '-';
  if (e < -3 || e > n + 9) {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      std::memcpy(o, digits + 1, static_cast<size_t>(n - 1));
      o += n - 1;
    }
    *o++ = 'e';
    int x = e - 1;
    *o++ = x < 0 ? '-' : '+';
    if (x < 0) x = -x;
    if (x < 10) *o++ = '0';
    o = std::to_chars(o, o + 4, x).ptr;
  } else if (e > 0) {
    if (e >= n) {
      std::memcpy(o, digits, static_cast<size_t>(n));
      o += n;
      for (int i = n; i < e; ++i) *o++ = '0';
    } else {
      std::memcpy(o, digits, static_cast<size_t>(e));
      o += e;
      *o++ = '.';
      std::memcpy(o, digits + e, static_cast<size_t>(n - e));
      o += n - e;
    }
  } else {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -e; ++i) *o++ = '0';
    std::memcpy(o, digits, static_cast<size_t>(n));
    o += n;
  }
  return static_cast<size_t>(o - out);
}

// Values such as 3.25 or -0.125 are exactly the nearest double of their short decimal
// text: find the fewest decimals whose text reads back as the value. The scaled integer
// stays below 1e15, so it, the power of ten and the one division that reads it back are
// exact or correctly rounded, and with a spacing of 10^-k wider than the double spacing
// only one such text can exist. 0 when the value has no such text.
size_t format_few_decimals(double value, char* out) {
  static constexpr double kScale[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5};
  const double a = value < 0 ? -value : value;
  if (!(a >= 1e-3 && a < 1e9)) return 0;
  // The five candidates are tried side by side: their divisions need not wait on each other.
  uint64_t cand[6];
  bool exact[6];
  for (int k = 1; k <= 5; ++k) {
    cand[k] = static_cast<uint64_t>(a * kScale[k] + 0.5);
    exact[k] = static_cast<double>(cand[k]) / kScale[k] == a;
  }
  for (int k = 1; k <= 5; ++k) {
    if (!exact[k]) continue;
    uint64_t m = cand[k];
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + m % 10);
      m /= 10;
    } while (m);
    while (n <= k) digits[n++] = '0';  // at least one digit before the point
    char* o = out;
    if (value < 0) *o++ = '-';
    for (int i = n - 1; i >= k; --i) *o++ = digits[i];
    *o++ = '.';
    for (int i = k - 1; i >= 0; --i) *o++ = digits[i];
    return static_cast<size_t>(o - out);
  }
  return 0;
}

}  // namespace

size_t format_number_default(double value, char* out) {
  if (!std::isfinite(value)) return 0;
  if (value == 0) {
    out[0] = '0';
    return 1;
  }
  // Whole numbers below 1e10 are their digits (no exponent form can apply to them).
  if (value > -1e10 && value < 1e10 && value == static_cast<double>(static_cast<int64_t>(value)))
    return static_cast<size_t>(std::to_chars(out, out + kNumberTextMax, static_cast<int64_t>(value)).ptr - out);
  const size_t few = format_few_decimals(value, out);
  if (few) return few;
  return format_number_digits(value, out);
}

namespace {

// Places the digits of a scientific text ("-d.ddde+xx") from to_chars.
size_t place_scientific(const char* sci, const char* end, char* out) {
  const bool negative = sci[0] == '-';
  char digits[24];
  int n = 0;
  const char* p = sci + (negative ? 1 : 0);
  // "d.ddde+xx" or "de+xx": the first digit, then the run after the point in one copy.
  if (p < end && *p != 'e') digits[n++] = *p++;
  if (p < end && *p == '.') {
    const char* e = static_cast<const char*>(std::memchr(p + 1, 'e', static_cast<size_t>(end - p - 1)));
    if (!e) e = end;
    const size_t run = static_cast<size_t>(e - p - 1);
    if (run <= sizeof digits - 1) {
      std::memcpy(digits + n, p + 1, run);
      n += static_cast<int>(run);
      p = e;
    }
  }
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exp10 = 0;
  if (p < end) {
    // The exponent: a sign and two or three digits.
    const char* x = p + 1 + (p + 1 < end && (p[1] == '+' || p[1] == '-') ? 1 : 0);
    for (const char* q = x; q < end; ++q) exp10 = exp10 * 10 + (*q - '0');
    if (p + 1 < end && p[1] == '-') exp10 = -exp10;
  }
  return place_digits(negative, digits, n, exp10 + 1, out);
}

}  // namespace

size_t format_number_digits(double value, char* out) {
  if (!std::isfinite(value)) return 0;
  char sci[48];
  auto r = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  return place_scientific(sci, r.ptr, out);
}

size_t format_number_float(double value, char* out) {
  if (!std::isfinite(value)) return 0;
  const float f = static_cast<float>(value);
  if (static_cast<double>(f) != value) return format_number_default(value, out);
  if (value == 0) {
    out[0] = '0';
    return 1;
  }
  char sci[48];
  auto r = std::to_chars(sci, sci + sizeof sci, f, std::chars_format::scientific);
  return place_scientific(sci, r.ptr, out);
}

size_t format_number_fit(const char* text, size_t n, size_t width, char* out) {
  if (n <= width) {
    if (out != text) std::memmove(out, text, n);
    return n;
  }
  // The same digits in exponent form: never longer than 24 characters.
  const bool negative = text[0] == '-';
  char digits[40];
  int nd = 0, e = 0;
  bool point = false, leading = true;
  for (size_t i = negative ? 1 : 0; i < n; ++i) {
    const char c = text[i];
    if (c == '.') {
      point = true;
    } else if (c >= '0' && c <= '9') {
      if (leading && c == '0') {
        if (point) --e;
        continue;
      }
      leading = false;
      if (nd < 40) digits[nd++] = c;
      if (!point) ++e;
    } else {
      return 0;  // already in exponent form or not a plain number
    }
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;
  if (nd == 0) return 0;
  char tmp[kNumberTextMax];
  char* o = tmp;
  if (negative) *o++ = '-';
  *o++ = digits[0];
  if (nd > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, static_cast<size_t>(nd - 1));
    o += nd - 1;
  }
  *o++ = 'e';
  int x = e - 1;
  *o++ = x < 0 ? '-' : '+';
  if (x < 0) x = -x;
  if (x < 10) *o++ = '0';
  o = std::to_chars(o, tmp + sizeof tmp, x).ptr;
  const size_t len = static_cast<size_t>(o - tmp);
  if (len > width) return 0;
  std::memcpy(out, tmp, len);
  return len;
}

size_t format_number_general(double value, int precision, char* out, size_t cap) {
  if (precision < 1) precision = 1;
  auto r = std::to_chars(out, out + cap, value, std::chars_format::general, precision);
  return r.ec == std::errc() ? static_cast<size_t>(r.ptr - out) : 0;
}

size_t format_number_fixed(double value, int precision, char* out, size_t cap) {
  if (precision < 0) precision = 0;
  auto r = std::to_chars(out, out + cap, value, std::chars_format::fixed, precision);
  return r.ec == std::errc() ? static_cast<size_t>(r.ptr - out) : 0;
}

}  // namespace tabulon
