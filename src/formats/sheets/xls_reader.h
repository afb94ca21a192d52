// Excel binary workbooks (BIFF 2 to 8), bare or inside a compound file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/sheets/worksheet_model.h"

namespace tabulon {

struct EnvRecord;

// Class of a number-format string (0 general, 1 fixed, 2 scientific, 4 currency, 8 percent,
// 16 thousands, 32 date, 64 time, 65 date-time) and its number of decimals.
struct FormatClass {
  uint8_t cls = 0;
  uint8_t decimals = 0;
};
FormatClass xls_classify_format(std::string_view format);

// Parses a whole BIFF stream into wb. Raises on damaged or unsupported data.
// workbook_stream: the stream was the compound file's "Workbook" (longer records allowed).
void xls_parse(EnvRecord& env, const uint8_t* data, size_t size, bool workbook_stream, Workbook& wb);

// Reader hooks of format code 48.
int32_t xls_open_input(EnvRecord& env);

}  // namespace tabulon
