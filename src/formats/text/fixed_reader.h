// Fixed-column text described by the ".SCH" file beside it (input format 19).
#pragma once

#include <cstdint>
#include <string>

#include "formats/text/delimited_reader.h"

namespace tabulon {

// Reads the ".SCH" text into the dictionary and the reader's settings. Returns the
// number of fields read.
int32_t parse_schema_text(EnvRecord& env, DelimitedReader& r, const std::string& text);

// Opens the ".SCH" file beside `data_path` and builds the dictionary; raises
// "Schema (file layout) is required to read fixed format files" when there is none.
void fixed_read_schema(EnvRecord& env, DelimitedReader& r, const std::string& data_path);

// Next record of fixed columns: 0, or -1 at the end.
int32_t fixed_read_record(EnvRecord& env, DelimitedReader& r);

}  // namespace tabulon
