// Splitting a line of delimited text into fields, in place.
#pragma once

#include <cstddef>

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

// Combines runs of delimiters into one (mode 1 or 2; mode 2 first turns tabs into blanks and
// the delimiter into a blank). Returns the new length; the rest of the buffer is cleared.
size_t combine_delimiters(char* line, size_t len, int mode, char* delim);

}  // namespace tabulon
