// SAS display-format names that show a number as a date, a time of day or a date-time. Shared by
// the SAS readers: the name may carry its width and decimals ("DATE9", "DATETIME20.3").
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// T_DATE, T_TIME or T_DATETIME for a SAS format name (compared without case, a trailing width
// and decimals ignored, trailing blanks and NULs ignored), else 0.
int32_t sas_date_format_type(const char* name, size_t length);

}  // namespace tabulon
