// The process-wide table of environments and the life of one environment.
#include <sys/utsname.h>

#include <cstring>
#include <memory>
#include <new>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/ole_state.h"

namespace tabulon {

namespace {

constexpr int32_t kTableGrowth = 255;

struct EnvTable {
  EnvRecord** slots = nullptr;  // null entries are free
  int32_t slot_count = 0;
  int32_t busy = 0;
  int32_t open_count = 0;
};

EnvTable g_table;

bool allocate_table(int32_t count) {
  auto** fresh = new (std::nothrow) EnvRecord*[count]();
  if (!fresh) return false;
  if (g_table.slots) {
    std::memcpy(fresh, g_table.slots, sizeof(EnvRecord*) * g_table.slot_count);
    delete[] g_table.slots;
  }
  g_table.slots = fresh;
  g_table.slot_count = count;
  return true;
}

// The machine is 64-bit when the kernel reports a 64-bit architecture or we run as a
// 64-bit process (a 64-bit process cannot run on a 32-bit kernel).
void detect_system(EnvRecord& env) {
  struct utsname u;
  if (uname(&u) != 0) {
    env.is_64bit_system = sizeof(void*) == 8;
    emit_message(env, MsgKind::Lib, "Failed to obtain the handle of kernel32.dll,  OS was not identified");
    return;
  }
  const char* m = u.machine;
  bool x86_32 = (std::strlen(m) == 4 && m[0] == 'i' && std::strcmp(m + 2, "86") == 0);
  env.is_64bit_system = (!x86_32 || sizeof(void*) == 8) ? 1 : 0;
  emit_messagef(env, MsgKind::Lib, "%s%d", "Type of OS: ", env.is_64bit_system);
}

// Opens the subsystems in dependency order; returns the API code of the first failure.
int32_t open_subsystems(EnvRecord& env, int32_t flags) {
  if (!io_env_open(env, flags)) return -3;        // memory-file store
  if (!encoding_env_open(env, flags)) return -4;  // binds the conversion library once per process
  detect_system(env);
  env.ole_state = ole_state();
  if (!date_env_open(env, flags)) return -1;
  if (!option_env_open(env, flags)) return -1;    // text defaults, then the keyword table when flag 2
  if (!dict_env_open(env, flags)) return -1;
  if (!expr_env_open(env, flags)) return -1;
  if (!transfer_env_open(env, flags)) return -1;
  return 0;
}

void close_subsystems(EnvRecord& env) {
  transfer_env_close(env);  // closes files and database drivers
  expr_env_close(env);
  dict_env_close(env);
  option_env_close(env);
  date_env_close(env);
  encoding_env_close(env);
  io_env_close(env);
}

}  // namespace

EnvRecord* env_from_handle(int32_t handle) {
  if (handle < 0 || handle >= g_table.slot_count || !g_table.slots) return nullptr;
  return g_table.slots[handle];
}

int32_t env_slot_count() { return g_table.slot_count; }

const char* env_set_owned_string(EnvRecord& env, int index, const char* text) {
  if (index < 0 || index >= kOwnedStringCount) return nullptr;
  if (!text) {
    env.owned_strings[index].reset();
    return nullptr;
  }
  size_t n = std::strlen(text);
  auto copy = std::make_unique<char[]>(n + 1);
  std::memcpy(copy.get(), text, n + 1);
  env.owned_strings[index] = std::move(copy);
  return env.owned_strings[index].get();
}

void frame_note_exception(EnvRecord& env, const char* what) noexcept {
  std::snprintf(env.message_buffer, kMessageSize, "%s%s", kPrefixError, what ? what : "");
  env.message = env.message_buffer;
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_OpenEnvironmentEx(int32_t flags) {
  try {
    for (;;) {
      if (g_table.busy) return -2;
      if (!g_table.slots && !allocate_table(kTableGrowth)) return -1;
      int32_t slot = -1;
      for (int32_t i = 0; i < g_table.slot_count; ++i) {
        if (!g_table.slots[i]) {
          slot = i;
          break;
        }
      }
      if (slot < 0) {
        g_table.busy = 1;
        bool grown = allocate_table(g_table.slot_count + kTableGrowth);
        g_table.busy = 0;
        if (!grown) return -1;
        continue;
      }
      auto* env = new (std::nothrow) EnvRecord();
      if (!env) return -2;
      env->handle = slot;
      if (flags & 4) env->release_xml = 1;
      g_table.slots[slot] = env;
      ++g_table.open_count;
      int32_t rc = open_subsystems(*env, flags);
      if (rc != 0) {
        DX_CloseEnvironment(slot);
        return rc;
      }
      return slot;
    }
  } catch (...) {
    return -2;
  }
}

DX_EXPORT int32_t DX_OpenEnvironment(void) { return DX_OpenEnvironmentEx(3); }

DX_EXPORT int32_t DX_CloseEnvironment(int32_t handle) {
  if (g_table.busy) return -2;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  try {
    close_subsystems(*env);
  } catch (...) {
    // Closing must always release the record; nothing more can be reported.
  }
  if (env->ole_state != 0) ole_uninitialize();
  delete env;
  g_table.slots[handle] = nullptr;
  if (--g_table.open_count <= 0) {
    delete[] g_table.slots;
    g_table = EnvTable{};
  }
  return 0;
}

DX_EXPORT const char* DX_GetErrorMsg(int32_t handle) {
  EnvRecord* env = env_from_handle(handle);
  if (!env) return "";
  return env->message;
}

DX_EXPORT int32_t DX_CopyErrorMsg(int32_t handle, char* buffer) {
  if (handle < 0 || handle >= env_slot_count()) return kBadHandle;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  if (!buffer) return -1;
  const char* msg = env->message ? env->message : "";
  size_t n = strnlen(msg, 254);
  std::memcpy(buffer, msg, n);
  buffer[n] = '\0';
  buffer[254 < n ? n : n] = '\0';
  return static_cast<int32_t>(n);
}

DX_EXPORT int32_t DX_SetInfoCallback(int32_t handle, int32_t levelMask, const uint32_t* settingsBlock,
                                     int32_t /*reserved*/, int64_t userData, DX_InfoCallback callback) {
  if (handle < 0) return kBadHandle;
  if (handle >= env_slot_count()) return -2;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  env->info_user_data = 0;
  env->info_level_mask = 0;
  env->info_callback = nullptr;
  if (!callback) return -3;
  if (!settingsBlock) return -4;
  env->info_callback = callback;
  std::memcpy(env->log_settings, settingsBlock, sizeof env->log_settings);
  env->info_level_mask = static_cast<uint32_t>(levelMask);
  env->info_user_data = userData;
  return 0;
}

DX_EXPORT int32_t DX_SetCallbackFunc(int32_t handle, int32_t flags, int64_t userData, DX_ConfirmCallback callback) {
  if (handle < 0 || handle >= env_slot_count()) return kBadHandle;
  EnvRecord* env = env_from_handle(handle);
  if (!env) return -1;
  if (!callback) return -1;
  env->confirm_callback = callback;
  env->confirm_user_data = userData;
  env->confirm_flags = static_cast<uint32_t>(flags);
  return 0;
}

DX_EXPORT int32_t DX_SetWindowHandle(int32_t handle, int64_t hwnd) {
  EnvRecord* env = env_from_handle(handle);
  if (!env) return handle < 0 || handle >= env_slot_count() ? kBadHandle : -1;
  env->window_handle = hwnd;
  return 0;
}

DX_EXPORT const char* DX_GetDLLVersion(void) { return "12.1.196.1216"; }
