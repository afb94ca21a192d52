#include "dates/package_date_formats.h"

#include <strings.h>

#include "tabulon/tabulon.h"

namespace tabulon {

#define TABULON_NAMED(text, type) {text, sizeof(text) - 1, type}

const PackageDateFormat kPackageDateFormats[] = {
    TABULON_NAMED("d-mmm-yy", T_DATE),
    TABULON_NAMED("d-mmm", T_DATE),
    TABULON_NAMED("d/m/yy", T_DATE),
    TABULON_NAMED("dd/mm/yy", T_DATE),
    TABULON_NAMED("dd/mm/yyyy", T_DATE),
    TABULON_NAMED("mmm-yyyy", T_DATE),
    TABULON_NAMED("m/d/yy", T_DATE),
    TABULON_NAMED("mm/dd/yyyy", T_DATE),
    TABULON_NAMED("yyyy,mm,dd", T_DATE),
    TABULON_NAMED("[WINDOW DATE FORMAT]", T_DATE),
    TABULON_NAMED("d/m/yy h:m AM/PM", T_DATETIME),
    TABULON_NAMED("yy/m/d h:m", T_DATETIME),
    TABULON_NAMED("hh:mm AM/PM", T_TIME),
    TABULON_NAMED("h:m", T_TIME),
    TABULON_NAMED("hh:mm:ss AM/PM", T_TIME),
    TABULON_NAMED("h:m:s", T_TIME),
    TABULON_NAMED("[WINDOW TIME FORMAT]", T_TIME),
};

#undef TABULON_NAMED

const size_t kPackageDateFormatCount = sizeof kPackageDateFormats / sizeof kPackageDateFormats[0];

int32_t package_date_format_type(const char* name, size_t length) {
  if (!name) return 0;
  for (const PackageDateFormat& f : kPackageDateFormats)
    if (f.length == length && strncasecmp(f.name, name, length) == 0) return f.ttype;
  return 0;
}

const PackageDateFormat* package_date_format_for(int32_t ttype) {
  switch (ttype) {
    case T_DATE: return &kPackageDateFormats[9];
    case T_TIME: return &kPackageDateFormats[16];
    case T_DATETIME: return &kPackageDateFormats[10];  // no system-setting name for date-times
    default: return nullptr;
  }
}

}  // namespace tabulon
