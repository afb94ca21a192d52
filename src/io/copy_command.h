// The compound-file copy command (numbered option 200): moves one stream between a
// compound file and a plain file. Messages go to the process's standard output.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// text: "<compound;plain[;stream]" or ">plain;compound[;stream]"; the stream defaults
// to "Workbook". 0 on success, -1 on every failure.
int32_t stream_copy_command(EnvRecord& env, const char* text);

}  // namespace tabulon
