// Per-environment state of the character-encoding subsystem, held by value inside EnvRecord.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tabulon {

struct EnvRecord;

// Slot flags.
enum : uint32_t {
  kSlotSingleByte = 0x1,
  kSlotMultiByte = 0x2,
  kSlotUnicode = 0x4,          // also: the UTF-8 side of the slot is plain UTF-8
  kSlotSystemDefault = 0x8,    // the name was "CHAR"
  kSlotNoConversion = 0x20,    // both sides UTF-8 (always with kSlotUnicode: value 36)
  kSlotKeepNames = 0x40,       // variable names are not transcoded through this slot
  kSlotFromModule = 0x4000,    // (re)opened by a format module after reading the file's declaration
  kSlotFromEntry = 0x8000,     // opened by the exported open entry point
  kSlotOutUtf16 = 0x10000,
  kSlotInUtf16 = 0x20000,      // an input string ends at the first 16-bit zero unit
  kSlotInUtf32 = 0x40000,      // an input string ends at the first 32-bit zero unit
  kSlotFreeStanding = 0x100000,
  kSlotInputDir = 0x200000,
  kSlotOutputDir = 0x400000,
  kSlotPassThrough = 0x800000, // copy bytes unchanged although a descriptor is open
  kSlotOwnsExtra = 0x1000000,
  kSlotQuiet = 0x8000000,      // request bit: no "Info" about the chosen encoding
};

// Directions of the slot arrays.
enum : int32_t { kDirInput = 1, kDirOutput = 2, kDirOther = 3 };
constexpr int kInputSlots = 5;
constexpr int kOutputSlots = 4;
constexpr int kOtherSlots = 5;

// UTF-8 form of every byte of a single-byte encoding (len 0: the byte has no character), so
// that input text is decoded without calling the conversion library.
struct SingleByteMap {
  uint8_t len[256];
  char utf8[256][4];
};

// One transcoding channel. `cd` is an iconv descriptor; null or all-ones means none.
struct ConverterSlot {
  std::string from;            // empty = absent
  std::string to;              // empty = absent
  uint32_t flags = 0;
  void* cd = nullptr;
  bool ascii_identity = false; // printable ASCII passes unchanged (checked when opened)
  bool ignore_target = false;  // the target carries "//IGNORE"
  std::vector<char> in_buf;    // input scratch, kept across calls
  std::vector<char> out_buf;   // output buffer, kept across calls
  std::unique_ptr<char[]> extra;
  std::unique_ptr<SingleByteMap> byte_map;  // single-byte input to UTF-8

  bool has_descriptor() const { return cd != nullptr && cd != reinterpret_cast<void*>(-1); }
};

// True when text through the slot is really converted (a descriptor, conversion not off).
inline bool slot_converts(const ConverterSlot& s) {
  return !(s.flags & (kSlotNoConversion | kSlotPassThrough)) && s.has_descriptor();
}

// True when every byte is 7-bit ASCII (such text passes an ASCII-identity slot unchanged).
// Runs once per string value: whole words, and overlapping loads for the ends, so that the
// length of a short text costs no loop.
inline bool is_ascii(const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t acc = 0;
  if (n >= 8) {
    uint64_t w;
    for (size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&w, p + i, 8);
      acc |= w;
    }
    std::memcpy(&w, p + n - 8, 8);
    acc |= w;
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    acc = a | b;
  } else if (n) {
    acc = p[0] | p[n / 2] | p[n - 1];
  }
  return (acc & 0x8080808080808080ull) == 0;
}

// On-encoding-error modes ("on-encoding-error").
enum : uint32_t { kOnErrorStop = 0, kOnErrorIgnore = 1, kOnErrorTranslate = 2 };

// Case rules of "var-case-ci" / "var-case-cs".
enum : int32_t { kCaseLower = 0, kCasePreserveMixed = 1, kCasePreserveAlways = 2, kCaseUpper = 3 };

struct EncodingState {
  std::array<ConverterSlot, kInputSlots> input;
  std::array<ConverterSlot, kOutputSlots> output;
  std::array<ConverterSlot, kOtherSlots> other;

  // Effective settings, loaded from the numbered options by encoding_load_options when a
  // converter opens (the defaults hold until the option table was applied).
  std::string file_encoding;             // declared by the input file; empty = none
  std::string in_encoding = "system";    // "in-encoding"
  std::string out_encoding = "system";   // "out-encoding"
  std::string forced_output;             // set when the output format only takes one encoding
  uint32_t sas_encoding_number = 0;      // for the SAS data-set writer
  uint32_t on_error_mode = kOnErrorStop; // "on-encoding-error"
  uint32_t substitute = 1;               // "enc-errors": 1 = "sub", else stop
  char sub_char = '_';                   // "enc-sub-char"
  uint32_t error_limit = 100;            // "enc-error-limit"
  uint32_t error_budget = 100;           // counts down from error_limit
  bool suppress_char_conv = false;       // "suppress-char-conv"
  bool skip_encode_var_names = false;    // "skip-encode-var-names"
  int32_t case_ci = kCasePreserveAlways; // "var-case-ci"
  int32_t case_cs = kCasePreserveMixed;  // "var-case-cs"

  // 1-based number of the case the transfer loop is reading or writing, 0 between cases;
  // reports name it when the caller gave no record number.
  int64_t current_case = 0;
  // Set by readers that met extended attributes (tags) in an encoding other than UTF-8;
  // the close reports it once.
  bool tags_not_utf8 = false;

  // Counters reported by the data-set information query.
  int64_t input_errors = 0;              // strings with a transcoding problem on input
  int64_t output_errors = 0;             // same on output
  int64_t substitutions = 0;             // bytes substituted, both directions
  int64_t names_changed = 0;             // output names changed by legalization
  int64_t names_replaced = 0;            // output names replaced because of the output encoding
};

// Reads the encoding options of the environment into the fields above.
void encoding_load_options(EnvRecord& env);

// The slot array of a direction (1 input, 2 output, 3 other) and its size; null for a bad direction.
ConverterSlot* encoding_slots(EnvRecord& env, int32_t direction, int* count);

// Called by DX_OpenEnvironmentEx after the record exists (binds the conversion library once per
// process; false when it cannot), and by DX_CloseEnvironment before the record is freed.
bool encoding_env_open(EnvRecord& env, int32_t flags);
void encoding_env_close(EnvRecord& env);

}  // namespace tabulon
