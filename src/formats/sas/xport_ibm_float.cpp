#include "formats/sas/xport_ibm_float.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace tabulon {

double xport_ibm_to_double(const uint8_t ibm[8]) {
  uint64_t fraction = 0;
  for (int i = 1; i < 8; ++i) fraction = fraction << 8 | ibm[i];
  if (fraction == 0) {
    if (ibm[0] == 0) return 0.0;
    const uint64_t marker = uint64_t{0xFFFF} << 48 | uint64_t{static_cast<uint8_t>(~ibm[0])} << 40;
    return std::bit_cast<double>(marker);
  }
  // The one rounding happens here, when a fraction of more than 53 bits becomes a double.
  const int exponent = (ibm[0] & 0x7F) - 64;
  const double x = std::ldexp(static_cast<double>(fraction), 4 * exponent - 56);
  return (ibm[0] & 0x80) ? -x : x;
}

XportIbmFit xport_double_to_ibm(double x, uint8_t ibm[8]) {
  std::memset(ibm, 0, 8);
  if (std::isnan(x)) {
    ibm[0] = '.';
    return kIbmExact;
  }
  if (x == 0) return kIbmExact;
  const bool negative = std::signbit(x);
  double a = std::fabs(x);
  // The smallest IBM number would turn a tiny value into a made-up one: 0 is the nearer value.
  if (a < kXportIbmSmallest) return kIbmUnderflow;
  XportIbmFit fit = kIbmExact;
  if (a > kXportIbmLargest) {
    a = kXportIbmLargest;
    fit = kIbmClamped;
  }
  // a is normal here (the IBM range lies well inside the doubles'): a = m * 2^e2 with
  // m = mantissa / 2^53, 0.5 <= m < 1, read from its bits rather than through frexp.
  const uint64_t bits = std::bit_cast<uint64_t>(a);
  const int e2 = static_cast<int>((bits >> 52) & 0x7FF) - 1022;
  const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
  // a = (m / 2^shift) * 16^e16 with 1/16 <= m / 2^shift < 1.
  const int e16 = e2 >= -3 ? (e2 + 3) / 4 : -((-(e2 + 3) + 3) / 4);
  const int shift = 4 * e16 - e2;  // 0..3
  const uint64_t fraction = mantissa << (3 - shift);  // m * 2^(56 - shift), exactly
  ibm[0] = static_cast<uint8_t>((negative ? 0x80 : 0) | (e16 + 64));
  for (int i = 7; i >= 1; --i) ibm[i] = static_cast<uint8_t>(fraction >> (8 * (7 - i)));
  return fit;
}

uint16_t xport_missing_code(const uint8_t* value, uint32_t width) {
  if (width == 0) return 0;
  for (uint32_t i = 1; i < width; ++i)
    if (value[i] != 0) return 0;
  const uint8_t c = value[0];
  if (c == '.' || c == 0xFF) return 1;
  if (c >= 'A' && c <= 'Z') return static_cast<uint16_t>(c - 63);
  if (c == '_') return 29;
  return 0;
}

}  // namespace tabulon
