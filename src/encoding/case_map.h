// UTF-8 aware case mapping, in place. A mapped character is written only when its UTF-8 form is
// not longer than the one it replaces.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

void to_lower_utf8(char* text);
void to_upper_utf8(char* text);
// Single code points (unchanged when the tables have no pair).
uint32_t lower_code_point(uint32_t cp);
uint32_t upper_code_point(uint32_t cp);

// Decodes one UTF-8 character at s (n bytes available). Returns its byte length (1..4) and the
// code point, or 0 when the bytes are not valid UTF-8.
int utf8_decode(const unsigned char* s, size_t n, uint32_t* cp);
// Encodes cp; returns the byte length (1..4).
int utf8_encode(uint32_t cp, char* out);

}  // namespace tabulon
