// Value texts of value labels and the lookup of a value's label.
#pragma once

#include <cstddef>
#include <string_view>

#include "dict/var_record.h"

namespace tabulon {

// Trailing blanks removed down to one character, then cut to 16 bytes unless long
// values are allowed (to 32768 bytes then).
std::string_view label_value_text(std::string_view text, bool long_values);

// Entry whose label belongs to the value of v in slot (numeric: compared as doubles,
// first match; string: same length and bytes after label_value_text), or null.
// s_plus: the input is an S-Plus object, where a numeric value 1..count is the entry number.
const ValueLabel* find_value_label(const VarRecord& v, const unsigned char* slot, bool long_values, bool s_plus);

// Entry labelling a missing code (DX_SetMissingValueLabel), or null.
const ValueLabel* find_missing_label(const VarRecord& v, uint16_t code);

}  // namespace tabulon
