#include "engine/transfer_state.h"

#include "api/env_record.h"

namespace tabulon {

bool transfer_env_open(EnvRecord&, int32_t) { return true; }
void transfer_env_close(EnvRecord&) {}

}  // namespace tabulon
