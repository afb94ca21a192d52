// Per-environment option state, held by value inside EnvRecord.
#pragma once

#include <cstdint>
#include <string>

#include "api/option_slots.h"
#include "api/text_options.h"

namespace tabulon {

struct EnvRecord;

// Writer variants chosen by the dedicated setters.
struct WriterVariants {
  int32_t old_dbase = 0;        // DX_SetOldVersion: older dBASE layout
  int32_t stata_ver4 = -1;      // DX_SetStataVer4 choice; -1 = not given
  int32_t gauss96 = 0;          // DX_SetGauss96
  int32_t sas_style_raw = 0;    // last DX_SetSasStyle argument
  int32_t sas_outrep = 0;       // representation for the SAS data-set writer
  int32_t sas6_style = 0;       // representation for the SAS 6 writer
  int32_t out_byte_order = 0;   // DX_SetOutBtOrd
  int32_t complex_values = 0;   // DX_ComplexFileSet: two doubles per numeric slot
};

struct OptionState {
  OptionSlots slots;
  TextOptions text;
  WksSettings wks;
  WriterVariants writer;

  std::string user_in_encoding;   // numbered option 25
  std::string user_out_encoding;  // numbered option 26

  // Numbered option 21: a stream the host hands over instead of a file to open.
  const void* host_stream = nullptr;
  int32_t host_stream_value = 0;
  int32_t input_kind = 0;         // numbered option 24
  std::string xml_library_name;   // numbered option 204

  // Dictionary options kept for their owners.
  std::string r_object_name;      // what 9
  int32_t r_variant = 0;          // what 10
  std::string file_description;   // what 15
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. Sets the text defaults; flag 1 resets the keyword table, flag 2
// applies it to the new environment.
bool option_env_open(EnvRecord& env, int32_t flags);
void option_env_close(EnvRecord& env);

}  // namespace tabulon
