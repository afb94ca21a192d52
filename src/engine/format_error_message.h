// Text of a reader's or writer's numeric failure, in its format's words.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// Failure codes with a fixed text of their own.
constexpr int32_t kFormatErrNotSplus = 1001;         // "Not an S file."
constexpr int32_t kFormatErrObsoleteSpssPc = 1002;   // SPSS/PC files
constexpr int32_t kFormatErrCompressedSystat = 1003; // compressed SYSTAT files

// side 1 = input, otherwise output; phase 1 = dictionary, 2 = data. Writes the text into
// buffer (1024 bytes; null: the environment's message buffer), makes it the message,
// stores code as the last open result and, for the output side, marks the output stream
// so that DX_CloseFiles deletes the incomplete file. Returns the text.
const char* BuildFormatErrorMessage(EnvRecord& env, int32_t side, int32_t code, int32_t phase, char* buffer,
                                    int32_t supportLevel);

}  // namespace tabulon
