// The whole conversion in one call.
#include <cstdio>
#include <string>

#include "api/call_frame.h"
#include "dict/dictionary.h"
#include "engine/format_registry.h"
#include "engine/transfer.h"

using namespace tabulon;

extern "C" {
int32_t DX_OpenInputFile(int32_t, int32_t, const char*);
int32_t DX_ReadDict(int32_t);
int32_t DX_OpenOutFile(int32_t, int32_t, const char*);
int32_t DX_TransferAllRecords(int32_t);
int32_t DX_ReadMembers(int32_t);
int32_t DX_SetFirstMember(int32_t);
int32_t DX_FormatHasMembers(int32_t);
int32_t DX_CloseFiles(int32_t);
}

namespace {

// Closing empties the message; the host still needs to read why the transfer failed.
int32_t fail(int32_t handle) {
  EnvRecord* env = env_from_handle(handle);
  std::string text = env && env->message ? env->message : "";
  DX_CloseFiles(handle);
  if (env) {
    std::snprintf(env->message_buffer, kMessageSize, "%s", text.c_str());
    env->message = env->message_buffer;
  }
  return -1;
}

}  // namespace

DX_EXPORT int32_t DX_TransferData(int32_t handle, int32_t in_code, const char* in_path, int32_t out_code,
                                  const char* out_path) {
  if (!env_from_handle(handle)) return handle < 0 || handle >= env_slot_count() ? -99 : -1;
  if (DX_OpenInputFile(handle, in_code, in_path) != 0) return fail(handle);
  if (DX_FormatHasMembers(handle) == 1) {
    if (DX_ReadMembers(handle) < 1) return fail(handle);
    if (DX_SetFirstMember(handle) < 0) return fail(handle);
  }
  if (DX_ReadDict(handle) < 0) return fail(handle);
  EnvRecord* env = env_from_handle(handle);
  for (auto& v : env->dict.vars) v->selected = 1;
  if (DX_OpenOutFile(handle, out_code, out_path) != 0) return fail(handle);
  int32_t moved = DX_TransferAllRecords(handle);
  if (moved < 0) return fail(handle);
  if (DX_CloseFiles(handle) < 0) return -1;
  return moved;
}
