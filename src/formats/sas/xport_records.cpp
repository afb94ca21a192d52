#include "formats/sas/xport_records.h"

#include <strings.h>

#include <cstring>

#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

constexpr char kHeaderStart[] = "HEADER RECORD*******";

struct SasDateFormat {
  const char* name;
  int32_t ttype;
};

// The SAS formats that display a number as a date, a time of day or a date-time.
constexpr SasDateFormat kSasDateFormats[] = {
    {"DATE", T_DATE},       {"DATEJUL", T_DATE},   {"DAY", T_DATE},        {"DDMMMYY", T_DATE},
    {"DDMMMYYYY", T_DATE},  {"DDMMYY", T_DATE},    {"DDMMYYB", T_DATE},    {"DDMMYYC", T_DATE},
    {"DDMMYYD", T_DATE},    {"DDMMYYN", T_DATE},   {"DDMMYYP", T_DATE},    {"DDMMYYS", T_DATE},
    {"DHMS", T_DATE},       {"DOWNAME", T_DATE},   {"EURDFDD", T_DATE},    {"EURDFDE", T_DATE},
    {"EURDFDN", T_DATE},    {"EURDFDWN", T_DATE},  {"EURDFMN", T_DATE},    {"EURDFMY", T_DATE},
    {"EURDFWDX", T_DATE},   {"EURDFWKX", T_DATE},  {"HMS", T_DATE},        {"JULDAY", T_DATE},
    {"JULIAN", T_DATE},     {"MDY", T_DATE},       {"MINGUO", T_DATE},     {"MMDDYY", T_DATE},
    {"MMDDYYB", T_DATE},    {"MMDDYYC", T_DATE},   {"MMDDYYD", T_DATE},    {"MMDDYYN", T_DATE},
    {"MMDDYYP", T_DATE},    {"MMDDYYS", T_DATE},   {"MMYY", T_DATE},       {"MMYYC", T_DATE},
    {"MMYYD", T_DATE},      {"MMYYN", T_DATE},     {"MMYYP", T_DATE},      {"MMYYS", T_DATE},
    {"MONNAME", T_DATE},    {"MONTH", T_DATE},     {"MONYY", T_DATE},      {"NENGO", T_DATE},
    {"PDJULG", T_DATE},     {"PDJULI", T_DATE},    {"QTR", T_DATE},        {"QTRR", T_DATE},
    {"SYSDATE", T_DATE},    {"WEEKDATE", T_DATE},  {"WEEKDATX", T_DATE},   {"WEEKDAY", T_DATE},
    {"WORDDATE", T_DATE},   {"WORDDATX", T_DATE},  {"YEAR", T_DATE},       {"YYMM", T_DATE},
    {"YYMMC", T_DATE},      {"YYMMDD", T_DATE},    {"YYMMDDN", T_DATE},    {"YYMMN", T_DATE},
    {"YYMMP", T_DATE},      {"YYMMS", T_DATE},     {"YYMON", T_DATE},      {"YYQ", T_DATE},
    {"YYQC", T_DATE},       {"YYQD", T_DATE},      {"YYQN", T_DATE},       {"YYQP", T_DATE},
    {"YYQR", T_DATE},       {"YYQRC", T_DATE},     {"YYQRD", T_DATE},      {"YYQRN", T_DATE},
    {"YYQRP", T_DATE},      {"YYQRS", T_DATE},     {"YYQS", T_DATE},
    {"HHMM", T_TIME},       {"HOUR", T_TIME},      {"MINUTE", T_TIME},     {"MMSS", T_TIME},
    {"SECOND", T_TIME},     {"SYSTIME", T_TIME},   {"TIME", T_TIME},       {"TIMEAMPM", T_TIME},
    {"TIMEPART", T_TIME},   {"TOD", T_TIME},
    {"DATEAMPM", T_DATETIME}, {"DATETIME", T_DATETIME}, {"DTDATE", T_DATETIME}, {"DTMONYY", T_DATETIME},
    {"DTWKDATX", T_DATETIME}, {"DTYEAR", T_DATETIME},   {"DTYYQC", T_DATETIME}, {"EURDFDT", T_DATETIME},
};

}  // namespace

void xport_header_record(char* rec, const char* type, const char* digits) {
  std::memset(rec, ' ', kXportRecord);
  std::memcpy(rec, kHeaderStart, 20);
  std::memcpy(rec + 20, type, std::strlen(type));
  std::memcpy(rec + 28, "HEADER RECORD!!!!!!!", 20);
  std::memcpy(rec + 48, digits, 30);
}

bool xport_is_any_header(const uint8_t* rec) { return std::memcmp(rec, kHeaderStart, 20) == 0; }

bool xport_is_header(const uint8_t* rec, const char* type) {
  if (!xport_is_any_header(rec)) return false;
  const size_t n = std::strlen(type);
  if (std::memcmp(rec + 20, type, n) != 0) return false;
  for (size_t i = 20 + n; i < 28; ++i)
    if (rec[i] != ' ') return false;
  return true;
}

void xport_split_format(const char* text, size_t length, std::string& name, uint32_t& width, uint32_t& decimals) {
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
  width = decimals = 0;
  // A format name never ends in a digit: the digits and the point after it are width and decimals.
  size_t end = length;
  while (end > 0 && ((text[end - 1] >= '0' && text[end - 1] <= '9') || text[end - 1] == '.')) --end;
  name.assign(text, end);
  uint32_t* field = &width;
  for (size_t i = end; i < length; ++i) {
    if (text[i] == '.') {
      if (field == &decimals) break;
      field = &decimals;
    } else if (*field < 100000) {
      *field = *field * 10 + static_cast<uint32_t>(text[i] - '0');
    }
  }
}

int32_t xport_date_format_type(const char* name, size_t length) {
  while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '\0')) --length;
  if (length == 0) return 0;
  for (const SasDateFormat& f : kSasDateFormats)
    if (std::strlen(f.name) == length && strncasecmp(f.name, name, length) == 0) return f.ttype;
  return 0;
}

}  // namespace tabulon
