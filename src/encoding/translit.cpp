#include "encoding/translit.h"

#include <algorithm>

namespace tabulon {

namespace {
#include "encoding/translit_table.inc"
}  // namespace

const TranslitRow* find_translit(uint32_t cp) {
  const TranslitRow* end = kTranslit + translit_row_count();
  auto it = std::lower_bound(kTranslit, end, cp, [](const TranslitRow& r, uint32_t v) { return r.code_point < v; });
  return (it != end && it->code_point == cp) ? it : nullptr;
}

int translit_row_count() { return static_cast<int>(sizeof kTranslit / sizeof kTranslit[0]); }

}  // namespace tabulon
