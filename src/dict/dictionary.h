// The dictionary of an environment and the record buffer every reader fills and
// every writer reads.
//
// Readers: dict_clear (done by the transfer engine), then dict_append_var per
// variable; per case fill values with var_set_double / var_set_string /
// var_set_missing. Writers: for each selected variable read var_missing /
// var_get_double / var_get_string. Values of selected variables live at
// VarRecord::offset once dict_layout_record has run.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "dict/dict_state.h"
#include "dict/var_record.h"

namespace tabulon {

struct EnvRecord;

// ---- dictionary list ----

// Number of variables.
inline int32_t dict_count(const DictState& d) { return d.count(); }

// Variable at a 0-based position, or null when there is none.
inline VarRecord* dict_var(DictState& d, int32_t index) {
  if (index < 0 || index >= d.count()) return nullptr;
  return d.vars[static_cast<size_t>(index)].get();
}
inline const VarRecord* dict_var(const DictState& d, int32_t index) {
  if (index < 0 || index >= d.count()) return nullptr;
  return d.vars[static_cast<size_t>(index)].get();
}

// Appends a zero-filled variable and returns it (stable address until dict_clear).
VarRecord& dict_append_var(DictState& d);
// Appends a variable with a name and storage type; api type follows the storage type.
VarRecord& dict_append_var(DictState& d, std::string_view name, int ttype, uint32_t width);

// Index of the variable whose name equals name without regard to ASCII case, or -1.
int32_t dict_find(const DictState& d, std::string_view name);

// Releases the whole dictionary: variables, labels, attributes, record buffer,
// fixed-column definitions and the data-set facts readers recorded.
void dict_clear(DictState& d);

// Sets every variable's API type from its storage type (after a dictionary is read).
void dict_derive_api_types(DictState& d);

// ---- record buffer ----

// Lays out the record buffer: offsets and slot widths of the variables that take part
// (strings: print width + 1 rounded up to even, capped by the maximum string length,
// raised to 32 for worksheet inputs, times 4; others: 8 bytes aligned to 8, 16 with
// complex values, 32 for worksheet inputs) and allocates it zero-filled. Raises on a
// storage type above 9. Keeps an existing buffer while it still fits the dictionary
// (every variable that takes part has a slot of its kind); otherwise lays out anew.
void dict_layout_record(EnvRecord& env);
// Drops the record buffer so that the next layout starts over.
void dict_release_record(DictState& d);
// Zero-fills the buffer (start of a case).
inline void dict_clear_record(DictState& d) {
  if (d.record_store) std::memset(d.record(), 0, d.record_length);
}

// ---- values of the current case (record buffer must be laid out) ----

inline uint8_t* var_slot(DictState& d, const VarRecord& v) { return d.record() + v.offset; }
inline const uint8_t* var_slot(const DictState& d, const VarRecord& v) { return d.record() + v.offset; }

inline uint16_t var_missing(const VarRecord& v) { return v.missing; }

inline double var_get_double(const DictState& d, const VarRecord& v) {
  double x;
  std::memcpy(&x, var_slot(d, v), sizeof x);
  return x;
}
inline void var_set_double(DictState& d, VarRecord& v, double x) {
  std::memcpy(var_slot(d, v), &x, sizeof x);
  v.missing = kValuePresent;
}

// NUL-terminated string value.
inline const char* var_get_string(const DictState& d, const VarRecord& v) {
  return reinterpret_cast<const char*>(var_slot(d, v));
}
// Copies at most storage width - 1 bytes (never splitting a UTF-8 sequence) and a NUL;
// the value becomes present. Returns the bytes copied.
inline size_t var_set_string(DictState& d, VarRecord& v, const char* s, size_t len) {
  char* slot = reinterpret_cast<char*>(var_slot(d, v));
  size_t cap = v.storage_width ? v.storage_width - 1 : 0;
  if (len > cap) len = utf8_cut(s, len, cap);
  if (len) std::memcpy(slot, s, len);
  slot[len] = '\0';
  v.missing = kValuePresent;
  return len;
}
inline size_t var_set_string(DictState& d, VarRecord& v, std::string_view s) {
  return var_set_string(d, v, s.data(), s.size());
}

// Marks the value missing with a code (1 system missing, 2..29 extended) and
// clears the start of its slot.
inline void var_set_missing(DictState& d, VarRecord& v, uint16_t code = kSystemMissing) {
  v.missing = code;
  uint8_t* slot = var_slot(d, v);
  if (v.is_string() || v.storage_width < 8)
    slot[0] = 0;
  else
    std::memset(slot, 0, 8);
}

}  // namespace tabulon
