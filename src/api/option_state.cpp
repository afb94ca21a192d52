#include "api/option_state.h"

#include "api/env_record.h"
#include "api/option_apply.h"
#include "api/option_table.h"

namespace tabulon {

namespace {

// The settings record used when an environment is opened with flag 2.
int32_t g_open_settings[kSettingsWords];

}  // namespace

bool option_env_open(EnvRecord& env, int32_t flags) {
  // Month/day names and AM/PM words are the date code's defaults; these are the rest.
  env.options.text = TextOptions{};
  if (env.handle == 0) {
    if (const char* shared = option_shared_path()) env.shared_path = shared;
  }
  if (flags & 1) option_table_reset();
  if (flags & 2) {
    try {
      set_options(env, 0, g_open_settings, 0);
    } catch (...) {
      return false;
    }
  }
  return true;
}

void option_env_close(EnvRecord& env) {
  option_slots_clear(env.options.slots);
  env.options.wks.hooks = WorkbookHooks{};
}

}  // namespace tabulon
