// Frames for exported dictionary functions whose handle checks return their own codes.
#pragma once

#include <cstdint>

#include "api/call_frame.h"
#include "dict/dictionary.h"

namespace tabulon {

// A negative handle gives -99, a handle at or above the slot count above_code, an
// empty slot empty_code; a failure raised in the body gives fail_code.
template <class Body>
int32_t dict_frame(int32_t handle, int32_t above_code, int32_t empty_code, int32_t fail_code, Body&& body) noexcept {
  if (handle < 0) return kBadHandle;
  if (handle >= env_slot_count()) return above_code;
  if (!env_from_handle(handle)) return empty_code;
  return call_frame(handle, fail_code, body);
}

// A variable whose value is in the record buffer, or null when the variable does
// not exist, is not selected or has no slot. Lays the record out on first use.
VarRecord* dict_value_var(EnvRecord& env, int32_t index);

}  // namespace tabulon
