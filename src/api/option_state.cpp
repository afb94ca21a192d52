#include "api/option_state.h"

#include "api/env_record.h"

namespace tabulon {

bool option_env_open(EnvRecord& env, int32_t) {
  env.options.text = TextOptions{};
  return true;
}

void option_env_close(EnvRecord& env) { option_slots_clear(env.options.slots); }

}  // namespace tabulon
