// Keep/drop statements and the quick type changer: variable lists of names,
// wildcards, ranges, type classes or a file of names, applied to the dictionary.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tabulon {

struct EnvRecord;
struct DictState;

// Keep/drop modes.
constexpr int32_t kVarSelectFromText = 0;  // first word of the text is "keep" or "drop"
constexpr int32_t kVarSelectDrop = 1;
constexpr int32_t kVarSelectKeep = 2;

// Runs a keep/drop statement. Returns the number of variables affected, negative for a
// drop, or 0 on error with the message in env.message_buffer. Never raises.
// With reset every variable is first kept (drop) or not kept (keep).
int32_t keep_drop_statement(EnvRecord& env, const char* text, int32_t mode, bool reset);

// Runs a type-change statement: every listed variable gets storage type new_type.
// Returns 0, or -1 with the message in env.message_buffer. Never raises.
// (DX_SetDictOption 11 and DX_SetOption 201 land here.)
int32_t type_change_statement(EnvRecord& env, int32_t new_type, const char* text);

// Unknown names in keep/drop lists: false (default) ends the statement with an error,
// true logs a warning and skips the name.
void set_stop_on_bad_variable(EnvRecord& env, bool skip_bad_names);

// A reader whose input lets the host change any type (dates and strings included)
// declares it here after reading the dictionary; expr_close_files (where.h) clears it.
void set_input_types_changeable(EnvRecord& env, bool changeable);

// Positions of the variables one list word names (class word, wildcard, range or
// name), in dictionary order. Returns their count.
int32_t match_var_word(const DictState& d, std::string_view word, std::vector<int32_t>& out);

}  // namespace tabulon
