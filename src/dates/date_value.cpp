// The environment's patterns applied to single values (record buffer, cells, API calls).
#include "api/env_record.h"
#include "dates/date_pattern.h"

namespace tabulon {

// The text options hold the cutoff as given (a full year when 100 or more).
int32_t date_century_cutoff(const EnvRecord& env) { return env.options.text.full_year_cutoff; }

size_t date_format_value(EnvRecord& env, int ttype, double day, char* out, size_t cap) {
  int index = ttype == T_TIME ? kDateKindTime : ttype == T_DATETIME ? kDateKindDateTime : kDateKindDate;
  ptrdiff_t n = format_day_number(env.dates.write[index], env.dates.names, day, out, cap);
  if (n < 0) {
    if (cap) out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n);
}

bool date_parse_value(EnvRecord& env, int kind, const char* text, size_t len, double* out) {
  if (kind < kDateKindDate || kind > kDateKindScan) return false;
  DateParts parts;
  if (!parse_date_text(env.dates.read[kind], env.dates.names, date_century_cutoff(env), text, len, &parts))
    return false;
  if ((parts.flags & (kPartsDate | kPartsTime)) == 0) return false;  // nothing read: not a value
  return parts_to_day(parts, out);
}

}  // namespace tabulon
