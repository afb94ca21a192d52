// Byte-order aware reads of the SAS data-set reader.
#pragma once

#include <cstdint>
#include <cstring>

namespace tabulon {

struct SasBytes {
  bool swap;  // big-endian file
  int wsize;  // 4 or 8

  uint16_t u16(const uint8_t* p) const {
    return swap ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
  uint32_t u32(const uint8_t* p) const {
    return swap ? (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]
                : (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
  }
  // A word as a 32-bit value: of a 64-bit slot, its low half.
  uint32_t word(const uint8_t* p) const { return wsize == 8 ? (swap ? u32(p + 4) : u32(p)) : u32(p); }
};

}  // namespace tabulon
