// Base-30 fields of SPSS portable files: integers ("-1A/"), numbers with a fraction and a
// base-30 exponent ("1.F/", "1+2/", ".F-1/"), and the parser that reads them back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// Longest text por_format_number or por_format_integer writes (with the closing "/").
constexpr size_t kPorFieldMax = 40;

// Writes an integer field into out (no NUL); returns its length.
size_t por_format_integer(int64_t value, char* out);

// Writes a number field: ten base-30 digits rounded, trailing zeros dropped, "." and the
// exponent placed as SPSS readers expect. Returns its length. Not for NaN or infinities.
size_t por_format_number(double value, char* out);

// Parse state of one number field, fed one character at a time after the leading blanks.
struct PorNumber {
  long double mantissa = 0;  // every digit, integer and fraction
  int32_t fraction = 0;      // digits after "."
  int64_t exponent = 0;
  bool negative = false;
  bool point = false;
  bool in_exponent = false;
  bool exponent_negative = false;
  bool any = false;          // a character other than the sign was seen

  void reset() { *this = PorNumber(); }
  // Takes one character of the field before its "/".
  void feed(int c);
  double value() const;
};

// Value of a base-30 digit character, or -1.
inline int por_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'T') return c - 'A' + 10;
  return -1;
}

}  // namespace tabulon
