// Integers and doubles of an SPSS system file in its own byte order.
#pragma once

#include <cstdint>
#include <cstring>

namespace tabulon {

inline int32_t sav_i32(const uint8_t* p, bool swap) {
  uint32_t x;
  std::memcpy(&x, p, 4);
  if (swap) x = __builtin_bswap32(x);
  return static_cast<int32_t>(x);
}

inline int64_t sav_i64(const uint8_t* p, bool swap) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  if (swap) x = __builtin_bswap64(x);
  return static_cast<int64_t>(x);
}

inline double sav_f64(const uint8_t* p, bool swap) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  if (swap) x = __builtin_bswap64(x);
  double d;
  std::memcpy(&d, &x, 8);
  return d;
}

}  // namespace tabulon
