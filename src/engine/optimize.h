// State of an optimization pass: statistics per selected variable, from which the
// pass chooses the smallest storage type and the output width.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/change_report.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;

enum OptimizeMode : uint32_t {
  kOptExactFloat = 1,
  kOptDropConstant = 2,
  kOptWidths = 4,
  kOptForce = 8,
  kOptInMemory = 16,
  // Only what a text output shows: date-times that may become dates or times. The pass
  // ends as soon as none of them can change, and leaves every other variable alone.
  kOptShownOnly = 32,
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

// Statistics a reader gathered while it scanned the whole input for its dictionary: the
// pass then needs no read of its own. One entry per dictionary variable, in order.
struct ScanStats {
  struct Column {
    const void* var = nullptr;  // the VarRecord it describes
    uint16_t ttype = 0;         // its type when scanned
    bool usable = false;        // the statistics are what the record reader will deliver
    VarStats stats;             // numbers with the exact-float test; strings: longest length
  };
  std::vector<Column> columns;
  uint32_t cases = 0;
  bool complete = false;  // every case of the input was seen
};

// Takes one present value of a numeric or date variable into its statistics.
bool optimize_fits_float(double value, bool exact);
inline void optimize_add_value(VarStats& s, double x, bool exact, bool date_type) {
  if (s.count++ == 0) {
    s.minimum = s.maximum = x;
  } else {
    if (x < s.minimum) s.minimum = x;
    if (x > s.maximum) s.maximum = x;
  }
  // The whole part by conversion rather than a library call per value; beyond 2^62 every
  // double is whole (infinities too).
  const bool in_range = x > -4611686018427387904.0 && x < 4611686018427387904.0;
  const double whole = in_range ? static_cast<double>(static_cast<int64_t>(x)) : x;
  const bool fraction = whole != x;
  if (fraction) {
    s.has_fraction = true;
    if (!s.not_float && !optimize_fits_float(x, exact)) s.not_float = true;
  }
  if (date_type) {
    if (fraction) s.date_parts |= 2;
    if (whole != 0) s.date_parts |= 1;
  }
}

// The same for n present values of one variable at once (a reader's gather_stats takes a run
// of cases column by column): the statistics come out as from n calls of optimize_add_value.
void optimize_add_values(VarStats& s, const double* x, size_t n, bool exact, bool date_type);

// Which statistics a pass keeps for a variable: none where its result cannot change
// anything, numbers, numbers with the day and time parts of dates, or string lengths.
enum StatsWant : uint8_t { kWantNone = 0, kWantNumber = 1, kWantDate = 2, kWantString = 3 };

struct OptimizeState {
  uint32_t mode = 0;
  int32_t out_code = 0;
  // What the reader had counted before the pass: its values are read again after it, and
  // counted again.
  std::vector<ChangeEntry> saved_changes;
  uint32_t cases = 0;
  uint32_t saved_sampling = 0;
  int32_t saved_user_missing = 0;
  bool user_missing_saved = false;
  int32_t bytes_per_char = 1;
  std::vector<VarStats> stats;
  bool shown_only = false;   // kOptShownOnly where the output is text
  bool from_scan = false;     // stats taken from the reader's scan: no cases are read
  uint32_t scan_pending = 0;  // cases still to report as processed
  std::vector<VarRecord*> vars;  // the selected variables, in the order of stats
  std::vector<uint8_t> want;     // StatsWant of each selected variable
  // The reader takes the values from its data (FormatReaderOps::gather_stats), into
  // statistics indexed by dictionary variable.
  bool gather = false;
  std::vector<uint8_t> gather_want;
  std::vector<VarStats> gather_stats;
};

// Pure decision helpers (also used by tests).
// Storage type for a numeric variable of type `type` (below T_DATE) given its statistics.
int32_t optimize_numeric_type(const VarStats& s);

// Can the pass change what is written to output format out_code from the open input?
// False where the writer uses none of the types and widths it chooses.
bool optimize_can_change_output(const EnvRecord& env, int32_t out_code);

}  // namespace tabulon
