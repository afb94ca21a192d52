// Display-format names by which one statistics package marks dates, times and date-times.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

struct PackageDateFormat {
  const char* name;
  uint8_t length;
  uint8_t ttype;  // T_DATE, T_TIME or T_DATETIME
};

extern const PackageDateFormat kPackageDateFormats[];
extern const size_t kPackageDateFormatCount;

// Storage type a display-format name stands for (compared without case), or 0.
int32_t package_date_format_type(const char* name, size_t length);
// Name written for a storage type: dates and times use the system-setting names.
const PackageDateFormat* package_date_format_for(int32_t ttype);

}  // namespace tabulon
