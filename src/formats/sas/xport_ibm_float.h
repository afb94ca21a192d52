// IBM System/360 hexadecimal floating point, as SAS transport files (and SAS data sets
// written on mainframes) hold their numbers: a sign bit, a 7-bit base-16 exponent biased
// by 64 and a 56-bit fraction, big-endian.
#pragma once

#include <cstdint>

namespace tabulon {

// Limits of the IBM range: larger doubles are clamped to the largest value, doubles nearer to 0
// than the smallest become 0.
constexpr double kXportIbmSmallest = 5.397605346934028e-79;   // 16^-65
constexpr double kXportIbmLargest = 7.2370055773320565e+75;   // just below 16^63

// The double of 8 IBM bytes. A non-zero first byte followed by seven zero bytes (the SAS
// missing values) gives a not-a-number whose two high bytes are 0xFF and whose third byte is
// the complement of that first byte; all-zero bytes give 0.
double xport_ibm_to_double(const uint8_t ibm[8]);

enum XportIbmFit : uint8_t {
  kIbmExact,      // a double's 53-bit mantissa always fits the 56-bit fraction
  kIbmClamped,    // too large (or infinite): the largest IBM value of that sign
  kIbmUnderflow,  // too near to 0: written as 0
};

// The 8 IBM bytes of a double, and whether it had to be changed to fit the IBM range. A
// not-a-number gives the system-missing pattern ".".
XportIbmFit xport_double_to_ibm(double x, uint8_t ibm[8]);

// The missing code (1 ".", 2..27 ".A".."Z", 29 "._") of the first `width` bytes of a value
// when they hold a SAS missing value (0xFF counts as "."), else 0.
uint16_t xport_missing_code(const uint8_t* value, uint32_t width);

}  // namespace tabulon
