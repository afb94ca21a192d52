// State of an optimization pass: statistics per selected variable, from which the
// pass chooses the smallest storage type and the output width.
#pragma once

#include <cstdint>
#include <vector>

namespace tabulon {

struct EnvRecord;

enum OptimizeMode : uint32_t {
  kOptExactFloat = 1,
  kOptDropConstant = 2,
  kOptWidths = 4,
  kOptForce = 8,
  kOptInMemory = 16,
};

struct VarStats {
  double minimum = 0;
  double maximum = 0;  // strings: the longest encoded length
  bool has_fraction = false;
  bool not_float = false;
  int32_t widest = 0;
  int32_t most_decimals = 0;
  int32_t most_int_digits = 0;
  uint32_t date_parts = 0;  // bit 0 a day part, bit 1 a time of day
  uint32_t count = 0;
};

struct OptimizeState {
  uint32_t mode = 0;
  int32_t out_code = 0;
  uint32_t cases = 0;
  uint32_t saved_sampling = 0;
  int32_t saved_user_missing = 0;
  bool user_missing_saved = false;
  int32_t bytes_per_char = 1;
  std::vector<VarStats> stats;
};

// Pure decision helpers (also used by tests).
// Storage type for a numeric variable of type `type` (below T_DATE) given its statistics.
int32_t optimize_numeric_type(const VarStats& s);
// Does value fit a single-precision float (exponent range, and the round trip when exact)?
bool optimize_fits_float(double value, bool exact);

}  // namespace tabulon
