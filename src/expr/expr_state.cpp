#include "expr/expr_state.h"

#include "api/env_record.h"

namespace tabulon {

bool expr_env_open(EnvRecord&, int32_t) { return true; }
void expr_env_close(EnvRecord&) {}

}  // namespace tabulon
