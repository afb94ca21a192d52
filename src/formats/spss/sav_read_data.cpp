// Cases of an SPSS system file: raw 8-byte units, the bytecode of compressed files, and the
// zlib blocks of "$FL3" files.
#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "engine/optimize.h"
#include "dates/day_number.h"
#include "formats/spss/sav_reader.h"
#include "formats/spss/sav_swap.h"
#include "io/batch_pipe.h"
#include "io/stream.h"

namespace tabulon {

namespace {

// Days from 14 October 1582 (the SPSS origin) to 30 December 1899.
constexpr double kSpssDayOffset = 115859.0;
constexpr uint32_t kMaxBlockSize = 64u << 20;
constexpr uint8_t kBlanks[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

enum StepKind : uint8_t { kStepNumber = 0, kStepDate = 1, kStepTime = 2, kStepString = 3 };

// What decoding the next case came to. A fault leaves its number and text in the reader.
enum CaseStatus : int32_t { kCaseDecoded = 0, kDataEnd = 1, kDataFault = 2 };

// The optimization pass takes cases a run at a time: at most this many, of at most kRunBytes.
constexpr int32_t kRunCases = 1024;
constexpr size_t kRunBytes = size_t{256} << 10;

// Decoding on a second thread: data of at least kAheadMinBytes, in kAheadSlots batches of at
// most kAheadBatchCases cases and about kRunBytes each.
constexpr int64_t kAheadMinBytes = int64_t{1} << 20;
constexpr int32_t kAheadBatchCases = 4096;
constexpr size_t kAheadSlots = 3;
std::atomic<int64_t> g_ahead_min_bytes{0};
std::atomic<int32_t> g_ahead_batch_cases{0};

[[noreturn]] void data_error(EnvRecord& env, int32_t code, const char* detail) {
  if (env.encoding.current_case > 0)
    emit_messagef(env, MsgKind::Lib, "SPSS data: %s (case %lld)", detail,
                  static_cast<long long>(env.encoding.current_case));
  else
    emit_messagef(env, MsgKind::Lib, "SPSS data: %s", detail);
  RaiseErrorF(env, "SPSS dataset (%s)\nReading records from the dataset was stopped because of the error (%d).",
              engine_file_name(env.transfer.input_path), code);
}

// ---- "$FL3" blocks ----

void read_zlib_index(EnvRecord& env, SavReader& r) {
  InputBuffer& in = r.in;
  uint8_t h[24];
  if (!in.read(h, 24)) sav_dict_error(env, kSavErrZlibLayout, "the zlib header is missing");
  const int64_t header_ofs = sav_i64(h, r.swap);
  const int64_t trailer_ofs = sav_i64(h + 8, r.swap);
  const int64_t trailer_len = sav_i64(h + 16, r.swap);
  const int64_t length = in.length();
  if (header_ofs != r.data_pos || trailer_ofs < header_ofs + 24 || trailer_len < 24 || (trailer_len - 24) % 24 != 0 ||
      (length >= 0 && trailer_ofs + trailer_len > length) || trailer_len > (int64_t{1} << 30))
    sav_dict_error(env, kSavErrZlibLayout, "the zlib header does not describe this file");
  if (!in.seek(trailer_ofs)) sav_dict_error(env, kSavErrZlibLayout, "the zlib trailer is missing");
  uint8_t t[24];
  if (!in.read(t, 24)) sav_dict_error(env, kSavErrZlibLayout, "the zlib trailer is missing");
  const int32_t block_size = sav_i32(t + 16, r.swap);
  const int32_t n_blocks = sav_i32(t + 20, r.swap);
  if (block_size <= 0 || static_cast<uint32_t>(block_size) > kMaxBlockSize || n_blocks < 0 ||
      static_cast<int64_t>(n_blocks) != (trailer_len - 24) / 24)
    sav_dict_error(env, kSavErrZlibLayout, "the zlib trailer does not match its header");
  r.block_size = static_cast<uint32_t>(block_size);
  r.blocks.clear();
  r.blocks.reserve(static_cast<size_t>(n_blocks));
  uint32_t largest = 0, largest_out = 0;
  int64_t expect_ofs = header_ofs + 24;
  for (int32_t k = 0; k < n_blocks; ++k) {
    uint8_t e[24];
    if (!in.read(e, 24)) sav_dict_error(env, kSavErrZlibLayout, "the zlib block index is cut short");
    SavZBlock b;
    b.compressed_ofs = sav_i64(e + 8, r.swap);
    b.uncompressed_size = static_cast<uint32_t>(sav_i32(e + 16, r.swap));
    b.compressed_size = static_cast<uint32_t>(sav_i32(e + 20, r.swap));
    // zlib expands at most about 1032 to 1: a larger claim is damage, not data.
    if (b.compressed_ofs != expect_ofs || b.uncompressed_size > r.block_size || b.compressed_size > kMaxBlockSize ||
        b.compressed_ofs + b.compressed_size > trailer_ofs ||
        b.uncompressed_size > uint64_t{b.compressed_size} * 1032 + 64)
      sav_dict_error(env, kSavErrZlibLayout, "a zlib block lies outside the data");
    expect_ofs += b.compressed_size;
    if (b.compressed_size > largest) largest = b.compressed_size;
    if (b.uncompressed_size > largest_out) largest_out = b.uncompressed_size;
    r.blocks.push_back(b);
  }
  try {
    r.zout.assign(largest_out, 0);
  } catch (const std::bad_alloc&) {
    sav_dict_error(env, kSavErrZlibAlloc, nullptr);
  }
}

int32_t fault(SavReader& r, int32_t code, const char* detail) {
  r.fault_code = code;
  r.fault_detail = detail;
  return kDataFault;
}

// Inflates the next block behind the bytes of zout not yet decoded; false after the last or at
// a fault (r.fault_code).
bool load_block(SavReader& r) {
  if (r.next_block >= r.blocks.size()) return false;
  const SavZBlock& b = r.blocks[r.next_block++];
  const size_t tail = r.zout_len - r.zout_pos;
  if (tail && r.zout_pos) std::memmove(r.zout.data(), r.zout.data() + r.zout_pos, tail);
  r.zout_pos = 0;
  r.zout_len = tail;
  if (r.zout.size() < tail + b.uncompressed_size) {
    try {
      r.zout.resize(tail + b.uncompressed_size);
    } catch (const std::bad_alloc&) {
      fault(r, kSavErrZlibAlloc2, "no memory for a zlib block");
      return false;
    }
  }
  const uint8_t* src = r.in.seek(b.compressed_ofs) ? r.in.take(b.compressed_size) : nullptr;
  if (!src) {
    fault(r, kSavDataTruncated, "a zlib block is cut short");
    return false;
  }
  uLongf out_len = static_cast<uLongf>(b.uncompressed_size);
  const int z = uncompress(r.zout.data() + tail, &out_len, src, b.compressed_size);
  if (z != Z_OK || out_len != b.uncompressed_size) {
    fault(r, kSavDataInflate, "a zlib block does not inflate");
    return false;
  }
  r.zout_len = tail + out_len;
  return true;
}

// The (inflated) data from the current position in place: at least want bytes unless the
// data end first or a block fails; *avail gets how many there are. consume moves past k of them.
const uint8_t* data_window(SavReader& r, size_t want, size_t* avail) {
  if (!r.zlib) return r.in.peek(want, avail);
  while (r.zout_len - r.zout_pos < want && load_block(r)) {
  }
  *avail = r.zout_len - r.zout_pos;
  return r.zout.data() + r.zout_pos;
}

void data_consume(SavReader& r, size_t k) {
  if (r.zlib) r.zout_pos += k;
  else r.in.advance(k);
}

// ---- one case ----

inline void put_number(uint8_t* unit, double x) { std::memcpy(unit, &x, 8); }

constexpr uint64_t kOnes = 0x0101010101010101ull;

// True when no byte of a command block is 0 (padding) or 252 (the end of the data).
inline bool plain_block(uint64_t codes) {
  auto has_zero = [](uint64_t w) { return ((w - kOnes) & ~w & (kOnes * 0x80)) != 0; };
  return !has_zero(codes) && !has_zero(codes ^ (kOnes * 252));
}

// A decoded unit into its row. Rows the worker decodes go out with streaming stores: the
// other core reads them next, and lines written in this core's cache would each have to move
// across (it halves the worker's time). streamed_stores_done orders them before the hand-over.
template <bool kStreaming>
inline void store_unit(uint8_t* at, uint64_t v) {
#if defined(__x86_64__)
  if constexpr (kStreaming) {
    _mm_stream_si64(reinterpret_cast<long long*>(at), static_cast<long long>(v));
    return;
  }
#endif
  std::memcpy(at, &v, 8);
}

inline void streamed_stores_done() {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

// The unit of a command other than 0 and 252 in native order: the next 8 bytes of the file
// (253, and p moves past them) or the value the code stands for. p must have 8 bytes at hand.
// Masks rather than a conditional, which the compiler turns back into a branch on the data.
inline uint64_t coded_unit(const uint64_t* code_units, uint8_t c, uint8_t number, const uint8_t*& p) {
  uint64_t raw;
  std::memcpy(&raw, p, 8);
  const uint64_t from_file = uint64_t{0} - static_cast<uint64_t>(c == 253);
  p += from_file & 8;
  return (raw & from_file) | code_units[(static_cast<size_t>(number) << 8) | c];
}

// Decodes the bytecode of the next case into out straight from the input's buffer; the
// command block in use carries over to the next case. Touches no state but the decoder's (the
// input, the blocks, the command block, the fault), so that it may run on a second thread.
template <bool kStreaming = false>
int32_t read_compressed(SavReader& r, uint8_t* out) {
  const uint8_t* is_number = r.unit_is_number.data();
  const uint32_t n_units = r.units;
  size_t avail;
  const uint8_t* base = data_window(r, r.row_max, &avail);
  if (r.fault_code) return kDataFault;
  const uint8_t* p = base;
  const uint8_t* end = base + avail;
  // Makes need bytes available at p, consuming what lies before it; false when the data end
  // or a block fails on the way.
  auto refill = [&](size_t need) {
    data_consume(r, static_cast<size_t>(p - base));
    base = p = data_window(r, need > r.row_max ? need : r.row_max, &avail);
    end = base + avail;
    return avail >= need && !r.fault_code;
  };
  // The command block lives in locals while the case is decoded.
  uint8_t cmd[8];
  std::memcpy(cmd, r.cmd, 8);
  int cmd_pos = r.cmd_pos;
  const double sysmis = r.sysmis;
  const bool swap = r.swap;
  const uint64_t* code_units = r.code_units.data();
  uint32_t u = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // The whole case's bytes at hand and numbers in this host's order: the codes go without
    // a bounds check, a block at a time. A block holding a 0 or a 252 leaves the rest of the
    // case to the general loop below.
    if (!swap && static_cast<size_t>(end - p) >= r.row_max) {
      uint64_t block;
      std::memcpy(&block, cmd, 8);
      if (cmd_pos < 8 && cmd_pos > 0) block |= kOnes >> (64 - 8 * cmd_pos);  // codes used: 1
      bool clean = cmd_pos == 8 || plain_block(block);
      while (clean && u < n_units) {
        if (cmd_pos == 8) {
          std::memcpy(&block, p, 8);
          if (!plain_block(block)) break;
          std::memcpy(cmd, p, 8);
          p += 8;
          cmd_pos = 0;
        }
        uint32_t k = 8 - static_cast<uint32_t>(cmd_pos);
        if (k > n_units - u) k = n_units - u;
        const uint8_t* codes = cmd + cmd_pos;
        const uint8_t* numbers = is_number + u;
        uint8_t* unit = out + 8 * static_cast<size_t>(u);
        for (uint32_t j = 0; j < k; ++j) store_unit<kStreaming>(unit + 8 * j, coded_unit(code_units, codes[j], numbers[j], p));
        cmd_pos += static_cast<int>(k);
        u += k;
      }
    }
  }
  while (u < n_units) {
    if (cmd_pos == 8) {
      if (end - p < 8 && !refill(8)) {
        if (r.fault_code) return kDataFault;
        data_consume(r, static_cast<size_t>(p - base));
        r.cmd_pos = 8;
        if (u == 0) return kDataEnd;
        return fault(r, kSavDataTruncated, "the data end inside a case");
      }
      std::memcpy(cmd, p, 8);
      p += 8;
      cmd_pos = 0;
    }
    while (cmd_pos < 8 && u < n_units) {
      const uint8_t c = cmd[cmd_pos++];
      uint8_t* unit = out + 8 * static_cast<size_t>(u);
      // The common commands without a branch on the data: a unit from the file (253) or
      // the value a code stands for.
      if (c != 0 && c != 252 && end - p >= 8 && !swap) {
        store_unit<kStreaming>(unit, coded_unit(code_units, c, is_number[u], p));
        ++u;
        continue;
      }
      const bool number = is_number[u] != 0;
      if (c >= 1 && c <= 251) {
        if (number) put_number(unit, static_cast<double>(c) - 100.0);
        else std::memcpy(unit, kBlanks, 8);
      } else if (c == 253) {
        if (end - p < 8 && !refill(8))
          return r.fault_code ? kDataFault : fault(r, kSavDataTruncated, "the data end inside a case");
        if (number && swap) put_number(unit, sav_f64(p, true));
        else std::memcpy(unit, p, 8);
        p += 8;
      } else if (c >= 254) {
        if (number) put_number(unit, sysmis);
        else std::memcpy(unit, kBlanks, 8);
      } else if (c == 0) {
        continue;
      } else {  // 252, the end of the data
        data_consume(r, static_cast<size_t>(p - base));
        if (u == 0) return kDataEnd;
        return fault(r, kSavDataTruncated, "the data end inside a case");
      }
      ++u;
    }
  }
  std::memcpy(r.cmd, cmd, 8);
  r.cmd_pos = cmd_pos;
  data_consume(r, static_cast<size_t>(p - base));
  return kCaseDecoded;
}

// The units of the next uncompressed case in place in the input's buffer, or null with the
// status (the end of the data or a case cut short).
const uint8_t* raw_units(SavReader& r, int32_t* status) {
  const size_t bytes = static_cast<size_t>(r.units) * 8;
  size_t avail;
  const uint8_t* p = r.in.peek(bytes, &avail);
  if (avail < bytes) {
    *status = avail < 8 ? kDataEnd : fault(r, kSavDataTruncated, "the file ends inside a case");
    return nullptr;
  }
  r.in.advance(bytes);
  return p;
}

void swap_numbers(const SavReader& r, uint8_t* buf) {
  for (uint32_t u = 0; u < r.units; ++u)
    if (r.unit_is_number[u]) put_number(buf + 8 * u, sav_f64(buf + 8 * u, true));
}

// The end of the data, or a fault after the cases before it were delivered: the data are over
// and a fault raises here, on the calling thread.
void data_stopped(EnvRecord& env, SavReader& r, int32_t status, int32_t code, const char* detail) {
  r.at_end = true;
  if (status == kDataFault) data_error(env, code, detail);
}

// The units of the next case, in native order: in place in the input's buffer where the file
// needs no change, else decoded into r.unit_buf. Null at the end of the data.
const uint8_t* read_units(EnvRecord& env, SavReader& r) {
  int32_t status = kDataEnd;
  if (r.compression != 0) {
    status = read_compressed(r, r.unit_buf.data());
    if (status == kCaseDecoded) return r.unit_buf.data();
  } else if (const uint8_t* p = raw_units(r, &status)) {
    if (!r.swap) return p;
    std::memcpy(r.unit_buf.data(), p, static_cast<size_t>(r.units) * 8);
    swap_numbers(r, r.unit_buf.data());
    return r.unit_buf.data();
  }
  data_stopped(env, r, status, r.fault_code, r.fault_detail);
  return nullptr;
}

void build_plan(EnvRecord& env, SavReader& r) {
  // Read here, not at the dictionary: the optimization pass reads with user-missing values
  // off, and an output that declares them takes the values unchanged.
  r.user_missing_mode = reader_user_missing_mode(env);
  r.missing_code[0] = user_missing_code(env, 0);
  r.missing_code[1] = user_missing_code(env, 1);
  r.missing_code[2] = user_missing_code(env, 2);
  r.plan.clear();
  for (size_t i = 0; i < r.vars.size(); ++i) {
    VarRecord* v = dict_var(env.dict, static_cast<int32_t>(i));
    if (!v || !v->selected || v->storage_width == 0) continue;
    // Dates are converted by the file's format, whatever type the host asks for afterwards.
    const int date_type = sav_date_ttype(r.vars[i].print_format);
    uint8_t kind = kStepNumber;
    if (r.vars[i].width > 0) kind = kStepString;
    else if (date_type == T_TIME) kind = kStepTime;
    else if (date_type) kind = kStepDate;
    r.plan.push_back({kind, static_cast<uint32_t>(i), r.vars[i].first_unit, v, &r.vars[i]});
  }
  const ConverterSlot& cs = env.encoding.input[0];
  r.strings_convert = !(cs.flags & (kSlotNoConversion | kSlotPassThrough)) && cs.has_descriptor();
  r.ascii_identity = cs.ascii_identity;
  r.plan_ready = true;
}

// Missing code of a value matching a declared entry, or 0. A closed range is one entry.
uint16_t user_missing(const SavReader& r, const SavVar& sv, double x) {
  if (r.user_missing_mode == 2) return 0;
  int n = sv.miss_count;
  // "first": the first entry only, or the first closed range (two entries).
  if (r.user_missing_mode == 1) n = sv.miss[0].kind == kSavMissRangeEnd && n >= 2 ? 2 : 1;
  int entry = 0;
  for (int k = 0; k < n; ++k, ++entry) {
    const SavMissing& m = sv.miss[k];
    bool hit = false;
    switch (m.kind) {
      case kSavMissValue: hit = x == m.value; break;
      case kSavMissAtLeast: hit = x >= m.value; break;
      case kSavMissAtMost: hit = x <= m.value; break;
      case kSavMissRangeEnd:
        if (k + 1 < n && sv.miss[k + 1].kind == kSavMissRangeEnd) {
          hit = x >= m.value && x <= sv.miss[k + 1].value;
          ++k;
        }
        break;
      default:
        break;
    }
    if (hit) return r.missing_code[entry < 3 ? entry : 2];
  }
  return 0;
}

// Length without the trailing blanks and NULs. Eight bytes at a time on this host's byte
// order: a blank or NUL byte is one whose bits other than 0x20 are clear. padded: the 8
// bytes from p may be read even when n is smaller (a value in its 8-byte units).
[[gnu::always_inline]] inline size_t trimmed_length(const uint8_t* p, size_t n, bool padded) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    // High bit of each byte that is neither blank nor NUL.
    auto kept = [](uint64_t w) {
      w &= ~(kOnes * 0x20);
      return (((w & (kOnes * 0x7F)) + kOnes * 0x7F) | w) & (kOnes * 0x80);
    };
    if (n >= 8) padded = true;
    while (n >= 8) {
      uint64_t w;
      std::memcpy(&w, p + n - 8, 8);
      if (const uint64_t k = kept(w)) return n - static_cast<size_t>(std::countl_zero(k)) / 8;
      n -= 8;
    }
    if (n == 0) return 0;
    if (padded) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      const uint64_t k = kept(w) & ((uint64_t{1} << (8 * n)) - 1);
      return k ? 8 - static_cast<size_t>(std::countl_zero(k)) / 8 : 0;
    }
  }
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == 0)) --n;
  return n;
}

// The bytes of a string value: in place, or a very long string's segments joined in
// r.scratch (255 bytes from each full segment, the rest from the last).
[[gnu::always_inline]] inline const uint8_t* string_bytes(SavReader& r, const SavVar& sv, const uint8_t* u,
                                                          size_t* n) {
  if (sv.segment_units.empty()) {
    *n = static_cast<size_t>(sv.width);
    return u;
  }
  r.scratch.clear();
  for (uint32_t seg_units : sv.segment_units) {
    r.scratch.append(reinterpret_cast<const char*>(u), seg_units * 8 < 255 ? seg_units * 8 : 255);
    u += static_cast<size_t>(seg_units) * 8;
  }
  if (r.scratch.size() > static_cast<size_t>(sv.width)) r.scratch.resize(static_cast<size_t>(sv.width));
  *n = r.scratch.size();
  return reinterpret_cast<const uint8_t*>(r.scratch.data());
}

// A string value (trailing blanks already gone) converted by the input converter.
[[gnu::noinline]] const char* converted_text(EnvRecord& env, SavReader& r, const SavStep& s, const uint8_t* p,
                                             size_t* n) {
  TranscodeCall call;
  call.context = "Error encoding input string value, ";
  call.variable = static_cast<int32_t>(s.var_index + 1);
  call.record = r.delivered + 1;
  ConverterSlot& cs = env.encoding.input[0];
  const int64_t out = transcode_string(env, cs, reinterpret_cast<const char*>(p), *n, nullptr, 0, call);
  *n = out > 0 ? static_cast<size_t>(out) : 0;
  return cs.out_buf.data();
}

// A string value without its trailing blanks, in the host's encoding: in place, or in the
// input converter's buffer. *n 0: the value is missing.
[[gnu::always_inline]] inline const char* string_text(EnvRecord& env, SavReader& r, const SavStep& s,
                                                      const uint8_t* p, size_t* n, bool padded) {
  const size_t len = trimmed_length(p, *n, padded);
  *n = len;
  if (len == 0) return nullptr;
  if (r.strings_convert) {
    const ConverterSlot& cs = env.encoding.input[0];
    if (!(cs.ascii_identity && is_ascii(p, len))) return converted_text(env, r, s, p, n);
  }
  return reinterpret_cast<const char*>(p);
}

inline void put_string(EnvRecord& env, SavReader& r, const SavStep& s, const uint8_t* p, size_t n,
                       bool padded) {
  const char* text = string_text(env, r, s, p, &n, padded);
  if (!text) var_set_missing(env.dict, *s.var);
  else var_set_string(env.dict, *s.var, text, n);
}

// The length of a string value as the record holds it (cut to its slot, up to a NUL).
size_t string_length(EnvRecord& env, SavReader& r, const SavStep& s, const uint8_t* p, size_t n,
                     bool padded) {
  const char* text = string_text(env, r, s, p, &n, padded);
  if (!text) return 0;
  const uint32_t width = s.var->storage_width;
  const size_t cap = width ? width - 1 : 0;
  if (n > cap) n = utf8_cut(text, n, cap);
  const void* nul = std::memchr(text, 0, n);
  return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : n;
}

// A number as the record reader delivers it; false when it is missing (*code: which).
inline bool case_number(const SavReader& r, const SavStep& s, const uint8_t* u, double* x, uint16_t* code) {
  std::memcpy(x, u, 8);
  if (*x == r.sysmis || std::isnan(*x)) {
    *code = kSystemMissing;
    return false;
  }
  if (s.sv->miss_count) {
    if ((*code = user_missing(r, *s.sv, *x)) != 0) return false;
  }
  if (s.kind == kStepDate) {
    const double days = *x / 86400.0 - kSpssDayOffset;
    *x = days >= 0 ? days : signed_days_to_day_number(days);  // the call only before 1900
  }
  else if (s.kind == kStepTime) *x = *x / 86400.0;
  return true;
}

// ---- decoding on a second thread ----

// Cases the worker decoded, and why it stopped after them when it did.
struct alignas(64) SavBatch {
  std::vector<uint8_t> rows;  // count cases, row_bytes apart
  int32_t count = 0;
  bool last = false;          // no batch follows
  int32_t status = kCaseDecoded;  // after a last batch: kDataEnd, kDataFault, or the declared count reached
  int32_t fault_code = 0;
  const char* fault_detail = nullptr;
  std::exception_ptr failure;  // anything else the decoder threw, raised in its place
  // The worker's stream error bits as they changed: (index of the case whose decoding changed
  // them, the bits). The owner's bits follow when the calling thread reaches that case.
  std::vector<std::pair<int32_t, uint32_t>> bits;
};

}  // namespace

struct SavAhead {
  Stream handle{};          // the worker's handle on the input (StreamShareFile)
  Stream* owner = nullptr;  // the transfer's input stream
  size_t row_bytes = 0;
  int32_t batch_cases = 0;
  // The calling thread's place: the batch it reads and the next case and bit change in it.
  alignas(64) SavBatch* cur = nullptr;
  int32_t pos = 0;
  size_t next_bits = 0;
  alignas(64) BatchPipe<SavBatch> pipe{kAheadSlots};  // last: its thread ends before the rest goes
};

void SavAheadDeleter::operator()(SavAhead* a) const noexcept { delete a; }

void sav_tune_decode_ahead(int64_t min_bytes, int32_t batch_cases) {
  g_ahead_min_bytes = min_bytes;
  g_ahead_batch_cases = batch_cases;
}

// The input goes back to this thread, which decodes on from where the worker stood.
void sav_stop_ahead(SavReader& r) {
  if (!r.ahead) return;
  r.ahead->pipe.stop();
  StreamReadByCaller(r.ahead->owner, false);
  r.in.rebind(r.ahead->owner);
  r.ahead.reset();
}

namespace {

// The worker: fills batches until the data end, fail or reach the declared count, or it is
// stopped. Raises nothing; whatever stops it is recorded after the cases before it.
void decode_ahead(SavReader& r, SavAhead& a, int64_t decoded) noexcept {
  uint32_t bits = a.handle.error;
  for (;;) {
    SavBatch* b = a.pipe.begin_fill();
    if (!b) return;
    b->count = 0;
    b->last = false;
    b->status = kCaseDecoded;
    b->failure = nullptr;
    b->bits.clear();
    try {
      while (b->count < a.batch_cases) {
        if (r.n_known && decoded >= r.n_cases) {
          b->last = true;
          break;
        }
        uint8_t* row = b->rows.data() + static_cast<size_t>(b->count) * a.row_bytes;
        const int32_t status = read_compressed<true>(r, row);
        if (a.handle.error != bits) {
          bits = a.handle.error;
          b->bits.emplace_back(b->count, bits);
        }
        if (status != kCaseDecoded) {
          b->status = status;
          b->fault_code = r.fault_code;
          b->fault_detail = r.fault_detail;
          b->last = true;
          break;
        }
        ++b->count;
        ++decoded;
      }
    } catch (...) {
      b->failure = std::current_exception();
      b->last = true;
    }
    streamed_stores_done();
    a.pipe.end_fill();
    if (b->last) return;
  }
}

// Compressed data large enough go to a second thread where two are allowed and the input is
// a disk file; otherwise this thread decodes, as before.
void start_ahead(SavReader& r) {
  r.ahead_decided = true;
  if (r.compression == 0 || StreamThreads() < 2) return;
  const int64_t min_bytes = g_ahead_min_bytes ? g_ahead_min_bytes.load() : kAheadMinBytes;
  const int64_t length = r.in.length();
  if (length < 0 || length - r.in.tell() < min_bytes) return;
  Stream* owner = r.in.stream();
  std::unique_ptr<SavAhead, SavAheadDeleter> a;
  try {
    a.reset(new SavAhead());
    if (!StreamShareFile(owner, &a->handle)) return;
    a->owner = owner;
    a->row_bytes = static_cast<size_t>(r.units) * 8;
    int32_t cases = static_cast<int32_t>(kRunBytes / a->row_bytes);
    if (cases > kAheadBatchCases) cases = kAheadBatchCases;
    if (g_ahead_batch_cases) cases = g_ahead_batch_cases;
    a->batch_cases = cases > 0 ? cases : 1;
    for (size_t k = 0; k < a->pipe.size(); ++k) {
      a->pipe.slot(k).rows.assign(static_cast<size_t>(a->batch_cases) * a->row_bytes, 0);
      a->pipe.slot(k).bits.reserve(4);
    }
  } catch (const std::bad_alloc&) {
    return;  // this thread decodes
  }
  SavAhead* ap = a.get();
  r.in.rebind(&ap->handle);
  r.ahead = std::move(a);
  const int64_t from = r.delivered;
  // The worker reads the file itself: bytes read on one core and decoded on the other cost
  // more in moving between the caches than the read-ahead saves.
  StreamReadByCaller(owner, true);
  try {
    ap->pipe.start([&r, ap, from] { decode_ahead(r, *ap, from); });
  } catch (...) {  // no thread to be had
    StreamReadByCaller(owner, false);
    r.in.rebind(owner);
    r.ahead.reset();
  }
}

void apply_bits(SavAhead& a, int32_t through) {
  const auto& bits = a.cur->bits;
  while (a.next_bits < bits.size() && bits[a.next_bits].first <= through) a.owner->error = bits[a.next_bits++].second;
}

// Up to want cases decoded by the worker, in a row at *rows; 0 at the end of the data. A fault raises as on this thread:
// at its case, after the cases before it.
int32_t ahead_rows(EnvRecord& env, SavReader& r, int32_t want, const uint8_t** rows) {
  SavAhead& a = *r.ahead;
  while (!a.cur || a.pos == a.cur->count) {
    if (a.cur) {
      apply_bits(a, INT32_MAX);
      const SavBatch& b = *a.cur;
      if (b.last) {
        if (b.failure) {
          r.at_end = true;
          std::rethrow_exception(b.failure);
        }
        data_stopped(env, r, b.status, b.fault_code, b.fault_detail);
        return 0;
      }
      a.pipe.give_back();
    }
    a.cur = a.pipe.take();
    a.pos = 0;
    a.next_bits = 0;
    if (!a.cur) {  // the worker always says why it ended; this is not reached
      r.at_end = true;
      return 0;
    }
  }
  int32_t n = a.cur->count - a.pos;
  if (n > want) n = want;
  *rows = a.cur->rows.data() + static_cast<size_t>(a.pos) * a.row_bytes;
  a.pos += n;
  if (a.next_bits < a.cur->bits.size()) apply_bits(a, a.pos - 1);
  return n;
}

// Up to want cases (at most kRunCases) in a row at *rows, row_bytes apart, numbers in native
// order; 0 at the end of the data. What stops the decoding after some cases waits for the next
// call, so that a fault raises at its own case.
int32_t read_run(EnvRecord& env, SavReader& r, int32_t want, const uint8_t** rows) {
  if (want > kRunCases) want = kRunCases;
  if (r.ahead) return ahead_rows(env, r, want, rows);
  if (r.run_status != kCaseDecoded) {
    data_stopped(env, r, r.run_status, r.fault_code, r.fault_detail);
    return 0;
  }
  const size_t row = static_cast<size_t>(r.units) * 8;
  const int32_t fit = static_cast<int32_t>(kRunBytes / row);
  if (want > fit) want = fit > 0 ? fit : 1;
  if (r.run.size() < static_cast<size_t>(want) * row) r.run.resize(static_cast<size_t>(want) * row);
  int32_t n = 0;
  for (; n < want; ++n) {
    uint8_t* out = r.run.data() + static_cast<size_t>(n) * row;
    int32_t status = kCaseDecoded;
    if (r.compression != 0) {
      status = read_compressed(r, out);
    } else if (const uint8_t* p = raw_units(r, &status)) {
      std::memcpy(out, p, row);
      if (r.swap) swap_numbers(r, out);
    }
    if (status != kCaseDecoded) {
      r.run_status = status;
      break;
    }
  }
  if (n == 0) {
    data_stopped(env, r, r.run_status, r.fault_code, r.fault_detail);
    return 0;
  }
  *rows = r.run.data();
  return n;
}

// The end of the data: the cases read so far are delivered; a shortfall against the
// header's count is not passed over in silence.
void data_ended(EnvRecord& env, SavReader& r) {
  r.at_end = true;
  if (r.n_known && r.delivered < r.n_cases && !r.short_reported) {
    r.short_reported = true;
    emit_messagef(env, MsgKind::Warning,
                  "The data end after %lld of the %lld cases the header declares; the file may be truncated.",
                  static_cast<long long>(r.delivered), static_cast<long long>(r.n_cases));
  }
}

}  // namespace

void sav_prepare_data(EnvRecord& env, SavReader& r) {
  if (r.zlib) read_zlib_index(env, r);
  r.unit_buf.assign(static_cast<size_t>(r.units) * 8, 0);
  r.unit_is_number.assign(r.units, 0);
  r.row_max = static_cast<size_t>(r.units) * 9 + 16;
  for (const SavVar& v : r.vars)
    if (v.width == 0) r.unit_is_number[v.first_unit] = 1;
  // What each command code puts in a string unit (first 256) and in a number unit: blanks or
  // the system-missing value, and for 1..251 the number code - 100 (blanks in a string).
  // 253 (a unit from the file) stands for nothing here; 0 and 252 are decoded apart.
  r.code_units.assign(512, 0);
  uint64_t blanks, missing;
  std::memcpy(&blanks, kBlanks, 8);
  std::memcpy(&missing, &r.sysmis, 8);
  for (int c = 0; c < 256; ++c) {
    if (c == 253) continue;
    r.code_units[static_cast<size_t>(c)] = blanks;
    const double x = static_cast<double>(c) - 100.0;
    if (c >= 1 && c <= 251) std::memcpy(&r.code_units[256 + static_cast<size_t>(c)], &x, 8);
    else r.code_units[256 + static_cast<size_t>(c)] = missing;
  }
  if (!r.in.seek(r.data_pos)) sav_dict_error(env, kSavErrTruncated, "the data cannot be reached");
  r.cmd_pos = 8;
  r.at_end = false;
  r.delivered = 0;
  r.next_block = 0;
  r.zout_pos = r.zout_len = 0;
  r.fault_code = 0;
  r.fault_detail = nullptr;
  r.run_status = kCaseDecoded;
  r.ahead_decided = false;
}

int32_t sav_read_case(EnvRecord& env) {
  SavReader* rp = reader_state<SavReader>(env);
  if (!rp) return kEndOfData;
  SavReader& r = *rp;
  if (r.at_end || (r.n_known && r.delivered >= r.n_cases)) return kEndOfData;
  if (!r.plan_ready) build_plan(env, r);
  // The worker only decodes: preparing the values there too left it the slower of the two
  // threads on 1M-case files, so the record is filled here from the units.
  if (!r.ahead_decided) start_ahead(r);
  const uint8_t* units;
  if (!r.ahead) units = read_units(env, r);
  else if (ahead_rows(env, r, 1, &units)) {
    // The worker's rows come from memory, not from a cache: ask for some cases ahead.
    // Only a hint: the address may lie past the batch, which a prefetch never touches.
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(units) + 8 * r.ahead->row_bytes;
    __builtin_prefetch(reinterpret_cast<const void*>(ahead));
    __builtin_prefetch(reinterpret_cast<const void*>(ahead + 64));
  } else {
    units = nullptr;
  }
  if (!units) {
    data_ended(env, r);
    return kEndOfData;
  }
  DictState& dict = env.dict;
  for (const SavStep& s : r.plan) {
    const uint8_t* u = units + static_cast<size_t>(s.first_unit) * 8;
    VarRecord& v = *s.var;
    if (s.kind == kStepString) {
      size_t n;
      const uint8_t* p = string_bytes(r, *s.sv, u, &n);
      put_string(env, r, s, p, n, p == u);
      continue;
    }
    double x;
    uint16_t code;
    if (case_number(r, s, u, &x, &code)) var_set_double(dict, v, x);
    else var_set_missing(dict, v, code);
  }
  ++r.delivered;
  return kCaseRead;
}

int32_t sav_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                         int32_t max_cases) {
  SavReader* rp = reader_state<SavReader>(env);
  if (!rp) return 0;
  SavReader& r = *rp;
  if (!r.plan_ready) build_plan(env, r);
  if (!r.ahead_decided) start_ahead(r);
  struct Gather {
    const SavStep* step;
    VarStats* stats;
    bool date;
  };
  std::vector<Gather> numbers, strings;
  for (const SavStep& s : r.plan) {
    if (want[s.var_index] == kWantNone) continue;
    const Gather g{&s, &stats[s.var_index], want[s.var_index] == kWantDate};
    (s.kind == kStepString ? strings : numbers).push_back(g);
  }
  if (r.column.size() < static_cast<size_t>(kRunCases)) r.column.resize(kRunCases);
  const size_t row = static_cast<size_t>(r.units) * 8;
  int32_t done = 0;
  while (done < max_cases) {
    if (r.at_end || (r.n_known && r.delivered >= r.n_cases)) break;
    int64_t left = max_cases - done;
    if (r.n_known && r.n_cases - r.delivered < left) left = r.n_cases - r.delivered;
    env.encoding.current_case = r.delivered + 1;
    const uint8_t* rows;
    const int32_t n = read_run(env, r, left < kRunCases ? static_cast<int32_t>(left) : kRunCases, &rows);
    if (n == 0) {
      data_ended(env, r);
      break;
    }
    // Strings case by case, since a conversion's report names its case; numbers a variable
    // at a time over the run.
    if (strings.empty()) {
      r.delivered += n;
    } else {
      const uint8_t* units = rows;
      for (int32_t i = 0; i < n; ++i, units += row) {
        env.encoding.current_case = r.delivered + 1;
        for (const Gather& g : strings) {
          const SavStep& s = *g.step;
          const uint8_t* u = units + static_cast<size_t>(s.first_unit) * 8;
          size_t len;
          const uint8_t* p = string_bytes(r, *s.sv, u, &len);
          const double shown = static_cast<double>(string_length(env, r, s, p, len, p == u));
          if (shown > g.stats->maximum) g.stats->maximum = shown;
        }
        ++r.delivered;
      }
    }
    double* column = r.column.data();
    for (const Gather& g : numbers) {
      const SavStep& s = *g.step;
      const uint8_t* u = rows + static_cast<size_t>(s.first_unit) * 8;
      size_t k = 0;
      if (s.kind == kStepNumber && s.sv->miss_count == 0) {
        // Plain numbers: every value is stored, and counted unless it is missing.
        const double sysmis = r.sysmis;
        for (int32_t i = 0; i < n; ++i, u += row) {
          double x;
          std::memcpy(&x, u, 8);
          column[k] = x;
          k += static_cast<size_t>((x != sysmis) & (x == x));
        }
      } else {
        for (int32_t i = 0; i < n; ++i, u += row) {
          uint16_t code;
          if (case_number(r, s, u, &column[k], &code)) ++k;
        }
      }
      optimize_add_values(*g.stats, column, k, exact_float, g.date);
    }
    done += n;
  }
  return done;
}

int32_t sav_save_position(EnvRecord& env) {
  SavReader* r = reader_state<SavReader>(env);
  if (!r) return -1;
  if (r->compression != 0 && r->delivered != 0) {
    const char* text = "Since you are reading the compressed SPSS file you can save only the possition of the data block.";
    emit_message(env, MsgKind::Error, text);
    SetMessageF(env, "%s%s", kPrefixError, text);
    return -1;
  }
  r->saved_delivered = r->delivered;
  return 0;
}

int32_t sav_restore_position(EnvRecord& env) {
  SavReader* r = reader_state<SavReader>(env);
  if (!r || r->saved_delivered < 0) return -1;
  sav_stop_ahead(*r);
  r->ahead_decided = false;
  r->fault_code = 0;
  r->fault_detail = nullptr;
  r->run_status = kCaseDecoded;
  r->at_end = false;
  r->cmd_pos = 8;
  r->next_block = 0;
  r->zout_pos = r->zout_len = 0;
  r->delivered = r->saved_delivered;
  r->plan_ready = false;
  const int64_t at = r->data_pos + (r->compression ? 0 : r->delivered * static_cast<int64_t>(r->units) * 8);
  return r->in.seek(at) ? 0 : -1;
}

}  // namespace tabulon
