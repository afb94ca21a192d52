// Texts of the facts readers record about their input, and their export to hosts.
#include "engine/dataset_facts.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dates/day_number.h"
#include "dict/var_record.h"
#include "engine/transfer_state.h"

namespace tabulon {

std::string fact_time(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second > 60)
    return {};
  char buf[32];
  if (second < 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
  return buf;
}

int fact_month(const char* a) {
  static const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                      "jul", "aug", "sep", "oct", "nov", "dec"};
  for (int m = 0; m < 12; ++m)
    if (strncasecmp(a, names[m], 3) == 0) return m + 1;
  return 0;
}

std::string fact_time_sas(double seconds) {
  // 1900..2200: anything else is not a time a writer stamped.
  if (!std::isfinite(seconds) || seconds < -1893456000.0 || seconds > 7573564800.0) return {};
  const int64_t total = static_cast<int64_t>(std::floor(seconds));
  int64_t days = total / 86400;
  int64_t rest = total % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // SAS counts days from 1960-01-01, day number 21916.
  DateParts parts;
  if (!ordinal_to_parts(static_cast<int32_t>(kDayNumberOffset + 21916 + days), &parts)) return {};
  return fact_time(parts.year, parts.month + 1, parts.mday, static_cast<int>(rest / 3600),
                   static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
}

std::string fact_text(const void* p, size_t n) {
  const unsigned char* s = static_cast<const unsigned char*>(p);
  std::string out;
  for (size_t i = 0; i < n && s[i]; ++i)
    if (s[i] >= 0x20 && s[i] != 0x7F) out += static_cast<char>(s[i]);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  size_t lead = 0;
  while (lead < out.size() && out[lead] == ' ') ++lead;
  return out.substr(lead);
}

}  // namespace tabulon

using namespace tabulon;

// One fact of the open input for a host's listing (DatasetFact numbers: 1 encoding, 2 release,
// 3 compression, 4 byte order, 5 created, 6 modified, 7 software). Returns the length, 0 when
// the input does not say, -1 on a bad request.
DX_EXPORT int32_t dxi_dataset_describe(int32_t handle, int32_t what, char* out, int32_t size) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!out || size <= 0) return -1;
    const DatasetFacts& f = env.transfer.facts;
    const std::string* text = nullptr;
    switch (what) {
      case kFactEncoding: text = &f.encoding; break;
      case kFactRelease: text = &f.release; break;
      case kFactCompression: text = &f.compression; break;
      case kFactByteOrder: text = &f.byte_order; break;
      case kFactCreated: text = &f.created; break;
      case kFactModified: text = &f.modified; break;
      case kFactSoftware: text = &f.software; break;
      default: return -1;
    }
    const size_t n = utf8_cut(text->data(), text->size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text->data(), n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
  });
}
