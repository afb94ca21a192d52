// Doubles out of SQLite whole (see sqlite_transport.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace odbc {

inline constexpr const char* kSqlitePackFunction = "tabulon_pack";
inline constexpr size_t kMaxPacked = 100;   // values in one packed column
inline constexpr size_t kPackedChars = 11;  // characters of one double
inline constexpr char kPackedNull = '!';
inline constexpr char kPackedNotNumber = '~';

inline char* pack_double(double x, char* out) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  for (size_t k = 0; k < kPackedChars; ++k, bits >>= 6) *out++ = static_cast<char>('0' + (bits & 63));
  return out;
}

// Reads one packed value at `p` (at most `end`): 1 with the double, 0 for NULL, -1 for text that
// is no number, -2 for a broken value. Moves `p` past it.
inline int unpack_double(const char*& p, const char* end, double& x) {
  if (p >= end) return -2;
  if (*p == kPackedNull) return ++p, 0;
  if (*p == kPackedNotNumber) return ++p, -1;
  if (end - p < static_cast<ptrdiff_t>(kPackedChars)) return -2;
  uint64_t bits = 0;
  for (size_t k = 0; k < kPackedChars; ++k) {
    const unsigned d = static_cast<unsigned char>(p[k]) - '0';
    if (d > 63) return -2;
    bits |= static_cast<uint64_t>(d) << (6 * k);
  }
  p += kPackedChars;
  std::memcpy(&x, &bits, sizeof x);
  return 1;
}

// This library's file, for the SQLite ODBC driver's LoadExt attribute; empty when it was
// built without the SQLite headers.
std::string sqlite_extension_path();

}  // namespace odbc
