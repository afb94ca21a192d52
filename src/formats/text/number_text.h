// Numbers in text cells: the cell parser of delimited input and the number texts of text output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// Characters the number parser treats specially (from the text settings).
struct NumberPunct {
  char decimal_point = '.';
  char thousands = ',';
  char currency = '$';
  bool extended_missing = false;  // ".", ".a".. ".z", "._" are missing codes
};

enum NumberFailure : uint8_t { kNumOk = 0, kNumNotNumber = 1, kNumForeign = 2 };

struct ParsedNumber {
  double value = 0;
  uint8_t missing = 0;   // 0 none, 1 system missing, 2..27 ".a".. ".z", 29 "._"
  uint8_t failure = kNumOk;
  int decimals = 0;      // digits after the decimal point
  int digits = 0;        // digits of the mantissa
};

// Parses one cell. A failure leaves missing = 1 and value 0.
ParsedNumber parse_number(const char* text, size_t len, const NumberPunct& punct);

// Longest text the number writers produce (sign, 15 digits, point, padding zeros, exponent).
constexpr size_t kNumberTextMax = 40;

// Default number text: the shortest text of at most 15 significant digits that gives the
// value back at that precision; plain notation unless the point lies far from the digits.
// Infinities and NaN give an empty text. Returns the length written (no NUL).
size_t format_number_default(double value, char* out);

// The default text by way of the shortest scientific digits only (no shortcuts for whole
// numbers or short decimals); the reference the shortcuts must agree with.
size_t format_number_digits(double value, char* out);

// printf-style "%.*g" and "%.*f" without the C locale. `out` needs room for the result
// (kNumberTextMax is enough for %g; %f needs up to 330 + precision).
size_t format_number_general(double value, int precision, char* out, size_t cap);
size_t format_number_fixed(double value, int precision, char* out, size_t cap);

}  // namespace tabulon
