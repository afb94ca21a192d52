#include "expr/expr_state.h"

#include "api/env_record.h"
#include "expr/program.h"

namespace tabulon {

void ProgramDeleter::operator()(Program* p) const noexcept { delete p; }

bool expr_env_open(EnvRecord& env, int32_t) {
  env.expr = ExprState{};
  return true;
}

void expr_env_close(EnvRecord& env) { env.expr = ExprState{}; }

}  // namespace tabulon
