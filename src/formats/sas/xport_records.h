// The 80-byte records of a SAS transport (XPORT) file and the 140-byte NAMESTR that
// describes one variable. Version 5 libraries (LIBRARY header) hold names of 8 characters and
// labels of 40; version 8 libraries (LIBV8 header, written by SAS 8 and 9) add names of 32,
// member names of 32, and a label section (LABELV8, or LABELV9 with long format names)
// between the NAMESTRs and the observations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabulon {

constexpr size_t kXportRecord = 80;
constexpr size_t kXportNamestr = 140;

// NAMESTR fields (offsets; integers big-endian).
constexpr size_t kNsType = 0;       // 2: 1 numeric, 2 character
constexpr size_t kNsHash = 2;
constexpr size_t kNsLength = 4;     // 2: bytes in the observation
constexpr size_t kNsNumber = 6;     // 2: variable number
constexpr size_t kNsName = 8;       // 8
constexpr size_t kNsLabel = 16;     // 40
constexpr size_t kNsFormat = 56;    // 8
constexpr size_t kNsFormatLength = 64;
constexpr size_t kNsFormatDecimals = 66;
constexpr size_t kNsJustify = 68;
constexpr size_t kNsFiller = 70;
constexpr size_t kNsInformat = 72;  // 8
constexpr size_t kNsPosition = 84;  // 4: where SAS keeps the value; the data follow NAMESTR order
// Version 8 only.
constexpr size_t kNsLongName = 88;     // 32
constexpr size_t kNsLabelLength = 120; // 2: length of the whole label

// Record types of the header records of each version.
struct XportHeaderNames {
  const char* library;
  const char* member;
  const char* descriptor;
  const char* namestr;
  const char* obs;
};
constexpr XportHeaderNames kXportV5Headers = {"LIBRARY", "MEMBER", "DSCRPTR", "NAMESTR", "OBS"};
constexpr XportHeaderNames kXportV8Headers = {"LIBV8", "MEMBV8", "DSCPTV8", "NAMSTV8", "OBSV8"};
inline const XportHeaderNames& xport_headers(int version) {
  return version == 8 ? kXportV8Headers : kXportV5Headers;
}

// Limits of each version.
constexpr size_t kXportV5NameMax = 8;
constexpr size_t kXportV8NameMax = 32;
constexpr size_t kXportV5LabelMax = 40;
constexpr size_t kXportV8LabelMax = 256;
constexpr uint32_t kXportV5StringMax = 200;
constexpr uint32_t kXportV8StringMax = 32767;

// Days from 30 December 1899 (day 0 here) to 1 January 1960 (day 0 of SAS).
constexpr double kXportEpochDays = 21916.0;
constexpr double kXportSecondsPerDay = 86400.0;

// Fills rec with a header record of a type ("LIBRARY", "MEMBER", ...) and its 30 digits.
void xport_header_record(char* rec, const char* type, const char* digits);
// True when rec (80 bytes) is a header record of that type.
bool xport_is_header(const uint8_t* rec, const char* type);
// True when rec begins as every header record does.
bool xport_is_any_header(const uint8_t* rec);

// Splits a SAS format text ("DATETIME20.", "$CHAR200.", "BEST12.2", "DATE") into its name,
// width and decimals (0 when not given).
void xport_split_format(const char* text, size_t length, std::string& name, uint32_t& width, uint32_t& decimals);

}  // namespace tabulon
