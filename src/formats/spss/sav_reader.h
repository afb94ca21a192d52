// SPSS system file reader: "$FL2" files (uncompressed or bytecode-compressed) and "$FL3" files
// (bytecode data in zlib blocks), in either byte order. The dictionary records are gathered
// first and turned into the dictionary once the file's encoding is known; cases are then
// decoded one per call from large buffered reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dict/user_missing.h"

#include "engine/transfer_state.h"
#include "io/input_buffer.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;
struct VarStats;

// Numbered failures of the dictionary pass.
enum SavDictError : int32_t {
  kSavErrRecordType = 2,      // unknown record type
  kSavErrHeader = 3,          // short header or unrecognised signature
  kSavErrTruncated = 4,       // the file ends inside a dictionary record
  kSavErrCount = 5,           // a count or length the file cannot hold
  kSavErrVariables = 6,       // inconsistent variable records or label references
  kSavErrAlloc = 9,
  kSavErrNoState = 10,
  kSavErrLastSegment = 17,    // very long string: the last segment does not cover the rest
  kSavErrSegmentWidth = 18,   // very long string: a segment that is not 255 bytes wide
  kSavErrMachineInt = 22,     // machine-integer record of another shape
  kSavErrEncodingEmpty = 23,
  kSavErrLongLabelsEmpty = 26,
  kSavErrLongLabelsShort = 27,
  kSavErrLongNamesEmpty = 28,
  kSavErrLongNamesShort = 29,
  kSavErrLongStringsShort = 30,
  kSavErrObsoletePc = 50,
  kSavErrEncrypted = 51,
  kSavErrVersion = 53,
  kSavErrZlibLayout = 55,     // zlib header, trailer or block index out of place
  kSavErrZlibAlloc = 57,
  kSavErrZlibAlloc2 = 58,
};

// Numbered failures while reading cases.
enum SavDataError : int32_t {
  kSavDataTruncated = 1,  // the file ends inside a case
  kSavDataInflate = 2,    // a zlib block does not inflate to its declared size
};

// Kinds of a missing-value entry.
enum SavMissingKind : uint8_t {
  kSavMissValue = 1,    // the value itself
  kSavMissAtLeast = 2,  // value thru highest
  kSavMissAtMost = 3,   // lowest thru value
  kSavMissRangeEnd = 4, // one end of a closed range (two entries, low then high)
};

struct SavMissing {
  uint8_t kind = 0;
  double value = 0;
  std::string text;  // string variables: the 8 bytes as stored (trailing blanks removed)
};

// One variable of the file: a type 2 record and its continuations (after very long strings
// are joined, one variable spanning several segment variables).
struct SavVar {
  int32_t width = 0;           // 0 numeric, else string bytes
  uint32_t first_unit = 0;     // first 8-byte unit in the case
  uint32_t units = 1;          // 8-byte units spanned
  uint32_t print_format = 0;
  std::string short_name;      // as stored, trailing blanks removed
  std::string label;           // raw bytes in the file's encoding
  bool has_label = false;
  uint8_t miss_count = 0;
  uint8_t measure = 0;         // kMeasure* of the display record, 0 when there is none
  SavMissing miss[3];
  // Very long strings: the segments joined into this one (each 8-byte unit count).
  std::vector<uint32_t> segment_units;
};

// One step of the case reader's plan.
struct SavStep {
  uint8_t kind;          // 0 number, 1 date/date-time, 2 time, 3 string
  uint32_t var_index;    // into SavReader::vars
  uint32_t first_unit;
  VarRecord* var;
  const SavVar* sv;
};

// Cases decoded ahead on a second thread (sav_read_data.cpp).
struct SavAhead;
struct SavAheadDeleter {
  void operator()(SavAhead* a) const noexcept;
};

struct SavZBlock {
  int64_t compressed_ofs;
  uint32_t uncompressed_size;
  uint32_t compressed_size;
};

struct SavReader final : FormatState {
  InputBuffer in;  // the Stata reader's buffered input serves any binary layout
  // Decoding ahead, the worker writes the input buffer and the command block at every case
  // while the calling thread counts cases: each group keeps to its own cache lines.
  alignas(64) bool swap = false;
  bool zlib = false;           // "$FL3"
  int32_t compression = 0;     // 0 none, 1 bytecode, 2 bytecode in zlib blocks
  int32_t case_size = 0;       // nominal case size of the header
  int64_t n_cases = 0;         // declared, 0 when unknown
  bool n_known = true;
  int32_t release[3] = {0, 0, 0};
  int32_t char_code = 0;
  double sysmis = 0, highest = 0, lowest = 0;
  std::vector<SavVar> vars;
  std::vector<MissingSpec> declared_missing;  // per entry of vars, made when first asked
  std::vector<MissingTexts> declared_texts;   // the same for string variables
  uint32_t units = 0;          // 8-byte units per case

  int32_t user_missing_mode = 0;  // 0 all entries, 1 the first, 2 none
  uint16_t missing_code[3] = {1, 1, 1};  // code of a value matching entry 0..2

  // Data.
  int64_t data_pos = 0;        // first byte after the dictionary (or after the zlib header)
  std::vector<uint8_t> unit_buf;  // one case, 8 bytes per unit; numbers in native order
  size_t row_max = 0;          // bytes of one compressed case without padding commands
  std::vector<uint8_t> unit_is_number;
  std::vector<uint64_t> code_units;  // the unit each command code stands for (string, number)
  alignas(64) uint8_t cmd[8] = {};
  int cmd_pos = 8;
  alignas(64) bool at_end = false;
  bool short_reported = false;  // the data ended before the declared case count
  alignas(64) int64_t delivered = 0;
  int64_t saved_delivered = -1;
  std::string scratch;

  // "$FL3": the block index and the inflated data (the undecoded tail of one block, then the
  // next block); compressed blocks are inflated from the input's buffer in place.
  alignas(64) uint32_t block_size = 0;
  std::vector<SavZBlock> blocks;
  size_t next_block = 0;
  std::vector<uint8_t> zout;
  size_t zout_pos = 0, zout_len = 0;

  alignas(64) std::vector<SavStep> plan;
  bool plan_ready = false;
  bool strings_convert = false;  // string values go through the input converter
  bool ascii_identity = false;   // and the converter passes ASCII unchanged

  // Why decoding stopped short of a case: a SavDataError (or kSavErrZlibAlloc2) and its text.
  int32_t fault_code = 0;
  const char* fault_detail = nullptr;
  // The optimization pass's cases decoded a run at a time, and what came after the run.
  alignas(64) std::vector<uint8_t> run;
  int32_t run_status = 0;
  std::vector<double> column;  // one variable's present values of a run

  // Compressed data decoded on a second thread; null while this thread decodes. Last, so the
  // thread ends before anything it uses goes away.
  bool ahead_decided = false;
  std::unique_ptr<SavAhead, SavAheadDeleter> ahead;
};

// T_DATE, T_TIME or T_DATETIME for a numeric variable's print format, 0 for plain numbers.
int sav_date_ttype(uint32_t print_format);

// Encoding name of an SPSS character code, "CHAR" when there is none.
const char* sav_code_page_name(int32_t code);

// Reads the header and dictionary records from env.transfer.input_stream.
int32_t sav_read_dict(EnvRecord& env);
// Fills the record buffer with the next case (kCaseRead / kEndOfData).
int32_t sav_read_case(EnvRecord& env);
// The optimization pass's statistics straight from the data (FormatReaderOps::gather_stats).
int32_t sav_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                         int32_t max_cases);
int32_t sav_save_position(EnvRecord& env);
int32_t sav_restore_position(EnvRecord& env);
void sav_close(EnvRecord& env);

// Missing-value entries of a variable of the SPSS input being read (null when the input is
// not an SPSS system file or the variable has none); *count receives their number.
const SavMissing* sav_input_missing(EnvRecord& env, const VarRecord& v, int* count);
// The same entries as the dictionary's user-missing declaration (numeric variables).
const MissingSpec* sav_user_missing(EnvRecord& env, const VarRecord& v);
const MissingTexts* sav_user_missing_texts(EnvRecord& env, const VarRecord& v);

// Decoding on a second thread takes compressed data of at least min_bytes, in batches of at
// most batch_cases cases; 0 keeps a default. Tests make it take small files in small batches.
void sav_tune_decode_ahead(int64_t min_bytes, int32_t batch_cases);
// Ends decoding on the second thread; this thread decodes on from the same place.
void sav_stop_ahead(SavReader& r);

// Reader internals shared by the dictionary and the data files.
void sav_prepare_data(EnvRecord& env, SavReader& r);
[[noreturn]] void sav_dict_error(EnvRecord& env, int32_t code, const char* detail);

}  // namespace tabulon
