#include "formats/text/type_guess.h"

#include <cstdint>
#include <cstring>

#include "dates/date_pattern.h"

namespace tabulon {

namespace {

bool plain_number(const char* t, size_t len) {
  size_t i = t[0] == '-' ? 1 : 0;
  int digits = 0, points = 0;
  for (; i < len; ++i) {
    if (t[i] >= '0' && t[i] <= '9')
      ++digits;
    else if (t[i] == '.' && ++points == 1)
      continue;
    else
      return false;
  }
  return digits > 0;
}

void take_pending(ColumnGuess& col) {
  if (col.pending.empty()) return;
  optimize_add_values(col.numbers, col.pending.data(), col.pending.size(), true, false);
  col.pending.clear();
}

}  // namespace

bool scan_pattern_skips_numbers(const char* text) {
  return !text || std::strcmp(text, kDefaultParsePattern) == 0 ||
         std::strcmp(text, "[%m[/]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]") == 0;
}

void guess_cell(ColumnGuess& col, const char* text, size_t len, bool quoted, const CellContext& ctx) {
  const uint32_t cap = ctx.max_string_width ? ctx.max_string_width : kDefaultStringCap;
  const uint32_t w = len < cap ? static_cast<uint32_t>(len) : cap;
  if (w > col.width) col.width = w;
  if (ctx.collect && len) {
    if (len > col.longest) col.longest = len < UINT32_MAX ? static_cast<uint32_t>(len) : UINT32_MAX;
    if (!col.saw_nul) {
      // Cells are short: a loop is cheaper than a call for them.
      if (len <= 32) {
        for (size_t i = 0; i < len; ++i) col.saw_nul |= text[i] == 0;
      } else if (std::memchr(text, 0, len)) {
        col.saw_nul = true;
      }
    }
  }
  if (quoted) {
    col.type = 1;
    return;
  }
  if (len == 0 || col.type == 1) return;
  if (ctx.dates && !(ctx.plain_numbers_not_dates && plain_number(text, len))) {
    double day;
    const int as = col.type >= 7 ? col.type : 0;
    if (int found = parse_date_cell(*ctx.dates, as, text, len, &day)) {
      col.type = found;
      if (ctx.collect) col.saw_date = true;
      return;
    }
  }
  ParsedNumber n = parse_number(text, len, ctx.punct);
  if (n.failure != kNumOk) {
    col.type = 1;
    return;
  }
  if (n.missing != 0) return;  // an extended missing code says nothing about the type
  if (ctx.collect) {
    col.pending.push_back(n.value);
    if (col.pending.size() >= ctx.pending_run) take_pending(col);
  }
  if (n.decimals > col.decimals) {
    col.type = 5;
    col.decimals = n.decimals;
  } else if (col.decimals == 0) {
    col.type = 4;
  } else if (col.type >= 7) {
    col.type = 5;  // a number after dates in a column that had decimals
  }
}

void finish_guess(ColumnGuess& col, int default_type, uint32_t min_string_width) {
  take_pending(col);
  col.pending.shrink_to_fit();
  if (col.type == 0) col.type = default_type;
  if (col.width == 0) col.width = 15;
  if (col.type == 1 && min_string_width && col.width < min_string_width) col.width = min_string_width;
  if (col.type >= 2 && col.type <= 6 && col.decimals == 0) {
    if (col.width < 5)
      col.type = 3;
    else if (col.width < 10)
      col.type = 4;
    else if (col.width < 16)
      col.type = 6;
    else
      col.type = 1;
  }
}

}  // namespace tabulon
