// ASCII stand-ins for characters an output encoding cannot hold, tried before substitution.
#pragma once

#include <cstdint>

namespace tabulon {

struct TranslitRow {
  uint32_t code_point;
  uint8_t length;        // 0..5
  char text[7];
};

// The row of a code point, or null (binary search over the sorted table).
const TranslitRow* find_translit(uint32_t cp);
// Number of rows of the table.
int translit_row_count();

// Latin letters for the Greek and Cyrillic alphabets ("Αθήνα" gives "Athina"), for outputs whose
// character set has no other letters; null for other code points.
const TranslitRow* find_script_translit(uint32_t cp);

}  // namespace tabulon
