// Passes over the dictionary's names and labels: into UTF-8 after the input dictionary is read,
// into the output encoding (with or without legalization) before the writer writes its header.
#pragma once

#include <cstdint>

#include "encoding/legalize.h"

namespace tabulon {

struct EnvRecord;

// Transcodes every variable name through input slot 0 (unless switched off). Returns the count.
int32_t convert_input_names(EnvRecord& env);

// Transcodes names, variable labels and value labels through output slot 0 for formats that
// need no legalization; value labels left empty are dropped with a warning.
int32_t convert_output_names(EnvRecord& env, bool labels, bool value_labels);

// Flags of the dictionary pass.
enum : int32_t {
  kMangleCountChars = 0x1,  // maximum length counted in characters, not bytes
  kMangleQuietCase = 0x2,   // the caller learns of case changes itself
};

// Legalizes the names of the selected variables with one fresh registry (keeping each input
// name), using output slot 0 or, with ascii_only, auxiliary output converter 1 ("UTF-8" ->
// "ASCII"). `width` > 0: string variables wider than it are announced as split. Returns the
// number of names changed, or -1.
int32_t legalize_dictionary_names(EnvRecord& env, const NameRules& rules, int32_t format_code, bool ascii_only,
                                  int32_t max_len = 0, int32_t width = 0, int32_t flags = 0);

// The writers' usual call: suffix "0-9", ASCII only for Stata outputs (format codes 14 and 41).
int32_t legalize_output_names(EnvRecord& env, int32_t max_len, const char* first, const char* middle,
                              const char* last, int32_t case_mode, int32_t format_code);

}  // namespace tabulon
