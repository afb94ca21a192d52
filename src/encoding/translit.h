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

}  // namespace tabulon
