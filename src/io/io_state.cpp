#include "io/io_state.h"

#include "api/env_record.h"

namespace tabulon {

bool io_env_open(EnvRecord& env, int32_t) {
  return mfs_init(&env.io.store, 4096, 32, false) == 0;
}

// The XML binding is process-wide and may serve other environments: it is released
// when the files are closed with the release flag, not here.
void io_env_close(EnvRecord& env) { mfs_shutdown(&env.io.store); }

}  // namespace tabulon
