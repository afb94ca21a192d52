// The PROC FORMAT program written beside a SAS output: one VALUE statement per set of value
// labels. The data-set writer gives its variables the same format names.
#pragma once

#include <string>
#include <vector>

namespace tabulon {

struct EnvRecord;
struct VarRecord;

// Format name of each variable's value labels ("VL1F", "$VL2F"; empty: none). Variables with
// the same labels share one name; dates, times and date-times get none.
std::vector<std::string> sas_value_format_names(const std::vector<VarRecord*>& vars);

// The program text for the variables (empty when none has a value-label format).
std::string sas_format_program_text(const std::vector<VarRecord*>& vars);

// Writes the program for the selected variables of the dictionary to path, labels in the output
// encoding. False when the file cannot be written.
bool write_sas_format_program(EnvRecord& env, const std::string& path);

}  // namespace tabulon
