#include "api/ole_state.h"

#include "api/call_frame.h"
#include "api/env_record.h"

namespace tabulon {

namespace {

int32_t g_ole_state = 0;
int32_t g_init_calls = 0;
int32_t g_uninit_calls = 0;

// New state copied into the environments in slot order, stopping at the first gap.
void copy_into_envs(int32_t state) {
  for (int32_t i = 0; i < env_slot_count(); ++i) {
    EnvRecord* env = env_from_handle(i);
    if (!env) break;
    env->ole_state = state;
  }
}

}  // namespace

int32_t ole_state() { return g_ole_state; }
int32_t ole_initialize_calls() { return g_init_calls; }
int32_t ole_uninitialize_calls() { return g_uninit_calls; }
void ole_uninitialize() { ++g_uninit_calls; }

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_OLE_Init(int32_t mode) {
  switch (mode) {
    case 1:
      if (g_ole_state != 0) return g_ole_state;
      ++g_init_calls;  // the compound-file layer is our own: initialising always succeeds
      g_ole_state = 1;
      copy_into_envs(1);
      break;
    case 2:
      if (g_ole_state == 0) {
        g_ole_state = 1;
        copy_into_envs(1);
      }
      break;
    case -1:
      g_ole_state = 0;
      copy_into_envs(0);
      break;
    case -2:
      if (g_ole_state > 0) ole_uninitialize();
      g_ole_state = 0;
      copy_into_envs(0);
      break;
    case -3:
      ole_uninitialize();
      g_ole_state = 0;
      copy_into_envs(0);
      break;
    default:
      break;
  }
  return g_ole_state;
}

DX_EXPORT int32_t DX_OleNoInit(int32_t handle) {
  if (handle < 0 || handle >= env_slot_count()) return kBadHandle;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  env->ole_state = 1;
  return 0;
}
