// The fixed table of expression functions and their run-time bodies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "expr/program.h"

namespace tabulon {

enum class ArgKind : uint8_t { Str, Num, Keyword, Variable };

enum FuncId : uint8_t {
  kFnAbs, kFnSqrt, kFnConcat, kFnEdit, kFnPrior, kFnAscii, kFnInsert, kFnLeft, kFnLtrim,
  kFnLength, kFnLocate, kFnLcase, kFnRepeat, kFnRight, kFnRtrim, kFnSubstring, kFnRand,
  kFnUcase, kFnCurdate, kFnDayofmonth, kFnDayofweek, kFnDayofyear, kFnMonth, kFnQuarter,
  kFnWeek, kFnYear, kFnDate, kFnParse, kFnInputFile, kFnFnumb, kFnPcase, kFnPower,
  kFnConcatn, kFnReplace, kFnVal, kFnStr, kFnSampRand, kFnSampFixed, kFnSampSyst,
  kFnCount
};

constexpr int kMaxFunctionArgs = 4;

struct FunctionInfo {
  const char* name;
  FuncId id;
  uint8_t argc;
  ArgKind args[kMaxFunctionArgs];
  ValType result;   // prior() takes its variable's type instead
  bool random;      // draws from the sampling generator
};

// Case-insensitive lookup; null when the name is not a function.
const FunctionInfo* find_function(std::string_view name);
const FunctionInfo& function_info(FuncId id);

// Keywords of input_file(), in order; returns the index or -1.
int input_file_keyword(std::string_view word);
// The part of path named by keyword index k ("full_spec,drive,dir,name,ext,lowest_dir").
void input_file_part(std::string_view path, int k, std::string& out);

// Validates a C number format for fnumb(): literal text and exactly one conversion.
bool fnumb_format_ok(std::string_view format);
// Formats value with a validated format; an invalid one gives an empty text.
void fnumb_apply(std::string_view format, double value, std::string& out);

// Case-insensitive wildcard match: '*' any run, '?' one character.
bool wildcard_match(std::string_view pattern, std::string_view text);

// Whole-number conversion that never overflows (saturates; NaN gives 0).
int64_t to_int64_saturated(double v);

}  // namespace tabulon
