// The transfer pipeline as the rest of the library calls it.
#pragma once

#include <cstdint>
#include <string>

namespace tabulon {

struct EnvRecord;
struct VarStats;

// DX_CloseFiles without the call frame: finishes the output, closes both sides and
// resets the transfer state (the driver slots stay). Never throws.
int32_t transfer_close_files(EnvRecord& env) noexcept;

// Reset of the input side before a new input or user dictionary starts.
void transfer_reset_input(EnvRecord& env);

// One step of the record loop: read the next accepted case into the record buffer.
// 0 read, -1 end of data (or an evaluation failure), other negatives a reader failure.
int32_t transfer_read_next(EnvRecord& env);
// Write the record buffer as one case: 0 or more written (1: skipped by WHERE), negative failure.
int32_t transfer_write_current(EnvRecord& env);

// The optimization pass's read through the reader's gather_stats hook (which must exist):
// up to max_cases cases into stats, counted as transfer_read_next counts them; at the end
// of the data the reader's case count is checked. Returns the cases taken.
int32_t transfer_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                              int32_t max_cases);

// Input stream position for two-pass work.
int32_t transfer_save_position(EnvRecord& env);
int32_t transfer_restore_position(EnvRecord& env);

// Lays the record buffer out and marks the input read-only (DX_InitReadOnly).
void transfer_init_read_only(EnvRecord& env);

// Replaces %ipath% %iname% %iext% %opath% %oname% %oext% in a file-name template.
// Paths keep their forward slashes on this system.
std::string expand_path_macros(const EnvRecord& env, const char* text);

}  // namespace tabulon
