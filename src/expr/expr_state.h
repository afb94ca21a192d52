// Per-environment state of this subsystem, held by value inside EnvRecord.
#pragma once

#include <cstdint>
#include <memory>

namespace tabulon {

struct EnvRecord;
struct Program;

struct ProgramDeleter {
  void operator()(Program* p) const noexcept;
};
using ProgramPtr = std::unique_ptr<Program, ProgramDeleter>;

struct ExprState {
  ProgramPtr where;               // the installed WHERE condition, or null
  bool uses_random = false;       // a compiled expression draws random numbers
  bool skip_bad_var_names = false;  // keep/drop: warn and skip unknown names
  bool input_types_changeable = false;  // the input lets the host change any type
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool expr_env_open(EnvRecord& env, int32_t flags);
void expr_env_close(EnvRecord& env);

}  // namespace tabulon
