// Per-environment state of this subsystem, held by value inside EnvRecord.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

struct TransferState {
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool transfer_env_open(EnvRecord& env, int32_t flags);
void transfer_env_close(EnvRecord& env);

}  // namespace tabulon
