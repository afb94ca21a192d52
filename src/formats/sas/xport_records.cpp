#include "formats/sas/xport_records.h"

#include <cstring>

#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

constexpr char kHeaderStart[] = "HEADER RECORD*******";

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

}  // namespace tabulon
