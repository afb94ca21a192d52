// Stata data file writer: binary releases 104 to 115 (little-endian) and the tagged
// releases 117, 118 (the default) and 119 (more than 32,767 variables). Records are built in place in a large output buffer; counts and the
// release-117 map are patched at close.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/stata/stata_codes.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

// What the version setting asks for.
struct StataRelease {
  uint32_t release = 118;
  bool large = false;     // more than 2047 variables, 244-byte strings
  bool version9 = false;  // Stata 9 and later
};

// The release of a version setting (numbered option 77: low byte the Stata version, or a
// release number 102..119 itself, 0x100 the large variant; 0 = not set) and of the older
// DX_SetStataVer4 choice (-1 = not given). `variables` over 32,767 turn 118 into 119.
StataRelease stata_choose_release(int32_t setting, int32_t ver4, int64_t variables = 0);

// How a value is converted before it is stored.
enum StataConv : uint8_t {
  kConvPlain = 0,
  kConvDateDays,     // whole days since 1960 (long)
  kConvDateText,     // release 104: "MM/DD/YY"
  kConvTimeMillis,   // time of day in ms (long)
  kConvTimeFraction, // time of day as a fraction (float)
  kConvStampMillis,  // ms since 1960 (double)
  kConvStampDays,    // days since 1960 with the time as fraction (double)
};

// What the writer does with a value, fixed at open from the kind and conversion.
enum StataWriteOp : uint8_t {
  kWriteText,
  kWriteStrL,
  kWriteDateText,
  kWriteByte,
  kWriteInt,
  kWriteLong,
  kWriteDays,        // a date as a long of days
  kWriteFloat,
  kWriteFloatRange,  // a float whose range is checked
  kWriteDouble,
  kWriteTimeMillis,
  kWriteStampMillis,
  kWriteStampDays,
};

// Pending output that grows without zero-filling: every byte handed out is written.
class StataOutBytes {
 public:
  uint8_t* data() { return p_.get(); }
  size_t size() const { return size_; }
  void clear() { size_ = 0; }
  void reserve(size_t n) {
    if (n <= cap_) return;
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[n]);
    if (size_) std::memcpy(fresh.get(), p_.get(), size_);
    p_ = std::move(fresh);
    cap_ = n;
  }
  // n more bytes at the end, for the caller to fill.
  uint8_t* grow(size_t n) {
    if (cap_ - size_ < n) reserve(std::max(size_ + n, 2 * cap_));
    uint8_t* at = p_.get() + size_;
    size_ += n;
    return at;
  }

 private:
  std::unique_ptr<uint8_t[]> p_;
  size_t size_ = 0, cap_ = 0;
};

struct StataOutVar {
  VarRecord* var = nullptr;
  uint8_t kind = 0;        // StataKind written
  uint8_t conv = 0;        // StataConv
  uint8_t op = 0;          // StataWriteOp
  bool float_check = false;// the float range check applies
  uint32_t width = 0;      // bytes in the record (strings: the declared width)
  uint32_t offset = 0;     // in the record
  uint32_t number = 0;     // 1-based position among the written variables
  std::string format;      // display format
  std::string value_label_name;
  std::string label;       // in the output encoding, cut to the field
  std::string long_label;  // the whole label when it did not fit (written as a note)
  int64_t replaced = 0;    // characters the output code page lacks, replaced
  int64_t cut = 0;         // values cut to the field's width
  int64_t too_large = 0;   // doubles at or above Stata's missing values, written as missing
};

struct StataWriter final : FormatState {
  Stream* out = nullptr;
  bool utf8 = false;    // release 118 and later: text is written as it is
  bool cp1252 = false;  // older releases with no encoding named: Windows-1252
  StataRelease rel;
  StataTaggedLayout layout{};
  std::string text;     // reused for converted text
  StataThresholds th{};
  std::vector<StataOutVar> vars;
  uint32_t record_length = 0;
  uint32_t max_string = 244;
  uint32_t label_text_max = 244;
  uint64_t observations = 0;

  StataOutBytes buf;  // pending output
  int64_t flushed = 0;       // bytes already handed to the stream
  int64_t n_pos = 0;         // position of N
  int64_t map_pos = 0;       // position of the map's first offset
  uint64_t map[14] = {};

  // strL texts already written: text -> (variable, observation); looked up without a copy.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using StrlMap = std::unordered_map<std::string, std::pair<uint32_t, uint64_t>, TextHash, std::equal_to<>>;
  StrlMap strl_seen;
  std::vector<const StrlMap::value_type*> strl_order;
};

int32_t stata_open_output(EnvRecord& env);
int32_t stata_write_case(EnvRecord& env);
int32_t stata_close_output(EnvRecord& env);

}  // namespace tabulon
