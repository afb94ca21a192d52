// Stata files before release 118 carry no encoding declaration. Stata itself, pandas and
// ReadStat take their text as Windows-1252, so that is what we write and, for text that
// is not valid UTF-8, what we read, unless the user named an encoding. From release 118
// text is UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace tabulon {

struct EnvRecord;

// True when the user left the input / output encoding at the system default.
bool stata_input_encoding_is_default(const EnvRecord& env);
bool stata_output_encoding_is_default(const EnvRecord& env);

bool utf8_valid(const unsigned char* p, size_t n);

// Appends the Windows-1252 form of UTF-8 text; a character the code page lacks (or a byte that
// is not UTF-8) becomes '?'. Returns how many were replaced.
size_t utf8_to_cp1252(const char* p, size_t n, std::string& out);

// The Windows-1252 byte of a code point, or 0 when the code page has none.
unsigned char cp1252_byte(char32_t c);

// Appends the UTF-8 form of Windows-1252 bytes (the five unassigned codes become U+FFFD).
void cp1252_to_utf8(const unsigned char* p, size_t n, std::string& out);

}  // namespace tabulon
