// Splitting a line of delimited text into fields, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tabulon {

struct FieldSpan {
  char* text = nullptr;  // not NUL-terminated
  size_t len = 0;
  bool quoted = false;
};

// Splits the field that starts at `pos` of `line` (length `len`). Returns false when no
// field is left. A quoted field's doubled quotes are reduced in place, so the line must be
// writable. `quote` 0 means no quoting. `*next` receives the start of the following field.
bool split_field(char* line, size_t len, size_t pos, char delim, char quote, FieldSpan* field, size_t* next);

// split_field for the common field: no blank around it and no quote at its start; anything
// else goes to split_field. Inline because the readers call it once per cell.
inline bool split_field_fast(char* line, size_t len, size_t pos, char delim, char quote, FieldSpan* field,
                             size_t* next) {
  if (pos >= len) return false;
  const char first = line[pos];
  if (first == ' ' || first == '\t' || (quote != 0 && first == quote)) return split_field(line, len, pos, delim, quote, field, next);
  // Short fields are the rule: a plain loop beats a call to memchr for the first bytes.
  size_t e = pos;
  const size_t short_end = pos + 24 < len ? pos + 24 : len;
  while (e < short_end && line[e] != delim) ++e;
  if (e == short_end && e < len) {
    const void* d = std::memchr(line + e, delim, len - e);
    e = d ? static_cast<size_t>(static_cast<const char*>(d) - line) : len;
  }
  // Blanks before the delimiter or after it: the general path trims and skips them.
  if (e > pos && (line[e - 1] == ' ' || line[e - 1] == '\t')) return split_field(line, len, pos, delim, quote, field, next);
  if (e + 1 < len && (line[e + 1] == ' ' || line[e + 1] == '\t')) return split_field(line, len, pos, delim, quote, field, next);
  field->quoted = false;
  field->text = line + pos;
  field->len = e - pos;
  *next = e < len ? e + 1 : len;
  return true;
}

// Where split_field cuts a line: the end of each field (the delimiter after it, or the line end).
struct FieldCuts {
  std::vector<uint32_t> at;  // only grown: the first n entries hold the cuts
  size_t n = 0;
};

// Where split_field would cut a whole line, for lines whose cuts are plain: no quote
// character anywhere and no blank (or tab) at either end or beside a delimiter. Then
// field k runs from (k ? at[k-1] + 1 : 0) to at[k], the fields being those split_field
// returns one by one (at most max_fields of them). False, with the cuts unspecified, when
// the line is not plain (or the delimiter is a blank): split it with split_field.
bool split_plain_line(const char* line, size_t len, char delim, char quote, size_t max_fields, FieldCuts& cuts);

// Combines runs of delimiters into one (mode 1 or 2; mode 2 first turns tabs into blanks and
// the delimiter into a blank). Returns the new length; the rest of the buffer is cleared.
size_t combine_delimiters(char* line, size_t len, int mode, char* delim);

}  // namespace tabulon
