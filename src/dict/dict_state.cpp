#include "dict/dict_state.h"

#include "api/env_record.h"

namespace tabulon {

bool dict_env_open(EnvRecord&, int32_t) { return true; }
void dict_env_close(EnvRecord&) {}

}  // namespace tabulon
