// SAS transport (XPORT) file writer: a library of one member, its NAMESTR records and the
// observations packed into 80-byte records, numbers as IBM floating point.
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
};

struct XportWriter final : FormatState {
  Stream* out = nullptr;
  std::string buf;      // pending output
  uint64_t written = 0; // bytes of the file so far, pending ones included
  std::vector<XportOutVar> vars;
};

int32_t xport_open_output(EnvRecord& env);
int32_t xport_write_case(EnvRecord& env);
int32_t xport_close_output(EnvRecord& env);

// The member name of an output path: its base name without extension, upper case, made a
// legal SAS name of at most 8 characters.
std::string xport_member_name(const std::string& path);

// Seconds since 1 January 1960 (dates: days) of a day number of each kind.
double xport_sas_value(uint8_t kind, double day);

}  // namespace tabulon
