// SAS data-set (".sas7bdat") writer: a 1024-byte header, then pages of one size holding
// subheaders (from the page end backwards) and rows. Page 1 and the header are finished at close.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

// Writer error codes (the numbers of the failure messages).
enum : int32_t {
  kSasErrNoState = 3,
  kSasErrProfile = 9,
  kSasErrHeaderWrite = 12,
  kSasErrPageSize = 19,
  kSasErrRecordLength = 20,
  kSasErrPageType = 39,
  kSasErrTooManyBlocks = 40,
  kSasErrPageWrite = 41,
  kSasErrSubheader = 57,
  kSasErrTextBlock = 72,
  kSasErrPatch = 87,
  kSasErrRow = 89,
  kSasErrNames = 90,
  kSasErrTooManyVars = 94,
};

// One platform profile: the header bytes that name it and its layout.
struct SasProfile {
  uint8_t b32, b35, b36, little;
  uint16_t platform;
  uint8_t word, pad;
  bool family_a;  // Windows/OS2 missing-value bytes
  const char* name;
};
const SasProfile* sas_profile(int32_t number);  // 1..9, else null

struct SasTextRef {
  uint16_t block = 0, offset = 0, length = 0;
};

struct SasOutVar {
  VarRecord* var = nullptr;
  bool text = false;
  uint16_t conv = 0;   // T_DATE / T_TIME / T_DATETIME: day numbers become SAS values
  uint32_t offset = 0;  // in the row
  uint32_t width = 0;
  std::string label;   // in the output encoding
  std::string format;  // format name, empty for none
  uint16_t format_width = 0, format_decimals = 0;
  SasTextRef name_ref, label_ref, format_ref;
};

// First and last page and pointer index of one kind of subheader.
struct SasSpan {
  uint64_t first_page = 0, last_page = 0;
  uint32_t first_index = 0, last_index = 0;
  bool seen = false;
};

struct Sas7bdatWriter final : FormatState {
  Stream* out = nullptr;
  const SasProfile* profile = nullptr;
  int32_t profile_number = 1;
  bool swap = false;  // big-endian file
  bool v9 = false;
  uint32_t word = 4, page_header = 24, pointer_size = 12;
  int32_t encoding_number = 0;

  std::vector<uint8_t> page;
  std::vector<uint8_t> page1;  // page 1 as written, patched at close
  uint32_t page_size = 0;
  uint64_t page_number = 0;  // 1-based number of the page in the buffer
  uint32_t free_end = 0;     // subheaders occupy [free_end, page end)
  uint32_t pointer_end = 0;  // next pointer entry
  uint16_t page_type = 4095;
  uint16_t blocks = 0, subheaders = 0;
  bool page_written = false;

  uint32_t record_length = 0;
  uint32_t rows_per_page = 0;
  uint32_t page_capacity = 0;  // rows the current page can take
  uint32_t row_start = 0;      // position of the first row on the current page
  uint32_t rows_on_page = 0;
  uint32_t mixed_rows = 0;     // rows on the page that also holds subheaders
  uint64_t mixed_page = 0;
  uint64_t first_data_page = 0;
  uint64_t rows = 0;
  uint64_t pages_written = 0;

  uint32_t rowsize_at = 0, colsize_at = 0, counts_at = 0;  // reserved on page 1
  SasSpan attrs, texts, names;

  std::vector<SasOutVar> vars;
  std::vector<std::string> blocks_text;  // column text areas (after the signature word)
  std::string creator;
  std::string file_label;  // data set label in the output encoding
  SasTextRef file_label_ref;
  std::string member;
  double created = 0;
};

int32_t sas7bdat_open_output(EnvRecord& env);
int32_t sas7bdat_write_case(EnvRecord& env);
int32_t sas7bdat_close_output(EnvRecord& env);

// Page size and rows per page for a record length (format-independent arithmetic).
uint32_t sas7bdat_page_size(uint32_t record_length, uint32_t page_header);
uint32_t sas7bdat_rows_per_page(uint32_t page_size, uint32_t page_header, uint32_t record_length);

}  // namespace tabulon
