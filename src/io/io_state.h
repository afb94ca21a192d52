// Per-environment state of this subsystem, held by value inside EnvRecord.
#pragma once

#include <cstdint>

#include "io/mem_file_store.h"

namespace tabulon {

struct EnvRecord;

struct IoState {
  MemFileStore store{};         // "Memory File" streams (block size 4096, 32 files)
  void* xml_handle = nullptr;   // the XML library, while this environment holds it
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool io_env_open(EnvRecord& env, int32_t flags);
void io_env_close(EnvRecord& env);

}  // namespace tabulon
