#include "dates/sas_date_formats.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

struct Named {
  std::string_view name;
  int32_t ttype;
};

// Base names, without width. The ISO 8601 families: DA dates; TM, LZ, TZ, TX times; DT, DN,
// DZ, DX, LX date-times (DN shows the date part of a date-time value).
constexpr Named kNames[] = {
    {"DATE", T_DATE},       {"DATEJUL", T_DATE},    {"DAY", T_DATE},        {"DDMMMYY", T_DATE},
    {"DDMMMYYYY", T_DATE},  {"DDMMYY", T_DATE},     {"DDMMYYB", T_DATE},    {"DDMMYYC", T_DATE},
    {"DDMMYYD", T_DATE},    {"DDMMYYN", T_DATE},    {"DDMMYYP", T_DATE},    {"DDMMYYS", T_DATE},
    {"DHMS", T_DATE},       {"DOWNAME", T_DATE},    {"EURDFDD", T_DATE},    {"EURDFDE", T_DATE},
    {"EURDFDN", T_DATE},    {"EURDFDWN", T_DATE},   {"EURDFMN", T_DATE},    {"EURDFMY", T_DATE},
    {"EURDFWDX", T_DATE},   {"EURDFWKX", T_DATE},   {"HDATE", T_DATE},      {"HEBDATE", T_DATE},
    {"HMS", T_DATE},        {"JULDAY", T_DATE},     {"JULIAN", T_DATE},     {"MDY", T_DATE},
    {"MINGUO", T_DATE},     {"MMDDYY", T_DATE},     {"MMDDYYB", T_DATE},    {"MMDDYYC", T_DATE},
    {"MMDDYYD", T_DATE},    {"MMDDYYN", T_DATE},    {"MMDDYYP", T_DATE},    {"MMDDYYS", T_DATE},
    {"MMYY", T_DATE},       {"MMYYC", T_DATE},      {"MMYYD", T_DATE},      {"MMYYN", T_DATE},
    {"MMYYP", T_DATE},      {"MMYYS", T_DATE},      {"MONNAME", T_DATE},    {"MONTH", T_DATE},
    {"MONYY", T_DATE},      {"NENGO", T_DATE},      {"NLDATE", T_DATE},     {"NLDATEL", T_DATE},
    {"NLDATEM", T_DATE},    {"NLDATEMD", T_DATE},   {"NLDATEMDL", T_DATE},  {"NLDATEMDM", T_DATE},
    {"NLDATEMDS", T_DATE},  {"NLDATEMN", T_DATE},   {"NLDATES", T_DATE},    {"NLDATEW", T_DATE},
    {"NLDATEWN", T_DATE},   {"NLDATEYM", T_DATE},   {"NLDATEYML", T_DATE},  {"NLDATEYMM", T_DATE},
    {"NLDATEYMS", T_DATE},  {"NLDATEYQ", T_DATE},   {"NLDATEYQL", T_DATE},  {"NLDATEYQM", T_DATE},
    {"NLDATEYQS", T_DATE},  {"NLDATEYR", T_DATE},   {"NLDATEYW", T_DATE},   {"PDJULG", T_DATE},
    {"PDJULI", T_DATE},     {"QTR", T_DATE},        {"QTRR", T_DATE},       {"SYSDATE", T_DATE},
    {"WEEKDATE", T_DATE},   {"WEEKDATX", T_DATE},   {"WEEKDAY", T_DATE},    {"WEEKU", T_DATE},
    {"WEEKV", T_DATE},      {"WEEKW", T_DATE},      {"WORDDATE", T_DATE},   {"WORDDATX", T_DATE},
    {"YEAR", T_DATE},       {"YYMM", T_DATE},       {"YYMMC", T_DATE},      {"YYMMD", T_DATE},
    {"YYMMDD", T_DATE},     {"YYMMDDB", T_DATE},    {"YYMMDDC", T_DATE},    {"YYMMDDD", T_DATE},
    {"YYMMDDN", T_DATE},    {"YYMMDDP", T_DATE},    {"YYMMDDS", T_DATE},    {"YYMMN", T_DATE},
    {"YYMMP", T_DATE},      {"YYMMS", T_DATE},      {"YYMON", T_DATE},      {"YYQ", T_DATE},
    {"YYQC", T_DATE},       {"YYQD", T_DATE},       {"YYQN", T_DATE},       {"YYQP", T_DATE},
    {"YYQR", T_DATE},       {"YYQRC", T_DATE},      {"YYQRD", T_DATE},      {"YYQRN", T_DATE},
    {"YYQRP", T_DATE},      {"YYQRS", T_DATE},      {"YYQS", T_DATE},       {"E8601DA", T_DATE},
    {"B8601DA", T_DATE},    {"IS8601DA", T_DATE},   {"ND8601DA", T_DATE},
    {"HHMM", T_TIME},       {"HOUR", T_TIME},       {"MINUTE", T_TIME},     {"MMSS", T_TIME},
    {"SECOND", T_TIME},     {"SYSTIME", T_TIME},    {"TIME", T_TIME},       {"TIMEAMPM", T_TIME},
    {"TIMEPART", T_TIME},   {"TOD", T_TIME},        {"NLTIME", T_TIME},     {"NLTIMAP", T_TIME},
    {"E8601LZ", T_TIME},    {"E8601TM", T_TIME},    {"E8601TZ", T_TIME},    {"E8601TX", T_TIME},
    {"B8601LZ", T_TIME},    {"B8601TM", T_TIME},    {"B8601TZ", T_TIME},    {"B8601TX", T_TIME},
    {"IS8601LZ", T_TIME},   {"IS8601TM", T_TIME},   {"IS8601TZ", T_TIME},   {"ND8601TM", T_TIME},
    {"ND8601TZ", T_TIME},
    {"DATEAMPM", T_DATETIME}, {"DATETIME", T_DATETIME}, {"DTDATE", T_DATETIME},  {"DTMONYY", T_DATETIME},
    {"DTWKDATX", T_DATETIME}, {"DTYEAR", T_DATETIME},   {"DTYYQC", T_DATETIME},  {"EURDFDT", T_DATETIME},
    {"MDYAMPM", T_DATETIME},  {"NLDATM", T_DATETIME},   {"NLDATMAP", T_DATETIME}, {"NLDATMDT", T_DATETIME},
    {"NLDATML", T_DATETIME},  {"NLDATMM", T_DATETIME},  {"NLDATMMD", T_DATETIME}, {"NLDATMMDL", T_DATETIME},
    {"NLDATMMDM", T_DATETIME}, {"NLDATMMDS", T_DATETIME}, {"NLDATMMN", T_DATETIME}, {"NLDATMS", T_DATETIME},
    {"NLDATMTM", T_DATETIME}, {"NLDATMTZ", T_DATETIME}, {"NLDATMW", T_DATETIME},  {"NLDATMWN", T_DATETIME},
    {"NLDATMWZ", T_DATETIME}, {"NLDATMYM", T_DATETIME}, {"NLDATMYML", T_DATETIME}, {"NLDATMYMM", T_DATETIME},
    {"NLDATMYMS", T_DATETIME}, {"NLDATMYQ", T_DATETIME}, {"NLDATMYQL", T_DATETIME}, {"NLDATMYQM", T_DATETIME},
    {"NLDATMYQS", T_DATETIME}, {"NLDATMYR", T_DATETIME}, {"NLDATMYW", T_DATETIME}, {"NLDATMZ", T_DATETIME},
    {"E8601DN", T_DATETIME},  {"E8601DT", T_DATETIME},  {"E8601DX", T_DATETIME}, {"E8601DZ", T_DATETIME},
    {"E8601LX", T_DATETIME},  {"B8601DN", T_DATETIME},  {"B8601DT", T_DATETIME}, {"B8601DX", T_DATETIME},
    {"B8601DZ", T_DATETIME},  {"B8601LX", T_DATETIME},  {"IS8601DN", T_DATETIME}, {"IS8601DT", T_DATETIME},
    {"IS8601DZ", T_DATETIME}, {"ND8601DN", T_DATETIME}, {"ND8601DT", T_DATETIME}, {"ND8601DZ", T_DATETIME},
};

constexpr size_t kCount = sizeof kNames / sizeof kNames[0];

const std::array<Named, kCount>& sorted_names() {
  static const std::array<Named, kCount> table = [] {
    std::array<Named, kCount> t;
    std::copy(std::begin(kNames), std::end(kNames), t.begin());
    std::sort(t.begin(), t.end(), [](const Named& a, const Named& b) { return a.name < b.name; });
    return t;
  }();
  return table;
}

}  // namespace

int32_t sas_date_format_type(const char* name, size_t length) {
  if (!name) return 0;
  while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '\0')) --length;
  // The width and decimals SAS prints after the name ("DATETIME20.3", "MMDDYY10.").
  while (length > 0 && ((name[length - 1] >= '0' && name[length - 1] <= '9') || name[length - 1] == '.')) --length;
  char key[16];
  if (length == 0 || length > sizeof key) return 0;
  for (size_t k = 0; k < length; ++k) {
    const char c = name[k];
    key[k] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const std::string_view want(key, length);
  const auto& t = sorted_names();
  const auto it = std::lower_bound(t.begin(), t.end(), want, [](const Named& a, std::string_view b) { return a.name < b; });
  return it != t.end() && it->name == want ? it->ttype : 0;
}

}  // namespace tabulon
