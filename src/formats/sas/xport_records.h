// The 80-byte records of a SAS transport (XPORT) file and the 140-byte NAMESTR that
// describes one variable.
#pragma once

#include <cstddef>
#include <cstdint>

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
constexpr size_t kNsPosition = 84;  // 4: offset in the observation

// Days from 30 December 1899 (day 0 here) to 1 January 1960 (day 0 of SAS).
constexpr double kXportEpochDays = 21916.0;
constexpr double kXportSecondsPerDay = 86400.0;

// Fills rec with a header record of a type ("LIBRARY", "MEMBER", ...) and its 30 digits.
void xport_header_record(char* rec, const char* type, const char* digits);
// True when rec (80 bytes) is a header record of that type.
bool xport_is_header(const uint8_t* rec, const char* type);
// True when rec begins as every header record does.
bool xport_is_any_header(const uint8_t* rec);

// Storage type (T_DATE, T_TIME, T_DATETIME) a SAS format name stands for, else 0.
int32_t xport_date_format_type(const char* name, size_t length);

}  // namespace tabulon
