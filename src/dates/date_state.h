// Per-environment state of this subsystem, held by value inside EnvRecord.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "dates/date_names.h"
#include "dates/date_pattern.h"

namespace tabulon {

struct EnvRecord;

// Pattern categories of DX_SetDateFmt.
constexpr int32_t kPatternsRead = 1;
constexpr int32_t kPatternsWrite = 2;
constexpr int32_t kPatternsThird = 3;

struct DateState {
  DateNames names;
  int32_t locale_date_order = 1;   // date order of the system locale (1 MDY, 2 DMY, 3 YMD)

  // Stored pattern texts, [category - 1][index]; unset ones are not `is_set`.
  std::array<std::array<std::string, 4>, 3> pattern_text;
  std::array<std::array<bool, 4>, 3> pattern_set{};

  // Compiled forms in use: the stored pattern or the built-in one.
  std::array<ParsePattern, 4> read;
  std::array<FormatPattern, 3> write;
};

// Stored pattern text, or null when unset (category 1..3).
const char* date_pattern_text(const EnvRecord& env, int32_t category, int32_t index);
// Stores (or with null/empty text unsets) a pattern and recompiles it; false when the
// pair is out of range.
bool date_store_pattern(EnvRecord& env, int32_t category, int32_t index, const char* text);

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool date_env_open(EnvRecord& env, int32_t flags);
void date_env_close(EnvRecord& env);

}  // namespace tabulon
