// SPSS system-file writer: "$FL2" files with bytecode-compressed data, or "$FL3" files whose
// bytecode goes into zlib blocks (".zsav", or on request). The dictionary is written at open;
// the nominal case size, the case count and the zlib header are patched at close.
#pragma once

#include <cstdint>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "engine/transfer_state.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct VarRecord;

// On-disk constants of the system file.
constexpr int32_t kSavLayoutCode = 2;
constexpr double kSavBias = 100.0;
constexpr int64_t kSavCaseSizeOffset = 68;                   // nominal case size in the header
constexpr int64_t kSavCaseCountOffset = 80;                  // number of cases in the header
constexpr uint32_t kSavSegmentWidth = 255;                   // widest string one variable record holds
constexpr uint32_t kSavSegmentStep = 252;                    // width a very long string gains per segment
constexpr double kSavEpochDays = 115859.0;                   // 14 October 1582 to 30 December 1899
constexpr uint64_t kSavLowestBits = 0xffeffffffffffffeull;   // LOWEST of a missing-value range
constexpr uint64_t kSavHighestBits = 0x7fefffffffffffffull;  // HIGHEST
// Bytecode per zlib block: the size other writers use, so readers that expect it are served.
constexpr uint32_t kSavZlibBlock = 0x3ff000;

// Bytecodes of the compressed data.
enum : uint8_t {
  kSavCmdPad = 0,
  kSavCmdEnd = 252,
  kSavCmdRaw = 253,
  kSavCmdBlanks = 254,
  kSavCmdSysmis = 255,
};

// Print-format types used.
enum : uint8_t { kSavFmtA = 1, kSavFmtF = 5, kSavFmtDate = 20, kSavFmtTime = 21, kSavFmtDateTime = 22 };

// How a variable's values are written.
enum SavKind : uint8_t { kSavNumber = 0, kSavDate, kSavTime, kSavString };

struct SavOutVar {
  VarRecord* var = nullptr;
  uint8_t kind = kSavNumber;
  uint32_t width = 0;                      // string width in bytes (0 for numbers)
  uint32_t segments = 1;                   // 255-byte segment variables of a very long string
  uint32_t units = 1;                      // 8-byte units of one case
  uint32_t index = 0;                      // 1-based unit index of the first unit
  int32_t format = 0;                      // print and write format
  bool cut = false;                        // declared wider than the release allows
  int64_t out_of_range = 0;                // values equal to the system-missing value
  std::string short_name;                  // in the output encoding, at most 8 bytes
  std::vector<std::string> segment_names;  // short names of segments 2..n
  std::string label;                       // in the output encoding, already cut
  int32_t n_missing = 0;                   // type 2 missing-value count (0..3, -2, -3)
  double missing[3] = {0, 0, 0};
  std::string missing_text[3];  // strings: the values in the output encoding, at most 8 bytes
};

struct SavWriter final : FormatState {
  Stream* out = nullptr;
  int32_t release = 16;  // release imitated
  uint32_t max_string = 32766;
  uint32_t label_max = 256;  // variable label
  uint32_t value_label_max = 120;
  bool converts = false;  // output slot 0 transcodes
  std::vector<SavOutVar> vars;
  uint32_t case_units = 0;
  int64_t cases = 0;

  std::vector<uint8_t> buf;  // pending output
  size_t block = 0;          // offset in buf of the command block being filled
  uint32_t block_used = 8;   // commands used in it (8: none open)

  // "$FL3": the zlib header's offset, the sizes of the blocks written and one block's room.
  // One block at a time is compressed on a second thread while the next is made; the blocks
  // are written in order, so the file is the same as one thread makes.
  bool zlib = false;
  int64_t zheader_ofs = 0;
  std::vector<std::pair<uint32_t, uint32_t>> zblocks;  // uncompressed, compressed bytes
  std::vector<uint8_t> zbuf;
  struct ZJob {
    std::vector<uint8_t> in, out;
    unsigned long out_len = 0;
    int rc = 0;
  } zjob;
  std::future<void> zpending;  // declared after zjob: waited for before zjob goes
};

// Seconds since 14 October 1582 of a day number (a date or date-time).
double sav_seconds_of_day(double day);
// Seconds since midnight of a time of day.
double sav_seconds_of_time(double day);

// Writer hooks.
int32_t sav_open_output(EnvRecord& env);
int32_t sav_write_case(EnvRecord& env);
int32_t sav_close_output(EnvRecord& env);

// Dictionary records, from the header to the type 999 record (sav_write_dict.cpp).
void sav_put_dictionary(EnvRecord& env, SavWriter& w);

// Output buffer helpers shared by the writer's files.
void sav_put(SavWriter& w, const void* p, size_t n);
void sav_put32(SavWriter& w, int32_t v);
void sav_put_double(SavWriter& w, double v);
void sav_put_padded(SavWriter& w, const std::string& s, size_t field, char pad);
void sav_flush(EnvRecord& env, SavWriter& w, bool data);
[[noreturn]] void sav_fail(EnvRecord& env, bool data, int32_t code);

// Numbered failures.
enum : int32_t {
  kSavErrNoOutput = 1,
  kSavErrWrite = 2,
  kSavErrPatch = 3,
  kSavErrTooWide = 4,  // a case of more than 2^31 - 1 units
  kSavErrDeflate = 5,  // zlib failed or the file outgrew the zlib layout
};

}  // namespace tabulon
