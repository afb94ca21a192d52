// The WHERE condition of an environment, as the record loop sees it.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// True when no WHERE condition is set; otherwise evaluates the compiled condition on
// the current record buffer. An evaluation failure raises (message in the environment).
bool where_accepts(EnvRecord& env);

// True when a WHERE condition is installed.
bool where_is_set(const EnvRecord& env);

// Call before each pass over the cases (the optimization pass and the transfer): the
// record number and the values remembered by prior() start again, and a condition that
// draws random numbers is reseeded with the seed it started from, so both passes
// select the same cases.
void where_begin_pass(EnvRecord& env);

// Removes the WHERE condition (DX_CloseFiles, or an empty DX_ParseWhere text).
void where_clear(EnvRecord& env);

// DX_CloseFiles: drops the WHERE condition and the input's type-change declaration.
void expr_close_files(EnvRecord& env);

// Compiles text as a WHERE condition. With install the program becomes the
// environment's condition. Raises with "Error in Expression: ..." on a compile error.
void where_compile(EnvRecord& env, const char* text, bool install);

}  // namespace tabulon
