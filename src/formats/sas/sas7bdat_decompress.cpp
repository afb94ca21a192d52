// Row decompressors of SAS data sets: "SASYZCRL" (run-length) and "SASYZCR2" (RDC, run-length
// plus back references). Both write into a zero-filled row of fixed length and stop at the first
// command that would leave the row or read past the compressed bytes.
#include <cstring>

#include "formats/sas/sas7bdat_reader.h"

namespace tabulon {

int32_t sas7bdat_rle(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  size_t i = 0, o = 0;
  while (i < in_len) {
    const uint8_t c = in[i++];
    const uint8_t hi = c & 0xF0;
    size_t n;
    if (c < 0x40) {  // long literal
      if (i >= in_len) return kSasErrRleInput;
      n = (static_cast<size_t>(c & 0x3F) << 8) + in[i++] + 64;
      if (n > in_len - i) return kSasErrRleInput;
      if (n > out_len - o) return kSasErrRleCopyLong;
      std::memcpy(out + o, in + i, n);
      i += n;
      o += n;
      continue;
    }
    if (c < 0x80) {  // long fills
      if (i >= in_len) return kSasErrRleInput;
      uint8_t fill;
      if (hi == 0x40) {
        n = (static_cast<size_t>(c & 0x0F) << 8) + in[i++] + 18;
        if (i >= in_len) return kSasErrRleInput;
        fill = in[i++];
      } else {
        n = (static_cast<size_t>(c & 0x0F) << 8) + in[i++] + 17;
        fill = hi == 0x50 ? 0x40 : hi == 0x60 ? 0x20 : 0x00;
      }
      if (n > out_len - o) return kSasErrRleFillLong;
      std::memset(out + o, fill, n);
      o += n;
      continue;
    }
    if (c < 0xC0) {  // short literal
      n = static_cast<size_t>(c & 0x3F) + 1;
      if (n > in_len - i) return kSasErrRleInput;
      if (n > out_len - o) return kSasErrRleCopy;
      std::memcpy(out + o, in + i, n);
      i += n;
      o += n;
      continue;
    }
    if (hi == 0xC0) {
      n = static_cast<size_t>(c & 0x0F) + 3;
      if (i >= in_len) return kSasErrRleInput;
      const uint8_t fill = in[i++];
      if (n > out_len - o) return kSasErrRleFill;
      std::memset(out + o, fill, n);
      o += n;
      continue;
    }
    n = static_cast<size_t>(c & 0x0F) + 2;
    const uint8_t fill = hi == 0xD0 ? 0x40 : hi == 0xE0 ? 0x20 : 0x00;
    if (n > out_len - o) return kSasErrRleFillConst;
    std::memset(out + o, fill, n);
    o += n;
  }
  return 0;
}

int32_t sas7bdat_rdc(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len) {
  size_t i = 0, o = 0;
  uint32_t control = 0;
  int bits = 0;
  while (i < in_len) {
    if (bits == 0) {
      if (in_len - i < 2) return kSasErrRdcInput;
      control = (static_cast<uint32_t>(in[i]) << 8) | in[i + 1];
      i += 2;
      bits = 16;
      if (i >= in_len) break;
    }
    const bool command = control & 0x8000;
    control <<= 1;
    --bits;
    if (!command) {
      if (o >= out_len) return kSasErrRdcShortFill;
      out[o++] = in[i++];
      continue;
    }
    const uint8_t c = in[i++];
    const uint32_t cmd = c >> 4, nib = c & 0x0F;
    if (cmd == 0) {
      if (i >= in_len) return kSasErrRdcInput;
      const size_t n = nib + 3;
      if (n > out_len - o) return kSasErrRdcShortFill;
      std::memset(out + o, in[i++], n);
      o += n;
    } else if (cmd == 1) {
      if (in_len - i < 2) return kSasErrRdcInput;
      const size_t n = nib + (static_cast<size_t>(in[i]) << 4) + 19;
      const uint8_t fill = in[i + 1];
      i += 2;
      if (n > out_len - o) return kSasErrRdcLongFill;
      std::memset(out + o, fill, n);
      o += n;
    } else if (cmd == 2) {
      if (in_len - i < 2) return kSasErrRdcInput;
      const size_t back = nib + 3 + (static_cast<size_t>(in[i]) << 4);
      const size_t n = static_cast<size_t>(in[i + 1]) + 16;
      i += 2;
      if (back > o || n > out_len - o) return kSasErrRdcCopy;
      // Byte by byte: source and target may overlap.
      for (size_t k = 0; k < n; ++k, ++o) out[o] = out[o - back];
    } else {
      if (i >= in_len) return kSasErrRdcInput;
      const size_t back = nib + 3 + (static_cast<size_t>(in[i++]) << 4);
      const size_t n = cmd;
      if (back > o || n > out_len - o) return kSasErrRdcBackRef;
      for (size_t k = 0; k < n; ++k, ++o) out[o] = out[o - back];
    }
  }
  return 0;
}

double sas7bdat_ibm_to_double(const uint8_t* p) {
  uint64_t fraction = 0;
  for (int k = 1; k < 8; ++k) fraction = (fraction << 8) | p[k];
  const bool negative = p[0] & 0x80;
  const int exponent = (p[0] & 0x7F) - 64;
  if (fraction == 0) return negative ? -0.0 : 0.0;
  // value = 0.fraction (56 bits, hexadecimal) * 16^exponent
  double x = static_cast<double>(fraction) / 72057594037927936.0;  // 2^56
  int e = exponent;
  while (e > 0) { x *= 16.0; --e; }
  while (e < 0) { x /= 16.0; ++e; }
  return negative ? -x : x;
}

}  // namespace tabulon
