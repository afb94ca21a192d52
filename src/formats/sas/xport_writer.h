// SAS transport (XPORT) file writer: a library of one member, its NAMESTR records and the
// observations packed into 80-byte records, numbers as IBM floating point. Version 5 unless
// numbered option 77 (keyword write-old-ver) asks for 8, or a name longer than 8 characters or
// a label longer than 40 bytes needs it; option 77 set to 5 keeps version 5 and cuts them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_state.h"
#include "formats/sas/xport_reader.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

struct XportOutVar {
  VarRecord* var = nullptr;
  uint8_t kind = kXportNumber;  // XportKind
  uint32_t length = 8;          // bytes in the observation
  std::string label;            // in the output encoding, cut to the version's limit
  int64_t cut = 0;              // strings cut to the length
  int64_t out_of_range = 0;     // numbers beyond the IBM range
};

struct XportWriter final : FormatState {
  int version = 5;
  Stream* out = nullptr;
  std::string buf;      // pending output
  uint64_t written = 0; // bytes of the file so far, pending ones included
  std::vector<XportOutVar> vars;
};

// The version a setting of numbered option 77 asks for: 5 (also 6), 8 (also 9), else 0
// (chosen by the names and labels).
int xport_requested_version(int32_t setting);

int32_t xport_open_output(EnvRecord& env);
int32_t xport_write_case(EnvRecord& env);
int32_t xport_close_output(EnvRecord& env);

// The member name of an output path: its base name without extension, upper case, made a
// legal SAS name of at most 8 characters.
std::string xport_member_name(const std::string& path, size_t max = 8);

// Seconds since 1 January 1960 (dates: days) of a day number of each kind.
double xport_sas_value(uint8_t kind, double day);

}  // namespace tabulon
