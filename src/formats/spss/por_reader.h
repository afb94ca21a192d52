// SPSS portable file reader: finds the signature, reads the tagged dictionary and then one
// case per call. Characters come through an 80-column line reader, so line ends never reach
// the parser and short lines read as if padded with blanks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dict/user_missing.h"
#include "io/input_buffer.h"

#include "engine/transfer_state.h"
#include "formats/spss/por_base30.h"
#include "formats/spss/por_charset.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

// Kinds of missing-value entries.
enum PorMissingKind : uint8_t {
  kPorMissNone = 0,
  kPorMissValue = 1,    // a discrete value
  kPorMissAbove = 2,    // value thru highest
  kPorMissBelow = 3,    // lowest thru value
  kPorMissRange = 4,    // one end of a closed range (two entries)
};

struct PorMissing {
  uint8_t kind = kPorMissNone;
  double value = 0;
};

// Conversion of a number on the way into the record buffer.
enum PorConv : uint8_t { kPorConvNone = 0, kPorConvDate, kPorConvTime };

struct PorField {
  bool is_string = false;
  uint8_t conv = kPorConvNone;
  uint32_t width = 0;  // strings: characters kept
  PorMissing missing[3];
  MissingTexts texts;  // strings: discrete missing values
};

// The character source: large reads from the stream, one byte of look-back.
struct PorReader final : FormatState {
  InputBuffer in;
  std::vector<MissingSpec> declared_missing;  // per field, made when first asked
  int32_t column = 0;      // of the last character handed out, 1..80
  bool padding = false;    // handing out the blanks of a short line
  int64_t lines = 1;
  int pending = -1;        // a character given back
  PorDecoder decoder;      // the file's bytes through its translation table

  int64_t declared_vars = 0;
  std::vector<PorField> fields;  // one per dictionary variable
  std::string text;              // the current string field
  std::string scratch;           // reused for converted values
  bool cp1252_fallback = false;  // text that is not UTF-8 is read as Windows-1252
  PorNumber number;
  int32_t user_missing_mode = 0;  // 0 every entry, 1 the first, 2 none
  bool map_user_missing = false;
  int32_t label_sets = 0;
  bool long_values = false;
  int64_t delivered = 0;

  int64_t saved_offset = -1;
  int32_t saved_column = 0;
  bool saved_padding = false;
  int64_t saved_lines = 0;
  int64_t saved_delivered = 0;

  // The next character of the file, -1 at its end: ASCII, a byte the file's table does not
  // name, or kPorSymbol + a position of the portable set.
  int next() {
    if (pending >= 0) {
      const int c = pending;
      pending = -1;
      return c;
    }
    return next_from_lines();
  }
  int next_from_lines();
};

// The field of a variable of the portable input being read, or null.
const PorField* por_input_field(EnvRecord& env, const VarRecord& v);
// A numeric variable's missing-value entries as the dictionary's user-missing declaration.
const MissingSpec* por_user_missing(EnvRecord& env, const VarRecord& v);
const MissingTexts* por_user_missing_texts(EnvRecord& env, const VarRecord& v);

int32_t por_read_dict(EnvRecord& env);
int32_t por_read_case(EnvRecord& env);
int32_t por_save_position(EnvRecord& env);
int32_t por_restore_position(EnvRecord& env);

}  // namespace tabulon
