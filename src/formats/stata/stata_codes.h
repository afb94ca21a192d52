// Stata data files (releases 102 to 119): type codes, missing-value patterns and byte-order helpers shared by
// the reader and the writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tabulon {

// One letter per field kind: byte, int, long, float, double, fixed string, strL.
enum StataKind : uint8_t {
  kStByte = 'b',
  kStInt = 'i',
  kStLong = 'l',
  kStFloat = 'f',
  kStDouble = 'd',
  kStString = 's',
  kStStrL = 'v',
};

// Date kinds of a numeric variable.
enum StataDateKind : uint8_t { kStNoDate = 0, kStMillis = 1, kStMillisLeap = 2, kStDays = 3 };

constexpr double kStataDay0 = 21916;  // day number of 1 January 1960
constexpr double kMsPerDayStata = 86400000.0;

// A field type decoded from the file.
struct StataType {
  uint8_t kind = 0;     // StataKind; 0 = the code fits no row
  uint32_t width = 0;   // bytes of the field (strings: the declared width)
};

// Type code of a release to field type.
inline StataType stata_decode_type(uint32_t release, uint32_t code) {
  StataType t;
  if (release >= 117) {
    switch (code) {
      case 65530: return {kStByte, 1};
      case 65529: return {kStInt, 2};
      case 65528: return {kStLong, 4};
      case 65527: return {kStFloat, 4};
      case 65526: return {kStDouble, 8};
      case 32768: return {kStStrL, 8};
      default:
        if (code <= 2045) return {kStString, code};
        return t;
    }
  }
  if (release >= 111) {
    switch (code) {
      case 251: return {kStByte, 1};
      case 252: return {kStInt, 2};
      case 253: return {kStLong, 4};
      case 254: return {kStFloat, 4};
      case 255: return {kStDouble, 8};
      default:
        if (code <= 244) return {kStString, code};
        return t;
    }
  }
  switch (code) {
    case 'b': return {kStByte, 1};
    case 'i': return {kStInt, 2};
    case 'l': return {kStLong, 4};
    case 'f': return {kStFloat, 4};
    case 'd': return {kStDouble, 8};
    default:
      if (code >= 128 && code <= 255) return {kStString, code - 127};
      return t;
  }
}

// Field type to the type code written for a release.
inline uint32_t stata_encode_type(uint32_t release, uint8_t kind, uint32_t width) {
  if (release >= 117) {
    switch (kind) {
      case kStByte: return 65530;
      case kStInt: return 65529;
      case kStLong: return 65528;
      case kStFloat: return 65527;
      case kStDouble: return 65526;
      case kStStrL: return 32768;
      default: return width;
    }
  }
  if (release >= 111) {
    switch (kind) {
      case kStByte: return 251;
      case kStInt: return 252;
      case kStLong: return 253;
      case kStFloat: return 254;
      case kStDouble: return 255;
      default: return width;
    }
  }
  switch (kind) {
    case kStByte:
    case kStInt:
    case kStLong:
    case kStFloat:
    case kStDouble: return kind;
    default: return 127 + width;
  }
}

// Field sizes of the tagged releases: 117 (Stata 13), 118 (Stata 14+, UTF-8, 64-bit N) and
// 119 (118 with a 32-bit K for more than 32,767 variables).
struct StataTaggedLayout {
  uint32_t k_bytes;         // <K>
  uint32_t n_bytes;         // <N>
  uint32_t label_len_bytes; // length before the data label
  uint32_t name_len;        // varnames, value-label names, table names
  uint32_t format_len;
  uint32_t label_len;       // variable labels
  uint32_t sort_bytes;      // one sortlist entry
  uint32_t strl_v_bytes;    // v of a strL reference in the data (the rest is o)
  uint32_t gso_o_bytes;     // o of a GSO block
};

inline StataTaggedLayout stata_tagged_layout(uint32_t release) {
  if (release == 117) return {2, 4, 1, 33, 49, 81, 2, 4, 4};
  if (release == 118) return {2, 8, 2, 129, 57, 321, 2, 2, 8};
  return {4, 8, 2, 129, 57, 321, 4, 3, 8};
}

// Missing-value thresholds of a release: a value at or above one is missing.
struct StataThresholds {
  int32_t byte_min;   // first missing byte value
  int32_t int_min;
  int32_t long_min;
  bool extended;      // release 113 and later: ".a" to ".z" are kept
  bool old_double;    // before release 108: doubles are missing from 2^333
};

inline StataThresholds stata_thresholds(uint32_t release) {
  if (release >= 113) return {101, 32741, 2147483621, true, false};
  return {127, 32767, 2147483647, false, release < 108};
}

constexpr uint32_t kFloatMissingBits = 0x7F000000u;            // 2^127
constexpr uint64_t kDoubleMissingBits = 0x7FE0000000000000ull;  // 2^1023
constexpr double kDoubleOldMissing = 1.7498005798264095e100;    // 2^333

// Missing code (0 present) of an integer field value.
// The difference first: before release 113 the threshold of a long is the largest int32, and
// value + 1 would overflow.
inline uint16_t stata_int_missing(int32_t value, int32_t threshold) {
  return value >= threshold ? static_cast<uint16_t>(static_cast<uint32_t>(value - threshold) + 1u) : 0;
}

// Missing code of a float given its bits.
inline uint16_t stata_float_missing(uint32_t bits, bool extended) {
  float f;
  std::memcpy(&f, &bits, 4);
  if (!(f >= 1.7014118346046923e38f) && !(f != f)) return 0;
  if (!extended) return 1;
  if ((bits & 0xFFFF00FFu) == kFloatMissingBits) {
    const uint32_t step = ((bits >> 8) & 0xFFu) >> 3;
    if (step < 27) return static_cast<uint16_t>(step + 1);
  }
  return 1;
}

// Missing code of a double given its bits.
inline uint16_t stata_double_missing(uint64_t bits, const StataThresholds& th) {
  double d;
  std::memcpy(&d, &bits, 8);
  if (th.old_double) return d >= kDoubleOldMissing ? 1 : 0;
  if (!(d >= 8.98846567431158e307)) return 0;
  if (!th.extended) return 1;
  if ((bits & 0xFFFF00FFFFFFFFFFull) == kDoubleMissingBits) {
    const uint32_t b5 = static_cast<uint32_t>((bits >> 40) & 0xFFu);
    return b5 < 27 ? static_cast<uint16_t>(b5 + 1) : 1;
  }
  return 0;  // above the threshold without the pattern: an ordinary value
}

// Codes the writer keeps: ".a" to ".z" from release 113, everything else is ".".
inline uint32_t stata_written_code(uint16_t code, bool extended) {
  return extended && code >= 2 && code <= 27 ? code : 1;
}

inline uint32_t stata_float_missing_bits(uint16_t code, bool extended) {
  return kFloatMissingBits | ((stata_written_code(code, extended) - 1) * 8u) << 8;
}
inline uint64_t stata_double_missing_bits(uint16_t code, bool extended) {
  return kDoubleMissingBits | static_cast<uint64_t>(stata_written_code(code, extended) - 1) << 40;
}

// Loads of a field in the file's byte order.
inline uint16_t st_u16(const uint8_t* p, bool swap) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return swap ? __builtin_bswap16(v) : v;
}
inline uint32_t st_u32(const uint8_t* p, bool swap) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return swap ? __builtin_bswap32(v) : v;
}
inline uint64_t st_u64(const uint8_t* p, bool swap) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return swap ? __builtin_bswap64(v) : v;
}

// Stores in little-endian order (the writer's only order).
inline void st_put16(uint8_t* p, uint16_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap16(v);
  std::memcpy(p, &v, 2);
}
inline void st_put32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void st_put64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// True when a file of this order must be swapped on this machine.
inline bool stata_needs_swap(bool file_big_endian) {
  return file_big_endian != (std::endian::native == std::endian::big);
}

}  // namespace tabulon
