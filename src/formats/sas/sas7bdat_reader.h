// SAS data-set reader (".sas7bdat", versions 7 to 9): 32- and 64-bit layouts in either byte
// order, uncompressed, RLE ("SASYZCRL") and RDC ("SASYZCR2") compressed rows. The dictionary
// stage scans the metadata pages; rows are then taken from one page buffer at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;
struct VarStats;

// Numbered failures (the dictionary stage and the record stage).
enum SasError : int32_t {
  kSasErrNoFlags = 3,
  kSasErrProfile = 4,
  kSasErrAlign = 5,      // byte 32
  kSasErrByte35 = 6,
  kSasErrByte36 = 7,
  kSasErrEndian = 8,
  kSasErrPlatform = 9,   // bytes 39-40
  kSasErrShortHeader = 10,
  kSasErrPassword = 11,
  kSasErrMemberType = 12,
  kSasErrPageSize = 13,
  kSasErrSeekEnd = 14,
  kSasErrTell = 15,
  kSasErrPagesBeyondEnd = 16,
  kSasErrPointer = 17,   // a subheader pointer outside its page
  kSasErrRowCount = 25,
  kSasErrRecordLength = 26,
  kSasErrFurtherName = 30,
  kSasErrLabelRef = 33,
  kSasErrNameRef = 34,
  kSasErrFormatRef = 35,
  kSasErrColumnType = 36,
  kSasErrColumnPlace = 37,  // a column outside the row, or columns missing from the dictionary
  kSasErrLength = 40,
  kSasErrRowSize = 42,
  kSasErrColumnSize = 43,
  kSasErrDataSeek = 48,
  kSasErrDataRead = 49,
  kSasErrPageRows = 50,     // rows or a row pointer outside their page
  kSasErrRdcShortFill = 55,
  kSasErrRdcInput = 56,     // the compressed row ends inside a command
  kSasErrRdcLongFill = 57,
  kSasErrRdcCopy = 59,
  kSasErrRdcBackRef = 61,
  kSasErrRleCopyLong = 63,
  kSasErrRleFillLong = 64,
  kSasErrRleCopy = 65,
  kSasErrRleFill = 66,
  kSasErrRleFillConst = 67,
  kSasErrRleInput = 68,     // the compressed row ends inside a command
  kSasErrConverter = 79,
};

struct SasColumn {
  uint32_t offset = 0;   // in the row
  uint32_t width = 0;
  uint8_t type = 0;      // 1 numeric, 2 character
  int ttype = 0;         // storage type given to the variable
};

// How the record stage decodes one selected column.
struct SasStep {
  uint8_t op = 0;          // SasStepOp
  uint8_t at = 0;          // numbers: bits the stored bytes move up to the top of the value
  bool swap = false;       // numbers: a big-endian file
  bool back = false;       // the eight bytes that end with the column lie in the row
  int ttype = 0;           // numbers: date, time or date-time conversion
  uint32_t offset = 0;     // in the row
  uint32_t width = 0;
  int32_t column = 0;      // 0-based
  VarRecord* var = nullptr;
};

struct SasReader final : FormatState {
  // Header and platform.
  int64_t file_length = 0;
  uint32_t header_length = 0;
  uint32_t page_size = 0;
  int64_t page_count = 0;
  int profile = 0;       // 1..10
  int word = 4;          // 4 or 8
  int pad = 0;           // 0 or 4
  bool swap = false;     // big-endian file
  bool ebcdic = false;
  char family = 'B';     // missing-value family A, B or C

  std::vector<uint8_t> page;   // one page (dictionary stage)

  // Subheaders as found.
  std::vector<std::vector<uint8_t>> row_size, column_size, column_attrs, column_names, format_label, column_text;

  // Row-size fields.
  int64_t total_rows = 0;
  uint32_t record_length = 0;
  uint32_t row_flags = 0;
  int64_t deleted_rows = 0;
  uint32_t column_count = 0;
  int compression = 0;          // 0 none, 1 RLE, 2 RDC
  bool compressed_seen = false;

  std::vector<SasColumn> columns;

  // Position of the data.
  int64_t first_data_page = -1;

  // Record stage.
  int64_t page_index = 0;       // current page, -1 none
  bool page_loaded = false;
  const uint8_t* cur_page = nullptr;  // the current page inside `window`
  std::vector<uint8_t> window;  // consecutive pages read at once, where they are copied
  const uint8_t* window_at = nullptr;  // the pages: in `window`, or in the stream's own chunk
  int64_t window_first = 0;     // page index of window[0]
  int64_t window_pages = 0;     // pages held
  int64_t stream_page = -1;     // page the stream stands before, -1 unknown
  const uint8_t* cur_row = nullptr;  // the row being decoded: in the window, or in `row`
  std::vector<SasStep> plan;    // selected columns, built at the first row
  bool plan_ready = false;
  int32_t entry = 0;            // compressed: next pointer; uncompressed: next row on the page
  int32_t page_rows = 0;        // uncompressed: rows on the page
  uint32_t rows_start = 0;      // uncompressed: first row's offset in the page
  int64_t bitmap_at = -1;       // uncompressed: deleted-row bitmap offset in the page, -1 none
  int64_t consumed = 0;         // physical rows passed (delivered or deleted)
  int64_t delivered = 0;
  std::vector<uint8_t> row;     // one decompressed record, reused
  std::string scratch;
  std::vector<double> gathered; // the optimization pass: a block of present values per column
};

// Dictionary stage and record stage hooks.
int32_t sas7bdat_open(EnvRecord& env);
int32_t sas7bdat_read_dict(EnvRecord& env);
int32_t sas7bdat_read_case(EnvRecord& env);
int32_t sas7bdat_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                              int32_t max_cases);
int32_t sas7bdat_save_position(EnvRecord& env);
int32_t sas7bdat_restore_position(EnvRecord& env);
void sas7bdat_close(EnvRecord& env);

// Storage type for a format name (T_DATE, T_TIME, T_DATETIME), 0 for none.
int sas7bdat_date_ttype(const char* name, size_t len);

// Missing code of a native double read from the file (0: the value is present).
uint16_t sas7bdat_missing_code(double x, char family);
uint16_t sas7bdat_missing_code(uint64_t bits, char family);

// Expands one compressed row into out[0, out_len) (zero-filled by the caller). Returns 0, or the
// error number when the commands run past the row or the input.
int32_t sas7bdat_rle(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len);
int32_t sas7bdat_rdc(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len);

// True when the bytes start with the signature of a subheader the reader knows.
bool sas7bdat_is_subheader(const SasReader& r, const uint8_t* p, uint32_t len);

// EBCDIC (code page 037) byte as Latin-1.
uint8_t sas7bdat_ebcdic(uint8_t c);

// IBM System/360 hexadecimal floating point (8 bytes, big-endian) as an IEEE double.
double sas7bdat_ibm_to_double(const uint8_t* p);

// Message of the dictionary stage or the record stage (phase 1 or 2), raised.
[[noreturn]] void sas7bdat_fail(EnvRecord& env, int32_t code, int phase);

}  // namespace tabulon
