// SAS transport (XPORT) file reader, versions 5 and 8: lists the members of the library when
// the file is opened, reads the NAMESTR records (and the label section of version 8) of the
// chosen member, then hands out its observations one per call from large buffered reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/input_buffer.h"

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;
struct Stream;

// Large reads from the stream, addressed by file offset.
struct XportMember {
  std::string name;
  std::string label;        // the data set's label
  int32_t var_count = 0;
  int64_t namestr_pos = 0;  // first NAMESTR byte
  int64_t label_pos = -1;   // version 8: the LABELV8 or LABELV9 header, when there is one
  int64_t obs_header = -1;  // the OBS header, -1 when missing
  int64_t obs_count = -1;   // version 8 files of SAS give it in the OBS header
  int64_t data_end = -1;    // the next header record after its observations, or the file's end
};

enum XportKind : uint8_t { kXportString, kXportNumber, kXportDate, kXportTime, kXportDateTime };

struct XportField {
  uint8_t kind = kXportNumber;
  uint32_t offset = 0;  // in the observation
  uint32_t length = 0;
};

struct XportReader final : FormatState {
  InputBuffer in;
  int version = 5;  // 5 or 8
  std::vector<XportMember> members;
  int64_t file_end = 0;

  std::vector<XportField> fields;  // one per dictionary variable
  uint32_t obs_length = 0;
  int64_t data_start = 0;
  int64_t data_end = 0;
  int64_t last_record = 0;  // start of the data's last 80-byte record
  int64_t cursor = 0;       // next observation
  int64_t delivered = 0;
  bool ended = false;
  bool counted = false;  // the member's observation count is known: no padding to guess
  bool warned = false;  // of a file cut inside a record
  bool cp1252_fallback = false;
  std::vector<uint8_t> obs;
  std::string scratch;

  int64_t saved_cursor = -1;
  int64_t saved_delivered = 0;
  bool saved_ended = false;
};

// Reads the member list (the engine's open hook for this format).
int32_t xport_open_input(EnvRecord& env);
int32_t xport_read_members(EnvRecord& env);
int32_t xport_select_member(EnvRecord& env, int32_t index);
int32_t xport_read_dict(EnvRecord& env);
int32_t xport_read_case(EnvRecord& env);
int32_t xport_save_position(EnvRecord& env);
int32_t xport_restore_position(EnvRecord& env);

}  // namespace tabulon
