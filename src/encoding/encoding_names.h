// The encoding-name tables: iconv names, SAS encoding numbers and SAS short names.
#pragma once

#include <cstdint>
#include <string>

namespace tabulon {

struct EncodingRow {
  const char* name;   // iconv name; null ends a table
  int16_t sas_number; // -1: none
  const char* short_name; // null: none
};

enum EncodingTable { kTableSingleByte = 0, kTableMultiByte = 1, kTableUnicode = 2 };

// Table rows (ended by a row with a null name).
const EncodingRow* encoding_table(EncodingTable which);

// First row naming `name` (case-insensitive), tables searched single-byte, multi-byte, Unicode.
// *table receives the table of the row. Null when unknown.
const EncodingRow* find_encoding(const char* name, EncodingTable* table = nullptr);

// The first name of the group of a row (what reverse lookups return).
const char* group_first_name(const EncodingRow* row);

// iconv name for a user's encoding option: "CHAR"/"system" -> system charset, "utf-8" -> "utf-8",
// others -> first name of their group; empty when unknown.
std::string iconv_name_for_option(const char* option);

// Name from SAS number / short name: 0 / absent give "CHAR"; unknown gives "" with *found false.
std::string name_from_sas_number(int32_t number, bool* found);
std::string name_from_sas_short_name(const char* short_name, bool* found);

}  // namespace tabulon
