// What an input file says about itself, beyond its variables: filled by the readers while they
// open the file and read its dictionary, shown by hosts (dxi_dataset_describe). A reader leaves
// empty what its format does not record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabulon {

struct DatasetFacts {
  std::string encoding;     // character set the file declares (or, for text, the one found)
  std::string release;      // format release or layout: "118", "BIFF8", "OOXML", "version 8"
  std::string compression;  // "none", "bytecode", "zlib", "RLE", "RDC"
  std::string byte_order;   // "little-endian" or "big-endian"
  std::string created;      // "YYYY-MM-DD HH:MM[:SS]" as the file states it (the writer's clock)
  std::string modified;
  std::string software;     // the program (and host) that wrote the file
};

// Numbers of the facts for dxi_dataset_describe.
enum DatasetFact : int32_t {
  kFactEncoding = 1,
  kFactRelease = 2,
  kFactCompression = 3,
  kFactByteOrder = 4,
  kFactCreated = 5,
  kFactModified = 6,
  kFactSoftware = 7,
};

inline const char* byte_order_name(bool big_endian) { return big_endian ? "big-endian" : "little-endian"; }

// "YYYY-MM-DD HH:MM:SS" (seconds < 0: "YYYY-MM-DD HH:MM"); empty when a field is out of range.
std::string fact_time(int year, int month, int day, int hour, int minute, int second);
// Month number 1..12 of an English three-letter abbreviation in any case, 0 when it is none.
int fact_month(const char* abbreviation);
// A two-digit year as the packages mean it: 00..69 are 2000..2069.
inline int fact_full_year(int yy) { return yy < 70 ? 2000 + yy : 1900 + yy; }
// Seconds since 1960-01-01 (SAS) as a date and time; empty when not a plausible time.
std::string fact_time_sas(double seconds);
// Text with trailing blanks and NULs removed and other control bytes dropped.
std::string fact_text(const void* p, size_t n);

}  // namespace tabulon
