// The few stream operations the engine itself needs: opening both sides, their
// sticky error bits and the input position for two-pass work.
#pragma once

#include <cstdint>
#include <string>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;

// Stream error bits the engine tests.
constexpr uint32_t kStreamReadError = 1;
constexpr uint32_t kStreamWriteError = 4;
constexpr uint32_t kStreamIncomplete = 64;  // the output must be deleted at close

// Opens a read stream; null when the file cannot be opened.
StreamPtr engine_open_read(EnvRecord& env, const std::string& path, uint32_t buffer_size);
// Opens a write stream with an fopen mode; null when the file cannot be created.
StreamPtr engine_open_write(EnvRecord& env, const std::string& path, const char* mode, uint32_t buffer_size);

uint32_t engine_stream_errors(const Stream* stream);
void engine_stream_add_errors(Stream* stream, uint32_t bits);
int64_t engine_stream_tell(Stream* stream);
bool engine_stream_seek(Stream* stream, int64_t position);

}  // namespace tabulon
