// SPSS portable file writer: 80-column lines of tagged fields with numbers in base 30.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

// How a value is written.
enum PorOutKind : uint8_t { kPorOutString, kPorOutNumber, kPorOutDate, kPorOutTime };

struct PorOutVar {
  VarRecord* var = nullptr;
  uint8_t kind = kPorOutNumber;
  uint32_t width = 0;  // strings: the declared width
  int64_t replaced = 0;  // characters not in the portable set
  int64_t cut = 0;       // values cut to the width
  int64_t out_of_range = 0;  // infinities, which the format cannot hold: written as missing
};

struct PorWriter final : FormatState {
  Stream* out = nullptr;
  int32_t column = -1;  // of the last character written, 0..79
  std::string buf;      // pending output
  std::string text;     // the current string value in the file's characters
  std::vector<PorOutVar> vars;
};

int32_t por_open_output(EnvRecord& env);
int32_t por_write_case(EnvRecord& env);
int32_t por_close_output(EnvRecord& env);

// Seconds since 14 October 1582 of a day number, and seconds of the day of a time.
double por_day_to_seconds(double day);
double por_time_to_seconds(double day);

}  // namespace tabulon
