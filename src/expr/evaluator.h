// Runs compiled programs against the bound record buffer.
#pragma once

#include "expr/program.h"

namespace tabulon {

struct EnvRecord;

// Evaluates a program whose variables are bound (see expr_binding.h). `env` supplies
// the record number, the worksheet and the input path; it may be null. For a
// condition the number is 1 or 0. Never allocates for numeric programs.
ExprValue evaluate(Program& prog, EnvRecord* env);

inline bool evaluate_condition(Program& prog, EnvRecord* env) { return evaluate(prog, env).num != 0; }

}  // namespace tabulon
