// What expressions read from the rest of the environment at evaluation time.
#pragma once

#include <string_view>

namespace tabulon {

struct EnvRecord;

// The number of the record being read (1-based), 0 without a transfer.
double expr_row_number(const EnvRecord* env);
// The current worksheet (member) name and its 1-based number.
std::string_view expr_sheet_name(const EnvRecord* env);
double expr_sheet_number(const EnvRecord* env);
// The input file's path, empty when none is open.
std::string_view expr_input_path(const EnvRecord* env);

}  // namespace tabulon
