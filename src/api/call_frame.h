// The frame around every exported function: no exception ever crosses the C boundary.
#pragma once

#include <cstdint>
#include <new>

#include "api/env_record.h"
#include "api/raise.h"

namespace tabulon {

constexpr int32_t kBadHandle = -99;

// Records an unexpected C++ failure (out of memory, a bug) in the environment's message.
void frame_note_exception(EnvRecord& env, const char* what) noexcept;

// Runs body(EnvRecord&) for a valid handle. A handle outside the table gives -99, an
// empty slot -1. A failure raised inside the body returns fail_code with the message kept.
template <class Body>
int32_t call_frame(int32_t handle, int32_t fail_code, Body&& body) noexcept {
  if (handle < 0 || handle >= env_slot_count()) return kBadHandle;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  try {
    return body(*env);
  } catch (const RaisedError&) {
    return fail_code;
  } catch (const std::bad_alloc&) {
    frame_note_exception(*env, "Out of memory.");
    return fail_code;
  } catch (const std::exception& e) {
    frame_note_exception(*env, e.what());
    return fail_code;
  } catch (...) {
    frame_note_exception(*env, "Unexpected internal failure.");
    return fail_code;
  }
}

// Same, for functions whose result is not a code (pointers, doubles): bad handles and
// failures give `fallback`.
template <class T, class Body>
T call_frame_value(int32_t handle, T fallback, Body&& body) noexcept {
  EnvRecord* env = env_from_handle(handle);
  if (!env) return fallback;
  try {
    return body(*env);
  } catch (const RaisedError&) {
    return fallback;
  } catch (const std::bad_alloc&) {
    frame_note_exception(*env, "Out of memory.");
    return fallback;
  } catch (const std::exception& e) {
    frame_note_exception(*env, e.what());
    return fallback;
  } catch (...) {
    frame_note_exception(*env, "Unexpected internal failure.");
    return fallback;
  }
}

}  // namespace tabulon

#define DX_EXPORT extern "C" TABULON_API
