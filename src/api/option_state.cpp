#include "api/option_state.h"

#include "api/env_record.h"

namespace tabulon {

bool option_env_open(EnvRecord&, int32_t) { return true; }
void option_env_close(EnvRecord&) {}

}  // namespace tabulon
