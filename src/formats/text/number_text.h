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

// Longest text the number writers produce (sign, 17 digits, point, padding zeros, exponent).
constexpr size_t kNumberTextMax = 40;
// Widest default text in exponent form ("-1.2345678901234567e-308"): fixed columns of
// this width hold every double.
constexpr uint32_t kNumberFixedWidth = 24;

// Default number text: the shortest text that reads back as the same double; plain
// notation unless the point lies far from the digits. Infinities and NaN give an empty
// text. Returns the length written (no NUL).
size_t format_number_default(double value, char* out);

// The default text by way of the shortest scientific digits only (no shortcuts for whole
// numbers or short decimals); the reference the shortcuts must agree with.
size_t format_number_digits(double value, char* out);

// For a 4-byte float: the shortest text that reads back as the same float when the value
// is one (a float widened to double), else the default text.
size_t format_number_float(double value, char* out);

// A plain number text made to fit `width`: as it is when it fits, else the same digits in
// exponent form; 0 when even that is too wide. `out` may be `text`.
size_t format_number_fit(const char* text, size_t n, size_t width, char* out);

// printf-style "%.*g" and "%.*f" without the C locale. `out` needs room for the result
// (kNumberTextMax is enough for %g; %f needs up to 330 + precision).
size_t format_number_general(double value, int precision, char* out, size_t cap);
size_t format_number_fixed(double value, int precision, char* out, size_t cap);

}  // namespace tabulon
