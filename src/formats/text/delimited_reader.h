// Delimited text input: the dictionary scan and the record reader.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/text/date_cell.h"
#include "formats/text/field_split.h"
#include "formats/text/line_reader.h"
#include "formats/text/text_settings.h"
#include "formats/text/type_guess.h"

namespace tabulon {

struct VarRecord;

// Most fields a ".SCH" file may describe.
constexpr size_t kMaxSchemaFields = 32767;

struct RdLineCloser {
  void operator()(RdLine* r) const noexcept { rdline_close(r); }
};

struct DelimitedReader : FormatState {
  TextSettings s;
  std::unique_ptr<RdLine, RdLineCloser> rd;
  FILE* file = nullptr;  // opened by the reader itself
  NumberPunct punct;
  DateCellParser dates;
  ParsePattern date_pattern, time_pattern;  // used when the environment sets none
  ParsePattern datetime_pattern;            // given by a ".SCH" file
  bool end_in_scan = false;
  FieldCuts field_cuts;  // cuts of the current line (split_plain_line)

  // Record reader.
  std::vector<VarRecord*> vars;  // dictionary order
  bool vars_ready = false;
  int64_t lines_read = 0;        // since the data start
  bool any_record = false;       // a record was read since the data start

  // Saved position for two-pass work.
  int64_t saved_at = -1;
  int64_t saved_lines = 0;
  bool saved_any = false;

  ~DelimitedReader() override;
};

// Prepares a reader over a source (the settings are taken from the environment).
void delimited_prepare(EnvRecord& env, DelimitedReader& r, const ByteSource& src, const char* encoding);
// Builds the dictionary. 0, or -1 when no line held a field.
int32_t delimited_scan(EnvRecord& env, DelimitedReader& r);
// Reads the next record into the record buffer: 0, or -1 at the end of the data.
int32_t delimited_read_record(EnvRecord& env, DelimitedReader& r);

}  // namespace tabulon
