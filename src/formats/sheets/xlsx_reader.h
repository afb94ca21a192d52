// Office Open XML workbooks (.xlsx, .xlsm): the zip package read part by part, each part
// streamed through the run-time bound XML text reader into the worksheet model.
#pragma once

#include <cstdint>

#include "formats/sheets/worksheet_model.h"
#include "formats/sheets/xls_reader.h"

namespace tabulon {

struct EnvRecord;

// Class and decimals of a built-in number format id (those a workbook need not define).
FormatClass xlsx_builtin_format(uint32_t id);

// Reads the package at path into wb. Raises on damaged or unsupported packages.
void xlsx_parse(EnvRecord& env, const char* path, Workbook& wb);

// Open hook of format code 54; also takes the zip files handed over by the code 48 reader.
int32_t xlsx_open_input(EnvRecord& env);

}  // namespace tabulon
