// Per-environment state of the transfer engine, held by value inside EnvRecord.
// DX_CloseFiles resets all of it except the database driver slots, which live until
// DX_CloseEnvironment (a driver is kept while the same one is asked for again).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/change_report.h"
#include "engine/dataset_facts.h"
#include "engine/optimize.h"
#include "engine/output_files.h"

namespace tabulon {

struct EnvRecord;
struct Stream;
struct FormatReaderOps;
struct FormatWriterOps;
struct DriverSlot;
struct OptimizeState;

// Base of a reader's or writer's private state (see format_hooks.h).
struct FormatState {
  virtual ~FormatState() = default;
};

// Deleters defined in the engine so that this header needs no complete types.
struct StreamDeleter {
  void operator()(Stream* stream) const noexcept;  // closes the stream
};
struct DriverSlotDeleter {
  void operator()(DriverSlot* slot) const noexcept;  // unloads the driver library
};
struct OptimizeStateDeleter {
  void operator()(OptimizeState* state) const noexcept;
};

using StreamPtr = std::unique_ptr<Stream, StreamDeleter>;
using DriverSlotPtr = std::unique_ptr<DriverSlot, DriverSlotDeleter>;

// Input kinds.
constexpr int32_t kInputFile = 0;
constexpr int32_t kInputReadOnly = 1;  // the host reads cases, no output
constexpr int32_t kInputUserDict = 2;  // the host supplies the cases

// Input open flags.
constexpr uint32_t kInputDatabase = 1u << 0;
constexpr uint32_t kInputWorksheet = 1u << 1;
// Output open flags.
constexpr uint32_t kOutputDatabase = 1u << 0;

struct TransferState {
  // Dispatch.
  int32_t input_code = 0;
  int32_t output_code = 0;
  uint32_t input_open_flags = 0;
  uint32_t output_open_flags = 0;
  const FormatReaderOps* reader = nullptr;
  const FormatWriterOps* writer = nullptr;
  int32_t (*read_case)(EnvRecord&) = nullptr;   // the read-case hook
  int32_t (*write_case)(EnvRecord&) = nullptr;  // the write-case hook
  std::unique_ptr<FormatState> reader_state;
  std::unique_ptr<FormatState> writer_state;

  // Files.
  StreamPtr input_stream;
  StreamPtr output_stream;
  std::string input_path;
  std::string output_path;
  std::string output_write_path;  // the temporary name the output is created under

  // Progress of the transfer.
  int32_t input_open = 0;
  int32_t output_open = 0;
  int32_t dict_read = 0;
  int32_t input_kind = kInputFile;
  uint32_t selected_count = 0;
  double cases_read = 0;
  uint32_t cases_moved = 0;
  uint32_t cases_dropped = 0;
  uint32_t announced_cases = 0;  // set by readers that know their case count
  uint32_t pass_cases = 0;       // cases the reader delivered since the start of this pass
  double percent_step = 0;
  uint32_t percent_done = 0;
  uint32_t first_case = 0;  // numbered options 65 and 66; 0 = no limit
  uint32_t last_case = 0;
  int64_t saved_position = 0;
  int32_t pool_in_use = 0;
  int32_t delete_output = 0;  // set when the output must be removed at close
  int32_t transfer_failed = 0;  // a read or write failed: a database output rolls back

  // Members (tables, worksheets, objects) of the input.
  std::vector<std::string> members;
  int32_t members_read = 0;
  int32_t current_member = -1;

  // What the input file says about itself (encoding, release, compression...).
  DatasetFacts facts;

  // Optimization pass.
  std::unique_ptr<OptimizeState, OptimizeStateDeleter> optimize;
  int32_t optimize_ran = 0;
  uint32_t optimize_case_count = 0;
  ScanStats scan_stats;  // filled by a reader whose dictionary scan saw every case

  // The output and its side files under temporary names until the close succeeds. Declared
  // after the streams so that it is destroyed first (an open file may be unlinked).
  OutputFiles outputs;

  // What the conversion changed in the data (reported when the files close).
  ChangeReport changes;

  // Database drivers of the input and output side (kept across DX_CloseFiles).
  DriverSlotPtr input_driver;
  DriverSlotPtr output_driver;
};

// Called by DX_OpenEnvironmentEx after the record exists, and by DX_CloseEnvironment
// before it is freed. A failed open raises nothing: it returns false.
bool transfer_env_open(EnvRecord& env, int32_t flags);
void transfer_env_close(EnvRecord& env);

}  // namespace tabulon
