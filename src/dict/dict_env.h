// What the dictionary needs to know about the rest of the environment: options and
// the open input. Kept in one place so the dictionary code reads no other state directly.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// Value of a numbered option, 0 when unset.
int32_t dict_option(const EnvRecord& env, int number);
// Maximum string length (numbered option 83), 255 when unset.
int32_t dict_max_string_length(const EnvRecord& env);
// Value texts of value labels may exceed 16 bytes (numbered option 95).
bool dict_long_values(const EnvRecord& env);
// Numeric slots hold a real and an imaginary double.
bool dict_complex_values(const EnvRecord& env);
// Numbers are shown with "%g" by DX_CopyVarDataStr.
bool dict_use_g_format(const EnvRecord& env);
// Format code of the open input, -1 when none is open.
int32_t dict_input_code(const EnvRecord& env);
// The input is a worksheet (numeric and string slots are widened for cell data).
bool dict_input_is_worksheet(const EnvRecord& env);
// The input format can carry variable labels.
bool dict_input_has_var_labels(const EnvRecord& env);
// Number of cases the reader announced, -1 when unknown or no input is open.
int64_t dict_announced_cases(const EnvRecord& env);

}  // namespace tabulon
