#include "encoding/encoding_state.h"

#include "api/env_record.h"

namespace tabulon {

bool encoding_env_open(EnvRecord&, int32_t) { return true; }
void encoding_env_close(EnvRecord&) {}

}  // namespace tabulon
