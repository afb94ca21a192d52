#include "io/io_state.h"

#include "api/env_record.h"

namespace tabulon {

bool io_env_open(EnvRecord&, int32_t) { return true; }
void io_env_close(EnvRecord&) {}

}  // namespace tabulon
