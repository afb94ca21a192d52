// Stata files before release 118 carry no encoding declaration. Stata itself, pandas and
// ReadStat take their text as Windows-1252, so that is what we write and, for text that
// is not valid UTF-8, what we read, unless the user named an encoding.
#pragma once

#include <cstddef>
#include <string>

namespace tabulon {

struct EnvRecord;

// True when the user left the input / output encoding at the system default.
bool stata_input_encoding_is_default(const EnvRecord& env);
bool stata_output_encoding_is_default(const EnvRecord& env);

bool utf8_valid(const unsigned char* p, size_t n);

// Appends the UTF-8 form of Windows-1252 bytes (the five unassigned codes become U+FFFD).
void cp1252_to_utf8(const unsigned char* p, size_t n, std::string& out);

}  // namespace tabulon
