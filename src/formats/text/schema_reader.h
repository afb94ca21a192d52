// Text input described by a schema (formats 46, 53, 55) and by DX_DefineAsciiVar.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/text/date_cell.h"
#include "formats/text/delimited_reader.h"
#include "formats/text/number_text.h"
#include "formats/text/schema_parser.h"

namespace tabulon {

struct SchemaReader : FormatState {
  SchemaInfo info;
  FILE* schema_file = nullptr;
  FILE* data_file = nullptr;
  std::unique_ptr<RdLine, RdLineCloser> schema_rd;  // also the data when it is inline
  std::unique_ptr<RdLine, RdLineCloser> data_rd;
  RdLine* rd = nullptr;                              // where records come from
  NumberPunct punct;
  DateCellParser dates;                              // variables without a pattern of their own
  ParsePattern date_pattern, time_pattern;
  int user_missing_mode = 0;                         // 0 all entries, 1 the first, 2 none
  std::vector<std::string> lines;                    // the lines of the current record
  std::vector<char> by_chars;                        // per line: columns count characters
  std::unordered_map<const VarRecord*, size_t> index;
  int64_t records = 0;
  int64_t saved_at = -1;
  int64_t saved_records = 0;
  int64_t blank_pending = 0;                         // empty record lines still to hand out
  int64_t saved_blank_pending = 0;

  ~SchemaReader() override;
};

// Prepares number and date parsing from the environment.
void schema_reader_settings(EnvRecord& env, SchemaReader& r);
// Opens the data of a parsed schema: inline after the schema, the "file" named, or the
// schema's path with ".dat". Raises "Cannot open data file: %s".
void schema_open_data(EnvRecord& env, SchemaReader& r, const std::string& schema_path);
// Next record: 0, or -1 at the end of the data.
int32_t schema_read_record(EnvRecord& env, SchemaReader& r);

// The missing values the schema gave a variable, or null.
const MissingSpec* schema_user_missing(EnvRecord& env, const VarRecord& v);

}  // namespace tabulon
