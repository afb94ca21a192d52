// User-missing values as an input declares them (SPSS files, portable files, schemas): kept
// beside the dictionary so that writers and program generators can declare them again.
#pragma once

#include <cstdint>
#include <string>

namespace tabulon {

struct EnvRecord;
struct VarRecord;

// Kinds of a missing-value entry.
enum MissingKind : uint8_t {
  kMissNone = 0,
  kMissValue = 1,    // the value itself
  kMissAtLeast = 2,  // >= (value thru highest)
  kMissAtMost = 3,   // <= (lowest thru value)
  kMissRange = 4,    // from value to high
  kMissBelow = 5,    // <
  kMissAbove = 6,    // >
};

struct MissingEntry {
  uint8_t kind = kMissNone;
  double value = 0;
  double high = 0;  // upper bound of a range
};

struct MissingSpec {
  MissingEntry entry[3];
  int count = 0;
};

// Discrete user-missing values of a string variable (SPSS declares up to three, 8 bytes
// each), in the dictionary's encoding, trailing blanks removed.
struct MissingTexts {
  std::string value[3];
  int count = 0;
};

// The missing values the current input declares for a numeric variable, or null. Asks the
// input format's reader; inputs that declare none give null.
const MissingSpec* input_missing_spec(EnvRecord& env, const VarRecord& v);
// The same for a string variable, or null.
const MissingTexts* input_missing_texts(EnvRecord& env, const VarRecord& v);

// How a reader treats the values its input declares user-missing: 0 every entry makes a
// value missing, 1 the first only, 2 none (the value passes). An output that declares the
// values again (SPSS system, portable and syntax files, schemas) gets them unchanged;
// otherwise the "user-miss" option decides. Ask when the first case is read: the output
// is open by then.
int32_t reader_user_missing_mode(EnvRecord& env);
// Missing code for a value that matched entry `entry` (0..2): extended ".A".. with
// "map-user-miss", else system missing.
uint16_t user_missing_code(EnvRecord& env, int entry);
// With "map-user-miss" and an output that cannot declare user-missing values, the value
// labels of the declared values also label the extended codes the values become.
void label_mapped_user_missing(EnvRecord& env, uint32_t output_caps);

}  // namespace tabulon
