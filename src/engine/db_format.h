// Database sources and targets as a format: the reader and writer that forward to
// the driver library of their side.
#pragma once

#include <cstdint>
#include <string>

#include "engine/format_hooks.h"

namespace tabulon {

extern const FormatReaderOps kDatabaseReader;
extern const FormatWriterOps kDatabaseWriter;

struct DriverSlot;
// Points the slot's context at the environment's services, parameters and path.
void db_fill_context(EnvRecord& env, DriverSlot& slot, int32_t code, const std::string& path);
// Driver number for a database format code (0 when the code is none).
int32_t db_driver_number(int32_t code);
// Loads the output side's driver for code; raises "Cannot load library: %s:".
void db_load_output(EnvRecord& env, int32_t code);
// Closes the output side (closew): 0, or the driver's negative result.
int32_t db_close_output(EnvRecord& env);
// Closes the input side (closer).
void db_close_input(EnvRecord& env);

}  // namespace tabulon
