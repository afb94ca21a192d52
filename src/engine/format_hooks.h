// What a file format implements to take part in a transfer.
//
// A format exposes plain tables of function pointers (no virtual call per case or
// value). A format folder defines them at namespace scope, e.g. in
// src/formats/text/text_ops.cpp:
//
//   extern const FormatReaderOps kTextReader = {.read_dict = text_read_dict,
//                                               .read_case = text_read_case, ...};
//
// and adds one line to the table in src/engine/format_registry.cpp.
//
// Failures: any hook may call RaiseError/RaiseErrorF; the exported function that
// drove it returns its documented failure code with the message kept. Hooks must not
// hold resources outside env (put them in the private state below), so that
// DX_CloseFiles releases everything after such an unwind.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "api/env_record.h"
#include "dict/user_missing.h"
#include "engine/optimize.h"

namespace tabulon {

// Results of a read-case hook.
constexpr int32_t kCaseRead = 0;     // the record buffer holds the next case
constexpr int32_t kEndOfData = -1;   // no more cases
constexpr int32_t kReadFailed = -2;  // any value below -1 is a failure

using ReadCaseFn = int32_t (*)(EnvRecord& env);
// Writes the record buffer as one case: 0 (or more) written, negative failure.
using WriteCaseFn = int32_t (*)(EnvRecord& env);

enum ReaderFlags : uint32_t {
  // The engine opens no input stream: the reader's open() reaches the file itself
  // (worksheets, containers, unbuffered readers).
  kReaderOwnInput = 1u << 0,
};

struct FormatReaderOps {
  uint32_t flags = 0;
  // Called by DX_OpenInputFile after the common open (env.transfer.input_stream is open
  // unless kReaderOwnInput). Reads a member directory for member formats.
  // Returns 0, or a negative result that DX_OpenInputFile returns.
  int32_t (*open)(EnvRecord& env) = nullptr;
  // Fills env.dict from the input. Returns >= 0 or a negative failure. The engine has
  // already installed read_case as the read-case hook; a reader may install another
  // one (env.transfer.read_case) or change env.transfer.input_code.
  int32_t (*read_dict)(EnvRecord& env) = nullptr;
  // Fills the record buffer with the next case (kCaseRead / kEndOfData / < -1).
  ReadCaseFn read_case = nullptr;
  // Two-pass readers that cannot simply seek the input stream. Return 0 or negative.
  // Null: the engine saves/restores the input stream position.
  int32_t (*save_position)(EnvRecord& env) = nullptr;
  int32_t (*restore_position)(EnvRecord& env) = nullptr;
  // Member formats: fill env.transfer.members with the member names and return the
  // count (negative on failure); select_member makes member `index` current.
  int32_t (*read_members)(EnvRecord& env) = nullptr;
  int32_t (*select_member)(EnvRecord& env, int32_t index) = nullptr;
  // Releases reader resources other than the private state (which the engine frees).
  void (*close)(EnvRecord& env) = nullptr;
  // The user-missing values the input declares for a variable, or null (see
  // dict/user_missing.h). Null: the format declares none.
  const MissingSpec* (*user_missing)(EnvRecord& env, const VarRecord& v) = nullptr;
  // The same for a string variable. Null: the format declares none for strings.
  const MissingTexts* (*user_missing_texts)(EnvRecord& env, const VarRecord& v) = nullptr;
  // Optional, for the optimization pass: takes the values of up to max_cases further cases
  // straight from the input's data into stats, without filling the record buffer. want and
  // stats are indexed by dictionary variable (StatsWant, VarStats of engine/optimize.h);
  // each value counts as read_case would deliver it (user-missing values left out, strings
  // by the bytes var_set_string keeps) through optimize_add_value(exact_float). Returns the
  // cases taken, fewer than max_cases once the data end; raises as read_case does.
  // Null: the pass reads cases.
  int32_t (*gather_stats)(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                          int32_t max_cases) = nullptr;
};

enum WriterFlags : uint32_t {
  // No output stream is opened first: the writer creates its own container.
  kWriterOwnContainer = 1u << 0,
};

struct FormatWriterOps {
  uint32_t flags = 0;
  // Creates the output (env.transfer.output_stream is open unless kWriterOwnContainer)
  // and writes the header from the dictionary. 0, or nonzero on failure.
  int32_t (*open)(EnvRecord& env) = nullptr;
  WriteCaseFn write_case = nullptr;
  // Finishes the file (counts, trailers). 0, or negative on failure.
  int32_t (*close)(EnvRecord& env) = nullptr;
};

// Private per-format state. A reader or writer keeps its state here (freed by
// DX_CloseFiles, also after a failure). Reach it with reader_state<T>(env).
template <class T>
T& make_reader_state(EnvRecord& env) {
  auto owned = std::make_unique<T>();
  T& ref = *owned;
  env.transfer.reader_state = std::move(owned);
  return ref;
}
template <class T>
T* reader_state(EnvRecord& env) {
  return static_cast<T*>(env.transfer.reader_state.get());
}
template <class T>
T& make_writer_state(EnvRecord& env) {
  auto owned = std::make_unique<T>();
  T& ref = *owned;
  env.transfer.writer_state = std::move(owned);
  return ref;
}
template <class T>
T* writer_state(EnvRecord& env) {
  return static_cast<T*>(env.transfer.writer_state.get());
}

}  // namespace tabulon
