#include "formats/spss/por_base30.h"

#include <cfloat>
#include <cmath>

namespace tabulon {

namespace {

constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRST";
// Base-30 digits of a written number: ten suffice for most values, thirteen (30^13 > 2^64)
// for every double.
constexpr int kMinPrecision = 10;
constexpr int kMaxPrecision = 13;

// 30^k in extended precision (exact up to k = 13), by squaring.
long double pow30(int64_t k) {
  long double result = 1, base = 30;
  uint64_t n = static_cast<uint64_t>(k < 0 ? -k : k);
  while (n) {
    if (n & 1) result *= base;
    base *= base;
    n >>= 1;
  }
  return k < 0 ? 1 / result : result;
}

// A number with a fraction or beyond 30^9, rounded to `precision` base-30 digits.
size_t format_digits(double value, int precision, char* out) {
  size_t n = 0;
  long double x = value;
  if (x < 0) {
    out[n++] = '-';
    x = -x;
  }
  // The exponent from the logarithm, nudged past representation error, then checked.
  int64_t e = static_cast<int64_t>(std::floor(std::log(static_cast<double>(x)) / std::log(30.0) + 1e-15));
  long double m = x / pow30(e);
  while (m >= 30) m /= 30, ++e;
  while (m < 1) m *= 30, --e;
  m += 15.0L / pow30(precision);  // half a unit of the last digit
  if (m >= 30) m /= 30, ++e;
  int digits[kMaxPrecision];
  for (int& d : digits) {
    int whole = static_cast<int>(m);
    if (whole > 29) whole = 29;
    d = whole;
    m = (m - whole) * 30;
  }
  int count = precision;
  while (count > 1 && digits[count - 1] == 0) --count;

  int64_t exponent;  // written after the digits
  // Large and small values: one digit before the point and the exponent. (A point before
  // all digits followed by an exponent is refused by some readers.)
  if (e >= 9 || e < -1) {
    out[n++] = kDigits[digits[0]];
    // A point with no digit after it is refused by some readers.
    if (count > 1) out[n++] = '.';
    for (int i = 1; i < count; ++i) out[n++] = kDigits[digits[i]];
    exponent = e;
  } else if (e >= 0) {
    const int whole = static_cast<int>(e) + 1;
    for (int i = 0; i < count; ++i) {
      if (i == whole) out[n++] = '.';
      out[n++] = kDigits[digits[i]];
    }
    exponent = count > whole ? 0 : whole - count;
  } else {  // between 1/30 and 1: all digits after the point
    out[n++] = '.';
    for (int i = 0; i < count; ++i) out[n++] = kDigits[digits[i]];
    exponent = 0;
  }
  if (exponent == 0) {
    out[n++] = '/';
  } else {
    if (exponent > 0) out[n++] = '+';
    n += por_format_integer(exponent, out + n);
  }
  return n;
}

}  // namespace

size_t por_format_integer(int64_t value, char* out) {
  size_t n = 0;
  uint64_t u = static_cast<uint64_t>(value);
  if (value < 0) {
    out[n++] = '-';
    u = 0 - u;
  }
  char rev[16];
  size_t k = 0;
  do {
    rev[k++] = kDigits[u % 30];
    u /= 30;
  } while (u);
  while (k) out[n++] = rev[--k];
  out[n++] = '/';
  return n;
}

size_t por_format_number(double value, char* out) {
  if (value == 0) {
    out[0] = '0';
    out[1] = '/';
    return 2;
  }
  size_t n = 0;
  // Whole numbers below 30^9: their digits, trailing zeros turned into the exponent (what
  // the general path below gives them, without logarithms).
  if (std::fabs(value) < 19683000000000.0 && value == std::trunc(value)) {
    uint64_t u = static_cast<uint64_t>(std::fabs(value));
    if (value < 0) out[n++] = '-';
    int64_t zeros = 0;
    while (u % 30 == 0) u /= 30, ++zeros;
    n += por_format_integer(static_cast<int64_t>(u), out + n) - 1;
    if (zeros == 0) {
      out[n++] = '/';
    } else {
      out[n++] = '+';
      n += por_format_integer(zeros, out + n);
    }
    return n;
  }
  // The fewest digits that read back to the same double.
  for (int precision = kMinPrecision; precision < kMaxPrecision; ++precision) {
    const size_t len = format_digits(value, precision, out + n);
    PorNumber back;
    for (size_t i = n; i + 1 < n + len; ++i) back.feed(out[i]);
    if (back.value() == value) return n + len;
  }
  return n + format_digits(value, kMaxPrecision, out + n);
}

void PorNumber::feed(int c) {
  const int d = por_digit(c);
  if (in_exponent) {
    // Far beyond any double: kept bounded so that a damaged field cannot overflow.
    if (d >= 0 && exponent < 100000) exponent = exponent * 30 + d;
    return;
  }
  if (d >= 0) {
    mantissa = mantissa * 30 + d;
    if (point) ++fraction;
    any = true;
  } else if (c == '.') {
    point = true;
    any = true;
  } else if (c == '-' && !any && !negative) {
    negative = true;
  } else if (c == '+' || c == '-') {
    in_exponent = true;
    exponent_negative = c == '-';
  }
}

double PorNumber::value() const {
  int64_t k = (exponent_negative ? -exponent : exponent) - fraction;
  if (k > 100000) k = 100000;
  if (k < -100000) k = -100000;
  long double v = mantissa;
  if (v != 0 && k != 0) {
    if (k > 0)
      v = k > 2000 ? INFINITY : v * pow30(k);
    else
      v = k < -2000 ? 0 : v / pow30(-k);
  }
  // Rounded up past the largest double by the writer's last digit: the largest double.
  double x = static_cast<double>(v);
  if (std::isinf(x) && v < 1.01L * DBL_MAX) x = DBL_MAX;
  return negative ? -x : x;
}

}  // namespace tabulon
