// SPSS display formats (system and portable files share the codes) as names like "TIME11.2",
// so that an SPSS output can declare again the format an SPSS input gave.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon {

struct EnvRecord;
struct VarRecord;

struct SpssFormat {
  int type = 0;  // 5 F, 20 DATE, 21 TIME, ...
  int width = 0;
  int decimals = 0;
};

// "TIME11.2", "ADATE10", "F8.2"; empty for an unknown type.
std::string spss_format_text(const SpssFormat& f);
// Parses a name made by spss_format_text; false for anything else.
bool spss_format_parse(std::string_view text, SpssFormat* out);

// The display format an SPSS input gave the numeric variable, when it still suits the
// variable's storage type (a host may have changed it); false otherwise.
bool spss_input_format(const EnvRecord& env, const VarRecord& v, SpssFormat* out);

}  // namespace tabulon
