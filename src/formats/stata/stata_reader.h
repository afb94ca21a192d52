// Stata data file reader: binary releases 102 to 115 and the tagged releases 117, 118 and 119,
// in either byte order. The dictionary (with value labels and the strL table) is read at once;
// cases are then handed out one per call straight from large buffered reads.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/stata/stata_codes.h"
#include "io/input_buffer.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;
struct VarStats;

struct StataField {
  uint8_t kind = 0;        // StataKind
  uint8_t date_kind = 0;   // StataDateKind
  bool time_only = false;  // T_TIME: the time of day alone
  uint32_t offset = 0;     // in the file's record
  uint32_t width = 0;      // bytes in the file's record
};

// One selected variable of the case reader's plan.
struct StataStep {
  uint8_t kind;
  uint8_t date_kind;
  bool time_only;
  bool short_text;  // a string of at most 8 bytes with 8 bytes of the record from its start
  uint32_t offset;
  uint32_t width;
  uint32_t var_number;  // 1-based position in the file (strL lookups, messages)
  VarRecord* var;
};

struct StataReader final : FormatState {
  InputBuffer in;
  uint32_t release = 0;
  bool swap = false;
  uint32_t var_count = 0;
  uint64_t obs_count = 0;
  uint32_t record_length = 0;
  uint64_t delivered = 0;
  StataTaggedLayout layout{};  // tagged releases
  bool utf8 = false;           // release 118 and later: text is UTF-8
  bool utf8_as_is = false;     // ... and no encoding was named: taken without conversion
  int64_t data_pos = 0;
  bool cp1252_fallback = false;  // text that is not UTF-8 is read as Windows-1252
  std::string scratch;           // reused for converted string values
  StataThresholds th{};
  std::vector<StataField> fields;
  std::vector<std::string> label_names;  // value-label table of each variable
  uint64_t map[14] = {};
  uint32_t strl_limit = 0;

  // strL texts by (variable, observation), both 1-based.
  std::unordered_map<uint64_t, uint32_t> strl_slots;
  std::vector<std::string> strl_texts;

  std::vector<StataStep> plan;
  // The plan for read_case: plain numbers grouped by kind (byte, int, long, float, double:
  // group_end gives where each group ends), then dated numbers, then text in file order.
  std::vector<StataStep> case_order;
  uint32_t group_end[6] = {};
  bool plan_ready = false;
  bool text_converts = false;  // string values go through the input converter
  int64_t saved_delivered = -1;
};

// Reads the header, descriptors, strL table and value labels from env.transfer.input_stream.
int32_t stata_read_dict(EnvRecord& env);
// Fills the record buffer with the next observation (kCaseRead / kEndOfData).
int32_t stata_read_case(EnvRecord& env);
// The optimization pass's statistics straight from the data (FormatReaderOps::gather_stats).
int32_t stata_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                           int32_t max_cases);
int32_t stata_save_position(EnvRecord& env);
int32_t stata_restore_position(EnvRecord& env);

}  // namespace tabulon
